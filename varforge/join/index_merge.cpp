#include "join/index_merge.h"

#include <errno.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

namespace vfjoin {
namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
constexpr int kMaxDepth = 9;  // keeps every bin number within 32 bits
constexpr int kTbiShift = 14, kTbiDepth = 5;
constexpr size_t kMaxIndexBytes = size_t(1) << 30;  // a decompressed index larger than this
                                                    // is refused rather than held in memory

bool fail(std::string *why, const std::string &what) {
    if (why) *why = what;
    return false;
}

// ---- the binning scheme ----

uint64_t level_first(int level) {
    return ((uint64_t(1) << (3 * level)) - 1) / 7;
}
uint64_t n_bins(int depth) {
    return level_first(depth + 1);
}
uint32_t pseudo_bin(int depth) {
    return uint32_t(n_bins(depth) + 1);
}

int bin_level(uint32_t bin) {
    int l = 0;
    while (level_first(l + 1) <= bin) l++;
    return l;
}

// The same range of positions in the numbering of a deeper scheme: a bin at level l of depth
// d is at level l + (to - d) of depth `to`, at the same place in its level.
uint32_t renumber(uint32_t bin, int from_depth, int to_depth) {
    const int l = bin_level(bin);
    return uint32_t(level_first(l + to_depth - from_depth) + (bin - level_first(l)));
}

// First position of a real bin, and one past its last.
uint64_t bin_beg(uint32_t bin, int min_shift, int depth) {
    const int l = bin_level(bin);
    return (bin - level_first(l)) << (min_shift + 3 * (depth - l));
}
uint64_t bin_end(uint32_t bin, int min_shift, int depth) {
    const int l = bin_level(bin);
    return (bin - level_first(l) + 1) << (min_shift + 3 * (depth - l));
}

// The bin a reader looks at next when the bin `bin` is absent, as it searches for the
// `loffset` of a query: the previous bin of the same parent, else the parent.
uint32_t scan_next(uint32_t bin) {
    const uint32_t parent = (bin - 1) >> 3;
    return bin > (parent << 3) + 1 ? bin - 1 : parent;
}

// ---- decompressed index bytes ----

class Reader {
   public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    size_t left() const { return n_ - at_; }
    bool u32(uint32_t *v) {
        if (left() < 4) return false;
        *v = 0;
        for (int i = 3; i >= 0; i--) *v = *v << 8 | p_[at_ + size_t(i)];
        at_ += 4;
        return true;
    }
    bool i32(int32_t *v) {
        uint32_t u;
        if (!u32(&u)) return false;
        *v = int32_t(u);
        return true;
    }
    bool u64(uint64_t *v) {
        if (left() < 8) return false;
        *v = 0;
        for (int i = 7; i >= 0; i--) *v = *v << 8 | p_[at_ + size_t(i)];
        at_ += 8;
        return true;
    }
    const uint8_t *take(size_t n) {
        if (left() < n) return nullptr;
        at_ += n;
        return p_ + at_ - n;
    }
    // A count of items of at least `item` bytes each, which the bytes left can hold.
    bool count(int32_t *n, size_t item) { return i32(n) && *n >= 0 && size_t(*n) <= left() / item; }

   private:
    const uint8_t *p_;
    size_t n_, at_ = 0;
};

void put32(std::string *s, uint32_t v) {
    for (int i = 0; i < 4; i++) s->push_back(char(v >> (8 * i)));
}
void put64(std::string *s, uint64_t v) {
    for (int i = 0; i < 8; i++) s->push_back(char(v >> (8 * i)));
}

bool parse_contig(Reader &r, const Index &ix, Contig *c, std::string *why) {
    const bool csi = ix.kind == IndexKind::kCsi;
    const uint32_t pseudo = pseudo_bin(ix.depth);
    const uint64_t real = n_bins(ix.depth);
    int32_t n_bin;
    if (!r.count(&n_bin, csi ? 16 : 8)) return fail(why, "bad bin count");
    c->bins.reserve(size_t(n_bin));
    for (int32_t b = 0; b < n_bin; b++) {
        Bin bin{};
        int32_t n_chunk;
        if (!r.u32(&bin.bin) || (csi && !r.u64(&bin.loffset)) || !r.count(&n_chunk, 16))
            return fail(why, "bad bin");
        bin.chunks.resize(size_t(n_chunk));
        for (auto &ch : bin.chunks) {
            if (!r.u64(&ch.beg) || !r.u64(&ch.end)) return fail(why, "bad chunk");
            if (bin.bin != pseudo && ch.end < ch.beg)
                return fail(why, "chunk ends before it begins");
        }
        if (bin.bin == pseudo) {
            if (c->has_pseudo) return fail(why, "bin " + std::to_string(pseudo) + " given twice");
            if (n_chunk != 2) return fail(why, "contig summary without two pairs");
            c->has_pseudo = true;
            c->pseudo = {bin.chunks[0].beg, bin.chunks[0].end, bin.chunks[1].beg,
                         bin.chunks[1].end};
        } else if (bin.bin >= real) {
            return fail(why, "bin number " + std::to_string(bin.bin) + " out of range");
        } else {
            c->bins.push_back(std::move(bin));
        }
    }
    std::sort(c->bins.begin(), c->bins.end(),
              [](const Bin &a, const Bin &b) { return a.bin < b.bin; });
    for (size_t i = 1; i < c->bins.size(); i++)
        if (c->bins[i].bin == c->bins[i - 1].bin)
            return fail(why, "bin " + std::to_string(c->bins[i].bin) + " given twice");
    if (!csi) {
        int32_t n_intv;
        if (!r.count(&n_intv, 8)) return fail(why, "bad linear index size");
        c->linear.resize(size_t(n_intv));
        for (auto &v : c->linear) r.u64(&v);
    }
    return true;
}

bool parse(const uint8_t *bytes, size_t len, IndexKind kind, Index *out, std::string *why) {
    Reader r(bytes, len);
    Index ix;
    ix.kind = kind;
    const uint8_t *magic = r.take(4);
    if (!magic || memcmp(magic, kind == IndexKind::kCsi ? "CSI\1" : "TBI\1", 4) != 0)
        return fail(why, kind == IndexKind::kCsi ? "not a CSI index" : "not a tabix index");
    int32_t n_ref;
    if (kind == IndexKind::kCsi) {
        int32_t l_aux;
        if (!r.i32(&ix.min_shift) || !r.i32(&ix.depth) || !r.count(&l_aux, 1))
            return fail(why, "truncated header");
        if (ix.depth < 0 || ix.depth > kMaxDepth || ix.min_shift < 1 ||
            ix.min_shift + 3 * ix.depth > 62)
            return fail(why, "unusable binning (min_shift " + std::to_string(ix.min_shift) +
                                 ", depth " + std::to_string(ix.depth) + ")");
        const uint8_t *aux = r.take(size_t(l_aux));
        ix.aux.assign(aux, aux + l_aux);
        if (!r.count(&n_ref, 4)) return fail(why, "bad contig count");
    } else {
        int32_t l_nm;
        TbxSettings &t = ix.tbx;
        ix.min_shift = kTbiShift;
        ix.depth = kTbiDepth;
        if (!r.count(&n_ref, 8) || !r.i32(&t.format) || !r.i32(&t.col_seq) || !r.i32(&t.col_beg) ||
            !r.i32(&t.col_end) || !r.i32(&t.meta) || !r.i32(&t.skip) || !r.count(&l_nm, 1))
            return fail(why, "truncated header");
        const char *nm = reinterpret_cast<const char *>(r.take(size_t(l_nm)));
        if (l_nm > 0 && nm[l_nm - 1] != '\0') return fail(why, "contig names not terminated");
        for (const char *p = nm, *end = nm + l_nm; p < end; p += strlen(p) + 1) {
            if (ix.names.size() == size_t(n_ref)) return fail(why, "more names than contigs");
            ix.names.emplace_back(p);
        }
        if (ix.names.size() != size_t(n_ref)) return fail(why, "fewer names than contigs");
        std::vector<std::string> sorted = ix.names;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return fail(why, "a contig name given twice");
    }
    ix.contigs.resize(size_t(n_ref));
    for (auto &c : ix.contigs)
        if (!parse_contig(r, ix, &c, why)) return false;
    if (r.left() == 8) {
        ix.has_n_no_coor = true;
        r.u64(&ix.n_no_coor);
    } else if (r.left() != 0) {
        return fail(why, "bytes after the end of the index");
    }
    *out = std::move(ix);
    return true;
}

bool encode(const Index &ix, std::string *s, std::string *why) {
    const bool csi = ix.kind == IndexKind::kCsi;
    const int32_t kMax = std::numeric_limits<int32_t>::max();
    if (ix.depth < 0 || ix.depth > kMaxDepth) return fail(why, "unusable depth");
    if (!csi && ix.names.size() != ix.contigs.size())
        return fail(why, "contig names do not match the contigs");
    if (ix.contigs.size() > size_t(kMax) || ix.aux.size() > size_t(kMax))
        return fail(why, "index too large");
    s->clear();
    if (csi) {
        s->append("CSI\1", 4);
        put32(s, uint32_t(ix.min_shift));
        put32(s, uint32_t(ix.depth));
        put32(s, uint32_t(ix.aux.size()));
        s->append(ix.aux.begin(), ix.aux.end());
    } else {
        s->append("TBI\1", 4);
        put32(s, uint32_t(ix.contigs.size()));
        const TbxSettings &t = ix.tbx;
        for (int32_t v : {t.format, t.col_seq, t.col_beg, t.col_end, t.meta, t.skip})
            put32(s, uint32_t(v));
        size_t l_nm = 0;
        for (const auto &n : ix.names) l_nm += n.size() + 1;
        if (l_nm > size_t(kMax)) return fail(why, "index too large");
        put32(s, uint32_t(l_nm));
        for (const auto &n : ix.names) s->append(n.c_str(), n.size() + 1);
    }
    if (csi) put32(s, uint32_t(ix.contigs.size()));
    const uint32_t pseudo = pseudo_bin(ix.depth);
    for (const auto &c : ix.contigs) {
        if (c.bins.size() + 1 > size_t(kMax) || c.linear.size() > size_t(kMax))
            return fail(why, "index too large");
        put32(s, uint32_t(c.bins.size() + (c.has_pseudo ? 1 : 0)));
        for (const auto &b : c.bins) {
            if (b.chunks.size() > size_t(kMax)) return fail(why, "index too large");
            put32(s, b.bin);
            if (csi) put64(s, b.loffset);
            put32(s, uint32_t(b.chunks.size()));
            for (const auto &ch : b.chunks) {
                put64(s, ch.beg);
                put64(s, ch.end);
            }
        }
        if (c.has_pseudo) {
            put32(s, pseudo);
            if (csi) put64(s, 0);
            put32(s, 2);
            for (uint64_t v :
                 {c.pseudo.first, c.pseudo.last, c.pseudo.n_mapped, c.pseudo.n_unmapped})
                put64(s, v);
        }
        if (!csi) {
            put32(s, uint32_t(c.linear.size()));
            for (uint64_t v : c.linear) put64(s, v);
        }
    }
    if (ix.has_n_no_coor) put64(s, ix.n_no_coor);
    return true;
}

bool is_vcf_settings(const TbxSettings &t) {
    const tbx_conf_t &v = tbx_conf_vcf;
    return t.format == v.preset && t.col_seq == v.sc && t.col_beg == v.bc && t.col_end == v.ec &&
           t.meta == v.meta_char && t.skip == v.line_skip;
}

// ---- offsets ----

uint64_t voff(int64_t block, int within) {
    return uint64_t(block) << 16 | uint64_t(within);
}

// Where the input's first record lands in the output.
uint64_t first_record(const OffsetMap &m) {
    return m.tail_from < m.tail_len && !m.tail_out.empty() ? voff(m.tail_out[0].first, 0)
                                                           : voff(m.out_data_start, 0);
}

// Whether `v` is a place among the input's records: in the header's block after the header,
// in a block after it, or the end of the data.
bool among_records(const OffsetMap &m, uint64_t v) {
    const int64_t c = int64_t(v >> 16);
    const int u = int(v & 0xffff);
    return (c >= m.data_start && c < m.data_end) || (c == m.data_end && u == 0) ||
           (c == m.tail_block && u >= m.tail_from && u <= m.tail_len);
}

// `v` with a position at the end of the header's block written as the next block's start.
uint64_t canonical(const OffsetMap &m, uint64_t v) {
    if (int64_t(v >> 16) == m.tail_block && int(v & 0xffff) == m.tail_len &&
        m.tail_block < m.data_start)
        return voff(m.data_start, 0);
    return v;
}

bool check_map(const OffsetMap &m, std::string *why) {
    const int64_t kLimit = int64_t(1) << 47;  // file offsets that a virtual offset can hold
    for (int64_t off : {m.tail_block, m.data_start, m.data_end, m.out_data_start, m.out_data_end})
        if (off < 0 || off >= kLimit) return fail(why, "inconsistent offset map");
    if (m.tail_from < 0 || m.tail_from > m.tail_len || m.tail_len > 65536 ||
        m.data_start < m.tail_block || (m.data_start == m.tail_block && m.tail_len != 0) ||
        m.data_end < m.data_start || m.out_data_end - m.out_data_start < m.data_end - m.data_start)
        return fail(why, "inconsistent offset map");
    int64_t total = 0, at = -1;
    for (const auto &[off, len] : m.tail_out) {
        if (off <= at || off >= m.out_data_start || len <= 0 || len > 65536)
            return fail(why, "inconsistent offset map");
        at = off;
        total += len;
    }
    if (total != m.tail_len - m.tail_from)
        return fail(why,
                    "the offset map's re-encoded blocks do not hold the header block's records");
    return true;
}

// ---- files ----

// htslib's messages off for the object's life: a damaged index or file is reported through
// `why`, by the caller, who names the file.
class QuietHtslib {
   public:
    // Writes the level only when it is not off already, so that threads that all find it off
    // (as cat sets it before it starts any) never write it at once.
    QuietHtslib() : level_(hts_get_log_level()) {
        if (level_ != HTS_LOG_OFF) hts_set_log_level(HTS_LOG_OFF);
    }
    ~QuietHtslib() {
        if (level_ != HTS_LOG_OFF) hts_set_log_level(level_);
    }
    QuietHtslib(const QuietHtslib &) = delete;
    QuietHtslib &operator=(const QuietHtslib &) = delete;

   private:
    enum htsLogLevel level_;
};

struct TempFile {
    std::string path;
    ~TempFile() {
        if (!path.empty()) unlink(path.c_str());
    }
};

}  // namespace

bool index_parse(const uint8_t *bytes, size_t len, IndexKind kind, Index *out, std::string *why) {
    try {
        return parse(bytes, len, kind, out, why);
    } catch (const std::bad_alloc &) {
        return fail(why, "out of memory");
    }
}

bool index_encode(const Index &index, std::string *bytes, std::string *why) {
    try {
        return encode(index, bytes, why);
    } catch (const std::bad_alloc &) {
        return fail(why, "out of memory");
    }
}

bool index_load(const std::string &index_path, IndexKind kind, Index *out, std::string *why) {
    QuietHtslib quiet;
    BGZF *fp = bgzf_open(index_path.c_str(), "r");
    if (!fp) return fail(why, std::string("cannot open: ") + strerror(errno));
    std::string bytes;
    bool ok = true;
    try {
        char buf[65536];
        ssize_t n;
        while ((n = bgzf_read(fp, buf, sizeof buf)) > 0 && bytes.size() <= kMaxIndexBytes)
            bytes.append(buf, size_t(n));
        if (n < 0)
            ok = fail(why, "cannot decompress");
        else if (bytes.size() > kMaxIndexBytes)
            ok = fail(why, "index too large");
    } catch (const std::bad_alloc &) {
        ok = fail(why, "out of memory");
    }
    bgzf_close(fp);
    return ok && index_parse(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), kind,
                             out, why);
}

bool index_load_beside(const std::string &data_path, IndexKind kind, Index *out, std::string *why) {
    const std::string path = data_path + (kind == IndexKind::kCsi ? ".csi" : ".tbi");
    struct stat data, index;
    if (stat(path.c_str(), &index) != 0)
        return fail(why, "no index " + path + ": " + strerror(errno));
    if (stat(data_path.c_str(), &data) != 0) return fail(why, strerror(errno));
    if (index.st_mtim.tv_sec < data.st_mtim.tv_sec ||
        (index.st_mtim.tv_sec == data.st_mtim.tv_sec &&
         index.st_mtim.tv_nsec < data.st_mtim.tv_nsec))
        return fail(why, "the index " + path + " is older than the data file");
    if (!index_load(path, kind, out, why)) {
        if (why) *why = path + ": " + *why;
        return false;
    }
    return true;
}

bool index_build_from_records(const std::string &data_path, IndexKind kind, Index *out,
                              std::string *why) {
    QuietHtslib quiet;
    htsFile *in = hts_open(data_path.c_str(), "r");
    if (!in) return fail(why, std::string("cannot open: ") + strerror(errno));
    const htsFormat *f = hts_get_format(in);
    const bool is_bcf = f->format == bcf && f->compression == bgzf;
    const bool is_vcf = f->format == vcf && f->compression == bgzf;
    hts_close(in);
    if (!(is_bcf && kind == IndexKind::kCsi) && !(is_vcf && kind == IndexKind::kTbi))
        return fail(why, kind == IndexKind::kCsi ? "not a BCF file" : "not a bgzipped VCF file");

    const char *dir = getenv("TMPDIR");
    TempFile tmp;
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/vf_index.XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) return fail(why, std::string("cannot make a temporary file: ") + strerror(errno));
    close(fd);
    tmp.path = tmpl;
    const int r = is_bcf
                      ? bcf_index_build3(data_path.c_str(), tmp.path.c_str(), 14, 0)
                      : tbx_index_build3(data_path.c_str(), tmp.path.c_str(), 0, 0, &tbx_conf_vcf);
    if (r != 0)
        return fail(why, r == -2   ? "cannot open the file"
                         : r == -4 ? "cannot write the index"
                                   : "cannot index the records (unsorted or damaged?)");
    return index_load(tmp.path, kind, out, why);
}

bool index_write(const Index &index, const std::string &path, std::string *why) {
    std::string bytes;
    if (!index_encode(index, &bytes, why)) return false;
    // The fastest compression level: the joined file's index comes out about a sixth larger
    // than at the default level, and is written about four times sooner.
    BGZF *fp = bgzf_open(path.c_str(), "w1");
    if (!fp) return fail(why, std::string("cannot create: ") + strerror(errno));
    const bool wrote = bgzf_write(fp, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    const int err = errno;
    if (bgzf_close(fp) != 0 || !wrote)
        return fail(why, std::string("cannot write: ") + strerror(wrote ? errno : err));
    return true;
}

uint64_t map_voffset(const OffsetMap &m, uint64_t v) {
    const int64_t c = int64_t(v >> 16);
    const int u = int(v & 0xffff);
    if (c >= m.data_start && c < m.data_end) return voff(c - m.data_start + m.out_data_start, u);
    if (c >= m.data_end && c > m.tail_block) return voff(m.out_data_end, 0);
    if (v == 0 || c < m.tail_block || u <= m.tail_from) return first_record(m);
    // In the header's block: its bytes after the header now lie in the re-encoded blocks.
    int k = std::min(u, m.tail_len) - m.tail_from;
    for (const auto &[off, len] : m.tail_out) {
        if (k < len) return voff(off, k);
        k -= len;
    }
    return m.data_start < m.data_end ? voff(m.out_data_start, 0) : voff(m.out_data_end, 0);
}

bool IndexMerger::add(const Index &input, const OffsetMap &m, std::string *why) try {
    if (input.kind != kind_) return fail(why, "not an index of the join's kind");
    if (!inputs_.empty()) {
        const Index &first = inputs_.front().index;
        if (input.min_shift != first.min_shift)
            return fail(why, "min_shift " + std::to_string(input.min_shift) +
                                 " differs from the earlier inputs' " +
                                 std::to_string(first.min_shift));
        if (input.aux != first.aux)
            return fail(why, "auxiliary data differ from the earlier inputs'");
    }
    if (kind_ == IndexKind::kTbi && !is_vcf_settings(input.tbx))
        return fail(why, "not a tabix index with the VCF settings");
    if (kind_ == IndexKind::kTbi && input.names.size() != input.contigs.size())
        return fail(why, "contig names do not match the contigs");
    if (!check_map(m, why)) return false;
    const uint64_t start = first_record(m);
    if (start < last_end_) return fail(why, "the input lands before the previous input's end");

    Input in{input, start, {}};
    std::unordered_map<std::string, int> ids = name_ids_;
    std::vector<std::string> names = names_;
    std::vector<char> done = done_;
    int last_contig = last_contig_;

    struct Span {
        uint64_t first, last;
        int out;
    };
    std::vector<Span> spans;
    uint64_t max_end = 0;
    bool any = false;
    const std::string bad = "the index points outside the file's records";
    for (size_t i = 0; i < in.index.contigs.size(); i++) {
        Contig &c = in.index.contigs[i];
        int out = int(i);
        if (kind_ == IndexKind::kTbi) {
            auto [it, fresh] = ids.emplace(in.index.names[i], int(names.size()));
            if (fresh) names.push_back(in.index.names[i]);
            out = it->second;
        }
        in.out_contig.push_back(out);
        Span span{kNone, 0, out};
        auto note = [&](const Chunk &ch) {
            if (!among_records(m, ch.beg) || !among_records(m, ch.end)) return false;
            span.first = std::min(span.first, canonical(m, ch.beg));
            span.last = std::max(span.last, canonical(m, ch.end));
            return true;
        };
        for (auto &b : c.bins) {
            if (b.loffset != 0 && !among_records(m, b.loffset)) return fail(why, bad);
            b.loffset = b.loffset ? map_voffset(m, b.loffset) : start;
            for (auto &ch : b.chunks) {
                if (!note(ch)) return fail(why, bad);
                ch = {map_voffset(m, ch.beg), map_voffset(m, ch.end)};
            }
        }
        if (c.has_pseudo) {
            if (!note({c.pseudo.first, c.pseudo.last})) return fail(why, bad);
            c.pseudo.first = map_voffset(m, c.pseudo.first);
            c.pseudo.last = map_voffset(m, c.pseudo.last);
        }
        for (auto &v : c.linear) {
            if (v != 0 && !among_records(m, v)) return fail(why, bad);
            v = v ? map_voffset(m, v) : start;
        }
        if (span.first != kNone) {
            spans.push_back(span);
            max_end = std::max(max_end, span.last);
            any = true;
        }
    }
    // An index made before records were appended, or of another file, ends elsewhere.
    const bool data = m.tail_from < m.tail_len || m.data_start < m.data_end;
    if (input.n_no_coor == 0 && (any ? max_end != voff(m.data_end, 0) : data))
        return fail(why, "the index does not end where the file's data ends");

    // Each contig's records must stay together across the join.
    std::sort(spans.begin(), spans.end(),
              [](const Span &a, const Span &b) { return a.first < b.first; });
    done.resize(
        kind_ == IndexKind::kTbi ? names.size() : std::max(done.size(), in.index.contigs.size()),
        0);
    auto name = [&](int id) {
        return kind_ == IndexKind::kTbi ? names[size_t(id)] : "#" + std::to_string(id);
    };
    for (size_t i = 0; i < spans.size(); i++) {
        if (i > 0 && spans[i - 1].last > spans[i].first)
            return fail(why, "the records of contigs " + name(spans[i - 1].out) + " and " +
                                 name(spans[i].out) + " interleave");
        const int id = spans[i].out;
        if (id == last_contig) continue;
        if (done[size_t(id)])
            return fail(why,
                        "contig " + name(id) + " appears again after contig " + name(last_contig));
        if (last_contig >= 0) done[size_t(last_contig)] = 1;
        last_contig = id;
    }

    inputs_.push_back(std::move(in));
    name_ids_ = std::move(ids);
    names_ = std::move(names);
    done_ = std::move(done);
    last_contig_ = last_contig;
    last_end_ = voff(m.out_data_end, 0);
    return true;
} catch (const std::bad_alloc &) {
    return fail(why, "out of memory");
}

namespace {

// One input's part of an output contig, its bins numbered in the output's depth.
struct Part {
    const Contig *contig;
    uint64_t start;
    std::vector<std::pair<uint32_t, uint64_t>> loff;  // (bin, loffset), sorted by bin
    uint64_t reach = 0;  // no record of the part ends past this position
};

const uint64_t *find_bin(const Part &p, uint32_t bin) {
    auto it = std::lower_bound(p.loff.begin(), p.loff.end(), std::make_pair(bin, uint64_t(0)));
    return it != p.loff.end() && it->first == bin ? &it->second : nullptr;
}

// The `loffset` a reader of this part alone would use for a query whose search reaches bin
// `bin`: that of the first bin present among `bin`, its previous siblings, its parent, and so
// on up; the part's first record when none is.
uint64_t part_loffset(const Part &p, uint32_t bin) {
    for (;;) {
        if (const uint64_t *v = find_bin(p, bin)) return *v;
        if (bin == 0) return p.start;
        bin = scan_next(bin);
    }
}

void merge_contig(std::vector<Part> &parts, IndexKind kind, int min_shift, int depth,
                  const std::vector<int> &depths, Contig *out) {
    // The union of the bins: every part's chunks, shifted already, under the bin's number in
    // the output's depth.
    struct Ref {
        uint32_t bin;
        const Bin *b;
    };
    std::vector<Ref> refs;
    for (size_t i = 0; i < parts.size(); i++) {
        Part &p = parts[i];
        for (const auto &b : p.contig->bins) {
            const uint32_t n = renumber(b.bin, depths[i], depth);
            refs.push_back({n, &b});
            p.loff.emplace_back(n, b.loffset);
            p.reach = std::max(p.reach, bin_end(n, min_shift, depth));
        }
        std::sort(p.loff.begin(), p.loff.end());
    }
    std::stable_sort(refs.begin(), refs.end(),
                     [](const Ref &a, const Ref &b) { return a.bin < b.bin; });
    for (size_t i = 0; i < refs.size();) {
        Bin bin{refs[i].bin, 0, {}};
        size_t j = i;
        for (; j < refs.size() && refs[j].bin == bin.bin; j++)
            bin.chunks.insert(bin.chunks.end(), refs[j].b->chunks.begin(), refs[j].b->chunks.end());
        std::sort(bin.chunks.begin(), bin.chunks.end(),
                  [](const Chunk &a, const Chunk &b) { return a.beg < b.beg; });
        size_t k = 0;
        for (const auto &ch : bin.chunks) {
            if (k > 0 && bin.chunks[k - 1].end >= ch.beg)
                bin.chunks[k - 1].end = std::max(bin.chunks[k - 1].end, ch.end);
            else
                bin.chunks[k++] = ch;
        }
        bin.chunks.resize(k);
        if (kind == IndexKind::kCsi) {
            // A reader's search for the loffset of a query stops at the first bin present
            // among the query's bottom bin, its previous siblings, its parent and so on up; a
            // query that stops here starts at or after this bin's first position. It needs
            // each part that may hold records ending past that position to be read from
            // where a reader of that part alone would start (a part whose records all end
            // before it has none to give). Parts lie in the output in join order, so the
            // first such part gives the smallest value.
            const uint64_t beg = bin_beg(bin.bin, min_shift, depth);
            for (const Part &p : parts) {
                if (p.reach > beg) {  // true of every part that has the bin
                    bin.loffset = part_loffset(p, bin.bin);
                    break;
                }
            }
        }
        out->bins.push_back(std::move(bin));
        i = j;
    }

    // The summary: first record of the earliest part, end of the latest, counts added; kept
    // only when every part has one.
    bool all = true, any = false;
    for (const Part &p : parts) {
        const Contig &c = *p.contig;
        if (!c.has_pseudo) {
            all = all && c.bins.empty();
            continue;
        }
        if (!any) out->pseudo.first = c.pseudo.first;
        any = true;
        out->pseudo.last = c.pseudo.last;
        out->pseudo.n_mapped += c.pseudo.n_mapped;
        out->pseudo.n_unmapped += c.pseudo.n_unmapped;
    }
    out->has_pseudo = all && any;
    if (!out->has_pseudo) out->pseudo = {};

    // The linear index: per window, the smallest value any part gives.
    for (const Part &p : parts) {
        const auto &lin = p.contig->linear;
        if (out->linear.size() < lin.size()) out->linear.resize(lin.size(), kNone);
        for (size_t w = 0; w < lin.size(); w++) out->linear[w] = std::min(out->linear[w], lin[w]);
    }
}

}  // namespace

bool IndexMerger::finish(Index *out, std::string *why) const try {
    Index ix;
    ix.kind = kind_;
    if (kind_ == IndexKind::kTbi) {
        const tbx_conf_t &v = tbx_conf_vcf;
        ix.tbx = {v.preset, v.sc, v.bc, v.ec, v.meta_char, v.line_skip};
        ix.min_shift = kTbiShift;
        ix.depth = kTbiDepth;
        ix.names = names_;
        ix.contigs.resize(names_.size());
    } else if (!inputs_.empty()) {
        ix.min_shift = inputs_.front().index.min_shift;
        ix.aux = inputs_.front().index.aux;
        ix.depth = 0;
    }
    // Parts of each output contig, in join order.
    std::vector<std::vector<Part>> parts;
    std::vector<std::vector<int>> depths;
    for (const Input &in : inputs_) {
        if (kind_ == IndexKind::kCsi) {
            ix.depth = std::max(ix.depth, in.index.depth);
            if (ix.contigs.size() < in.index.contigs.size())
                ix.contigs.resize(in.index.contigs.size());
        }
        if (in.index.has_n_no_coor) {
            ix.has_n_no_coor = true;
            ix.n_no_coor += in.index.n_no_coor;
        }
    }
    parts.resize(ix.contigs.size());
    depths.resize(ix.contigs.size());
    for (const Input &in : inputs_) {
        for (size_t i = 0; i < in.index.contigs.size(); i++) {
            const Contig &c = in.index.contigs[i];
            if (c.bins.empty() && !c.has_pseudo && c.linear.empty()) continue;
            const size_t o = size_t(in.out_contig[i]);
            parts[o].push_back({&c, in.start, {}, 0});
            depths[o].push_back(in.index.depth);
        }
    }
    for (size_t o = 0; o < ix.contigs.size(); o++)
        merge_contig(parts[o], kind_, ix.min_shift, ix.depth, depths[o], &ix.contigs[o]);
    *out = std::move(ix);
    return true;
} catch (const std::bad_alloc &) {
    return fail(why, "out of memory");
}

bool IndexMerger::write(const std::string &path, std::string *why) const {
    Index ix;
    return finish(&ix, why) && index_write(ix, path, why);
}

}  // namespace vfjoin
