// progress: what a long join shows while it runs, on standard error when that is a terminal:
// inputs done of the total and bytes written, from one second in, overwritten in place.
#ifndef VARFORGE_JOIN_PROGRESS_H
#define VARFORGE_JOIN_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vfjoin {

class Progress {
   public:
    Progress(bool quiet, size_t total);
    // `inputs` of the total are done and `bytes` written.
    void done(size_t inputs, int64_t bytes);
    // Ends the line, when one was shown.
    void finish();

   private:
    bool on_;
    bool shown_ = false;
    size_t total_;
    std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace vfjoin

#endif
