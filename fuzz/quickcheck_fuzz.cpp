// Feeds arbitrary bytes, as a file, to the quickcheck entry: whatever the bytes, the
// check must end with a verdict, never a crash or a leak.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz_scratch_file("qc_fuzz");
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);
    char cmd[] = "quickcheck", q[] = "-q";
    char *argv[] = {cmd, q, const_cast<char *>(path.c_str()), nullptr};
    optind = 1;
    int r = main_quickcheck(3, argv);
    if (r < 0 || r > 0x3e) abort();
    return 0;
}
