// Every program as a user first meets it: -h, --help and --version; a run whose input does
// not open beside output files that already exist; standard output that takes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "fixtures.h"
#include "process.h"

namespace {

using Args = std::vector<std::string>;

// Runs a program of the build (the first word) with the other words as arguments.
aftest::ProcResult run(Args words) {
    words[0] = aftest::bin(words[0]);
    return aftest::run(words);
}

std::string first_word(const std::string &text) {
    size_t from = text.find_first_not_of(" \t\n");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_first_of(" \t\n", from) - from);
}

// A program or subcommand, and the first word of its help text.
struct Command {
    Args words;
    std::string help_starts;
};

class HelpAndVersion : public ::testing::TestWithParam<Command> {};

TEST_P(HelpAndVersion, AnswerOnStandardOutput) {
    const Command &c = GetParam();
    auto with = [&](const char *option) {
        Args a = c.words;
        a.push_back(option);
        return a;
    };
    for (const char *option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        aftest::ProcResult r = run(with(option));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(first_word(r.out), c.help_starts) << r.out;
        for (const char *listed : {"-h", "--help", "--version"})
            EXPECT_TRUE(std::regex_search(
                r.out, std::regex(std::string("(^|[ \t,])") + listed + "([ \t,]|$)")))
                << listed << " is not listed in\n"
                << r.out;
    }
    // Every long option the help lists is one the program takes (given a value where the help
    // shows one, a file that does not exist): it is never refused as unknown.
    aftest::TempDir dir;
    const std::string help = run(with("--help")).out;
    const std::regex long_option("--([a-z][-a-z]*)([ =]([A-Z]+))?");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), long_option);
         it != std::sregex_iterator(); ++it) {
        Args a = with(("--" + (*it)[1].str()).c_str());
        if ((*it)[3].matched) a.push_back(dir.file("none"));
        aftest::ProcResult o = run(a);
        EXPECT_EQ(o.err.find("unknown option"), std::string::npos) << a.back() << o.err;
        EXPECT_EQ(o.err.find("unrecognized option"), std::string::npos) << a.back() << o.err;
    }
    aftest::ProcResult r = run(with("--version"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(first_word(r.out), c.words[0]);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    const std::string ending = std::string(" ") + AF_PROJECT_VERSION + "\n";
    EXPECT_TRUE(r.out.size() > ending.size() &&
                r.out.compare(r.out.size() - ending.size(), ending.size(), ending) == 0)
        << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Programs, HelpAndVersion,
    ::testing::Values(Command{{"alnforge"}, "Program:"},
                      Command{{"alnforge", "quickcheck"}, "Usage:"},
                      Command{{"alnforge", "flags"}, "About:"}, Command{{"varforge"}, "Usage:"},
                      Command{{"varforge", "view"}, "Usage:"},
                      Command{{"varforge", "index"}, "Usage:"},
                      Command{{"varforge", "cat"}, "Usage:"}, Command{{"junction_gate"}, "Usage:"},
                      Command{{"fusion_swap"}, "Usage:"}, Command{{"mate_tag_strip"}, "Usage:"}),
    [](const ::testing::TestParamInfo<Command> &info) {
        std::string name;
        for (const auto &w : info.param.words) name += (name.empty() ? "" : "_") + w;
        return name;
    });

// An argument that begins with '-' and is no option the program knows is refused before
// anything is opened, naming it, with the usage on standard error and status 1; a negative
// threshold is a number, and "-" is standard input only where it can be.
TEST(UnknownOption, IsNamedAndRefused) {
    aftest::TempDir dir;
    const std::string table = dir.file("t.tsv"), bcf = dir.file("a.bcf"), o1 = dir.file("o1"),
                      o2 = dir.file("o2");
    aftest::write_file(table, "header\nr/1\tx\n");
    aftest::write_variants(bcf, "bcf", aftest::VarShape{});
    const struct {
        Args argv;
        std::string named;  // in the message; empty: the run goes ahead (status 0)
    } cases[] = {
        {{"varforge", "view", "--bogus"}, "'--bogus'"},
        {{"varforge", "view", "-x", bcf}, "'-x'"},
        {{"varforge", "index", "--bogus"}, "'--bogus'"},
        {{"varforge", "index", bcf, "-W"}, "'-W'"},
        {{"varforge", "index", "-"}, "cannot index standard input"},
        {{"mate_tag_strip", "--bogus"}, "'--bogus'"},
        {{"mate_tag_strip", table, "-"}, "'-'"},
        {{"mate_tag_strip", table, o1, "-v"}, "'-v'"},
        {{"junction_gate", "--bogus"}, "'--bogus'"},
        {{"junction_gate", table, "-x", "0.5", o1, o2}, "'-x'"},
        {{"junction_gate", table, "10", "0.5", o1, "--help"}, "'--help'"},
        {{"junction_gate", table, "-1", "-inf", o1, o2}, ""},
        {{"mate_tag_strip", table, o1}, ""},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &w : c.argv) line += w + " ";
        SCOPED_TRACE(line);
        std::filesystem::remove(o1);
        aftest::ProcResult r = run(c.argv);
        if (c.named.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        const bool usage = c.named != "cannot index standard input";
        EXPECT_EQ(r.err.find("Usage:") != std::string::npos, usage) << r.err;
        EXPECT_FALSE(std::filesystem::exists(o1)) << "an output was opened";
        EXPECT_FALSE(std::filesystem::exists(bcf + ".csi")) << "an index was written";
        EXPECT_FALSE(std::filesystem::exists("-")) << "a file named '-' was made";
    }
}

// A run whose input does not open creates or empties no output: files already there keep
// their bytes, and no new one is made.
TEST(MissingInput, LeavesOutputsAsTheyWere) {
    aftest::TempDir dir;
    const std::string missing = dir.file("missing.tsv"), o1 = dir.file("o1"), o2 = dir.file("o2"),
                      fresh = dir.file("fresh");
    const Args cases[] = {
        {"junction_gate", missing, "10", "0.5", o1, o2},
        {"junction_gate", missing, "10", "0.5", fresh, o1},
        {"fusion_swap", missing, o1},
        {"fusion_swap", missing, fresh},
        {"mate_tag_strip", missing, o1},
        {"mate_tag_strip", missing, fresh},
    };
    for (const Args &c : cases) {
        SCOPED_TRACE(c[0] + " " + c.back());
        aftest::write_file(o1, "kept 1\n");
        aftest::write_file(o2, "kept\t2");
        EXPECT_EQ(run(c).status, 1);
        EXPECT_EQ(aftest::read_file(o1), "kept 1\n");
        EXPECT_EQ(aftest::read_file(o2), "kept\t2");
        struct stat st;
        EXPECT_NE(::stat(fresh.c_str(), &st), 0) << "created";
    }
}

// An output path that names standard output's own regular file (by any name) would get an
// offset of its own: junction_gate's messages and lines would overwrite each other there, so
// it refuses the path before opening anything for writing. fusion_swap, whose messages come
// only with a line it cannot split or a failure, still writes its table there.
TEST(StandardOutputsOwnFile, IsRefusedAsJunctionGateOutput) {
    aftest::TempDir dir;
    const std::string jt = dir.file("j.tsv"), ft = dir.file("f.tsv"), so = dir.file("so.txt"),
                      link = dir.file("link"), other = dir.file("other");
    aftest::write_file(jt, "#header\n");
    aftest::write_file(ft, "A\t----\t----\tB\nC\t----\t----\tD\n");
    aftest::write_file(so, "");
    ASSERT_EQ(::link(so.c_str(), link.c_str()), 0);
    auto refused = [&](const std::string &path) {
        return jt + "\ncan't write file " + path + ": it is the file of standard output\n" +
               "in filtered 1hits junction: 0\nnot in filtered 1hits junction: 0\n";
    };
    const struct {
        Args argv;
        int status;
        std::string so_text;
    } cases[] = {
        {{"junction_gate", jt, "10", "0.5", "/dev/stdout", other}, 1, refused("/dev/stdout")},
        {{"junction_gate", jt, "10", "0.5", other, so}, 1, refused(so)},
        {{"junction_gate", jt, "10", "0.5", link, "/dev/null"}, 1, refused(link)},
        {{"fusion_swap", ft, "/dev/stdout"}, 0, "B\t----\t----\tA\nD\t----\t----\tC\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[0] + " " + c.argv[c.argv.size() - 2] + " " + c.argv.back());
        Args argv = c.argv;
        argv[0] = aftest::bin(argv[0]);
        int fd = ::open(so.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        pid_t pid = aftest::spawn(argv, -1, fd);
        ::close(fd);
        EXPECT_EQ(aftest::wait_exit(pid, 10.0), c.status);
        EXPECT_EQ(aftest::read_file(so), c.so_text);
        EXPECT_FALSE(std::filesystem::exists(other)) << "nothing is opened for writing";
    }
    // A pipe has no bytes to overwrite: the table goes through it beside the messages.
    aftest::ProcResult r = run({"junction_gate", jt, "10", "0.5", "/dev/stdout", "/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("#header\n"), std::string::npos) << r.out;
}

// Standard output on a full device: a program that wrote something there says so on standard
// error and fails; quickcheck keeps its verdict bits beside 0x40, which tells the lost output
// apart from them. A run that writes nothing there loses nothing.
TEST(FullStandardOutput, IsReportedByEveryProgram) {
    struct stat st;
    if (::stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/full";
    aftest::TempDir dir;
    const std::string bam = dir.file("good.bam"), bcf = dir.file("a.bcf"), table = dir.file("t");
    aftest::write_alignments(bam, "bam", aftest::AlnShape{});
    aftest::write_variants(bcf, "bcf", aftest::VarShape{});
    aftest::write_file(table, "header\nr/1\tx\n");
    const std::string o1 = dir.file("o1"), o2 = dir.file("o2");
    const struct {
        Args argv;
        int status;
    } cases[] = {
        {{"alnforge", "help"}, 1},
        {{"alnforge", "--version"}, 1},
        {{"alnforge", "quickcheck", "-qv", dir.file("missing.bam"), bam}, 0x42},
        {{"alnforge", "quickcheck"}, 0x41},
        {{"alnforge", "quickcheck", "--version"}, 0x40},
        {{"alnforge", "quickcheck", bam}, 0},
        {{"alnforge", "flags", "99"}, 1},
        {{"alnforge", "flags", "-h"}, 1},
        {{"varforge", "--help"}, 1},
        {{"varforge", "view", bcf}, 1},
        {{"varforge", "view", "--version"}, 1},
        {{"varforge", "index", "-h"}, 1},
        {{"varforge", "index", bcf}, 0},
        {{"varforge", "cat", "--version"}, 1},
        {{"junction_gate", table, "10", "0.5", o1, o2}, 1},
        {{"junction_gate", "--version"}, 1},
        {{"fusion_swap"}, 1},
        {{"fusion_swap", "--help"}, 1},
        {{"mate_tag_strip", "--version"}, 1},
        {{"mate_tag_strip", table, o1}, 0},
    };
    for (const auto &c : cases) {
        Args argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", aftest::bin(c.argv[0])};
        argv.insert(argv.end(), c.argv.begin() + 1, c.argv.end());
        SCOPED_TRACE(c.argv[0] + (c.argv.size() > 1 ? " " + c.argv[1] : ""));
        aftest::ProcResult r = aftest::run(argv);
        EXPECT_EQ(r.status, c.status);
        if (c.status == 0)
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find("standard output"), std::string::npos) << r.err;
    }
}

}  // namespace
