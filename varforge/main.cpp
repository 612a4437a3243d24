// varforge: the variant-file tool's driver. `varforge <command> <arguments>` hands `view` and
// `index` to the library's command entries and runs `cat`, the join of BCF files by copying
// their compressed blocks (join/join.h), itself.
#include <cstdio>
#include <cstring>

#include "hts_commands/commands.h"
#include "join/join.h"

extern "C" int bcf_cat(int n, const char **fn);

namespace {

const char kUsage[] =
    "\n"
    "Usage:   varforge <command> <arguments>\n\n"
    "Command: view      print, extract, convert and call SNPs from BCF\n"
    "         index     index BCF\n"
    "         cat       concatenate BCFs\n"
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
    if (strcmp(argv[1], "view") == 0) return bcfview(argc - 1, argv + 1);
    if (strcmp(argv[1], "index") == 0) return bcf_main_index(argc - 1, argv + 1);
    if (strcmp(argv[1], "cat") == 0) return bcf_cat(argc - 2, const_cast<const char **>(argv + 2));
    fputs("[main] Unrecognized command.\n", stderr);
    return 1;
}
