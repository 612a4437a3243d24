// Pileup feeder benchmark: 2 million 100-base records at about 30x depth pushed through
// the feeder, against the same records through a direct bam_plp_push/bam_plp_next loop
// that does the same per-column work inline, in the same run and interleaved with it.
//
// usage: pileup [records]    (default 2000000)
#include <htslib/sam.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "plp_feeder.h"

namespace {

constexpr int kReadLen = 100;
constexpr int kDepth = 30;
constexpr int kRounds = 3;  // best of

// What each column costs the caller: a running sum that the optimiser cannot drop.
struct Tally {
    uint64_t columns = 0, bases = 0, qsum = 0;
};

inline void tally(Tally *t, uint32_t pos, int n, const bam_pileup1_t *pl) {
    t->columns++;
    t->bases += static_cast<uint64_t>(n);
    t->qsum += pos + static_cast<uint64_t>(pl[n - 1].qpos);
}

int feeder_column(uint32_t, uint32_t pos, int n, const bam_pileup1_t *pl, void *data) {
    tally(static_cast<Tally *>(data), pos, n, pl);
    return 0;
}

// A few record shapes (plain, with a deletion, with an insertion, soft-clipped, reverse
// strand); each push reuses one of them with a new position: the engine copies what it is
// given, so the generator costs both sides the same few stores.
std::vector<bam1_t *> make_templates() {
    struct Shape {
        int flag;
        std::vector<uint32_t> cigar;
    };
    const Shape shapes[] = {
        {0, {bam_cigar_gen(100, BAM_CMATCH)}},
        {16, {bam_cigar_gen(100, BAM_CMATCH)}},
        {0,
         {bam_cigar_gen(50, BAM_CMATCH), bam_cigar_gen(2, BAM_CDEL),
          bam_cigar_gen(50, BAM_CMATCH)}},
        {16,
         {bam_cigar_gen(40, BAM_CMATCH), bam_cigar_gen(1, BAM_CINS),
          bam_cigar_gen(59, BAM_CMATCH)}},
        {0, {bam_cigar_gen(5, BAM_CSOFT_CLIP), bam_cigar_gen(95, BAM_CMATCH)}},
    };
    std::string seq(kReadLen, 'A'), qual(kReadLen, '\x28');
    for (int i = 0; i < kReadLen; ++i) seq[i] = "ACGT"[(i * 7 + i / 3) % 4];
    std::vector<bam1_t *> out;
    for (const Shape &s : shapes) {
        bam1_t *b = bam_init1();
        if (!b || bam_set1(b, 8, "readname", s.flag, 0, 0, 60, s.cigar.size(), s.cigar.data(), -1,
                           -1, 0, kReadLen, seq.c_str(), qual.c_str(), 0) < 0) {
            fprintf(stderr, "pileup: cannot build records\n");
            exit(1);
        }
        out.push_back(b);
    }
    return out;
}

// Start of record i: reads 100 bases long starting every 100/30 bases on average.
inline hts_pos_t start_of(size_t i) {
    return 1000 + static_cast<hts_pos_t>(i * kReadLen / kDepth);
}

// CPU time of this thread: on a shared machine it hides time spent waiting for a core.
double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One round: the feeder and the direct loop each take all n records, in alternating blocks
// of kBlock records, both engines alive side by side, so that a burst of load on this
// shared machine, or the state of the heap, falls on both sides alike. Returns the CPU
// seconds of each side.
constexpr size_t kBlock = 4096;

void run_round(const std::vector<bam1_t *> &tpl, size_t n, Tally *tf, Tally *td, double *feeder,
               double *direct) {
    plp_feeder_t *f = plp_feeder_init(feeder_column, tf);
    bam_plp_t iter = bam_plp_init(nullptr, nullptr);
    if (!f || !iter) exit(1);
    *feeder = *direct = 0.0;
    int tid, pos, np;
    const bam_pileup1_t *pl;
    for (size_t from = 0, block = 0; from <= n; from += kBlock, ++block) {
        // The block that reaches n also pushes the null record that drains the engine.
        size_t to = std::min(n + 1, from + kBlock);
        for (int side = 0; side < 2; ++side) {
            bool use_feeder = (side + block) % 2 == 0;
            double t0 = cpu_now();
            for (size_t i = from; i < to; ++i) {
                bam1_t *b = nullptr;
                if (i < n) {
                    b = tpl[i % tpl.size()];
                    b->core.pos = start_of(i);
                }
                if (use_feeder) {
                    if (plp_feeder_push(b, f) < 0) exit(1);
                } else {
                    if (bam_plp_push(iter, b) < 0) exit(1);
                    while ((pl = bam_plp_next(iter, &tid, &pos, &np)))
                        tally(td, static_cast<uint32_t>(pos), np, pl);
                }
            }
            (use_feeder ? *feeder : *direct) += cpu_now() - t0;
        }
    }
    plp_feeder_destroy(f);
    bam_plp_destroy(iter);
}

}  // namespace

int main(int argc, char **argv) {
    size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 2000000;
    if (n == 0) {
        fprintf(stderr, "usage: pileup [records]\n");
        return 2;
    }
    std::vector<bam1_t *> tpl = make_templates();
    double feeder = 1e30, direct = 1e30;
    Tally tf, td;
    for (int r = 0; r < kRounds; ++r) {
        tf = Tally{};
        td = Tally{};
        double f, d;
        run_round(tpl, n, &tf, &td, &f, &d);
        feeder = std::min(feeder, f);
        direct = std::min(direct, d);
    }
    for (bam1_t *b : tpl) bam_destroy1(b);
    if (tf.columns != td.columns || tf.bases != td.bases || tf.qsum != td.qsum) {
        fprintf(stderr, "pileup: feeder and direct loop disagree\n");
        return 1;
    }
    double ratio = feeder / direct;
    printf(
        "pileup: %zu records of %d bases, mean depth %.1f over %llu columns; best of %d rounds,"
        " the two sides interleaved in blocks of %zu records\n",
        n, kReadLen, static_cast<double>(tf.bases) / static_cast<double>(tf.columns),
        static_cast<unsigned long long>(tf.columns), kRounds, kBlock);
    printf(
        "pileup feeder: %.3f s (%.1f ns/column); direct push/next loop %.3f s;"
        " ratio %.3f (target <= 1.05) %s\n",
        feeder, feeder * 1e9 / static_cast<double>(tf.columns), direct, ratio,
        ratio <= 1.05 ? "met" : "MISSED");
    return 0;
}
