// blocks: BGZF blocks that the join makes itself: the records that share the block in which
// an input's header ends, encoded again, and empty blocks of a chosen length that pad the
// output so that raw spans land where the filesystem can share or copy them fastest.
#ifndef VARFORGE_JOIN_BLOCKS_H
#define VARFORGE_JOIN_BLOCKS_H

#include <cstddef>
#include <cstdint>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace vfjoin {

constexpr size_t kMaxBlock = 65536;    // the largest BGZF block, compressed or not
constexpr size_t kBlockData = 0xff00;  // the most data the join puts in one block
constexpr size_t kMinEmptyBlock = 28;  // the shortest empty block: the end-of-file block

class BlockCodec {
   public:
    // `level` 0 stores the data (no compression: fastest, largest); 1 to 12 is libdeflate's
    // level.
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
};

// Writes into `out` an empty BGZF block (no data; every reader skips it) of exactly `size`
// bytes, kMinEmptyBlock to kMaxBlock: a deflate stream of empty blocks, as long as needed.
void empty_block(size_t size, unsigned char *out);

}  // namespace vfjoin

#endif
