// The `index` command, on htslib's indexer. A translation unit of its own, apart from the
// library's BCF code, whose names htslib also uses.
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/vcf.h>

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "options.h"

namespace {

const char kIndexUsage[] =
    "Usage:   varforge index <in.bcf|in.vcf.gz>\n"
    "\n"
    "Writes the coordinate index <in.bcf>.csi beside the file.\n"
    "\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n";

constexpr int kMinShift = 14;  // CSI bins start at 16 KiB

}  // namespace

extern "C" int bcf_main_index(int argc, char **argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kIndexUsage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("varforge index %s\n", AF_PROJECT_VERSION);
        return 0;
    }
    if (refuse_unknown_option(argc, argv, "bcf_main_index", kIndexUsage)) return 1;
    if (argc != 2) {
        fputs(kIndexUsage, stderr);
        return 1;
    }
    const char *fn = argv[1];
    if (strcmp(fn, "-") == 0) {
        fputs(
            "[bcf_main_index] -: cannot index standard input: the index is written beside a "
            "named file\n",
            stderr);
        return 1;
    }
    hts_set_log_level(HTS_LOG_OFF);  // our own message names the file and the fault
    const int r = bcf_index_build(fn, kMinShift);
    if (r == 0) return 0;
    const char *why = r == -2   ? "cannot open the file"
                      : r == -3 ? "not a BGZF-compressed BCF or VCF file"
                      : r == -4 ? "cannot write the index"
                                : "cannot index the file (unsorted or damaged records?)";
    fprintf(stderr, "[bcf_main_index] %s: %s\n", fn, why);
    return 1;
}
