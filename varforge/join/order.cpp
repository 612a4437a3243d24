// The records at the inputs' edges, and the order an index needs.
#include "order.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "blocks.h"

namespace vfjoin {

namespace {

constexpr size_t kHead = 18;

// An input's decompressed bytes from a virtual offset on, a block at a time, up to its
// end-of-file block.
class Reader {
   public:
    Reader(int fd, off_t end) : fd_(fd), end_(end), block_(kMaxBlock), data_(kMaxBlock) {}

    bool seek(uint64_t v) {
        next_ = off_t(v >> 16);
        if (!load()) return false;
        pos_ = size_t(v & 0xffff);
        return pos_ <= len_;
    }

    // Copies `n` bytes out (or skips them when `out` is null); false at the end or on damage.
    bool read(void *out, size_t n) {
        auto *o = static_cast<unsigned char *>(out);
        while (n > 0) {
            if (pos_ == len_ && !load()) return false;
            const size_t k = std::min(n, len_ - pos_);
            if (o) memcpy(o, data_.data() + pos_, k), o += k;
            pos_ += k;
            n -= k;
        }
        return true;
    }

    // The next line without its newline; false at the end.
    bool line(std::string *s) {
        s->clear();
        for (;;) {
            if (pos_ == len_ && !load()) return !s->empty();
            const auto *d = data_.data() + pos_;
            const auto *nl = static_cast<const unsigned char *>(memchr(d, '\n', len_ - pos_));
            const size_t k = nl ? size_t(nl - d) : len_ - pos_;
            s->append(reinterpret_cast<const char *>(d), k);
            pos_ += k + (nl ? 1 : 0);
            if (nl) return true;
        }
    }

   private:
    bool load() {
        unsigned char head[kHead];
        for (;;) {
            if (next_ >= end_ || !read_at(fd_, head, kHead, next_)) return false;
            const long size = bgzf_block_size(fd_, head, next_);
            if (size < 0 || !read_at(fd_, block_.data(), size_t(size), next_)) return false;
            const long n = codec_.decode(block_.data(), size_t(size), data_.data());
            if (n < 0) return false;
            next_ += size;
            pos_ = 0;
            len_ = size_t(n);
            if (len_ > 0) return true;
        }
    }

    int fd_;
    off_t end_, next_ = 0;
    BlockCodec codec_{0};
    std::vector<unsigned char> block_, data_;
    size_t pos_ = 0, len_ = 0;
};

inline int32_t le32(const unsigned char *p) {
    return int32_t(p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// The next record's position; false at the end or on damage.
bool next_pos(Reader &r, Kind kind, int64_t *pos) {
    if (kind == Kind::kBcf) {
        unsigned char h[16];
        if (!r.read(h, sizeof h)) return false;
        const uint32_t shared = uint32_t(le32(h)), indiv = uint32_t(le32(h + 4));
        *pos = int64_t(le32(h + 12)) + 1;
        return shared >= 8 && r.read(nullptr, size_t(shared) - 8 + indiv);
    }
    std::string line;
    if (!r.line(&line)) return false;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    *pos = strtoll(line.c_str() + tab + 1, nullptr, 10);
    return true;
}

}  // namespace

std::string read_edges(const Input &in, Kind kind, const Index &idx,
                       const std::vector<std::string> &names, Edges *e) {
    // The contigs in file order: by where their first record lies.
    std::vector<std::pair<uint64_t, int>> firsts;
    uint64_t last_beg = 0;
    int last_contig = -1;
    for (size_t c = 0; c < idx.contigs.size(); c++) {
        const Contig &ct = idx.contigs[c];
        uint64_t first = UINT64_MAX;
        if (ct.has_pseudo && ct.pseudo.n_mapped > 0) first = ct.pseudo.first;
        for (const auto &b : ct.bins)
            for (const auto &ch : b.chunks) first = std::min(first, ch.beg);
        if (first != UINT64_MAX) firsts.emplace_back(first, int(c));
    }
    std::sort(firsts.begin(), firsts.end());
    e->contigs.clear();
    for (const auto &[first, c] : firsts) {
        const auto &list = idx.kind == IndexKind::kTbi ? idx.names : names;
        e->contigs.push_back(size_t(c) < list.size() ? list[size_t(c)] : "#" + std::to_string(c));
    }
    if (firsts.empty()) return {};
    last_contig = firsts.back().second;
    for (const auto &b : idx.contigs[size_t(last_contig)].bins)
        for (const auto &ch : b.chunks) last_beg = std::max(last_beg, ch.beg);
    last_beg = std::max(last_beg, firsts.back().first);

    const int fd = in.fd >= 0 ? fcntl(in.fd, F_DUPFD_CLOEXEC, 0)
                              : open(in.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    Reader r(fd, in.size - off_t(kMinEmptyBlock));
    std::string fault;
    int64_t pos = 0;
    if (!r.seek(firsts.front().first) || !next_pos(r, kind, &e->first_pos)) {
        fault = "cannot read its first record where its index says";
    } else if (!r.seek(last_beg)) {
        fault = "cannot read its last records where its index says";
    } else {
        while (next_pos(r, kind, &pos)) e->last_pos = pos;
        if (e->last_pos < 0) fault = "cannot read its last records where its index says";
    }
    close(fd);
    return fault;
}

std::string follows(const Edges &prev, size_t prev_at, const Edges &next, size_t at,
                    std::unordered_map<std::string, size_t> *seen, size_t *other) {
    if (next.contigs.empty()) return {};
    const bool same = !prev.contigs.empty() && prev.contigs.back() == next.contigs.front();
    if (same && next.first_pos < prev.last_pos) {
        *other = prev_at;
        return "its first record (" + next.contigs.front() + ":" + std::to_string(next.first_pos) +
               ") comes before the last record (" + next.contigs.front() + ":" +
               std::to_string(prev.last_pos) + ") of";
    }
    for (size_t i = same ? 1 : 0; i < next.contigs.size(); i++)
        if (const auto it = seen->find(next.contigs[i]); it != seen->end()) {
            *other = it->second;
            return "its records of " + next.contigs[i] +
                   " would be parted by another contig's from those of";
        }
    for (const auto &c : next.contigs) seen->emplace(c, at);
    return {};
}

}  // namespace vfjoin
