// Error lines and version text. Each case runs in a forked child whose standard
// streams are captured, since the functions write straight to stdout and stderr.
#include "report_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

std::string slurp(int fd) {
    std::string s;
    char buf[4096];
    ssize_t k;
    while ((k = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(k));
    return s;
}

struct Captured {
    std::string out, err;
};

// Runs `body` in a child. When `shared` is set, stdout and stderr go to one pipe, so
// the order of the two streams can be checked; `out_path` redirects stdout to a file.
Captured capture(const std::function<void()> &body, bool shared = false,
                 const char *out_path = nullptr) {
    int o[2], e[2];
    if (pipe(o) || pipe(e)) abort();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (out_path) {
            int fd = open(out_path, O_WRONLY);
            dup2(fd, 1);
        } else {
            dup2(o[1], 1);
        }
        dup2(shared ? o[1] : e[1], 2);
        close(o[0]);
        close(e[0]);
        close(o[1]);
        close(e[1]);
        // Full buffering on stdout, as when a command writes into a pipe.
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        body();
        fflush(nullptr);
        _exit(0);
    }
    close(o[1]);
    close(e[1]);
    Captured c;
    c.out = slurp(o[0]);
    c.err = slurp(e[0]);
    close(o[0]);
    close(e[0]);
    waitpid(pid, nullptr, 0);
    return c;
}

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
        false, "/dev/full");
    EXPECT_EQ(r.err, std::string("alnforge index: cannot write: ") + strerror(EACCES) + "\n");
}

TEST(ReportUtil, StandardOutputIsFlushedFirst) {
    Captured r = capture(
        [] {
            fputs("record 1\nrecord 2\n", stdout);
            print_error("view", "stopped");
            fputs("after\n", stdout);
        },
        true);
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
