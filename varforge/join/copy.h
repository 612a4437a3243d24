// copy: appends one checked input's records to the output. The records that share the block
// in which the input's header ends are encoded again into blocks of their own; the blocks
// after it, up to the end-of-file block, are copied as raw bytes inside the kernel
// (copy_file_range, or splice into a pipe) where it accepts the pair of files, and through a
// buffer where it does not; the bytes are the same either way.
//
// Before a large raw span in a regular file the output gets an empty BGZF block of the length
// that puts the span at the same offset modulo 4096 as in its input, and the span's
// block-aligned middle goes to the kernel in one call: a filesystem that shares extents
// (XFS, Btrfs) then shares them instead of copying, and the others copy at their aligned
// speed. Readers see only an empty block.
#ifndef VARFORGE_JOIN_COPY_H
#define VARFORGE_JOIN_COPY_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "blocks.h"
#include "input.h"

namespace vfjoin {

// Writes "[bcf_cat] NAME: WHAT" to standard error; returns false.
bool report(const std::string &name, const std::string &what);

// Where one input's bytes landed in the output.
struct Placement {
    std::vector<std::pair<int64_t, int>> tail_out;  // the blocks of its re-encoded records:
                                                    // offset and decompressed length each
    int64_t data_start = 0;  // where its first raw block landed (after any padding)
    int64_t data_end = 0;    // the output offset after its last raw byte
};

class Copier {
   public:
    // `out_fd` receives the blocks, from output offset `position` on (the header's size);
    // `out_name` names it in messages; `level` is the tail blocks' compression (0 stored).
    Copier(int out_fd, int64_t position, std::string out_name, int level);

    // Appends `in` (re-opened by name when its descriptor was not kept; it must still be the
    // file that was checked). The block in which its header ends is read again (keeping it
    // from the check would cost more in fresh memory than decompressing it twice). false on
    // failure, with the message written.
    bool append(const Input &in, Placement *where);

    int64_t position() const { return position_; }
    int padded() const { return padded_; }

   private:
    bool put(const unsigned char *data, size_t len);
    bool raw(const char *name, int fd, off_t from, off_t to);
    bool in_kernel(const char *name, int fd, off_t *at, off_t to, bool use_splice);
    bool buffered(const char *name, int fd, off_t at, off_t to);
    bool write_failed(int err);

    int out_fd_;
    int64_t position_;
    int padded_ = 0;
    std::string out_name_;
    bool regular_ = false, to_pipe_ = false;
    bool kernel_copy_ = true, splice_ = true;
    BlockCodec codec_;
    std::vector<unsigned char> in_block_, data_, out_block_;
    std::vector<char> buf_;
};

}  // namespace vfjoin

#endif
