// junction_gate: the line scanner against the C library's sscanf, and the program run as a
// process on tables written by the test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "junction_reference.h"
#include "junction_scan.h"
#include "process.h"
#include "table_test_util.h"

namespace {

using junction_gate::Fields;
using junction_gate::Kind;
using junction_gate::kLayout;
using junction_gate::LineScanner;
using Reference = aftest::JunctionReference;

// Pieces that stress the number grammar: signs, overflow, exponents, hexadecimal, nan and
// inf spellings (complete and broken), and the other white-space characters.
const std::vector<std::string> kPieces = {"0",
                                          "1",
                                          "7",
                                          "12",
                                          "65535",
                                          "65536",
                                          "70000",
                                          "-",
                                          "+",
                                          ".",
                                          "e",
                                          "E",
                                          "x",
                                          "X",
                                          "p",
                                          "P",
                                          "a",
                                          "f",
                                          "n",
                                          "N",
                                          "i",
                                          "I",
                                          "nan",
                                          "NaN",
                                          "nan(1)",
                                          "inf",
                                          "INF",
                                          "infinity",
                                          "infinit",
                                          "infx",
                                          "0x",
                                          "0X",
                                          "1e",
                                          "1e+",
                                          "1e-5",
                                          "0x1p",
                                          "0x1p-3",
                                          "0x.8p1",
                                          "0x.",
                                          "0x.p1",
                                          "q",
                                          "(",
                                          "99999999999999999999",
                                          "-99999999999999999999",
                                          "4294967296",
                                          "2147483648",
                                          "18446744073709551616",
                                          "-18446744073709551615",
                                          "1.5.5",
                                          "1e5.3",
                                          "..",
                                          "\r",
                                          "\v",
                                          "\f"};

std::string random_line(std::mt19937 &rng, bool raw_bytes) {
    std::string line;
    int n = int(rng() % 24);
    for (int k = 0; k < n; ++k) {
        unsigned sep = rng() % 10;
        if (k > 0 || sep < 2) line += sep < 6 ? "\t" : sep < 8 ? " " : sep < 9 ? "\t \t" : "";
        if (raw_bytes && rng() % 2) {
            for (unsigned m = rng() % 6; m > 0; --m) line += char(1 + rng() % 255);
        } else if (rng() % 3) {
            line += std::to_string(int(rng() % 2000) - 100);
        } else {
            for (unsigned m = 1 + rng() % 3; m > 0; --m) line += kPieces[rng() % kPieces.size()];
        }
    }
    return line;
}

// A decimal real: sign, 1 to 20 digits with or without a point, sometimes an exponent.
std::string random_decimal(std::mt19937 &rng) {
    std::string d = rng() % 3 == 0 ? "-" : rng() % 5 == 0 ? "+" : "";
    int n = 1 + int(rng() % 20), dot = int(rng() % (n + 2)) - 1;
    for (int i = 0; i < n; ++i) {
        if (i == dot) d += '.';
        d += char('0' + rng() % 10);
    }
    if (rng() % 3 == 0)
        d += (rng() % 2 ? "e" : "E") + std::string(rng() % 2 ? "-" : "") +
             std::to_string(rng() % 40);
    return d;
}

// A junction-shaped line: the right kinds in the right columns, mostly clean numbers with
// out-of-range, hexadecimal, nan and broken ones mixed in, long fields, and now and then one
// byte replaced (by a NUL byte, too).
std::string junction_like_line(std::mt19937 &rng) {
    static const char *const kReals[] = {"0.5",
                                         "-1.25e3",
                                         "+.5",
                                         "7.",
                                         "1e-400",
                                         "1e400",
                                         "0x1p3",
                                         "1e",
                                         "3.5E+2",
                                         "nan",
                                         "12345678901234567890.5",
                                         "0.0000001"};
    static const char *const kInts[] = {"1",
                                        "-5",
                                        "+7",
                                        "65535",
                                        "65536",
                                        "-65535",
                                        "99999999999999999999",
                                        "4294967296",
                                        "123456789012345678",
                                        "1234567890123456789",
                                        "12x",
                                        "0"};
    std::string line;
    int cols = 16 + int(rng() % 6);
    for (int c = 0; c < cols; ++c) {
        if (c) line += rng() % 4 == 0 ? (rng() % 2 ? " " : " \t\v ") : "\t";
        Kind k = c < 20 ? kLayout[c] : Kind::kText;
        if (k == Kind::kText)
            line += rng() % 6 == 0 ? std::string(1 + rng() % 150, char('a' + rng() % 26)) : "t";
        else if (k == Kind::kReal && rng() % 2)
            line += random_decimal(rng);
        else if (k == Kind::kReal)
            line += kReals[rng() % 12];
        else if (rng() % 10 == 0)
            line += std::string(1 + rng() % 80, char('0' + rng() % 10));
        else
            line += kInts[rng() % (rng() % 3 ? 4 : 12)];
    }
    if (rng() % 5 == 0) line[rng() % line.size()] = char(rng() % 128);  // NUL included
    return line;
}

TEST(JunctionGateScanner, MatchesSscanfOnRandomLines) {
    std::mt19937 rng(20261208);
    LineScanner scanner;
    for (int iter = 0; iter < 60000; ++iter) {
        std::string line = iter % 3 == 2 ? junction_like_line(rng) : random_line(rng, iter % 3);
        Reference want(line);
        double ratio = 0;  // the deciding columns, as the program reads them
        unsigned short support = 0;
        bool decided = scanner.ratio_and_support(line, ratio, support);
        ASSERT_EQ(decided, want.count >= 18) << "[" << line << "]";
        if (decided) {
            double w = want.d[junction_gate::kRatio];
            ASSERT_TRUE(ratio == w || (std::isnan(ratio) && std::isnan(w))) << "[" << line << "]";
            ASSERT_EQ(support, want.u[junction_gate::kSupport]) << "[" << line << "]";
        }
        // Every column.
        Fields got;
        int n = scanner.scan(line, got);
        ASSERT_EQ(n, want.count) << "[" << line << "]";
        for (int c = 0; c < n; ++c) {
            SCOPED_TRACE("column " + std::to_string(c + 1) + " of [" + line + "]");
            switch (kLayout[c]) {
                case Kind::kText:
                    ASSERT_EQ(got.text[c], want.text[size_t(c)]);
                    break;
                case Kind::kInt32:
                    ASSERT_EQ(got.int32[c], want.i[c]);
                    break;
                case Kind::kU16:
                    ASSERT_EQ(got.u16[c], want.u[c]);
                    break;
                case Kind::kReal:
                    if (std::isnan(want.d[c]))
                        ASSERT_TRUE(std::isnan(got.real[c]));
                    else
                        ASSERT_EQ(std::memcmp(&got.real[c], &want.d[c], sizeof(double)), 0)
                            << got.real[c] << " vs " << want.d[c];
                    break;
            }
        }
    }
}

TEST(JunctionGateScanner, StopsAtNulAndTakesFieldsOfAnyLength) {
    LineScanner scanner;
    Fields f;
    std::string nul("a 1 2", 5);
    nul += '\0';
    nul += " 3 4";
    EXPECT_EQ(scanner.scan(nul, f), 3);
    std::string huge(1 << 20, 'z');
    std::string line = huge + " 1 2 " + huge + " 5 " + huge;
    EXPECT_EQ(scanner.scan(line, f), 6);
    EXPECT_EQ(f.text[5].size(), huge.size());
    EXPECT_EQ(scanner.scan("   \t\r ", f), -1);
    EXPECT_EQ(scanner.scan("", f), -1);
}

// Each threshold's value, and how a warning says it was read when it is not wholly a number
// (empty: no warning).
TEST(JunctionGateScanner, ThresholdArguments) {
    const struct {
        const char *arg;
        unsigned short value;
        const char *misread;
    } ints[] = {{"70000", 4464, ""},
                {"65536", 0, ""},
                {"-1", 65535, ""},
                {" 7 \n", 7, ""},
                {"  +12x", 12, "+12"},
                {"1.5", 1, "1"},
                {"abc", 0, "0"},
                {"", 0, "0"},
                {" - 3", 0, "0"},
                {"0x10", 0, "0"},
                {"99999999999999999999", 65535, ""},
                {"-99999999999999999999", 0, ""}};
    for (const auto &c : ints) {
        EXPECT_EQ(junction_gate::parse_int_threshold(c.arg), c.value) << c.arg;
        EXPECT_EQ(junction_gate::threshold_misread(c.arg, true), c.misread) << c.arg;
    }
    const struct {
        const char *arg;
        double value;
        const char *misread;
    } reals[] = {{"0.5", 0.5, ""},       {" 2.5e1x", 25.0, "2.5e1"},
                 {"0x1.8p-1", 0.75, ""}, {"-inf", -INFINITY, ""},
                 {"", 0.0, "0"},         {"x", 0.0, "0"},
                 {"1e", 1.0, "1"},       {"0.5 ", 0.5, ""},
                 {"ten", 0.0, "0"}};
    for (const auto &c : reals) {
        EXPECT_EQ(junction_gate::parse_real_threshold(c.arg), c.value) << c.arg;
        EXPECT_EQ(junction_gate::threshold_misread(c.arg, false), c.misread) << c.arg;
    }
    EXPECT_TRUE(std::isnan(junction_gate::parse_real_threshold("nan")));
}

// ---- the program ----

std::string summary(unsigned long long pass, unsigned long long reject) {
    return "in filtered 1hits junction: " + std::to_string(pass) +
           "\nnot in filtered 1hits junction: " + std::to_string(reject) + "\n";
}

// A data line with the given columns 17 and 18 (and optional extra text after column 20).
std::string data(const std::string &c17, const std::string &c18, const std::string &tail = "") {
    return "r1\t10\t20\tchr1\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t" + c17 + "\t" + c18 +
           "\t4\t0.5" + tail;
}

struct GateRun {
    aftest::ProcResult proc;
    std::string out1, out2;
};

GateRun gate(const aftest::TempDir &dir, const std::string &table, const std::string &int_thr,
             const std::string &real_thr) {
    std::string in = dir.file("in.tsv");
    aftest::write_file(in, table);
    GateRun r;
    r.proc = aftest::run(
        {aftest::bin("junction_gate"), in, int_thr, real_thr, dir.file("o1"), dir.file("o2")});
    r.out1 = aftest::read_file(dir.file("o1"));
    r.out2 = aftest::read_file(dir.file("o2"));
    return r;
}

TEST(JunctionGate, EdgeCases) {
    const std::string H = "#header\tline";
    struct Case {
        const char *name;
        std::string table, int_thr, real_thr;
        std::string out1, out2;
        unsigned pass, reject;
        std::string err = "";
    } cases[] = {
        {"empty input", "", "100", "0.5", "\n", "\n", 0, 0},
        {"header only", H + "\n", "100", "0.5", H + "\n", H + "\n", 0, 0},
        {"header without newline", H, "100", "0.5", H + "\n", H + "\n", 0, 0},
        {"first line is header even if data", data("0.9", "1") + "\n", "100", "0.5",
         data("0.9", "1") + "\n", data("0.9", "1") + "\n", 0, 0},
        {"column 17 equal to the real threshold passes", H + "\n" + data("0.5", "3") + "\n", "100",
         "0.5", H + "\n" + data("0.5", "3") + "\n", H + "\n", 1, 0},
        {"column 17 below the real threshold", H + "\n" + data("0.49", "3") + "\n", "100", "0.5",
         H + "\n", H + "\n" + data("0.49", "3") + "\n", 0, 1},
        {"column 18 equal to the integer threshold is rejected",
         H + "\n" + data("0.9", "100") + "\n" + data("0.9", "99") + "\n", "100", "0.5",
         H + "\n" + data("0.9", "99") + "\n", H + "\n" + data("0.9", "100") + "\n", 1, 1},
        {"NaN column 17 never fails the real test",
         H + "\n" + data("nan", "3") + "\n" + data("-NAN", "3") + "\n", "100", "1e300",
         H + "\n" + data("nan", "3") + "\n" + data("-NAN", "3") + "\n", H + "\n", 2, 0},
        {"NaN real threshold", H + "\n" + data("-inf", "3") + "\n", "100", "nan",
         H + "\n" + data("-inf", "3") + "\n", H + "\n", 1, 0},
        {"70000 reads as 4464 on both sides",
         H + "\n" + data("1", "70000") + "\n" + data("1", "4463") + "\n" + data("1", "4464"),
         "70000", "0", H + "\n" + data("1", "4463") + "\n",
         H + "\n" + data("1", "70000") + "\n" + data("1", "4464") + "\n", 1, 2},
        {"negative column 18 wraps", H + "\n" + data("1", "-65535") + "\n", "2", "0",
         H + "\n" + data("1", "-65535") + "\n", H + "\n", 1, 0},
        {"integer threshold 0 lets nothing pass", H + "\n" + data("1", "0") + "\n", "x", "0",
         H + "\n", H + "\n" + data("1", "0") + "\n", 0, 1,
         "junction_gate: warning: int_threshold 'x' is not a number; read as 0\n"},
        {"a threshold read as far as it is a number", H + "\n" + data("0.5", "9") + "\n", "10k",
         "0.5.1", H + "\n" + data("0.5", "9") + "\n", H + "\n", 1, 0,
         "junction_gate: warning: int_threshold '10k' is not a number; read as 10\n"
         "junction_gate: warning: real_threshold '0.5.1' is not a number; read as 0.5\n"},
        {"more than twenty fields written whole",
         H + "\n" + data("1", "2", "\textra 1\t2  3") + "\n", "10", "0",
         H + "\n" + data("1", "2", "\textra 1\t2  3") + "\n", H + "\n", 1, 0},
        {"empty lines dropped, last line without newline kept",
         H + "\n\n" + data("1", "2") + "\n\n\n" + data("1", "2"), "10", "0",
         H + "\n" + data("1", "2") + "\n" + data("1", "2") + "\n", H + "\n", 2, 0},
        {"spaces and runs of blanks separate fields",
         H + "\nr 1 2 c 5 + 7 8 x 10 a b 1.5 3 c d 2e0 \t\t 9\r\n", "10", "1.5",
         H + "\nr 1 2 c 5 + 7 8 x 10 a b 1.5 3 c d 2e0 \t\t 9\r\n", H + "\n", 1, 0},
        {"hexadecimal and exponent column 17",
         H + "\n" + data("0x1p-1", "1") + "\n" + data("5e-1", "1") + "\n" + data("0x1p-2", "1") +
             "\n",
         "10", "0.5", H + "\n" + data("0x1p-1", "1") + "\n" + data("5e-1", "1") + "\n",
         H + "\n" + data("0x1p-2", "1") + "\n", 2, 1},
        {"lines whose column 17 or 18 did not convert are rejected",
         H + "\n" + "   \t  \n" + "r1 2 3\n" + data("high", "1") + "\n" + data("1", "x") + "\n" +
             "r1\tnotanint\n",
         "10", "0", H + "\n",
         H + "\n   \t  \nr1 2 3\n" + data("high", "1") + "\n" + data("1", "x") + "\nr1\tnotanint\n",
         0, 5},
        {"text in an integer column shifts nothing: rejected",
         H + "\nr1\t1x\t2\tchr1\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t1\t2\n", "10", "0",
         H + "\n", H + "\nr1\t1x\t2\tchr1\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t1\t2\n", 0, 1},
        {"a number that runs into text splits the field",
         H + "\nr1\t1\t2x\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t1\t2\n", "10", "0",
         H + "\nr1\t1\t2x\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t1\t2\n", H + "\n", 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        aftest::TempDir dir;
        GateRun r = gate(dir, c.table, c.int_thr, c.real_thr);
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_EQ(r.proc.out, dir.file("in.tsv") + "\n" + summary(c.pass, c.reject));
        EXPECT_EQ(r.proc.err, c.err);
        EXPECT_EQ(r.out1, c.out1);
        EXPECT_EQ(r.out2, c.out2);
    }
}

TEST(JunctionGate, LongFieldsDoNotOverflow) {
    aftest::TempDir dir;
    std::string big(200000, 'G');
    std::string line = big + "\t1\t2\t" + big + "\t5\t" + big + "\t7\t8\t" + big + "\t10\t" + big +
                       "\t" + big + "\t1.5\t3\t" + big + "\t" + big + "\t0.9\t2\t4\t0.5";
    GateRun r = gate(dir, "h\n" + line + "\n" + big + "\n", "10", "0.5");
    EXPECT_EQ(r.proc.status, 0);
    EXPECT_EQ(r.out1, "h\n" + line + "\n");
    EXPECT_EQ(r.out2, "h\n" + big + "\n");
}

// Random tables: the expected routing is worked out with sscanf in the test.
TEST(JunctionGate, RandomTables) {
    std::mt19937 rng(7);
    auto pick = [&](const std::vector<std::string> &v) { return v[rng() % v.size()]; };
    const std::vector<std::string> reals = {"0.5", "0.49", "1e0",    "5E-1",   "-3",    "nan",
                                            "inf", "-inf", "0x1p-1", "0x.8",   "1e400", "7.",
                                            ".75", "0",    "-0",     "2.5e-1", "x",     "1.e"};
    const std::vector<std::string> ints = {"0",
                                           "1",
                                           "99",
                                           "100",
                                           "101",
                                           "65535",
                                           "65636",
                                           "-1",
                                           "+5",
                                           "70000",
                                           "-65436",
                                           "4294967396",
                                           "99999999999999999999",
                                           "q"};
    const std::vector<std::string> seps = {"\t", " ", "\t\t", " \t "};
    for (int round = 0; round < 20; ++round) {
        aftest::TempDir dir;
        std::string table = "#h" + std::to_string(round) + "\n";
        std::string out1 = table, out2 = table;
        unsigned pass = 0, reject = 0;
        int n = 1 + int(rng() % 60);
        for (int k = 0; k < n; ++k) {
            if (rng() % 8 == 0) {
                table += "\n";
                continue;
            }
            std::string line;
            int cols = rng() % 10 == 0 ? int(rng() % 22) : 18 + int(rng() % 5);
            for (int c = 0; c < cols; ++c) {
                if (c) line += pick(seps);
                Kind kind = c < 20 ? kLayout[c] : Kind::kText;
                if (kind == Kind::kText)
                    line += rng() % 20 == 0 ? std::string(3000 + rng() % 3000, 'T')
                                            : "t" + std::to_string(rng() % 100);
                else if (kind == Kind::kReal)
                    line += pick(reals);
                else
                    line += pick(ints);
            }
            table += line;
            bool last = k == n - 1;
            if (line.empty()) {  // an empty line is neither written nor counted
                table += "\n";
                continue;
            }
            if (!last || rng() % 2) table += "\n";
            Reference ref(line);
            bool ok = ref.count >= 18 && !(0.5 > ref.d[16]) && ref.u[17] < 100;
            (ok ? out1 : out2) += line + "\n";
            ++(ok ? pass : reject);
        }
        SCOPED_TRACE("round " + std::to_string(round));
        GateRun r = gate(dir, table, "65636", "0x1p-1");  // 65636 reads as 100
        EXPECT_EQ(r.proc.status, 0);
        EXPECT_EQ(r.proc.out, dir.file("in.tsv") + "\n" + summary(pass, reject));
        EXPECT_TRUE(r.out1 == out1) << aftest::first_difference(r.out1, out1);
        EXPECT_TRUE(r.out2 == out2) << aftest::first_difference(r.out2, out2);
    }
}

TEST(JunctionGate, WritesEachLineBeforeReadingTheNext) {
    std::string header = "#h";
    int status = aftest::run_over_fifos(
        aftest::bin("junction_gate"), {"@IN", "10", "0.5", "@OUT0", "@OUT1"}, 2,
        {{header + "\n", {{0, "#h\n"}, {1, "#h\n"}}},
         {data("0.9", "1") + "\n", {{0, data("0.9", "1") + "\n"}}},
         {data("0.1", "1") + "\n", {{1, data("0.1", "1") + "\n"}}},
         {"\n", {}},
         {data("1", "2"), {}},  // no newline yet: the line is not complete
         {"\tmore\n", {{0, data("1", "2") + "\tmore\n"}}}});
    EXPECT_EQ(status, 0);
}

TEST(JunctionGate, RefusesToOverwriteItsInput) {
    aftest::TempDir dir;
    std::string in = dir.file("in.tsv");
    const std::string table = "h\n" + data("1", "2") + "\n";
    aftest::write_file(in, table);
    ASSERT_EQ(::link(in.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(in.c_str(), dir.file("soft").c_str()), 0);
    for (const std::string &victim :
         {in, dir.file("hard"), dir.file("soft"), dir.path() + "/./in.tsv"}) {
        for (int slot = 0; slot < 2; ++slot) {
            SCOPED_TRACE(victim + " as output " + std::to_string(slot + 1));
            std::string other = dir.file("other");
            ::unlink(other.c_str());
            auto r = aftest::run({aftest::bin("junction_gate"), in, "10", "0",
                                  slot == 0 ? victim : other, slot == 0 ? other : victim});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, in + "\ncan't write file " + victim + ": it is the input file\n" +
                                 summary(0, 0));
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(aftest::read_file(in), table);
            EXPECT_FALSE(std::filesystem::exists(other)) << "nothing is opened for writing";
        }
    }
}

// Two outputs on one file would each write at their own offset over the other's lines.
TEST(JunctionGate, RefusesOneFileForBothOutputs) {
    aftest::TempDir dir;
    std::string in = dir.file("in.tsv"), old = dir.file("old"), fresh = dir.file("fresh");
    const std::string table = "h\n" + data("1", "2") + "\n" + data("0", "2") + "\n";
    aftest::write_file(in, table);
    aftest::write_file(old, "kept\n");
    ASSERT_EQ(::link(old.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(old.c_str(), dir.file("soft").c_str()), 0);
    const struct {
        std::string out1, out2;
    } cases[] = {{old, old},
                 {old, dir.file("hard")},
                 {dir.file("soft"), old},
                 {fresh, fresh},
                 {fresh, dir.path() + "/./fresh"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out1 + " and " + c.out2);
        auto r = aftest::run({aftest::bin("junction_gate"), in, "10", "0.5", c.out1, c.out2});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, in + "\ncan't write file " + c.out2 + ": it is the same file as " +
                             c.out1 + "\n" + summary(0, 0));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(aftest::read_file(old), "kept\n");
        EXPECT_FALSE(std::filesystem::exists(fresh)) << "nothing is opened for writing";
    }
    auto r = aftest::run({aftest::bin("junction_gate"), in, "10", "0.5", "/dev/null", "/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, in + "\n" + summary(1, 1));
}

TEST(JunctionGate, FailuresAreReported) {
    aftest::TempDir dir;
    std::string in = dir.file("in.tsv");
    aftest::write_file(in, "h\n" + data("1", "2") + "\n" + data("0", "2") + "\n");
    std::string missing = dir.file("missing.tsv");
    std::string nodir = dir.file("no/such/out");
    const std::string jg = aftest::bin("junction_gate");
    {
        SCOPED_TRACE("input cannot be opened");
        auto r = aftest::run({jg, missing, "10", "0", dir.file("a"), dir.file("b")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, missing + "\ncan't open file " + missing + "\n" + summary(0, 0));
    }
    for (int slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE("output cannot be opened");
        auto r = aftest::run(
            {jg, in, "10", "0", slot ? dir.file("a") : nodir, slot ? nodir : dir.file("a")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, in + "\ncan't open file " + nodir + "\n" + summary(0, 0));
    }
    {
        SCOPED_TRACE("input is a directory");
        auto r = aftest::run({jg, dir.path(), "10", "0", dir.file("a"), dir.file("b")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, dir.path() + "\ncan't read file " + dir.path() + ": Is a directory\n" +
                             summary(0, 0));
    }
    if (aftest::have_dev_full()) {
        for (int slot = 0; slot < 2; ++slot) {
            SCOPED_TRACE("write to a full device");
            auto r = aftest::run({jg, in, "10", "0.5", slot ? dir.file("a") : "/dev/full",
                                  slot ? "/dev/full" : dir.file("a")});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, in + "\ncan't write file /dev/full: No space left on device\n" +
                                 summary(0, 0));
        }
    }
    if (aftest::have_dev_full()) {
        SCOPED_TRACE("standard output on a full device");
        auto r = aftest::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", jg, in, "10", "0",
                              dir.file("a"), dir.file("b")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "junction_gate: can't write standard output: No space left on device\n");
        EXPECT_EQ(aftest::read_file(dir.file("a")),
                  "h\n" + data("1", "2") + "\n" + data("0", "2") + "\n");
    }
    {
        SCOPED_TRACE("too few arguments");
        auto r = aftest::run({jg, in, "10", "0", dir.file("a")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  "Usage: junction_gate in_junctions int_threshold real_threshold "
                  "out_passing out_rejected\n");
    }
}

}  // namespace
