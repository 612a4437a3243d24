// bgzf_blocks: the join's one BGZF layer. Every step that reads an input's blocks (the header
// check, the walk of the data blocks, the edge records, the copy) reads them here, through a
// Source; the blocks the join makes itself (the re-encoded records that shared an input's
// header block, and empty padding blocks) are made here too.
//
// Errors come back as false (or -1) with a reason of a few words in `why`, naming no file.
#ifndef VARFORGE_JOIN_BGZF_BLOCKS_H
#define VARFORGE_JOIN_BGZF_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "source.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace vfjoin {

constexpr size_t kMaxBlock = 65536;    // the largest BGZF block, compressed or not
constexpr size_t kBlockData = 0xff00;  // the most data the join puts in one block
constexpr size_t kMinEmptyBlock = 28;  // the shortest empty block: the end-of-file block
constexpr size_t kBlockHead = 18;      // a block header whose only extra subfield is BC

// The empty block that ends every BGZF file.
extern const unsigned char kEofBlock[kMinEmptyBlock];

class BlockCodec {
   public:
    // `level` 0 stores the data (no compression: fastest, largest); 1 to 12 is libdeflate's
    // level; kHuffman is zlib's Huffman-only coding at level 1 (what headers are written
    // with: several times faster than a full deflate and most of its gain).
    static constexpr int kHuffman = -1;
    explicit BlockCodec(int level);
    ~BlockCodec();
    BlockCodec(const BlockCodec &) = delete;
    BlockCodec &operator=(const BlockCodec &) = delete;

    // Encodes `len` (at most kBlockData) bytes as one BGZF block into `out` (kMaxBlock bytes);
    // returns the block's size.
    size_t encode(const unsigned char *data, size_t len, unsigned char *out);

    // Decodes the whole BGZF block `block` of `size` bytes into `out` (kMaxBlock bytes); the
    // decompressed length, or -1 when it is not a valid block of that size.
    long decode(const unsigned char *block, size_t size, unsigned char *out);

   private:
    int level_;
    libdeflate_compressor *c_ = nullptr;
    libdeflate_decompressor *d_ = nullptr;
    void *z_ = nullptr;  // zlib's stream, for kHuffman
};

// Writes into `out` an empty BGZF block (no data; every reader skips it) of exactly `size`
// bytes, kMinEmptyBlock to kMaxBlock: a deflate stream of empty blocks, as long as needed.
void empty_block(size_t size, unsigned char *out);

// The size of the BGZF block whose header starts at `at` of `src`, its first kBlockHead bytes
// in `head` (extra subfields besides BC are read from `src`); -1 when it is not a block
// header.
long block_size(const Source &src, const unsigned char *head, int64_t at);

// 1 when `src` ends with the end-of-file block, 0 when it does not (or is shorter than one),
// -1 when its end cannot be read.
int ends_with_eof_block(const Source &src);

// An input's blocks read one at a time, decompressed, up to `end`.
class BlockReader {
   public:
    BlockReader(const Source &src, int64_t end);

    // Reads the block at `at` (the file's first block is judged "not BGZF-compressed" when it
    // is not one, a later one "corrupt BGZF block"). 1: read; 0: `at` is the end; -1: `why`.
    int load(int64_t at, std::string *why);
    // The next block after the current one.
    int next(std::string *why) { return load(next_, why); }

    int64_t address() const { return address_; }  // the current block's offset
    int64_t next_address() const { return next_; }
    const unsigned char *data() const { return data_.get(); }
    size_t length() const { return len_; }  // its decompressed length
    size_t pos = 0;                         // bytes of it already taken

    // Moves to a virtual offset; false when no data lies there.
    bool seek(uint64_t voffset, std::string *why);
    // Takes `n` bytes from the current place on, through later blocks as needed (skips them
    // when `out` is null). false when the blocks end first (`why` "" then) or on damage. A read
    // that ends at a block's end leaves the next block unread.
    bool read(void *out, size_t n, std::string *why);
    // The next line without its newline; false at the end or on damage.
    bool line(std::string *s, std::string *why);

    // Hands over the current block's decompressed bytes (kMaxBlock of room); the reader is
    // then done.
    std::unique_ptr<unsigned char[]> take_data() { return std::move(data_); }

   private:
    const Source &src_;
    int64_t end_, address_ = 0, next_ = 0;
    BlockCodec codec_{0};
    std::unique_ptr<unsigned char[]> block_, data_;  // not zeroed: every byte used is read
    size_t len_ = 0;
};

// Follows the block headers in [from, to) of `src` without decompressing: true when every
// header is valid and the blocks end exactly at `to`, else false with why. `data_bytes` gets
// their decompressed size, `last` the offset and size of the last block that holds data
// (0, 0 when none does).
bool walk_blocks(const Source &src, int64_t from, int64_t to, uint64_t *data_bytes,
                 std::pair<int64_t, long> *last, std::string *why);

// The same walk over bytes that pass once, in order, from `from` to `to` (a remote input's
// data as it is copied): feed() takes them in pieces of any size, finish() tells whether the
// blocks ended exactly at `to`. The last block that holds data is kept whole for the checks
// of the data's end.
class BlockWalk {
   public:
    BlockWalk(int64_t from, int64_t to) : at_(from), to_(to) {}

    bool feed(const unsigned char *p, size_t n, std::string *why);
    bool finish(std::string *why) const;

    uint64_t data_bytes() const { return total_; }
    const std::vector<unsigned char> &last_block() const { return last_; }

   private:
    int64_t at_, to_;  // the current block's offset; the end
    std::vector<unsigned char> cur_, last_;
    size_t need_ = kBlockHead;  // the bytes of the current block needed to go on
    bool sized_ = false;        // whether need_ is the block's whole size
    uint64_t total_ = 0;
};

}  // namespace vfjoin

#endif
