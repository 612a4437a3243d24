/* fmt_opts: the six long options that alnforge subcommands share for input and output
 * formats, a reference file and a thread count.
 *
 * A subcommand puts entries named "input-fmt", "input-fmt-option", "output-fmt",
 * "output-fmt-option", "reference" and "threads" (each with a required argument) into its
 * own getopt_long table, passes every code its option loop does not handle itself to
 * parse_sam_global_opt() together with that table, and writes their help lines with
 * sam_global_opt_help().
 *
 * Conventions:
 *  1. Ownership: the caller owns the sam_global_args record. The record owns the two
 *     hts_opt lists (in.specific, out.specific) and the `reference` text; all three come
 *     from the C allocator (through htslib for the lists) and are released only by
 *     sam_global_args_free().
 *  2. Errors: parse_sam_global_opt() returns 0 on success and a negative value on failure.
 *     It writes one message of its own, for a code that no table entry carries; texts that
 *     htslib rejects give htslib's negative result unchanged (htslib may log them itself).
 *  3. Null pointers: sam_global_args_init() accepts null and does nothing; the help accepts
 *     a null `shortopts` and writes nothing. Every other pointer must be valid, except that
 *     a null `optarg` is refused with -1 and a null table is searched as an empty one.
 *  4. Threads: a record must not be shared between threads without the caller's lock.
 *     Separate records may be filled at once from different threads: the module keeps no
 *     state and does not call getopt (the code and its argument come in as parameters).
 *     Process-wide, and the caller's to order: getopt_long's optind and optarg (one option
 *     loop at a time in the process), and htslib's message level hts_verbose, which htslib
 *     reads when it logs a rejected text; the module never changes it.
 */
#ifndef ALNFORGE_FMT_OPTS_H
#define ALNFORGE_FMT_OPTS_H

#include <getopt.h>
#include <htslib/hts.h>
#include <stdio.h>

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the global options fill. Every field is zero after sam_global_args_init(). */
typedef struct sam_global_args {
    htsFormat in;    /* input-fmt; in.specific heads the hts_opt list of input options */
    htsFormat out;   /* output-fmt; out.specific heads the list of output options */
    char *reference; /* copy of the last reference argument, or null */
    int nthreads;    /* threads argument read as a decimal integer; 0 when not given */
} sam_global_args;

/* The codes that a subcommand's getopt_long table may give as `val` of the six entries. A
 * table may use a short option letter instead: entries are recognised by their name. */
enum {
    SAM_OPT_INPUT_FMT = 128,
    SAM_OPT_INPUT_FMT_OPTION = 129,
    SAM_OPT_OUTPUT_FMT = 130,
    SAM_OPT_OUTPUT_FMT_OPTION = 131,
    SAM_OPT_REFERENCE = 132,
    SAM_OPT_NTHREADS = 133
};

/* Applies one global option to `ga`.
 *
 * `c` is the code getopt_long returned and `optarg` its argument. The entries of `lopt`
 * from the first up to the one whose name is null are searched for the first whose `val`
 * is `c` and whose name is exactly one of the six above (an entry with another name is
 * passed over). With no such entry, "Unexpected global option: C\n" (the code in decimal)
 * goes to standard error and the result is -1.
 *
 *   input-fmt, output-fmt: hts_parse_format() into ga->in or ga->out; its result.
 *   input-fmt-option, output-fmt-option: hts_opt_add() to that format's list; its result.
 *   reference: "reference=ARG" is added to both lists (the result is the bitwise OR of
 *     the two hts_opt_add() results) and ga->reference becomes a copy of ARG, replacing
 *     and releasing an earlier copy. If the text or the copy cannot be allocated, the
 *     result is -1 and the record is unchanged.
 *   threads: ga->nthreads = ARG read the way atoi() reads it (leading blanks, one sign,
 *     digits up to the first non-digit; 0 without digits), limited to the range of int;
 *     never fails.
 *
 * On -1 for an unknown code or a null `optarg` the record is unchanged. */
ALNFORGE_RESULT_USED int parse_sam_global_opt(int c, const char *optarg, const struct option *lopt,
                                              sam_global_args *ga);

/* Writes the help lines of the options a subcommand offers to `fp`. Character i of
 * `shortopts` describes option i in the order input-fmt, input-fmt-option, output-fmt,
 * output-fmt-option, reference, threads: '-' leaves it out, '.' shows it in long form
 * only, any other character is its short letter. Characters past the sixth are ignored;
 * null or "" writes nothing. */
void sam_global_opt_help(FILE *fp, const char *shortopts);

/* Sets every field of `ga` to zero; does nothing when `ga` is null. */
void sam_global_args_init(sam_global_args *ga);

/* Releases the option lists and the reference copy that `ga` (not null) holds. The record
 * itself is not released and its fields keep their old values: initialise it again before
 * filling or releasing it again. */
void sam_global_args_free(sam_global_args *ga);

#ifdef __cplusplus
}
#endif

#endif
