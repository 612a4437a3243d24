// Local-file reader behind the BGZF stream.
#include "knetfile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vf {

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

knetFile *make_local(int fd) {
    auto *fp = static_cast<knetFile *>(calloc(1, sizeof(knetFile)));
    if (!fp) return nullptr;
    fp->type = KNF_TYPE_LOCAL;
    fp->fd = fd;
    fp->ctrl_fd = -1;
    return fp;
}

}  // namespace

knetFile *knet_open(const char *fn, const char *mode) {
    if (!fn || !mode || mode[0] != 'r') {
        errno = EINVAL;
        return nullptr;
    }
    if (looks_remote(fn)) {
        errno = EPROTONOSUPPORT;
        return nullptr;
    }
    // Standard input is read through a duplicate so that closing the reader leaves it open.
    int fd = strcmp(fn, "-") == 0 ? dup(STDIN_FILENO) : open(fn, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    knetFile *fp = make_local(fd);
    if (!fp) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return fp;
}

knetFile *knet_dopen(int fd, const char *mode) {
    if (fd < 0 || !mode || mode[0] != 'r') {
        errno = EINVAL;
        return nullptr;
    }
    knetFile *fp = make_local(fd);
    if (fp) {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        fp->offset = at > 0 ? at : 0;
    }
    return fp;
}

off_t knet_read(knetFile *fp, void *buf, off_t len) {
    if (!fp || len < 0) {
        errno = EINVAL;
        return -1;
    }
    auto *p = static_cast<char *>(buf);
    off_t got = 0;
    while (got < len) {
        ssize_t r = read(fp->fd, p + got, size_t(len - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += r;
        fp->offset += r;
    }
    return got;
}

int knet_close(knetFile *fp) {
    if (!fp) return 0;
    int r = 0;
    if (close(fp->fd) != 0) r = -1;
    free(fp);
    return r;
}

}  // namespace vf
