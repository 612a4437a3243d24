/* isize_store: inward, outward and other-orientation pair counters per insert size.
 *
 * Conventions:
 *  1. init_isize_t() is the only function; every operation is a pointer in the returned
 *     handle, called with the handle's own `data` as first argument:
 *         isize_t *h = init_isize_t(0);
 *         h->inc_outward(h->data, 7);
 *         ... h->outward(h->data, 7) ...
 *         h->isize_free(h->data);
 *         free(h);
 *  2. Ownership: the handle, its back end and everything in it come from the C allocator.
 *     isize_free() releases the back end but not the handle; the caller frees the handle.
 *  3. Errors: init_isize_t() returns null when memory runs out (nothing is leaked). A
 *     sparse store that cannot obtain memory for a new insert size writes
 *     "Failed to allocate memory for isize_sparse_record_t" (no record) or
 *     "Failed to allocate memory for kh_m32_t" (the map cannot grow) and a newline to
 *     standard error and ends the process with exit status 11, rather than lose a count.
 *     Nothing else fails: reads, and writes to sizes already present, never allocate.
 *  4. Null: no operation accepts a null handle or null data.
 *  5. Counters are uint64_t, start at 0 and wrap modulo 2^64 on increment.
 *  6. A bound above 0 gives a dense store: slots 0 to bound - 1, indices are not checked
 *     and must stay in range. A bound of 0 or below gives a sparse store: every int insert
 *     size is accepted, counted and read back under its own key. nitems is the largest size
 *     stored plus 1, saturated at INT_MAX (2147483647), so negative sizes and INT_MAX itself
 *     lie outside 0 to nitems - 1.
 *  7. Threads: a store must not be shared between threads without the caller's lock.
 *     Separate stores share nothing and may be used at once from different threads. The one
 *     process-wide effect is the exit of convention 3: it ends the whole process, whichever
 *     thread meets it.
 */
#ifndef ALNFORGE_ISIZE_STORE_H
#define ALNFORGE_ISIZE_STORE_H

#include <htslib/khash.h>
#include <stdint.h>

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Dense back end: three zero-filled arrays of `total` counters, indexed by insert size. */
typedef struct {
    int total;
    uint64_t *isize_inward;
    uint64_t *isize_outward;
    uint64_t *isize_other;
} isize_dense_data_t;

/* The counters of one insert size in the sparse back end; one allocation each, so its
 * address stays put while the map grows. */
typedef struct {
    uint64_t isize_inward;
    uint64_t isize_outward;
    uint64_t isize_other;
} isize_sparse_record_t;

/* kh_m32_t: insert size (as its 32-bit two's-complement pattern) -> record. */
KHASH_MAP_INIT_INT(m32, isize_sparse_record_t *)

/* Sparse back end. `max` is the largest insert size that has a record (0 at creation,
 * never decreases, never lowered by negative sizes); the map's buckets belong to the map,
 * the records its values point to belong to the back end. */
typedef struct {
    int max;
    kh_m32_t *array;
} isize_sparse_data_t;

/* Which member is valid is fixed by the handle's operations. */
typedef union {
    isize_sparse_data_t *sparse;
    isize_dense_data_t *dense;
} isize_data_t;

typedef struct {
    isize_data_t data;
    /* Number of slots to iterate, 0 to nitems - 1: the bound (dense) or max + 1 (sparse,
     * so a new sparse store reports 1; at most INT_MAX, which a store holding INT_MAX
     * reports). */
    int (*nitems)(isize_data_t data);
    /* Counter at `at`; 0 for an insert size a sparse store has no record of. Never
     * allocates. */
    uint64_t (*inward)(isize_data_t data, int at);
    uint64_t (*outward)(isize_data_t data, int at);
    uint64_t (*other)(isize_data_t data, int at);
    /* Store `value`. Sparse: a zero value for an insert size without a record creates
     * nothing; a zero value for one with a record keeps the record. */
    void (*set_inward)(isize_data_t data, int at, uint64_t value);
    void (*set_outward)(isize_data_t data, int at, uint64_t value);
    void (*set_other)(isize_data_t data, int at, uint64_t value);
    /* Add 1 (modulo 2^64). Sparse: always leaves a record for `at`. */
    void (*inc_inward)(isize_data_t data, int at);
    void (*inc_outward)(isize_data_t data, int at);
    void (*inc_other)(isize_data_t data, int at);
    /* Releases the back end and all it owns, not the handle. */
    void (*isize_free)(isize_data_t data);
} isize_t;

/* A new store: dense with `bound` slots when bound > 0, sparse otherwise. Null when out of
 * memory. Release with h->isize_free(h->data) and then free(h). */
ALNFORGE_RESULT_USED isize_t *init_isize_t(int bound);

#ifdef __cplusplus
}
#endif

#endif
