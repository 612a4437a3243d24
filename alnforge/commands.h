/* commands.h: the alnforge subcommand entries.
 *
 * Each entry takes the argument vector that begins at its command word (argv[0] is
 * "quickcheck" or "flags") with getopt's state at its initial value (optind 1), and
 * returns the process exit status.
 *
 * Threads: main_quickcheck parses its options with getopt, whose state (optind, optarg) is
 * process-wide, and sets htslib's message level hts_verbose for the whole process: it must
 * not run in two threads at once, beside another option loop, or while another thread uses
 * htslib. main_flags keeps no state and only writes to standard output and error.
 */
#ifndef ALNFORGE_COMMANDS_H
#define ALNFORGE_COMMANDS_H

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Checks alignment files; the result is the OR of their status bits (0 when all pass,
 * 1 on a usage error). Sets htslib's hts_verbose, which stays changed. */
ALNFORGE_RESULT_USED int main_quickcheck(int argc, char **argv);

/* Converts one flag argument between its numeric and textual forms. */
ALNFORGE_RESULT_USED int main_flags(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
