// varforge cat -o s3+http://BUCKET/KEY against the S3 test server (on 127.0.0.1 at a free
// port, stopped by its PID): the object and its index are the local join's bytes, whatever
// lies where (in the store, in a local file, on a web server); a join that fails or is killed
// leaves the old object and index as they were and no multipart upload behind; a replaced object's
// old index goes.
#include <gtest/gtest.h>
#include <htslib/vcf.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bcf_files.h"
#include "process.h"
#include "servers.h"

namespace {

using aftest::Layout;
using aftest::run;
using aftest::shape;

std::string varforge() {
    return aftest::bin("varforge");
}

// The object at BUCKET/KEY as the store serves it ("" when absent).
std::string object(int port, const std::string &key) {
    auto r = run({"/usr/bin/curl", "-sf", "http://127.0.0.1:" + std::to_string(port) + "/" + key});
    return r.status == 0 ? r.out : "";
}

TEST(JoinObject, WrittenInsideTheStoreAsTheLocalJoin) {
    aftest::TempDir dir, store;
    AF_START_SERVER(s3, aftest::ServerKind::kS3, store.path());
    AF_START_SERVER(web, aftest::ServerKind::kWeb, dir.path());
    const int port = s3.port();
    ASSERT_EQ(aftest::s3(port, {"mb", "shards"}).err, "");
    // Two shards over 5 MiB (a shard joined to itself), whose spans are copied in the store,
    // around a small one; a local shard is uploaded. Only b has an index.
    std::vector<std::string> local;
    for (const char *name : {"a.bcf", "b.bcf", "c.bcf", "d.bcf"}) local.push_back(dir.file(name));
    uint32_t seed = 1;
    for (const int big : {0, 2}) {
        const std::string piece = dir.file("piece.bcf");
        aftest::write_bcf(piece, shape(16000, seed++, "", 48), Layout::kShared);
        ASSERT_EQ(run({varforge(), "cat", "-o", local[size_t(big)], piece, piece, piece, piece,
                       piece, piece})
                      .status,
                  0);
    }
    aftest::write_bcf(local[1], shape(60, seed++, "", 48), Layout::kShared);
    aftest::write_bcf(local[3], shape(400, seed++, "", 48), Layout::kShared);
    ASSERT_EQ(bcf_index_build3(local[1].c_str(), nullptr, 14, 0), 0);
    for (const std::string f : {"a.bcf", "b.bcf", "b.bcf.csi", "c.bcf"})
        ASSERT_EQ(aftest::s3(port, {"put", "shards", f, dir.file(f)}).err, "");
    // The local joins the objects must equal: of all four, and of b alone with its index.
    const std::string want = dir.file("want.bcf"), want1 = dir.file("want1.bcf");
    auto joined = run({varforge(), "cat", "-o", want, local[0], local[1], local[2], local[3]});
    ASSERT_EQ(joined.status, 0) << joined.err;
    ASSERT_EQ(run({varforge(), "cat", "-W", "-o", want1, local[1]}).status, 0);
    const std::string good = aftest::read_file(want), good1 = aftest::read_file(want1),
                      good1_csi = aftest::read_file(want1 + ".csi");
    ASSERT_GT(aftest::read_file(local[0]).size(), size_t(6) << 20);
    // A damaged local shard fails the join once its upload has begun (its walk runs beside
    // the copy).
    std::string bad_bytes = aftest::read_file(local[3]);
    bad_bytes[bad_bytes.size() / 2 + 40] ^= 0x55;
    aftest::write_file(dir.file("bad.bcf"), bad_bytes);
    const std::string a = "s3+http://shards/a.bcf", b = "s3+http://shards/b.bcf",
                      c = "s3+http://shards/c.bcf", out = "s3+http://shards/out.bcf";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;           // "%s": the output's URL; "-": any message
        const std::string *now;    // the object after it (null: the old one)
        const std::string *index;  // the index after it (null: none)
    };
    const std::string old_index = "old index";
    const Row rows[] = {
        {{"-W", "-o", out, b}, 0, "", &good1, &good1_csi},
        // Replaced without -W: the old index goes with the old object.
        {{"-o", out, a, b, c, local[3]}, 0, "", &good, nullptr},
        {{"-o", out, a, b, c, web.url("d.bcf")}, 0, "", &good, nullptr},  // d over http
        {{"-W", "-o", out, a, "s3+http://shards/none.bcf"},
         1,
         "[bcf_cat] s3+http://shards/none.bcf: not found on the server (HTTP 404)\n",
         nullptr,
         &old_index},
        {{"-o", out, a, b, c, dir.file("bad.bcf")}, 1, "-", nullptr, &old_index},
        {{"-o", out, a, out}, 1, "[bcf_cat] %s: it is also the output\n", nullptr, &old_index},
        {{"-o", "s3+http://nobucket/x.bcf", a}, 1, "-", nullptr, &old_index},
    };
    for (const auto &row : rows) {
        // An old object and index in place, each of its own bytes.
        aftest::write_file(dir.file("old"), "old object");
        aftest::write_file(dir.file("old.csi"), "old index");
        ASSERT_EQ(aftest::s3(port, {"put", "shards", "out.bcf", dir.file("old")}).err, "");
        ASSERT_EQ(aftest::s3(port, {"put", "shards", "out.bcf.csi", dir.file("old.csi")}).err, "");
        std::vector<std::string> argv = {varforge(), "cat"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        auto r = run(argv, "", aftest::s3_env(port));
        const std::string what = row.args[row.args.size() - 1];
        EXPECT_EQ(r.status, row.status) << what << "\n" << r.err;
        std::string want_err = row.err;
        if (size_t at = want_err.find("%s"); at != std::string::npos) want_err.replace(at, 2, out);
        if (want_err == "-") {
            EXPECT_NE(r.err.find("[bcf_cat] "), std::string::npos) << what;
        } else {
            EXPECT_EQ(r.err, want_err) << what;
        }
        EXPECT_EQ(object(port, "shards/out.bcf"), row.now ? *row.now : "old object") << what;
        EXPECT_EQ(object(port, "shards/out.bcf.csi"), row.index ? *row.index : "") << what;
        EXPECT_EQ(aftest::s3(port, {"ls-uploads", "shards"}).out, "") << what;
    }
    // Killed at any moment: the old object or the new one, whole, and no upload left behind.
    for (int delay_ms : {30, 120, 250, 400}) {
        aftest::write_file(dir.file("old"), "old object");
        ASSERT_EQ(aftest::s3(port, {"put", "shards", "out.bcf", dir.file("old")}).err, "");
        aftest::Env env = aftest::s3_env(port);
        std::vector<std::string> argv = {"/usr/bin/env"};
        argv.insert(argv.end(), env.begin(), env.end());
        for (const std::string &s :
             {varforge(), std::string("cat"), std::string("-o"), out, a, b, c, local[3], a, c})
            argv.push_back(s);
        const pid_t pid = aftest::spawn(argv);
        usleep(useconds_t(delay_ms) * 1000);
        kill(pid, SIGTERM);
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE((WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) ||
                    (WIFEXITED(st) && WEXITSTATUS(st) == 0))
            << delay_ms << " ms: status " << st;
        const std::string now = object(port, "shards/out.bcf");
        EXPECT_TRUE(now == "old object" || now.size() > good.size()) << delay_ms << " ms";
        EXPECT_EQ(aftest::s3(port, {"ls-uploads", "shards"}).out, "") << delay_ms << " ms";
    }
}

}  // namespace
