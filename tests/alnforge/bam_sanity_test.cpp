// quickcheck, run as `alnforge quickcheck` processes on files written through htslib.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "process.h"
#include "servers.h"

namespace {

using aftest::ProcResult;

const std::string kUsage = R"(Usage: alnforge quickcheck [options] <input> [...]
Options:
  -v              verbose output (repeat for more verbosity)
  -q              suppress warning messages

Notes:

1. By default quickcheck will emit a warning message if and only if a file
   fails the checks, in which case the exit status is non-zero.  Under normal
   behaviour with valid data it will be silent and has a zero exit status.
   The warning messages are purely for manual inspection and should not be 
   parsed by scripts.

2. In order to use this command programmatically, you should check its exit
   status.  One way to use quickcheck might be as a check that all BAM files in
   a directory are okay:

	alnforge quickcheck *.bam && echo 'all ok' \
	   || echo 'fail!'

   The first level of verbosity lists only files that fail to stdout.
   To obtain a parsable list of files that have failed, use this option:

	alnforge quickcheck -qv *.bam > bad_bams.fofn \
	   && echo 'all ok' \
	   || echo 'some files failed check, see bad_bams.fofn'
)";

ProcResult qc(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), {aftest::bin("alnforge"), "quickcheck"});
    return aftest::run(args, input);
}

// One directory of sample inputs shared by every test in this file.
class QuickcheckTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        dir_ = new aftest::TempDir();
        aftest::AlnShape shape;
        shape.n_records = 200;
        aftest::write_alignments(f("good.bam"), "bam", shape);
        aftest::write_alignments(f("good.sam"), "sam", shape);
        shape.reference = f("ref.fa");
        aftest::write_reference(shape.reference);
        aftest::write_alignments(f("good.cram"), "cram", shape);
        aftest::AlnShape noref;
        noref.with_targets = false;
        aftest::write_alignments(f("noref.sam"), "sam", noref);
        aftest::write_alignments(f("noref.bam"), "bam", noref);
        aftest::VarShape vs;
        aftest::write_variants(f("a.vcf"), "vcf", vs);
        aftest::write_variants(f("a.bcf"), "bcf", vs);
        aftest::write_variants(f("a.vcf.gz"), "vcf.gz", vs);

        std::string bam = aftest::read_file(f("good.bam"));
        aftest::write_file(f("noeof.bam"), bam.substr(0, bam.size() - 28));
        aftest::write_file(f("half.bam"), bam.substr(0, bam.size() / 2));
        aftest::write_file(f("headcut.bam"), bam.substr(0, 30));
        std::string cram = aftest::read_file(f("good.cram"));
        aftest::write_file(f("noeof.cram"), cram.substr(0, cram.size() - 38));
        aftest::write_file(f("empty"), "");
        std::mt19937 rng(3);
        std::string noise(4096, '\0');
        for (auto &c : noise) c = char(rng());
        aftest::write_file(f("random.bin"), noise);
        mkdir(f("subdir").c_str(), 0755);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string f(const std::string &name) { return dir_->file(name); }
    static aftest::TempDir *dir_;
};
aftest::TempDir *QuickcheckTest::dir_ = nullptr;

TEST_F(QuickcheckTest, UsageWithoutFilesGoesToStdout) {
    ProcResult r = qc({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.out.size(), 1023u);
    EXPECT_EQ(r.err, "");
    r = qc({"-v", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
}

TEST_F(QuickcheckTest, UnknownOptionPrintsDiagnosticThenUsageOnStderr) {
    ProcResult r = qc({"-x", f("good.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quickcheck: invalid option -- 'x'\n" + kUsage);
}

// Verdict of single files, without options: exit status, stdout and stderr.
TEST_F(QuickcheckTest, SingleFileVerdicts) {
    struct Case {
        std::string file;
        int status;
        std::string warning;  // "%s" stands for the file name
    };
    const std::vector<Case> cases = {
        {"good.bam", 0, ""},
        {"good.sam", 0, ""},
        {"good.cram", 0, ""},
        {"noeof.bam", 0x10, "%s was missing EOF block when one should be present.\n"},
        {"half.bam", 0x10, "%s was missing EOF block when one should be present.\n"},
        // Cut inside the header: htslib also reports the failed read when closing.
        {"headcut.bam", 0x38,
         "%s caused an error whilst reading its header.\n"
         "%s was missing EOF block when one should be present.\n"
         "%s did not close cleanly.\n"},
        {"noeof.cram", 0x10, "%s was missing EOF block when one should be present.\n"},
        {"noref.sam", 0x8, "%s had no targets in header.\n"},
        {"noref.bam", 0x8, "%s had no targets in header.\n"},
        {"a.vcf", 0x4, "%s was not identified as sequence data.\n"},
        {"a.bcf", 0x4, "%s was not identified as sequence data.\n"},
        {"a.vcf.gz", 0x4, "%s was not identified as sequence data.\n"},
        {"empty", 0x4, "%s was not identified as sequence data.\n"},
        {"random.bin", 0x2, "%s could not be opened for reading.\n"},
        {"subdir", 0x2, "%s could not be opened for reading.\n"},
        {"does-not-exist.bam", 0x2, "%s could not be opened for reading.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::string name = f(c.file);
        std::string expect_err;
        for (size_t i = 0; i < c.warning.size(); i++) {
            if (c.warning.compare(i, 2, "%s") == 0) {
                expect_err += name;
                i++;
            } else {
                expect_err += c.warning[i];
            }
        }
        ProcResult r = qc({name});
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, expect_err);
        // -q silences warnings; one -v lists failing names on stdout.
        r = qc({"-qv", name});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.status ? name + "\n" : "");
    }
}

TEST_F(QuickcheckTest, QuietAndVerbosityCombinations) {
    std::string missing = f("missing.bam");
    std::string warn = missing + " could not be opened for reading.\n";
    struct Case {
        std::vector<std::string> opts;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {{}, "", warn},
        {{"-q"}, "", ""},
        {{"-q", "-v"}, missing + "\n", ""},
        {{"-v"}, missing + "\n", warn},
        {{"-q", "-v", "-v"}, missing + "\n", "verbosity set to 2\n" + warn},
        {{"-qvv"}, missing + "\n", "verbosity set to 2\n" + warn},
        {{"-vvv"}, missing + "\n", "verbosity set to 3\nchecking " + missing + "\n" + warn},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.opts;
        args.push_back(missing);
        ProcResult r = qc(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(QuickcheckTest, ProgressMessagesAtThreeVerbose) {
    std::string bam = f("good.bam"), sam = f("good.sam");
    ProcResult r = qc({"-vvv", bam, sam});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "verbosity set to 3\n"
              "checking " +
                  bam + "\nopened " + bam + "\n" + bam + " is sequence data\n" + bam +
                  " has 2 targets in header.\n" + bam +
                  " has good EOF block.\n"
                  "checking " +
                  sam + "\nopened " + sam + "\n" + sam + " is sequence data\n" + sam +
                  " has 2 targets in header.\n" + sam +
                  " cannot be checked for EOF block because its filetype does not contain "
                  "one.\n");
}

TEST_F(QuickcheckTest, StatusBitsAccumulateOverFiles) {
    ProcResult r = qc({f("missing.bam"), f("noeof.bam")});
    EXPECT_EQ(r.status, 0x12);
    r = qc({"-q", f("missing.bam"), f("a.bcf"), f("noref.sam"), f("noeof.bam"), f("good.bam")});
    EXPECT_EQ(r.status, 0x2 | 0x4 | 0x8 | 0x10);
    // A failing file does not stop the loop: the good file after it is still examined.
    r = qc({"-vvv", f("missing.bam"), f("good.bam")});
    EXPECT_NE(r.err.find(f("good.bam") + " has good EOF block.\n"), std::string::npos);
    EXPECT_EQ(r.out, f("missing.bam") + "\n");
}

TEST_F(QuickcheckTest, FourVerboseLetsLibraryMessagesThrough) {
    ProcResult r3 = qc({"-vvv", f("headcut.bam")});
    ProcResult r4 = qc({"-vvvv", f("headcut.bam")});
    EXPECT_EQ(r3.status, 0x38);
    EXPECT_EQ(r4.status, 0x38);
    EXPECT_EQ(r4.err.rfind("verbosity set to 4\n", 0), 0u);
    EXPECT_EQ(r3.err.find("[E::"), std::string::npos);
    EXPECT_NE(r4.err.find("[E::"), std::string::npos);
}

TEST_F(QuickcheckTest, StandardInputPipeIsNotSeekable) {
    ProcResult r = qc({"-vvv", "-"}, aftest::read_file(f("good.bam")));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("- cannot be checked for EOF block as it is not seekable.\n"),
              std::string::npos);
}

TEST_F(QuickcheckTest, FifoIsNotSeekable) {
    std::string fifo = f("pipe.bam");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string bam = aftest::read_file(f("good.bam"));
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);
        if (fd >= 0) {
            signal(SIGPIPE, SIG_IGN);
            ssize_t w = write(fd, bam.data(), bam.size());
            (void)w;
            close(fd);
        }
    });
    ProcResult r = qc({"-vvv", fifo});
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(fifo + " cannot be checked for EOF block as it is not seekable.\n"),
              std::string::npos);
}

// Remote files through htslib's network layer, from a web server and from an S3 store, get
// the verdicts of the same files read locally. A web server that ignores Range requests leaves
// htslib a stream it cannot seek: the end-of-file check is then impossible, as for a pipe, and
// with -vvv quickcheck says so. A missing object and a refused connection are files that
// cannot be opened (0x2).
TEST_F(QuickcheckTest, RemoteFilesGetTheVerdictsOfLocalOnes) {
    const std::vector<std::string> names = {"good.bam",   "good.cram", "noeof.bam",
                                            "noeof.cram", "noref.bam", "a.bcf"};
    aftest::TempDir store;
    AF_START_SERVER(web, aftest::ServerKind::kWeb, dir_->path());
    AF_START_SERVER(norange, aftest::ServerKind::kWebNoRange, dir_->path());
    AF_START_SERVER(s3, aftest::ServerKind::kS3, store.path());
    ASSERT_EQ(aftest::s3(s3.port(), {"mb", "shards"}).err, "");
    for (const auto &name : names)
        ASSERT_EQ(aftest::s3(s3.port(), {"put", "shards", "in/" + name, f(name)}).err, "");
    const aftest::Env env = aftest::s3_env(s3.port());
    auto replace_all = [](std::string text, const std::string &from, const std::string &to) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
        return text;
    };
    for (const auto &name : names) {
        const ProcResult local = qc({"-v", f(name)});
        for (const std::string &url : {web.url(name), "s3+http://shards/in/" + name}) {
            ProcResult r = aftest::run({aftest::bin("alnforge"), "quickcheck", "-v", url}, "", env);
            EXPECT_EQ(r.status, local.status) << url << "\n" << r.err;
            EXPECT_EQ(r.out, replace_all(local.out, f(name), url)) << url;
            EXPECT_EQ(r.err, replace_all(local.err, f(name), url)) << url;
        }
        const std::string url = norange.url(name);
        ProcResult r = qc({"-vvv", url});
        const std::string seek = url + " cannot be checked for EOF block as it is not seekable.\n";
        // Every verdict but the missing end-of-file block (0x10), which cannot be seen.
        EXPECT_EQ(r.status, local.status & ~0x10) << url << "\n" << r.err;
        EXPECT_NE(r.err.find(seek), std::string::npos) << r.err;
    }
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(aftest::closed_port()) + "/good.bam";
    for (const std::string &url :
         {web.url("missing.bam"), refused, std::string("s3+http://shards/in/missing.bam")}) {
        ProcResult r = aftest::run({aftest::bin("alnforge"), "quickcheck", "-v", url}, "", env);
        EXPECT_EQ(r.status, 0x2) << url << "\n" << r.err;
        EXPECT_EQ(r.out, url + "\n") << url;
        EXPECT_EQ(r.err, url + " could not be opened for reading.\n") << url;
    }
}

// Files checked several at once give the output and status of checking them one by one, in
// argument order, for a random mix of local and remote, good and bad files.
TEST_F(QuickcheckTest, ManyAtOnceMatchOneByOne) {
    AF_START_SERVER(web, aftest::ServerKind::kWeb, dir_->path());
    std::vector<std::string> pool = {"good.bam", "good.sam",    "good.cram",  "noeof.bam",
                                     "half.bam", "headcut.bam", "noeof.cram", "noref.sam",
                                     "a.bcf",    "empty",       "random.bin", "missing.bam"};
    std::vector<std::string> names;
    for (const auto &n : pool) {
        names.push_back(f(n));
        if (n != "empty") names.push_back(web.url(n));
    }
    names.push_back("http://127.0.0.1:" + std::to_string(aftest::closed_port()) + "/good.bam");
    std::mt19937 rng(27);
    for (const char *opts : {"", "-v", "-qv", "-vvv", "-vvvv"}) {
        std::vector<std::string> files;
        for (int i = 0; i < 40; i++) files.push_back(names[rng() % names.size()]);
        std::vector<std::string> args = files;
        if (*opts) args.insert(args.begin(), opts);
        ProcResult one = qc(args);
        args.insert(args.begin(), {"-j", "8"});
        ProcResult many = qc(args);
        SCOPED_TRACE(opts);
        EXPECT_NE(one.status, 0);
        EXPECT_EQ(many.status, one.status);
        EXPECT_EQ(many.out, one.out);
        EXPECT_EQ(many.err, one.err);
    }
}

TEST_F(QuickcheckTest, JobsMustBeAFileCount) {
    for (const char *bad : {"0", "-2", "x", "3x", "", "257"}) {
        ProcResult r = qc({"-j", bad, f("good.bam")});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err,
                  "alnforge quickcheck: -j/--jobs takes a number of files from 1 to 256, not '" +
                      std::string(bad) + "'\n");
    }
    EXPECT_EQ(qc({"--jobs=256", f("good.bam"), f("good.cram")}).status, 0);
}

}  // namespace
