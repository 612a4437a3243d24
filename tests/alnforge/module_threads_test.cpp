// Four threads at once, each with its own handles: spill file round trips (all under one name
// prefix), insert-size stores, pileup feeders and format-option parsing. Every thread must get
// exactly what a lone thread gets; built with -fsanitize=thread (make tsan-test) any data race
// between the handles, or on state the modules share, is reported.
#include <gtest/gtest.h>
#include <htslib/sam.h>

#include <cstdint>
#include <cstdlib>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fmt_opts.h"
#include "isize_store.h"
#include "plp_feeder.h"
#include "process.h"
#include "report_util.h"
#include "spill_file.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 6;
constexpr int kRecords = 250;  // three groups, the last one short

// A mapped 20-base read at `pos` on target 0, named after the thread and its number.
bam1_t *make_read(int thread, int i, int64_t pos) {
    bam1_t *b = bam_init1();
    std::string name = "t" + std::to_string(thread) + "r" + std::to_string(i);
    uint32_t cigar = bam_cigar_gen(20, BAM_CMATCH);
    std::string seq(20, "ACGT"[(thread + i) & 3]), qual(20, 'I');
    if (bam_set1(b, name.size(), name.c_str(), 0, 0, pos, 60, 1, &cigar, -1, -1, 0, 20, seq.c_str(),
                 qual.c_str(), 0) < 0) {
        bam_destroy1(b);
        return nullptr;
    }
    return b;
}

// Each returns the number of mismatches against what one thread alone must see.
int spill_round_trip(const std::string &prefix, int thread) {
    spill_file_t sf;
    int bad = spill_file_open_write(&sf, prefix.c_str(), 1) != 0;
    for (int i = 0; i < kRecords && !bad; i++) {
        bam1_t *b = make_read(thread, i, i);
        bad += !b || spill_file_write(&sf, b) != 0;
        bam_destroy1(b);
    }
    bam1_t *out = bam_init1();
    bad += bad || spill_file_end_write(&sf) != 0 || spill_file_begin_read(&sf, out) != 0;
    for (int i = 0; i < kRecords && !bad; i++) {
        std::string name = "t" + std::to_string(thread) + "r" + std::to_string(i);
        bad += spill_file_read(&sf, out) <= 0 || name != bam_get_qname(out) || out->core.pos != i;
    }
    bad += !bad && spill_file_read(&sf, out) != 0;
    bad += spill_file_destroy(&sf, out, 0) != 0;
    bam_destroy1(out);
    return bad;
}

int isize_counts(int thread) {
    int bad = 0;
    for (int bound : {0, 600}) {  // sparse, then dense
        isize_t *h = init_isize_t(bound);
        if (!h) return 1;
        for (int i = 0; i < 3000; i++) h->inc_inward(h->data, (i * 7 + thread) % 500);
        uint64_t total = 0;
        for (int at = 0; at < h->nitems(h->data); at++) total += h->inward(h->data, at);
        bad += total != 3000 || h->inward(h->data, thread) != 6;
        h->isize_free(h->data);
        free(h);
    }
    return bad;
}

int count_columns(uint32_t, uint32_t, int n, const bam_pileup1_t *, void *data) {
    *static_cast<int64_t *>(data) += n;
    return 0;
}

int pileup_depth(int thread) {
    int64_t bases = 0;
    plp_feeder_t *f = plp_feeder_init(count_columns, &bases);
    if (!f) return 1;
    int bad = 0;
    for (int i = 0; i < 200; i++) {
        bam1_t *b = make_read(thread, i, 100 + i);
        bad += !b || plp_feeder_push(b, f) != 0;
        bam_destroy1(b);
    }
    bad += plp_feeder_push(nullptr, f) != 0 || bases != 200 * 20;
    plp_feeder_destroy(f);
    return bad;
}

int parse_options(int thread) {
    static const struct option table[] = {{"input-fmt", required_argument, nullptr, 128},
                                          {"output-fmt-option", required_argument, nullptr, 131},
                                          {"reference", required_argument, nullptr, 132},
                                          {"threads", required_argument, nullptr, 133},
                                          {nullptr, 0, nullptr, 0}};
    sam_global_args ga;
    sam_global_args_init(&ga);
    std::string ref = "ref" + std::to_string(thread) + ".fa", threads = std::to_string(thread);
    int bad = parse_sam_global_opt(128, "cram", table, &ga) != 0 ||
              parse_sam_global_opt(131, "level=5", table, &ga) != 0 ||
              parse_sam_global_opt(132, ref.c_str(), table, &ga) != 0 ||
              parse_sam_global_opt(133, threads.c_str(), table, &ga) != 0;
    bad += ga.in.format != cram || ga.nthreads != thread || !ga.reference || ref != ga.reference;
    sam_global_args_free(&ga);
    return bad;
}

TEST(ModuleThreads, FourThreadsEachWithItsOwnHandles) {
    aftest::TempDir dir;
    const std::string prefix = dir.file("park");
    std::vector<int> bad(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; round++) {
                bad[t] += spill_round_trip(prefix, t) + isize_counts(t) + pileup_depth(t) +
                          parse_options(t);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), bad);
}

// Error lines written by four threads at once come out whole, one per line.
TEST(ModuleThreads, ErrorLinesFromThreadsNeverMix) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    testing::internal::CaptureStderr();
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < 1000; i++) print_error("threads", "line %d of thread %d", i, t);
        });
    }
    for (auto &th : threads) th.join();
    std::istringstream err(testing::internal::GetCapturedStderr());
    std::vector<int> next(kThreads, 0);
    int i, t;
    for (std::string line; std::getline(err, line);) {
        ASSERT_EQ(2, sscanf(line.c_str(), "alnforge threads: line %d of thread %d", &i, &t))
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads && i == next[t]++) << line;
    }
    EXPECT_EQ(std::vector<int>(kThreads, 1000), next);
}

}  // namespace
