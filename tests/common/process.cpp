#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace aftest {

ProcResult run(const std::vector<std::string> &argv, const std::string &input) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    }
    // Feed stdin and drain both outputs together so no pipe fills up.
    signal(SIGPIPE, SIG_IGN);
    ProcResult r;
    size_t fed = 0;
    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open || in_fd >= 0) {
        pollfd p[3];
        int n = 0;
        int io = -1, oo = -1, eo = -1;
        if (in_fd >= 0) {
            io = n;
            p[n++] = {in_fd, POLLOUT, 0};
        }
        if (out_open) {
            oo = n;
            p[n++] = {out[0], POLLIN, 0};
        }
        if (err_open) {
            eo = n;
            p[n++] = {err[0], POLLIN, 0};
        }
        if (poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (io >= 0 && p[io].revents) {
            ssize_t w = write(in_fd, input.data() + fed, input.size() - fed);
            if (w > 0) fed += size_t(w);
            if (w < 0 || fed == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        if (oo >= 0 && p[oo].revents) {
            ssize_t k = read(out[0], buf, sizeof buf);
            if (k > 0)
                r.out.append(buf, size_t(k));
            else
                out_open = false;
        }
        if (eo >= 0 && p[eo].revents) {
            ssize_t k = read(err[0], buf, sizeof buf);
            if (k > 0)
                r.err.append(buf, size_t(k));
            else
                err_open = false;
        }
    }
    close(out[0]);
    close(err[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(st);
    }
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
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace aftest
