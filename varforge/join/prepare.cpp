// Each input's part of the joined file's index.
#include "prepare.h"

#include <new>

namespace vfjoin {

DataKind data_kind(Kind kind) {
    return kind == Kind::kBcf ? DataKind::kBcf : DataKind::kVcf;
}

OffsetMap map_of(const Input &in, const Placement *where) {
    OffsetMap m;
    m.tail_block = in.tail_block;
    m.tail_from = in.tail_from;
    m.tail_len = in.tail_len;
    m.data_start = in.data_start;
    m.data_end = in.data_end();
    if (where) {
        m.tail_out = where->tail_out;
        m.out_data_start = where->data_start;
        m.out_data_end = where->data_end;
    } else {
        if (in.tail_from < in.tail_len) m.tail_out = {{in.tail_block, in.tail_len - in.tail_from}};
        m.out_data_start = m.data_start;
        m.out_data_end = m.data_end;
    }
    return m;
}

void prepare(const Input &in, bool beyond_tbi, Prep *p) try {
    const DataKind dk = data_kind(in.kind);
    const bool is_stdin = in.alias >= 0;
    std::string why;
    if (is_stdin) why = "standard input has no index beside it";
    // The index is tried alone: whether it fits this input's data.
    if (!why.empty() || !index_load_beside(in.name, dk, &p->idx, &why) ||
        !IndexMerger(p->idx.kind, dk).add(p->idx, map_of(in, nullptr), &why)) {
        p->note = why;
        const std::string path = is_stdin ? "/proc/self/fd/" + std::to_string(in.fd) : in.name;
        if (!index_build_from_records(path, dk, beyond_tbi, &p->idx, &why)) {
            p->fault = "cannot be indexed: " + why;
            return;
        }
    }
    read_edges(in, p->idx, {}, &p->edges, &p->fault);
} catch (const std::bad_alloc &) {
    p->fault = "out of memory";
}

}  // namespace vfjoin
