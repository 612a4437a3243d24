// The output of a join, written whole or not at all.
#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vfjoin {

namespace {

// The temporary files that a signal must remove (the output and its index): plain buffers,
// since the handler may only make async-signal-safe calls.
constexpr int kSlots = 2;
char g_temp[kSlots][PATH_MAX + 1];
int g_used = 0;

extern "C" void remove_temp_and_die(int sig) {
    for (auto &t : g_temp)
        if (t[0]) unlink(t);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void guard(bool on) {
    for (int sig : kSignals) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on ? remove_temp_and_die : SIG_DFL;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

// Blocks the guarded signals while the temporary file's name changes hands.
class Hold {
   public:
    Hold() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kSignals) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~Hold() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

   private:
    sigset_t old_;
};

}  // namespace

bool Output::existing(struct stat *st) const {
    return path_ && stat(path_, st) == 0;
}

bool Output::staged() const {
    struct stat st;
    return path_ && !(stat(path_, &st) == 0 && !S_ISREG(st.st_mode));
}

int Output::begin(std::string *why) {
    if (!path_) return kStdout;
    // A FILE that is not a regular file (a device, a FIFO, /dev/stdout on a pipe) is written
    // in place: renaming onto it would replace the device node or link, not feed it.
    struct stat st;
    if (stat(path_, &st) == 0 && !S_ISREG(st.st_mode)) {
        const int fd = open(path_, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) *why = strerror(errno);
        return fd;
    }
    // A link to a regular file keeps pointing at it: the file it names is replaced.
    target_ = path_;
    if (lstat(path_, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char *real = realpath(path_, nullptr)) {
            target_ = real;
            free(real);
        }
    }
    std::string dir = target_, base = target_;
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
    } else {
        base = dir.substr(slash + 1);
        dir.resize(slash ? slash : 1);
    }
    std::string tmpl = dir + "/." + base + ".tmpXXXXXX";
    if (tmpl.size() > PATH_MAX) {
        *why = strerror(ENAMETOOLONG);
        return -1;
    }
    Hold hold;
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    // A new file gets the permissions any program's new file gets, not mkstemp's 0600.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temp_ = tmpl;
    slot_ = g_used < kSlots ? g_used++ : kSlots - 1;
    memcpy(g_temp[slot_], tmpl.c_str(), tmpl.size() + 1);
    guard(true);
    // Written through this descriptor, never opened again with truncation: ext4 starts
    // writing back a file truncated to nothing when it is closed, which would cost the join
    // as much again.
    return fd;
}

bool Output::commit(std::string *why) {
    if (temp_.empty()) return true;
    Hold hold;
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        *why = strerror(errno);
        return false;
    }
    committed_ = true;
    g_temp[slot_][0] = '\0';
    return true;
}

Output::~Output() {
    if (temp_.empty() || committed_) return;
    Hold hold;
    unlink(temp_.c_str());
    g_temp[slot_][0] = '\0';
}

}  // namespace vfjoin
