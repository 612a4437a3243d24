// bench/cat: `varforge cat` against plain `cat` on the same ~400 MB of BCF in two inputs, in
// this run: written to a regular file on the same filesystem, and into a pipe read by
// `cat >/dev/null`. Runs alternate and the fastest of each is kept, since page-cache
// writeback makes single runs swing. Also: decoding and re-encoding every record through
// htslib (what a user would otherwise do), 5,000 small inputs in one call (time per input),
// and peak resident memory.
//
// A ~50 MB input is generated once through htslib, written as usual (the first records share
// the header's last block); each 200 MB input is four of it joined. Every measured command
// runs in a child process of this small parent, so its peak memory is its own.
#include <fcntl.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "child_run.h"

namespace {

using benchproc::exec_argv;
using benchproc::file_size;
using benchproc::Measure;
using benchproc::measure;

constexpr int kInputs = 2;
constexpr int kPartsPerInput = 4;
constexpr long kTargetInputBytes = 50L << 20;  // of the generated part
constexpr int kSamples = 64;
constexpr int kRounds = 7;
constexpr int kSmallInputs = 5000;

// Writes one BCF of about kTargetInputBytes: many samples with random depths, which
// compress poorly, so that the file is large for its record count.
int generate(const std::string &path) {
    htsFile *out = hts_open(path.c_str(), "wb1");
    if (!out) return 1;
    bcf_hdr_t *h = bcf_hdr_init("w");
    bcf_hdr_append(h, "##contig=<ID=chr1,length=250000000>");
    bcf_hdr_append(h, "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">");
    bcf_hdr_append(h, "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"Read depth\">");
    for (int s = 0; s < kSamples; s++) bcf_hdr_add_sample(h, ("S" + std::to_string(s)).c_str());
    if (bcf_hdr_sync(h) != 0 || bcf_hdr_write(out, h) != 0) return 1;
    bcf1_t *v = bcf_init();
    std::mt19937 rng(5);
    std::vector<int32_t> gt(2 * kSamples), dp(kSamples);
    const char *alleles[] = {"A", "C", "G", "T"};
    for (int i = 0;; i++) {
        // The high bits of a virtual offset are the compressed bytes written so far.
        if (i % 1024 == 0 && (bgzf_tell(out->fp.bgzf) >> 16) >= kTargetInputBytes) break;
        bcf_clear(v);
        v->rid = 0;
        v->pos = i * 10;
        int a = int(rng() & 3);
        char as[4] = {alleles[a][0], ',', alleles[(a + 1) & 3][0], '\0'};
        bcf_update_alleles_str(h, v, as);
        for (auto &g : gt) g = bcf_gt_unphased(int(rng() & 1));
        for (auto &d : dp) d = int32_t(rng() % 1000000);
        if (bcf_update_genotypes(h, v, gt.data(), int(gt.size())) != 0 ||
            bcf_update_format_int32(h, v, "DP", dp.data(), int(dp.size())) != 0 ||
            bcf_write(out, h, v) != 0)
            return 1;
    }
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    return hts_close(out) == 0 ? 0 : 1;
}

// What a user would otherwise do: read every record of every input and write it again.
int decode_reencode(const std::vector<std::string> &inputs) {
    htsFile *out = hts_open("-", "wb");
    bcf_hdr_t *first = nullptr;
    bcf1_t *v = bcf_init();
    int rc = 0;
    for (const auto &path : inputs) {
        htsFile *in = hts_open(path.c_str(), "r");
        bcf_hdr_t *h = in ? bcf_hdr_read(in) : nullptr;
        if (!h) return 1;
        if (!first) {
            first = bcf_hdr_dup(h);
            if (bcf_hdr_write(out, first) != 0) return 1;
        }
        int r;
        while ((r = bcf_read(in, h, v)) == 0)
            if (bcf_write(out, first, v) != 0) return 1;
        if (r != -1) rc = 1;
        bcf_hdr_destroy(h);
        hts_close(in);
    }
    bcf_destroy(v);
    bcf_hdr_destroy(first);
    return hts_close(out) == 0 ? rc : 1;
}

void check(const Measure &m, const char *what) {
    if (m.status != 0) {
        fprintf(stderr, "bench cat: %s failed with status %d\n", what, m.status);
        exit(1);
    }
}

struct Pair {
    Measure cat, vf;
};

// The fastest of kRounds alternating runs of the two commands.
// `vf_out` is where the second command's standard output goes: `out` too, or /dev/null
// when it writes `out` itself (-o), which is then removed before each run as well.
Pair race(const std::string &out, const std::vector<std::string> &cat_args,
          const std::vector<std::string> &vf_args, const std::string &vf_out = "",
          bool both_write_out = false) {
    Pair best;
    best.cat.seconds = best.vf.seconds = 1e9;
    for (int round = 0; round < kRounds; round++) {
        // A command that writes `out` itself (-o) gets no standard output there: renaming onto
        // a file that is open and was just emptied makes ext4 write it back at once.
        if (both_write_out) unlink(out.c_str());
        Measure c = measure(both_write_out ? vf_out : out, [&] { return exec_argv(cat_args); });
        check(c, "cat");
        if (!vf_out.empty()) unlink(out.c_str());
        Measure v = measure(vf_out.empty() ? out : vf_out, [&] { return exec_argv(vf_args); });
        check(v, "varforge cat");
        if (c.seconds < best.cat.seconds) best.cat = c;
        if (v.seconds < best.vf.seconds) best.vf = v;
    }
    return best;
}

void print_pair(const char *where, const Pair &p, double target) {
    const double ratio = p.vf.seconds / p.cat.seconds;
    printf("%-13s plain cat %7.3f s  varforge cat %7.3f s (cpu %.3f s, peak %.1f MiB)\n", where,
           p.cat.seconds, p.vf.seconds, p.vf.cpu_seconds, double(p.vf.peak_kib) / 1024);
    printf("varforge cat / plain cat, %s: %.2f x (target <= %.2f) %s\n", where, ratio, target,
           ratio <= target ? "met" : "MISSED");
}

}  // namespace

int main() {
    const char *bin_env = getenv("AF_BIN_DIR");
    const std::string bin_dir = bin_env ? bin_env : VF_BIN_DIR;
    const char *build_env = getenv("AF_BUILD_DIR");
    const std::string dir = std::string(build_env ? build_env : "/tmp") + "/bench-cat";
    mkdir(dir.c_str(), 0755);
    const std::string varforge = bin_dir + "/varforge", out = dir + "/out.bcf";

    const std::string part = dir + "/part.bcf";
    auto gen = measure("/dev/null", [&] { return generate(part); });
    check(gen, "generating the input");
    std::vector<std::string> inputs;
    for (int i = 0; i < kInputs; i++) {
        inputs.push_back(dir + "/in" + std::to_string(i) + ".bcf");
        std::vector<std::string> join = {varforge, "cat"};
        for (int k = 0; k < kPartsPerInput; k++) join.push_back(part);
        check(measure(inputs.back(), [&] { return exec_argv(join); }), "joining the input");
    }
    const double total_mb = double(file_size(inputs[0])) * kInputs / 1e6;

    std::vector<std::string> cat_args = {"/bin/cat"}, vf_args = {varforge, "cat"},
                             vf_file_args = {varforge, "cat", "--no-sync", "-o", out};
    for (const auto &in : inputs) {
        cat_args.push_back(in);
        vf_args.push_back(in);
        vf_file_args.push_back(in);
    }
    check(measure(out, [&] { return exec_argv(cat_args); }), "cat");  // warms the page cache
    const Pair file = race(out, cat_args, vf_file_args, "/dev/null");
    const long vf_out = file_size(out);
    auto piped = [](const std::vector<std::string> &args) {
        std::string cmd;
        for (const auto &a : args) cmd += "'" + a + "' ";
        return std::vector<std::string>{"/bin/sh", "-c", cmd + "| cat >/dev/null"};
    };
    const Pair pipe = race("/dev/null", piped(cat_args), piped(vf_args));
    // The same join without the walks that refuse damaged inputs.
    std::vector<std::string> unchecked_args = vf_args;
    unchecked_args[0] = VF_UNCHECKED;
    const Pair walks = race(out, unchecked_args, vf_args);
    std::vector<std::string> unchecked_file_args = vf_file_args;
    unchecked_file_args[0] = VF_UNCHECKED;
    const Pair walks_file = race(out, unchecked_file_args, vf_file_args, "/dev/null", true);

    // Decoding every record, against varforge cat of the same one part.
    Measure one = measure(out, [&] { return exec_argv({varforge, "cat", part}); });
    check(one, "varforge cat of one input");
    Measure dec = measure(out, [&] { return decode_reencode({part}); });
    check(dec, "decode and re-encode");

    // Many small inputs: hard links to one small file.
    const std::string small = dir + "/small.bcf";
    std::vector<std::string> many = {varforge, "cat"};
    {
        htsFile *f = hts_open(small.c_str(), "wb");
        bcf_hdr_t *h = bcf_hdr_init("w");
        bcf_hdr_append(h, "##contig=<ID=chr1,length=1000>");
        bcf1_t *v = bcf_init();
        v->rid = 0;
        v->pos = 10;
        bcf_update_alleles_str(h, v, "A,C");
        if (!f || bcf_hdr_sync(h) != 0 || bcf_hdr_write(f, h) != 0 || bcf_write(f, h, v) != 0)
            check(Measure{}, "writing the small input");
        bcf_destroy(v);
        bcf_hdr_destroy(h);
        if (hts_close(f) != 0) check(Measure{}, "writing the small input");
    }
    for (int i = 0; i < kSmallInputs; i++) {
        many.push_back(dir + "/s" + std::to_string(i) + ".bcf");
        unlink(many.back().c_str());
        if (link(small.c_str(), many.back().c_str()) != 0) check(Measure{}, "linking");
    }
    Measure best_many;
    best_many.seconds = 1e9;
    for (int round = 0; round < 3; round++) {
        Measure m = measure(out, [&] { return exec_argv(many); });
        check(m, "varforge cat of many inputs");
        if (m.seconds < best_many.seconds) best_many = m;
    }

    const double ratio_dec = dec.seconds / one.seconds;
    const double peak_mib = double(std::max(file.vf.peak_kib, pipe.vf.peak_kib)) / 1024;
    printf(
        "cat: %d inputs, %.1f MB of BCF (a %.1f MB part generated in %.1f s), output %.1f MB, "
        "best of %d alternating runs\n",
        kInputs, total_mb, double(file_size(part)) / 1e6, gen.seconds, double(vf_out) / 1e6,
        kRounds);
    print_pair("-o FILE", file, 1.0);
    print_pair("pipe", pipe, 1.05);
    for (const auto &[how, p] :
         {std::pair<const char *, const Pair &>{"-o FILE", walks_file}, {"> FILE", walks}}) {
        const double r = p.vf.seconds / p.cat.seconds;
        printf(
            "varforge cat %s / the same join without its block and record walks: %.3f x (%.3f s "
            "against %.3f s; target <= 1.03) %s\n",
            how, r, p.vf.seconds, p.cat.seconds, r <= 1.03 ? "met" : "MISSED");
    }
    printf(
        "htslib decode + re-encode / varforge cat, one %.1f MB input: %.1f x (%.3f s against "
        "%.3f s; target >= 20) %s\n",
        double(file_size(part)) / 1e6, ratio_dec, dec.seconds, one.seconds,
        ratio_dec >= 20 ? "met" : "MISSED");
    printf("varforge cat of %d small inputs: %.3f s, %.1f us per input, peak %.1f MiB\n",
           kSmallInputs, best_many.seconds, best_many.seconds / kSmallInputs * 1e6,
           double(best_many.peak_kib) / 1024);
    printf("varforge cat peak memory on the %.0f MB join: %.1f MiB (target < 8 MiB) %s\n", total_mb,
           peak_mib, peak_mib < 8 ? "met" : "MISSED");
    if (getenv("VF_BENCH_KEEP")) return 0;  // leaves the files for a closer look
    for (size_t i = 2; i < many.size(); i++) unlink(many[i].c_str());
    for (const auto &f : inputs) unlink(f.c_str());
    for (const auto &f : {small, part, out}) unlink(f.c_str());
    rmdir(dir.c_str());
    return 0;
}
