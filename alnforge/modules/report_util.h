/* report_util: error lines and version text for alnforge subcommands.
 *
 * Conventions:
 *  1. Every error line goes to standard error as
 *       "alnforge SUBCOMMAND: MESSAGE\n"          (subcommand given and not empty)
 *       "alnforge: MESSAGE\n"                     (subcommand null or "")
 *     print_error_errno() appends ": STRERROR" before the newline when errno is non-zero.
 *  2. Standard output is flushed before the error line, standard error after it.
 *  3. The format carries no newline of its own. Write failures are ignored.
 *  4. No state is kept; the functions never allocate except alnforge_version_short().
 *  5. Threads: any function may be called from several threads at once. Standard output
 *     and standard error are the process's; each error line is written under standard
 *     error's lock, so lines from different threads never mix. The error text comes from
 *     strerror(), which the C library keeps per thread (glibc 2.32 and later).
 */
#ifndef ALNFORGE_REPORT_UTIL_H
#define ALNFORGE_REPORT_UTIL_H

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one error line without error text. `subcommand` may be null. */
void print_error(const char *subcommand, const char *format, ...) ALNFORGE_PRINTF(2, 3);

/* Writes one error line ending in ": " and the text of errno as it was on entry,
 * or exactly the print_error() line when errno was zero. */
void print_error_errno(const char *subcommand, const char *format, ...) ALNFORGE_PRINTF(2, 3);

/* The version text "1.8": constant storage, valid for the life of the process. */
const char *alnforge_version(void);

/* A new copy of the version text up to (not including) its first hyphen, made with the C
 * allocator on every call; the caller releases it with free(). Null when out of memory. */
ALNFORGE_RESULT_USED const char *alnforge_version_short(void);

#ifdef __cplusplus
}
#endif

#endif
