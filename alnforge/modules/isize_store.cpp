// Insert-size store: a dense and a sparse back end behind one table of operations.
// Every operation is file-local and reached only through the handle that
// init_isize_t() fills; the module keeps no data of its own outside the handle.
#include "isize_store.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Selects the counter that a sparse set writes; anything but kIn and kOut means kOther.
enum isize_insert_t { kIn = 0, kOut = 1, kOther = 2 };

// The store cannot keep a count it was asked to keep: losing it silently would skew
// the statistics, so the process ends instead.
[[noreturn]] void die_out_of_memory(const char *what) {
    fprintf(stderr, "%s\n", what);
    exit(11);
}

// ---- dense back end: one unchecked indexed access per operation ----

int dense_nitems(isize_data_t data) {
    return data.dense->total;
}

uint64_t dense_in_f(isize_data_t data, int at) {
    return data.dense->isize_inward[at];
}
uint64_t dense_out_f(isize_data_t data, int at) {
    return data.dense->isize_outward[at];
}
uint64_t dense_other_f(isize_data_t data, int at) {
    return data.dense->isize_other[at];
}

void dense_set_in_f(isize_data_t data, int at, uint64_t value) {
    data.dense->isize_inward[at] = value;
}
void dense_set_out_f(isize_data_t data, int at, uint64_t value) {
    data.dense->isize_outward[at] = value;
}
void dense_set_other_f(isize_data_t data, int at, uint64_t value) {
    data.dense->isize_other[at] = value;
}

void dense_inc_in_f(isize_data_t data, int at) {
    data.dense->isize_inward[at]++;
}
void dense_inc_out_f(isize_data_t data, int at) {
    data.dense->isize_outward[at]++;
}
void dense_inc_other_f(isize_data_t data, int at) {
    data.dense->isize_other[at]++;
}

void dense_isize_free(isize_data_t data) {
    isize_dense_data_t *d = data.dense;
    free(d->isize_inward);
    free(d->isize_outward);
    free(d->isize_other);
    free(d);
}

// ---- sparse back end: a map from insert size to a record of three counters ----

// Keys are the 32-bit two's-complement pattern of the insert size, so negative sizes are
// distinct keys of their own.
inline khint32_t sparse_key(int at) {
    return static_cast<khint32_t>(at);
}

// The record for `at`, or null. An empty map (no buckets) answers at once.
isize_sparse_record_t *sparse_get_f(isize_data_t data, int at) {
    kh_m32_t *map = data.sparse->array;
    khint_t k = kh_get(m32, map, sparse_key(at));
    if (k == kh_end(map)) return nullptr;
    return kh_value(map, k);
}

uint64_t *sparse_field(isize_sparse_record_t *r, isize_insert_t field) {
    switch (field) {
        case kIn:
            return &r->isize_inward;
        case kOut:
            return &r->isize_outward;
        default:
            return &r->isize_other;
    }
}

// Writes `value` into the selected counter of `at`. A record is created only for a nonzero
// value; an existing record is written in place, zero included, and never removed.
void sparse_set_f(isize_data_t data, int at, isize_insert_t field, uint64_t value) {
    isize_sparse_record_t *r = sparse_get_f(data, at);
    if (r) {
        *sparse_field(r, field) = value;
        return;
    }
    if (value == 0) return;

    r = static_cast<isize_sparse_record_t *>(malloc(sizeof *r));
    if (!r) die_out_of_memory("Failed to allocate memory for isize_sparse_record_t");
    r->isize_inward = r->isize_outward = r->isize_other = 0;

    isize_sparse_data_t *s = data.sparse;
    int ret = 0;
    khint_t k = kh_put(m32, s->array, sparse_key(at), &ret);
    if (ret < 0) {
        // The map could not grow: it is unchanged and still consistent.
        free(r);
        die_out_of_memory("Failed to allocate memory for kh_m32_t");
    }
    kh_value(s->array, k) = r;
    if (at > s->max) s->max = at;
    *sparse_field(r, field) = value;
}

// max + 1, saturated at the largest int: a count at INT_MAX is kept like any other, but
// lies outside 0 to nitems - 1, as a negative insert size does.
int sparse_nitems(isize_data_t data) {
    const int max = data.sparse->max;
    return max == INT_MAX ? INT_MAX : max + 1;
}

uint64_t sparse_read(isize_data_t data, int at, isize_insert_t field) {
    isize_sparse_record_t *r = sparse_get_f(data, at);
    return r ? *sparse_field(r, field) : 0;
}

uint64_t sparse_in_f(isize_data_t data, int at) {
    return sparse_read(data, at, kIn);
}
uint64_t sparse_out_f(isize_data_t data, int at) {
    return sparse_read(data, at, kOut);
}
uint64_t sparse_other_f(isize_data_t data, int at) {
    return sparse_read(data, at, kOther);
}

void sparse_set_in_f(isize_data_t data, int at, uint64_t value) {
    sparse_set_f(data, at, kIn, value);
}
void sparse_set_out_f(isize_data_t data, int at, uint64_t value) {
    sparse_set_f(data, at, kOut, value);
}
void sparse_set_other_f(isize_data_t data, int at, uint64_t value) {
    sparse_set_f(data, at, kOther, value);
}

// Counting a size already seen is the hot path: it costs one lookup and bumps the counter
// in place, exactly as storing counter + 1 would. A size not seen yet goes through the set,
// with the value 1, so an increment always leaves a record behind.
void sparse_inc(isize_data_t data, int at, isize_insert_t field) {
    isize_sparse_record_t *r = sparse_get_f(data, at);
    if (r) {
        ++*sparse_field(r, field);
        return;
    }
    sparse_set_f(data, at, field, 1);
}

void sparse_inc_in_f(isize_data_t data, int at) {
    sparse_inc(data, at, kIn);
}
void sparse_inc_out_f(isize_data_t data, int at) {
    sparse_inc(data, at, kOut);
}
void sparse_inc_other_f(isize_data_t data, int at) {
    sparse_inc(data, at, kOther);
}

void sparse_isize_free(isize_data_t data) {
    isize_sparse_data_t *s = data.sparse;
    kh_m32_t *map = s->array;
    for (khint_t k = kh_begin(map); k != kh_end(map); ++k)
        if (kh_exist(map, k)) free(kh_value(map, k));
    kh_destroy(m32, map);
    free(s);
}

isize_t *new_dense(int bound) {
    size_t n = static_cast<size_t>(bound);
    uint64_t *in = static_cast<uint64_t *>(calloc(n, sizeof(uint64_t)));
    uint64_t *out = in ? static_cast<uint64_t *>(calloc(n, sizeof(uint64_t))) : nullptr;
    uint64_t *other = out ? static_cast<uint64_t *>(calloc(n, sizeof(uint64_t))) : nullptr;
    isize_dense_data_t *d =
        other ? static_cast<isize_dense_data_t *>(malloc(sizeof(isize_dense_data_t))) : nullptr;
    isize_t *h = d ? static_cast<isize_t *>(malloc(sizeof(isize_t))) : nullptr;
    if (!h) {
        free(d);
        free(other);
        free(out);
        free(in);
        return nullptr;
    }
    d->total = bound;
    d->isize_inward = in;
    d->isize_outward = out;
    d->isize_other = other;
    h->data.dense = d;
    h->nitems = dense_nitems;
    h->inward = dense_in_f;
    h->outward = dense_out_f;
    h->other = dense_other_f;
    h->set_inward = dense_set_in_f;
    h->set_outward = dense_set_out_f;
    h->set_other = dense_set_other_f;
    h->inc_inward = dense_inc_in_f;
    h->inc_outward = dense_inc_out_f;
    h->inc_other = dense_inc_other_f;
    h->isize_free = dense_isize_free;
    return h;
}

isize_t *new_sparse() {
    isize_sparse_data_t *s = static_cast<isize_sparse_data_t *>(malloc(sizeof *s));
    kh_m32_t *map = s ? kh_init(m32) : nullptr;
    isize_t *h = map ? static_cast<isize_t *>(malloc(sizeof(isize_t))) : nullptr;
    if (!h) {
        kh_destroy(m32, map);  // accepts null
        free(s);
        return nullptr;
    }
    s->max = 0;
    s->array = map;
    h->data.sparse = s;
    h->nitems = sparse_nitems;
    h->inward = sparse_in_f;
    h->outward = sparse_out_f;
    h->other = sparse_other_f;
    h->set_inward = sparse_set_in_f;
    h->set_outward = sparse_set_out_f;
    h->set_other = sparse_set_other_f;
    h->inc_inward = sparse_inc_in_f;
    h->inc_outward = sparse_inc_out_f;
    h->inc_other = sparse_inc_other_f;
    h->isize_free = sparse_isize_free;
    return h;
}

}  // namespace

extern "C" isize_t *init_isize_t(int bound) {
    return bound > 0 ? new_dense(bound) : new_sparse();
}
