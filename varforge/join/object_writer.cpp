#include "object_writer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>

namespace vfjoin {

ObjectWriter::ObjectWriter(PartStore &store, RangeReader read, const PartLimits &limits,
                           int64_t expected_total, int parallel)
    : store_(store),
      read_(std::move(read)),
      planner_(limits, expected_total),
      parallel_(std::max(1, parallel)) {
    try {
        for (int i = 0; i < parallel_; i++) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error &e) {
        // Fewer senders will do; none leaves the writer stopped.
        parallel_ = static_cast<int>(threads_.size());
        if (parallel_ == 0) stop(std::string("cannot start a thread: ") + e.what(), nullptr);
    }
}

ObjectWriter::~ObjectWriter() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closing_ = true;
        queue_.clear();
    }
    work_ready_.notify_all();
    for (auto &t : threads_) t.join();
}

void ObjectWriter::set_source(int source, CopySource src) {
    sources_[source] = std::move(src);
}

bool ObjectWriter::stop(const std::string &reason, std::string *why) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!failed_) {
        failed_ = true;
        why_ = reason;
    }
    busy_ -= static_cast<int>(queue_.size());
    queue_.clear();  // nothing more is sent
    slot_free_.notify_all();
    if (why) *why = why_;
    return false;
}

bool ObjectWriter::stopped(std::string *why) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (failed_ && why) *why = why_;
    return failed_;
}

void ObjectWriter::work() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        work_ready_.wait(hold, [this] { return closing_ || !queue_.empty(); });
        if (closing_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        std::string etag, why;
        bool ok = false;
        try {
            ok = job.copy
                     ? store_.copy(job.number, job.src, job.first, job.last, &etag, &why)
                     : store_.upload(job.number, job.data.data(), job.data.size(), &etag, &why);
        } catch (const std::exception &e) {
            why = e.what();
        } catch (...) {
            why = "an unexpected error";
        }
        job.data = {};
        hold.lock();
        if (ok) {
            etags_[job.number - 1] = std::move(etag);
        } else if (!failed_) {
            failed_ = true;
            why_ = "part " + std::to_string(job.number) + ": " + why;
            busy_ -= static_cast<int>(queue_.size());
            queue_.clear();  // nothing more is sent
        }
        busy_--;
        slot_free_.notify_all();
    }
}

// Copies the output's bytes [out, out+len) from the held pieces into `buf`.
bool ObjectWriter::fill(int number, int64_t out, int64_t len, unsigned char *buf,
                        std::string *why) {
    for (const Held &h : held_) {
        const int64_t lo = std::max(out, h.out), hi = std::min(out + len, h.out + h.len);
        if (h.out >= out + len) break;
        if (lo >= hi) continue;
        if (h.is_bytes) {
            const unsigned char *from = h.ext ? h.ext : h.data.data();
            std::memcpy(buf + (lo - out), from + (lo - h.out), static_cast<size_t>(hi - lo));
            continue;
        }
        std::string reason;
        if (!read_(h.source, h.offset + (lo - h.out), static_cast<size_t>(hi - lo),
                   buf + (lo - out), &reason))
            return stop("part " + std::to_string(number) + ": reading input " +
                            std::to_string(h.source) + ": " + reason,
                        why);
        downloaded_ += hi - lo;
    }
    return true;
}

bool ObjectWriter::send(const PlannedPart &p, std::string *why) {
    Job job;
    job.number = p.number;
    if (p.copy) {
        const auto at = sources_.find(p.source);
        if (at == sources_.end())
            return stop("part " + std::to_string(p.number) + ": input " + std::to_string(p.source) +
                            " has no location in the store",
                        why);
        job.copy = true;
        job.src = at->second;
        job.first = p.src_offset;
        job.last = p.src_offset + p.len - 1;
    } else {
        job.data.resize(static_cast<size_t>(p.len));
        if (!fill(p.number, p.out_offset, p.len, job.data.data(), why)) return false;
        uploaded_ += p.len;
    }
    planned_ = p.out_offset + p.len;
    parts_ = p.number;
    std::unique_lock<std::mutex> hold(mutex_);
    slot_free_.wait(hold, [this] { return failed_ || busy_ < parallel_; });
    if (failed_) {
        if (why) *why = why_;
        return false;
    }
    if (etags_.size() < static_cast<size_t>(p.number)) etags_.resize(p.number);
    queue_.push_back(std::move(job));
    busy_++;
    hold.unlock();
    work_ready_.notify_one();
    return true;
}

bool ObjectWriter::add(Held h, std::string *why) {
    if (stopped(why)) return false;
    if (h.len < 0 || (!h.is_bytes && h.offset < 0))
        return stop("a piece of negative length or offset", why);
    if (h.len == 0) return true;
    const Piece piece{h.is_bytes ? Piece::kBytes : Piece::kRange, h.len, h.source, h.offset,
                      h.copyable};
    std::vector<PlannedPart> ready;
    std::string reason;
    if (!planner_.add(piece, &ready, &reason)) return stop(reason, why);
    h.out = position_;
    position_ += h.len;
    held_.push_back(std::move(h));
    for (const PlannedPart &p : ready)
        if (!send(p, why)) return false;
    // Drop what the parts took; keep a copy of the caller's bytes that no part took yet.
    while (!held_.empty() && held_.front().out + held_.front().len <= planned_) held_.pop_front();
    if (!held_.empty() && held_.front().out < planned_) {
        Held &f = held_.front();
        const int64_t cut = planned_ - f.out;
        if (f.ext)
            f.ext += cut;
        else if (f.is_bytes)
            f.data.erase(f.data.begin(), f.data.begin() + cut);
        f.out += cut;
        f.offset += f.is_bytes ? 0 : cut;
        f.len -= cut;
    }
    if (!held_.empty() && held_.back().ext) {
        Held &b = held_.back();
        b.data.assign(b.ext, b.ext + b.len);
        b.ext = nullptr;
    }
    return true;
}

bool ObjectWriter::bytes(const unsigned char *data, size_t len, std::string *why) {
    if (len > static_cast<size_t>(INT64_MAX)) return stop("a piece too large", why);
    Held h;
    h.len = static_cast<int64_t>(len);
    h.is_bytes = true;
    h.ext = data;
    return add(std::move(h), why);
}

bool ObjectWriter::range(int source, int64_t offset, int64_t len, bool copyable, std::string *why) {
    Held h;
    h.len = len;
    h.copyable = copyable;
    h.source = source;
    h.offset = offset;
    return add(std::move(h), why);
}

bool ObjectWriter::finish(std::vector<std::pair<int, std::string>> *parts, std::string *why) {
    if (stopped(why)) return false;
    std::vector<PlannedPart> ready;
    std::string reason;
    if (!planner_.finish(&ready, &reason)) return stop(reason, why);
    for (const PlannedPart &p : ready)
        if (!send(p, why)) return false;
    held_.clear();
    std::unique_lock<std::mutex> hold(mutex_);
    slot_free_.wait(hold, [this] { return busy_ == 0; });
    if (failed_) {
        if (why) *why = why_;
        return false;
    }
    parts->clear();
    for (int n = 1; n <= parts_; n++) parts->emplace_back(n, etags_[n - 1]);
    return true;
}

}  // namespace vfjoin
