// part_plan: how a joined output written to an object store is cut into the parts of one
// multipart upload. The output arrives in order as pieces: bytes the join holds in memory (the
// header, re-encoded first records, padding, the end-of-file block) and byte ranges of its
// inputs. A range of an input that lives in the same store may become parts copied inside the
// store; everything else is uploaded, and so passes through this machine.
//
// The store's rules: parts numbered 1..max_parts in order; every part but the last at least
// min_part (5 MiB) and at most max_part (5 GiB) bytes; a copied range at most max_part. A piece
// too small to stand as a part is merged into an uploaded part with bytes borrowed from its
// neighbours, which are then downloaded.
//
// The plan aims at the fewest bytes through the machine (uploaded plus downloaded), deciding
// each part from the pieces seen so far and holding at most one uploaded part's worth of
// pending output (under upload_max bytes):
//  - bytes and ranges that cannot be copied join the pending run, which is sent as an uploaded
//    part of upload_max bytes each time it reaches that;
//  - before a copyable range of at least min_part, a pending run of min_part or more is sent as
//    it is; a shorter one borrows the range's head up to min_part, unless what would remain of
//    the range is itself under min_part, in which case the whole range joins the run;
//  - what remains of a copyable range is copied, in near-equal parts of at most max_part;
//  - a copyable range under min_part joins the pending run; the run is the last part at the
//    end, which may be small.
// The floor this reaches: an input whose first records share its header's block costs about
// min_part through the machine (its few re-encoded kilobytes are padded out to a part with
// bytes borrowed from the range after them); inputs whose records start on a block boundary
// cost about min_part in all (the header's part), plus the inputs under min_part, which are
// uploaded whole.
//
// To keep within max_parts, the planner raises min_part to at least
// ceil(expected_total * 1.02 / (max_parts - 1)) and upload_max to at least twice that; its
// parts are then at least the raised min_part, but the last and the paced ones below. An
// output more than 2% over its estimate may still need more parts (add() then fails).
// A copyable range under
// the raised min_part (but at least the store's own) is still copied while the parts so far,
// its own included, stay within a pace of max_parts - 2 parts over the expected total: the
// uploaded parts of upload_max leave room for it. A join of 20,000 inputs of 64 MiB (raised
// min_part 131 MiB) so copies 24.5% of its bytes in 9,801 parts, where no plan within 10,000
// parts copies more than a quarter (each copied input and the records after it need parts of
// their own); without the pace it would upload them all.
//
// Pure computation, no I/O; one planner belongs to one thread.
#ifndef VARFORGE_JOIN_PART_PLAN_H
#define VARFORGE_JOIN_PART_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

namespace vfjoin {

struct PartLimits {
    int64_t min_part = 5 << 20;           // smallest part but the last
    int64_t max_part = int64_t(5) << 30;  // largest part, copied or uploaded
    int max_parts = 10000;                // parts in one upload
    int64_t upload_max = 16 << 20;        // largest uploaded part built in memory; at least
                                          // 2 * min_part once raised
};

struct Piece {
    enum Kind { kBytes, kRange } kind;
    int64_t len;
    int source = -1;        // kRange: the input's number
    int64_t offset = 0;     // kRange: where the range starts in that input
    bool copyable = false;  // kRange: whether the store may copy it in place
};

struct PlannedPart {
    int number;          // 1..max_parts, in output order
    int64_t out_offset;  // where the part starts in the output
    int64_t len;
    bool copy;  // copied: bytes [src_offset, src_offset+len) of `source`;
                // uploaded: the output's bytes [out_offset, out_offset+len)
    int source = -1;
    int64_t src_offset = 0;
};

class PartPlanner {
   public:
    // `expected_total`: the output's expected size, an estimate that may be a little off.
    PartPlanner(const PartLimits &limits, int64_t expected_total);

    // Takes the next piece and appends to `ready` the parts now decided, in order. false with
    // `why` set when the store's rules cannot be met (too many parts, limits that allow no
    // plan, a negative length); the planner then refuses every later call.
    bool add(const Piece &p, std::vector<PlannedPart> *ready, std::string *why);

    // Appends the rest: the pending run as the last part (one empty part when the output is
    // empty, so that an upload always has a part).
    bool finish(std::vector<PlannedPart> *ready, std::string *why);

    // The limits in force, after raising; parts but the last are at least the min_part given
    // to the constructor, most of them at least this one's.
    const PartLimits &limits() const { return l_; }

   private:
    bool emit_upload(int64_t len, std::vector<PlannedPart> *ready, std::string *why);
    bool emit_copies(int source, int64_t src_offset, int64_t len, std::vector<PlannedPart> *ready,
                     std::string *why);
    bool next_number(std::string *why);
    bool fail(const std::string &reason, std::string *why);
    bool paced_copy_fits(int64_t len) const;

    PartLimits l_;
    int64_t store_min_;            // the store's own smallest part, before raising
    long double paced_total_ = 0;  // the expected total with its margin; 0: not raised
    int64_t out_ = 0;              // output bytes taken so far
    int64_t pending_ = 0;  // the pending run: the output's last `pending_` bytes, in no part
    int number_ = 0;       // parts planned so far
    bool failed_ = false;
    std::string why_;
};

// Plans `pieces` at once; an empty list with `why` set on failure.
std::vector<PlannedPart> plan_parts(const std::vector<Piece> &pieces, const PartLimits &l,
                                    int64_t expected_total, std::string *why);

}  // namespace vfjoin

#endif
