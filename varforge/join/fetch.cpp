// Remote inputs' data fetched ahead of the copy.
#include "fetch.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace vfjoin {

Fetcher::Fetcher(const std::vector<Input> &inputs, int ahead, const std::vector<bool> &skip)
    : inputs_(inputs), streams_(inputs.size()) {
    for (size_t i = 0; i < inputs.size(); i++)
        if (is_url(inputs[i].name) && !(i < skip.size() && skip[i])) {
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
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return stop_ || admitted_ > i; });
            if (stop_) return;
        }
        fetch(i);
    }
}

// Whether the stream's first bytes are the ones the check saw at the data's start; a server
// that ignored the range sends the file from its first byte instead.
bool starts_as_checked(const Input &in, const ReadBuffer &piece, std::string *why) {
    const size_t n = std::min(piece.size(), size_t(in.data_head_len));
    if (memcmp(piece.data(), in.data_head, n) == 0) return true;
    *why = "the file changed after it was checked, or the server does not serve byte ranges";
    return false;
}

// Whether the stream ends with the end-of-file block, where the check found it.
bool ends_as_checked(const Input &in, const Source &src, std::string *why) {
    unsigned char tail[kMinEmptyBlock + 1];
    const long n = src.read_some(tail, sizeof tail, in.data_end(), why);
    if (n < 0) return false;
    if (n != long(kMinEmptyBlock) || memcmp(tail, kEofBlock, kMinEmptyBlock) != 0) {
        *why = "the file changed after it was checked";
        return false;
    }
    return true;
}

ReadBuffer Fetcher::spare_piece() {
    std::lock_guard<std::mutex> lock(mu_);
    if (spare_.empty()) return {};
    ReadBuffer piece = std::move(spare_.back());
    spare_.pop_back();
    return piece;
}

void Fetcher::fetch(size_t i) {
    const Input &in = inputs_[i];
    Stream &s = *streams_[i];
    std::string why;
    try {
        // One request for the data and the end-of-file block after it, on the connection of
        // the check when it was kept.
        std::shared_ptr<Source> src = std::move(in.remote);
        if (!src) src = Source::stream_from(in.name, in.id, in.data_start, &why);
        bool first = true;
        for (int64_t at = in.data_start, to = in.data_end(); src && at < to;) {
            ReadBuffer piece = spare_piece();
            piece.resize(size_t(std::min<int64_t>(kFetchPiece, to - at)));
            if (!src->read_at(piece.data(), piece.size(), at, &why)) break;
            if (first && !starts_as_checked(in, piece, &why)) break;
            first = false;
            at += int64_t(piece.size());
            if (at == to && !ends_as_checked(in, *src, &why)) break;
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

void Fetcher::admitted(size_t count) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        admitted_ = count;
    }
    cv_.notify_all();
}

bool Fetcher::take(const Input &in, ReadBuffer *piece, std::string *why) {
    Stream &s = *streams_[size_t(&in - inputs_.data())];
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return !s.pieces.empty() || s.done; });
    piece->clear();
    if (!s.pieces.empty()) {
        // As many as the fetches may hold at once: no more memory than they take anyway.
        if (piece->capacity() >= kFetchPiece &&
            spare_.size() < threads_.size() * (kFetchBuffer / kFetchPiece + 1))
            spare_.push_back(std::move(*piece));
        *piece = std::move(s.pieces.front());
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
