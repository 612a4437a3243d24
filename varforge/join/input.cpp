// Opening and checking one input of a join.
#include "input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "bgzf_bcf/bcf.h"
#include "bgzf_bcf/bgzf.h"
#include "blocks.h"

namespace vfjoin {

namespace {

constexpr int kBlockHead = 18;       // a BGZF block header whose only subfield is BC
constexpr int kFixedHead = 12;       // the gzip header up to and including XLEN
constexpr int kFooter = 8;           // CRC32 and ISIZE
constexpr uint32_t kSharedMin = 24;  // the fixed fields of a BCF record's shared part
const char kEndsInRecord[] = "damaged data: it ends inside a record";

inline unsigned le16(const unsigned char *p) {
    return p[0] | unsigned(p[1]) << 8;
}
inline uint32_t le32(const unsigned char *p) {
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool read_at(int fd, unsigned char *buf, size_t n, off_t at) {
    for (size_t got = 0; got < n;) {
        const ssize_t r = pread(fd, buf + got, n - got, at + off_t(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

long bgzf_block_size(int fd, const unsigned char *head, off_t at) {
    if (head[0] != 0x1f || head[1] != 0x8b || head[2] != 8 || !(head[3] & 4)) return -1;
    const unsigned xlen = le16(head + 10);
    long size = -1;
    if (xlen == 6 && head[12] == 'B' && head[13] == 'C' && le16(head + 14) == 2) {
        size = long(le16(head + 16)) + 1;
    } else {
        // Other subfields beside BC: look through all of them.
        unsigned char extra[0x10000];
        if (!read_at(fd, extra, xlen, at + kFixedHead)) return -1;
        for (unsigned i = 0; i + 4 <= xlen;) {
            const unsigned slen = le16(extra + i + 2);
            if (extra[i] == 'B' && extra[i + 1] == 'C' && slen == 2 && i + 6 <= xlen) {
                size = long(le16(extra + i + 4)) + 1;
                break;
            }
            i += 4 + slen;
        }
    }
    return size >= long(kFixedHead + xlen + kFooter) ? size : -1;
}

bool unchanged(const struct stat &st, const Input &in) {
    return st.st_dev == in.dev && st.st_ino == in.ino && st.st_size == in.size &&
           st.st_mtim.tv_sec == in.mtime.tv_sec && st.st_mtim.tv_nsec == in.mtime.tv_nsec &&
           st.st_ctim.tv_sec == in.ctime.tv_sec && st.st_ctim.tv_nsec == in.ctime.tv_nsec;
}

std::string walk_blocks(int fd, off_t from, off_t to, uint64_t *data_bytes,
                        std::pair<off_t, long> *last) {
    // Each read takes the previous block's ISIZE with the next block's header, so that the
    // blocks' decompressed sizes add up without another read.
    unsigned char buf[4 + kBlockHead];
    uint64_t total = 0;
    off_t at = from, prev = -1;
    *last = {0, 0};
    auto count = [&](uint32_t isize) {
        total += isize;
        if (isize) *last = {prev, long(at - prev)};
    };
    while (at < to) {
        if (to - at < kBlockHead || !read_at(fd, buf, sizeof buf, at - 4))
            return "damaged data: no BGZF block at byte " + std::to_string(at);
        if (prev >= 0) count(le32(buf));
        const long size = bgzf_block_size(fd, buf + 4, at);
        if (size < 0) return "damaged data: no BGZF block at byte " + std::to_string(at);
        prev = at;
        at += size;
    }
    if (at != to) return "damaged data: a BGZF block runs into the end-of-file block";
    if (prev >= 0) {
        if (!read_at(fd, buf, 4, to - 4))
            return "damaged data: cannot read byte " + std::to_string(to - 4);
        count(le32(buf));
    }
    *data_bytes = total;
    return {};
}

std::string walk_records(const unsigned char *data, int from, int len, bool *open) {
    int at = from;
    while (len - at >= 8) {
        const uint32_t shared = le32(data + at), indiv = le32(data + at + 4);
        if (shared < kSharedMin) return "damaged data: a record too short to be one";
        const uint64_t size = 8 + uint64_t(shared) + indiv;
        if (size > uint64_t(len - at)) break;
        at += int(size);
    }
    *open = at < len;
    return {};
}

namespace {

// Files that are not BGZF at all, told apart so that the message says what to do.
std::string sniff(int fd) {
    unsigned char head[kBlockHead];
    const ssize_t n = pread(fd, head, sizeof head, 0);
    if (n <= 0) return {};
    if (head[0] == 0x1f && n >= 4 && head[1] == 0x8b && !(head[3] & 4))
        return "gzip-compressed but not BGZF (compress it with bgzip)";
    if (head[0] == '#') return "uncompressed VCF (compress it with bgzip)";
    return {};
}

// Reads blocks up to the first that holds data; false at the end of the file.
bool first_data(vf::BGZF *fp, off_t size) {
    do {
        if (vf::bgzf_read_block(fp) != 0) return false;
    } while (fp->block_length == 0 && fp->x.fpr->offset < size);
    return fp->block_length > 0;
}

// Reads a VCF header, from the current block on: the lines up to and including the first
// that starts with "#" and not "##" (where htslib's reader stops too). Leaves the stream in
// the block where the header ends, `block_offset` just after it.
std::string read_vcf_header(vf::BGZF *fp, off_t size, std::string *text) {
    int col = 0;        // position in the current line
    bool last = false;  // the current line is the last of the header
    for (;;) {
        const auto *d = static_cast<const char *>(fp->uncompressed_block);
        for (int p = fp->block_offset; p < fp->block_length; p++) {
            const char c = d[p];
            if (c == '\n') {
                if (last) {
                    text->append(d + fp->block_offset, size_t(p + 1 - fp->block_offset));
                    fp->block_offset = p + 1;
                    return {};
                }
                col = 0;
                continue;
            }
            if (col == 0 && c != '#') return "a record before the #CHROM line";
            if (col == 1 && c != '#') last = true;
            col++;
        }
        text->append(d + fp->block_offset, size_t(fp->block_length - fp->block_offset));
        fp->block_offset = fp->block_length;
        if (vf::bgzf_read_block(fp) != 0) return fp->error ? fp->error : "read error";
        if (fp->block_length == 0 && fp->x.fpr->offset >= size) return "truncated header";
    }
}

const char *kind_name(Kind k) {
    return k == Kind::kBcf ? "BCF" : "VCF";
}

}  // namespace

std::string check_input(Input *in, bool keep, Expect *expect, HeaderUnion *header) {
    const char *fn = in->name;
    vf::bcf_t *b = vf::bcf_open(fn, "r");
    if (!b) return errno == EPROTONOSUPPORT ? "remote files are not supported" : strerror(errno);
    vf::BGZF *bg = b->fp;
    const int fd = bg->x.fpr->fd;
    struct stat st;
    std::string fault, text;
    vf::bcf_hdr_t *h = nullptr;
    Kind kind = Kind::kNone;
    if (fstat(fd, &st) != 0) {
        fault = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        fault = "not a regular file";
    } else if (expect->output_known && st.st_dev == expect->out_dev &&
               st.st_ino == expect->out_ino) {
        fault = "it is also the output";
    } else if (strcmp(fn, "-") == 0 && lseek(fd, 0, SEEK_SET) != 0) {
        fault = strerror(errno);
    } else if (!(fault = sniff(fd)).empty()) {
    } else if (!first_data(bg, st.st_size)) {
        fault = bg->error ? bg->error : "empty file";
    } else {
        const auto *d = static_cast<const char *>(bg->uncompressed_block);
        kind = bg->block_length >= 4 && memcmp(d, "BCF\2", 4) == 0 ? Kind::kBcf
               : d[0] == '#'                                       ? Kind::kVcf
                                                                   : Kind::kNone;
        if (kind == Kind::kNone) {
            fault = "neither BCF nor VCF";
        } else if (expect->kind != Kind::kNone && kind != expect->kind) {
            fault = std::string("a ") + kind_name(kind) + " file among " + kind_name(expect->kind) +
                    " files";
        } else if (kind == Kind::kBcf) {
            if (!(h = vf::bcf_hdr_read(b)))
                fault = bg->error ? bg->error : "cannot read the header";
            else if (expect->minor >= 0 && h->minor != expect->minor)
                fault = "BCF version 2." + std::to_string(h->minor) +
                        " does not match the first input's 2." + std::to_string(expect->minor);
            else
                text.assign(h->txt, size_t(h->l_txt));
        } else {
            fault = read_vcf_header(bg, st.st_size, &text);
        }
    }
    if (fault.empty()) {
        if (const int eof = vf::bgzf_check_EOF(bg); eof != 1)
            fault = eof == 0 ? "no BGZF end-of-file block at the end (truncated file?)"
                             : "cannot read the end of the file";
    }
    if (fault.empty()) {
        in->tail_block = bg->block_address;
        in->tail_from = bg->block_offset;
        in->tail_len = bg->block_length;
        in->data_start = bg->x.fpr->offset;
        const auto *tail = static_cast<const unsigned char *>(bg->uncompressed_block);
        if (kind == Kind::kBcf)
            fault = walk_records(tail, in->tail_from, in->tail_len, &in->tail_open);
        else
            in->tail_open = in->tail_from < in->tail_len && tail[in->tail_len - 1] != '\n';
        if (fault.empty() && in->tail_open && in->data_start == st.st_size - vf::BGZF_EOF_SIZE)
            fault = kEndsInRecord;
    }
    if (fault.empty()) {
        if (expect->kind == Kind::kNone && kind == Kind::kVcf) header->by_name();
        fault = header->add(text, fn);
    }
    if (fault.empty()) {
        expect->kind = kind;
        if (h && expect->minor < 0) expect->minor = h->minor;
        in->dev = st.st_dev;
        in->ino = st.st_ino;
        in->size = st.st_size;
        in->mtime = st.st_mtim;
        in->ctime = st.st_ctim;
        // Standard input cannot be opened again by name, so it is always kept.
        if ((keep || strcmp(fn, "-") == 0) && (in->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
            fault = strerror(errno);
    }
    vf::bcf_hdr_destroy(h);
    vf::bcf_close(b);
    return fault;
}

std::string walk_input(const Input &in, Kind kind) {
#ifdef VF_JOIN_UNCHECKED  // a build for bench/cat that shows what the walk costs
    (void)in;
    (void)kind;
    return {};
#else
    const int fd = in.fd >= 0 ? fcntl(in.fd, F_DUPFD_CLOEXEC, 0)
                              : open(in.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    struct stat st;
    std::string fault;
    uint64_t after = 0;
    std::pair<off_t, long> last;
    if (fstat(fd, &st) != 0 || !unchanged(st, in))
        fault = "the file changed after it was checked";
    else
        fault = walk_blocks(fd, off_t(in.data_start), in.size - vf::BGZF_EOF_SIZE, &after, &last);
    if (fault.empty() && after == 0 && in.tail_open) fault = kEndsInRecord;
    if (fault.empty() && after > 0 && kind == Kind::kVcf) {
        // A VCF's data must end with a whole line, or the next input's first record would
        // join its last one.
        std::vector<unsigned char> block(size_t(last.second)), data(kMaxBlock);
        BlockCodec codec(0);
        const long n = read_at(fd, block.data(), block.size(), last.first)
                           ? codec.decode(block.data(), block.size(), data.data())
                           : -1;
        if (n <= 0)
            fault = "damaged data: the BGZF block at byte " + std::to_string(last.first);
        else if (data[size_t(n - 1)] != '\n')
            fault = kEndsInRecord;
    }
    close(fd);
    return fault;
#endif
}

}  // namespace vfjoin
