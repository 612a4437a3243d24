#include "c99_tests.h"

int c99_isize_store(void) { return 0; }
