// bench/gather: `varforge cat -o` as the gather step of a sharded pipeline, against GNU cat of
// the same files, on shards written and indexed by htslib as a variant caller writes them:
// 50 shards by region (five contigs, ten shards each) and the same records in 1,000 shards.
// Runs alternate and the fastest of each is kept. Also: the join with its index (-W) against
// the join alone and against joining then indexing; on a loop-mounted XFS with reflink (when
// this machine allows mounting) the same joins again, where aligned spans share extents.
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/stat.h>

#include <algorithm>
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

constexpr long kRecords = 2750000;
constexpr int kRounds = 7;

void check(const Measure &m, const char *what) {
    if (m.status != 0) {
        fprintf(stderr, "bench gather: %s failed with status %d\n", what, m.status);
        exit(1);
    }
}

std::vector<std::string> write_shards(const std::string &dir, int n) {
    mkdir(dir.c_str(), 0755);
    std::vector<std::string> paths;
    for (int i = 0; i < n; i++) {
        paths.push_back(dir + "/shard" + std::to_string(i) + ".bcf");
        const long from = kRecords * i / n, to = kRecords * (i + 1) / n;
        check(measure("/dev/null",
                      [&] { return benchshard::write_shard(paths.back(), from, to, kRecords); }),
              "writing a shard");
    }
    return paths;
}

long total_size(const std::vector<std::string> &paths) {
    long t = 0;
    for (const auto &p : paths) t += file_size(p);
    return t;
}

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct Pair {
    Measure cat, vf;
};

// GNU cat against `varforge cat -o` (with `-W` when `index`) of `shards` into `out`,
// alternating.
Pair race(const std::string &varforge, const std::vector<std::string> &shards,
          const std::string &out, bool index = false, bool sync = false) {
    Pair p;
    p.cat.seconds = p.vf.seconds = 1e9;
    const auto cat_args = with({"/bin/cat"}, shards);
    std::vector<std::string> head = {varforge, "cat", "-o", out};
    if (index) head.push_back("-W");
    if (!sync) head.push_back("--no-sync");
    const auto vf_args = with(head, shards);
    check(measure(out, [&] { return exec_argv(cat_args); }), "cat");  // warms the page cache
    for (int r = 0; r < kRounds; r++) {
        unlink(out.c_str());
        Measure c = measure(out, [&] { return exec_argv(cat_args); });
        check(c, "cat");
        unlink(out.c_str());
        unlink((out + ".csi").c_str());
        Measure v = measure("/dev/null", [&] { return exec_argv(vf_args); });
        check(v, "varforge cat -o");
        if (c.seconds < p.cat.seconds) p.cat = c;
        if (v.seconds < p.vf.seconds) p.vf = v;
    }
    return p;
}

// The fastest of `rounds` runs of each command, alternating; `out` and its index are removed
// before each run.
std::vector<Measure> fastest(const std::string &out,
                             const std::vector<std::vector<std::string>> &cmds, int rounds) {
    std::vector<Measure> best(cmds.size());
    for (auto &m : best) m.seconds = 1e9;
    for (int r = 0; r < rounds; r++)
        for (size_t i = 0; i < cmds.size(); i++) {
            unlink(out.c_str());
            unlink((out + ".csi").c_str());
            const Measure m = measure("/dev/null", [&] { return exec_argv(cmds[i]); });
            check(m, cmds[i][0].c_str());
            if (m.seconds < best[i].seconds) best[i] = m;
        }
    return best;
}

void print_race(const char *where, const Pair &p, double target, const char *how = "-o") {
    const double r = p.vf.seconds / p.cat.seconds;
    printf(
        "%s: GNU cat %.3f s, varforge cat %s %.3f s (cpu %.3f s, peak %.1f MiB): %.2f x "
        "(target <= %.2f) %s\n",
        where, p.cat.seconds, how, p.vf.seconds, p.vf.cpu_seconds, double(p.vf.peak_kib) / 1024, r,
        target, r <= target ? "met" : "MISSED");
}

int sh(const std::string &cmd) {
    return system(cmd.c_str());
}

}  // namespace

int main() {
    const char *bin_env = getenv("AF_BIN_DIR");
    const std::string varforge = std::string(bin_env ? bin_env : VF_BIN_DIR) + "/varforge";
    const char *build_env = getenv("AF_BUILD_DIR");
    const std::string dir = std::string(build_env ? build_env : "/tmp") + "/bench-gather";
    mkdir(dir.c_str(), 0755);
    const std::string out = dir + "/joined.bcf";

    const auto shards = write_shards(dir + "/50", 50);
    const long in_bytes = total_size(shards);
    printf(
        "gather: 50 shards written and indexed by htslib, %.1f MB of BCF, %ld records, "
        "fastest of %d\n",
        double(in_bytes) / 1e6, kRecords, kRounds);
    const Pair here = race(varforge, shards, out);
    print_race("50 shards, this filesystem", here, 1.0, "-o --no-sync");
    // Durable by default: the output flushed to the disk before it is renamed into place.
    const Pair synced = race(varforge, shards, out, false, true);
    printf(
        "50 shards, this filesystem: varforge cat -o (synced) %.3f s against --no-sync %.3f s: "
        "%.2f x\n",
        synced.vf.seconds, here.vf.seconds, synced.vf.seconds / here.vf.seconds);
    const double grow = double(file_size(out)) / double(in_bytes);
    printf("50 shards: output %.1f MB, %.4f x the inputs' bytes (target <= 1.05) %s\n",
           double(file_size(out)) / 1e6, grow, grow <= 1.05 ? "met" : "MISSED");

    // With the index: -W against -o alone, and against joining and then indexing.
    {
        auto then_index = with(
            {"/bin/bash", "-c",
             "v=$0 o=$1; shift 2; \"$v\" cat --no-sync -o \"$o\" \"$@\" && \"$v\" index \"$o\"",
             varforge, out},
            shards);
        const auto t =
            fastest(out,
                    {with({varforge, "cat", "--no-sync", "-o", out}, shards),
                     with({varforge, "cat", "--no-sync", "-W", "-o", out}, shards), then_index},
                    kRounds);
        const double rw = t[1].seconds / t[0].seconds, rt = t[2].seconds / t[1].seconds;
        printf(
            "50 shards: varforge cat -W -o %.3f s (peak %.1f MiB), -o alone %.3f s: %.2f x "
            "(target <= 1.10) %s\n",
            t[1].seconds, double(t[1].peak_kib) / 1024, t[0].seconds, rw,
            rw <= 1.10 ? "met" : "MISSED");
        printf(
            "50 shards: join then varforge index %.3f s, %.1f x the time of cat -W -o "
            "(target >= 10) %s\n",
            t[2].seconds, rt, rt >= 10 ? "met" : "MISSED");
    }

    // XFS with reflink, on a loop device: where aligned spans are shared, not copied.
    const std::string img = dir + "/xfs.img", mnt = dir + "/xfs";
    mkdir(mnt.c_str(), 0755);
    if (sh("truncate -s 3G '" + img + "' && mkfs.xfs -q -f -m reflink=1 '" + img +
           "' >/dev/null 2>&1 && mount -o loop '" + img + "' '" + mnt + "' 2>/dev/null") != 0) {
        printf("XFS with reflink: skipped (cannot make or mount a loop XFS here)\n");
    } else {
        std::vector<std::string> xshards;
        for (size_t i = 0; i < shards.size(); i++) {
            xshards.push_back(mnt + "/" + std::to_string(i) + ".bcf");
            sh("cp '" + shards[i] + "' '" + xshards.back() + "' && cp '" + shards[i] + ".csi' '" +
               xshards.back() + ".csi'");
        }
        print_race("50 shards, XFS with reflink", race(varforge, xshards, mnt + "/joined.bcf"), 0.3,
                   "-o --no-sync");
        print_race("50 shards, XFS with reflink",
                   race(varforge, xshards, mnt + "/joined.bcf", true), 0.3, "-W -o --no-sync");
        print_race("50 shards, XFS with reflink",
                   race(varforge, xshards, mnt + "/joined.bcf", false, true), 0.3, "-o (synced)");
        sh("umount '" + mnt + "'");
    }
    unlink(img.c_str());
    rmdir(mnt.c_str());

    const auto many = write_shards(dir + "/1000", 1000);
    const auto t = fastest(out,
                           {with({varforge, "cat", "--no-sync", "-o", out}, many),
                            with({varforge, "cat", "--no-sync", "-W", "-o", out}, many)},
                           3);
    for (size_t i = 0; i < t.size(); i++)
        printf(
            "1000 shards (%.1f MB): varforge cat %s %.3f s, %.0f us per shard, peak %.1f MiB "
            "(target < 64 MiB) %s\n",
            double(total_size(many)) / 1e6, i ? "-W -o" : "-o", t[i].seconds,
            t[i].seconds / 1000 * 1e6, double(t[i].peak_kib) / 1024,
            t[i].peak_kib < 64 * 1024 ? "met" : "MISSED");
    if (getenv("VF_BENCH_KEEP")) return 0;
    sh("rm -rf '" + dir + "'");
    return 0;
}
