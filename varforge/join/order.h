// order: what an index of the joined file needs from the join: each contig's records together
// and in order of position across the inputs' boundaries. Each input's own index says which
// contigs it holds, in file order; the only records decoded are the first of each input and
// the last few, found through the index.
#ifndef VARFORGE_JOIN_ORDER_H
#define VARFORGE_JOIN_ORDER_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "index_merge.h"
#include "input.h"

namespace vfjoin {

struct Edges {
    std::vector<std::string> contigs;  // the contigs with records, in file order
    int64_t first_pos = -1;            // the first record's position (1-based)
    int64_t last_pos = -1;             // the last record's position
};

// Reads the edges of the examined input `in`, whose index is `idx`; `names` names a CSI's
// contig numbers (the header's contig dictionary). false with `why` set when it cannot.
bool read_edges(const Input &in, const Index &idx, const std::vector<std::string> &names, Edges *e,
                std::string *why);

// true when the input numbered `at`, with edges `next`, may follow the earlier inputs in an
// indexed file: `prev` is the last earlier input with records (number `prev_at`), `seen` the
// input in which each contig was first seen. Else false with why (to be followed by the other
// input's name) and `*other` the number of the earlier input it conflicts with. Adds `next`'s
// contigs to `seen`.
bool follows(const Edges &prev, size_t prev_at, const Edges &next, size_t at,
             std::unordered_map<std::string, size_t> *seen, size_t *other, std::string *why);

}  // namespace vfjoin

#endif
