// The join's temporary files.
#include "temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vfjoin {

namespace {

constexpr const char *kTag = ".vftmp.";
constexpr int kSlots = 32;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Plain buffers, since the handler may only make async-signal-safe calls. A slot is claimed
// by the thread that turns `taken` on; the handler reads only slots whose `live` is on.
char g_path[kSlots][PATH_MAX + 1];
std::atomic<bool> g_taken[kSlots], g_live[kSlots];

extern "C" void remove_temps_and_die(int sig) {
    for (int i = 0; i < kSlots; i++)
        if (g_live[i].load()) unlink(g_path[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_handler() {
    static std::atomic<bool> on{false};
    if (on.exchange(true)) return;
    for (int sig : kSignals) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_temps_and_die;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void release(int slot) {
    if (slot < 0) return;
    g_live[slot].store(false);
    g_taken[slot].store(false);
}

}  // namespace

HoldSignals::HoldSignals() {
    static_assert(sizeof old_ >= sizeof(sigset_t), "room for a signal set");
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t *>(old_));
}

HoldSignals::~HoldSignals() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t *>(old_), nullptr);
}

int TempFile::create(const std::string &prefix) {
    remove();
    const std::string tmpl = prefix + kTag + std::to_string(getpid()) + ".XXXXXX";
    if (tmpl.size() > PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The name is made in place in its slot, registered before the file exists: a signal that
    // another thread takes while the file is created still finds it (or no file yet).
    install_handler();
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; i++)
        if (!g_taken[i].exchange(true)) slot = i;
    int fd;
    if (slot >= 0) {
        path_ = tmpl;  // its room taken now: nothing is allocated once the file exists
        memcpy(g_path[slot], tmpl.c_str(), tmpl.size() + 1);
        g_live[slot].store(true);
        fd = mkostemp(g_path[slot], O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            release(slot);
            path_.clear();
            errno = err;
            return -1;
        }
        memcpy(path_.data(), g_path[slot], tmpl.size());
    } else {
        path_ = tmpl;
        HoldSignals hold;
        fd = mkostemp(path_.data(), O_CLOEXEC);
        if (fd < 0) {
            path_.clear();
            return -1;
        }
    }
    owned_ = true;
    slot_ = slot;
    return fd;
}

void TempFile::keep() {
    release(slot_);
    slot_ = -1;
    owned_ = false;
}

void TempFile::remove() {
    if (!owned_) return;
    HoldSignals hold;
    unlink(path_.c_str());
    release(slot_);
    slot_ = -1;
    owned_ = false;
}

void remove_dead_leftovers(const std::string &dir, const std::string &prefix) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
        const char *tag = strstr(name + prefix.size(), kTag);
        if (!tag) continue;
        char *end = nullptr;
        const long pid = strtol(tag + strlen(kTag), &end, 10);
        if (pid > 0 && *end == '.' && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(d), name, 0);
    }
    closedir(d);
}

}  // namespace vfjoin
