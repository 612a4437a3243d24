// The join: options, checks, header, copy.
#include "join.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bgzf_bcf/bcf.h"
#include "copy.h"
#include "header_union.h"
#include "index_merge.h"
#include "input.h"
#include "order.h"
#include "output.h"
#include "progress.h"

namespace vfjoin {

namespace {

constexpr int kSpareFds = 32;  // descriptors left for everything but kept inputs

const char kUsage[] =
    "Usage:   varforge cat [options] <in1.bcf> [<in2.bcf> ...]\n"
    "         varforge cat [options] <in1.vcf.gz> [<in2.vcf.gz> ...]\n"
    "\n"
    "Joins BCF files, or bgzipped VCF files, into one by copying their compressed blocks,\n"
    "without decoding a record. The inputs must be of one kind, have the same samples in the\n"
    "same order, and (BCF) no contig, FILTER, INFO or FORMAT index that names different things\n"
    "in two of them; definitions that only later inputs have are added to the first input's\n"
    "header. \"-\" is standard input, when it is a file. Nothing is written unless every\n"
    "input fits.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write to FILE, replacing it only when the whole join succeeded\n"
    "                      (default: standard output)\n"
    "  -W, --write-index   also write FILE's index (FILE.csi for BCF, FILE.tbi for VCF),\n"
    "                      merged from the inputs' own indexes; needs -o\n"
    "  -q, --quiet         no progress display (shown on a terminal for joins over a second)\n"
    "  -v, --verbose       say more about what the join does\n"
    "  -h, --help          print this help and exit\n"
    "      --version       print the version and exit\n";

struct Options {
    const char *output = nullptr;
    bool quiet = false;
    bool write_index = false;
    int verbose = 0;
    std::vector<const char *> inputs;
};

// 0: run; 1: a usage error (reported); 2: help or version printed.
int parse(int argc, const char **argv, Options *o) {
    enum { kVersion = 1000 };
    static const struct option longs[] = {
        {"output", required_argument, nullptr, 'o'}, {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},      {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0}};
    std::vector<char *> args = {const_cast<char *>("cat")};
    for (int i = 0; i < argc; i++) args.push_back(const_cast<char *>(argv[i]));
    args.push_back(nullptr);
    optind = 0;  // a full reset, whatever parsed before
    opterr = 0;
    int c;
    while ((c = getopt_long(int(args.size() - 1), args.data(), "+o:qvWh", longs, nullptr)) != -1) {
        switch (c) {
            case 'o':
                o->output = optarg;
                break;
            case 'q':
                o->quiet = true;
                break;
            case 'v':
                o->verbose++;
                break;
            case 'W':
                o->write_index = true;
                break;
            case 'h':
                fputs(kUsage, stdout);
                return 2;
            case kVersion:
                printf("varforge cat %s\n", VF_VERSION);
                return 2;
            default:
                if (optopt == 'o')
                    fputs("[bcf_cat] option -o needs a file name\n", stderr);
                else
                    fprintf(stderr, "[bcf_cat] unknown option %s\n", args[size_t(optind - 1)]);
                fputs(kUsage, stderr);
                return 1;
        }
    }
    for (int i = optind; i < int(args.size() - 1); i++) o->inputs.push_back(args[size_t(i)]);
    if (o->write_index && !o->output) {
        fputs("[bcf_cat] --write-index (-W) needs --output (-o FILE)\n", stderr);
        return 1;
    }
    return 0;
}

// Raises the soft descriptor limit as far as allowed; returns how many inputs may stay open.
long input_fd_budget() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    if (rl.rlim_cur == RLIM_INFINITY) return 1L << 30;
    return long(rl.rlim_cur) > kSpareFds ? long(rl.rlim_cur) - kSpareFds : 0;
}

// The walks of the inputs' data blocks, in threads of their own beside the checks and the
// copy. Used when the output is a temporary file until the end, so that a damaged input
// found by a walk still leaves nothing in place; the walks then cost the join little more
// than the walk of its largest input. Inputs are handed over as they pass their checks.
class Walker {
   public:
    ~Walker() { stop(); }

    void start(size_t n, Kind kind) {
        faults_.resize(n);
        kind_ = kind;
        for (int t = 0; t < kThreads; t++) threads_.emplace_back([this] { run(); });
    }

    bool started() const { return !threads_.empty(); }

    // Hands over input number `i` (copied, with the descriptor it is read through).
    void push(size_t i, const Input &in) {
        std::lock_guard<std::mutex> hold(mutex_);
        queue_.emplace_back(i, in);
        ready_.notify_one();
    }

    bool failed() const { return failed_; }

    // Waits for every walk handed over; the number of the first input found damaged (its
    // fault in `why`), or -1.
    int finish(std::string *why) {
        stop();
        for (size_t i = 0; i < faults_.size(); i++)
            if (!faults_[i].empty()) {
                *why = faults_[i];
                return int(i);
            }
        return -1;
    }

   private:
    static constexpr int kThreads = 2;

    void stop() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            closed_ = true;
            ready_.notify_all();
        }
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }

    void run() {
        for (;;) {
            std::pair<size_t, Input> job;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                ready_.wait(hold, [this] { return closed_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = queue_.front();
                queue_.pop_front();
            }
            if (failed_) continue;
            std::string fault;
            try {
                fault = walk_input(job.second, kind_);
            } catch (const std::bad_alloc &) {
                fault = "out of memory";
            }
            if (!fault.empty()) {
                faults_[job.first] = std::move(fault);
                failed_ = true;
            }
        }
    }

    Kind kind_ = Kind::kNone;
    std::vector<std::thread> threads_;
    std::vector<std::string> faults_;  // each written by the one thread that walks its input
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<size_t, Input>> queue_;
    bool closed_ = false;
};

class Join {
   public:
    explicit Join(const Options &o) : opts_(o), out_(o.output) {}
    ~Join() {
        std::string unused;
        walker_.finish(&unused);  // before the descriptors that the walks read through close
        for (auto &in : inputs_)
            if (in.fd >= 0) close(in.fd);
        if (stdin_fd_ >= 0) close(stdin_fd_);
    }

    int run() {
        if (!check_all() || (opts_.write_index && !check_order())) return 1;
        return write_all() ? 0 : 1;
    }

   private:
    bool check_all() {
        struct stat st;
        if (out_.existing(&st)) {
            expect_.output_known = true;
            expect_.out_dev = st.st_dev;
            expect_.out_ino = st.st_ino;
        } else if (!opts_.output && fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
            expect_.output_known = true;
            expect_.out_dev = st.st_dev;
            expect_.out_ino = st.st_ino;
        }
        const size_t n = opts_.inputs.size();
        const bool staged = out_.staged();
        inputs_.resize(n);
        const long budget = n > 0 ? input_fd_budget() : 0;
        int stdin_at = -1;
        for (size_t i = 0; i < n; i++) {
            Input &in = inputs_[i];
            in.name = opts_.inputs[i];
            const bool is_stdin = strcmp(in.name, "-") == 0;
            if (is_stdin && stdin_at >= 0) {
                // One file, read again: the same checks hold.
                in = inputs_[size_t(stdin_at)];
                continue;
            }
            const std::string why = check_input(&in, long(i) < budget, &expect_, &header_);
            if (!why.empty()) return report(in.name, why);
            if (!staged) {
                const std::string damage = walk_input(in, expect_.kind);
                if (!damage.empty()) return report(in.name, damage);
            } else {
                if (!walker_.started()) walker_.start(n, expect_.kind);
                walker_.push(i, in);
            }
            if (is_stdin) {
                stdin_at = int(i);
                stdin_fd_ = in.fd;
                in.fd = -1;
                in.alias = int(i);
            }
        }
        return true;
    }

    IndexKind index_kind() const {
        return expect_.kind == Kind::kBcf ? IndexKind::kCsi : IndexKind::kTbi;
    }

    // The place of every input's blocks in the input itself, as a join would copy them: what
    // an input's own index must fit before it is trusted.
    static OffsetMap map_of(const Input &in, const Placement *where) {
        OffsetMap m;
        m.tail_block = in.tail_block;
        m.tail_from = in.tail_from;
        m.tail_len = in.tail_len;
        m.data_start = in.data_start;
        m.data_end = in.size - off_t(kMinEmptyBlock);
        if (where) {
            m.tail_out = where->tail_out;
            m.out_data_start = where->data_start;
            m.out_data_end = where->data_end;
        } else {
            if (in.tail_from < in.tail_len)
                m.tail_out = {{in.tail_block, in.tail_len - in.tail_from}};
            m.out_data_start = m.data_start;
            m.out_data_end = m.data_end;
        }
        return m;
    }

    // Loads every input's index (or builds it from the input's records when it has no usable
    // one) and refuses a join whose contigs or positions an index could not follow.
    bool check_order() {
        const IndexKind kind = index_kind();
        const std::vector<std::string> names = header_.contig_names();
        indexes_.resize(inputs_.size());
        Edges prev;
        size_t prev_at = 0;
        std::unordered_map<std::string, size_t> seen;
        for (size_t i = 0; i < inputs_.size(); i++) {
            const Input &in = inputs_[i];
            const bool is_stdin = in.alias >= 0;
            Index &idx = indexes_[i];
            if (is_stdin && size_t(in.alias) != i) {
                idx = indexes_[size_t(in.alias)];
            } else {
                std::string why;
                IndexMerger trial(kind);
                if (is_stdin) why = "standard input has no index beside it";
                if (!why.empty() || !index_load_beside(in.name, kind, &idx, &why) ||
                    !trial.add(idx, map_of(in, nullptr), &why)) {
                    if (opts_.verbose)
                        fprintf(stderr,
                                "[bcf_cat] %s: %s; its part of the index is built from its "
                                "records\n",
                                in.name, why.c_str());
                    const std::string path =
                        is_stdin ? "/proc/self/fd/" + std::to_string(stdin_fd_) : in.name;
                    if (!index_build_from_records(path, kind, &idx, &why))
                        return report(in.name, "cannot be indexed: " + why);
                }
            }
            Edges e;
            Input probe = in;
            if (is_stdin) probe.fd = stdin_fd_;
            std::string why = read_edges(probe, expect_.kind, idx, names, &e);
            if (!why.empty()) return report(in.name, why);
            size_t other = 0;
            why = follows(prev, prev_at, e, i, &seen, &other);
            if (!why.empty())
                return report(in.name, why + " " + inputs_[other].name +
                                           ", and an index needs each contig's records together "
                                           "and sorted");
            if (!e.contigs.empty()) {
                prev = std::move(e);
                prev_at = i;
            }
        }
        return true;
    }

    // Merges the inputs' indexes into the output's, written to its own temporary file.
    bool write_index(Output *index_out) {
        IndexMerger merger(index_kind());
        std::string why;
        for (size_t i = 0; i < inputs_.size(); i++)
            if (!merger.add(indexes_[i], map_of(inputs_[i], &placements_[i]), &why))
                return report(inputs_[i].name, "cannot merge its index: " + why);
        const int fd = index_out->begin(&why);
        if (fd < 0) return report(index_out->name(), "cannot create the index: " + why);
        close(fd);
        if (!merger.write(index_out->temp(), &why))
            return report(index_out->name(), "cannot write the index: " + why);
        return true;
    }

    bool write_all() {
        std::string text, why;
        if (!inputs_.empty() && !header_.output_text(&text, &why))
            return report(inputs_.back().name, why);
        // From here on a closed pipe is a write error that we report, not a silent death.
        signal(SIGPIPE, SIG_IGN);
        const int fd = out_.begin(&why);
        if (fd == -1) return report(out_.name(), "cannot create the output: " + why);
        vf::bcf_t *out = fd == Output::kStdout ? vf::bcf_open("-", "w") : vf::bcf_dopen(fd, "w");
        if (!out)
            return report(out_.name(), std::string("cannot open for writing: ") + strerror(errno));
        bool ok = true;
        if (!inputs_.empty()) {
            errno = 0;
            if (expect_.kind == Kind::kBcf) {
                vf::bcf_hdr_t h{};
                h.txt = text.data();
                h.l_txt = int32_t(text.size());
                h.minor = expect_.minor;
                ok = vf::bcf_hdr_write(out, &h) == 0;
            } else {
                ok = vf::bgzf_write(out->fp, text.data(), text.size()) >= 0 &&
                     vf::bgzf_flush(out->fp) == 0;
            }
            if (!ok) write_failed(errno);
        }
        // The header has reached the descriptor in whole blocks (the stream's FILE is
        // unbuffered), so the copier's blocks follow it there.
        Copier copier(out->fp->file_descriptor, out->fp->block_address, out_.name(), tail_level());
        Progress progress(opts_.quiet, inputs_.size());
        placements_.resize(inputs_.size());
        for (size_t i = 0; ok && !walker_.failed() && i < inputs_.size(); i++) {
            Input &in = inputs_[i];
            if (in.alias >= 0) in.fd = stdin_fd_;
            ok = copier.append(in, &placements_[i]);
            if (in.alias >= 0) in.fd = -1;
            progress.done(i + 1, copier.position());
        }
        progress.finish();
        const int damaged = walker_.finish(&why);
        if (ok && damaged >= 0) ok = report(inputs_[size_t(damaged)].name, why);
        // A failed output gets no end-of-file block, so that it never reads as complete.
        if (!ok) out->fp->error = "failed";
        errno = 0;
        if (vf::bcf_close(out) != 0 && ok) ok = write_failed(errno);
        const std::string index_path = std::string(opts_.output ? opts_.output : "") +
                                       (index_kind() == IndexKind::kCsi ? ".csi" : ".tbi");
        Output index_out(opts_.write_index ? index_path.c_str() : nullptr);
        if (ok && opts_.write_index) ok = write_index(&index_out);
        // The output goes in place first: an index never reads as older than its file.
        if (ok && !out_.commit(&why))
            ok = report(out_.name(), "cannot put the output in place: " + why);
        if (ok && opts_.write_index && !index_out.commit(&why))
            ok = report(index_path, "cannot put the index in place: " + why);
        if (ok && opts_.verbose)
            fprintf(stderr,
                    "[bcf_cat] %zu inputs joined into %s: %.1f MB; %zu definition lines added "
                    "to the first input's header; first records %s; %d spans padded\n",
                    inputs_.size(), out_.name().c_str(), double(copier.position()) / 1e6,
                    header_.added(), tail_level() ? "compressed" : "stored", copier.padded());
        return ok;
    }

    bool write_failed(int err) {
        fprintf(stderr, "[bcf_cat] error writing to %s: %s\n", out_.name().c_str(),
                err ? strerror(err) : "write failed");
        return false;
    }

    // The records that share the headers' blocks are stored, uncompressed, when they come
    // to at most 4% of the inputs' bytes (storing them costs about three quarters of that,
    // the padding the rest of the 5% the output may grow by); else they are compressed at
    // libdeflate's fastest level.
    int tail_level() const {
        uint64_t tails = 0, total = 0;
        for (const auto &in : inputs_) {
            tails += uint64_t(in.tail_len - in.tail_from);
            total += uint64_t(in.size);
        }
        return tails * 25 <= total ? 0 : 1;
    }

    const Options &opts_;
    Output out_;
    Expect expect_;
    HeaderUnion header_;
    std::vector<Input> inputs_;
    std::vector<Placement> placements_;
    std::vector<Index> indexes_;
    Walker walker_;
    int stdin_fd_ = -1;
};

}  // namespace

int cat_command(int argc, const char **argv) {
    try {
        Options o;
        const int r = parse(argc, argv, &o);
        if (r != 0) return r == 2 ? 0 : 1;
        return Join(o).run();
    } catch (const std::bad_alloc &) {
        fputs("[bcf_cat] out of memory\n", stderr);
        return 1;
    }
}

}  // namespace vfjoin
