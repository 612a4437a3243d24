// The C library's own reading of a junction line: sscanf with the junction format, text
// buffers as long as the line. The junction_gate tests and fuzz target hold the line scanner
// to it. Header-only and free of the test framework, so that the fuzz build can use it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace aftest {

inline constexpr const char *kJunctionFormat =
    "%s\t%d\t%d\t%s\t%d\t%s\t%d\t%d\t%s\t%d\t%s\t%s\t%lf\t%d\t%s\t%s\t%lf\t%hu\t%hu\t%lf";

// What sscanf makes of `line`. Only the slot matching a column's type is set, and only for
// the `count` columns that converted (count is -1 when the line ends before the first).
struct JunctionReference {
    int count;
    std::string text[20];
    int i[20] = {};
    double d[20] = {};
    unsigned short u[20] = {};

    explicit JunctionReference(const std::string &line) {
        std::vector<std::vector<char>> b(20, std::vector<char>(line.size() + 1, '\0'));
        count = std::sscanf(line.c_str(), kJunctionFormat, b[0].data(), &i[1], &i[2], b[3].data(),
                            &i[4], b[5].data(), &i[6], &i[7], b[8].data(), &i[9], b[10].data(),
                            b[11].data(), &d[12], &i[13], b[14].data(), b[15].data(), &d[16],
                            &u[17], &u[18], &d[19]);
        for (size_t c = 0; c < 20; ++c) text[c] = b[c].data();
    }
};

}  // namespace aftest
