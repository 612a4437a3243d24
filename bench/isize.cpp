// Insert-size store benchmark: 20 million increments drawn from a realistic insert-size
// distribution, through the dense and the sparse store, against a plain uint64_t array
// and a std::unordered_map of three counters doing the same work in the same run.
//
// usage: isize [increments]    (default 20000000)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <unordered_map>
#include <vector>

#include "isize_store.h"

namespace {

constexpr int kTail = 1000000;  // largest insert size drawn
constexpr int kRounds = 5;      // best of, each variant alternating with the others

struct Workload {
    std::vector<int32_t> at;        // as observed: mostly 150..600, long tail, some negative
    std::vector<int32_t> at_dense;  // the same sizes folded to >= 0, as a dense caller does
    std::vector<uint8_t> orient;    // 0 inward, 1 outward, 2 other
};

Workload make_workload(size_t n) {
    std::mt19937_64 rng(20261208);
    std::normal_distribution<double> body(350.0, 70.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Workload w;
    w.at.resize(n);
    w.at_dense.resize(n);
    w.orient.resize(n);
    for (size_t i = 0; i < n; ++i) {
        double u = unit(rng);
        int at;
        if (u < 0.94) {
            at = static_cast<int>(std::clamp(body(rng), 150.0, 600.0));
        } else {
            // Log-uniform tail from 600 to 10^6; a third of it negative.
            at = static_cast<int>(600.0 * std::pow(kTail / 600.0, unit(rng)));
            if (u > 0.98) at = -at;
        }
        w.at[i] = at;
        w.at_dense[i] = at < 0 ? -at : at;
        double o = unit(rng);
        w.orient[i] = o < 0.92 ? 0 : (o < 0.96 ? 1 : 2);
    }
    return w;
}

// CPU time of this thread: on a shared machine it hides time spent waiting for a core.
double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Each run fills a fresh container, times only the increments, checks the result and
// returns the seconds taken.
struct Counters {
    uint64_t c[3];
};

// Sizes whose counters each run folds into its check value.
constexpr int kProbeSigned[] = {150, 350, 599, 1000, -1000, kTail - 1};
constexpr int kProbeFolded[] = {150, 350, 599, 1000, 1000, kTail - 1};

double run_table(const Workload &w, int bound, const std::vector<int32_t> &keys,
                 const int (&probe)[6], uint64_t *check) {
    isize_t *h = init_isize_t(bound);
    if (!h) {
        fprintf(stderr, "isize: out of memory\n");
        exit(1);
    }
    const size_t n = keys.size();
    double t0 = cpu_now();
    for (size_t i = 0; i < n; ++i) {
        switch (w.orient[i]) {
            case 0:
                h->inc_inward(h->data, keys[i]);
                break;
            case 1:
                h->inc_outward(h->data, keys[i]);
                break;
            default:
                h->inc_other(h->data, keys[i]);
                break;
        }
    }
    double s = cpu_now() - t0;
    for (int at : probe)
        check[0] +=
            h->inward(h->data, at) + 3 * h->outward(h->data, at) + 7 * h->other(h->data, at);
    h->isize_free(h->data);
    free(h);
    return s;
}

double run_array(const Workload &w, uint64_t *check) {
    std::vector<uint64_t> in(kTail + 1), out(kTail + 1), other(kTail + 1);
    uint64_t *a[3] = {in.data(), out.data(), other.data()};
    const size_t n = w.at_dense.size();
    double t0 = cpu_now();
    for (size_t i = 0; i < n; ++i) {
        switch (w.orient[i]) {
            case 0:
                a[0][w.at_dense[i]]++;
                break;
            case 1:
                a[1][w.at_dense[i]]++;
                break;
            default:
                a[2][w.at_dense[i]]++;
                break;
        }
    }
    double s = cpu_now() - t0;
    for (int at : kProbeFolded) check[0] += a[0][at] + 3 * a[1][at] + 7 * a[2][at];
    return s;
}

double run_map(const Workload &w, uint64_t *check) {
    std::unordered_map<int, Counters> m;
    const size_t n = w.at.size();
    double t0 = cpu_now();
    for (size_t i = 0; i < n; ++i) m[w.at[i]].c[w.orient[i]]++;
    double s = cpu_now() - t0;
    for (int at : kProbeSigned) {
        auto it = m.find(at);
        if (it != m.end()) check[0] += it->second.c[0] + 3 * it->second.c[1] + 7 * it->second.c[2];
    }
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 20000000;
    if (n == 0) {
        fprintf(stderr, "usage: isize [increments]\n");
        return 2;
    }
    Workload w = make_workload(n);
    double dense = 1e30, sparse = 1e30, array = 1e30, map = 1e30;
    uint64_t ck_dense = 0, ck_sparse = 0, ck_array = 0, ck_map = 0;
    for (int r = 0; r < kRounds; ++r) {
        uint64_t cd = 0, cs = 0, ca = 0, cm = 0;
        array = std::min(array, run_array(w, &ca));
        dense = std::min(dense, run_table(w, kTail + 1, w.at_dense, kProbeFolded, &cd));
        map = std::min(map, run_map(w, &cm));
        sparse = std::min(sparse, run_table(w, 0, w.at, kProbeSigned, &cs));
        ck_dense = cd, ck_sparse = cs, ck_array = ca, ck_map = cm;
    }
    if (ck_dense != ck_array || ck_sparse != ck_map) {
        fprintf(stderr, "isize: stores disagree with their baselines\n");
        return 1;
    }
    auto ns = [n](double s) { return s * 1e9 / static_cast<double>(n); };
    printf("isize: %zu increments, best of %d rounds\n", n, kRounds);
    printf(
        "isize dense store (through table): %6.2f ns/inc; plain uint64_t array %6.2f ns/inc;"
        " ratio %.2f (target <= 3.00) %s\n",
        ns(dense), ns(array), dense / array, dense / array <= 3.0 ? "met" : "MISSED");
    printf(
        "isize sparse store:                %6.2f ns/inc; std::unordered_map  %6.2f ns/inc;"
        " ratio %.2f (target <= 1.00) %s\n",
        ns(sparse), ns(map), sparse / map, sparse / map <= 1.0 ? "met" : "MISSED");
    return 0;
}
