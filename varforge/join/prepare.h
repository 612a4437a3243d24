// prepare: each input's part of the joined file's index, made in the pool's threads while
// the join checks and copies: the input's own index (when it is current and fits its data)
// or one built from its records, and the records at its edges (order.h). A VCF input's part
// is tabix or, when it was indexed as CSI or its positions do not fit tabix, CSI.
//
// Threads: prepare() runs in any thread, for one input at a time, reading the input through a
// Source of its own; it uses htslib (the index reader and builder), whose message level the
// caller has set to off before starting the threads.
#ifndef VARFORGE_JOIN_PREPARE_H
#define VARFORGE_JOIN_PREPARE_H

#include <string>

#include "copy.h"
#include "index_merge.h"
#include "input.h"
#include "order.h"

namespace vfjoin {

struct Prep {
    Index idx;
    Edges edges;        // CSI contigs as "#N" (the driver names them)
    std::string fault;  // why it cannot be indexed
    std::string note;   // why its part was built from its records (said at -v)
};

DataKind data_kind(Kind kind);

// The place of an input's blocks in the input itself, as a join would copy them (`where`
// null), or in the output: what its index is mapped through.
OffsetMap map_of(const Input &in, const Placement *where);

// Fills `p` for the examined input `in`.
// `beyond_tbi`: the header allows positions past what a tabix index holds (see
// index_build_from_records).
void prepare(const Input &in, bool beyond_tbi, Prep *p);

}  // namespace vfjoin

#endif
