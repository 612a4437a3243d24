#include "c99_tests.h"

int c99_fmt_opts(void) { return 0; }
