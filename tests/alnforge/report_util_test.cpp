// Error lines and version text. Each case runs in a forked child whose standard
// streams are captured, since the functions write straight to stdout and stderr.
#include "report_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process.h"

namespace {

using aftest::capture;
using Captured = aftest::ProcResult;

TEST(ReportUtil, Prefixes) {
    struct Case {
        const char *subcommand;
        std::string expect;
    };
    const Case cases[] = {
        {nullptr, "alnforge: bad value 7 in x.bam\n"},
        {"", "alnforge: bad value 7 in x.bam\n"},
        {"sort", "alnforge sort: bad value 7 in x.bam\n"},
        {"merge %s", "alnforge merge %s: bad value 7 in x.bam\n"},
    };
    for (const auto &c : cases) {
        Captured r = capture([&] { print_error(c.subcommand, "bad value %d in %s", 7, "x.bam"); });
        EXPECT_EQ(r.err, c.expect);
        EXPECT_EQ(r.out, "");
    }
}

TEST(ReportUtil, ErrnoText) {
    Captured zero = capture([] {
        errno = 0;
        print_error_errno("view", "cannot open %s", "a.bam");
    });
    EXPECT_EQ(zero.err, "alnforge view: cannot open a.bam\n");
    Captured set = capture([] {
        errno = ENOENT;
        print_error_errno("view", "cannot open %s", "a.bam");
    });
    EXPECT_EQ(set.err, std::string("alnforge view: cannot open a.bam: ") + strerror(ENOENT) + "\n");
    Captured noname = capture([] {
        errno = EACCES;
        print_error_errno(nullptr, "no");
    });
    EXPECT_EQ(noname.err, std::string("alnforge: no: ") + strerror(EACCES) + "\n");
}

// The flush of standard output fails on /dev/full and sets errno to ENOSPC; the line must
// still carry the text of the value errno held on entry.
TEST(ReportUtil, ErrnoIsReadBeforeFlushing) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    Captured r = capture(
        [] {
            fputs("pending output", stdout);
            errno = EACCES;
            print_error_errno("index", "cannot write");
        },
        {.out_path = "/dev/full"});
    EXPECT_EQ(r.err, std::string("alnforge index: cannot write: ") + strerror(EACCES) + "\n");
}

TEST(ReportUtil, StandardOutputIsFlushedFirst) {
    Captured r = capture(
        [] {
            fputs("record 1\nrecord 2\n", stdout);
            print_error("view", "stopped");
            fputs("after\n", stdout);
        },
        {.shared = true});
    EXPECT_EQ(r.out, "record 1\nrecord 2\nalnforge view: stopped\nafter\n");
}

TEST(ReportUtil, VersionText) {
    const char *a = alnforge_version();
    EXPECT_STREQ(a, "1.8");
    EXPECT_EQ(a, alnforge_version());
    const char *s1 = alnforge_version_short();
    const char *s2 = alnforge_version_short();
    ASSERT_NE(s1, nullptr);
    ASSERT_NE(s2, nullptr);
    EXPECT_NE(s1, s2);
    EXPECT_STREQ(s1, "1.8");
    EXPECT_STREQ(s2, "1.8");
    free(const_cast<char *>(s1));
    free(const_cast<char *>(s2));
}

}  // namespace
