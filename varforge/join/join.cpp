// The join: options, checks, header, copy.
#include "join.h"

#include <fcntl.h>
#include <getopt.h>
#include <htslib/hts_log.h>
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

// The place of an input's blocks in the input itself, as a join would copy them (`where`
// null), or in the output: what its index is mapped through.
OffsetMap map_of(const Input &in, const Placement *where) {
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
        if (in.tail_from < in.tail_len) m.tail_out = {{in.tail_block, in.tail_len - in.tail_from}};
        m.out_data_start = m.data_start;
        m.out_data_end = m.data_end;
    }
    return m;
}

IndexKind index_kind(Kind kind) {
    return kind == Kind::kBcf ? IndexKind::kCsi : IndexKind::kTbi;
}

// One input's part of the joined file's index: its index (its own when that is current and
// fits its data, else one built from its records) and the records at its edges.
struct Prep {
    Index idx;
    Edges edges;        // CSI contigs as "#N" (the main thread names them)
    std::string fault;  // why it cannot be indexed
    std::string note;   // why its part was built from its records (said at -v)
};

void prepare(const Input &in, Kind kind, Prep *p) {
    const IndexKind ik = index_kind(kind);
    const bool is_stdin = in.alias >= 0;
    std::string why;
    IndexMerger trial(ik);
    if (is_stdin) why = "standard input has no index beside it";
    if (!why.empty() || !index_load_beside(in.name, ik, &p->idx, &why) ||
        !trial.add(p->idx, map_of(in, nullptr), &why)) {
        p->note = why;
        const std::string path = is_stdin ? "/proc/self/fd/" + std::to_string(in.fd) : in.name;
        if (!index_build_from_records(path, ik, &p->idx, &why)) {
            p->fault = "cannot be indexed: " + why;
            return;
        }
    }
    p->fault = read_edges(in, kind, p->idx, {}, &p->edges);
}

// Work on the inputs in threads of their own, beside the checks and the copy, handed over as
// inputs pass their checks: the walks of their data blocks, when the output is a temporary
// file until the end (a damaged input found by a walk then still leaves nothing in place),
// and, with -W, their parts of the index (done first: the order check waits for them).
class Pool {
   public:
    ~Pool() { stop(); }

    void start(size_t n, Kind kind) {
        faults_.resize(n);
        preps_.resize(n);
        kind_ = kind;
        // One core is left to the copy, which is the kernel's work on most filesystems.
        const unsigned cores = std::thread::hardware_concurrency();
        const unsigned n_threads = cores > 2 ? std::min(cores - 1, kThreads) : 1;
        for (unsigned t = 0; t < n_threads; t++) threads_.emplace_back([this] { run(); });
    }

    bool started() const { return !threads_.empty(); }

    // Hands over input number `i` (copied, with the descriptor it is read through).
    void push(size_t i, const Input &in, bool walk, bool prep) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (prep) {
            preps_queue_.emplace_back(i, in);
            preps_pending_++;
        }
        if (walk) walks_queue_.emplace_back(i, in);
        ready_.notify_one();
    }

    bool failed() const { return failed_; }

    // The calling thread (done with its own work) takes its share of what is left.
    void help() {
        if (started()) run(false);
    }

    // Waits until every part of the index handed over is prepared.
    std::vector<Prep> &preps() {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [this] { return preps_pending_ == 0; });
        return preps_;
    }

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
    static constexpr unsigned kThreads = 2;

    void stop() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            closed_ = true;
            ready_.notify_all();
        }
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }

    // Works on handed-over inputs until there are no more (`wait`: until the pool closes).
    void run(bool wait = true) {
        for (;;) {
            std::pair<size_t, Input> job;
            bool prep = false;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                if (wait)
                    ready_.wait(hold, [this] {
                        return closed_ || !preps_queue_.empty() || !walks_queue_.empty();
                    });
                auto &q = !preps_queue_.empty() ? preps_queue_ : walks_queue_;
                if (q.empty()) return;
                prep = &q == &preps_queue_;
                job = q.front();
                q.pop_front();
            }
            try {
                if (prep) {
                    prepare(job.second, kind_, &preps_[job.first]);
                } else if (!failed_) {
                    std::string fault = walk_input(job.second, kind_);
                    if (!fault.empty()) {
                        faults_[job.first] = std::move(fault);
                        failed_ = true;
                    }
                }
            } catch (const std::bad_alloc &) {
                (prep ? preps_[job.first].fault : faults_[job.first]) = "out of memory";
                if (!prep) failed_ = true;
            }
            if (prep) {
                std::lock_guard<std::mutex> hold(mutex_);
                if (--preps_pending_ == 0) done_.notify_all();
            }
        }
    }

    Kind kind_ = Kind::kNone;
    std::vector<std::thread> threads_;
    // Each element is written only by the thread that works on its input, and read after.
    std::vector<std::string> faults_;
    std::vector<Prep> preps_;
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::condition_variable ready_, done_;
    std::deque<std::pair<size_t, Input>> preps_queue_, walks_queue_;
    size_t preps_pending_ = 0;
    bool closed_ = false;
};

class Join {
   public:
    explicit Join(const Options &o) : opts_(o), out_(o.output) {}
    ~Join() {
        std::string unused;
        pool_.finish(&unused);  // before the descriptors that the walks read through close
        for (auto &in : inputs_)
            if (in.fd >= 0) close(in.fd);
        if (stdin_fd_ >= 0) close(stdin_fd_);
    }

    int run() {
        if (!check_all()) return 1;
        // Into a temporary file the copy need not wait for the order check: a join it refuses
        // still leaves nothing in place.
        if (opts_.write_index && !out_.staged() && !check_order()) return 1;
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
            }
            if (is_stdin) in.alias = int(i);
            if (staged || opts_.write_index) {
                if (!pool_.started()) pool_.start(n, expect_.kind);
                pool_.push(i, in, staged, opts_.write_index);
            }
            if (is_stdin) {
                stdin_at = int(i);
                stdin_fd_ = in.fd;
                in.fd = -1;
            }
        }
        return true;
    }

    // Refuses a join whose contigs or positions an index could not follow, once every input's
    // part of the index is prepared.
    bool check_order() {
        pool_.help();
        std::vector<Prep> &preps = pool_.preps();
        const std::vector<std::string> names = header_.contig_names();
        Edges prev;
        size_t prev_at = 0;
        std::unordered_map<std::string, size_t> seen;
        for (size_t i = 0; i < inputs_.size(); i++) {
            const Input &in = inputs_[i];
            Prep &p = preps[in.alias >= 0 ? size_t(in.alias) : i];
            if (!p.fault.empty()) return report(in.name, p.fault);
            if (!p.note.empty() && opts_.verbose && (in.alias < 0 || size_t(in.alias) == i))
                fprintf(stderr,
                        "[bcf_cat] %s: %s; its part of the index is built from its records\n",
                        in.name, p.note.c_str());
            Edges e = p.edges;
            if (expect_.kind == Kind::kBcf)
                for (auto &c : e.contigs) {
                    const size_t tid = size_t(strtoul(c.c_str() + 1, nullptr, 10));
                    if (tid < names.size() && !names[tid].empty()) c = names[tid];
                }
            size_t other = 0;
            const std::string why = follows(prev, prev_at, e, i, &seen, &other);
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
        IndexMerger merger(index_kind(expect_.kind));
        std::string why;
        std::vector<Prep> &preps = pool_.preps();
        for (size_t i = 0; i < inputs_.size(); i++) {
            const Input &in = inputs_[i];
            const Index &idx = preps[in.alias >= 0 ? size_t(in.alias) : i].idx;
            if (!merger.add(idx, map_of(in, &placements_[i]), &why))
                return report(in.name, "cannot merge its index: " + why);
        }
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
        for (size_t i = 0; ok && !pool_.failed() && i < inputs_.size(); i++) {
            Input &in = inputs_[i];
            if (in.alias >= 0) in.fd = stdin_fd_;
            ok = copier.append(in, &placements_[i]);
            if (in.alias >= 0) in.fd = -1;
            progress.done(i + 1, copier.position());
        }
        progress.finish();
        if (ok) pool_.help();
        if (ok && opts_.write_index && out_.staged()) ok = check_order();
        const int damaged = pool_.finish(&why);
        if (ok && damaged >= 0) ok = report(inputs_[size_t(damaged)].name, why);
        // A failed output gets no end-of-file block, so that it never reads as complete.
        if (!ok) out->fp->error = "failed";
        errno = 0;
        if (vf::bcf_close(out) != 0 && ok) ok = write_failed(errno);
        const std::string index_path = std::string(opts_.output ? opts_.output : "") +
                                       (expect_.kind == Kind::kBcf ? ".csi" : ".tbi");
        Output index_out(opts_.write_index ? index_path.c_str() : nullptr);
        if (ok && opts_.write_index) ok = write_index(&index_out);
        // The output goes in place first: an index never reads as older than its file.
        if (ok && !out_.commit(&why))
            ok = report(out_.name(), "cannot put the output in place: " + why);
        if (ok && opts_.write_index && !index_out.commit(&why))
            ok = report(index_path, "cannot put the index in place: " + why);
        if (ok && opts_.verbose)
            fprintf(stderr,
                    "[bcf_cat] %zu input%s joined into %s: %.1f MB; %zu definition lines added "
                    "to the first input's header; first records %s; %d spans padded\n",
                    inputs_.size(), inputs_.size() == 1 ? "" : "s", out_.name().c_str(),
                    double(copier.position()) / 1e6, header_.added(),
                    tail_level() ? "compressed" : "stored", copier.padded());
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
    Pool pool_;
    int stdin_fd_ = -1;
};

}  // namespace

int cat_command(int argc, const char **argv) {
    // Every failure is reported in cat's own words; htslib, which reads headers and indexes
    // here, stays quiet (and its level is set once, before any thread reads it).
    hts_set_log_level(HTS_LOG_OFF);
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
