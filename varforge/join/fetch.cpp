// Remote inputs' data fetched ahead of the copy.
#include "fetch.h"

#include <algorithm>
#include <exception>
#include <new>

namespace vfjoin {

Fetcher::Fetcher(const std::vector<Input> &inputs, int ahead)
    : inputs_(inputs), streams_(inputs.size()) {
    for (size_t i = 0; i < inputs.size(); i++)
        if (is_url(inputs[i].name)) {
            remote_.push_back(i);
            streams_[i] = std::make_unique<Stream>();
        }
    const size_t threads = std::min(remote_.size(), size_t(ahead < 1 ? 1 : ahead));
    // Fewer threads than asked only fetch less far ahead; with none, the join cannot go on.
    try {
        for (size_t t = 0; t < threads; t++) threads_.emplace_back([this] { run(); });
    } catch (const std::exception &) {
        if (threads_.empty() && threads > 0) throw;
    }
}

Fetcher::~Fetcher() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_) t.join();
}

void Fetcher::run() {
    for (;;) {
        size_t i;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_ || next_ == remote_.size()) return;
            i = remote_[next_++];
        }
        fetch(i);
    }
}

void Fetcher::fetch(size_t i) {
    const Input &in = inputs_[i];
    Stream &s = *streams_[i];
    std::string why;
    try {
        std::unique_ptr<Source> src = Source::reopen(in.name, -1, in.id, &why);
        for (int64_t at = in.data_start, to = in.data_end(); src && at < to;) {
            std::vector<unsigned char> piece(size_t(std::min<int64_t>(kFetchPiece, to - at)));
            if (!src->read_at(piece.data(), piece.size(), at, &why)) break;
            at += int64_t(piece.size());
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return stop_ || s.bytes < kFetchBuffer; });
            if (stop_) return;
            s.bytes += piece.size();
            s.pieces.push_back(std::move(piece));
            cv_.notify_all();
        }
    } catch (const std::bad_alloc &) {
        why = "out of memory";
    }
    std::lock_guard<std::mutex> lock(mu_);
    s.why = why == kShrank ? "the file shrank while it was copied" : why;
    s.done = true;
    cv_.notify_all();
}

bool Fetcher::take(const Input &in, std::vector<unsigned char> *piece, std::string *why) {
    Stream &s = *streams_[size_t(&in - inputs_.data())];
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return !s.pieces.empty() || s.done; });
    piece->clear();
    if (!s.pieces.empty()) {
        piece->swap(s.pieces.front());
        s.pieces.pop_front();
        s.bytes -= piece->size();
        cv_.notify_all();
        return true;
    }
    if (!s.why.empty()) {
        *why = s.why;
        return false;
    }
    return true;
}

}  // namespace vfjoin
