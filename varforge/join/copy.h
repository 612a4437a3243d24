// copy: writes the joined stream to the output's descriptor: the header, then each input's
// records, then the end-of-file block. The records that share the block in which an input's
// header ends are encoded again into blocks of their own (encode_tail, which may run ahead in
// another thread); the blocks after it, up to the end-of-file block, are copied as raw bytes
// inside the kernel (copy_file_range, or splice into a pipe) where it accepts the pair of
// files, and through a buffer where it does not; the bytes are the same either way.
//
// Before a large raw span in a regular file the output gets an empty BGZF block of the length
// that puts the span at the same offset modulo 4096 as in its input, and the span's
// block-aligned middle goes to the kernel in one call: a filesystem that shares extents
// (XFS, Btrfs) then shares them instead of copying, and the others copy at their aligned
// speed. Readers see only an empty block.
//
// A remote input's blocks come from the Fetcher, in pieces, and are walked as they pass
// (BlockWalk): a remote input is read once, not once for the walk and again for the copy.
//
// A Copier may write into an object store instead (object_writer.h): the stream goes to the
// writer as bytes, except the raw spans of inputs in the same store, which go as ranges for the
// store to copy in place (unseen, so unwalked). The padding is kept, so that the object's
// bytes are those a local output gets.
//
// A Copier belongs to the join's main thread.
#ifndef VARFORGE_JOIN_COPY_H
#define VARFORGE_JOIN_COPY_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bgzf_blocks.h"
#include "fault.h"
#include "fetch.h"
#include "input.h"
#include "object_writer.h"

namespace vfjoin {

// Where one input's bytes landed in the output.
struct Placement {
    std::vector<std::pair<int64_t, int>> tail_out;  // the blocks of its re-encoded records:
                                                    // offset and decompressed length each
    int64_t data_start = 0;  // where its first raw block landed (after any padding)
    int64_t data_end = 0;    // the output offset after its last raw byte
};

// The records that shared an input's header block, encoded as output blocks.
struct TailBlocks {
    std::vector<unsigned char> bytes;            // the blocks, back to back
    std::vector<std::pair<size_t, int>> blocks;  // each block's size and decompressed length
};

// Encodes `in`'s records that share its header's block (kept from its examination, or read
// again) with `codec`. false with `why` set when the input changed since it was examined.
bool encode_tail(const Input &in, BlockCodec &codec, TailBlocks *out, std::string *why);

class Copier {
   public:
    // `out_fd` receives the stream from its current position; `out_name` names it in faults.
    Copier(int out_fd, std::string out_name);
    // Writes into `object`; input number i's raw span is copied in the store when
    // `in_store[i]`.
    Copier(ObjectWriter *object, std::string out_name, std::vector<bool> in_store);

    // Writes the header `text` as blocks of its own (for BCF behind the magic of `minor`).
    bool header(const std::string &text, Kind kind, int minor, Fault *f);

    // Appends `in` (input number `number`), its re-encoded records being `tail`, and its raw
    // blocks read through a Source that must still be the examined file.
    bool append(const Input &in, size_t number, const TailBlocks &tail, Placement *where, Fault *f);

    // Where remote inputs' blocks come from (null: read through a Source of their own).
    void fetch_from(Fetcher *fetcher) { fetcher_ = fetcher; }

    // Ends the stream with the end-of-file block.
    bool finish(Fault *f);

    int64_t position() const { return position_; }
    int padded() const { return padded_; }

   private:
    bool put(const unsigned char *data, size_t len, Fault *f);
    bool emit(const unsigned char *data, size_t len, Fault *f);
    bool raw(const Input &in, const Source &src, int64_t from, int64_t to, Fault *f);
    bool in_kernel(const Input &in, int fd, int64_t *at, int64_t to, bool use_splice, Fault *f);
    bool buffered(const Input &in, const Source &src, int64_t at, int64_t to, Fault *f);
    bool fetched(const Input &in, Fault *f);
    bool write_failed(int err, Fault *f);

    int out_fd_;
    int64_t position_ = 0;
    int padded_ = 0;
    std::string out_name_;
    bool regular_ = false, to_pipe_ = false;
    bool kernel_copy_ = true, splice_ = true;
    std::vector<unsigned char> block_;
    ReadBuffer buf_;
    Fetcher *fetcher_ = nullptr;
    ObjectWriter *object_ = nullptr;
    std::vector<bool> in_store_;
};

}  // namespace vfjoin

#endif
