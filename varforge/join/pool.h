// pool: the join's worker threads. Jobs are closures run in order of priority, then of
// submission; a thread that needs a job's result waits for it with wait(), which runs queued
// jobs itself while the result is not there, so a wait never deadlocks and two cores are busy
// even with one worker thread.
//
// Threads: the pool's workers and the thread that waits run jobs. A job may touch only what
// its submitter handed to it, and reports its own faults; one that throws is marked failed().
// The submitter reads a job's results only after wait() on its Slot returned. Jobs that call htslib
// need its message level set once (to off, by cat_command) before the pool starts: htslib's level
// is process-wide.
#ifndef VARFORGE_JOIN_POOL_H
#define VARFORGE_JOIN_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vfjoin {

// A job's completion, for the thread that waits for it.
class Slot {
   private:
    friend class Pool;
    bool done_ = false;  // guarded by the pool's mutex
};

class Pool {
   public:
    // Job priorities: the smaller runs first.
    enum Priority { kNow = 0, kSoon = 1, kLater = 2 };

    // `threads` workers besides the callers of wait() (0: jobs run only in wait()).
    explicit Pool(unsigned threads);
    // Runs every job still queued, then stops the workers.
    ~Pool();
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // Queues `job`; `slot` (may be null) is marked done when it has run. A slot outlives its
    // job.
    void submit(Priority p, std::function<void()> job, Slot *slot);

    // Returns once `slot`'s job has run, running queued jobs of priority `help` or more urgent
    // meanwhile (so that a wait for a quick job does not take on a long one).
    void wait(Slot *slot, Priority help = kNow);

    // Runs and waits for every job queued.
    void drain();

    // Whether a job ended with an exception (its results are then incomplete).
    bool failed() const { return failed_; }

    // One worker per core beyond the first, at most `cap`.
    static unsigned workers_for_cores(unsigned cap);

   private:
    struct Job {
        std::function<void()> run;
        Slot *slot;
    };
    bool run_one(std::unique_lock<std::mutex> &hold, int help);
    void work();

    std::mutex mutex_;
    std::condition_variable ready_, finished_;
    std::map<std::pair<int, uint64_t>, Job> queue_;
    uint64_t seq_ = 0;
    int running_ = 0;
    bool closed_ = false;
    std::atomic<bool> failed_{false};
    std::vector<std::thread> threads_;
};

}  // namespace vfjoin

#endif
