#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <report_util.h>

#include "c99_tests.h"

int c99_report_util(void) {
    int failures = 0;
    const char *v = alnforge_version_short();
    C99_CHECK(v != NULL && strcmp(v, "1.8") == 0);
    C99_CHECK(strcmp(alnforge_version(), "1.8") == 0);
    free((void *)v);
    errno = 0;
    print_error("c99", "consumer says %d", 42);
    return failures;
}
