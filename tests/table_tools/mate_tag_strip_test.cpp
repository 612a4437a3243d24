// mate_tag_strip run as a process on tables written by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "process.h"
#include "table_test_util.h"

namespace {

struct StripRun {
    aftest::ProcResult proc;
    std::string out;
};

StripRun strip(const aftest::TempDir &dir, const std::string &table) {
    aftest::write_file(dir.file("in.tsv"), table);
    StripRun r;
    r.proc = aftest::run({aftest::bin("mate_tag_strip"), dir.file("in.tsv"), dir.file("out.tsv")});
    r.out = aftest::read_file(dir.file("out.tsv"));
    return r;
}

TEST(MateTagStrip, EdgeCases) {
    struct Case {
        const char *name;
        std::string table, out;
    } cases[] = {
        {"/1 and /2 removed", "read7/1\tx\nread7/2\ty\n", "read7\tx\nread7\ty\n"},
        {"/3, /12 and a bare 1 stay", "r/3\tx\nr/12\tx\nr1\tx\n", "r/3\tx\nr/12\tx\nr1\tx\n"},
        {"tab at position 2 stays", "/1\tx\n", "/1\tx\n"},
        {"tab at position 3 strips to one letter", "a/1\tx\n", "a\tx\n"},
        {"suffix in a later field stays", "r\tq/1\tz/2\n", "r\tq/1\tz/2\n"},
        {"suffix at the end of a line without a tab stays", "read/1\n", "read/1\n"},
        {"only the first field is looked at", "r/1\ts/2\tt\n", "r\ts/2\tt\n"},
        {"empty first field", "\tx/1\n", "\tx/1\n"},
        {"empty lines kept", "\n\na/2\t\n\n", "\n\na\t\n\n"},
        {"last line without newline", "a/1\tb\nc/2\td", "a\tb\nc\td\n"},
        {"empty input", "", ""},
        {"only a newline", "\n", "\n"},
        {"carriage return kept", "r/1\tx\r\n", "r\tx\r\n"},
        {"NUL bytes are ordinary text", std::string("r\0/1\t\0", 6) + "\n",
         std::string("r\0\t\0", 4) + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        aftest::TempDir dir;
        StripRun r = strip(dir, c.table);
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_EQ(r.proc.out, "");
        EXPECT_EQ(r.proc.err, "");
        EXPECT_EQ(r.out, c.out);
    }
}

// Random tables: each line is built from a first field and the rest, so the expected line
// is known without looking for tabs.
TEST(MateTagStrip, RandomTables) {
    std::mt19937 rng(5);
    const std::vector<std::string> names = {"", "a", "ab", "read_1", "x/", "/", "q/1/", "r 1"};
    const std::vector<std::string> tails = {"/1", "/2", "/3", "1", "2", "/12", "", "/"};
    for (int round = 0; round < 20; ++round) {
        std::string table, want;
        int n = int(rng() % 50);
        for (int k = 0; k < n; ++k) {
            std::string name = names[rng() % names.size()];
            if (rng() % 40 == 0) name += std::string(70000, 'N');
            std::string tail = tails[rng() % tails.size()];
            bool has_tab = rng() % 5 != 0;
            std::string rest = has_tab ? "\t" + std::to_string(rng() % 100) + "/1\tz" : "";
            std::string line = name + tail + rest;
            table += line;
            if (k < n - 1 || rng() % 2) table += "\n";
            std::string field = name + tail;  // holds no tab
            std::string end = field.size() >= 3 ? field.substr(field.size() - 2) : "";
            bool stripped = has_tab && (end == "/1" || end == "/2");
            want += (stripped ? field.substr(0, field.size() - 2) + rest : line) + "\n";
        }
        SCOPED_TRACE("round " + std::to_string(round));
        aftest::TempDir dir;
        StripRun r = strip(dir, table);
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_TRUE(r.out == want) << aftest::first_difference(r.out, want);
    }
}

TEST(MateTagStrip, WritesEachLineBeforeReadingTheNext) {
    int status = aftest::run_over_fifos(aftest::bin("mate_tag_strip"), {"@IN", "@OUT0"}, 1,
                                        {{"r/1\tx\n", {{0, "r\tx\n"}}},
                                         {"\n", {{0, "\n"}}},
                                         {"s/2", {}},
                                         {"\ty\n", {{0, "s\ty\n"}}},
                                         {"t/1", {}}});
    EXPECT_EQ(status, 0);
}

TEST(MateTagStrip, Failures) {
    aftest::TempDir dir;
    const std::string ms = aftest::bin("mate_tag_strip");
    std::string in = dir.file("in.tsv");
    const std::string table = "r/1\tx\n";
    aftest::write_file(in, table);
    const std::string open_in = "error: open input file error\n";
    const std::string open_out = "error: open output file error\n";
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {"no arguments", {ms}, "Usage: mate_tag_strip in_reads out_reads\n"},
        {"no output argument", {ms, in}, open_out},
        {"input cannot be opened", {ms, dir.file("missing"), dir.file("o1")}, open_in},
        {"output cannot be opened", {ms, in, dir.file("no/such/out")}, open_out},
        {"input is a directory",
         {ms, dir.path(), dir.file("o2")},
         "error: read input file error: " + dir.path() + ": Is a directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = aftest::run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    if (aftest::have_dev_full()) {
        auto r = aftest::run({ms, in, "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: write output file error: /dev/full: No space left on device\n");
    }
    ASSERT_EQ(::link(in.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(in.c_str(), dir.file("soft").c_str()), 0);
    for (const std::string &victim : {in, dir.file("hard"), dir.file("soft")}) {
        SCOPED_TRACE("output is the input: " + victim);
        auto r = aftest::run({ms, in, victim});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "error: output file is the input file: " + victim + "\n");
        EXPECT_EQ(aftest::read_file(in), table);
    }
}

}  // namespace
