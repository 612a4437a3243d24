// fmt_opts: the shared format, reference and thread options of alnforge subcommands.
#include "fmt_opts.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The option table that the help walks, row by row, beside the caller's shortopts. The
// rows are in the same order as the help texts below and as the option codes.
const struct option kGlobalOptions[] = {
    {"input-fmt", required_argument, nullptr, SAM_OPT_INPUT_FMT},
    {"input-fmt-option", required_argument, nullptr, SAM_OPT_INPUT_FMT_OPTION},
    {"output-fmt", required_argument, nullptr, SAM_OPT_OUTPUT_FMT},
    {"output-fmt-option", required_argument, nullptr, SAM_OPT_OUTPUT_FMT_OPTION},
    {"reference", required_argument, nullptr, SAM_OPT_REFERENCE},
    {"threads", required_argument, nullptr, SAM_OPT_NTHREADS},
    {nullptr, 0, nullptr, 0},
};

// Help text of each row, written after the "  -x, --" or "      --" prefix.
const char *const kHelp[] = {
    "input-fmt FORMAT[,OPT[=VAL]]...\n"
    "               Specify input format (SAM, BAM, CRAM)\n",
    "input-fmt-option OPT[=VAL]\n"
    "               Specify a single input file format option in the form\n"
    "               of OPTION or OPTION=VALUE\n",
    "output-fmt FORMAT[,OPT[=VAL]]...\n"
    "               Specify output format (SAM, BAM, CRAM)\n",
    "output-fmt-option OPT[=VAL]\n"
    "               Specify a single output file format option in the form\n"
    "               of OPTION or OPTION=VALUE\n",
    "reference FILE\n"
    "               Reference sequence FASTA FILE [null]\n",
    "threads INT\n"
    "               Number of additional threads to use [0]\n",
};

static_assert(sizeof(kHelp) / sizeof(kHelp[0]) + 1 ==
                  sizeof(kGlobalOptions) / sizeof(kGlobalOptions[0]),
              "one help text per option row");

// Which of the six options a table entry names, by its whole name; -1 for none.
int option_index(const char *name) {
    for (int i = 0; kGlobalOptions[i].name; ++i)
        if (strcmp(name, kGlobalOptions[i].name) == 0) return i;
    return -1;
}

// A decimal integer read as atoi reads it, saturated at the limits of int so that an
// over-long digit string gives a defined value.
int read_int(const char *s) {
    while (isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;  // already out of range
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

hts_opt **list_of(htsFormat *fmt) {
    return reinterpret_cast<hts_opt **>(&fmt->specific);
}

// Adds "reference=ARG" to both option lists and keeps a copy of ARG. Both allocations are
// made before anything changes, so running out of memory leaves the record as it was.
int add_reference(const char *arg, sam_global_args *ga) {
    static const char kKey[] = "reference=";
    const size_t key_len = sizeof(kKey) - 1;
    const size_t arg_len = strlen(arg);

    char *text = static_cast<char *>(malloc(key_len + arg_len + 1));
    if (!text) return -1;
    char *copy = static_cast<char *>(malloc(arg_len + 1));
    if (!copy) {
        free(text);
        return -1;
    }
    memcpy(text, kKey, key_len);
    memcpy(text + key_len, arg, arg_len + 1);
    memcpy(copy, arg, arg_len + 1);

    free(ga->reference);
    ga->reference = copy;
    int r = hts_opt_add(list_of(&ga->in), text);
    r |= hts_opt_add(list_of(&ga->out), text);
    free(text);
    return r;
}

}  // namespace

extern "C" int parse_sam_global_opt(int c, const char *optarg, const struct option *lopt,
                                    sam_global_args *ga) {
    int which = -1;
    for (const struct option *o = lopt; o && o->name; ++o) {
        if (o->val != c) continue;
        which = option_index(o->name);
        if (which >= 0) break;  // an entry with some other name is passed over
    }
    if (which < 0) {
        fprintf(stderr, "Unexpected global option: %d\n", c);
        return -1;
    }
    if (!optarg) return -1;

    switch (kGlobalOptions[which].val) {
        case SAM_OPT_INPUT_FMT:
            return hts_parse_format(&ga->in, optarg);
        case SAM_OPT_INPUT_FMT_OPTION:
            return hts_opt_add(list_of(&ga->in), optarg);
        case SAM_OPT_OUTPUT_FMT:
            return hts_parse_format(&ga->out, optarg);
        case SAM_OPT_OUTPUT_FMT_OPTION:
            return hts_opt_add(list_of(&ga->out), optarg);
        case SAM_OPT_REFERENCE:
            return add_reference(optarg, ga);
        case SAM_OPT_NTHREADS:
            ga->nthreads = read_int(optarg);
            return 0;
    }
    return -1;  // not reached: every row has a case
}

extern "C" void sam_global_opt_help(FILE *fp, const char *shortopts) {
    if (!shortopts) return;
    for (int i = 0; shortopts[i] && kGlobalOptions[i].name; ++i) {
        const char ch = shortopts[i];
        if (ch == '-') continue;
        if (ch == '.')
            fputs("      --", fp);
        else
            fprintf(fp, "  -%c, --", ch);
        fputs(kHelp[i], fp);
    }
}

extern "C" void sam_global_args_init(sam_global_args *ga) {
    if (ga) memset(ga, 0, sizeof(*ga));
}

extern "C" void sam_global_args_free(sam_global_args *ga) {
    if (ga->in.specific) hts_opt_free(static_cast<hts_opt *>(ga->in.specific));
    if (ga->out.specific) hts_opt_free(static_cast<hts_opt *>(ga->out.specific));
    free(ga->reference);
}
