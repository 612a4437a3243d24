#include "c99_tests.h"

int c99_plp_feeder(void) { return 0; }
