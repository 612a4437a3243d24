/* A plain C99 program built only against the installed headers and linked through
 * pkg-config, once with the shared library and once with the archive: proves that the
 * modules are callable from C either way. */
#include "c99_tests.h"

int main(void) {
    int failures = 0;
    failures += c99_report_util();
    failures += c99_fmt_opts();
    failures += c99_spill_file();
    failures += c99_isize_store();
    failures += c99_plp_feeder();
    if (failures) {
        fprintf(stderr, "c99 consumer: %d check(s) failed\n", failures);
        return 1;
    }
    printf("c99 consumer: all checks passed\n");
    return 0;
}
