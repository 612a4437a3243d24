// The progress line of a long join.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vfjoin {

namespace {

constexpr auto kAfter = std::chrono::seconds(1);         // a join shorter than this shows nothing
constexpr auto kEvery = std::chrono::milliseconds(200);  // at most this often

}  // namespace

Progress::Progress(bool quiet, size_t total)
    : on_(!quiet && isatty(STDERR_FILENO)),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

void Progress::done(size_t inputs, int64_t bytes) {
    if (!on_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < kAfter || (now - last_ < kEvery && inputs < total_)) return;
    last_ = now;
    fprintf(stderr, "\r[bcf_cat] %zu of %zu inputs, %.1f MB written", inputs, total_,
            double(bytes) / 1e6);
    shown_ = true;
}

void Progress::finish() {
    if (shown_) fputc('\n', stderr);
    shown_ = false;
}

}  // namespace vfjoin
