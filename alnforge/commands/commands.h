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

/* Added by main_quickcheck to its result when standard output did not take everything
 * written to it (the list of failing names, the usage, the help or the version line). The
 * file verdict bits (0x2 to 0x20) and the usage error (1) stay beside it. */
#define ALNFORGE_QUICKCHECK_OUTPUT_LOST 0x40

/* Checks alignment files; the result is the OR of their status bits (0 when all pass,
 * 1 on a usage error), with ALNFORGE_QUICKCHECK_OUTPUT_LOST added when standard output was
 * lost. -h/--help and --version print the usage or "alnforge quickcheck VERSION" on
 * standard output and return 0. Standard output is flushed before it returns. Sets
 * htslib's hts_verbose, which stays changed. */
ALNFORGE_RESULT_USED int main_quickcheck(int argc, char **argv);

/* Converts one flag argument between its numeric and textual forms; a number must fit the
 * 16-bit flag field. A lone -h/--help or --version prints the usage or
 * "alnforge flags VERSION" on standard output. The result is 1 when the argument does not
 * parse or standard output could not be written (flushed before it returns), else 0. */
ALNFORGE_RESULT_USED int main_flags(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
