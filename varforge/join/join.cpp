// The join's driver: the named steps in order.
#include "join.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "commit.h"
#include "copy.h"
#include "fetch.h"
#include "header_union.h"
#include "input.h"
#include "object_out.h"
#include "pool.h"
#include "prepare.h"
#include "progress.h"

namespace vfjoin {

namespace {

constexpr int kSpareFds = 32;             // descriptors left for everything but kept inputs
constexpr size_t kExamineAhead = 64;      // inputs examined ahead of their admission
constexpr size_t kEncodeAhead = 8;        // inputs' first records encoded ahead of the copy
constexpr int64_t kKeptTails = 32 << 20;  // first records kept from the examination
constexpr unsigned kRemoteWorkers = 64;   // remote inputs examined at once (all those ahead)
constexpr size_t kKeptRemote = 64;        // remote inputs whose connections stay open for the copy

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

// Runs `f`, turning running out of memory into `*fault`.
template <typename F>
void guarded(std::string *fault, F f) {
    try {
        f();
    } catch (const std::bad_alloc &) {
        *fault = "out of memory";
    }
}

// One worker beside the driver's thread, which helps; for remote inputs, whose examinations
// and index reads wait on round trips rather than on a core, enough to keep many in flight.
unsigned workers(const JoinOptions &o) {
    for (const char *name : o.inputs)
        if (is_url(name)) return kRemoteWorkers;
    return Pool::workers_for_cores(2);
}

class Join {
   public:
    Join(const JoinOptions &o, ObjectOutput *object)
        : opts_(o),
          object_(object),
          out_(object ? nullptr : o.output, o.sync),
          n_(o.inputs.size()),
          inputs_(n_),
          examined_(n_),
          why_(n_),
          walked_(n_),
          walk_fault_(n_),
          preps_(n_),
          prepared_(n_),
          tails_(n_),
          encoded_(n_),
          encode_why_(n_),
          placements_(n_),
          pool_(workers(o)) {}

    ~Join() {
        pool_.drain();  // before the descriptors that the jobs read through close
        for (size_t i = 0; i < n_; i++)
            if (inputs_[i].fd >= 0 && (inputs_[i].alias < 0 || size_t(inputs_[i].alias) == i))
                close(inputs_[i].fd);
    }

    int run() {
        const bool ok = (!object_ || object_->configure(&fault_)) && check_inputs() &&
                        (staged() || check_order()) && pin_sources() && write_data() &&
                        finish_checks() && write_index() && commit();
        stop_ = true;  // what is still queued is not needed
        if (!ok) print_fault(fault_);
        if (ok && opts_.verbose) summary();
        return ok ? 0 : 1;
    }

   private:
    bool with_index() const { return opts_.write_index && n_ > 0; }
    // Whether a failure found while writing still leaves nothing in place.
    bool staged() const { return object_ || out_.staged(); }
    std::string out_name() const { return object_ ? object_->name() : out_.name(); }

    // Which inputs an object output copies inside its store.
    std::vector<bool> in_store() const {
        std::vector<bool> v(n_);
        for (size_t i = 0; object_ && i < n_; i++) v[i] = object_->in_store(opts_.inputs[i]);
        return v;
    }

    // Between the checks and the copy, for an object output: the inputs in its store pinned
    // to the versions checked.
    bool pin_sources() { return !object_ || object_->pin_sources(inputs_, &fault_); }

    // Step 1: every input examined (ahead, in the pool) and admitted in order.
    bool check_inputs() {
        OutputId &out_id = out_id_;
        struct stat st;
        if (out_.existing(&st) ||
            (!opts_.output && fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)))
            out_id.files.push_back({st.st_dev, st.st_ino, "it is also the output"});
        for (const std::string &p : out_.index_paths())
            if (stat(p.c_str(), &st) == 0)
                out_id.files.push_back({st.st_dev, st.st_ino, "it is an index of the output"});
        const long budget = n_ > 0 ? input_fd_budget() : 0;
        for (size_t i = 0; i < n_; i++) inputs_[i].name = opts_.inputs[i];
        fetcher_ = std::make_unique<Fetcher>(inputs_, opts_.fetch_ahead, in_store());
        int stdin_at = -1;
        size_t queued = 0;
        for (size_t i = 0; i < n_; i++) {
            for (; queued < n_ && queued < i + kExamineAhead; queued++)
                submit_examine(queued, long(queued) < budget && keep_remote(queued));
            Input &in = inputs_[i];
            if (stdin_at >= 0 && strcmp(opts_.inputs[i], "-") == 0) {
                in = inputs_[size_t(stdin_at)];  // one file, read again: the same checks hold
                fetcher_->admitted(i + 1);
                continue;
            }
            if (const char *no = object_ ? object_->refuses(in.name) : nullptr)
                return fault_.set(in.name, no);
            pool_.wait(&examined_[i]);
            std::string why = pool_.failed() ? "out of memory" : why_[i];
            // A remote input's blocks are walked as they are copied (Copier).
            const bool walk = opts_.walk_blocks && !is_url(in.name);
            if (why.empty() && admit(&in, &kind_, &minor_, &header_, &why) && !staged() && walk)
                walk_input(in, &why);
            if (!why.empty()) return fault_.set(in.name, why);
            if (strcmp(in.name, "-") == 0) stdin_at = int(i), in.alias = int(i);
            fetcher_->admitted(i + 1);
            if (staged() && walk)
                pool_.submit(
                    Pool::kLater,
                    [this, i] {
                        guarded(&walk_fault_[i], [&] {
                            if (!stop_) walk_input(inputs_[i], &walk_fault_[i]);
                        });
                        if (!walk_fault_[i].empty()) walk_bad_ = true;
                    },
                    &walked_[i]);
            if (opts_.write_index) {
                // Its positions lie on contigs the union has now.
                const bool beyond_tbi = header_.contig_length_reaches(uint64_t(1) << 29);
                pool_.submit(
                    Pool::kSoon,
                    [this, i, beyond_tbi] {
                        guarded(&preps_[i].fault, [&] {
                            if (!stop_) prepare(inputs_[i], beyond_tbi, &preps_[i]);
                        });
                    },
                    &prepared_[i]);
            }
        }
        return true;
    }

    // Whether input `i`, when remote, keeps its check's connection for its copy: the first
    // few, and not those that an object output copies inside its store.
    bool keep_remote(size_t i) const {
        const char *name = opts_.inputs[i];
        return !is_url(name) || (i < kKeptRemote && !(object_ && object_->in_store(name)));
    }

    void submit_examine(size_t i, bool keep) {
        Input &in = inputs_[i];
        in.name = opts_.inputs[i];
        if (strcmp(in.name, "-") == 0 && i > 0)
            for (size_t j = 0; j < i; j++)
                if (strcmp(opts_.inputs[j], "-") == 0) return;  // examined once, as the first
        pool_.submit(
            Pool::kNow,
            [this, i, keep] {
                Input &in = inputs_[i];
                guarded(&why_[i], [&] {
                    if (stop_ || !examine(&in, keep, true, out_id_, &why_[i])) return;
                    // The first records stay in memory for the copy while they fit the budget.
                    const auto size = in.tail ? int64_t(kMaxBlock) : 0;
                    if (kept_tails_.fetch_sub(size) < size) {
                        kept_tails_ += size;
                        in.tail.reset();
                    }
                });
            },
            &examined_[i]);
    }

    // The input whose index part serves input `i` (standard input named again: its first).
    size_t owner(size_t i) const { return inputs_[i].alias >= 0 ? size_t(inputs_[i].alias) : i; }

    // Refuses a join whose contigs or positions an index could not follow, once every input's
    // part of the index is prepared.
    bool check_order() {
        if (!with_index()) return true;
        const std::vector<std::string> names = header_.contig_names();
        Edges prev;
        size_t prev_at = 0;
        std::unordered_map<std::string, size_t> seen;
        for (size_t i = 0; i < n_; i++) {
            const Input &in = inputs_[i];
            pool_.wait(&prepared_[owner(i)], Pool::kSoon);
            if (pool_.failed()) return fault_.set(in.name, "out of memory");
            Prep &p = preps_[owner(i)];
            if (!p.fault.empty()) return fault_.set(in.name, p.fault);
            if (!p.note.empty() && opts_.verbose && owner(i) == i)
                fprintf(stderr,
                        "[bcf_cat] %s: %s; its part of the index is built from its records\n",
                        in.name, p.note.c_str());
            Edges e = p.edges;
            if (kind_ == Kind::kBcf)
                for (auto &c : e.contigs) {
                    const size_t tid = size_t(strtoul(c.c_str() + 1, nullptr, 10));
                    if (tid < names.size() && !names[tid].empty()) c = names[tid];
                }
            size_t other = 0;
            std::string why;
            if (!follows(prev, prev_at, e, i, &seen, &other, &why))
                return fault_.set(in.name, why + " " + inputs_[other].name +
                                               ", and an index needs each contig's records "
                                               "together and sorted");
            if (!e.contigs.empty()) {
                prev = std::move(e);
                prev_at = i;
            }
        }
        return true;
    }

    // The records that share the headers' blocks are stored, uncompressed, when they come
    // to at most 4% of the inputs' bytes (storing them costs about three quarters of that,
    // the padding the rest of the 5% the output may grow by); else they are compressed at
    // libdeflate's fastest level.
    int tail_level() const {
        uint64_t tails = 0, total = 0;
        for (const auto &in : inputs_) {
            tails += in.tail_bytes();
            total += uint64_t(in.id.size);
        }
        return tails * 25 <= total ? 0 : 1;
    }

    void submit_encode(size_t i, int level) {
        pool_.submit(
            Pool::kNow,
            [this, i, level] {
                guarded(&encode_why_[i], [&] {
                    if (stop_) return;
                    BlockCodec codec(level);
                    encode_tail(inputs_[i], codec, &tails_[i], &encode_why_[i]);
                });
                if (inputs_[i].alias < 0) inputs_[i].tail.reset();
            },
            &encoded_[i]);
    }

    // Step 2: the header, each input's records, the end-of-file block.
    bool write_data() {
        std::string text, why;
        if (n_ > 0 && !header_.output_text(&text, &why))
            return fault_.set(inputs_.back().name, why);
        // From here on a closed pipe is a write error that we report, not a silent death.
        signal(SIGPIPE, SIG_IGN);
        if (object_) {
            ObjectWriter *w = object_->begin(inputs_, &fault_);
            if (!w) return false;
            copier_ = std::make_unique<Copier>(w, object_->name(), in_store());
        } else {
            const int fd = out_.begin(&fault_);
            if (fd < 0) return false;
            copier_ = std::make_unique<Copier>(fd, out_.name());
        }
        copier_->fetch_from(fetcher_.get());
        if (n_ > 0 && !copier_->header(text, kind_, minor_, &fault_)) return false;
        const int level = tail_level();
        Progress progress(opts_.quiet, n_);
        size_t queued = 0;
        for (size_t i = 0; i < n_; i++) {
            for (; queued < n_ && queued <= i + kEncodeAhead; queued++)
                submit_encode(queued, level);
            pool_.wait(&encoded_[i]);
            if (pool_.failed()) return fault_.set(inputs_[i].name, "out of memory");
            if (!encode_why_[i].empty()) return fault_.set(inputs_[i].name, encode_why_[i]);
            if (walk_bad_) {
                pool_.drain();
                walks_clean();
                return false;
            }
            if (!copier_->append(inputs_[i], i, tails_[i], &placements_[i], &fault_)) return false;
            TailBlocks().bytes.swap(tails_[i].bytes);
            progress.done(i + 1, copier_->position());
        }
        progress.finish();
        return true;
    }

    // After the pool is drained: true when no walk found damage, else false with the first
    // input, in order, whose walk did.
    bool walks_clean() {
        for (size_t i = 0; i < n_; i++)
            if (!walk_fault_[i].empty()) return fault_.set(inputs_[i].name, walk_fault_[i]);
        return true;
    }

    // Step 3: what ran beside the copy; then the end-of-file block.
    bool finish_checks() {
        pool_.drain();
        if (pool_.failed()) return fault_.set(out_name(), "out of memory");
        if (!walks_clean()) return false;
        if (staged() && !check_order()) return false;
        return copier_->finish(&fault_);
    }

    // Step 4: the inputs' index parts merged, into a temporary file beside the output.
    // BCF's index is CSI; VCF's is tabix unless a part is CSI (an input indexed as .csi, or
    // positions past 2^29, which tabix cannot hold), when it is CSI too.
    bool write_index() {
        if (!with_index()) return true;
        IndexKind ik = kind_ == Kind::kBcf ? IndexKind::kCsi : IndexKind::kTbi;
        for (size_t i = 0; i < n_; i++)
            if (preps_[owner(i)].idx.kind == IndexKind::kCsi) ik = IndexKind::kCsi;
        const std::string suffix = ik == IndexKind::kCsi ? ".csi" : ".tbi";
        if (kind_ == Kind::kVcf && ik == IndexKind::kCsi && opts_.verbose)
            fprintf(stderr,
                    "[bcf_cat] %s: positions past 2^29 or inputs indexed as .csi: the index is "
                    "written as %s%s\n",
                    opts_.output, opts_.output, suffix.c_str());
        IndexMerger merger(ik, data_kind(kind_));
        std::string why;
        for (size_t i = 0; i < n_; i++)
            if (!merger.add(preps_[owner(i)].idx, map_of(inputs_[i], &placements_[i]), &why))
                return fault_.set(inputs_[i].name, "cannot merge its index: " + why);
        if (object_) return object_index(merger, suffix);
        const std::string path = out_.begin_index(suffix, &fault_);
        if (path.empty()) return false;
        if (!merger.write(path, &why))
            return fault_.set(std::string(opts_.output) + suffix, "cannot write the index: " + why);
        return true;
    }

    // An object's index: written to a temporary file, then held for the commit.
    bool object_index(const IndexMerger &merger, const std::string &suffix) {
        const char *dir = getenv("TMPDIR");
        TempFile temp;
        const int fd = temp.create(std::string(dir && *dir ? dir : "/tmp") + "/.varforge-index");
        std::string why = fd < 0 ? strerror(errno) : "";
        if (fd >= 0) {
            close(fd);
            if (merger.write(temp.path(), &why)) read_whole(temp.path(), &index_bytes_, &why);
        }
        if (!why.empty())
            return fault_.set(std::string(opts_.output) + suffix, "cannot write the index: " + why);
        index_suffix_ = suffix;
        return true;
    }

    static bool read_whole(const std::string &path, std::vector<unsigned char> *out,
                           std::string *why) {
        FILE *f = fopen(path.c_str(), "rb");
        if (!f) return (*why = strerror(errno)), false;
        unsigned char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            out->insert(out->end(), buf, buf + n);
        const bool ok = !ferror(f);
        fclose(f);
        if (!ok) *why = "read error";
        return ok;
    }

    // Step 5: the output and its index in place.
    bool commit() {
        if (object_) return object_->commit(index_bytes_, index_suffix_, &removed_, &fault_);
        return out_.commit(&removed_, &fault_);
    }

    void summary() const {
        for (const auto &p : removed_)
            fprintf(stderr, "[bcf_cat] %s: removed, it was the index of the replaced file\n",
                    p.c_str());
        fprintf(stderr,
                "[bcf_cat] %zu input%s joined into %s: %.1f MB; %zu definition lines added "
                "to the first input's header; first records %s; %d spans padded\n",
                n_, n_ == 1 ? "" : "s", out_name().c_str(), double(copier_->position()) / 1e6,
                header_.added(), tail_level() ? "compressed" : "stored", copier_->padded());
        if (object_)
            fprintf(stderr,
                    "[bcf_cat] %s: %.1f MB copied inside the store; %.1f MB sent and %.1f MB "
                    "received by this machine\n",
                    out_name().c_str(), double(object_->bytes_copied()) / 1e6,
                    double(object_->bytes_sent()) / 1e6, double(object_->bytes_received()) / 1e6);
    }

    const JoinOptions &opts_;
    ObjectOutput *object_;  // null: a local file or standard output
    Commit out_;
    const size_t n_;
    OutputId out_id_;  // set before the first examination starts
    Kind kind_ = Kind::kNone;
    int minor_ = -1;
    HeaderUnion header_;
    // Per input; element i is written by the job for input i and read after its Slot is done.
    std::vector<Input> inputs_;
    std::vector<Slot> examined_;
    std::vector<std::string> why_;
    std::vector<Slot> walked_;
    std::vector<std::string> walk_fault_;
    std::vector<Prep> preps_;
    std::vector<Slot> prepared_;
    std::vector<TailBlocks> tails_;
    std::vector<Slot> encoded_;
    std::vector<std::string> encode_why_;
    std::atomic<bool> walk_bad_{false};  // a walk found damage: the copy stops
    std::atomic<bool> stop_{false};      // the join is over: queued jobs do nothing
    std::atomic<int64_t> kept_tails_{kKeptTails};
    std::vector<Placement> placements_;
    std::unique_ptr<Fetcher> fetcher_;  // after inputs_, which its threads read
    std::unique_ptr<Copier> copier_;
    std::vector<std::string> removed_;
    std::vector<unsigned char> index_bytes_;  // an object output's index, for the commit
    std::string index_suffix_;
    Fault fault_;
    Pool pool_;  // last: its jobs use the members above, and it stops first
};

}  // namespace

bool print_fault(const Fault &f) {
    if (f.writing)
        fprintf(stderr, "[bcf_cat] error writing to %s: %s\n", f.file.c_str(), f.why.c_str());
    else
        fprintf(stderr, "[bcf_cat] %s: %s\n", f.file.c_str(), f.why.c_str());
    return false;
}

int run_join(const JoinOptions &o) {
    if (o.output && is_s3_url(o.output)) {
        // Before the join's threads start: it holds the signals in all of them.
        ObjectOutput object(o.output);
        return Join(o, &object).run();
    }
    return Join(o, nullptr).run();
}

}  // namespace vfjoin
