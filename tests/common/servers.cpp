#include "servers.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace aftest {
namespace {

// The start script's status for a server program that is not installed.
constexpr int kNotInstalled = 77;

std::string script(const std::string &name) {
    return std::string(AF_SOURCE_DIR) + "/tests/servers/" + name;
}

// True once `pid` is gone: reaped here (this process adopts the servers it starts, see
// start()) or, where it was not adopted, no longer running or only a zombie of another parent.
bool gone(pid_t pid) {
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) return true;
    if (r == 0) return false;
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close != std::string::npos && text.compare(close, 4, ") Z ") == 0;
}

bool wait_gone(pid_t pid, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (gone(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

TestServer TestServer::start(ServerKind kind, const std::string &dir) {
    // The start script leaves the server running when it exits; as a subreaper this process
    // becomes the server's parent then, and the destructor can wait for it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const char *name = kind == ServerKind::kWeb          ? "web"
                       : kind == ServerKind::kWebNoRange ? "web-norange"
                                                         : "s3";
    TestServer s;
    ProcResult r = run({"/usr/bin/env", "python3", script("start"), name, dir});
    std::istringstream line(r.out);
    if (r.status == 0 && line >> s.port_ >> s.pid_ && s.port_ > 0 && s.pid_ > 0) return s;
    s.port_ = 0;
    s.pid_ = -1;
    s.not_installed_ = r.status == kNotInstalled;
    s.why_ = std::string("test server ") + name + " did not start (status " +
             std::to_string(r.status) + "): " + r.err + r.out;
    return s;
}

TestServer::TestServer(TestServer &&other) noexcept
    : port_(other.port_),
      pid_(other.pid_),
      not_installed_(other.not_installed_),
      why_(std::move(other.why_)) {
    other.pid_ = -1;
}

TestServer::~TestServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!wait_gone(pid_, 10)) {
        // The server leads a process group of its own (nginx's workers are in it).
        kill(-pid_, SIGKILL);
        wait_gone(pid_, 10);
    }
}

std::string TestServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

Env s3_env(int port) {
    return {"AWS_ACCESS_KEY_ID=S3RVER", "AWS_SECRET_ACCESS_KEY=S3RVER",
            "HTS_S3_HOST=127.0.0.1:" + std::to_string(port), "HTS_S3_ADDRESS_STYLE=path",
            "AWS_DEFAULT_REGION=us-east-1"};
}

ProcResult s3(int port, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/usr/bin/env", "python3", script("s3"), std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace aftest
