/* plp_feeder: push alignment records one at a time; every pileup column they complete is
 * handed to a function of yours.
 *
 * Conventions:
 *  1. Ownership: plp_feeder_init() allocates the feeder and its pileup engine;
 *     plp_feeder_destroy() releases both. Records always belong to the caller: the engine
 *     keeps its own copy of each pushed record.
 *  2. Errors: init returns null when the feeder or its engine cannot be made (nothing is
 *     leaked); push returns 0 on success and a negative value when the engine refuses the
 *     record (for instance input not sorted by position) or fails, such as on a column
 *     position it cannot report (2147483647 and above). The feeder itself prints nothing;
 *     the engine may log through htslib. Once the engine has failed it refuses every later
 *     push, reset included: destroy the feeder and make a new one.
 *  3. Null: `func` must not be null; `data` may be null and is passed through untouched;
 *     a null record pushed ends the input; plp_feeder_destroy() accepts null.
 *  4. The callback runs on the pushing thread, inside plp_feeder_push(); its result is not
 *     looked at.
 *  5. Threads: a feeder must not be shared between threads without the caller's lock.
 *     Separate feeders may run at once from different threads. Process-wide is htslib's
 *     message level, hts_verbose, which the engine reads when it logs; the feeder never
 *     changes it (main_quickcheck does, see commands.h).
 */
#ifndef ALNFORGE_PLP_FEEDER_H
#define ALNFORGE_PLP_FEEDER_H

#include <htslib/sam.h>
#include <stdint.h>

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called once per completed column: reference index, position (0-based), number of reads
 * and the engine's array of `n` per-read entries, valid only during the call; `data` is
 * the pointer given to plp_feeder_init(). */
typedef int (*bam_pileup_f)(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t *pl, void *data);

typedef struct {
    bam_plp_t iter; /* the pileup engine, in push mode; owned by the feeder */
    bam_pileup_f func;
    void *data;
} plp_feeder_t;

/* A new feeder with an empty engine, or null when out of memory. */
ALNFORGE_RESULT_USED plp_feeder_t *plp_feeder_init(bam_pileup_f func, void *data);

/* Hands `b` to the engine, then calls func for every column that is complete, in the
 * engine's order, before returning 0. `b` must come in coordinate order; null ends the
 * input, so that this push delivers every column still open. When the engine refuses the
 * record, its negative result comes back and nothing is delivered; when it fails while
 * producing columns, -1 comes back after the columns it did produce. */
ALNFORGE_RESULT_USED int plp_feeder_push(const bam1_t *b, plp_feeder_t *buf);

/* Drops every read and column the engine holds; `func` and `data` are kept. */
void plp_feeder_reset(plp_feeder_t *buf);

/* Releases the engine and the feeder. */
void plp_feeder_destroy(plp_feeder_t *buf);

#ifdef __cplusplus
}
#endif

#endif
