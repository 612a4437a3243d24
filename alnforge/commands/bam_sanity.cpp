// The quickcheck subcommand: a fast usability check of alignment files that reads no
// records. Each file's verdict is a set of status bits; the result is their OR.
#include <getopt.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "commands.h"
#include "stdout_end.h"

namespace {

// The status bits of one file; the command's result is their OR over all files.
enum : int {
    kUnopenable = 0x2,
    kNotSequence = 0x4,
    kBadHeader = 0x8,
    kBadEof = 0x10,
    kBadClose = 0x20,
    // Not a file's verdict: standard output lost what was written to it (the list of failing
    // names, the usage). ORed onto the verdicts, which stay as they were.
    kOutputLost = ALNFORGE_QUICKCHECK_OUTPUT_LOST,
};

// Options besides -v and -q: help and version, which end the run at once.
enum : int { kVersionOption = 1 };
const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, kVersionOption},
                               {nullptr, 0, nullptr, 0}};

// 1023 bytes, written with a single write.
const char kUsage[] =
    "Usage: alnforge quickcheck [options] <input> [...]\n"
    "Options:\n"
    "  -v              verbose output (repeat for more verbosity)\n"
    "  -q              suppress warning messages\n"
    "\n"
    "Notes:\n"
    "\n"
    "1. By default quickcheck will emit a warning message if and only if a file\n"
    "   fails the checks, in which case the exit status is non-zero.  Under normal\n"
    "   behaviour with valid data it will be silent and has a zero exit status.\n"
    "   The warning messages are purely for manual inspection and should not be \n"
    "   parsed by scripts.\n"
    "\n"
    "2. In order to use this command programmatically, you should check its exit\n"
    "   status.  One way to use quickcheck might be as a check that all BAM files in\n"
    "   a directory are okay:\n"
    "\n"
    "\talnforge quickcheck *.bam && echo 'all ok' \\\n"
    "\t   || echo 'fail!'\n"
    "\n"
    "   The first level of verbosity lists only files that fail to stdout.\n"
    "   To obtain a parsable list of files that have failed, use this option:\n"
    "\n"
    "\talnforge quickcheck -qv *.bam > bad_bams.fofn \\\n"
    "\t   && echo 'all ok' \\\n"
    "\t   || echo 'some files failed check, see bad_bams.fofn'\n";

static_assert(sizeof kUsage - 1 == 1023, "quickcheck usage text must be 1023 bytes");

void usage_quickcheck(FILE *write_to) {
    fwrite(kUsage, 1, sizeof kUsage - 1, write_to);
}

// The help that -h and --help print: the usage text with the help and version options
// among its options.
void help_quickcheck() {
    const std::string_view usage(kUsage, sizeof kUsage - 1);
    const size_t options_end = usage.find("\n\n") + 1;
    fwrite(usage.data(), 1, options_end, stdout);
    fputs(
        "  -h, --help      print this help and exit\n"
        "  --version       print the version and exit\n",
        stdout);
    fwrite(usage.data() + options_end, 1, usage.size() - options_end, stdout);
}

// Examines one file and returns its status bits.
int check_file(const char *fn, int verbose, int quiet) {
    const bool warn = !quiet || verbose >= 2;
    const bool tell = verbose >= 3;
    int file_state = 0;

    if (tell) fprintf(stderr, "checking %s\n", fn);
    htsFile *hts_fp = hts_open(fn, "r");
    if (!hts_fp) {
        if (warn) fprintf(stderr, "%s could not be opened for reading.\n", fn);
        return kUnopenable;
    }
    if (tell) fprintf(stderr, "opened %s\n", fn);

    if (hts_get_format(hts_fp)->category != sequence_data) {
        file_state = kNotSequence;
        if (warn) fprintf(stderr, "%s was not identified as sequence data.\n", fn);
    } else {
        if (tell) fprintf(stderr, "%s is sequence data\n", fn);
        sam_hdr_t *header = sam_hdr_read(hts_fp);
        if (!header) {
            file_state = kBadHeader;
            if (warn) fprintf(stderr, "%s caused an error whilst reading its header.\n", fn);
        } else {
            if (header->n_targets <= 0) {
                file_state = kBadHeader;
                if (warn) fprintf(stderr, "%s had no targets in header.\n", fn);
            } else {
                file_state = 0;
                if (tell) fprintf(stderr, "%s has %d targets in header.\n", fn, header->n_targets);
            }
            sam_hdr_destroy(header);
        }
    }

    // The end-of-file test runs for every file that opened, whatever failed above.
    int eof = hts_check_EOF(hts_fp);
    if (eof < 0) {
        file_state |= kBadEof;
        if (warn) fprintf(stderr, "%s caused an error whilst checking for EOF block.\n", fn);
    } else if (eof == 0) {
        file_state |= kBadEof;
        if (warn) fprintf(stderr, "%s was missing EOF block when one should be present.\n", fn);
    } else if (eof == 1) {
        if (tell) fprintf(stderr, "%s has good EOF block.\n", fn);
    } else if (eof == 2) {
        if (tell)
            fprintf(stderr, "%s cannot be checked for EOF block as it is not seekable.\n", fn);
    } else if (eof == 3) {
        if (tell)
            fprintf(stderr,
                    "%s cannot be checked for EOF block because its filetype does not contain "
                    "one.\n",
                    fn);
    }

    if (hts_close(hts_fp) < 0) {
        file_state |= kBadClose;
        if (warn) fprintf(stderr, "%s did not close cleanly.\n", fn);
    }
    return file_state;
}

// The run's result, with kOutputLost added (and a message) when what was written to standard
// output did not all arrive.
int account_for_stdout(int ret) {
    return af::finish_stdout(af::StdoutEnd::kFlush,
                             "alnforge quickcheck: could not write to standard output")
               ? ret
               : ret | kOutputLost;
}

int run(int argc, char **argv) {
    int verbose = 0, quiet = 0, ret = 0;
    hts_verbose = 0;

    int opt;
    while ((opt = getopt_long(argc, argv, "vqh", kLongOptions, nullptr)) != -1) {
        switch (opt) {
            case 'v':
                verbose++;
                break;
            case 'q':
                quiet = 1;
                break;
            case 'h':
                help_quickcheck();
                return 0;
            case kVersionOption:
                printf("alnforge quickcheck %s\n", AF_PROJECT_VERSION);
                return 0;
            default:
                usage_quickcheck(stderr);
                return 1;
        }
    }
    if (optind >= argc) {
        usage_quickcheck(stdout);
        return 1;
    }
    if (verbose >= 2) fprintf(stderr, "verbosity set to %d\n", verbose);
    if (verbose >= 4) hts_verbose = 3;

    for (int i = optind; i < argc; i++) {
        int file_state = check_file(argv[i], verbose, quiet);
        if (file_state != 0 && verbose >= 1) fprintf(stdout, "%s\n", argv[i]);
        ret |= file_state;
    }
    return ret;
}

}  // namespace

extern "C" int main_quickcheck(int argc, char **argv) {
    return account_for_stdout(run(argc, argv));
}
