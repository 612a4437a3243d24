// Benchmark of the three table programs. For each one it writes a table of LINES lines
// (2 million by default; `tables LINES` to change) and times, in the same run and
// interleaved, three ways of doing the job:
//   the program itself;
//   an awk script doing the same job with fflush() after every line (gawk when installed,
//   else the system awk; the one used is printed);
//   the floor: a C loop that reads each line with getline and writes it with one write(2).
// Each is run 5 times and the fastest wall time kept (the verdicts use it; processor times,
// less sensitive to a busy machine, are shown beside); the program's peak resident memory is
// the largest seen. Prints one line per figure with its ratio and target.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kReps = 5;

struct Timing {
    double seconds = 1e300;  // fastest run, wall clock
    double cpu = 1e300;      // least processor time (user + system) of a run
    long peak_kib = 0;       // largest peak resident set
    bool ok = true;
};

// Runs argv with standard output sent to /dev/null; returns wall time and peak memory.
// The outputs of earlier runs are removed and written back first, so that no run pays for
// another's truncation or write-back.
bool run_once(const std::vector<std::string> &argv, const std::string &work, double &seconds,
              double &cpu, long &peak_kib) {
    for (const char *name : {"p1", "p2", "a1", "a2", "f1"}) std::remove((work + name).c_str());
    sync();
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status;
    rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) return false;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    peak_kib = ru.ru_maxrss;
    auto secs = [](const timeval &tv) { return double(tv.tv_sec) + tv.tv_usec / 1e6; };
    cpu = secs(ru.ru_utime) + secs(ru.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string find_in_path(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string cand = p.substr(start, end - start) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0) return cand;
        start = end + 1;
    }
    return "";
}

// The three tables: realistic shapes, every line routed or rewritten.
void write_tables(const std::string &dir, long lines) {
    std::ofstream j(dir + "/junctions.tsv"), f(dir + "/fusions.tsv"), m(dir + "/reads.tsv");
    j << "#name\tstart\tend\tchrom\tscore\tstrand\ta\tb\tmotif\tc\tleft\tright\tq\td\tx\ty\t"
         "ratio\tsupport\te\tf\n";
    char buf[512];
    for (long i = 0; i < lines; ++i) {
        long pos = 10000 + i * 37;
        int n = std::snprintf(buf, sizeof buf,
                              "JUNC%ld\t%ld\t%ld\tchr%ld\t%ld\t+\t7\t8\tGT/AG\t10\tACGTAC\tTTGACA\t"
                              "1.5\t3\tc\td\t0.%02ld\t%ld\t4\t0.5\n",
                              i, pos, pos + 250, i % 22 + 1, i % 97, i % 100, i % 200);
        j.write(buf, n);
        n = std::snprintf(buf, sizeof buf,
                          "GENEA%ld\tchr1\t%ld\t+\t----\t----\tGENEB%ld\tchr7\t%ld\t-  \n", i, pos,
                          i % 1000, pos * 3);
        f.write(buf, n);
        n = std::snprintf(buf, sizeof buf, "read%ld/%ld\t%d\tchr2\t%ld\t60\t100M\n", i, i % 2 + 1,
                          i % 2 ? 147 : 99, pos);
        m.write(buf, n);
    }
}

struct Job {
    const char *name;
    std::vector<std::string> program, awk, floor;
};

}  // namespace

int main(int argc, char **argv) {
    long lines = argc > 1 ? std::atol(argv[1]) : 2000000;
    const char *bin_env = std::getenv("AF_BIN_DIR");
    std::string bin = bin_env ? bin_env : AF_BIN_DIR;
    const char *build_env = std::getenv("AF_BUILD_DIR");
    std::string work = std::string(build_env ? build_env : "/tmp") + "/bench-tables";
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    std::string awk = find_in_path("gawk");
    if (awk.empty()) awk = find_in_path("awk");
    if (awk.empty()) {
        std::printf("tables: no awk found\n");
        return 1;
    }
    std::string awk_real = std::filesystem::canonical(awk).string();
    std::printf("tables: %ld lines per table; awk baseline %s (%s); floor %s\n", lines, awk.c_str(),
                awk_real.c_str(), TABLES_FLOOR);
    std::fflush(stdout);
    write_tables(work, lines);

    const std::string w = work + "/";
    const std::string floor = TABLES_FLOOR;
    const std::vector<Job> jobs = {
        {"junction_gate",
         {bin + "/junction_gate", w + "junctions.tsv", "100", "0.5", w + "p1", w + "p2"},
         {awk, "-v", "o1=" + w + "a1", "-v", "o2=" + w + "a2",
          "NR == 1 { print > o1; fflush(o1); print > o2; fflush(o2); next }\n"
          "$0 == \"\" { next }\n"
          "{ if ($17 + 0 >= 0.5 && $18 % 65536 < 100) { print > o1; fflush(o1); p++ }\n"
          "  else { print > o2; fflush(o2); r++ } }\n"
          "END { print \"in filtered 1hits junction: \" p + 0\n"
          "      print \"not in filtered 1hits junction: \" r + 0 }",
          w + "junctions.tsv"},
         {floor, w + "junctions.tsv", w + "f1"}},
        {"fusion_swap",
         {bin + "/fusion_swap", w + "fusions.tsv", w + "p1"},
         {awk, "-v", "o=" + w + "a1",
          "BEGIN { s = \"\\t----\\t----\\t\" }\n"
          "$0 == \"\" { next }\n"
          "{ i = index($0, s); if (!i) { print > o; fflush(o); next }\n"
          "  l = substr($0, 1, i - 1); r = substr($0, i + 11); sub(/[ \\t]+$/, \"\", r)\n"
          "  print r s l > o; fflush(o) }",
          w + "fusions.tsv"},
         {floor, w + "fusions.tsv", w + "f1"}},
        {"mate_tag_strip",
         {bin + "/mate_tag_strip", w + "reads.tsv", w + "p1"},
         {awk, "-v", "o=" + w + "a1",
          "{ i = index($0, \"\\t\"); line = $0\n"
          "  if (i >= 4 && substr(line, i - 2, 1) == \"/\" && substr(line, i - 1, 1) ~ /^[12]$/)\n"
          "    line = substr(line, 1, i - 3) substr(line, i)\n"
          "  print line > o; fflush(o) }",
          w + "reads.tsv"},
         {floor, w + "reads.tsv", w + "f1"}},
    };

    bool all_met = true;
    for (const Job &job : jobs) {
        Timing t[3];
        const std::vector<std::string> *cmds[3] = {&job.program, &job.awk, &job.floor};
        for (int rep = 0; rep < kReps; ++rep) {
            for (int k = 0; k < 3; ++k) {
                double s = 0, cpu = 0;
                long kib = 0;
                if (!run_once(*cmds[k], w, s, cpu, kib)) t[k].ok = false;
                t[k].seconds = std::min(t[k].seconds, s);
                t[k].cpu = std::min(t[k].cpu, cpu);
                t[k].peak_kib = std::max(t[k].peak_kib, kib);
            }
        }
        if (!t[0].ok || !t[1].ok || !t[2].ok) {
            std::printf("%s: a run failed (program %d, awk %d, floor %d)\n", job.name, t[0].ok,
                        t[1].ok, t[2].ok);
            all_met = false;
            continue;
        }
        double vs_awk = t[1].seconds / t[0].seconds;
        double vs_floor = t[0].seconds / t[2].seconds;
        double mib = t[0].peak_kib / 1024.0;
        bool m1 = vs_awk >= 2.0, m2 = vs_floor <= 1.3, m3 = mib < 8.0;
        all_met = all_met && m1 && m2 && m3;
        std::printf(
            "%s: wall program %.2f s, awk %.2f s, floor %.2f s; processor time "
            "program %.2f s, awk %.2f s, floor %.2f s (best of %d, %ld lines)\n",
            job.name, t[0].seconds, t[1].seconds, t[2].seconds, t[0].cpu, t[1].cpu, t[2].cpu, kReps,
            lines);
        std::printf(
            "%s: %.2fx faster than awk with fflush per line (target >= 2x): %s "
            "[processor time %.2fx]\n",
            job.name, vs_awk, m1 ? "met" : "NOT met", t[1].cpu / t[0].cpu);
        std::printf(
            "%s: %.2fx the getline+write(2) floor (target <= 1.3x): %s "
            "[processor time %.2fx]\n",
            job.name, vs_floor, m2 ? "met" : "NOT met", t[0].cpu / t[2].cpu);
        std::printf("%s: peak memory %.1f MiB (awk %.1f MiB, floor %.1f MiB; target < 8 MiB): %s\n",
                    job.name, mib, t[1].peak_kib / 1024.0, t[2].peak_kib / 1024.0,
                    m3 ? "met" : "NOT met");
        std::fflush(stdout);
    }
    std::filesystem::remove_all(work);
    std::printf("tables: %s\n", all_met ? "all targets met" : "some targets not met");
    return 0;
}
