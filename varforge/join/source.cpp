// Local files as sources of bytes at offsets.
#include "source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vfjoin {

namespace {

bool looks_remote(const char *fn) {
    const char *colon = strstr(fn, "://");
    if (!colon || colon == fn) return false;
    for (const char *p = fn; p < colon; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
              *p == '+' || *p == '-' || *p == '.'))
            return false;
    return true;
}

bool fail(std::string *why, std::string what) {
    *why = std::move(what);
    return false;
}

}  // namespace

Identity Identity::of(const struct stat &st) {
    Identity id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

bool Identity::same(const Identity &o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
}

std::unique_ptr<Source> Source::open(const char *name, std::string *why) {
    if (looks_remote(name)) {
        *why = "remote files are not supported";
        return nullptr;
    }
    const bool is_stdin = strcmp(name, "-") == 0;
    // Without blocking: a FIFO or a device is refused below rather than waited on.
    const int fd = is_stdin ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Source> s(new Source(fd));
    if (!s->stat_now(why)) return nullptr;
    if (is_stdin && s->regular_ && lseek(fd, 0, SEEK_SET) != 0) {
        *why = strerror(errno);
        return nullptr;
    }
    return s;
}

std::unique_ptr<Source> Source::reopen(const char *name, int kept, const Identity &id,
                                       std::string *why) {
    const int fd = kept >= 0 ? fcntl(kept, F_DUPFD_CLOEXEC, 0)
                             : ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Source> s(new Source(fd));
    if (!s->stat_now(why)) return nullptr;
    if (!s->id_.same(id)) {
        *why = "the file changed after it was checked";
        return nullptr;
    }
    return s;
}

Source::~Source() {
    if (fd_ >= 0) close(fd_);
}

bool Source::stat_now(std::string *why) {
    struct stat st;
    if (fstat(fd_, &st) != 0) return fail(why, strerror(errno));
    id_ = Identity::of(st);
    regular_ = S_ISREG(st.st_mode);
    return true;
}

long Source::read_some(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    for (;;) {
        const ssize_t r = pread(fd_, buf, n, off_t(at));
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        *why = std::string("read error: ") + strerror(errno);
        return -1;
    }
}

bool Source::read_at(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    for (size_t got = 0; got < n;) {
        const long r = read_some(buf + got, n - got, at + int64_t(got), why);
        if (r < 0) return false;
        if (r == 0) return fail(why, kShrank);
        got += size_t(r);
    }
    return true;
}

int Source::keep(std::string *why) const {
    const int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) *why = strerror(errno);
    return fd;
}

}  // namespace vfjoin
