// Fuzz target: the junction line scanner and routing decision on arbitrary bytes. Every
// input is also scanned with sscanf and the two readings must agree, column by column.
#define JUNCTION_GATE_NO_MAIN
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../table_tools/junction_gate.cpp"

namespace {

const char *const kFormat =
    "%s\t%d\t%d\t%s\t%d\t%s\t%d\t%d\t%s\t%d\t%s\t%s\t%lf\t%d\t%s\t%s\t%lf\t%hu\t%hu\t%lf";

void agree_with_sscanf(const std::string &line, int count, const junction_gate::Fields &f) {
    std::vector<std::vector<char>> b(20, std::vector<char>(line.size() + 1, '\0'));
    int i[20] = {};
    double d[20] = {};
    unsigned short u[20] = {};
    int want =
        std::sscanf(line.c_str(), kFormat, b[0].data(), &i[1], &i[2], b[3].data(), &i[4],
                    b[5].data(), &i[6], &i[7], b[8].data(), &i[9], b[10].data(), b[11].data(),
                    &d[12], &i[13], b[14].data(), b[15].data(), &d[16], &u[17], &u[18], &d[19]);
    if (want != count) std::abort();
    for (int c = 0; c < count; ++c) {
        switch (junction_gate::kLayout[c]) {
            case junction_gate::Kind::text:
                if (f.text[c] != std::string_view(b[size_t(c)].data())) std::abort();
                break;
            case junction_gate::Kind::int32:
                if (f.int32[c] != i[c]) std::abort();
                break;
            case junction_gate::Kind::u16:
                if (f.u16[c] != u[c]) std::abort();
                break;
            case junction_gate::Kind::real:
                if (!(std::isnan(d[c]) && std::isnan(f.real[c])) &&
                    std::memcmp(&d[c], &f.real[c], sizeof(double)) != 0)
                    std::abort();
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    static junction_gate::LineScanner scanner;
    junction_gate::Fields f;
    int count = scanner.scan(line, f);
    agree_with_sscanf(line, count, f);
    const junction_gate::Thresholds limits[] = {{100, 0.5}, {0, 0.0}, {65535, NAN}};
    for (const auto &t : limits) {
        bool pass = junction_gate::passes(scanner, line, t);
        bool want = count >= 18 && !(t.min17 > f.real[16]) && f.u16[17] < t.below18;
        if (pass != want) std::abort();
    }
    return 0;
}
