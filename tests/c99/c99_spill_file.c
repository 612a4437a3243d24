#include "c99_tests.h"

int c99_spill_file(void) { return 0; }
