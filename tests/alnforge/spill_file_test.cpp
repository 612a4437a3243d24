// Spill file: round trips, the bytes on disk, handle sizes, naming, messages, failures and a
// reader that must survive any file contents.
#include "spill_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "process.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record's content as the test generated it, kept apart from any bam1_t.
struct Rec {
    bam1_core_t core{};
    uint64_t id = 0;
    uint32_t m_data = 0;
    Bytes data;
};

// Shared source of data bytes: records cut from it repeat each other, as reads of one region
// do, so the compressor refers back into earlier groups all the time.
const Bytes &pool() {
    static const Bytes kPool = [] {
        std::mt19937 rng(99);
        Bytes b(1 << 18);
        for (auto &x : b) x = static_cast<uint8_t>("ACGT"[rng() & 3]);
        return b;
    }();
    return kPool;
}

Rec random_rec(std::mt19937_64 &rng, size_t l_data) {
    Rec r;
    bam1_core_t &c = r.core;
    c.tid = static_cast<int32_t>(rng());
    c.pos = static_cast<int64_t>(rng());  // often far past 2^31, and negative
    c.bin = static_cast<uint16_t>(rng());
    c.qual = static_cast<uint8_t>(rng());
    c.l_extranul = static_cast<uint8_t>(rng());
    c.flag = static_cast<uint16_t>(rng());
    c.l_qname = static_cast<uint16_t>(rng());  // high byte too
    c.n_cigar = static_cast<uint32_t>(rng());
    c.l_qseq = static_cast<int32_t>(rng());
    c.mtid = static_cast<int32_t>(rng());
    c.mpos = static_cast<int64_t>(rng());
    c.isize = static_cast<int64_t>(rng());
    r.id = rng();
    r.m_data = static_cast<uint32_t>(rng());
    r.data.resize(l_data);
    const Bytes &p = pool();
    for (size_t i = 0; i < l_data;) {
        size_t at = rng() % p.size(), n = std::min(l_data - i, p.size() - at);
        memcpy(r.data.data() + i, p.data() + at, n);
        i += n;
    }
    if (l_data && rng() % 4 == 0) r.data[rng() % l_data] ^= 0x5a;
    return r;
}

// Lends the record's bytes to a bam1_t for one write.
void load(bam1_t *b, Rec &r) {
    b->core = r.core;
    b->id = r.id;
    b->l_data = static_cast<int>(r.data.size());
    b->m_data = r.m_data;
    b->data = r.data.empty() ? nullptr : r.data.data();
}

auto fields(const bam1_core_t &c, uint64_t id) {
    return std::make_tuple(c.tid, c.pos, c.bin, c.qual, c.l_extranul, c.flag, c.l_qname, c.n_cigar,
                           c.l_qseq, c.mtid, c.mpos, c.isize, id);
}

void expect_same(const Rec &want, const bam1_t *got, size_t i) {
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(fields(want.core, want.id), fields(got->core, got->id));
    ASSERT_EQ(want.data.size(), static_cast<size_t>(got->l_data));
    if (!want.data.empty()) {
        EXPECT_EQ(0, memcmp(want.data.data(), got->data, want.data.size()));
    }
}

// Writes the records, ends writing and reads them all back through one record, then tears
// down. Every record must come back whole and in order.
// `after_write` sees the handle after each append. The caller's record keeps the buffer rules
// of the header: lent data whose capacity covers the record and no more than the largest.
void round_trip(std::vector<Rec> &recs, const std::string &prefix,
                const std::function<void(const spill_file_t &, size_t)> &after_write = {}) {
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, prefix.c_str(), 1));
    bam1_t *in = bam_init1();
    for (size_t i = 0; i < recs.size(); i++) {
        load(in, recs[i]);
        ASSERT_EQ(0, spill_file_write(&sf, in));
        if (after_write) after_write(sf, i);
    }
    in->data = nullptr;  // the bytes were the test's
    bam_destroy1(in);
    ASSERT_EQ(0, spill_file_end_write(&sf));
    EXPECT_EQ((recs.size() + 99) / 100, sf.groups_written);

    bam1_t *out = bam_init1();
    ASSERT_EQ(0, spill_file_begin_read(&sf, out));
    size_t longest = 0;
    for (size_t i = 0; i < recs.size(); i++) {
        ASSERT_EQ(static_cast<int>(64 + recs[i].data.size()), spill_file_read(&sf, out));
        expect_same(recs[i], out, i);
        longest = std::max(longest, recs[i].data.size());
        ASSERT_EQ(sf.data, out->data);
        ASSERT_EQ(sf.data_size, out->m_data);
        ASSERT_GE(out->m_data, static_cast<uint32_t>(out->l_data));
        ASSERT_LE(out->m_data, longest);
        ASSERT_TRUE(bam_get_mempolicy(out) & BAM_USER_OWNS_DATA);
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_EQ(0, spill_file_read(&sf, out));
    EXPECT_EQ(0, spill_file_read(&sf, out));
    EXPECT_EQ(0, spill_file_destroy(&sf, out, 0));
    EXPECT_EQ(nullptr, out->data);
    EXPECT_EQ(0, out->l_data);
    EXPECT_EQ(0u, out->m_data);
    bam_destroy1(out);
}

TEST(SpillFile, RoundTripsEveryFieldAndByte) {
    aftest::TempDir dir;
    for (size_t n : {0, 1, 99, 100, 101, 250, 20000}) {
        SCOPED_TRACE("records " + std::to_string(n));
        std::mt19937_64 rng(n + 1);
        std::vector<Rec> recs;
        for (size_t i = 0; i < n; i++) recs.push_back(random_rec(rng, rng() % 700));
        round_trip(recs, dir.file("rt"));
    }
}

// Mixed tiny, medium and multi-MiB records: many ring wraps, groups that outgrow the sizes the
// buffers were made for, ring growths and group restarts, all over data that refers back into
// earlier groups. Run under AddressSanitizer, any stray image or damaged history shows. The
// multi-MiB records come only after the first 8 MiB, so that the ring wraps many times at its
// first sizes before it grows.
TEST(SpillFile, RandomMixedSizesSurviveWrapsAndGrowths) {
    aftest::TempDir dir;
    for (uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        std::vector<Rec> recs;
        size_t total = 0;
        while (total < (20u << 20)) {
            unsigned pick = rng() % 1000;
            if (pick == 0) {  // a burst of larger records: a group far above the usual size
                size_t each = 1000 + rng() % 4000;
                for (int i = 0; i < 100; i++) recs.push_back(random_rec(rng, each));
                total += 100 * each;
                continue;
            }
            size_t len = pick < 940                         ? rng() % 300
                         : pick < 999 || total < (8u << 20) ? 1000 + rng() % 30000
                                                            : (1u << 20) + rng() % (2u << 20);
            recs.push_back(random_rec(rng, len));
            total += len;
        }
        round_trip(recs, dir.file("mix"));
    }
}

// The two ways a group can run into trouble with a ring buffer of its start size: after a
// wrap it grows into the stretch that holds the compressor's history, or, placed near the end,
// it grows past the end. Data of one repeated base make the compressor reach back into that
// history at once, so a damaged history shows as damaged records.
TEST(SpillFile, GroupsThatReachHistoryOrTheRingEnd) {
    aftest::TempDir dir;
    struct Case {
        const char *name;
        size_t small_groups;  // groups of 100 records of 10 data bytes written first
        size_t big_len;       // then 99 records of this many data bytes
    };
    // 74 bytes an image, 7,400 a group; the first group raises the group size to 8,552, so
    // 141 groups end at 1,043,400 and wrap the 1 MiB ring. 99 records of 10,500 bytes then
    // reach past that end, over all of the compressor's history. 125 groups leave the next
    // one at 925,000, where 99 records of 2,000 bytes pass the end of the ring.
    for (const Case &c :
         {Case{"after wrap, over the history", 141, 10500},
          Case{"after wrap, into the history", 141, 9900}, Case{"near the end", 125, 2000}}) {
        SCOPED_TRACE(c.name);
        std::mt19937_64 rng(7);
        std::vector<Rec> recs;
        auto add = [&](size_t len) {
            recs.push_back(random_rec(rng, len));
            std::fill(recs.back().data.begin(), recs.back().data.end(), 'A');
        };
        for (size_t i = 0; i < c.small_groups * 100; i++) add(10);
        for (size_t i = 0; i < 100; i++) add(i < 99 ? c.big_len : 10);
        for (size_t i = 0; i < 300; i++) add(rng() % 3000);
        round_trip(recs, dir.file("edge"));
    }
}

std::string stream_bytes(spill_file_t *sf) {
    int fd = fileno(sf->fp);
    struct stat st;
    EXPECT_EQ(0, fstat(fd, &st));
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    EXPECT_EQ(st.st_size, pread(fd, bytes.data(), bytes.size(), 0));
    return bytes;
}

// The file as a reader that knows only the format sees it: lengths, LZ4 blocks of one stream
// decoded on their own, 64-byte heads at fixed offsets, then 8 zero bytes.
TEST(SpillFile, FileBytesFollowTheFormat) {
    aftest::TempDir dir;
    std::mt19937_64 rng(5);
    std::vector<Rec> recs;
    for (int i = 0; i < 250; i++) recs.push_back(random_rec(rng, rng() % 400));
    recs[3].core.pos = (int64_t{5} << 32) + 17;
    recs[3].core.l_qname = 0x1234;

    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("fmt").c_str(), 1));
    bam1_t in{};
    for (auto &r : recs) {
        load(&in, r);
        ASSERT_EQ(0, spill_file_write(&sf, &in));
    }
    ASSERT_EQ(0, spill_file_end_write(&sf));
    std::string file = stream_bytes(&sf);
    EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));

    // One decoder over one contiguous buffer: the simplest way to follow an LZ4 stream.
    std::vector<char> plain(8 << 20);
    LZ4_streamDecode_t *dec = LZ4_createStreamDecode();
    size_t pos = 0, at = 0, rec = 0;
    std::vector<size_t> per_group;
    for (;;) {
        ASSERT_LE(pos + 8, file.size());
        uint64_t len;
        memcpy(&len, file.data() + pos, 8);
        pos += 8;
        if (len == 0) break;
        ASSERT_LE(pos + len, file.size());
        int n = LZ4_decompress_safe_continue(dec, file.data() + pos, plain.data() + at,
                                             static_cast<int>(len),
                                             static_cast<int>(plain.size() - at));
        ASSERT_GT(n, 0);
        pos += len;
        size_t end = at + static_cast<size_t>(n), count = 0;
        while (at < end) {
            const uint8_t *h = reinterpret_cast<const uint8_t *>(plain.data() + at);
            const Rec &r = recs[rec++];
            const bam1_core_t &c = r.core;
            uint64_t pos = static_cast<uint64_t>(c.pos), mpos = static_cast<uint64_t>(c.mpos),
                     isize = static_cast<uint64_t>(c.isize);
            const struct {
                size_t offset, width;
                uint64_t value;
            } table[] = {{0, 4, static_cast<uint32_t>(c.tid)},
                         {4, 4, pos & 0xffffffff},
                         {8, 2, c.bin},
                         {10, 1, c.qual},
                         {11, 1, c.l_qname & 0xffu},
                         {12, 2, c.flag},
                         {14, 1, uint64_t{c.l_qname} >> 8},
                         {15, 1, c.l_extranul},
                         {16, 4, c.n_cigar},
                         {20, 4, static_cast<uint32_t>(c.l_qseq)},
                         {24, 4, static_cast<uint32_t>(c.mtid)},
                         {28, 4, mpos & 0xffffffff},
                         {32, 4, isize & 0xffffffff},
                         {36, 4, r.data.size()},
                         {40, 4, r.m_data},
                         {44, 4, pos >> 32},
                         {48, 4, mpos >> 32},
                         {52, 4, isize >> 32},
                         {56, 8, r.id}};
            for (const auto &f : table) {
                uint64_t v = 0;
                memcpy(&v, h + f.offset, f.width);
                EXPECT_EQ(f.value, v) << "record " << rec - 1 << ", offset " << f.offset;
            }
            ASSERT_LE(at + 64 + r.data.size(), end);
            if (!r.data.empty()) {
                EXPECT_EQ(0, memcmp(h + 64, r.data.data(), r.data.size()));
            }
            at += 64 + r.data.size();
            count++;
        }
        per_group.push_back(count);
    }
    LZ4_freeStreamDecode(dec);
    EXPECT_EQ(file.size(), pos);
    EXPECT_EQ((std::vector<size_t>{100, 100, 50}), per_group);
    EXPECT_EQ(recs.size(), rec);
}

TEST(SpillFile, EmptyFileIsTheTerminatorAlone) {
    aftest::TempDir dir;
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("e").c_str(), 1));
    ASSERT_EQ(0, spill_file_end_write(&sf));
    EXPECT_EQ(std::string(8, '\0'), stream_bytes(&sf));
    bam1_t *b = bam_init1();
    ASSERT_GE(bam_set1(b, 1, "r", 4, -1, -1, 0, 0, nullptr, -1, -1, 0, 0, nullptr, nullptr, 0), 0);
    ASSERT_EQ(0, spill_file_begin_read(&sf, b));  // frees the record's own data
    EXPECT_EQ(nullptr, b->data);
    EXPECT_EQ(0, spill_file_read(&sf, b));
    EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));
    bam_destroy1(b);
}

// Memory follows the records: the handle's buffers grow to take the largest group written so
// far, stay within a fixed multiple of it however the sizes climb (a huge first record, huge
// records once groups are out and the history must be kept, sizes doubling, sizes creeping up
// group by group), and do not grow again while smaller records follow. All read back whole.
TEST(SpillFile, MemoryStaysBoundedAsRecordsGrow) {
    aftest::TempDir dir;
    struct Run {
        size_t count, len;
    };
    std::vector<std::pair<std::string, std::vector<Run>>> cases = {
        {"a huge first record", {{1, 2000000}, {149, 10}}},
        {"huge records after groups are out",
         {{100, 400}, {1, 10}, {1, 1100000}, {98, 10}, {1, 5600000}, {99, 10}}},
        {"doubling every group", {}},
        {"creeping up every group", {}}};
    for (size_t k = 0; k <= 12; k++) cases[2].second.push_back({100, size_t{8} << k});
    for (size_t k = 0; k < 40; k++) cases[3].second.push_back({100, 100 + 30 * k});
    for (auto &[name, runs] : cases) {
        SCOPED_TRACE(name);
        std::mt19937_64 rng(4);
        std::vector<Rec> recs;
        for (const Run &r : runs)
            for (size_t i = 0; i < r.count; i++) recs.push_back(random_rec(rng, r.len));
        const size_t tail = recs.size();
        for (int i = 0; i < 300; i++) recs.push_back(random_rec(rng, rng() % 300));
        size_t group = 0, largest = 0, last_growth = 0, held = 0;
        round_trip(recs, dir.file("g"), [&](const spill_file_t &sf, size_t i) {
            group = (i % 100 ? group : 0) + 64 + recs[i].data.size();
            largest = std::max(largest, group);
            size_t now = sf.ring_buffer_size + sf.comp_buffer_size;
            EXPECT_LE(now, 16 * largest + (2u << 20)) << "after record " << i;
            if (now != held) last_growth = i, held = now;
        });
        EXPECT_LT(last_growth, tail);
    }
}

TEST(SpillFile, NamesTakeTheFirstFreeSuffixAndVanish) {
    aftest::TempDir dir;
    std::string prefix = dir.file("x");
    aftest::write_file(prefix + ".1", "keep");
    spill_file_t a, b;
    ASSERT_EQ(0, spill_file_open_write(&a, prefix.c_str(), 1));
    EXPECT_EQ(prefix + ".2", a.name);
    struct stat st;
    EXPECT_NE(0, stat((prefix + ".2").c_str(), &st));
    EXPECT_EQ("keep", aftest::read_file(prefix + ".1"));
    // The name is gone at once, so a second handle may take the same one.
    ASSERT_EQ(0, spill_file_open_write(&b, prefix.c_str(), 1));
    EXPECT_EQ(prefix + ".2", b.name);
    EXPECT_EQ(0, spill_file_close_write(&a));
    EXPECT_EQ(0, spill_file_destroy(&a, nullptr, 0));
    EXPECT_EQ(0, spill_file_end_write(&b));
    EXPECT_EQ(0, spill_file_destroy(&b, nullptr, 0));
    EXPECT_EQ("keep", aftest::read_file(prefix + ".1"));
}

struct Outcome {
    int result;
    std::string err;
};

// Failures and the messages they print, with verbose on and off: the results never differ and
// a quiet handle prints nothing.
TEST(SpillFile, FailuresReportTheSameResultsQuietOrNot) {
    aftest::TempDir dir;
    const std::string missing = dir.file("no/such");
    const std::string open_name = dir.file("r") + ".1";
    struct Case {
        const char *name;
        Outcome (*run)(int verbose, const std::string &arg);
        std::string arg;
        int result;
        std::string message;
    };
    auto open_missing = [](int verbose, const std::string &prefix) {
        spill_file_t sf;
        testing::internal::CaptureStderr();
        int r = spill_file_open_write(&sf, prefix.c_str(), verbose);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));  // releases a failed open-write
        return Outcome{r, err};
    };
    auto close_then_open_read = [](int verbose, const std::string &prefix) {
        spill_file_t sf;
        EXPECT_EQ(0, spill_file_open_write(&sf, prefix.c_str(), verbose));
        EXPECT_EQ(0, spill_file_close_write(&sf));
        bam1_t *b = bam_init1();
        testing::internal::CaptureStderr();
        int r = spill_file_open_read(&sf, b);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));  // the stream is not closed twice
        bam_destroy1(b);
        return Outcome{r, err};
    };
    auto delete_unlinked = [](int verbose, const std::string &prefix) {
        spill_file_t sf;
        EXPECT_EQ(0, spill_file_open_write(&sf, prefix.c_str(), verbose));
        EXPECT_EQ(0, spill_file_end_write(&sf));
        bam1_t *b = bam_init1();
        EXPECT_EQ(0, spill_file_begin_read(&sf, b));
        EXPECT_EQ(0, spill_file_read(&sf, b));
        testing::internal::CaptureStderr();
        int r = spill_file_destroy(&sf, b, 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(nullptr, b->data);
        bam_destroy1(b);
        return Outcome{r, err};
    };
    auto delete_after_close = [](int verbose, const std::string &prefix) {
        spill_file_t sf;
        EXPECT_EQ(0, spill_file_open_write(&sf, prefix.c_str(), verbose));
        EXPECT_EQ(0, spill_file_close_write(&sf));
        testing::internal::CaptureStderr();
        int r = spill_file_destroy(&sf, nullptr, 1);
        return Outcome{r, testing::internal::GetCapturedStderr()};
    };
    auto negative_length = [](int verbose, const std::string &prefix) {
        spill_file_t sf;
        EXPECT_EQ(0, spill_file_open_write(&sf, prefix.c_str(), verbose));
        bam1_t b{};
        b.l_data = -1;
        testing::internal::CaptureStderr();
        int r = spill_file_write(&sf, &b);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));
        return Outcome{r, err};
    };
    const Case cases[] = {
        {"append of a record with a negative length", negative_length, dir.file("r"), -3,
         "[spill_file] Error: invalid record data length (-1).\n"},
        {"open-write in a missing directory", open_missing, missing, -2,
         "[spill_file] Error: unable to create spill file " + missing + ".1.\n"},
        {"open-read after close-write", close_then_open_read, dir.file("r"), -2,
         "[spill_file] Error: unable to open read file " + open_name + ".\n"},
        {"teardown deleting an unlinked file", delete_unlinked, dir.file("r"), -2,
         "[spill_file] Error: unable to delete file " + open_name + ".\n"},
        {"teardown deleting after close-write", delete_after_close, dir.file("r"), -2,
         "[spill_file] Error: unable to delete file " + open_name + ".\n"},
    };
    for (const Case &c : cases) {
        for (int verbose : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (verbose ? " (verbose)" : " (quiet)"));
            Outcome o = c.run(verbose, c.arg);
            EXPECT_EQ(c.result, o.result);
            EXPECT_EQ(verbose ? c.message : "", o.err);
        }
    }
}

// open-read serves a file that exists under the handle's name: here a copy of what the
// handle wrote, put back under that name after the stream ended.
TEST(SpillFile, OpenReadReadsAFileByName) {
    aftest::TempDir dir;
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("o").c_str(), 1));
    std::mt19937_64 rng(11);
    std::vector<Rec> recs;
    bam1_t in{};
    for (int i = 0; i < 150; i++) {
        recs.push_back(random_rec(rng, rng() % 200));
        load(&in, recs.back());
        ASSERT_EQ(0, spill_file_write(&sf, &in));
    }
    ASSERT_EQ(0, spill_file_end_write(&sf));
    aftest::write_file(sf.name, stream_bytes(&sf));
    fclose(sf.fp);
    sf.fp = nullptr;
    bam1_t *out = bam_init1();
    ASSERT_EQ(0, spill_file_open_read(&sf, out));
    for (size_t i = 0; i < recs.size(); i++) {
        ASSERT_EQ(static_cast<int>(64 + recs[i].data.size()), spill_file_read(&sf, out));
        expect_same(recs[i], out, i);
    }
    EXPECT_EQ(0, spill_file_read(&sf, out));
    std::string name = sf.name;
    EXPECT_EQ(0, spill_file_destroy(&sf, out, 1));
    struct stat st;
    EXPECT_NE(0, stat(name.c_str(), &st));
    bam_destroy1(out);
}

// Reading begins only after writing has ended. Begin-read before end-write, and open-read
// before close-write (with a file that has since appeared under the handle's name, as another
// handle's would), are refused and change nothing: neither the stream under the writer nor the
// caller's record. The write then ends and reads back whole.
TEST(SpillFile, ReadBeforeTheWriteEndsIsRefused) {
    aftest::TempDir dir;
    const struct {
        const char *name;
        int (*start)(spill_file_t *, bam1_t *);
    } cases[] = {{"begin-read", spill_file_begin_read}, {"open-read", spill_file_open_read}};
    for (const auto &c : cases) {
        for (int verbose : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (verbose ? " (verbose)" : " (quiet)"));
            spill_file_t sf;
            ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("w").c_str(), verbose));
            std::mt19937_64 rng(21);
            std::vector<Rec> recs;
            bam1_t in{};
            for (int i = 0; i < 150; i++) {
                recs.push_back(random_rec(rng, rng() % 300));
                load(&in, recs.back());
                ASSERT_EQ(0, spill_file_write(&sf, &in));
            }
            aftest::write_file(sf.name, "another file under the same name\n");
            bam1_t *out = bam_init1();
            out->data = static_cast<uint8_t *>(malloc(16));
            out->l_data = out->m_data = 16;
            uint8_t *own = out->data;
            testing::internal::CaptureStderr();
            int r = c.start(&sf, out);
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(-2, r);
            EXPECT_EQ(verbose ? "[spill_file] Error: reading cannot begin before writing has "
                                "ended.\n"
                              : "",
                      err);
            EXPECT_EQ(own, out->data);
            EXPECT_EQ(16, out->l_data);
            ASSERT_EQ(0, spill_file_end_write(&sf));
            ASSERT_EQ(0, spill_file_begin_read(&sf, out));
            for (size_t i = 0; i < recs.size(); i++) {
                ASSERT_EQ(static_cast<int>(64 + recs[i].data.size()), spill_file_read(&sf, out));
                expect_same(recs[i], out, i);
            }
            EXPECT_EQ(0, spill_file_read(&sf, out));
            EXPECT_EQ(0, spill_file_destroy(&sf, out, 0));
            bam_destroy1(out);
        }
    }
}

// The lent buffer is safe in htslib's hands: growing the record copies it into a buffer of
// the record's own, and the next read takes over from there without a leak.
TEST(SpillFile, LentDataSurvivesHtslibCalls) {
    aftest::TempDir dir;
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("h").c_str(), 1));
    bam1_t *b = bam_init1();
    std::vector<std::string> names;
    for (int i = 0; i < 3; i++) {
        names.push_back("read" + std::to_string(i));
        ASSERT_GE(bam_set1(b, names.back().size(), names.back().c_str(), BAM_FUNMAP, 1, 100 + i, 0,
                           0, nullptr, -1, -1, 0, 4, "ACGT", "IIII", 0),
                  0);
        ASSERT_EQ(0, spill_file_write(&sf, b));
    }
    ASSERT_EQ(0, spill_file_end_write(&sf));
    ASSERT_EQ(0, spill_file_begin_read(&sf, b));  // frees the record's own buffer
    for (int i = 0; i < 3; i++) {
        ASSERT_GT(spill_file_read(&sf, b), 0);
        EXPECT_EQ(names[i], bam_get_qname(b));
        const uint8_t *lent = b->data;
        int32_t v = 7;
        ASSERT_EQ(0, bam_aux_append(b, "XV", 'i', 4, reinterpret_cast<uint8_t *>(&v)));
        EXPECT_NE(lent, b->data);
        EXPECT_EQ(7, bam_aux2i(bam_aux_get(b, "XV")));
        EXPECT_EQ(names[i], bam_get_qname(b));
        bam1_t *copy = bam_dup1(b);
        ASSERT_NE(nullptr, copy);
        bam_destroy1(copy);
    }
    EXPECT_EQ(0, spill_file_read(&sf, b));
    EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));
    EXPECT_EQ(nullptr, b->data);
    bam_destroy1(b);
}

// Files that the handle did not write: every damage gives a negative result (or a clean end),
// never a read outside the buffers.
TEST(SpillFile, ReaderRejectsDamagedFiles) {
    aftest::TempDir dir;
    auto item = [](const std::string &block) {
        uint64_t len = block.size();
        return std::string(reinterpret_cast<const char *>(&len), 8) + block;
    };
    auto compress = [](const std::string &plain) {
        std::string out(LZ4_compressBound(static_cast<int>(plain.size())), '\0');
        int n = LZ4_compress_default(plain.data(), out.data(), static_cast<int>(plain.size()),
                                     static_cast<int>(out.size()));
        out.resize(static_cast<size_t>(n));
        return out;
    };
    auto image = [](uint32_t l_data, size_t real_bytes) {
        std::string h(64, '\0');
        memcpy(h.data() + 36, &l_data, 4);
        return h + std::string(real_bytes, 'd');
    };
    const std::string term(8, '\0');
    std::string good = item(compress(image(5, 5) + image(0, 0))) + term;
    std::string full;
    for (int i = 0; i < 100; i++) full += image(3, 3);
    // The handle reads with the sizes it wrote with: 100 records of 10 data bytes raise its
    // group size to 7,400 + 1,088 + 64 = 8,552 and its compression buffer to 8,601 bytes.
    std::string big_len(8, '\0');
    uint64_t huge = 8602;
    memcpy(big_len.data(), &huge, 8);
    struct Case {
        const char *name;
        std::string file;
        int good_reads;  // reads of 67 bytes before the ones below
        std::vector<int> results;
        std::string message;
    };
    const Case cases[] = {
        {"two records", good, 0, {69, 64, 0, 0}, ""},
        {"no terminator",
         item(compress(image(5, 5))),
         0,
         {69, -2},
         "[spill_file] Error: spill file ends before its terminator.\n"},
        {"length past the buffer",
         big_len + std::string(200, 'x'),
         0,
         {-3},
         "[spill_file] Error: compressed group of 8602 bytes exceeds the buffer of 8601.\n"},
        {"cut block",
         good.substr(0, 12),
         0,
         {-2},
         "[spill_file] Error: error reading compressed data.\n"},
        {"not lz4",
         item(std::string(20, '\xff')),
         0,
         {-3},
         "[spill_file] Error: decompression failed.\n"},
        {"group larger than the handle's",
         item(compress(std::string(8553, 'a'))),
         0,
         {-3},
         "[spill_file] Error: decompression failed.\n"},
        {"data past the group",
         item(compress(image(5, 5) + image(40, 10))),
         0,
         {69, -3},
         "[spill_file] Error: wrong size of data returned RS:173 OS:143 EN:2 GS:100.\n"},
        {"negative length",
         item(compress(image(0xffffffffu, 0))),
         0,
         {-3},
         "[spill_file] Error: wrong size of data returned RS:4294967359 OS:64 EN:1 GS:100.\n"},
        {"head cut short",
         item(compress(image(0, 0) + "abc")),
         0,
         {64, -3},
         "[spill_file] Error: wrong size of data returned RS:128 OS:67 EN:2 GS:100.\n"},
        {"full group with bytes over",
         item(compress(full + "zz")),
         99,
         {-3},
         "[spill_file] Error: wrong size of data returned RS:6700 OS:6702 EN:100 GS:100.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        spill_file_t sf;
        ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("d").c_str(), 1));
        std::string ten(10, 't');
        bam1_t in{};
        in.l_data = 10;
        in.data = reinterpret_cast<uint8_t *>(ten.data());
        for (int i = 0; i < 100; i++) ASSERT_EQ(0, spill_file_write(&sf, &in));
        ASSERT_EQ(0, spill_file_end_write(&sf));
        ASSERT_EQ(8552u, sf.max_data_size);
        ASSERT_EQ(8601u, sf.comp_buffer_size);
        fclose(sf.fp);
        sf.fp = tmpfile();
        ASSERT_NE(nullptr, sf.fp);
        fwrite(c.file.data(), 1, c.file.size(), sf.fp);
        bam1_t *b = bam_init1();
        ASSERT_EQ(0, spill_file_begin_read(&sf, b));
        for (int i = 0; i < c.good_reads; i++) ASSERT_EQ(67, spill_file_read(&sf, b));
        std::vector<int> got;
        testing::internal::CaptureStderr();
        for (size_t i = 0; i < c.results.size(); i++) got.push_back(spill_file_read(&sf, b));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.results, got);
        EXPECT_EQ(c.message, err);
        EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));
        EXPECT_EQ(nullptr, b->data);
        bam_destroy1(b);
    }
}

// A file cut short anywhere loses records, so it must never read as a clean end: every group
// before the cut comes back, then -2 with the record of the last good read left as it was.
// Cuts at each group boundary, inside each length field, mid-group and inside the terminator;
// the whole file reads to the end. A stream that cannot be read at all fails the same way.
TEST(SpillFile, TruncatedFileNeverReadsAsComplete) {
    aftest::TempDir dir;
    std::mt19937_64 rng(8);
    std::vector<Rec> recs;
    for (int i = 0; i < 250; i++) recs.push_back(random_rec(rng, rng() % 300));
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("cut").c_str(), 1));
    bam1_t in{};
    for (auto &r : recs) {
        load(&in, r);
        ASSERT_EQ(0, spill_file_write(&sf, &in));
    }
    ASSERT_EQ(0, spill_file_end_write(&sf));
    const std::string file = stream_bytes(&sf);
    std::vector<size_t> starts;  // where each group's length field begins; last: terminator
    for (size_t at = 0;;) {
        starts.push_back(at);
        uint64_t len;
        memcpy(&len, file.data() + at, 8);
        if (len == 0) break;
        at += 8 + len;
    }
    ASSERT_EQ(4u, starts.size());
    ASSERT_EQ(file.size(), starts.back() + 8);
    const std::string ends = "[spill_file] Error: spill file ends before its terminator.\n";
    const std::string cut_block = "[spill_file] Error: error reading compressed data.\n";
    struct Cut {
        size_t size;
        size_t records;  // read back before the failure
        std::string message;
    };
    std::vector<Cut> cuts = {{file.size(), 250, ""}};
    for (size_t g = 0; g < starts.size(); g++) {
        size_t whole = std::min<size_t>(g * 100, 250);
        for (size_t into : {0, 1, 4, 7}) cuts.push_back({starts[g] + into, whole, ends});
        if (g + 1 < starts.size())
            cuts.push_back({(starts[g] + 8 + starts[g + 1]) / 2, whole, cut_block});
    }
    bam1_t *b = bam_init1();
    for (const Cut &c : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(c.size) + " of " + std::to_string(file.size()));
        fclose(sf.fp);
        sf.fp = tmpfile();
        ASSERT_NE(nullptr, sf.fp);
        ASSERT_EQ(c.size, fwrite(file.data(), 1, c.size, sf.fp));
        ASSERT_EQ(0, spill_file_begin_read(&sf, b));
        for (size_t i = 0; i < c.records; i++) {
            ASSERT_EQ(static_cast<int>(64 + recs[i].data.size()), spill_file_read(&sf, b));
        }
        testing::internal::CaptureStderr();
        int r = spill_file_read(&sf, b);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.message.empty() ? 0 : -2, r);
        EXPECT_EQ(c.message, err);
        if (c.records)
            expect_same(recs[c.records - 1], b, c.records - 1);
        else
            EXPECT_EQ(nullptr, b->data);
        testing::internal::CaptureStderr();
        EXPECT_EQ(r, spill_file_read(&sf, b)) << "a later read must not pass for the end";
        testing::internal::GetCapturedStderr();
    }
    // A stream open for writing only: the first length cannot be read.
    fclose(sf.fp);
    sf.fp = fopen("/dev/null", "wb");
    ASSERT_NE(nullptr, sf.fp);
    ASSERT_EQ(0, spill_file_begin_read(&sf, b));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-2, spill_file_read(&sf, b));
    EXPECT_EQ("[spill_file] Error: error reading group length.\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));
    bam_destroy1(b);
}

// A file that can no longer grow: the failure comes back as -2 from the append or the end of
// writing that meets it, never as success. Run in a child so the limit stays there.
TEST(SpillFile, WriteFailureUnderFileSizeLimit) {
    aftest::TempDir dir;
    struct Case {
        const char *name;
        rlim_t limit;
        int records;
        size_t len;
    };
    for (const Case &c : {Case{"mid-stream", 64 << 10, 5000, 300}, Case{"at the end", 40, 5, 20}}) {
        SCOPED_TRACE(c.name);
        std::string prefix = dir.file("f");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {c.limit, c.limit};
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(10);
            spill_file_t sf;
            if (spill_file_open_write(&sf, prefix.c_str(), 0) != 0) _exit(11);
            std::mt19937_64 rng(1);
            int result = 0;
            for (int i = 0; i < c.records && result == 0; i++) {
                Rec r = random_rec(rng, c.len);
                for (auto &x : r.data) x = static_cast<uint8_t>(rng());  // incompressible
                bam1_t in{};
                load(&in, r);
                result = spill_file_write(&sf, &in);
            }
            if (result == 0) result = spill_file_end_write(&sf);
            (void)spill_file_destroy(&sf, nullptr, 0);  // the verdict is the write's
            _exit(result == -2 ? 0 : 20 + (result < 0 ? -result : 9));
        }
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
}

TEST(SpillFile, TeardownIsSafeInEveryState) {
    aftest::TempDir dir;
    // Torn down twice, and torn down in the middle of writing (the compression stream and a
    // pending group are released, nothing leaks).
    spill_file_t sf;
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("t").c_str(), 1));
    std::mt19937_64 rng(2);
    Rec r = random_rec(rng, 50);
    bam1_t in{};
    load(&in, r);
    ASSERT_EQ(0, spill_file_write(&sf, &in));
    EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));
    EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));
    // Appends after the end of writing are refused.
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("t").c_str(), 0));
    ASSERT_EQ(0, spill_file_end_write(&sf));
    EXPECT_EQ(-2, spill_file_write(&sf, &in));
    EXPECT_EQ(-2, spill_file_end_write(&sf));
    EXPECT_EQ(0, spill_file_destroy(&sf, nullptr, 0));
    // Reading from a closed file is refused, not a crash.
    ASSERT_EQ(0, spill_file_open_write(&sf, dir.file("t").c_str(), 0));
    ASSERT_EQ(0, spill_file_close_write(&sf));
    bam1_t *b = bam_init1();
    EXPECT_EQ(-2, spill_file_begin_read(&sf, b));
    EXPECT_EQ(-2, spill_file_read(&sf, b));
    EXPECT_EQ(0, spill_file_destroy(&sf, b, 0));
    bam_destroy1(b);
}

}  // namespace
