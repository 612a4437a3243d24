// Each input's part of the joined file's index.
#include "prepare.h"

#include <new>

namespace vfjoin {

IndexKind index_kind(Kind kind) {
    return kind == Kind::kBcf ? IndexKind::kCsi : IndexKind::kTbi;
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

void prepare(const Input &in, Prep *p) try {
    const IndexKind ik = index_kind(in.kind);
    const bool is_stdin = in.alias >= 0;
    std::string why;
    IndexMerger trial(ik);
    if (is_stdin) why = "standard input has no index beside it";
    if (!why.empty() || !index_load_beside(in.name, ik, &p->idx, &why) ||
        !trial.add(p->idx, map_of(in, nullptr), &why)) {
        p->note = why;
        const std::string path = is_stdin ? "/proc/self/fd/" + std::to_string(in.fd) : in.name;
        if (!index_build_from_records(path, ik, &p->idx, &why)) {
            p->fault = "cannot be indexed: " + why;
            return;
        }
    }
    read_edges(in, p->idx, {}, &p->edges, &p->fault);
} catch (const std::bad_alloc &) {
    p->fault = "out of memory";
}

}  // namespace vfjoin
