// The records at the inputs' edges, and the order an index needs.
#include "order.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "bgzf_blocks.h"
#include "bytes.h"

namespace vfjoin {

namespace {

// The next record's position; false at the end or on damage.
bool next_pos(BlockReader &r, Kind kind, int64_t *pos) {
    std::string why;
    if (kind == Kind::kBcf) {
        unsigned char h[16];
        if (!r.read(h, sizeof h, &why)) return false;
        const uint32_t shared = le32(h), indiv = le32(h + 4);
        *pos = int64_t(int32_t(le32(h + 12))) + 1;
        return shared >= 8 && r.read(nullptr, size_t(shared) - 8 + indiv, &why);
    }
    std::string line;
    if (!r.line(&line, &why)) return false;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    *pos = strtoll(line.c_str() + tab + 1, nullptr, 10);
    return true;
}

bool fail(std::string *why, std::string what) {
    *why = std::move(what);
    return false;
}

constexpr int64_t kFirstWindow = 2 * int64_t(kMaxBlock);  // asked for to read a first record

// Reads the positions of the records from the virtual offset `voff` on, through `r` (over
// `src`): the first one into `*first`, when not null, else every one, the last into `*last`.
bool positions(const Source &src, const Input &in, uint64_t voff, int64_t *first, int64_t *last) {
    BlockReader r(src, in.data_end());
    std::string unused;
    if (!r.seek(voff, &unused)) return false;
    // A server that ignored the range sent the file from its start, whose first block holds
    // the header: a later block never starts so.
    if (src.remote() && (voff >> 16) > 0 && r.length() >= 4 &&
        (memcmp(r.data(), "BCF\2", 4) == 0 || memcmp(r.data(), "##fi", 4) == 0))
        return false;
    int64_t pos = 0;
    if (first) return next_pos(r, in.kind, first);
    while (next_pos(r, in.kind, &pos)) *last = pos;
    return *last >= 0;
}

// The record positions at `voff`, as positions() reads them: for a remote input through a
// request for those bytes alone (`window` of them, or to the end), and, should that fail,
// through the input opened again.
bool remote_positions(const Input &in, uint64_t voff, int64_t window, int64_t *first,
                      int64_t *last) {
    std::string why;
    std::unique_ptr<Source> src =
        Source::stream_from(in.name, in.id, int64_t(voff >> 16), &why, window);
    if (src && positions(*src, in, voff, first, last)) return true;
    src = Source::reopen(in.name, -1, in.id, &why);
    return src && positions(*src, in, voff, first, last);
}

}  // namespace

bool read_edges(const Input &in, const Index &idx, const std::vector<std::string> &names, Edges *e,
                std::string *why) {
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
        const auto &list = idx.named() ? idx.names : names;
        e->contigs.push_back(size_t(c) < list.size() ? list[size_t(c)] : contig_number_name(c));
    }
    if (firsts.empty()) return true;
    last_contig = firsts.back().second;
    for (const auto &b : idx.contigs[size_t(last_contig)].bins)
        for (const auto &ch : b.chunks) last_beg = std::max(last_beg, ch.beg);
    last_beg = std::max(last_beg, firsts.back().first);

    const char *no_first = "cannot read its first record where its index says";
    const char *no_last = "cannot read its last records where its index says";
    if (is_url(in.name)) {
        // Two small requests, rather than the whole object opened again and read at two places.
        if (!remote_positions(in, firsts.front().first, kFirstWindow, &e->first_pos, nullptr))
            return fail(why, no_first);
        if (!remote_positions(in, last_beg, 0, nullptr, &e->last_pos)) return fail(why, no_last);
        return true;
    }
    std::unique_ptr<Source> src = Source::reopen(in.name, in.fd, in.id, why);
    if (!src) return false;
    if (!positions(*src, in, firsts.front().first, &e->first_pos, nullptr))
        return fail(why, no_first);
    if (!positions(*src, in, last_beg, nullptr, &e->last_pos)) return fail(why, no_last);
    return true;
}

bool follows(const Edges &prev, size_t prev_at, const Edges &next, size_t at,
             std::unordered_map<std::string, size_t> *seen, size_t *other, std::string *why) {
    if (next.contigs.empty()) return true;
    const bool same = !prev.contigs.empty() && prev.contigs.back() == next.contigs.front();
    if (same && next.first_pos < prev.last_pos) {
        *other = prev_at;
        return fail(why, "its first record (" + next.contigs.front() + ":" +
                             std::to_string(next.first_pos) + ") comes before the last record (" +
                             next.contigs.front() + ":" + std::to_string(prev.last_pos) + ") of");
    }
    for (size_t i = same ? 1 : 0; i < next.contigs.size(); i++)
        if (const auto it = seen->find(next.contigs[i]); it != seen->end()) {
            *other = it->second;
            return fail(why, "its records of " + next.contigs[i] +
                                 " would be parted by another contig's from those of");
        }
    for (const auto &c : next.contigs) seen->emplace(c, at);
    return true;
}

}  // namespace vfjoin
