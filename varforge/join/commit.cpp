// The output of a join, and its index, put in place as a pair.
#include "commit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vfjoin {

namespace {

std::string dir_of(const std::string &p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash ? slash : 1);
}

std::string base_of(const std::string &p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// ".NAME" (appended to, not prepended: GCC 12 warns falsely on "." + name).
std::string hidden(const std::string &name) {
    std::string s(1, '.');
    s += name;
    return s;
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

// fsync or fdatasync, again when a signal interrupted it.
int sync_fd(int fd, bool data_only) {
    int r;
    do r = data_only ? fdatasync(fd) : fsync(fd);
    while (r != 0 && errno == EINTR);
    return r;
}

std::string reason(const char *what, int err) {
    return std::string(what) + ": " + strerror(err);
}

}  // namespace

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

std::string Commit::temp_prefix(const std::string &suffix) const {
    return dir_of(target_) + "/" + hidden(base_of(target_)) + suffix;
}

int Commit::begin(Fault *f) {
    if (!path_) return fd_ = STDOUT_FILENO;
    // A FILE that is not a regular file (a device, a FIFO, /dev/stdout on a pipe) is written
    // in place: renaming onto it would replace the device node or link, not feed it.
    if (!staged_) {
        fd_ = open(path_, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) f->set(path_, reason("cannot create the output", errno));
        return fd_;
    }
    remove_dead_leftovers(dir_of(target_), hidden(base_of(target_)));
    fd_ = temp_.create(temp_prefix(""));
    if (fd_ < 0) return f->set(path_, reason("cannot create the output", errno)), -1;
    // A replaced file keeps its permissions; a new one gets what any program's new file gets,
    // not mkstemp's 0600.
    struct stat st;
    const mode_t mode = stat(target_.c_str(), &st) == 0 ? st.st_mode & 07777 : new_file_mode();
    if (fchmod(fd_, mode) != 0) return f->set(path_, reason("cannot create the output", errno)), -1;
    // Written through this descriptor, never opened again with truncation: ext4 starts
    // writing back a file truncated to nothing when it is closed, which would cost the join
    // as much again.
    return fd_;
}

std::string Commit::begin_index(const std::string &suffix, Fault *f) {
    const std::string shown = target_ + suffix;
    index_suffix_ = suffix;
    const int fd = index_temp_.create(temp_prefix(suffix));
    if (fd < 0) return f->set(shown, reason("cannot create the index", errno)), "";
    const bool ok = fchmod(fd, new_file_mode()) == 0;
    const int err = errno;
    close(fd);
    if (!ok) return f->set(shown, reason("cannot create the index", err)), "";
    return index_temp_.path();
}

bool Commit::sync_file(int fd, const std::string &what, Fault *f) const {
    if (!sync_ || sync_fd(fd, true) == 0) return true;
    return f->set(what, std::string("cannot flush to disk: ") + strerror(errno), true);
}

bool Commit::commit(std::vector<std::string> *removed, Fault *f) {
    if (!path_ || !staged_) return true;
    if (!sync_file(fd_, name(), f)) return false;
    const std::string new_index = index_temp_.exists() ? target_ + index_suffix_ : "";
    if (!new_index.empty()) {
        Fd ifd(open(index_temp_.path().c_str(), O_RDONLY | O_CLOEXEC));
        if (ifd.get() < 0) return f->set(new_index, reason("cannot flush to disk", errno), true);
        if (!sync_file(ifd.get(), new_index, f)) return false;
    }
    const std::string dir = dir_of(target_);
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    HoldSignals hold;
    // Writers of one folder take turns here, so that two joins into one FILE leave one pair.
    if (dfd.get() >= 0)
        while (flock(dfd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    for (const std::string &p : index_paths()) {
        if (unlink(p.c_str()) == 0)
            removed->push_back(p);
        else if (errno != ENOENT)
            return f->set(
                p, reason("cannot remove the old index", errno) + "; the output was not replaced");
    }
    if (rename(temp_.path().c_str(), target_.c_str()) != 0)
        return f->set(path_, reason("cannot put the output in place", errno) +
                                 (removed->empty() ? "" : "; its old index was removed"));
    temp_.keep();
    bool ok = true;
    if (!new_index.empty()) {
        if (rename(index_temp_.path().c_str(), new_index.c_str()) == 0)
            index_temp_.keep();
        else
            ok = f->set(new_index, reason("cannot put the index in place", errno) + "; " + name() +
                                       " was written without an index");
    }
    if (ok && sync_ && dfd.get() >= 0 && sync_fd(dfd.get(), false) != 0)
        ok = f->set(dir, reason("cannot flush to disk", errno), true);
    return ok;
}

}  // namespace vfjoin
