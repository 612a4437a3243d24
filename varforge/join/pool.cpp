// The join's worker threads.
#include "pool.h"

#include <algorithm>
#include <exception>

namespace vfjoin {

Pool::Pool(unsigned threads) {
    // Fewer workers than asked (none, when the system has no thread to give) only cost time:
    // the waiters then run every job themselves.
    try {
        for (unsigned t = 0; t < threads; t++) threads_.emplace_back([this] { work(); });
    } catch (const std::exception &) {
    }
}

Pool::~Pool() {
    drain();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
    for (auto &t : threads_) t.join();
}

unsigned Pool::workers_for_cores(unsigned cap) {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::max(1u, std::min(cores > 1 ? cores - 1 : 1, cap));
}

void Pool::submit(Priority p, std::function<void()> job, Slot *slot) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        queue_.emplace(std::make_pair(int(p), seq_++), Job{std::move(job), slot});
    }
    ready_.notify_one();
}

// Runs the first queued job, with the lock released meanwhile; false when none is queued.
bool Pool::run_one(std::unique_lock<std::mutex> &hold, int help) {
    if (queue_.empty() || queue_.begin()->first.first > help) return false;
    Job job = std::move(queue_.begin()->second);
    queue_.erase(queue_.begin());
    running_++;
    hold.unlock();
    try {
        job.run();
    } catch (...) {
        // A job reports its own faults; one that escapes (out of memory while it reported)
        // must still not take the process down or leave its waiter waiting.
        failed_ = true;
    }
    hold.lock();
    running_--;
    if (job.slot) job.slot->done_ = true;
    finished_.notify_all();
    return true;
}

void Pool::work() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        ready_.wait(hold, [this] { return closed_ || !queue_.empty(); });
        if (!run_one(hold, kLater) && closed_) return;
    }
}

void Pool::wait(Slot *slot, Priority help) {
    if (threads_.empty()) help = kLater;
    std::unique_lock<std::mutex> hold(mutex_);
    while (!slot->done_)
        if (!run_one(hold, help)) finished_.wait(hold);
}

void Pool::drain() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!queue_.empty() || running_ > 0)
        if (!run_one(hold, kLater)) finished_.wait(hold);
}

}  // namespace vfjoin
