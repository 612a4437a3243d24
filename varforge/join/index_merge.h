// index_merge: the joined file's coordinate index, made from the inputs' own indexes without
// decoding a record.
//
// A join writes one header, then each input's records: the records that share the block in
// which the input's header ends are re-encoded into fresh blocks, and the input's later blocks
// are copied unchanged. Every virtual offset in an input's index therefore lands at a known
// place in the joined file (OffsetMap, map_voffset), and the joined file's index is the union
// of the inputs' indexes, each shifted to where its blocks landed (IndexMerger).
//
// Two index kinds are handled, both BGZF-compressed and little-endian:
//  - CSI (".csi"), as htslib writes it for BCF: contigs are the header's contig dictionary
//    numbers, bins carry a `loffset`.
//  - Tabix (".tbi"), as htslib writes it for bgzipped VCF: contigs are named, numbered in order
//    of first appearance, and each has a linear index of 2^14-position windows.
//
// Conventions:
//  1. Functions that can fail return true on success. On failure they return false and, when
//     `why` is not null, set it to a short reason that names no file (the caller knows which
//     file it was), except index_load_beside, which names the index file it looked for.
//  2. Index bytes are untrusted. index_parse and index_load accept any input: they never read
//     out of bounds, and allocate at most in proportion to the bytes given. A damaged index
//     fails to parse; the caller treats it as absent and builds the input's part from its
//     records (index_build_from_records).
//  3. No exception leaves the module; running out of memory is a failure like any other.
//  4. Objects are not shared between threads; distinct objects may be used by distinct threads.
//     index_load, index_load_beside and index_build_from_records keep htslib quiet while they
//     run (their reasons come back through `why`) by setting htslib's message level, which is
//     process-wide, and restoring it after: they must not run while another thread uses htslib.
//
// This is an internal C++ interface of the varforge program (like varforge/bgzf_bcf), not a
// module of the installed C library.
#ifndef VARFORGE_JOIN_INDEX_MERGE_H
#define VARFORGE_JOIN_INDEX_MERGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vfjoin {

enum class IndexKind { kCsi, kTbi };

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
};

// A whole index in memory. For CSI, `aux` holds the auxiliary bytes as stored (empty for BCF)
// and `names` stays empty; for tabix, `tbx` and `names` (one per contig, in contig-number
// order) are set, and `min_shift`/`depth` are 14 and 5.
struct Index {
    IndexKind kind = IndexKind::kCsi;
    int32_t min_shift = 14, depth = 5;
    std::vector<uint8_t> aux;
    TbxSettings tbx;
    std::vector<std::string> names;
    std::vector<Contig> contigs;
    bool has_n_no_coor = false;
    uint64_t n_no_coor = 0;  // records without a contig
};

// Parses a DECOMPRESSED index of `kind` (magic included) from `bytes[0, len)` into `*out`.
// Bins come out sorted by number. Fails on a wrong magic, counts that the bytes cannot hold,
// a bin number outside the binning scheme or given twice in a contig, a pseudo-bin without
// exactly two pairs, tabix names that do not match the contig count, and bytes left over.
bool index_parse(const uint8_t *bytes, size_t len, IndexKind kind, Index *out, std::string *why);

// The decompressed bytes of `index`, as index_parse reads them and htslib loads them.
bool index_encode(const Index &index, std::string *bytes, std::string *why);

// Reads and parses the BGZF-compressed index file at `index_path`.
bool index_load(const std::string &index_path, IndexKind kind, Index *out, std::string *why);

// The index of `data_path` as htslib finds it ("DATA.csi" for kCsi, "DATA.tbi" for kTbi), but
// refused when it is older than the data file (htslib's reader warns about such an index: the
// data may have changed since it was made).
bool index_load_beside(const std::string &data_path, IndexKind kind, Index *out, std::string *why);

// For an input without a usable index: builds the index of the BGZF-compressed BCF (kCsi) or
// VCF (kTbi) file at `data_path` by reading its records with htslib (CSI with min_shift 14;
// tabix with the VCF settings) into a private temporary file, loads it and removes the file.
bool index_build_from_records(const std::string &data_path, IndexKind kind, Index *out,
                              std::string *why);

// How one input's bytes moved into the joined file. File offsets are of compressed bytes.
struct OffsetMap {
    int64_t tail_block = 0;  // the input's block in which its header ends,
    int tail_from = 0;       // the header's bytes in it,
    int tail_len = 0;        // and its decompressed length (records follow when larger)
    // The output blocks holding that block's bytes [tail_from, tail_len), re-encoded, in
    // order: (file offset, decompressed length) each. Empty when no records share the
    // header's block.
    std::vector<std::pair<int64_t, int>> tail_out;
    int64_t data_start = 0, out_data_start = 0;  // the input's first block after tail_block,
                                                 // and where it lands in the output
    int64_t data_end = 0, out_data_end = 0;      // the input's end-of-file block (its size - 28),
                                                 // and where the next thing in the output starts
};

// Where the input's virtual offset `v` lands in the output. A position at a block's end is the
// next block's start. 0 ("from the first record"), and anything before the first record, maps
// to the input's first record; anything at or past data_end maps to out_data_end.
uint64_t map_voffset(const OffsetMap &map, uint64_t v);

// Merges the inputs' indexes into the joined file's index. Inputs are added in join order;
// each input's blocks must land after the previous input's (the map says where).
//  - CSI: contig number i of every input is contig i of the output (the join keeps the
//    contig dictionary); all inputs share min_shift and aux bytes, and the output has the
//    largest depth among them (a shallower input's bins are renumbered into it).
//  - Tabix: contigs are matched by name; the output lists them in order of first appearance.
//    Every input must carry the VCF settings.
// A refused input leaves the merger as it was; the caller may then add the same input's index
// built from its records instead.
class IndexMerger {
   public:
    explicit IndexMerger(IndexKind kind) : kind_(kind) {}

    // Adds the index of the next input and where the input's blocks landed. Fails when the
    // index does not fit the merge (kind, min_shift, aux or settings differ from the earlier
    // inputs') or does not fit the map: an offset outside the input's records, an index that
    // does not end where the input's data ends, records in the data but none in the index,
    // output places that go backwards, or a contig whose records are split by another's.
    bool add(const Index &input, const OffsetMap &map, std::string *why);

    // The merged index of the inputs added so far.
    bool finish(Index *out, std::string *why) const;

    // Writes finish()'s index to `path` (BGZF-compressed). The caller renames it into place.
    bool write(const std::string &path, std::string *why) const;

    // Inputs added (refused ones not counted).
    size_t size() const { return inputs_.size(); }

   private:
    struct Input {
        Index index;                  // virtual offsets already mapped into the output
        uint64_t start;               // where the input's first record lands in the output
        std::vector<int> out_contig;  // input contig number -> output contig number
    };
    IndexKind kind_;
    std::vector<Input> inputs_;
    std::vector<std::string> names_;                 // tabix: output contig names in order
    std::unordered_map<std::string, int> name_ids_;  // tabix: name -> output contig
    std::vector<char> done_;                         // output contigs whose records have ended
    uint64_t last_end_ = 0;  // the previous input's out_data_end, as a virtual offset
    int last_contig_ = -1;   // output contig of the previous input's last record
};

// Writes `index` to `path`, BGZF-compressed at the fastest level.
bool index_write(const Index &index, const std::string &path, std::string *why);

}  // namespace vfjoin

#endif
