#include <fmt_opts.h>
#include <stdlib.h>
#include <string.h>

#include "c99_tests.h"

/* Everything sam_global_opt_help() writes for `shortopts`, as a new string (or null). */
static char *help_text(const char *shortopts) {
    FILE *fp = tmpfile();
    char *buf;
    long len;
    if (!fp) return NULL;
    sam_global_opt_help(fp, shortopts);
    len = ftell(fp);
    rewind(fp);
    buf = malloc((size_t)len + 1);
    if (buf) buf[fread(buf, 1, (size_t)len, fp)] = '\0';
    fclose(fp);
    return buf;
}

static int list_length(const htsFormat *f) {
    int n = 0;
    const hts_opt *o;
    for (o = (const hts_opt *)f->specific; o; o = o->next) n++;
    return n;
}

int c99_fmt_opts(void) {
    int failures = 0;
    static const struct option table[] = {
        {"verbose", no_argument, NULL, 'v'},
        {"input-fmt", required_argument, NULL, SAM_OPT_INPUT_FMT},
        {"output-fmt-option", required_argument, NULL, SAM_OPT_OUTPUT_FMT_OPTION},
        {"reference", required_argument, NULL, SAM_OPT_REFERENCE},
        {"threads", required_argument, NULL, '@'},
        {NULL, 0, NULL, 0}};
    static const struct {
        const char *arg;
        int want;
    } threads[] = {{"4", 4}, {"4x", 4}, {"x", 0}, {"-3", -3}, {" 7", 7}};
    sam_global_args ga;
    size_t i;
    char *h;

    sam_global_args_init(NULL);
    sam_global_args_init(&ga);
    C99_CHECK(ga.reference == NULL && ga.nthreads == 0);
    C99_CHECK(ga.in.specific == NULL && ga.out.specific == NULL);

    for (i = 0; i < sizeof threads / sizeof threads[0]; i++) {
        C99_CHECK(parse_sam_global_opt('@', threads[i].arg, table, &ga) == 0);
        C99_CHECK(ga.nthreads == threads[i].want);
    }
    C99_CHECK(parse_sam_global_opt(SAM_OPT_INPUT_FMT, "bam", table, &ga) == 0);
    C99_CHECK(ga.in.format == bam);
    C99_CHECK(parse_sam_global_opt(SAM_OPT_OUTPUT_FMT_OPTION, "level=9", table, &ga) == 0);
    C99_CHECK(parse_sam_global_opt(SAM_OPT_REFERENCE, "one.fa", table, &ga) == 0);
    C99_CHECK(parse_sam_global_opt(SAM_OPT_REFERENCE, "two.fa", table, &ga) == 0);
    C99_CHECK(ga.reference != NULL && strcmp(ga.reference, "two.fa") == 0);
    C99_CHECK(list_length(&ga.in) == 2 && list_length(&ga.out) == 3);
    /* This table offers no output-fmt entry: the code is unexpected. */
    C99_CHECK(parse_sam_global_opt(SAM_OPT_OUTPUT_FMT, "sam", table, &ga) == -1);
    sam_global_args_free(&ga);

    h = help_text("-----@");
    C99_CHECK(h != NULL && strcmp(h,
                                  "  -@, --threads INT\n"
                                  "               Number of additional threads to use [0]\n") == 0);
    free(h);
    h = help_text(".");
    C99_CHECK(h != NULL && strcmp(h,
                                  "      --input-fmt FORMAT[,OPT[=VAL]]...\n"
                                  "               Specify input format (SAM, BAM, CRAM)\n") == 0);
    free(h);
    h = help_text(NULL);
    C99_CHECK(h != NULL && h[0] == '\0');
    free(h);
    return failures;
}
