// Appending one input to the output.
#include "copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vfjoin {

namespace {

constexpr size_t kBufSize = 65536;     // the copy buffer of the read/write fallback
constexpr int64_t kPage = 4096;        // the block size that filesystems share extents in
constexpr off_t kPadFrom = 512 << 10;  // the smallest raw span that gets padded before it

bool refused(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
           err == ENOTSUP;
}

}  // namespace

bool report(const std::string &name, const std::string &what) {
    fprintf(stderr, "[bcf_cat] %s: %s\n", name.c_str(), what.c_str());
    return false;
}

Copier::Copier(int out_fd, int64_t position, std::string out_name, int level)
    : out_fd_(out_fd),
      position_(position),
      out_name_(std::move(out_name)),
      codec_(level),
      in_block_(kMaxBlock),
      data_(kMaxBlock),
      out_block_(kMaxBlock) {
    struct stat st;
    if (fstat(out_fd_, &st) == 0) {
        regular_ = S_ISREG(st.st_mode);
        to_pipe_ = S_ISFIFO(st.st_mode);
    }
}

bool Copier::write_failed(int err) {
    fprintf(stderr, "[bcf_cat] error writing to %s: %s\n", out_name_.c_str(),
            err ? strerror(err) : "write failed");
    return false;
}

bool Copier::put(const unsigned char *data, size_t len) {
    for (size_t done = 0; done < len;) {
        const ssize_t w = write(out_fd_, data + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return write_failed(w < 0 ? errno : EIO);
        done += size_t(w);
    }
    position_ += int64_t(len);
    return true;
}

namespace {

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

bool Copier::append(const Input &in, Placement *where) {
    // A kept descriptor stays open for whoever else reads the input (its walk); the copy
    // reads through a duplicate.
    Fd fd(in.fd >= 0 ? fcntl(in.fd, F_DUPFD_CLOEXEC, 0)
                     : open(in.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return report(in.name, strerror(errno));
    struct stat st;
    // The block in which the header ends, read again: the records that share it.
    const size_t tail_size = size_t(in.data_start - in.tail_block);
    if (fstat(fd.get(), &st) != 0 || !unchanged(st, in) || tail_size > kMaxBlock ||
        !read_at(fd.get(), in_block_.data(), tail_size, off_t(in.tail_block)) ||
        codec_.decode(in_block_.data(), tail_size, data_.data()) != in.tail_len)
        return report(in.name, "the file changed after it was checked");
    const unsigned char *records = data_.data() + in.tail_from;
    const size_t len = size_t(in.tail_len - in.tail_from);
    where->tail_out.clear();
    for (size_t at = 0; at < len;) {
        const size_t n = std::min(len - at, kBlockData);
        const size_t size = codec_.encode(records + at, n, out_block_.data());
        where->tail_out.emplace_back(position_, int(n));
        if (!put(out_block_.data(), size)) return false;
        at += n;
    }
    const off_t from = off_t(in.data_start), to = in.size - off_t(kMinEmptyBlock);
    // Padding costs up to 4 KiB, worth it only before a span large enough to gain from it.
    if (regular_ && to - from >= kPadFrom) {
        size_t pad = size_t((int64_t(from) - position_) & (kPage - 1));
        if (pad < kMinEmptyBlock) pad += kPage;
        empty_block(pad, out_block_.data());
        if (!put(out_block_.data(), pad)) return false;
        padded_++;
    }
    where->data_start = position_;
    if (!raw(in.name, fd.get(), from, to)) return false;
    position_ += to - from;
    where->data_end = position_;
    return true;
}

bool Copier::raw(const char *name, int fd, off_t from, off_t to) {
    off_t at = from;
    if (kernel_copy_) {
        // The unaligned head, the aligned middle in one call, then the tail.
        const off_t head = std::min(to, (from + kPage - 1) / kPage * kPage);
        const off_t middle = std::max(head, to / kPage * kPage);
        for (off_t stop : {head, middle, to})
            if (kernel_copy_ && !in_kernel(name, fd, &at, stop, false)) return false;
    }
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
