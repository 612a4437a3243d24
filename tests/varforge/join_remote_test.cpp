// varforge cat over URLs: a web server (nginx, on 127.0.0.1 at a free port, stopped by its
// PID) serves the shards, with ranges and, under /nr/, without; a remote join must be the
// local join of the same files byte for byte, its index too, and every failure must name the
// URL, exit 1 and leave nothing in place.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bcf_files.h"
#include "join/source.h"
#include "process.h"

namespace {

using aftest::run;

// A port that nothing listens on at the moment.
int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        ADD_FAILURE() << "no free port";
    close(s);
    return ntohs(a.sin_port);
}

// nginx serving `root` at http://127.0.0.1:PORT/, and /nr/ (the same files) without ranges.
class WebServer {
   public:
    explicit WebServer(const aftest::TempDir &dir) : port_(free_port()) {
        const std::string p = dir.path(), root = dir.file("www");
        // nginx's workers may run as another user: the files must be readable to them.
        chmod(p.c_str(), 0755);
        mkdir(root.c_str(), 0755);
        symlink(root.c_str(), (root + "/nr").c_str());
        aftest::write_file(
            dir.file("nginx.conf"),
            "daemon off; pid " + p + "/nginx.pid; error_log " + p +
                "/error.log;\n"
                "events {}\nhttp { access_log off; client_body_temp_path " +
                p +
                ";\n"
                " proxy_temp_path " +
                p + "; fastcgi_temp_path " + p + "; uwsgi_temp_path " + p + "; scgi_temp_path " +
                p + ";\n server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + root +
                "; disable_symlinks off; location /nr/ { max_ranges 0; }\n"
                " location /status/403/ { return 403; } location /status/500/ { return 500; } "
                "} }\n");
        pid_ = aftest::spawn({"/usr/sbin/nginx", "-p", p, "-c", dir.file("nginx.conf")});
        for (int i = 0; i < 400 && run({"/bin/bash", "-c",
                                        "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port_)})
                                           .status != 0;
             i++)
            usleep(50000);
    }
    ~WebServer() {
        kill(pid_, SIGTERM);
        aftest::wait_exit(pid_, 10);
    }
    std::string url(const std::string &name) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

   private:
    int port_;
    pid_t pid_;
};

std::string varforge() {
    return aftest::bin("varforge");
}

// Joins of shards served over http read as the local join of the same files, byte for byte,
// with and without -W (the shards indexed or not), for both kinds; the data of many shards
// is fetched several at once, and one at a time.
TEST(JoinRemote, AsTheLocalJoinOfTheSameFiles) {
    aftest::TempDir dir;
    WebServer web(dir);
    const std::string www = dir.file("www/");
    const int n = 30000;
    const auto all = aftest::split_header(aftest::variant_text(aftest::shape(n, 7, "", 20)), '#');
    const std::vector<int> cuts = {0, 10, 9000, 9000, 17000, n};
    for (const char *mode : {"wb", "wz"}) {
        for (const bool indexed : {false, true}) {
            for (const char *ahead : {"1", "8"}) {
                const std::string ext = mode[1] == 'b' ? ".bcf" : ".vcf.gz";
                const std::string what = ext + (indexed ? " indexed" : "") + " ahead " + ahead;
                std::vector<std::string> local = {varforge(), "cat", "-W", "-o",
                                                  dir.file("local" + ext)},
                                         remote = {
                                             varforge(), "cat", "--fetch-ahead",         ahead,
                                             "-W",       "-o",  dir.file("remote" + ext)};
                for (size_t i = 0; i + 1 < cuts.size(); i++) {
                    std::string text = all.header, name = "s" + std::to_string(i) + ext;
                    for (int r = cuts[i]; r < cuts[i + 1]; r++)
                        text += all.records[size_t(r)] + "\n";
                    aftest::write_bcf_text(www + name, text, aftest::Layout::kShared, mode);
                    for (const char *suffix : {".csi", ".tbi"})
                        unlink((www + name + suffix).c_str());
                    const std::string path = www + name;
                    const int built = !indexed ? 0
                                      : mode[1] == 'b'
                                          ? bcf_index_build3(path.c_str(), nullptr, 14, 0)
                                          : tbx_index_build(path.c_str(), 0, &tbx_conf_vcf);
                    ASSERT_EQ(built, 0) << what;
                    local.push_back(www + name);
                    remote.push_back(web.url(name));
                }
                auto l = run(local), r = run(remote);
                ASSERT_EQ(l.status, 0) << what << l.err;
                ASSERT_EQ(r.status, 0) << what << r.err;
                const std::string idx = mode[1] == 'b' ? ".csi" : ".tbi";
                EXPECT_TRUE(aftest::read_file(dir.file("local" + ext)) ==
                            aftest::read_file(dir.file("remote" + ext)))
                    << what;
                EXPECT_TRUE(aftest::read_file(dir.file("local" + ext + idx)) ==
                            aftest::read_file(dir.file("remote" + ext + idx)))
                    << what;
            }
        }
    }
}

// Each failure names the URL and its cause, exits 1 and leaves the output as it was; an object
// whose size changed after its check is refused when it is opened again.
TEST(JoinRemote, FailuresNameTheUrlAndLeaveNothing) {
    aftest::TempDir dir;
    WebServer web(dir);
    const std::string good = dir.file("www/good.bcf"), out = dir.file("out.bcf");
    aftest::write_bcf(good, aftest::shape(200, 3), aftest::Layout::kShared);
    const std::string refused = "http://127.0.0.1:" + std::to_string(free_port()) + "/a.bcf";
    const std::pair<std::string, std::string> rows[] = {
        {web.url("missing.bcf"), "not found on the server (HTTP 404)"},
        {refused, "Connection refused"},
        {web.url("nr/good.bcf"), "the server does not serve byte ranges"},
        {web.url("status/500/good.bcf"), "server error (HTTP 5xx) or the transfer failed"},
        {web.url("status/403/good.bcf"), "access denied (HTTP 403)"},
    };
    for (const auto &[url, why] : rows) {
        aftest::write_file(out, "previous good output");
        auto r = run({varforge(), "cat", "-o", out, web.url("good.bcf"), url});
        EXPECT_EQ(r.status, 1) << url;
        EXPECT_EQ(r.err, "[bcf_cat] " + url + ": " + why + "\n");
        EXPECT_EQ(aftest::read_file(out), "previous good output") << url;
    }
    std::string why;
    auto src = vfjoin::Source::open(web.url("good.bcf").c_str(), &why);
    ASSERT_NE(src, nullptr) << why;
    aftest::write_file(good, aftest::read_file(good) + "more");
    EXPECT_EQ(vfjoin::Source::reopen(web.url("good.bcf").c_str(), -1, src->identity(), &why),
              nullptr);
    EXPECT_EQ(why, "the file changed after it was checked");
}

}  // namespace

// A server that fails once per file (an error status, a reply cut short) is asked again and
// the join is the local one byte for byte; one whose file grows between two of its requests
// is refused.
TEST(JoinRemote, TransientFailuresRetriedChangedFilesRefused) {
    aftest::TempDir dir;
    const std::string www = dir.file("www"), out = dir.file("out.bcf");
    mkdir(www.c_str(), 0755);
    std::vector<std::string> local = {varforge(), "cat", "-o", dir.file("local.bcf")}, names;
    for (int i = 0; i < 3; i++) {
        names.push_back("s" + std::to_string(i) + ".bcf");
        aftest::write_bcf(www + "/" + names.back(), aftest::shape(20000, 3 + i),
                          aftest::Layout::kShared);
        local.push_back(www + "/" + names.back());
    }
    ASSERT_EQ(run(local).status, 0);
    const struct {
        std::vector<std::string> fault;
        std::string why;  // empty: the join succeeds
        int before = 0;   // copies of the second shard joined before the shards
    } rows[] = {
        {{"--fail-once", "503"}, ""},
        {{"--fail-once", "500"}, ""},
        {{"--cut-once", "70000"}, ""},
        // Grown between the requests of the check (the one for its size and end, the one
        // for its stream, either way round), or between the check and the copy on a
        // connection of its own.
        {{"--grow-at", "2", "--delay-ranged-ms", "300", "--only", "/" + names[0]},
         "the file changed after it was checked"},
        {{"--grow-at", "1", "--grow-only", "whole"}, "the file changed after it was checked"},
        {{"--grow-at", "3", "--only", "/" + names[0]}, "the file changed after it was checked", 64},
        // Ranges served for the check, not for the copy: the copy on the check's connection
        // asks for none; one of its own must not copy the whole file.
        {{"--ranges-until", "2"}, ""},
        {{"--ranges-until", "2", "--only", "/" + names[0]},
         "the file changed after it was checked, or the server does not serve byte ranges",
         64},
    };
    for (const auto &row : rows) {
        std::vector<std::string> server = {
            "/usr/bin/python3", AF_SOURCE_DIR "/tests/servers/range_http_server.py", www};
        server.insert(server.end(), row.fault.begin(), row.fault.end());
        const std::string port_file = dir.file("port");
        unlink(port_file.c_str());
        const int fd = open(port_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const pid_t pid = aftest::spawn(server, -1, fd);
        close(fd);
        for (int i = 0; i < 400 && aftest::read_file(port_file).empty(); i++) usleep(50000);
        const std::string base =
            "http://127.0.0.1:" + std::to_string(atoi(aftest::read_file(port_file).c_str())) + "/";
        std::vector<std::string> cmd = {varforge(), "cat", "-o", out};
        for (int i = 0; i < row.before; i++) cmd.push_back(base + names[1]);
        for (const auto &n : names) cmd.push_back(base + n);
        aftest::write_file(out, "previous good output");
        auto r = run(cmd);
        kill(pid, SIGTERM);
        aftest::wait_exit(pid, 10);
        const std::string what = row.fault[0] + " " + row.fault[1];
        if (row.why.empty()) {
            EXPECT_EQ(r.status, 0) << what << r.err;
            EXPECT_TRUE(aftest::read_file(out) == aftest::read_file(dir.file("local.bcf"))) << what;
        } else {
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.err, "[bcf_cat] " + base + names[0] + ": " + row.why + "\n") << what;
            EXPECT_EQ(aftest::read_file(out), "previous good output") << what;
        }
    }
}

// The answer to a request for an object's last 28 bytes gives its size only when its range is
// exactly those bytes; anything else leaves the size to be learnt the slow way.
TEST(JoinRemote, OnlyARangeOfTheLastBytesGivesTheSize) {
    const struct {
        const char *range;
        int64_t size;  // -1: not taken
    } rows[] = {
        {"bytes 72-99/100", 100},
        {"bytes 0-27/28", 28},
        {"bytes 9223372036854775779-9223372036854775806/9223372036854775807", INT64_MAX},
        {"bytes 0-26/27", -1},    // shorter than asked: the whole object
        {"bytes 72-99/101", -1},  // not its end
        {"bytes 71-99/100", -1},
        {"bytes 72-99/*", -1},
        {"bytes -72-99/100", -1},
        {"bytes 72-99/100 x", -1},
        {"items 72-99/100", -1},
        {"bytes 18446744073709551588-18446744073709551615/18446744073709551616", -1},
    };
    for (const auto &row : rows) {
        int64_t size = -1;
        EXPECT_EQ(vfjoin::is_last_bytes(row.range, 28, &size), row.size >= 0) << row.range;
        EXPECT_EQ(size, row.size) << row.range;
    }
}
