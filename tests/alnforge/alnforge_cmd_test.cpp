// The alnforge command dispatcher, run as a process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

aftest::ProcResult af(std::vector<std::string> args) {
    args.insert(args.begin(), aftest::bin("alnforge"));
    return aftest::run(args);
}

TEST(Dispatcher, UsageListsEveryCommand) {
    aftest::ProcResult bare = af({});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.out, "");
    for (const char *word : {"help", "--help", "-h"}) {
        aftest::ProcResult help = af({word});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out, bare.err) << word;
    }
    for (const char *cmd : {"quickcheck", "flags", "help", "version"})
        EXPECT_NE(bare.err.find("\n  " + std::string(cmd) + " "), std::string::npos) << cmd;
    EXPECT_NE(bare.err.find("Usage:   alnforge <command> [arguments]\n"), std::string::npos);
}

TEST(Dispatcher, Version) {
    for (const char *word : {"version", "--version"}) {
        aftest::ProcResult r = af({word});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "alnforge 1.8\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Dispatcher, UnknownCommand) {
    for (const char *word : {"quickchecks", "Flags", "", "-v"}) {
        aftest::ProcResult r = af({word, "x"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "alnforge: unrecognized command '" + std::string(word) +
                             "'; run 'alnforge help' for the list\n");
    }
}

// The entry sees its own word as argv[0] (getopt names it in its diagnostics) and its
// result becomes the exit status.
TEST(Dispatcher, EntryGetsVectorFromCommandWord) {
    aftest::ProcResult r = af({"quickcheck", "-z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("quickcheck: invalid option -- 'z'\n", 0), 0u);
    r = af({"quickcheck", "-q", "/nonexistent/file.bam"});
    EXPECT_EQ(r.status, 2);
    r = af({"flags", "0x4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x4\t4\tUNMAP\n");
}

}  // namespace
