/* fmt_opts.c: a command that offers the shared format options beside one of its own (-n),
 * and prints what they set. Its own loop handles -n and -h; every other code goes to
 * parse_sam_global_opt() with the same table. */
#include <fmt_opts.h>
#include <stdio.h>
#include <stdlib.h>

static const struct option table[] = {
    {"input-fmt", required_argument, NULL, SAM_OPT_INPUT_FMT},
    {"input-fmt-option", required_argument, NULL, SAM_OPT_INPUT_FMT_OPTION},
    {"output-fmt", required_argument, NULL, SAM_OPT_OUTPUT_FMT},
    {"output-fmt-option", required_argument, NULL, SAM_OPT_OUTPUT_FMT_OPTION},
    {"reference", required_argument, NULL, SAM_OPT_REFERENCE},
    {"threads", required_argument, NULL, '@'},
    {"dry-run", no_argument, NULL, 'n'},
    {"help", no_argument, NULL, 'h'},
    {NULL, 0, NULL, 0}};

static void usage(FILE *fp) {
    fprintf(fp, "Usage: fmt_opts [options] FILE...\n  -n, --dry-run  only show the settings\n");
    /* One character per shared option: '.' long form only, '-' not offered, else its
     * short letter. */
    sam_global_opt_help(fp, ".....@");
}

/* Prints the format that an option set and the names of its format options. */
static void print_format(const char *what, const htsFormat *fmt) {
    const hts_opt *o;
    printf("%s: %s", what,
           fmt->format == unknown_format ? "(not set)" : hts_format_file_extension(fmt));
    for (o = (const hts_opt *)fmt->specific; o; o = o->next) printf(" %s", o->arg);
    printf("\n");
}

int main(int argc, char **argv) {
    sam_global_args ga;
    int c, i, dry_run = 0, status = 0;
    sam_global_args_init(&ga);
    while ((c = getopt_long(argc, argv, "nh@:", table, NULL)) >= 0) {
        if (c == 'n') {
            dry_run = 1;
        } else if (c == 'h') {
            usage(stdout);
            goto done;
        } else if (c == '?') { /* getopt_long has named the option */
            fprintf(stderr, "Try 'fmt_opts --help'.\n");
            status = 1;
            goto done;
        } else if (parse_sam_global_opt(c, optarg, table, &ga) != 0) {
            fprintf(stderr, "fmt_opts: cannot use '%s'\n", optarg);
            status = 1;
            goto done;
        }
    }
    print_format("input", &ga.in);
    print_format("output", &ga.out);
    printf("reference: %s\nthreads: %d\n", ga.reference ? ga.reference : "(none)", ga.nthreads);
    for (i = optind; i < argc; i++) printf("%s: %s\n", dry_run ? "would read" : "reading", argv[i]);
done:
    sam_global_args_free(&ga);
    return status;
}
