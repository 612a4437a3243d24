// The quickcheck subcommand: a fast usability check of alignment files that reads no
// records. Each file's verdict is a set of status bits; the result is their OR.
#include <getopt.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "stdout_end.h"

namespace {

// The status bits of one file; the command's result is their OR over all files.
enum : int {
    kUnopenable = 0x2,
    kNotSequence = 0x4,
    kBadHeader = 0x8,
    kBadEof = 0x10,
    kBadClose = 0x20,
    // Not a file's verdict: standard output lost what was written to it (the list of failing
    // names, the usage). ORed onto the verdicts, which stay as they were.
    kOutputLost = ALNFORGE_QUICKCHECK_OUTPUT_LOST,
};

// Options besides -v and -q: help and version, which end the run at once, and -j, the number
// of files checked at once.
enum : int { kVersionOption = 1 };
const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, kVersionOption},
                               {"jobs", required_argument, nullptr, 'j'},
                               {nullptr, 0, nullptr, 0}};

// The most files checked at once: one thread, one open file and (remotely) one connection each.
constexpr int kMaxJobs = 256;

// 1023 bytes, written with a single write.
const char kUsage[] =
    "Usage: alnforge quickcheck [options] <input> [...]\n"
    "Options:\n"
    "  -v              verbose output (repeat for more verbosity)\n"
    "  -q              suppress warning messages\n"
    "\n"
    "Notes:\n"
    "\n"
    "1. By default quickcheck will emit a warning message if and only if a file\n"
    "   fails the checks, in which case the exit status is non-zero.  Under normal\n"
    "   behaviour with valid data it will be silent and has a zero exit status.\n"
    "   The warning messages are purely for manual inspection and should not be \n"
    "   parsed by scripts.\n"
    "\n"
    "2. In order to use this command programmatically, you should check its exit\n"
    "   status.  One way to use quickcheck might be as a check that all BAM files in\n"
    "   a directory are okay:\n"
    "\n"
    "\talnforge quickcheck *.bam && echo 'all ok' \\\n"
    "\t   || echo 'fail!'\n"
    "\n"
    "   The first level of verbosity lists only files that fail to stdout.\n"
    "   To obtain a parsable list of files that have failed, use this option:\n"
    "\n"
    "\talnforge quickcheck -qv *.bam > bad_bams.fofn \\\n"
    "\t   && echo 'all ok' \\\n"
    "\t   || echo 'some files failed check, see bad_bams.fofn'\n";

static_assert(sizeof kUsage - 1 == 1023, "quickcheck usage text must be 1023 bytes");

void usage_quickcheck(FILE *write_to) {
    fwrite(kUsage, 1, sizeof kUsage - 1, write_to);
}

// The help that -h and --help print: the usage text with the help and version options
// among its options.
void help_quickcheck() {
    const std::string_view usage(kUsage, sizeof kUsage - 1);
    const size_t options_end = usage.find("\n\n") + 1;
    fwrite(usage.data(), 1, options_end, stdout);
    fputs(
        "  -j, --jobs N    check N files at once (1 to 256) [1]; the messages, the list\n"
        "                  and the exit status are those of checking them one by one\n"
        "  -h, --help      print this help and exit\n"
        "  --version       print the version and exit\n",
        stdout);
    fwrite(usage.data() + options_end, 1, usage.size() - options_end, stdout);
}

// Where one file's messages go: straight to standard error when files are checked one at a
// time, so that each appears as its step happens (among htslib's own at -vvvv), or into the
// file's own text when several files are checked at once, for the caller to write out in
// argument order. A text that cannot grow is marked lost, and the caller checks that file
// again, writing straight to standard error.
class Messages {
   public:
    explicit Messages(std::string *kept) : kept_(kept) {}
    bool lost() const { return lost_; }

    __attribute__((format(printf, 2, 3))) void say(const char *fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        if (!kept_) {
            vfprintf(stderr, fmt, ap);
        } else if (!lost_) {
            va_list again;
            va_copy(again, ap);
            int n = vsnprintf(nullptr, 0, fmt, again);
            va_end(again);
            if (n < 0) n = 0;
            try {
                size_t at = kept_->size();
                kept_->resize(at + size_t(n) + 1);
                vsnprintf(kept_->data() + at, size_t(n) + 1, fmt, ap);
                kept_->pop_back();
            } catch (const std::bad_alloc &) {
                lost_ = true;
            }
        }
        va_end(ap);
    }

   private:
    std::string *kept_;
    bool lost_ = false;
};

// Examines one file and returns its status bits.
int check_file(const char *fn, int verbose, int quiet, Messages &msg) {
    const bool warn = !quiet || verbose >= 2;
    const bool tell = verbose >= 3;
    int file_state = 0;

    if (tell) msg.say("checking %s\n", fn);
    htsFile *hts_fp = hts_open(fn, "r");
    if (!hts_fp) {
        if (warn) msg.say("%s could not be opened for reading.\n", fn);
        return kUnopenable;
    }
    if (tell) msg.say("opened %s\n", fn);

    if (hts_get_format(hts_fp)->category != sequence_data) {
        file_state = kNotSequence;
        if (warn) msg.say("%s was not identified as sequence data.\n", fn);
    } else {
        if (tell) msg.say("%s is sequence data\n", fn);
        // htslib's BAM header read looks at the end-of-file block first and then seeks back
        // to where the stream stood, which over http is a new request from there to the end
        // of the object. With the first block inflated beforehand, the stream stands after it
        // and the header is read from memory (when it fits that block, as most do): one
        // request fewer, and none of the bytes a second read from the start would pull.
        const htsFormat *format = hts_get_format(hts_fp);
        if (format->format == bam && format->compression == bgzf &&
            bgzf_read_block(hts_fp->fp.bgzf) < 0) {
            // Nothing to do: the header read meets the same error.
        }
        sam_hdr_t *header = sam_hdr_read(hts_fp);
        if (!header) {
            file_state = kBadHeader;
            if (warn) msg.say("%s caused an error whilst reading its header.\n", fn);
        } else {
            if (header->n_targets <= 0) {
                file_state = kBadHeader;
                if (warn) msg.say("%s had no targets in header.\n", fn);
            } else {
                file_state = 0;
                if (tell) msg.say("%s has %d targets in header.\n", fn, header->n_targets);
            }
            sam_hdr_destroy(header);
        }
    }

    // The end-of-file test runs for every file that opened, whatever failed above.
    int eof = hts_check_EOF(hts_fp);
    if (eof < 0) {
        file_state |= kBadEof;
        if (warn) msg.say("%s caused an error whilst checking for EOF block.\n", fn);
    } else if (eof == 0) {
        file_state |= kBadEof;
        if (warn) msg.say("%s was missing EOF block when one should be present.\n", fn);
    } else if (eof == 1) {
        if (tell) msg.say("%s has good EOF block.\n", fn);
    } else if (eof == 2) {
        if (tell) msg.say("%s cannot be checked for EOF block as it is not seekable.\n", fn);
    } else if (eof == 3) {
        if (tell)
            msg.say(
                "%s cannot be checked for EOF block because its filetype does not contain "
                "one.\n",
                fn);
    }

    if (hts_close(hts_fp) < 0) {
        file_state |= kBadClose;
        if (warn) msg.say("%s did not close cleanly.\n", fn);
    }
    return file_state;
}

// The run's result, with kOutputLost added (and a message) when what was written to standard
// output did not all arrive.
int account_for_stdout(int ret) {
    return af::finish_stdout(af::StdoutEnd::kFlush,
                             "alnforge quickcheck: could not write to standard output")
               ? ret
               : ret | kOutputLost;
}

// One file's verdict and messages, as a worker leaves them for the writer.
struct Outcome {
    int file_state = 0;
    std::string messages;
    bool done = false;
    bool lost = false;  // the messages could not be kept: the writer checks the file again
};

// Checks `n` files with up to `jobs` threads, each with its own htsFile, while this thread
// writes every file's messages, its name on the list and its bits in argument order, as each
// file and all before it are done: the output is that of checking them one by one. Falls back
// to one by one when no thread can be started. hts_verbose is set before it is called and not
// changed while the threads run.
int check_at_once(char **files, int n, int jobs, int verbose, int quiet) {
    std::vector<Outcome> outcomes;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i; (i = next.fetch_add(1)) < n;) {
            Outcome &o = outcomes[size_t(i)];
            Messages kept(&o.messages);
            int file_state = check_file(files[i], verbose, quiet, kept);
            std::lock_guard<std::mutex> lock(mutex);
            o.file_state = file_state;
            o.lost = kept.lost();
            o.done = true;
            done.notify_all();
        }
    };
    try {
        outcomes.resize(size_t(n));
        workers.reserve(size_t(std::min(jobs, n)));
        while (int(workers.size()) < std::min(jobs, n)) workers.emplace_back(work);
    } catch (const std::exception &) {
        // Fewer threads than asked for (or none, when even the outcomes did not fit): the
        // ones started do the work.
    }
    if (workers.empty()) {
        next = n;  // no worker will take a file
        outcomes.clear();
    }

    int ret = 0;
    for (int i = 0; i < n; i++) {
        int file_state;
        if (workers.empty()) {
            Messages direct(nullptr);
            file_state = check_file(files[i], verbose, quiet, direct);
        } else {
            Outcome &o = outcomes[size_t(i)];
            {
                std::unique_lock<std::mutex> lock(mutex);
                done.wait(lock, [&] { return o.done; });
            }
            if (o.lost) {
                Messages direct(nullptr);
                file_state = check_file(files[i], verbose, quiet, direct);
            } else {
                fwrite(o.messages.data(), 1, o.messages.size(), stderr);
                file_state = o.file_state;
            }
            std::string().swap(o.messages);
        }
        if (file_state != 0 && verbose >= 1) fprintf(stdout, "%s\n", files[i]);
        ret |= file_state;
    }
    for (auto &t : workers) t.join();
    return ret;
}

// The value of -j: a whole number from 1 to kMaxJobs, or -1.
int parse_jobs(const char *text) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < 1 || v > kMaxJobs) return -1;
    return int(v);
}

int run(int argc, char **argv) {
    int verbose = 0, quiet = 0, ret = 0, jobs = 1;
    hts_verbose = 0;

    int opt;
    while ((opt = getopt_long(argc, argv, "vqhj:", kLongOptions, nullptr)) != -1) {
        switch (opt) {
            case 'v':
                verbose++;
                break;
            case 'q':
                quiet = 1;
                break;
            case 'j':
                jobs = parse_jobs(optarg);
                if (jobs < 0) {
                    fprintf(
                        stderr,
                        "alnforge quickcheck: -j/--jobs takes a number of files from 1 to %d, not "
                        "'%s'\n",
                        kMaxJobs, optarg);
                    return 1;
                }
                break;
            case 'h':
                help_quickcheck();
                return 0;
            case kVersionOption:
                printf("alnforge quickcheck %s\n", AF_PROJECT_VERSION);
                return 0;
            default:
                usage_quickcheck(stderr);
                return 1;
        }
    }
    if (optind >= argc) {
        usage_quickcheck(stdout);
        return 1;
    }
    if (verbose >= 2) fprintf(stderr, "verbosity set to %d\n", verbose);
    if (verbose >= 4) hts_verbose = 3;

    // htslib's own messages (-vvvv) go straight to standard error and cannot be told apart
    // by file: with them on, the files are checked one at a time.
    if (jobs > 1 && verbose < 4)
        return check_at_once(argv + optind, argc - optind, jobs, verbose, quiet);
    for (int i = optind; i < argc; i++) {
        Messages direct(nullptr);
        int file_state = check_file(argv[i], verbose, quiet, direct);
        if (file_state != 0 && verbose >= 1) fprintf(stdout, "%s\n", argv[i]);
        ret |= file_state;
    }
    return ret;
}

}  // namespace

extern "C" int main_quickcheck(int argc, char **argv) {
    return account_for_stdout(run(argc, argv));
}
