// bench/gather_remote: the gather step over http. 50 shards written and indexed by htslib
// (a few MB each) served by nginx behind a delaying proxy at 20 ms per round trip, all on
// 127.0.0.1. `varforge cat -o URL...` (and `-W -o`) against (a) curl downloading them one by
// one, then the local join of the copies, and (b) curl downloading them with 8 transfers at
// once, without joining. The fastest of a few alternating rounds of each is kept.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bcf_shard.h"
#include "child_run.h"

namespace {

using benchproc::exec_argv;
using benchproc::file_size;
using benchproc::Measure;
using benchproc::measure;

constexpr int kShards = 50;
constexpr long kRecords = 2500000;  // about 2.7 MB of BCF per shard
constexpr int kRounds = 3;

[[noreturn]] void die(const std::string &what) {
    fprintf(stderr, "bench gather_remote: %s\n", what.c_str());
    exit(1);
}

// Starts `args` with its standard output on a pipe and returns the first line it prints (each
// server prints its port there); its PID goes to `pid`.
std::string start(const std::vector<std::string> &args, pid_t *pid) {
    int fds[2];
    if (pipe(fds) != 0) die("pipe failed");
    *pid = fork();
    if (*pid < 0) die("fork failed");
    if (*pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        _exit(exec_argv(args));
    }
    close(fds[1]);
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    close(fds[0]);
    if (line.empty()) die(args[1] + " did not start");
    return line;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

pid_t web_pid = -1, proxy_pid = -1;

void stop_servers() {
    stop(proxy_pid);
    if (web_pid > 0) kill(web_pid, SIGTERM);  // nginx's master: not our child
}

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The fastest of kRounds runs of each command, alternating; `clean` runs before each.
std::vector<Measure> fastest(const std::vector<std::vector<std::string>> &cmds,
                             const std::string &clean) {
    std::vector<Measure> best(cmds.size());
    for (auto &m : best) m.seconds = 1e9;
    for (int r = 0; r < kRounds; r++)
        for (size_t i = 0; i < cmds.size(); i++) {
            if (system(clean.c_str()) != 0) die("cannot clean up");
            const Measure m = measure("/dev/null", [&] { return exec_argv(cmds[i]); });
            if (m.status != 0)
                die(cmds[i][0] + " " + cmds[i][1] + " failed with status " +
                    std::to_string(m.status));
            if (m.seconds < best[i].seconds) best[i] = m;
        }
    return best;
}

void line(const char *what, const Measure &vf, const char *base, const Measure &b, double target,
          bool faster) {
    const double r = faster ? b.seconds / vf.seconds : vf.seconds / b.seconds;
    const bool met = faster ? r >= target : r <= target;
    printf("%s %.3f s (peak %.1f MiB) against %s %.3f s: %.2f x (target %s %.2f) %s\n", what,
           vf.seconds, double(vf.peak_kib) / 1024, base, b.seconds, r, faster ? ">=" : "<=", target,
           met ? "met" : "MISSED");
}

}  // namespace

int main() {
    const char *bin_env = getenv("AF_BIN_DIR");
    const std::string varforge = std::string(bin_env ? bin_env : VF_BIN_DIR) + "/varforge";
    const char *build_env = getenv("AF_BUILD_DIR");
    const std::string dir = std::string(build_env ? build_env : "/tmp") + "/bench-gather-remote";
    const std::string www = dir + "/www", got = dir + "/got", out = dir + "/joined.bcf";
    mkdir(dir.c_str(), 0755);
    mkdir(www.c_str(), 0755);
    std::vector<std::string> shards;
    for (int i = 0; i < kShards; i++) {
        shards.push_back("shard" + std::to_string(i) + ".bcf");
        const std::string path = www + "/" + shards.back();
        if (file_size(path + ".csi") > 0) continue;  // kept from an earlier run
        if (benchshard::write_shard(path, kRecords * i / kShards, kRecords * (i + 1) / kShards,
                                    kRecords) != 0)
            die("cannot write " + path);
    }
    // nginx's workers may run as another user: the files must be readable to them.
    if (system(("chmod -R a+rX '" + dir + "'").c_str()) != 0) die("chmod failed");

    atexit(stop_servers);
    pid_t starter;
    const std::string web =
        start({"/usr/bin/python3", VF_SOURCE_DIR "/tests/servers/start", "web", www}, &starter);
    waitpid(starter, nullptr, 0);
    const std::string web_port = web.substr(0, web.find(' '));
    web_pid = pid_t(atol(web.c_str() + web.find(' ')));
    const std::string port =
        start({"/usr/bin/python3", VF_SOURCE_DIR "/tests/servers/delay_proxy.py", web_port,
               "--delay-ms", "10"},
              &proxy_pid);

    std::vector<std::string> urls, csi_urls,
        serial = {"/usr/bin/curl", "-sSf"}, serial_csi = serial,
        parallel = {"/usr/bin/curl", "-sSf", "--no-progress-meter", "-Z", "--parallel-max", "8"},
        local;
    long bytes = 0;
    for (const auto &s : shards) {
        urls.push_back("http://127.0.0.1:" + port + "/" + s);
        csi_urls.push_back(urls.back() + ".csi");
        local.push_back(got + "/" + s);
        bytes += file_size(www + "/" + s);
        for (auto *c : {&serial, &serial_csi, &parallel})
            *c = with(*c, {"-o", local.back(), urls.back()});
        serial_csi = with(serial_csi, {"-o", local.back() + ".csi", csi_urls.back()});
    }
    // (a) as a shell line: download one by one (one curl, transfers in turn), then join.
    const auto then_join = [&](const std::vector<std::string> &curl, const char *w) {
        std::string cmd =
            "\"$0\" \"$@\" && exec '" + varforge + "' cat --no-sync " + w + " -o '" + out + "'";
        for (const auto &l : local) cmd += " '" + l + "'";
        return with({"/bin/sh", "-c", cmd}, curl);
    };
    const std::string clean =
        "rm -rf '" + got + "' '" + out + "' '" + out + ".csi' && mkdir '" + got + "'";
    printf(
        "gather over http at 20 ms per round trip: %d shards written and indexed by htslib, "
        "%.1f MB of BCF, fastest of %d\n",
        kShards, double(bytes) / 1e6, kRounds);
    const auto t =
        fastest({with({varforge, "cat", "--no-sync", "-o", out}, urls), then_join(serial, ""),
                 with(parallel, {}), with({varforge, "cat", "--no-sync", "-W", "-o", out}, urls),
                 then_join(serial_csi, "-W")},
                clean);
    line("varforge cat -o URLs", t[0], "curl one by one then cat -o", t[1], 5, true);
    line("varforge cat -o URLs", t[0], "curl -Z 8 at once, no join", t[2], 1.25, false);
    line("varforge cat -W -o URLs", t[3], "curl one by one (with .csi) then cat -W -o", t[4], 5,
         true);
    if (system(clean.c_str()) != 0) die("cannot clean up");
    return 0;
}
