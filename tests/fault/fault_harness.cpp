// fault_harness: runs every program and module on a small fixed workload with the fault shim
// preloaded. A counting run finds the N calls the workload makes; then the workload runs once
// for every k = 1..N with call k failing. Each run must fail cleanly (non-zero status and a
// message, and no output that looks whole when it is not) or leave everything byte-identical
// to the clean run. Two more runs interrupt (EINTR) and shorten every read and write; they
// must leave everything identical. After every run, the run's folders must hold the inputs and
// the declared outputs and nothing else (a temporary left behind is bad, hidden or not, unless
// its own removal was the failed call), with the same permission bits on the outputs, and no
// BGZF output may look whole (end in its end-of-file block) when the run failed, unless all
// of them are the clean run's. Each run's TMPDIR is its folder, so that temporaries made
// there count too. One summary line per workload; exit status 1 on any bad outcome not in the
// known list below.
//
//   fault_harness --bin DIR --shim LIB --modules PROG [--preload LIB] [--jobs N] [--only NAME]
//                 [--keep 1]
// --keep 1 leaves the inputs and the last runs' folders in place, and names them. The far
// folders go under $FAULT_FAR_DIR when that is on another filesystem, else under /dev/shm,
// /run/user, /var/tmp or the current folder, whichever is first on one.
#include <fcntl.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bcf_files.h"
#include "bgzf_eof.h"

namespace fs = std::filesystem;
extern char **environ;

namespace {

enum Flags : unsigned {
    kMsgStdout = 1,  // the program's messages go to standard output
    kStderr = 2,     // calls on standard error are counted and failed too
    kManual = 4,     // the program arms the shim itself around the module's work
    kPipe = 8,       // standard output is a pipe that the harness drains, not a file
};

// "@name" in argv is the input `name`, linked into the run's directory with its index, if it
// has one; "%modules" is the module driver. Outputs are files the run writes into its
// directory; "^name", in argv and in outputs, is a file in the run's far directory, on another
// filesystem than the inputs (the workload is skipped when there is none).
struct Workload {
    const char *name;
    std::vector<std::string> argv;
    std::vector<std::string> outputs;
    unsigned flags = 0;
    int clean_status = 0;  // the exit status of the run without faults
};

// Inputs, written once: af_fixture arguments, or literal text. With `contig`, the af_fixture
// variants (arguments: format, records, seed) of that contig only, so that shards split by
// contig join in order. `index`: also the htslib index of that extension, beside the input.
struct Input {
    const char *name;
    std::vector<std::string> fixture;
    const char *text;
    const char *contig = nullptr;
    const char *index = nullptr;
};

const Input kInputs[] = {
    {"in.bam", {"bam", "20"}, nullptr},
    {"in.sam", {"sam", "5"}, nullptr},
    {"in.cram", {"cram", "5"}, nullptr},
    {"a.bcf", {"bcf", "3", "1"}, nullptr},
    {"b.bcf", {"bcf", "3", "2"}, nullptr},
    {"c.bcf", {"bcf", "3000", "1"}, nullptr},
    {"d.bcf", {"bcf", "3000", "2"}, nullptr},
    {"junctions.tsv",
     {},
     "#name\tstart\tend\tchrom\tscore\tstrand\ta\tb\tmotif\tc\tleft\tright\tq\td\tx\ty\tratio\t"
     "support\te\tf\n"
     "J1\t100\t350\tchr1\t5\t+\t7\t8\tGT/AG\t10\tACGT\tTTGA\t1.5\t3\tc\td\t0.75\t4\t4\t0.5\n"
     "J2\t200\t450\tchr1\t5\t+\t7\t8\tGT/AG\t10\tACGT\tTTGA\t1.5\t3\tc\td\t0.25\t4\t4\t0.5\n"
     "\n"
     "J3 300 550 chr2 5 - 7 8 CT/AC 10 ACGT TTGA 1.5 3 c d nan 12 4 0.5"},
    {"fusions.tsv",
     {},
     "BCR\tchr22\t23632600\t----\t----\tABL1\tchr9\t130713946  \n"
     "no separator on this line\n"
     "\n"
     "EML4\tchr2\t42522656\t----\t----\tALK\tchr2\t29446394\t----\t----\textra"},
    {"not.bam", {}, "not an alignment file\n"},
    {"reads.tsv", {}, "read1/1\t99\tchr1\t100\nread1/2\t147\tchr1\t300\nr/3\t0\tchr2\t5\n\nx\ty/2"},
    // Shards of one file, split by contig, for joins with an index. The VCF's second shard
    // has no index: the join builds its part from the records, through a temporary file.
    {"s1.bcf", {"bcf", "60", "3"}, nullptr, "chr1", "csi"},
    {"s2.bcf", {"bcf", "60", "3"}, nullptr, "chr2", "csi"},
    {"s1.vcf.gz", {"vcf.gz", "60", "3"}, nullptr, "chr1", "tbi"},
    {"s2.vcf.gz", {"vcf.gz", "60", "3"}, nullptr, "chr2", nullptr},
    // Larger ones: several copy buffers each.
    {"l1.bcf", {"bcf", "24000", "4"}, nullptr, "chr1", "csi"},
    {"l2.bcf", {"bcf", "24000", "4"}, nullptr, "chr2", "csi"},
};

const std::vector<Workload> kWorkloads = {
    {"alnforge-quickcheck", {"alnforge", "quickcheck", "-v", "@in.bam", "@in.sam", "@in.cram"}, {}},
    {"alnforge-quickcheck-bad",
     {"alnforge", "quickcheck", "-v", "@in.bam", "@not.bam", "@in.sam"},
     {},
     0,
     4},
    {"alnforge-flags", {"alnforge", "flags", "PAIRED,READ2,DUP"}, {}},
    {"varforge-cat", {"varforge", "cat", "@a.bcf", "@b.bcf"}, {}},
    // Into a pipe, and with inputs large enough for the kernel to splice them.
    {"varforge-cat-pipe", {"varforge", "cat", "@c.bcf", "@d.bcf"}, {}, kPipe},
    // Into a file: a temporary file renamed into place, and with -W its index beside it.
    {"varforge-cat-o", {"varforge", "cat", "-o", "out.bcf", "@s1.bcf", "@s2.bcf"}, {"out.bcf"}},
    {"varforge-cat-W",
     {"varforge", "cat", "-W", "-o", "out.bcf", "@s1.bcf", "@s2.bcf"},
     {"out.bcf", "out.bcf.csi"}},
    {"varforge-cat-W-vcf",
     {"varforge", "cat", "-W", "-o", "out.vcf.gz", "@s1.vcf.gz", "@s2.vcf.gz"},
     {"out.vcf.gz", "out.vcf.gz.tbi"}},
    // Onto another filesystem, where the kernel cannot share extents: the buffered copy.
    {"varforge-cat-W-far",
     {"varforge", "cat", "-W", "-o", "^out.bcf", "@l1.bcf", "@l2.bcf"},
     {"^out.bcf", "^out.bcf.csi"}},
    {"varforge-view", {"varforge", "view", "@a.bcf"}, {}},
    {"varforge-index", {"varforge", "index", "@a.bcf"}, {"a.bcf.csi"}},
    {"junction_gate",
     {"junction_gate", "@junctions.tsv", "10", "0.5", "pass.tsv", "reject.tsv"},
     {"pass.tsv", "reject.tsv"},
     kMsgStdout},
    {"fusion_swap", {"fusion_swap", "@fusions.tsv", "swapped.tsv"}, {"swapped.tsv"}, kMsgStdout},
    {"mate_tag_strip", {"mate_tag_strip", "@reads.tsv", "stripped.tsv"}, {"stripped.tsv"}},
    {"spill_file", {"%modules", "spill"}, {}, kManual},
    {"spill_file-close", {"%modules", "spill-close"}, {}, kManual},
    {"isize_store", {"%modules", "isize"}, {}, kManual},
    {"plp_feeder", {"%modules", "plp"}, {}, kManual},
    {"fmt_opts", {"%modules", "fmt"}, {}, kManual},
    {"report_util", {"%modules", "err"}, {}, kManual | kStderr | kMsgStdout},
};

// Faults found and not yet mended, each named by workload, by the failing call, its kind, or
// "eintr"/"short" for those runs, and by the frame that made the call, so that an entry
// excuses htslib's own unchecked call and nothing else. A bad outcome that matches is counted
// as known-bad, not as a test failure. Take an entry out once its fault is mended; the
// harness says when an entry no longer matches anything.
struct Known {
    const char *workload;  // "NAME*": every workload whose name begins with NAME
    const char *call;
    const char *frame;         // the frame that made the failing call (see calling_frame)
    const char *outcome = "";  // a part of the verdict, when the call alone says too little
};
const Known kKnown[] = {
    // varforge view and index: allocation failures that htslib 1.16 ignores (header lines and
    // fields dropped, numbers and an index written short, a crash in hts_idx_push).
    {"varforge-view", "alloc", "(bcf_hdr_parse_line+"},
    {"varforge-view", "alloc", "(bcf_fmt_array+"},
    {"varforge-view", "alloc", "(vcf_format+"},
    {"varforge-view", "alloc", "(kputd+"},
    {"varforge-index", "alloc", "(hts_idx_finish+"},
    {"varforge-index", "alloc", "(hts_idx_push+"},
    // htslib 1.16's bgzf_close returns early when closing the file fails, and the stream's
    // memory is lost; so is it when a read or seek fails inside its stream layer (the seek of
    // bgzf_check_EOF, say). Seen by the sanitizer build only.
    {"alnforge-quickcheck", "leak", "(hseek+"},
    {"alnforge-quickcheck", "leak", "(hread2+"},
    {"alnforge-quickcheck", "leak", "(hclose+"},
    {"alnforge-quickcheck-bad", "leak", "(hseek+"},
    {"alnforge-quickcheck-bad", "leak", "(hread2+"},
    {"alnforge-quickcheck-bad", "leak", "(hclose+"},
    {"varforge-view", "leak", "(hclose+"},
    {"varforge-index", "leak", "(hclose+"},
    {"varforge-index", "leak", "(hflush+"},
    // The same in cat's index work: reading the inputs' indexes, building one from records,
    // writing the joined file's index (whose closing flush syncs it).
    {"varforge-cat-W*", "leak", "(hclose+"},
    {"varforge-cat-W*", "leak", "(hflush+"},
    {"varforge-cat-W*", "leak", "(hread2+"},
    // htslib 1.16's pileup engine uses allocations it does not check: the feeder cannot see
    // them coming.
    {"plp_feeder", "alloc", "(bam_plp_init+"},
    {"plp_feeder", "alloc", "(bam_plp64_next+"},
    // The index is renamed into place after the output; when that rename fails, the output
    // stays replaced without an index (never beside a stale one), and the run ends with exit
    // status 1 and a message that says so.
    {"varforge-cat-W*", "rename", "/varforge(", "looks whole"},
};

struct Config {
    std::string bin, shim, modules, preload, only, work;
    std::string far;  // a folder on another filesystem than `work`, or empty
    int jobs = 2;
    bool keep = false;
};

struct Run {
    int status = -1;
    int signal = 0;
    bool timed_out = false;
    std::string out, err, report;
    std::vector<std::string> files;  // contents of the workload's outputs ("\x01missing" if none)
    std::vector<unsigned> modes;     // their permission bits
    std::vector<std::string> leftovers;  // other files found in the run's folders
};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "\x01missing";
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool uses_far(const Workload &w) {
    for (const auto &a : w.argv)
        if (a[0] == '^') return true;
    return false;
}

// Where "^name" and "name" of a run in `dir` live; `far` is the run's far directory.
std::string place(const std::string &name, const std::string &dir, const std::string &far) {
    return name[0] == '^' ? far + "/" + name.substr(1) : dir + "/" + name;
}

// The run's far directory: the same relative place under the far root.
std::string far_of(const Config &c, const std::string &dir) {
    return c.far.empty() ? "" : c.far + dir.substr(c.work.size());
}

// Runs the workload once in `dir` (made afresh) with the shim in `mode`; in fail mode call `at`
// of `kind` fails.
Run run_once(const Config &c, const Workload &w, const std::string &dir, const char *mode,
             long at = 0, const std::string &kind = "") {
    const std::string far = uses_far(w) ? far_of(c, dir) : "";
    for (const std::string &d : {dir, far}) {
        if (d.empty()) continue;
        fs::remove_all(d);
        fs::create_directories(d);
    }
    std::vector<std::string> args;
    std::vector<std::string> expected;  // names the run's folders may hold afterwards
    for (const std::string &a : w.argv) {
        if (a[0] == '@') {
            const std::string name = a.substr(1);
            args.push_back(name);
            std::vector<std::string> files = {name};
            for (const Input &in : kInputs)
                if (name == in.name && in.index) files.push_back(name + "." + in.index);
            // A symbolic link, not a hard one: a new hard link changes the input's change
            // time, which a join running beside in another slot rightly takes for a change.
            for (const std::string &f : files) {
                std::error_code ec;
                fs::create_symlink(c.work + "/inputs/" + f, dir + "/" + f, ec);
                if (ec) fs::copy_file(c.work + "/inputs/" + f, dir + "/" + f);
                expected.push_back(dir + "/" + f);
            }
        } else if (a[0] == '^') {
            args.push_back(place(a, dir, far));
        } else if (args.empty()) {
            args.push_back(a == "%modules" ? c.modules : c.bin + "/" + a);
        } else {
            args.push_back(a);
        }
    }
    const std::string out = dir + ".out", err = dir + ".err", rep = dir + ".rep";
    fs::remove(rep);
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "FAULT_", 6) != 0 && strncmp(*e, "LD_PRELOAD=", 11) != 0 &&
            strncmp(*e, "TMPDIR=", 7) != 0)
            env.push_back(*e);
    env.push_back("LD_PRELOAD=" + (c.preload.empty() ? "" : c.preload + ":") + c.shim);
    env.push_back(std::string("FAULT_MODE=") + mode);
    env.push_back("FAULT_AT=" + std::to_string(at));
    env.push_back("FAULT_KIND=" + kind);
    env.push_back("FAULT_REPORT=" + rep);
    env.push_back(std::string("FAULT_STDERR=") + (w.flags & kStderr ? "1" : "0"));
    env.push_back(std::string("FAULT_MANUAL=") + (w.flags & kManual ? "1" : "0"));
    env.push_back("TMPDIR=" + dir);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int p[2] = {-1, -1};
    if (w.flags & kPipe && pipe2(p, O_CLOEXEC) != 0) return Run{};
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = p[1] >= 0 ? p[1] : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 ||
            dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    std::string piped;
    std::thread drain;
    if (p[1] >= 0) {
        close(p[1]);
        drain = std::thread([&piped, fd = p[0]] {
            char buf[65536];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) piped.append(buf, size_t(n));
            close(fd);
        });
    }
    Run r;
    int st = 0;
    timespec nap{0, 200000};
    for (long waited = 0;; waited += nap.tv_nsec) {
        if (waitpid(pid, &st, WNOHANG) == pid) break;
        if (waited > 30'000'000'000L) {  // 30 s: a hang
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            r.timed_out = true;
            break;
        }
        nanosleep(&nap, nullptr);
        if (nap.tv_nsec < 4'000'000) nap.tv_nsec *= 2;
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    if (drain.joinable()) drain.join();
    r.out = p[0] >= 0 ? piped : slurp(out);
    r.err = slurp(err);
    r.report = slurp(rep);
    for (const std::string &f : w.outputs) {
        const std::string path = place(f, dir, far);
        r.files.push_back(slurp(path));
        struct stat st;
        r.modes.push_back(stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0);
        expected.push_back(path);
    }
    for (const std::string &d : {dir, far}) {
        std::error_code ec;
        if (d.empty()) continue;
        for (const auto &e : fs::directory_iterator(d, ec))
            if (std::find(expected.begin(), expected.end(), e.path().string()) == expected.end())
                r.leftovers.push_back(e.path().filename().string());
    }
    return r;
}

bool has_new_line(const std::string &text, const std::string &clean) {
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);)
        if (clean.find(line + "\n") == std::string::npos) return true;
    return false;
}

bool ends_with_eof_block(const std::string &s) {
    return s.size() >= aftest::kBgzfEof.size() &&
           s.compare(s.size() - aftest::kBgzfEof.size(), std::string::npos, aftest::kBgzfEof) == 0;
}

// "injected K KIND CALL [NAME]" from a fail-mode report, or "".
std::string injected_call(const std::string &report, std::string *kind,
                          std::string *name = nullptr) {
    std::istringstream s(report);
    std::string word, k, kd, call;
    if (!(s >> word >> k >> kd >> call) || word != "injected") return "";
    if (kind) *kind = kd;
    std::string rest;
    if (name && std::getline(s, rest) && rest.size() > 1) *name = rest.substr(1);
    return call;
}

// The outcome of a run with one failed call, against the clean run: "" for identical,
// "failed" for a clean failure, anything else names what went wrong.
std::string judge(const Workload &w, const Run &clean, const Run &r) {
    if (r.timed_out) return "hang";
    if (r.err.find("ERROR: LeakSanitizer") != std::string::npos) return "leak";
    if (r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
        return "sanitizer report";
    if (r.signal) return "crash (signal " + std::to_string(r.signal) + ")";
    // A file whose removal was the failed call could not have been removed by anyone.
    std::string kind, removed;
    injected_call(r.report, &kind, &removed);
    for (const std::string &f : r.leftovers)
        if (kind != "remove" || fs::path(removed).filename() != f)
            return "left " + f + " behind (exit status " + std::to_string(r.status) + ")";
    std::vector<std::pair<const std::string *, const std::string *>> outs = {{&r.out, &clean.out}};
    for (size_t i = 0; i < r.files.size(); i++) outs.push_back({&r.files[i], &clean.files[i]});
    bool same = r.status == clean.status && r.modes == clean.modes;
    for (auto [got, want] : outs) same = same && *got == *want;
    if (same) return "";
    if (r.status == 0 && r.modes != clean.modes) return "exit status 0 with a mode changed";
    if (r.status == 0) return "exit status 0 with output changed or lost";
    if (r.status == clean.status && clean.status != 0) return "clean status with output changed";
    if (r.err.empty() && !(w.flags & kMsgStdout && has_new_line(r.out, clean.out)))
        return "exit status " + std::to_string(r.status) + " without a message";
    // A BGZF output that ends in its end-of-file block looks whole to a reader. After a
    // failure that is wrong, unless every output is the clean run's (the failure came after
    // all was done): one put in place without the rest is a half-done commit.
    const bool all_done = r.files == clean.files;
    for (size_t i = 0; i < r.files.size(); i++)
        if (ends_with_eof_block(clean.files[i]) && ends_with_eof_block(r.files[i]) &&
            (r.files[i] != clean.files[i] || !all_done))
            return "failed, but " + w.outputs[i] + " looks whole";
    return "failed";
}

std::vector<int> known_hits(sizeof kKnown / sizeof kKnown[0]);

// The first `n` lines of a report: the failed call and the top of its stack.
std::string first_lines(const std::string &text, int n) {
    size_t at = 0;
    while (n-- > 0 && at != std::string::npos) at = text.find('\n', at + 1);
    return at == std::string::npos ? text : text.substr(0, at + 1);
}

// The frame that made the failed call: the first line of the report's stack that lies outside
// the shim, the C library and the sanitizer runtime, and is not one of htslib's unnamed
// internal functions.
std::string calling_frame(const std::string &report) {
    std::istringstream s(report);
    std::string line;
    std::getline(s, line);  // "injected K KIND CALL"
    while (std::getline(s, line))
        if (line.find("fault_shim") == std::string::npos &&
            line.find("libc.so") == std::string::npos &&
            line.find("libasan.so") == std::string::npos &&
            (line.find("libhts.so") == std::string::npos || line.find("(+0x") == std::string::npos))
            return line;
    return "";
}

bool is_workload(const char *pattern, const std::string &name) {
    const size_t n = strlen(pattern);
    return n && pattern[n - 1] == '*' ? name.compare(0, n - 1, pattern, n - 1) == 0
                                      : name == pattern;
}

// Whether a bad outcome of `w` is a known one: `what` is the failing call (an entry "printf"
// also matches "vprintf", the name the sanitizer runtime passes it on under), its kind, the
// run's mode, or "leak"; the call must come from the entry's frame, and `verdict` must hold
// the entry's outcome.

bool known(const Workload &w, std::initializer_list<std::string> what, const std::string &report,
           const std::string &verdict) {
    const std::string frame = calling_frame(report);
    for (size_t i = 0; i < known_hits.size(); i++)
        for (const std::string &name : what)
            if (is_workload(kKnown[i].workload, w.name) &&
                name.find(kKnown[i].call) != std::string::npos &&
                frame.find(kKnown[i].frame) != std::string::npos &&
                verdict.find(kKnown[i].outcome) != std::string::npos) {
                known_hits[i]++;
                return true;
            }
    return false;
}

// Runs one workload through all its faults and prints its summary. Returns the number of
// bad outcomes that are not known.
int run_workload(const Config &c, const Workload &w) {
    if (uses_far(w) && c.far.empty()) {
        printf("fault: %s skipped: no folder on a second filesystem\n", w.name);
        return 0;
    }
    const std::string base = c.work + "/" + w.name;
    Run clean = run_once(c, w, base + "/clean", "count");
    if (!clean.leftovers.empty()) {
        printf("fault: %s: the clean run left %s behind\n", w.name, clean.leftovers[0].c_str());
        return 1;
    }
    std::istringstream counts(clean.report);
    std::string word;
    long n = 0;
    std::map<std::string, long> by_kind;
    std::vector<std::string> kinds;
    if (counts >> word >> n && word == "calls") {
        std::string kind;
        long v;
        while (counts >> kind >> v) {
            by_kind[kind] = v;
            kinds.push_back(kind);
        }
    }
    if (n == 0 && clean.status == w.clean_status &&
        !clean.signal) {  // allocations only, under the sanitizers
        printf("fault: %s calls=0\n", w.name);
        return 0;
    }
    if (clean.status != w.clean_status || clean.signal || n == 0) {
        printf("fault: %s: the clean run failed (status %d, signal %d, %ld calls)\n%s", w.name,
               clean.status, clean.signal, n, clean.err.c_str());
        return 1;
    }

    // Call k of the whole run, as the j-th call of its kind: numbered so, the calls that the
    // program's main thread makes stay put while other threads' calls move.
    std::vector<std::pair<std::string, long>> call_at(size_t(n) + 1);
    size_t at = 1;
    for (const std::string &kind : kinds)
        for (long j = 1; j <= by_kind[kind] && at < call_at.size(); j++) call_at[at++] = {kind, j};
    std::vector<std::string> verdict(size_t(n) + 1), reports(size_t(n) + 1);
    std::atomic<long> next{1};
    std::vector<std::thread> pool;
    for (int t = 0; t < c.jobs; t++) {
        pool.emplace_back([&, t] {
            const std::string dir = base + "/slot" + std::to_string(t);
            for (long k; (k = next++) <= n;) {
                Run r = run_once(c, w, dir, "fail", call_at[size_t(k)].second,
                                 call_at[size_t(k)].first);
                verdict[size_t(k)] = judge(w, clean, r);
                reports[size_t(k)] = r.report;
            }
        });
    }
    for (auto &t : pool) t.join();

    int failed = 0, identical = 0, bad = 0, known_bad = 0, unreached = 0;
    for (long k = 1; k <= n; k++) {
        const std::string &v = verdict[size_t(k)];
        if (reports[size_t(k)].find("injected") == std::string::npos) unreached++;
        if (v.empty()) {
            identical++;
        } else if (v == "failed") {
            failed++;
        } else {
            std::string kind, call = injected_call(reports[size_t(k)], &kind);
            if (known(w,
                      v == "leak" ? std::initializer_list<std::string>{"leak"}
                                  : std::initializer_list<std::string>{call, kind},
                      reports[size_t(k)], v)) {
                known_bad++;
                continue;
            }
            bad++;
            printf("fault: %s: %s call %ld (%s) failing: %s\n%s", w.name,
                   call_at[size_t(k)].first.c_str(), call_at[size_t(k)].second, call.c_str(),
                   v.c_str(), first_lines(reports[size_t(k)], 8).c_str());
        }
    }
    std::string moves;
    for (const char *mode : {"eintr", "short"}) {
        Run r = run_once(c, w, base + "/slot0", mode);
        std::string v = judge(w, clean, r);
        const bool is_known = !v.empty() && known(w, {mode}, r.report, v);
        moves += std::string(" ") + mode + "=" +
                 (v.empty()  ? "identical"
                  : is_known ? "known-bad"
                             : "BAD");
        if (!v.empty() && !is_known) {
            bad++;
            printf("fault: %s: %s run: %s (not identical)\n%s", w.name, mode, v.c_str(),
                   r.err.c_str());
        }
    }
    std::string split;
    for (const std::string &k : kinds)
        if (by_kind[k]) split += (split.empty() ? "" : ", ") + k + " " + std::to_string(by_kind[k]);
    printf("fault: %s calls=%ld (%s) injected=%ld failed-cleanly=%d identical=%d bad=%d", w.name, n,
           split.c_str(), n - unreached, failed, identical, bad);
    if (known_bad) printf(" known-bad=%d", known_bad);
    if (unreached) printf(" not-reached=%d", unreached);  // the run made fewer calls
    printf("%s\n", moves.c_str());
    fflush(stdout);
    return bad;
}

// The af_fixture variants of one contig, written as `format` ("bcf" or "vcf.gz").
bool write_contig(const std::string &path, const Input &in) {
    const std::string text = aftest::variant_text(
        aftest::shape(atoi(in.fixture[1].c_str()), uint32_t(atoi(in.fixture[2].c_str()))));
    const auto [header, records] = aftest::split_header(text, '#');
    std::string kept = header;
    for (const std::string &r : records)
        if (r.compare(0, strlen(in.contig) + 1, std::string(in.contig) + "\t") == 0)
            kept += r + "\n";
    try {
        aftest::write_bcf_text(path, kept, aftest::Layout::kShared,
                               in.fixture[0] == "bcf" ? "wb" : "wz");
    } catch (const std::exception &e) {
        fprintf(stderr, "fault_harness: %s\n", e.what());
        return false;
    }
    return true;
}

// Writes the inputs once.
bool write_inputs(const Config &c) {
    const std::string dir = c.work + "/inputs";
    fs::create_directories(dir);
    for (const Input &in : kInputs) {
        const std::string path = dir + "/" + in.name;
        if (in.text) {
            std::ofstream(path, std::ios::binary) << in.text;
            continue;
        }
        if (in.contig) {
            if (!write_contig(path, in)) return false;
            const int r = !in.index ? 0
                          : strcmp(in.index, "csi") == 0
                              ? bcf_index_build(path.c_str(), 14)
                              : tbx_index_build(path.c_str(), 0, &tbx_conf_vcf);
            if (r != 0) {
                fprintf(stderr, "fault_harness: cannot index %s\n", path.c_str());
                return false;
            }
            continue;
        }
        std::string cmd = c.bin + "/af_fixture " + in.fixture[0] + " " + path;
        for (size_t i = 1; i < in.fixture.size(); i++) cmd += " " + in.fixture[i];
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "fault_harness: cannot write %s\n", path.c_str());
            return false;
        }
    }
    return true;
}

// A new folder on another filesystem than `work` (FAULT_FAR_DIR, else the first of a few
// usual places that is one), or "".
std::string far_root(const std::string &work) {
    struct stat here;
    if (stat(work.c_str(), &here) != 0) return "";
    const char *given = getenv("FAULT_FAR_DIR");
    for (const char *dir : {given ? given : "", "/dev/shm", "/run/user", "/var/tmp", "."}) {
        struct stat there;
        if (!*dir || stat(dir, &there) != 0 || there.st_dev == here.st_dev) continue;
        std::string pattern = fs::absolute(dir).string() + "/fault_harness_far.XXXXXX";
        if (mkdtemp(pattern.data())) return pattern;
    }
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    Config c;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], val = argv[i + 1];
        // The programs run in folders of their own: paths must not be relative.
        if (opt == "--bin") c.bin = fs::absolute(val);
        if (opt == "--shim") c.shim = fs::absolute(val);
        if (opt == "--modules") c.modules = fs::absolute(val);
        if (opt == "--preload") c.preload = val;
        if (opt == "--jobs") c.jobs = std::max(1, atoi(val.c_str()));
        if (opt == "--only") c.only = val;
        if (opt == "--keep") c.keep = val == "1";
    }
    if (c.bin.empty() || c.shim.empty() || c.modules.empty()) {
        fprintf(stderr,
                "Usage: fault_harness --bin DIR --shim LIB --modules PROG [--preload LIB] "
                "[--jobs N] [--only NAME] [--keep 1]\n");
        return 2;
    }
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fault_harness.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        perror(pattern.c_str());
        return 2;
    }
    c.work = buf.data();
    c.far = far_root(c.work);
    int bad = 0;
    if (write_inputs(c)) {
        for (const Workload &w : kWorkloads)
            if (c.only.empty() || c.only == w.name) bad += run_workload(c, w);
    } else {
        bad = 1;
    }
    for (size_t i = 0; i < known_hits.size(); i++)
        // Leaks show in the sanitizer build only, allocation failures in the plain one only.
        if (!known_hits[i] && (c.only.empty() || is_workload(kKnown[i].workload, c.only)) &&
            std::string(kKnown[i].call) != (c.preload.empty() ? "leak" : "alloc"))
            printf("fault: known fault of %s on %s in %s no longer seen: take it off the list\n",
                   kKnown[i].workload, kKnown[i].call, kKnown[i].frame);
    if (c.keep) {
        printf("fault: kept %s %s\n", c.work.c_str(), c.far.c_str());
    } else {
        fs::remove_all(c.work);
        if (!c.far.empty()) fs::remove_all(c.far);
    }
    return bad ? 1 : 0;
}
