// fusion_swap run as a process on tables written by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "process.h"
#include "table_test_util.h"

namespace {

const std::string kSep = "\t----\t----\t";  // the separator, spelled out

struct SwapRun {
    aftest::ProcResult proc;
    std::string out;
};

SwapRun swap(const aftest::TempDir &dir, const std::string &table) {
    aftest::write_file(dir.file("in.tsv"), table);
    SwapRun r;
    r.proc = aftest::run({aftest::bin("fusion_swap"), dir.file("in.tsv"), dir.file("out.tsv")});
    r.out = aftest::read_file(dir.file("out.tsv"));
    return r;
}

TEST(FusionSwap, EdgeCases) {
    struct Case {
        const char *name;
        std::string table, out;
    } cases[] = {
        {"plain swap", "L1 a" + kSep + "R1 b\n", "R1 b" + kSep + "L1 a\n"},
        {"line that is the separator", kSep + "\n", kSep + "\n"},
        {"empty right half", "left" + kSep + "\n", kSep + "left\n"},
        {"right half of blanks only", "left" + kSep + " \t \t\n", kSep + "left\n"},
        {"trailing space tab space tab removed, inner and leading kept",
         "L" + kSep + " a \tb \t \t\n", " a \tb" + kSep + "L\n"},
        {"trailing blanks of the left half stay", "L \t" + kSep + "R\n", "R" + kSep + "L \t\n"},
        {"split at the first separator", "A" + kSep + "B" + kSep + "C\n",
         "B" + kSep + "C" + kSep + "A\n"},
        {"carriage return stays", "A" + kSep + "B\r\n", "B\r" + kSep + "A\n"},
        {"carriage return ends the trimming", "A" + kSep + "B \r \n", "B \r" + kSep + "A\n"},
        {"empty lines dropped", "\n\nA" + kSep + "B\n\n", "B" + kSep + "A\n"},
        {"only empty lines", "\n\n\n", ""},
        {"empty input", "", ""},
        {"last line without newline", "A" + kSep + "B\nC" + kSep + "D",
         "B" + kSep + "A\nD" + kSep + "C\n"},
        {"separator needs both tabs", "A\t----\t----B\n", "A\t----\t----B\n"},
        {"NUL bytes are ordinary text",
         std::string("A\0a", 3) + kSep + std::string("B\0", 2) + "\n",
         std::string("B\0", 2) + kSep + std::string("A\0a", 3) + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        aftest::TempDir dir;
        SwapRun r = swap(dir, c.table);
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_EQ(r.proc.err, "");
        EXPECT_EQ(r.out, c.out);
        bool reported = std::string(c.name) == "separator needs both tabs";
        EXPECT_EQ(r.proc.out, reported ? "no separator on line 1 of " + dir.file("in.tsv") +
                                             ", copied unchanged\n"
                                       : "");
    }
}

TEST(FusionSwap, LineWithoutSeparatorIsCopiedAndReported) {
    aftest::TempDir dir;
    SwapRun r = swap(dir, "A" + kSep + "B\n\nno separator here\nC" + kSep + "D\n  \n");
    EXPECT_EQ(r.proc.status, 0);
    EXPECT_EQ(r.out, "B" + kSep + "A\nno separator here\nD" + kSep + "C\n  \n");
    std::string in = dir.file("in.tsv");
    EXPECT_EQ(r.proc.out, "no separator on line 3 of " + in + ", copied unchanged\n" +
                              "no separator on line 5 of " + in + ", copied unchanged\n");
}

// Random tables built from known halves; the expected line is assembled from them.
TEST(FusionSwap, RandomTables) {
    std::mt19937 rng(11);
    const std::vector<std::string> bits = {"a",      "chr1:100", " ",  "\t",  "-",   "----",
                                           "\t----", "----\t",   "\r", "x y", "\t\t"};
    auto half = [&](bool allow_separator) {
        std::string h;
        for (unsigned k = rng() % 8; k > 0; --k) h += bits[rng() % bits.size()];
        if (rng() % 30 == 0) h += std::string(100000, 'L');
        if (allow_separator && rng() % 5 == 0) h += kSep + "z";
        return h;
    };
    for (int round = 0; round < 20; ++round) {
        std::string table, want;
        int n = int(rng() % 40);
        for (int k = 0; k < n; ++k) {
            if (rng() % 6 == 0) {
                table += "\n";
                continue;
            }
            std::string left;
            do left = half(false);  // the left half must not hold the separator
            while ((left + kSep).find(kSep) != left.size());
            std::string right = half(true);
            std::string blanks;
            for (unsigned b = rng() % 4; b > 0; --b) blanks += rng() % 2 ? " " : "\t";
            table += left + kSep + right + blanks;
            if (k < n - 1 || rng() % 2) table += "\n";
            std::string trimmed = right;
            while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t'))
                trimmed.pop_back();
            want += trimmed + kSep + left + "\n";
        }
        SCOPED_TRACE("round " + std::to_string(round));
        aftest::TempDir dir;
        SwapRun r = swap(dir, table);
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_EQ(r.proc.out, "");
        EXPECT_TRUE(r.out == want) << aftest::first_difference(r.out, want);
    }
}

TEST(FusionSwap, WritesEachLineBeforeReadingTheNext) {
    int status = aftest::run_over_fifos(aftest::bin("fusion_swap"), {"@IN", "@OUT0"}, 1,
                                        {{"A" + kSep + "B\n", {{0, "B" + kSep + "A\n"}}},
                                         {"\n", {}},
                                         {"C" + kSep, {}},
                                         {"D \n", {{0, "D" + kSep + "C\n"}}},
                                         {"E" + kSep + "F", {}}});
    EXPECT_EQ(status, 0);
}

TEST(FusionSwap, UsageAndFailures) {
    aftest::TempDir dir;
    const std::string fs = aftest::bin("fusion_swap");
    std::string in = dir.file("in.tsv");
    const std::string table = "A" + kSep + "B\n";
    aftest::write_file(in, table);
    for (const auto &args : std::vector<std::vector<std::string>>{{fs}, {fs, in}}) {
        SCOPED_TRACE("usage");
        auto r = aftest::run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "in_matched_fusions output_swapped_fusions\n");
        EXPECT_EQ(r.err, "");
    }
    {
        SCOPED_TRACE("input cannot be opened");
        std::string missing = dir.file("missing");
        auto r = aftest::run({fs, missing, dir.file("new")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "can't open file " + missing + "\n");
    }
    {
        SCOPED_TRACE("output cannot be opened");
        std::string bad = dir.file("no/such/out");
        auto r = aftest::run({fs, in, bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "can't open file " + bad + "\n");
    }
    {
        SCOPED_TRACE("input is a directory");
        auto r = aftest::run({fs, dir.path(), dir.file("o")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "can't read file " + dir.path() + ": Is a directory\n");
    }
    if (aftest::have_dev_full()) {
        SCOPED_TRACE("full device");
        auto r = aftest::run({fs, in, "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "can't write file /dev/full: No space left on device\n");
        // A message that cannot be written to standard output goes to standard error.
        aftest::write_file(dir.file("nosep"), "no separator\n");
        r = aftest::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", fs, dir.file("nosep"),
                         dir.file("o")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "fusion_swap: can't write standard output: No space left on device\n");
    }
    ASSERT_EQ(::link(in.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(in.c_str(), dir.file("soft").c_str()), 0);
    for (const std::string &victim : {in, dir.file("hard"), dir.file("soft")}) {
        SCOPED_TRACE("output is the input: " + victim);
        auto r = aftest::run({fs, in, victim});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "can't write file " + victim + ": it is the input file\n");
        EXPECT_EQ(aftest::read_file(in), table);
    }
    {
        SCOPED_TRACE("a device may be both input and output");
        auto r = aftest::run({fs, "/dev/null", "/dev/null"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
