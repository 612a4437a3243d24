// A scratch file for a fuzz target: made under $TMPDIR (else /tmp) and its name removed at
// once, so that nothing is left behind however the run ends, a crash or a timeout included.
// The file stays open for the life of the process and is reached by the path this returns
// (/proc/self/fd/N), which every open, htslib's included, takes like any other.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

inline std::string fuzz_scratch_file(const char *tag) {
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + tag + ".XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0 || unlink(path.c_str()) != 0) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}
