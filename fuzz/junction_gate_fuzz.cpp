// Fuzz target: the junction line scanner and routing decision on arbitrary bytes. Every
// input is also read with sscanf and the two readings must agree, column by column.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "junction_reference.h"
#include "junction_scan.h"

namespace {

void agree_with_sscanf(const std::string &line, int count, const junction_gate::Fields &f) {
    const aftest::JunctionReference want(line);
    if (want.count != count) std::abort();
    for (int c = 0; c < count; ++c) {
        switch (junction_gate::kLayout[c]) {
            case junction_gate::Kind::kText:
                if (f.text[c] != want.text[c]) std::abort();
                break;
            case junction_gate::Kind::kInt32:
                if (f.int32[c] != want.i[c]) std::abort();
                break;
            case junction_gate::Kind::kU16:
                if (f.u16[c] != want.u[c]) std::abort();
                break;
            case junction_gate::Kind::kReal:
                if (!(std::isnan(want.d[c]) && std::isnan(f.real[c])) &&
                    std::memcmp(&want.d[c], &f.real[c], sizeof(double)) != 0)
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
        bool want = count >= 18 && !(t.min_ratio > f.real[junction_gate::kRatio]) &&
                    f.u16[junction_gate::kSupport] < t.support_limit;
        if (pass != want) std::abort();
    }
    return 0;
}
