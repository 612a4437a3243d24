/* Checks run by the C99 consumer program; each returns the number of failures. */
#ifndef C99_TESTS_H
#define C99_TESTS_H

#include <stdio.h>

#define C99_CHECK(cond)                                                          \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                          \
        }                                                                        \
    } while (0)

int c99_report_util(void);
int c99_fmt_opts(void);
int c99_spill_file(void);
int c99_isize_store(void);
int c99_plp_feeder(void);

#endif
