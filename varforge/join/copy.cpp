// Appending one input to the output.
#include "copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vfjoin {

namespace {

constexpr size_t kBufSize = 65536;  // the copy buffer of the read/write fallback

bool refused(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
           err == ENOTSUP;
}

}  // namespace

bool report(const std::string &name, const std::string &what) {
    fprintf(stderr, "[bcf_cat] %s: %s\n", name.c_str(), what.c_str());
    return false;
}

Copier::Copier(vf::BGZF *out, std::string out_name)
    : out_(out), out_fd_(out->file_descriptor), out_name_(std::move(out_name)) {
    struct stat st;
    to_pipe_ = fstat(out_fd_, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool Copier::write_failed(int err) {
    fprintf(stderr, "[bcf_cat] error writing to %s: %s\n", out_name_.c_str(),
            err ? strerror(err) : "write failed");
    return false;
}

bool Copier::append(const Input &in) {
    // A kept descriptor stays open for whoever else reads the input (its walk); the copy
    // reads through a duplicate.
    const int fd = in.fd >= 0 ? fcntl(in.fd, F_DUPFD_CLOEXEC, 0)
                              : open(in.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return report(in.name, strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !unchanged(st, in) || lseek(fd, in.tail_block, SEEK_SET) < 0) {
        close(fd);
        return report(in.name, "the file changed after it was checked");
    }
    // The block in which the header ends, read again: the records that share it.
    vf::BGZF *bg = vf::bgzf_dopen(fd, "r");
    if (!bg) return report(in.name, strerror(errno));
    bool ok = vf::bgzf_read_block(bg) == 0 && bg->block_length == in.tail_len &&
              bg->x.fpr->offset == in.data_start;
    if (!ok) {
        report(in.name, "the file changed after it was checked");
    } else if (in.tail_from < in.tail_len) {
        errno = 0;
        if (vf::bgzf_write(out_, static_cast<char *>(bg->uncompressed_block) + in.tail_from,
                           size_t(in.tail_len - in.tail_from)) < 0 ||
            vf::bgzf_flush(out_) < 0)
            ok = write_failed(errno);
    }
    // Whatever the output's stream holds has reached its descriptor by now (the stream writes
    // whole blocks to an unbuffered FILE), so the raw span follows it in order.
    if (ok) ok = raw(in.name, bg->x.fpr->fd, off_t(in.data_start), in.size - vf::BGZF_EOF_SIZE);
    vf::bgzf_close(bg);
    return ok;
}

bool Copier::raw(const char *name, int fd, off_t from, off_t to) {
    off_t at = from;
    if (kernel_copy_ && !in_kernel(name, fd, &at, to, false)) return false;
    if (at < to && splice_ && to_pipe_ && !in_kernel(name, fd, &at, to, true)) return false;
    return at >= to || buffered(name, fd, at, to);
}

// Moves bytes with copy_file_range or splice while the kernel takes them. Stops early, leaving
// the rest to the next way, when it refuses or moves nothing; false on a failure, with the
// message written.
bool Copier::in_kernel(const char *name, int fd, off_t *at, off_t to, bool use_splice) {
    while (*at < to) {
        const size_t len = size_t(to - *at > (1 << 30) ? (1 << 30) : to - *at);
        off64_t off = *at;
        const ssize_t n = use_splice ? splice(fd, &off, out_fd_, nullptr, len, SPLICE_F_MORE)
                                     : copy_file_range(fd, &off, out_fd_, nullptr, len, 0);
        if (n > 0) {
            *at += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || refused(errno)) {
            // The kernel will not (or can no longer) move these bytes this way: the next way
            // takes over, which also tells a shrunken input from a refusal.
            (use_splice ? splice_ : kernel_copy_) = false;
            return true;
        }
        const int err = errno;
        if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EPIPE)
            return write_failed(err);
        return report(name, "cannot copy to " + out_name_ + ": " + strerror(err));
    }
    return true;
}

bool Copier::buffered(const char *name, int fd, off_t at, off_t to) {
    if (buf_.empty()) buf_.resize(kBufSize);
    while (at < to) {
        const size_t want = size_t(to - at) < kBufSize ? size_t(to - at) : kBufSize;
        const ssize_t got = pread(fd, buf_.data(), want, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0)
            return report(name, got < 0 ? strerror(errno) : "the file shrank while it was copied");
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = write(out_fd_, buf_.data() + done, size_t(got - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return write_failed(w < 0 ? errno : EIO);
            done += w;
        }
        at += got;
    }
    return true;
}

}  // namespace vfjoin
