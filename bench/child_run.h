// Benchmark support: a command run in a child process, timed, with its peak memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace benchproc {

struct Measure {
    double seconds = 0;      // wall clock
    double cpu_seconds = 0;  // user and system time of the child
    long peak_kib = 0;
    int status = -1;
};

// Runs `child` in a forked process with standard output sent to `out_path`.
// The previous output is removed and written back first, so that no run pays for the
// one before it.
inline Measure measure(const std::string &out_path, const std::function<int()> &child) {
    if (out_path != "/dev/null") unlink(out_path.c_str());
    sync();
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(1);
    }
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
        close(fd);
        _exit(child());
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("wait4");
        exit(1);
    }
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.cpu_seconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m.peak_kib = ru.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

inline int exec_argv(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    perror(argv[0]);
    return 127;
}

inline long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

}  // namespace benchproc
