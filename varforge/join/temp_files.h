// temp_files: the join's temporary files, removed whatever ends the run: by their owner when
// a step fails or is done with them, and by a signal handler on SIGINT, SIGTERM and SIGHUP
// (which then ends the process by the same signal).
//
// Names are "PREFIX.vftmp.PID.XXXXXX": a later run that finds one whose process is gone knows
// it for a dead run's leftover (remove_dead_leftovers).
//
// Threads: any thread may create and release temporary files; the registry is a fixed table
// of slots that the signal handler reads without locks.
#ifndef VARFORGE_JOIN_TEMP_FILES_H
#define VARFORGE_JOIN_TEMP_FILES_H

#include <string>

namespace vfjoin {

class TempFile {
   public:
    TempFile() = default;
    ~TempFile() { remove(); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Creates "PREFIX.vftmp.PID.XXXXXX" (close-on-exec); the open descriptor, or -1 with errno
    // set. The file is registered for removal before this returns.
    int create(const std::string &prefix);

    // The file is no longer ours to remove (renamed into place).
    void keep();

    // Removes the file now (done by the destructor too).
    void remove();

    const std::string &path() const { return path_; }
    bool exists() const { return slot_ >= 0 || owned_; }

   private:
    std::string path_;
    int slot_ = -1;
    bool owned_ = false;
};

// In `dir`, removes the temporary files named "PREFIX*.vftmp.PID.*" whose process is gone.
void remove_dead_leftovers(const std::string &dir, const std::string &prefix);

// Holds SIGINT, SIGTERM and SIGHUP in this thread for the object's life, so that a change of
// names is not cut in half by the handler.
class HoldSignals {
   public:
    HoldSignals();
    ~HoldSignals();
    HoldSignals(const HoldSignals &) = delete;
    HoldSignals &operator=(const HoldSignals &) = delete;

   private:
    unsigned long old_[1024 / (8 * sizeof(unsigned long))];
};

}  // namespace vfjoin

#endif
