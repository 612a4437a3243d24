// Test support: real web and S3 servers on 127.0.0.1, started by a test and stopped when the
// test's TestServer object dies (tests/servers/start and tests/servers/s3 do the work; the
// packages come from `scripts/install-deps remote`).
//
//   AF_START_SERVER(web, aftest::ServerKind::kWeb, dir.path());   // skips when not installed
//   run({bin("alnforge"), "quickcheck", web.url("a.bam")});
//
// A server that is not installed skips the test (GTEST_SKIP, with what installs it), unless
// AF_SERVERS_REQUIRED is set in the environment (`make unit-test` sets it after installing
// the packages), where it fails the test. A server that is installed but does not start fails
// the test. No call waits without bound: start-up gives up after 30 s.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"

namespace aftest {

enum class ServerKind {
    kWeb,         // nginx serving a folder's files, with Range requests; any path under
                  // /status/403/, /status/429/, /status/500/, /status/503/ fails so
    kWebNoRange,  // the same, answering every Range request with the whole file
    kS3,          // the S3 test server keeping its buckets in a folder (path-style buckets)
};

class TestServer {
   public:
    // Starts a server of `kind` over the folder `dir` (served files for the web kinds; the
    // store's own data for kS3, filled through s3()). Check running() before use: when it is
    // false, why() says what went wrong and whether it only is not installed.
    static TestServer start(ServerKind kind, const std::string &dir);

    TestServer(TestServer &&other) noexcept;
    TestServer &operator=(TestServer &&) = delete;
    TestServer(const TestServer &) = delete;
    // Stops the server by its PID (SIGTERM; after 10 s SIGKILL to its process group) and
    // waits for it.
    ~TestServer();

    bool running() const { return pid_ > 0; }
    bool not_installed() const { return not_installed_; }
    const std::string &why() const { return why_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "http://127.0.0.1:PORT/" + path, for the web kinds.
    std::string url(const std::string &path) const;

   private:
    TestServer() = default;
    int port_ = 0;
    pid_t pid_ = -1;
    bool not_installed_ = false;
    std::string why_;
};

// The environment htslib reads to reach the S3 test server on `port` as `s3+http://BUCKET/KEY`
// (path-style, the server's credentials, region us-east-1), each "NAME=VALUE".
Env s3_env(int port);

// Runs tests/servers/s3 against the S3 test server on `port`: {"mb", BUCKET},
// {"put", BUCKET, KEY, FILE}, {"rm", BUCKET, KEY}, {"abort", BUCKET, KEY, ID},
// {"ls-uploads", BUCKET} (one "KEY UPLOAD_ID" line per upload in progress).
ProcResult s3(int port, const std::vector<std::string> &args);

// A port on 127.0.0.1 that nothing listens on (bound and released; for refused connections).
int closed_port();

}  // namespace aftest

// Starts a server into the local TestServer `var`; skips the test when the server is not
// installed (see above), fails it when the server does not start.
#define AF_START_SERVER(var, kind, dir)                                                       \
    auto var = aftest::TestServer::start(kind, dir);                                          \
    if (!var.running()) {                                                                     \
        if (var.not_installed() && !getenv("AF_SERVERS_REQUIRED")) GTEST_SKIP() << var.why(); \
        FAIL() << var.why();                                                                  \
    }
