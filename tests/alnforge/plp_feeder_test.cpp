#include "plp_feeder.h"

#include <gtest/gtest.h>
#include <htslib/sam.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// One delivered column: where, how deep, each read's query position (or -1 for a
// deletion), and which push delivered it.
struct Column {
    int push;
    uint32_t tid, pos;
    int n;
    std::vector<int> qpos;
    bool operator==(const Column &o) const {
        return std::tie(push, tid, pos, n, qpos) == std::tie(o.push, o.tid, o.pos, o.n, o.qpos);
    }
};

std::ostream &operator<<(std::ostream &os, const Column &c) {
    return os << "{push " << c.push << " " << c.tid << ":" << c.pos << " n=" << c.n << "}";
}

Column make_column(int push, int tid, int64_t pos, int n, const bam_pileup1_t *pl) {
    Column c{push, static_cast<uint32_t>(tid), static_cast<uint32_t>(pos), n, {}};
    for (int i = 0; i < n; ++i) c.qpos.push_back(pl[i].is_del ? -1 : pl[i].qpos);
    return c;
}

struct Sink {
    std::vector<Column> cols;
    int push = 0;
    int result = 0;  // what the callback answers; the feeder must not care
};

int collect(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t *pl, void *data) {
    Sink *s = static_cast<Sink *>(data);
    s->cols.push_back(make_column(s->push, tid, pos, n, pl));
    return s->result;
}

struct Records {
    sam_hdr_t *hdr = nullptr;
    std::vector<bam1_t *> recs;
    ~Records() {
        for (bam1_t *b : recs) bam_destroy1(b);
        sam_hdr_destroy(hdr);
    }
};

// Parses SAM text with htslib's own parser.
std::unique_ptr<Records> parse_sam(const std::string &header,
                                   const std::vector<std::string> &lines) {
    auto r = std::make_unique<Records>();
    r->hdr = sam_hdr_parse(header.size(), header.c_str());
    EXPECT_TRUE(r->hdr);
    for (const std::string &line : lines) {
        kstring_t ks = {line.size(), line.size() + 1, strdup(line.c_str())};
        bam1_t *b = bam_init1();
        EXPECT_GE(sam_parse1(&ks, r->hdr, b), 0) << line;
        free(ks.s);
        r->recs.push_back(b);
    }
    return r;
}

const char kHeader[] = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:5000\n@SQ\tSN:chr2\tLN:5000\n";

std::string sam_line(const std::string &name, int flag, const char *chr, int pos1,
                     const std::string &cigar, int len) {
    std::string seq(len, 'A'), qual(len, 'I');
    static const char kBases[] = "ACGT";
    for (int i = 0; i < len; ++i) seq[i] = kBases[(pos1 + i * 7) % 4];
    return name + "\t" + std::to_string(flag) + "\t" + chr + "\t" + std::to_string(pos1) +
           "\t60\t" + cigar + "\t*\t0\t0\t" + seq + "\t" + qual;
}

// Sorted random reads over two references, with insertions, deletions, skips, clips and
// reads that the engine filters out (unmapped, secondary, duplicate).
std::vector<std::string> random_sam(uint32_t seed, int n) {
    std::mt19937 rng(seed);
    static const struct {
        const char *cigar;
        int len;
    } kShapes[] = {{"30M", 30},   {"10M2I18M", 30},  {"12M3D18M", 30},
                   {"5S25M", 30}, {"10M40N20M", 30}, {"20M", 20}};
    static const int kFlags[] = {0, 16, 0, 16, 0, 256, 1024, 4};
    std::vector<std::string> out;
    for (int chr = 0; chr < 2; ++chr) {
        int pos = 1;
        for (int i = 0; i < n / 2; ++i) {
            pos += rng() % 12;
            const auto &s = kShapes[rng() % 6];
            out.push_back(sam_line("r" + std::to_string(chr) + "_" + std::to_string(i),
                                   kFlags[rng() % 8], chr ? "chr2" : "chr1", pos, s.cigar, s.len));
        }
    }
    return out;
}

struct Feeder {
    plp_feeder_t *f;
    explicit Feeder(Sink *s) : f(plp_feeder_init(collect, s)) {}
    ~Feeder() { plp_feeder_destroy(f); }
};

// The same records through the feeder and through a direct push/next loop give the same
// columns, delivered by the same pushes.
TEST(PlpFeeder, MatchesDirectEngineLoop) {
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(seed);
        auto recs = parse_sam(kHeader, random_sam(seed, 400));
        std::vector<const bam1_t *> input(recs->recs.begin(), recs->recs.end());
        input.push_back(nullptr);

        std::vector<Column> direct;
        bam_plp_t iter = bam_plp_init(nullptr, nullptr);
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_GE(bam_plp_push(iter, input[i]), 0);
            int tid, pos, n;
            const bam_pileup1_t *pl;
            while ((pl = bam_plp_next(iter, &tid, &pos, &n)))
                direct.push_back(make_column(i, tid, pos, n, pl));
        }
        bam_plp_destroy(iter);

        Sink sink;
        sink.result = -1;
        Feeder feeder(&sink);
        ASSERT_TRUE(feeder.f);
        for (size_t i = 0; i < input.size(); ++i) {
            sink.push = i;
            ASSERT_EQ(plp_feeder_push(input[i], feeder.f), 0);
        }
        ASSERT_GT(direct.size(), 1000u);
        EXPECT_EQ(sink.cols, direct);
    }
}

TEST(PlpFeeder, PushDeliversCompletedColumnsOnly) {
    auto recs = parse_sam(
        kHeader, {sam_line("a", 0, "chr1", 101, "10M", 10), sam_line("b", 0, "chr1", 101, "5M", 5),
                  sam_line("c", 0, "chr1", 104, "4M", 4)});
    Sink sink;
    Feeder feeder(&sink);
    ASSERT_TRUE(feeder.f);
    // Nothing is complete while reads still start at the first position.
    EXPECT_EQ(plp_feeder_push(recs->recs[0], feeder.f), 0);
    EXPECT_EQ(plp_feeder_push(recs->recs[1], feeder.f), 0);
    EXPECT_TRUE(sink.cols.empty());
    // A read starting three bases on completes three columns, whatever the callback says.
    sink.push = 2;
    sink.result = -5;
    EXPECT_EQ(plp_feeder_push(recs->recs[2], feeder.f), 0);
    std::vector<Column> want = {
        {2, 0, 100, 2, {0, 0}}, {2, 0, 101, 2, {1, 1}}, {2, 0, 102, 2, {2, 2}}};
    EXPECT_EQ(sink.cols, want);
    // The end of input drains what is left: 103..104 three deep, 105..106 two, 107..109 one.
    sink.push = 3;
    EXPECT_EQ(plp_feeder_push(nullptr, feeder.f), 0);
    ASSERT_EQ(sink.cols.size(), 10u);
    std::vector<int> depth;
    for (const Column &c : sink.cols) depth.push_back(c.n);
    EXPECT_EQ(depth, (std::vector<int>{2, 2, 2, 3, 3, 2, 2, 1, 1, 1}));
    EXPECT_EQ(sink.cols.back(), (Column{3, 0, 109, 1, {9}}));
}

TEST(PlpFeeder, ResetForgetsEarlierInput) {
    auto recs = parse_sam(kHeader, {sam_line("late", 0, "chr2", 900, "10M", 10),
                                    sam_line("early", 0, "chr1", 11, "3M", 3)});
    // Without a reset, going back to an earlier position is refused and delivers nothing.
    Sink refused;
    Feeder plain(&refused);
    ASSERT_TRUE(plain.f);
    EXPECT_EQ(plp_feeder_push(recs->recs[0], plain.f), 0);
    hts_set_log_level(HTS_LOG_OFF);
    EXPECT_LT(plp_feeder_push(recs->recs[1], plain.f), 0);
    EXPECT_LT(plp_feeder_push(nullptr, plain.f), 0);
    hts_set_log_level(HTS_LOG_WARNING);
    EXPECT_TRUE(refused.cols.empty());

    Sink sink;
    Feeder feeder(&sink);
    ASSERT_TRUE(feeder.f);
    EXPECT_EQ(plp_feeder_push(recs->recs[0], feeder.f), 0);
    plp_feeder_reset(feeder.f);
    EXPECT_EQ(plp_feeder_push(recs->recs[1], feeder.f), 0);
    EXPECT_EQ(plp_feeder_push(nullptr, feeder.f), 0);
    std::vector<Column> want = {{0, 0, 10, 1, {0}}, {0, 0, 11, 1, {1}}, {0, 0, 12, 1, {2}}};
    EXPECT_EQ(sink.cols, want);
    plp_feeder_destroy(nullptr);  // allowed, like free()
}

// A column the engine cannot report (position at the top of its int range) ends the push
// with a failure rather than a silent success.
TEST(PlpFeeder, EngineFailureWhileDrainingIsReported) {
    bam1_t *b = bam_init1();
    uint32_t cigar = bam_cigar_gen(3, BAM_CMATCH);
    ASSERT_GE(
        bam_set1(b, 1, "r", 0, 0, INT32_MAX - 2, 60, 1, &cigar, -1, -1, 0, 3, "ACG", "III", 0), 0);
    Sink sink;
    Feeder feeder(&sink);
    ASSERT_TRUE(feeder.f);
    hts_set_log_level(HTS_LOG_OFF);
    EXPECT_EQ(plp_feeder_push(b, feeder.f), 0);
    EXPECT_LT(plp_feeder_push(nullptr, feeder.f), 0);
    hts_set_log_level(HTS_LOG_WARNING);
    std::vector<Column> want = {{0, 0, INT32_MAX - 2, 1, {0}}, {0, 0, INT32_MAX - 1, 1, {1}}};
    EXPECT_EQ(sink.cols, want);
    bam_destroy1(b);
}

}  // namespace
