#include "join/index_format.h"

#include <errno.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "join/bytes.h"
#include "join/hts_quiet.h"
#include "join/temp_files.h"

namespace vfjoin {
namespace {

constexpr int kMaxDepth = 9;                        // keeps every bin number within 32 bits
constexpr size_t kMaxIndexBytes = size_t(1) << 30;  // a decompressed index larger than this
                                                    // is refused rather than held in memory

bool fail(std::string *why, const std::string &what) {
    if (why) *why = what;
    return false;
}

// The number of real bins of a scheme of `depth`, and the bin after them, which holds a
// contig's summary.
uint64_t n_bins(int depth) {
    return bin_level_first(depth + 1);
}
uint32_t pseudo_bin(int depth) {
    return uint32_t(n_bins(depth) + 1);
}

// ---- reading decompressed index bytes ----

class Reader {
   public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    size_t left() const { return n_ - at_; }
    const uint8_t *take(size_t n) {
        if (left() < n) return nullptr;
        at_ += n;
        return p_ + at_ - n;
    }
    bool u32(uint32_t *v) {
        const uint8_t *p = take(4);
        if (p) *v = le32(p);
        return p != nullptr;
    }
    bool i32(int32_t *v) {
        uint32_t u;
        if (!u32(&u)) return false;
        *v = int32_t(u);
        return true;
    }
    bool u64(uint64_t *v) {
        const uint8_t *p = take(8);
        if (p) *v = le64(p);
        return p != nullptr;
    }
    // A count of items of at least `item` bytes each, which the bytes left can hold.
    bool count(int32_t *n, size_t item) { return i32(n) && *n >= 0 && size_t(*n) <= left() / item; }

   private:
    const uint8_t *p_;
    size_t n_, at_ = 0;
};

// One bin as stored: its number, its loffset (CSI), its chunks.
bool read_bin(Reader &r, bool csi, uint32_t pseudo, Bin *bin, std::string *why) {
    int32_t n_chunk;
    if (!r.u32(&bin->bin) || (csi && !r.u64(&bin->loffset)) || !r.count(&n_chunk, 16))
        return fail(why, "bad bin");
    bin->chunks.resize(size_t(n_chunk));
    for (auto &ch : bin->chunks) {
        if (!r.u64(&ch.beg) || !r.u64(&ch.end)) return fail(why, "bad chunk");
        if (bin->bin != pseudo && ch.end < ch.beg) return fail(why, "chunk ends before it begins");
    }
    return true;
}

// Sorts a contig's real bins by number; fails on a number given twice.
bool sort_bins(Contig *c, std::string *why) {
    std::sort(c->bins.begin(), c->bins.end(),
              [](const Bin &a, const Bin &b) { return a.bin < b.bin; });
    for (size_t i = 1; i < c->bins.size(); i++)
        if (c->bins[i].bin == c->bins[i - 1].bin)
            return fail(why, "bin " + std::to_string(c->bins[i].bin) + " given twice");
    return true;
}

bool parse_contig(Reader &r, const Index &ix, Contig *c, std::string *why) {
    const bool csi = ix.kind == IndexKind::kCsi;
    const uint32_t pseudo = pseudo_bin(ix.depth);
    int32_t n_bin;
    if (!r.count(&n_bin, csi ? 16 : 8)) return fail(why, "bad bin count");
    c->bins.reserve(size_t(n_bin));
    for (int32_t b = 0; b < n_bin; b++) {
        Bin bin{};
        if (!read_bin(r, csi, pseudo, &bin, why)) return false;
        if (bin.bin == pseudo) {
            if (c->has_pseudo) return fail(why, "bin " + std::to_string(pseudo) + " given twice");
            if (bin.chunks.size() != 2) return fail(why, "contig summary without two pairs");
            c->has_pseudo = true;
            c->pseudo = {bin.chunks[0].beg, bin.chunks[0].end, bin.chunks[1].beg,
                         bin.chunks[1].end};
        } else if (bin.bin >= n_bins(ix.depth)) {
            return fail(why, "bin number " + std::to_string(bin.bin) + " out of range");
        } else {
            c->bins.push_back(std::move(bin));
        }
    }
    if (!sort_bins(c, why)) return false;
    if (!csi) {
        int32_t n_intv;
        if (!r.count(&n_intv, 8)) return fail(why, "bad linear index size");
        c->linear.resize(size_t(n_intv));
        for (auto &v : c->linear) r.u64(&v);
    }
    return true;
}

// The tabix settings and contig names, as a tabix index stores them after its contig count
// and a CSI over VCF as its auxiliary bytes.
bool read_tabix_meta(Reader &r, Index *ix, std::string *why) {
    int32_t l_nm;
    TbxSettings &t = ix->tbx;
    if (!r.i32(&t.format) || !r.i32(&t.col_seq) || !r.i32(&t.col_beg) || !r.i32(&t.col_end) ||
        !r.i32(&t.meta) || !r.i32(&t.skip) || !r.count(&l_nm, 1))
        return fail(why, "truncated header");
    const char *nm = reinterpret_cast<const char *>(r.take(size_t(l_nm)));
    if (l_nm > 0 && nm[l_nm - 1] != '\0') return fail(why, "contig names not terminated");
    for (const char *p = nm, *end = nm + l_nm; p < end; p += strlen(p) + 1)
        ix->names.emplace_back(p);
    std::vector<std::string> sorted = ix->names;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        return fail(why, "a contig name given twice");
    return true;
}

bool encode_tabix_meta(const Index &ix, std::string *s, std::string *why);

// The part of a CSI index before its contigs: binning, aux bytes, contig count.
bool parse_csi_header(Reader &r, Index *ix, int32_t *n_ref, std::string *why) {
    int32_t l_aux;
    if (!r.i32(&ix->min_shift) || !r.i32(&ix->depth) || !r.count(&l_aux, 1))
        return fail(why, "truncated header");
    if (ix->depth < 0 || ix->depth > kMaxDepth || ix->min_shift < 1 || ix->min_shift > 62 ||
        int64_t(ix->min_shift) + 3 * int64_t(ix->depth) > 62)
        return fail(why, "unusable binning (min_shift " + std::to_string(ix->min_shift) +
                             ", depth " + std::to_string(ix->depth) + ")");
    const uint8_t *aux = r.take(size_t(l_aux));
    ix->aux.assign(aux, aux + l_aux);
    Reader meta(aux, size_t(l_aux));
    Index named;
    std::string again;
    // Taken as tabix settings and names only where they are exactly what would be written
    // back: anything else stays as the bytes it is.
    if (l_aux > 0 && read_tabix_meta(meta, &named, nullptr) && meta.left() == 0 &&
        encode_tabix_meta(named, &again, nullptr) && again.size() == size_t(l_aux) &&
        memcmp(again.data(), aux, size_t(l_aux)) == 0) {
        ix->tabix_aux = true;
        ix->tbx = named.tbx;
        ix->names = std::move(named.names);
    }
    if (!r.count(n_ref, 4)) return fail(why, "bad contig count");
    if (ix->tabix_aux && ix->names.size() != size_t(*n_ref))
        return fail(why, "contig names do not match the contigs");
    return true;
}

// The part of a tabix index before its contigs: contig count, settings, contig names.
bool parse_tbi_header(Reader &r, Index *ix, int32_t *n_ref, std::string *why) {
    ix->min_shift = kTbiMinShift;
    ix->depth = kTbiDepth;
    if (!r.count(n_ref, 8)) return fail(why, "truncated header");
    if (!read_tabix_meta(r, ix, why)) return false;
    if (ix->names.size() > size_t(*n_ref)) return fail(why, "more names than contigs");
    if (ix->names.size() < size_t(*n_ref)) return fail(why, "fewer names than contigs");
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
    if (kind == IndexKind::kCsi ? !parse_csi_header(r, &ix, &n_ref, why)
                                : !parse_tbi_header(r, &ix, &n_ref, why))
        return false;
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

// ---- writing decompressed index bytes ----

constexpr size_t kMaxCount = size_t(std::numeric_limits<int32_t>::max());

void append32(std::string *s, uint32_t v) {
    unsigned char b[4];
    put32(b, v);
    s->append(reinterpret_cast<const char *>(b), sizeof b);
}
void append64(std::string *s, uint64_t v) {
    unsigned char b[8];
    put64(b, v);
    s->append(reinterpret_cast<const char *>(b), sizeof b);
}

// The tabix settings and contig names (read_tabix_meta reads them back).
bool encode_tabix_meta(const Index &ix, std::string *s, std::string *why) {
    const TbxSettings &t = ix.tbx;
    for (int32_t v : {t.format, t.col_seq, t.col_beg, t.col_end, t.meta, t.skip})
        append32(s, uint32_t(v));
    size_t l_nm = 0;
    for (const auto &n : ix.names) l_nm += n.size() + 1;
    if (l_nm > kMaxCount - 28) return fail(why, "index too large");
    append32(s, uint32_t(l_nm));
    for (const auto &n : ix.names) s->append(n.c_str(), n.size() + 1);
    return true;
}

// The part of the index before its contigs (the contig count included).
bool encode_header(const Index &ix, std::string *s, std::string *why) {
    if (ix.kind == IndexKind::kCsi) {
        std::string aux(ix.aux.begin(), ix.aux.end());
        if (ix.tabix_aux) {
            aux.clear();
            if (!encode_tabix_meta(ix, &aux, why)) return false;
        }
        s->append("CSI\1", 4);
        append32(s, uint32_t(ix.min_shift));
        append32(s, uint32_t(ix.depth));
        append32(s, uint32_t(aux.size()));
        s->append(aux);
        append32(s, uint32_t(ix.contigs.size()));
        return true;
    }
    s->append("TBI\1", 4);
    append32(s, uint32_t(ix.contigs.size()));
    return encode_tabix_meta(ix, s, why);
}

bool encode_contig(const Contig &c, bool csi, uint32_t pseudo, std::string *s, std::string *why) {
    if (c.bins.size() + 1 > kMaxCount || c.linear.size() > kMaxCount)
        return fail(why, "index too large");
    append32(s, uint32_t(c.bins.size() + (c.has_pseudo ? 1 : 0)));
    for (const auto &b : c.bins) {
        if (b.chunks.size() > kMaxCount) return fail(why, "index too large");
        append32(s, b.bin);
        if (csi) append64(s, b.loffset);
        append32(s, uint32_t(b.chunks.size()));
        for (const auto &ch : b.chunks) {
            append64(s, ch.beg);
            append64(s, ch.end);
        }
    }
    if (c.has_pseudo) {
        append32(s, pseudo);
        if (csi) append64(s, 0);
        append32(s, 2);
        for (uint64_t v : {c.pseudo.first, c.pseudo.last, c.pseudo.n_mapped, c.pseudo.n_unmapped})
            append64(s, v);
    }
    if (!csi) {
        append32(s, uint32_t(c.linear.size()));
        for (uint64_t v : c.linear) append64(s, v);
    }
    return true;
}

bool encode(const Index &ix, std::string *s, std::string *why) {
    const bool csi = ix.kind == IndexKind::kCsi;
    if (ix.depth < 0 || ix.depth > kMaxDepth) return fail(why, "unusable depth");
    if (ix.named() && ix.names.size() != ix.contigs.size())
        return fail(why, "contig names do not match the contigs");
    if (ix.contigs.size() > kMaxCount || ix.aux.size() > kMaxCount)
        return fail(why, "index too large");
    s->clear();
    if (!encode_header(ix, s, why)) return false;
    const uint32_t pseudo = pseudo_bin(ix.depth);
    for (const auto &c : ix.contigs)
        if (!encode_contig(c, csi, pseudo, s, why)) return false;
    if (ix.has_n_no_coor) append64(s, ix.n_no_coor);
    return true;
}

// ---- files ----

}  // namespace

TbxSettings tbx_vcf_settings() {
    const tbx_conf_t &v = tbx_conf_vcf;
    return {v.preset, v.sc, v.bc, v.ec, v.meta_char, v.line_skip};
}

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

bool index_load_beside(const std::string &data_path, DataKind data_kind, Index *out,
                       std::string *why) {
    // htslib looks for DATA.csi first, and for VCF then for DATA.tbi.
    if (const size_t scheme = data_path.find("://");
        scheme != std::string::npos && scheme > 0 && data_path.find_first_of("/.", 0) >= scheme) {
        // A remote index has no time to hold against its data's; the merge's check that it
        // fits the data's blocks is what guards against a stale one.
        std::string csi_why;
        if (index_load(data_path + ".csi", IndexKind::kCsi, out, &csi_why)) return true;
        const bool missing = csi_why == std::string("cannot open: ") + strerror(ENOENT);
        if (missing && data_kind == DataKind::kVcf &&
            index_load(data_path + ".tbi", IndexKind::kTbi, out, why))
            return true;
        if (!missing) return fail(why, data_path + ".csi: " + csi_why);
        return fail(why, data_kind == DataKind::kVcf
                             ? "no index " + data_path + ".csi or " + data_path + ".tbi"
                             : "no index " + data_path + ".csi");
    }
    std::string path = data_path + ".csi";
    IndexKind kind = IndexKind::kCsi;
    struct stat data, index;
    int found = stat(path.c_str(), &index);
    if (found != 0 && errno == ENOENT && data_kind == DataKind::kVcf) {
        path = data_path + ".tbi";
        kind = IndexKind::kTbi;
        found = stat(path.c_str(), &index);
        if (found != 0 && errno == ENOENT)
            return fail(why, "no index " + data_path + ".csi or " + path);
    }
    if (found != 0) return fail(why, "no index " + path + ": " + strerror(errno));
    if (stat(data_path.c_str(), &data) != 0) return fail(why, strerror(errno));
    // htslib's rule, in whole seconds: an index written in the same second as its data's last
    // change (as htslib writes one beside the file it writes) is current.
    if (index.st_mtim.tv_sec < data.st_mtim.tv_sec)
        return fail(why, "the index " + path + " is older than the data file");
    if (!index_load(path, kind, out, why)) {
        if (why) *why = path + ": " + *why;
        return false;
    }
    return true;
}

bool index_build_from_records(const std::string &data_path, DataKind data, bool beyond_tbi,
                              Index *out, std::string *why) {
    QuietHtslib quiet;
    htsFile *in = hts_open(data_path.c_str(), "r");
    if (!in) return fail(why, std::string("cannot open: ") + strerror(errno));
    const htsFormat *f = hts_get_format(in);
    const bool is_bcf = f->format == bcf && f->compression == bgzf;
    const bool is_vcf = f->format == vcf && f->compression == bgzf;
    hts_close(in);
    if (!(is_bcf && data == DataKind::kBcf) && !(is_vcf && data == DataKind::kVcf))
        return fail(why, data == DataKind::kBcf ? "not a BCF file" : "not a bgzipped VCF file");

    const char *env = getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
    // Once a run: what runs killed before they could remove theirs left behind.
    static std::once_flag swept;
    std::call_once(swept, [&] { remove_dead_leftovers(dir, "vf_index"); });
    TempFile tmp;
    const int fd = tmp.create(dir + "/vf_index");
    if (fd < 0) return fail(why, std::string("cannot make a temporary file: ") + strerror(errno));
    close(fd);
    IndexKind kind = is_bcf ? IndexKind::kCsi : IndexKind::kTbi;
    int r = is_bcf ? bcf_index_build3(data_path.c_str(), tmp.path().c_str(), 14, 0)
                   : tbx_index_build3(data_path.c_str(), tmp.path().c_str(), 0, 0, &tbx_conf_vcf);
    if (r == -1 && is_vcf && beyond_tbi) {
        // Positions past what tabix holds (2^29) fail its build; a CSI holds them.
        kind = IndexKind::kCsi;
        r = tbx_index_build3(data_path.c_str(), tmp.path().c_str(), 14, 0, &tbx_conf_vcf);
    }
    if (r != 0)
        return fail(why, r == -2   ? "cannot open the file"
                         : r == -4 ? "cannot write the index"
                                   : "cannot index the records (unsorted or damaged?)");
    return index_load(tmp.path(), kind, out, why);
}

bool index_tbi_as_csi(const Index &tbi, Index *out, std::string *why) try {
    if (tbi.kind != IndexKind::kTbi) return fail(why, "not a tabix index");
    Index ix = tbi;
    ix.kind = IndexKind::kCsi;
    ix.tabix_aux = true;
    ix.aux.clear();
    for (Contig &c : ix.contigs) {
        // As htslib fills a tabix linear index when it loads one: a window without a value
        // (0) takes the previous window's.
        for (size_t w = 1; w < c.linear.size(); w++)
            if (c.linear[w] == 0) c.linear[w] = c.linear[w - 1];
        for (Bin &b : c.bins) {
            int l = 0;
            while (bin_level_first(l + 1) <= b.bin) l++;
            // The bin's first 2^14-position window; 0 where the linear index does not reach.
            const uint64_t w = (b.bin - bin_level_first(l)) << (3 * (kTbiDepth - l));
            b.loffset = w < c.linear.size() ? c.linear[w] : 0;
        }
        c.linear.clear();
    }
    *out = std::move(ix);
    return true;
} catch (const std::bad_alloc &) {
    return fail(why, "out of memory");
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

}  // namespace vfjoin
