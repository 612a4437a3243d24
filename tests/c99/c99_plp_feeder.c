#include <plp_feeder.h>
#include <stdint.h>
#include <stdlib.h>

#include "c99_tests.h"

struct depth_sum {
    int columns;
    long bases;
    uint32_t last_pos;
};

static int count_column(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t *pl, void *data) {
    struct depth_sum *s = (struct depth_sum *)data;
    (void)tid;
    (void)pl;
    s->columns++;
    s->bases += n;
    s->last_pos = pos;
    return 0;
}

/* Two overlapping 4-base reads at 10 and 12: six columns, eight bases in all. */
int c99_plp_feeder(void) {
    int failures = 0;
    struct depth_sum sum = {0, 0, 0};
    uint32_t cigar = bam_cigar_gen(4, BAM_CMATCH);
    bam1_t *b = bam_init1();
    plp_feeder_t *f = plp_feeder_init(count_column, &sum);
    C99_CHECK(b != NULL && f != NULL);
    if (!b || !f) return failures;
    C99_CHECK(bam_set1(b, 2, "r1", 0, 0, 10, 60, 1, &cigar, -1, -1, 0, 4, "ACGT", NULL, 0) >= 0);
    C99_CHECK(plp_feeder_push(b, f) == 0 && sum.columns == 0);
    b->core.pos = 12;
    C99_CHECK(plp_feeder_push(b, f) == 0 && sum.columns == 2);
    C99_CHECK(plp_feeder_push(NULL, f) == 0);
    C99_CHECK(sum.columns == 6 && sum.bases == 8 && sum.last_pos == 15);
    plp_feeder_reset(f);
    plp_feeder_destroy(f);
    bam_destroy1(b);
    return failures;
}
