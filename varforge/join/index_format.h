// index_format: a coordinate index in memory, read from and written to its file format, or
// built from a data file's records. The join reads each input's index with it and writes the
// joined file's index (index_merge makes that one from the inputs').
//
// Two index kinds are handled, both BGZF-compressed and little-endian:
//  - CSI (".csi"): bins carry a `loffset`. Over BCF, contigs are the header's contig
//    dictionary numbers and the auxiliary bytes are empty. Over bgzipped VCF, the auxiliary
//    bytes hold the tabix settings and contig names, and contigs are numbered as those names
//    list them (as in tabix).
//  - Tabix (".tbi"), for bgzipped VCF whose positions lie below 2^29: contigs are named,
//    numbered in order of first appearance, and each has a linear index of 2^14-position
//    windows.
//
// Contract:
//  1. Ownership: an Index is a plain value that owns all its parts; the functions fill the
//     caller's objects and keep nothing. Files they open are closed, and the temporary file of
//     index_build_from_records removed, before they return.
//  2. Errors: functions that can fail return true on success. On failure they return false
//     and, when `why` is not null, set it to a short reason that names no file (the caller knows
//     which file it was), except index_load_beside, which names the index file it looked for.
//     On failure `*out` is left as it was.
//  3. Index bytes are untrusted. index_parse and index_load accept any input: they never read
//     out of bounds, and allocate at most in proportion to the bytes given. A damaged index
//     fails to parse; the caller treats it as absent and builds the input's part from its
//     records (index_build_from_records).
//  4. No exception leaves the module; running out of memory is a failure like any other.
//  5. Threads: objects are not shared between threads; distinct objects may be used by distinct
//     threads. index_load, index_load_beside and index_build_from_records keep htslib's
//     messages off while they run (their reasons come back through `why`; see hts_quiet.h).
//     The caller (cat_command) turns htslib's log level off once before it starts any thread;
//     with the level off these functions never write it, so they may run in several threads at
//     once. A caller that has not turned it off must not use htslib from another thread
//     meanwhile.
//
// This is an internal C++ interface of the varforge program (like the rest of varforge/join), not a
// module of the installed C library.
#ifndef VARFORGE_JOIN_INDEX_FORMAT_H
#define VARFORGE_JOIN_INDEX_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vfjoin {

enum class IndexKind { kCsi, kTbi };

// What an index indexes: BCF (which htslib indexes as CSI) or bgzipped VCF (tabix, or CSI when
// its positions do not fit tabix).
enum class DataKind { kBcf, kVcf };

// The binning of a tabix index (a CSI index stores its own).
constexpr int32_t kTbiMinShift = 14, kTbiDepth = 5;

// The binning scheme: level l (0 at the top, `depth` at the bottom) splits a contig into 8^l
// bins of 2^(min_shift + 3 * (depth - l)) positions; bins are numbered level by level, and this
// is the number of the first bin of `level`.
inline uint64_t bin_level_first(int level) {
    return ((uint64_t(1) << (3 * level)) - 1) / 7;
}

// A pair of virtual offsets: the records of a bin lie within [beg, end).
struct Chunk {
    uint64_t beg, end;
};

// One bin of the binning scheme. `loffset` (CSI only; 0 in tabix) is the virtual offset from
// which a reader starts to find every record overlapping the bin's first window; 0 means
// "from the first record".
struct Bin {
    uint32_t bin;
    uint64_t loffset;
    std::vector<Chunk> chunks;
};

// A contig's summary, kept in the bin numbered one past the last real bin: the virtual offsets
// of its first record and just past its last, and its record counts.
struct PseudoBin {
    uint64_t first, last;
    uint64_t n_mapped, n_unmapped;
};

struct Contig {
    std::vector<Bin> bins;  // real bins, in increasing bin number, no number twice
    bool has_pseudo = false;
    PseudoBin pseudo{};
    std::vector<uint64_t> linear;  // tabix only: one virtual offset per 2^14-position window
};

// The settings a tabix index stores about the text it indexes (htslib's tbx_conf_t).
struct TbxSettings {
    int32_t format = 0, col_seq = 0, col_beg = 0, col_end = 0, meta = 0, skip = 0;
    bool operator==(const TbxSettings &) const = default;
};

// The settings of a tabix index of VCF text, as htslib writes them.
TbxSettings tbx_vcf_settings();

// A whole index in memory. For CSI, `aux` holds the auxiliary bytes as stored (empty for BCF);
// when they are tabix settings and contig names (`tabix_aux`, a CSI over bgzipped VCF), `tbx`
// and `names` hold them too, and index_encode writes the auxiliary bytes from those two. For
// tabix, `tbx` and `names` (one per contig, in contig-number order) are set, and
// `min_shift`/`depth` are kTbiMinShift and kTbiDepth.
struct Index {
    IndexKind kind = IndexKind::kCsi;
    int32_t min_shift = kTbiMinShift, depth = kTbiDepth;
    std::vector<uint8_t> aux;
    bool tabix_aux = false;
    TbxSettings tbx;
    std::vector<std::string> names;
    std::vector<Contig> contigs;
    bool has_n_no_coor = false;
    uint64_t n_no_coor = 0;  // records without a contig

    // Whether contigs are known by name (tabix, or CSI over VCF) rather than by number.
    bool named() const { return kind == IndexKind::kTbi || tabix_aux; }
};

// Parses a DECOMPRESSED index of `kind` (magic included) from `bytes[0, len)` into `*out`.
// Bins come out sorted by number. Fails on a wrong magic, counts that the bytes cannot hold,
// a bin number outside the binning scheme or given twice in a contig, a pseudo-bin without
// exactly two pairs, tabix names that do not match the contig count, and bytes left over. A
// CSI's auxiliary bytes that read as tabix settings and distinct names set `tabix_aux`; any
// others are kept as they are.
bool index_parse(const uint8_t *bytes, size_t len, IndexKind kind, Index *out, std::string *why);

// The decompressed bytes of `index`, as index_parse reads them and htslib loads them.
bool index_encode(const Index &index, std::string *bytes, std::string *why);

// Reads and parses the BGZF-compressed index file at `index_path`.
bool index_load(const std::string &index_path, IndexKind kind, Index *out, std::string *why);

// The index of `data_path` as htslib finds it: "DATA.csi" for BCF; for bgzipped VCF
// "DATA.csi" when it exists, else "DATA.tbi". Refused when it is older than the data file by
// htslib's rule (its modification time in whole seconds earlier than the data's; htslib's
// reader warns about such an index: the data may have changed since it was made).
bool index_load_beside(const std::string &data_path, DataKind data, Index *out, std::string *why);

// For an input without a usable index: builds the index of the BGZF-compressed BCF or VCF file
// at `data_path` (a URL: htslib downloads its records once more) by reading its records with
// htslib into a private temporary file, loads it and removes the file. BCF gets a CSI with
// min_shift 14; VCF a tabix index with the VCF settings, or, when `beyond_tbi` (its header has a
// contig of unknown length or one of 2^29 or more) and the tabix build fails, a CSI with
// min_shift 14 as htslib makes it.
bool index_build_from_records(const std::string &data_path, DataKind data, bool beyond_tbi,
                              Index *out, std::string *why);

// The CSI form of a tabix index, answering every query as the tabix index does: the same bins
// (min_shift 14, depth 5), each bin's `loffset` taken from the linear index as htslib derives
// it when it loads a tabix index, the settings and names as auxiliary bytes (`tabix_aux`).
bool index_tbi_as_csi(const Index &tbi, Index *out, std::string *why);

// Writes `index` to `path`, BGZF-compressed at the fastest level.
bool index_write(const Index &index, const std::string &path, std::string *why);

}  // namespace vfjoin

#endif
