// alnforge: the toolkit's command dispatcher. `alnforge <command> [arguments]` calls the
// command's entry with the argument vector that begins at the command word.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "report_util.h"
#include "stdout_end.h"

namespace {

struct Command {
    const char *name;
    int (*entry)(int, char **);
    const char *about;
    // The status of a run whose standard output was lost: the command's own status with
    // this bit added, or (0) a status of 1 in place of success.
    int output_lost_bit;
};

const Command kCommands[] = {
    {"quickcheck", main_quickcheck, "quickly check that alignment files are intact",
     ALNFORGE_QUICKCHECK_OUTPUT_LOST},
    {"flags", main_flags, "convert between textual and numeric flag representation", 0},
};

void usage(FILE *fp) {
    fprintf(fp,
            "\n"
            "Program: alnforge (tools for alignments in the SAM, BAM and CRAM formats)\n"
            "Version: %s\n"
            "\n"
            "Usage:   alnforge <command> [arguments]\n"
            "\n"
            "Commands:\n",
            alnforge_version());
    for (const auto &c : kCommands) fprintf(fp, "  %-12s%s\n", c.name, c.about);
    fprintf(fp,
            "\n"
            "  %-12s%s\n"
            "  %-12s%s\n"
            "\n"
            "Options:\n"
            "  -h, --help  print this usage and exit\n"
            "  --version   print the version and exit\n"
            "\n"
            "Each command also answers -h, --help and --version.\n"
            "\n",
            "help", "print this usage", "version", "print the version");
}

// Runs the command that the arguments name; `*ran` is set to it.
int dispatch(int argc, char **argv, const Command **ran) {
    if (argc < 2) {
        usage(stderr);
        return 1;
    }
    const char *word = argv[1];
    if (strcmp(word, "help") == 0 || strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0) {
        usage(stdout);
        return 0;
    }
    if (strcmp(word, "version") == 0 || strcmp(word, "--version") == 0) {
        printf("alnforge %s\n", alnforge_version());
        return 0;
    }
    for (const auto &c : kCommands)
        if (strcmp(word, c.name) == 0) {
            *ran = &c;
            return c.entry(argc - 1, argv + 1);
        }
    print_error(nullptr, "unrecognized command '%s'; run 'alnforge help' for the list", word);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const Command *ran = nullptr;
    int status = dispatch(argc, argv, &ran);
    // Everything written to standard output must arrive, the close included. A command that
    // found its output lost has said so and set the stream's error flag.
    const bool reported = ferror(stdout);
    const bool ok = af::finish_stdout(af::StdoutEnd::kClose,
                                      "alnforge: could not write to standard output", !reported);
    if (!ok && !reported) status = ran && ran->output_lost_bit ? status | ran->output_lost_bit : 1;
    return status;
}
