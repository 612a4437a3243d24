// The test servers themselves: each answers on its port, and the destructor stops every
// process of it (nginx's workers too); the s3 helper's requests do what they say.
#include "servers.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The processes whose parent is `pid`.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> found;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        char state;
        int ppid;
        if (sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid &&
            state != 'Z')
            found.push_back(pid_t(std::stoi(name)));
    }
    return found;
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    size_t close = text.rfind(')');
    return close != std::string::npos && text.compare(close, 4, ") Z ") != 0;
}

aftest::ProcResult curl(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/usr/bin/env", "curl", "-sS"};
    argv.insert(argv.end(), args.begin(), args.end());
    return aftest::run(argv);
}

TEST(TestServers, EachAnswersAndStopsWithAllItsProcesses) {
    aftest::TempDir dir;
    std::filesystem::create_directory(dir.file("www"));
    std::filesystem::create_directory(dir.file("store"));
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = char(i * 7 + i / 251);
    aftest::write_file(dir.file("www/f.bin"), bytes);
    struct Case {
        aftest::ServerKind kind;
        std::string folder, probe;  // the probe: what `curl -r 10-19` of the file gives
    };
    const std::vector<Case> cases = {
        {aftest::ServerKind::kWeb, "www", bytes.substr(10, 10)},
        {aftest::ServerKind::kWebNoRange, "www", bytes},
        {aftest::ServerKind::kS3, "store", ""},
    };
    for (const auto &c : cases) {
        std::vector<pid_t> processes;
        int port;
        {
            AF_START_SERVER(server, c.kind, dir.file(c.folder));
            port = server.port();
            processes = children_of(server.pid());
            processes.push_back(server.pid());
            if (c.kind != aftest::ServerKind::kS3) {
                EXPECT_GE(processes.size(), 2u) << "nginx without workers?";
                auto r = curl({"-r", "10-19", server.url("f.bin")});
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(r.out, c.probe);
                for (const char *status : {"403", "429", "500", "503"}) {
                    r = curl({"-o", "/dev/null", "-w", "%{http_code}",
                              server.url("status/" + std::string(status) + "/f.bin")});
                    EXPECT_EQ(r.out, status);
                }
            } else {
                EXPECT_EQ(aftest::s3(port, {"mb", "shards"}).err, "");
            }
        }
        for (pid_t p : processes) EXPECT_FALSE(alive(p)) << p;
        auto after = curl({"http://127.0.0.1:" + std::to_string(port) + "/"});
        EXPECT_EQ(after.status, 7) << "something still answers on " << port;
    }
}

TEST(TestServers, S3HelperRequestsDoWhatTheySay) {
    aftest::TempDir data, files;
    AF_START_SERVER(server, aftest::ServerKind::kS3, data.path());
    const int port = server.port();
    const std::string file = files.file("object");
    aftest::write_file(file, std::string(70000, 'x') + "end");
    // A multipart upload started and left open, as a failed writer would leave it.
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    auto start_upload = [&](const std::string &key) {
        auto r = curl({"-X", "POST", "--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
                       "S3RVER:S3RVER", "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD",
                       base + "/shards/" + key + "?uploads="});  // key as it goes in a URL
        size_t at = r.out.find("<UploadId>"), end = r.out.find("</UploadId>");
        EXPECT_NE(end, std::string::npos) << r.out << r.err;
        return at == std::string::npos ? "" : r.out.substr(at + 10, end - at - 10);
    };
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out_or_err;  // standard output on success, the message on failure
    };
    const std::vector<Step> before = {
        {{"put", "shards", "a/k.bcf", file}, 1, "HTTP 404: NoSuchBucket"},
        {{"mb", "s"}, 1, "HTTP 400: InvalidBucketName"},
        {{"mb", "shards"}, 0, ""},
        {{"put", "shards", "a/k.bcf", file}, 0, ""},
        {{"ls-uploads", "shards"}, 0, ""},
        {{"ls-uploads", "nobucket"}, 1, "HTTP 404: NoSuchBucket"},
        {{"mv", "shards"}, 2, "usage"},
    };
    for (const auto &step : before) {
        auto r = aftest::s3(port, step.args);
        EXPECT_EQ(r.status, step.status) << step.args[0] << r.err;
        const std::string &seen = step.status == 0 ? r.out : r.err;
        EXPECT_NE(seen.find(step.out_or_err), std::string::npos) << step.args[0] << ": " << seen;
    }
    auto got = curl({"--aws-sigv4", "aws:amz:us-east-1:s3", "--user", "S3RVER:S3RVER", "-H",
                     "x-amz-content-sha256: UNSIGNED-PAYLOAD", base + "/shards/a/k.bcf"});
    EXPECT_EQ(got.out, aftest::read_file(file));
    const std::string one = start_upload("a/j.bcf"), two = start_upload("b%20c.bcf");
    auto listed = aftest::s3(port, {"ls-uploads", "shards"});
    const std::string j = "a/j.bcf " + one + "\n", bc = "b c.bcf " + two + "\n";
    EXPECT_TRUE(listed.out == j + bc || listed.out == bc + j) << listed.out;
    EXPECT_EQ(aftest::s3(port, {"abort", "shards", "b c.bcf", one}).status, 1);  // not its key
    EXPECT_EQ(aftest::s3(port, {"abort", "shards", "b c.bcf", two}).err, "");
    EXPECT_EQ(aftest::s3(port, {"ls-uploads", "shards"}).out, "a/j.bcf " + one + "\n");
    EXPECT_EQ(aftest::s3(port, {"rm", "shards", "a/k.bcf"}).err, "");
    got = curl({"-o", "/dev/null", "-w", "%{http_code}", "--aws-sigv4", "aws:amz:us-east-1:s3",
                "--user", "S3RVER:S3RVER", "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD",
                base + "/shards/a/k.bcf"});
    EXPECT_EQ(got.out, "404");
}

}  // namespace
