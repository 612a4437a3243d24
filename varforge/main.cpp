// varforge: the variant-file tool's driver. `varforge <command> <arguments>` hands `view` and
// `index` to the library's command entries and runs `cat`, the join of BCF files by copying
// their compressed blocks (join/join.h), itself.
#include <cstdio>
#include <cstring>

#include "hts_commands/commands.h"
#include "join/join.h"
#include "stdout_end.h"

extern "C" int bcf_cat(int n, const char **fn);

namespace {

const char kUsage[] =
    "\n"
    "Usage:   varforge <command> <arguments>\n\n"
    "Command: view      print, extract, convert and call SNPs from BCF\n"
    "         index     index BCF\n"
    "         cat       concatenate BCFs\n"
    "\n";

// After the usage, for -h and --help only: the usage itself is fixed, and goes to standard
// error when no command is given.
const char kHelpOptions[] =
    "Options: -h, --help  print this help and exit\n"
    "         --version   print the version and exit\n"
    "\n"
    "Each command also answers -h, --help and --version.\n"
    "\n";

}  // namespace

// `n` words after "cat": options and input names.
extern "C" int bcf_cat(int n, const char **fn) {
    return vfjoin::cat_command(n > 0 ? n : 0, fn);
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 1;
    }
    int status;
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        fputs(kHelpOptions, stdout);
        status = 0;
    } else if (strcmp(argv[1], "--version") == 0) {
        printf("varforge %s\n", AF_PROJECT_VERSION);
        status = 0;
    } else if (strcmp(argv[1], "view") == 0) {
        status = bcfview(argc - 1, argv + 1);
    } else if (strcmp(argv[1], "index") == 0) {
        status = bcf_main_index(argc - 1, argv + 1);
    } else if (strcmp(argv[1], "cat") == 0) {
        status = bcf_cat(argc - 2, const_cast<const char **>(argv + 2));
    } else {
        fputs("[main] Unrecognized command.\n", stderr);
        return 1;
    }
    // Whatever went through the standard output stream (usage, help, version, cat's stream)
    // must arrive, the close included. A command that failed has said why already. view
    // writes its text through htslib, which closes the descriptor itself.
    const bool ok = af::finish_stdout(af::StdoutEnd::kCloseShared,
                                      "[main] error writing to standard output", status == 0);
    return ok || status != 0 ? status : 1;
}
