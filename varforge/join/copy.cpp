// Writing the joined stream.
#include "copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "bytes.h"

namespace vfjoin {

namespace {

constexpr size_t kBufSize = 65536;       // the copy buffer of the read/write fallback
constexpr int64_t kPage = 4096;          // the block size that filesystems share extents in
constexpr int64_t kPadFrom = 512 << 10;  // the smallest raw span that gets padded before it

bool refused(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
           err == ENOTSUP;
}

// Appends `len` bytes of `data` as blocks of at most kBlockData bytes each.
void encode_blocks(BlockCodec &codec, const unsigned char *data, size_t len, TailBlocks *out) {
    unsigned char block[kMaxBlock];
    out->bytes.reserve(out->bytes.size() + len + (len / kBlockData + 1) * 64);
    for (size_t at = 0; at < len;) {
        const size_t n = std::min(len - at, kBlockData);
        const size_t size = codec.encode(data + at, n, block);
        out->bytes.insert(out->bytes.end(), block, block + size);
        out->blocks.emplace_back(size, int(n));
        at += n;
    }
}

}  // namespace

bool encode_tail(const Input &in, BlockCodec &codec, TailBlocks *out, std::string *why) {
    out->bytes.clear();
    out->blocks.clear();
    if (in.tail_bytes() == 0) return true;
    if (in.tail) {
        encode_blocks(codec, in.tail.get() + in.tail_from, in.tail_bytes(), out);
        return true;
    }
    // Not kept: the block in which the header ends, read again.
    std::unique_ptr<Source> src = Source::reopen(in.name, in.fd, in.id, why);
    if (!src) return false;
    const size_t size = size_t(in.data_start - in.tail_block);
    std::vector<unsigned char> block(kMaxBlock), data(kMaxBlock);
    // A read error says so; a block that no longer reads as it did means the file changed.
    if (size <= kMaxBlock && !src->read_at(block.data(), size, in.tail_block, why) &&
        *why != kShrank)
        return false;
    if (size > kMaxBlock || !why->empty() ||
        codec.decode(block.data(), size, data.data()) != in.tail_len) {
        *why = "the file changed after it was checked";
        return false;
    }
    encode_blocks(codec, data.data() + in.tail_from, in.tail_bytes(), out);
    return true;
}

Copier::Copier(int out_fd, std::string out_name)
    : out_fd_(out_fd), out_name_(std::move(out_name)), block_(kMaxBlock) {
    struct stat st;
    if (fstat(out_fd_, &st) == 0) {
        regular_ = S_ISREG(st.st_mode);
        to_pipe_ = S_ISFIFO(st.st_mode);
    }
}

Copier::Copier(ObjectWriter *object, std::string out_name, std::vector<bool> in_store)
    : out_fd_(-1),
      out_name_(std::move(out_name)),
      regular_(true),
      block_(kMaxBlock),
      object_(object),
      in_store_(std::move(in_store)) {}

bool Copier::write_failed(int err, Fault *f) {
    return f->set(out_name_, err ? strerror(err) : "write failed", true);
}

bool Copier::emit(const unsigned char *data, size_t len, Fault *f) {
    if (object_) {
        std::string why;
        return object_->bytes(data, len, &why) || f->set(out_name_, why, true);
    }
    for (size_t done = 0; done < len;) {
        const ssize_t w = write(out_fd_, data + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return write_failed(w < 0 ? errno : EIO, f);
        done += size_t(w);
    }
    return true;
}

bool Copier::put(const unsigned char *data, size_t len, Fault *f) {
    if (!emit(data, len, f)) return false;
    position_ += int64_t(len);
    return true;
}

bool Copier::header(const std::string &text, Kind kind, int minor, Fault *f) {
    std::string stream;
    if (kind == Kind::kBcf) {
        unsigned char head[9] = {'B', 'C', 'F', 2, uint8_t(minor == 1 ? 1 : 2)};
        put32(head + 5, uint32_t(text.size()));
        stream.assign(reinterpret_cast<const char *>(head), sizeof head);
    }
    stream += text;
    BlockCodec codec(BlockCodec::kHuffman);
    TailBlocks blocks;
    encode_blocks(codec, reinterpret_cast<const unsigned char *>(stream.data()), stream.size(),
                  &blocks);
    return put(blocks.bytes.data(), blocks.bytes.size(), f);
}

bool Copier::finish(Fault *f) {
    return put(kEofBlock, sizeof kEofBlock, f);
}

bool Copier::append(const Input &in, size_t number, const TailBlocks &tail, Placement *where,
                    Fault *f) {
    std::string why;
    const bool in_store = number < in_store_.size() && in_store_[number];
    const bool streamed = !in_store && fetcher_ && is_url(in.name);
    std::unique_ptr<Source> src;
    if (!streamed && !in_store && !(src = Source::reopen(in.name, in.fd, in.id, &why)))
        return f->set(in.name, why);
    where->tail_out.clear();
    size_t at = 0;
    for (const auto &[size, len] : tail.blocks) {
        where->tail_out.emplace_back(position_, len);
        if (!put(tail.bytes.data() + at, size, f)) return false;
        at += size;
    }
    const int64_t from = in.data_start, to = in.data_end();
    // Padding costs up to 4 KiB, worth it only before a span large enough to gain from it.
    if (regular_ && to - from >= kPadFrom) {
        size_t pad = size_t((from - position_) & (kPage - 1));
        if (pad < kMinEmptyBlock) pad += kPage;
        empty_block(pad, block_.data());
        if (!put(block_.data(), pad, f)) return false;
        padded_++;
    }
    where->data_start = position_;
    if (in_store) {
        if (!object_->range(int(number), from, to - from, true, &why))
            return f->set(out_name_, why, true);
    } else if (streamed ? !fetched(in, f) : !raw(in, *src, from, to, f)) {
        return false;
    }
    // A file rewritten in place while its blocks were copied shows it in its times or size.
    if (src && !src->unchanged(in.id, &why)) return f->set(in.name, why);
    position_ += to - from;
    where->data_end = position_;
    return true;
}

bool Copier::fetched(const Input &in, Fault *f) {
    BlockWalk walk(in.data_start, in.data_end());
    std::string why;
    for (;;) {
        if (!fetcher_->take(in, &buf_, &why)) return f->set(in.name, why);
        if (buf_.empty()) break;
        if (!walk.feed(buf_.data(), buf_.size(), &why)) return f->set(in.name, why);
        if (!emit(buf_.data(), buf_.size(), f)) return false;
    }
    return walk_end(in, walk, &why) || f->set(in.name, why);
}

bool Copier::raw(const Input &in, const Source &src, int64_t from, int64_t to, Fault *f) {
    int64_t at = from;
    const int fd = src.fd();
    // No descriptor (a remote object), or no output file (an object store): through a buffer.
    if (fd < 0 || out_fd_ < 0) return buffered(in, src, at, to, f);
    if (kernel_copy_) {
        // The unaligned head, the aligned middle in one call, then the tail.
        const int64_t head = std::min(to, (from + kPage - 1) / kPage * kPage);
        const int64_t middle = std::max(head, to / kPage * kPage);
        for (int64_t stop : {head, middle, to})
            if (kernel_copy_ && !in_kernel(in, fd, &at, stop, false, f)) return false;
    }
    if (at < to && splice_ && to_pipe_ && !in_kernel(in, fd, &at, to, true, f)) return false;
    return at >= to || buffered(in, src, at, to, f);
}

// Moves bytes with copy_file_range or splice while the kernel takes them. Stops early, leaving
// the rest to the next way, when it refuses or moves nothing; false on a failure.
bool Copier::in_kernel(const Input &in, int fd, int64_t *at, int64_t to, bool use_splice,
                       Fault *f) {
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
            return write_failed(err, f);
        return f->set(in.name, "cannot copy to " + out_name_ + ": " + strerror(err));
    }
    return true;
}

bool Copier::buffered(const Input &in, const Source &src, int64_t at, int64_t to, Fault *f) {
    if (buf_.size() < kBufSize) buf_.resize(kBufSize);
    std::string why;
    while (at < to) {
        const size_t want = size_t(to - at) < kBufSize ? size_t(to - at) : kBufSize;
        const long got = src.read_some(buf_.data(), want, at, &why);
        if (got <= 0) return f->set(in.name, got < 0 ? why : "the file shrank while it was copied");
        if (!emit(buf_.data(), size_t(got), f)) return false;
        at += got;
    }
    return true;
}

}  // namespace vfjoin
