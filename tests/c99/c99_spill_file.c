/* The spill file from C: write records, read them back, tear down. */
#define _POSIX_C_SOURCE 200809L

#include <spill_file.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "c99_tests.h"

static int make_record(bam1_t *b, int i) {
    char name[32];
    const char *seq = "ACGTACGTAC";
    const char qual[10] = {30, 31, 32, 33, 34, 35, 36, 37, 38, 39};
    uint32_t cigar = (10u << BAM_CIGAR_SHIFT) | BAM_CMATCH;
    sprintf(name, "c99read%d", i);
    if (bam_set1(b, strlen(name), name, 0, 0, ((hts_pos_t)3 << 31) + i, 60, 1, &cigar, -1, -1, 0,
                 10, seq, qual, 0) < 0)
        return -1;
    return bam_aux_update_int(b, "XI", i);
}

int c99_spill_file(void) {
    int failures = 0;
    char dir[] = "/tmp/c99_spill_XXXXXX";
    char prefix[64];
    spill_file_t sf;
    bam1_t *b = bam_init1();
    int i, r;
    if (!b || !mkdtemp(dir)) return 1;
    sprintf(prefix, "%s/spill", dir);

    C99_CHECK(spill_file_open_write(&sf, prefix, 1) == 0);
    C99_CHECK(sf.group_size == 100 && sf.ring_buffer_size == 1048576);
    for (i = 0; i < 250; i++) {
        C99_CHECK(make_record(b, i) == 0);
        C99_CHECK(spill_file_write(&sf, b) == 0);
    }
    C99_CHECK(spill_file_end_write(&sf) == 0);
    C99_CHECK(sf.groups_written == 3);
    C99_CHECK(spill_file_begin_read(&sf, b) == 0);
    C99_CHECK(b->data == NULL);
    for (i = 0; i < 250; i++) {
        char name[32];
        r = spill_file_read(&sf, b);
        C99_CHECK(r == 64 + b->l_data);
        if (r <= 0) break;
        sprintf(name, "c99read%d", i);
        C99_CHECK(strcmp(bam_get_qname(b), name) == 0);
        C99_CHECK(b->core.pos == ((hts_pos_t)3 << 31) + i);
        C99_CHECK(bam_aux2i(bam_aux_get(b, "XI")) == i);
        C99_CHECK(b->data == sf.data && b->m_data == sf.data_size);
    }
    C99_CHECK(spill_file_read(&sf, b) == 0);
    C99_CHECK(spill_file_destroy(&sf, b, 0) == 0);
    C99_CHECK(b->data == NULL && b->l_data == 0 && b->m_data == 0);

    /* After close-write the file is gone: open-read fails, teardown does not close twice. */
    C99_CHECK(spill_file_open_write(&sf, prefix, 0) == 0);
    C99_CHECK(spill_file_close_write(&sf) == 0);
    C99_CHECK(spill_file_open_read(&sf, b) == -2);
    C99_CHECK(spill_file_destroy(&sf, b, 1) == -2);

    bam_destroy1(b);
    rmdir(dir);
    return failures;
}
