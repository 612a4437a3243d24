// index_merge: the joined file's coordinate index, made from the inputs' own indexes without
// decoding a record.
//
// A join writes one header, then each input's records: the records that share the block in
// which the input's header ends are re-encoded into fresh blocks, and the input's later blocks
// are copied unchanged. Every virtual offset in an input's index therefore lands at a known
// place in the joined file (OffsetMap, map_voffset), and the joined file's index is the union
// of the inputs' indexes, each shifted to where its blocks landed (IndexMerger). The indexes
// themselves, their kinds and their files are index_format's.
//
// Contract:
//  1. Ownership: IndexMerger::add copies what it keeps of the index it is given; the caller's
//     Index and OffsetMap stay the caller's.
//  2. Errors: functions that can fail return true on success. On failure they return false
//     and, when `why` is not null, set it to a short reason that names no file (the caller
//     knows which input or output it was). A refused input leaves the merger as it was.
//  3. Index bytes are untrusted: add takes an index as index_parse leaves it (bin numbers
//     within the scheme, bins sorted) and checks every offset in it against the input's map,
//     refusing the index rather than following an offset out of the input's records.
//  4. No exception leaves the module; running out of memory is a failure like any other.
//  5. Threads: the merge is plain computation on its own objects and uses no process-wide
//     state; objects are not shared between threads, distinct objects may be used by distinct
//     threads. IndexMerger::write writes through index_write (index_format.h).
//
// This is an internal C++ interface of the varforge program (like the rest of varforge/join), not a
// module of the installed C library.
#ifndef VARFORGE_JOIN_INDEX_MERGE_H
#define VARFORGE_JOIN_INDEX_MERGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "join/index_format.h"

namespace vfjoin {

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

// How a contig known only by its number is named in messages: "#N".
inline std::string contig_number_name(int n) {
    std::string s(1, '#');  // appended to, not prepended: GCC 12 warns falsely on "#" + s
    s += std::to_string(n);
    return s;
}

// Where the input's virtual offset `v` lands in the output. A position at a block's end is the
// next block's start. 0 ("from the first record"), and anything before the first record, maps
// to the input's first record; anything at or past data_end maps to out_data_end.
uint64_t map_voffset(const OffsetMap &map, uint64_t v);

// Merges the inputs' indexes into the joined file's index. Inputs are added in join order;
// each input's blocks must land after the previous input's (the map says where).
//  - CSI of BCF: contig number i of every input is contig i of the output (the join keeps the
//    contig dictionary); all inputs share min_shift and aux bytes, and the output has the
//    largest depth among them (a shallower input's bins are renumbered into it).
//  - Tabix: contigs are matched by name; the output lists them in order of first appearance.
//    Every input must carry the VCF settings.
//  - CSI of VCF: contigs are matched by name as in tabix, binned as CSI of BCF; every input
//    carries the VCF settings (in its aux bytes) and tabix's min_shift (14). A tabix input is
//    taken in its CSI form (index_tbi_as_csi). The output's aux bytes hold the settings and
//    names.
// A refused input leaves the merger as it was; the caller may then add the same input's index
// built from its records instead.
class IndexMerger {
   public:
    // An index of `kind` over `data`; tabix is of VCF only.
    explicit IndexMerger(IndexKind kind, DataKind data = DataKind::kBcf)
        : kind_(kind), named_(kind == IndexKind::kTbi || data == DataKind::kVcf) {}

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
    // The output's contigs as the inputs added so far lay them out. `add` works on a copy and
    // keeps it only when it accepts the input.
    struct ContigOrder {
        std::vector<std::string> names;            // tabix: output contig names in order
        std::unordered_map<std::string, int> ids;  // tabix: name -> output contig
        std::vector<char> done;                    // output contigs whose records have ended
        int last = -1;  // output contig of the previous input's last record
    };
    // One contig's records in one input: where (in the input) its first record starts and its
    // last ends, and its output contig.
    struct Span {
        uint64_t first, last;
        int out;  // output contig
    };

    // Steps of add and finish.
    bool check_fit(const Index &input, std::string *why) const;
    int output_contig(const Index &input, size_t i, ContigOrder *order) const;
    bool check_order(std::vector<Span> spans, size_t n_contigs, ContigOrder *order,
                     std::string *why) const;
    void start_output(Index *ix) const;

    IndexKind kind_;
    bool named_;  // contigs matched by name: an index of VCF
    std::vector<Input> inputs_;
    ContigOrder order_;
    uint64_t last_end_ = 0;  // the previous input's out_data_end, as a virtual offset
};

}  // namespace vfjoin

#endif
