#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace aftest {
namespace {

// Feeds `input` to in_fd (closed once all is written; -1 for none) while draining out_fd
// into r.out and err_fd (-1 for none) into r.err, together, so that no pipe fills up;
// returns when both outputs are closed.
void exchange(int in_fd, const std::string &input, int out_fd, int err_fd, ProcResult &r) {
    signal(SIGPIPE, SIG_IGN);
    size_t fed = 0;
    if (in_fd >= 0 && input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int outs[2] = {out_fd, err_fd};
    std::string *texts[2] = {&r.out, &r.err};
    char buf[65536];
    while (outs[0] >= 0 || outs[1] >= 0 || in_fd >= 0) {
        pollfd p[3];
        int n = 0, at[3] = {-1, -1, -1};
        if (in_fd >= 0) {
            at[2] = n;
            p[n++] = {in_fd, POLLOUT, 0};
        }
        for (int k = 0; k < 2; ++k) {
            if (outs[k] < 0) continue;
            at[k] = n;
            p[n++] = {outs[k], POLLIN, 0};
        }
        if (poll(p, nfds_t(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (at[2] >= 0 && p[at[2]].revents) {
            ssize_t w = write(in_fd, input.data() + fed, input.size() - fed);
            if (w > 0) fed += size_t(w);
            if (w < 0 || fed == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (int k = 0; k < 2; ++k) {
            if (at[k] < 0 || !p[at[k]].revents) continue;
            ssize_t got = read(outs[k], buf, sizeof buf);
            if (got > 0) {
                texts[k]->append(buf, size_t(got));
            } else {
                close(outs[k]);
                outs[k] = -1;
            }
        }
    }
    for (int fd : {in_fd, outs[0], outs[1]})
        if (fd >= 0) close(fd);
}

// Waits for the child and records how it ended.
void reap(pid_t pid, ProcResult &r) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(st);
    }
}

// This process's environment with `env` laid over it.
std::vector<std::string> merged_environment(const Env &env) {
    std::vector<std::string> all;
    auto name_of = [](const std::string &s) { return s.substr(0, s.find('=') + 1); };
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &set : env) replaced = replaced || name_of(set) == name_of(entry);
        if (!replaced) all.push_back(entry);
    }
    all.insert(all.end(), env.begin(), env.end());
    return all;
}

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

pid_t spawn(const std::vector<std::string> &argv, int in_fd, int out_fd, int err_fd,
            const Env &env) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int fds[3] = {in_fd, out_fd, err_fd};
    for (int target = 0; target < 3; ++target)
        if (fds[target] >= 0) posix_spawn_file_actions_adddup2(&fa, fds[target], target);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> vars = merged_environment(env);
    std::vector<char *> envp;
    for (const auto &v : vars) envp.push_back(const_cast<char *>(v.c_str()));
    envp.push_back(nullptr);
    pid_t pid;
    int rc =
        posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    return pid;
}

int wait_exit(pid_t pid, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int st = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    ADD_FAILURE() << "child " << pid << " did not end within " << seconds << " s";
    return -1;
}

ProcResult run(const std::vector<std::string> &argv, const std::string &input, const Env &env) {
    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    pid_t pid;
    try {
        pid = spawn(argv, in[0], out[1], err[1], env);
    } catch (...) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        throw;
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    ProcResult r;
    exchange(in[1], input, out[0], err[0], r);
    reap(pid, r);
    return r;
}

ProcResult capture(const std::function<void()> &body, CaptureOptions how) {
    int out[2], err[2];
    make_pipe(out);
    make_pipe(err);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out_fd = how.out_path ? open(how.out_path, O_WRONLY) : out[1];
        if (out_fd < 0 || dup2(out_fd, 1) < 0 || dup2(how.shared ? out[1] : err[1], 2) < 0)
            _exit(127);
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        body();
        fflush(nullptr);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    ProcResult r;
    exchange(-1, "", out[0], err[0], r);
    reap(pid, r);
    return r;
}

std::string bin(const std::string &name) {
    return std::string(AF_BIN_DIR) + "/" + name;
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/aftest.XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back('\0');
    if (!mkdtemp(b.data())) throw std::runtime_error("mkdtemp failed");
    path_ = b.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot read " << path << ": " << strerror(errno);
        return bytes;
    }
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ADD_FAILURE() << "cannot read " << path << ": " << strerror(errno);
            bytes.clear();
            break;
        }
        bytes.append(buf, size_t(got));
    }
    close(fd);
    return bytes;
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace aftest
