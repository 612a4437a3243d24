// varforge_unchecked: `varforge cat` built from the join's library with the walks of the
// inputs' data blocks turned off, for bench/cat to show what those walks cost. Not installed.
#include <cstdio>
#include <cstring>

#include "join/join.h"

int main(int argc, char **argv) {
    if (argc < 2 || strcmp(argv[1], "cat") != 0) {
        fputs("usage: varforge_unchecked cat [options] <inputs>\n", stderr);
        return 1;
    }
    vfjoin::JoinOptions base;
    base.walk_blocks = false;
    const int status = vfjoin::cat_command(argc - 2, const_cast<const char **>(argv + 2), base);
    return fclose(stdout) == 0 ? status : 1;
}
