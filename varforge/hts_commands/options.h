// options: what the view and index commands share about their command lines.
#ifndef VARFORGE_HTS_COMMANDS_OPTIONS_H
#define VARFORGE_HTS_COMMANDS_OPTIONS_H

#include <cstdio>
#include <cstring>

// Names the first argument that begins with '-' and is no option of the command, then the
// command's `usage`, on standard error, as "[COMMAND] unknown option ..."; true when there was
// one. The help and version options are known (answered when they stand alone), and a lone
// "-" is left to the command.
inline bool refuse_unknown_option(int argc, char **argv, const char *command, const char *usage) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0' || strcmp(arg, "-h") == 0 ||
            strcmp(arg, "--help") == 0 || strcmp(arg, "--version") == 0)
            continue;
        fprintf(stderr, "[%s] unknown option '%s' (a file of that name is given as ./%s)\n",
                command, arg, arg);
        fputs(usage, stderr);
        return true;
    }
    return false;
}

#endif
