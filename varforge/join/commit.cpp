// The output of a join, and its index, put in place as a pair.
#include "commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vfjoin {

namespace {

constexpr const char *kTempTag = ".vftmp.";

// The temporary files that a signal must remove: plain buffers, since the handler may only
// make async-signal-safe calls.
constexpr int kSlots = 16;
char g_temp[kSlots][PATH_MAX + 1];
std::atomic<bool> g_used[kSlots];

extern "C" void remove_temp_and_die(int sig) {
    for (int i = 0; i < kSlots; i++)
        if (g_used[i].load()) unlink(g_temp[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void guard() {
    static std::atomic<bool> on{false};
    if (on.exchange(true)) return;
    for (int sig : kSignals) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_temp_and_die;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

// Holds the guarded signals while files change names (this thread only: the others never
// rename).
class Hold {
   public:
    Hold() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kSignals) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~Hold() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

   private:
    sigset_t old_;
};

std::string dir_of(const std::string &p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash ? slash : 1);
}

std::string base_of(const std::string &p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

class Fd {
   public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

   private:
    int fd_;
};

}  // namespace

int Commit::temp_claim(const std::string &path) {
    if (path.size() > PATH_MAX) return -1;
    guard();
    for (int i = 0; i < kSlots; i++) {
        // A slot is claimed by the thread that turns its name's first byte from 0: the flag
        // alone would let two threads fill one name.
        static std::atomic<bool> taken[kSlots];
        if (taken[i].exchange(true)) continue;
        memcpy(g_temp[i], path.c_str(), path.size() + 1);
        g_used[i].store(true);
        return i;
    }
    return -1;
}

void Commit::temp_release(int slot) {
    if (slot < 0) return;
    g_used[slot].store(false);
}

Commit::Commit(const char *path, bool sync) : path_(path), sync_(sync) {
    if (!path_) return;
    struct stat st;
    staged_ = !(stat(path_, &st) == 0 && !S_ISREG(st.st_mode));
    target_ = path_;
    // A link to a regular file keeps pointing at it: the file it names is replaced.
    if (lstat(path_, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char *real = realpath(path_, nullptr)) {
            target_ = real;
            free(real);
        }
    }
}

Commit::~Commit() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    if (committed_) return;
    Hold hold;
    for (auto [path, slot] : {std::pair{&temp_, temp_slot_}, {&index_temp_, index_slot_}}) {
        if (path->empty()) continue;
        unlink(path->c_str());
        temp_release(slot);
    }
}

bool Commit::existing(struct stat *st) const {
    return path_ && stat(path_, st) == 0;
}

std::vector<std::string> Commit::index_paths() const {
    std::vector<std::string> paths;
    if (!path_) return paths;
    for (const std::string &base : {target_, std::string(path_)})
        for (const char *suffix : {".csi", ".tbi"}) {
            std::string p = base + suffix;
            bool seen = false;
            for (const auto &q : paths) seen = seen || q == p;
            if (!seen) paths.push_back(p);
        }
    return paths;
}

std::string Commit::temp_path(const std::string &suffix) const {
    return dir_of(target_) + "/." + base_of(target_) + suffix + kTempTag +
           std::to_string(getpid()) + ".XXXXXX";
}

// Removes the temporary files of joins into the same file whose process is gone.
void Commit::remove_leftovers() const {
    const std::string dir = dir_of(target_), prefix = "." + base_of(target_);
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = name.substr(prefix.size());
        for (const char *suffix : {".csi", ".tbi"})
            if (rest.compare(0, 4, suffix) == 0) rest.erase(0, 4);
        if (rest.compare(0, strlen(kTempTag), kTempTag) != 0) continue;
        const long pid = strtol(rest.c_str() + strlen(kTempTag), nullptr, 10);
        if (pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            unlink((dir + "/" + name).c_str());
    }
    closedir(d);
}

int Commit::begin(Fault *f) {
    if (!path_) return fd_ = STDOUT_FILENO;
    // A FILE that is not a regular file (a device, a FIFO, /dev/stdout on a pipe) is written
    // in place: renaming onto it would replace the device node or link, not feed it.
    if (!staged_) {
        fd_ = open(path_, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) f->set(path_, std::string("cannot create the output: ") + strerror(errno));
        return fd_;
    }
    remove_leftovers();
    std::string tmpl = temp_path("");
    if (tmpl.size() > PATH_MAX)
        return f->set(path_, std::string("cannot create the output: ") + strerror(ENAMETOOLONG)),
               -1;
    Hold hold;
    fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd_ < 0)
        return f->set(path_, std::string("cannot create the output: ") + strerror(errno)), -1;
    temp_ = tmpl;
    temp_slot_ = temp_claim(temp_);
    // A replaced file keeps its permissions; a new one gets what any program's new file gets,
    // not mkstemp's 0600.
    struct stat st;
    const mode_t mode = stat(target_.c_str(), &st) == 0 ? st.st_mode & 07777 : new_file_mode();
    if (fchmod(fd_, mode) != 0)
        return f->set(path_, std::string("cannot create the output: ") + strerror(errno)), -1;
    // Written through this descriptor, never opened again with truncation: ext4 starts
    // writing back a file truncated to nothing when it is closed, which would cost the join
    // as much again.
    return fd_;
}

std::string Commit::begin_index(const std::string &suffix, Fault *f) {
    const std::string shown = target_ + suffix;
    std::string tmpl = temp_path(suffix);
    Hold hold;
    const int fd = tmpl.size() > PATH_MAX ? (errno = ENAMETOOLONG, -1)
                                          : mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return f->set(shown, std::string("cannot create the index: ") + strerror(errno)), "";
    index_temp_ = tmpl;
    index_suffix_ = suffix;
    index_slot_ = temp_claim(index_temp_);
    const bool ok = fchmod(fd, new_file_mode()) == 0;
    const int err = errno;
    close(fd);
    if (!ok) return f->set(shown, std::string("cannot create the index: ") + strerror(err)), "";
    return index_temp_;
}

bool Commit::sync_file(int fd, const std::string &what, Fault *f) const {
    if (!sync_ || fdatasync(fd) == 0) return true;
    return f->set(what, std::string("cannot flush to disk: ") + strerror(errno), true);
}

bool Commit::commit(std::vector<std::string> *removed, Fault *f) {
    if (!path_) return true;
    if (!staged_) return sync_file(fd_, name(), f);
    if (!sync_file(fd_, name(), f)) return false;
    if (!index_temp_.empty()) {
        Fd ifd(open(index_temp_.c_str(), O_RDONLY | O_CLOEXEC));
        if (ifd.get() < 0 || !sync_file(ifd.get(), target_ + index_suffix_, f))
            return f->why.empty() ? f->set(target_ + index_suffix_,
                                           std::string("cannot flush to disk: ") + strerror(errno))
                                  : false;
    }
    const std::string dir = dir_of(target_);
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Hold hold;
    // Writers of one folder take turns here, so that two joins into one FILE leave one pair.
    if (dfd.get() >= 0) flock(dfd.get(), LOCK_EX);
    const std::string new_index = index_temp_.empty() ? "" : target_ + index_suffix_;
    for (const std::string &p : index_paths()) {
        if (unlink(p.c_str()) == 0) {
            removed->push_back(p);
        } else if (errno != ENOENT) {
            return f->set(p, std::string("cannot remove the old index: ") + strerror(errno) +
                                 "; the output was not replaced");
        }
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0)
        return f->set(path_, std::string("cannot put the output in place: ") + strerror(errno) +
                                 (removed->empty() ? "" : "; its old index was removed"));
    committed_ = true;
    temp_release(temp_slot_);
    bool ok = true;
    if (!index_temp_.empty()) {
        if (rename(index_temp_.c_str(), new_index.c_str()) != 0) {
            ok = f->set(new_index, std::string("cannot put the index in place: ") +
                                       strerror(errno) + "; " + name() +
                                       " was written without an index");
            unlink(index_temp_.c_str());
        }
        temp_release(index_slot_);
    }
    if (ok && sync_ && dfd.get() >= 0 && fsync(dfd.get()) != 0)
        ok = f->set(dir, std::string("cannot flush to disk: ") + strerror(errno), true);
    return ok;
}

}  // namespace vfjoin
