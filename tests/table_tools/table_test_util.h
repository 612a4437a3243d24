// Shared helpers of the table program tests: running a program over FIFOs one line at a
// time, and small text utilities.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process.h"

namespace aftest {

// One step of a line-by-line run: the bytes fed to the input, then the bytes that must come
// out of each output (by index) before anything more is fed.
struct Step {
    std::string feed;
    std::vector<std::pair<int, std::string>> expect;
};

// Reads exactly `want.size()` bytes from the non-blocking descriptor `fd` within `seconds`.
inline std::string read_within(int fd, size_t want, double seconds) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[4096];
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n > 0)
            got.append(buf, size_t(n));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
}

// Runs `program` with `args`, where "@IN" names an input FIFO and "@OUT0", "@OUT1" name output
// FIFOs, and walks through `steps`: each step's output must arrive while the program still
// waits for the next input line, which shows that every line is written and flushed before
// the next one is read. Returns the exit status (-1 when the program had to be killed).
inline int run_over_fifos(const std::string &program, const std::vector<std::string> &args,
                          int n_outputs, const std::vector<Step> &steps) {
    aftest::TempDir dir;
    std::string in = dir.file("in.fifo");
    std::vector<std::string> outs;
    std::vector<int> out_fds;
    EXPECT_EQ(::mkfifo(in.c_str(), 0600), 0);
    for (int i = 0; i < n_outputs; ++i) {
        outs.push_back(dir.file("out" + std::to_string(i) + ".fifo"));
        EXPECT_EQ(::mkfifo(outs.back().c_str(), 0600), 0);
        out_fds.push_back(::open(outs.back().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_GE(out_fds.back(), 0);
    }
    std::vector<std::string> argv{program};
    for (const auto &a : args) {
        if (a == "@IN")
            argv.push_back(in);
        else if (a.rfind("@OUT", 0) == 0)
            argv.push_back(outs.at(size_t(std::stoi(a.substr(4)))));
        else
            argv.push_back(a);
    }
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    EXPECT_GE(devnull, 0);
    pid_t pid = aftest::spawn(argv, -1, devnull);
    ::close(devnull);

    // The program opens its input first; wait until it does.
    int in_fd = -1;
    for (int i = 0; i < 5000 && in_fd < 0; ++i) {
        in_fd = ::open(in.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (in_fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(in_fd, 0) << "the program never opened its input";
    bool ok = in_fd >= 0;
    if (ok) ::fcntl(in_fd, F_SETFL, 0);
    for (size_t s = 0; ok && s < steps.size(); ++s) {
        const Step &step = steps[s];
        ok = ::write(in_fd, step.feed.data(), step.feed.size()) == ssize_t(step.feed.size());
        EXPECT_TRUE(ok) << "step " << s;
        for (const auto &[which, text] : step.expect) {
            if (!ok) break;
            std::string got = read_within(out_fds.at(size_t(which)), text.size(), 5.0);
            EXPECT_EQ(got, text) << "step " << s << ", output " << which
                                 << ": the line did not arrive before the next input line";
            ok = got == text;
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    int status = aftest::wait_exit(pid, 5.0);
    for (int fd : out_fds) ::close(fd);
    return status;
}

// Where two texts part, shortly: the line number and up to 60 bytes of each line there.
inline std::string first_difference(const std::string &got, const std::string &want) {
    size_t i = 0, line = 1;
    while (i < got.size() && i < want.size() && got[i] == want[i]) line += got[i++] == '\n';
    size_t start = got.rfind('\n', i ? i - 1 : 0);
    start = start == std::string::npos || i == 0 ? 0 : start + 1;
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
           "; first difference on line " + std::to_string(line) + ": got [" +
           got.substr(start, 60) + "] want [" + want.substr(start, 60) + "]";
}

// True when /dev/full exists (writes to it fail with "No space left on device").
inline bool have_dev_full() {
    struct stat st;
    return ::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace aftest
