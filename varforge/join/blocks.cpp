// BGZF blocks encoded, decoded and padded with libdeflate.
#include "blocks.h"

#include <libdeflate.h>

#include <cstring>
#include <new>

namespace vfjoin {

namespace {

constexpr size_t kHead = 18;   // gzip header with the BC subfield
constexpr size_t kFooter = 8;  // CRC32 and ISIZE
const unsigned char kHeader[kHead] = {0x1f, 0x8b, 8, 4,   0,   0, 0, 0, 0,
                                      0xff, 6,    0, 'B', 'C', 2, 0, 0, 0};

inline void put16(unsigned char *p, unsigned v) {
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
}
inline void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (v >> (8 * i)) & 0xff;
}
inline uint32_t le32(const unsigned char *p) {
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Frames `cdata` bytes of deflate data already at out + kHead; returns the block size.
size_t frame(unsigned char *out, size_t cdata, uint32_t crc, size_t len) {
    const size_t total = kHead + cdata + kFooter;
    memcpy(out, kHeader, kHead);
    put16(out + 16, unsigned(total - 1));
    put32(out + total - 8, crc);
    put32(out + total - 4, uint32_t(len));
    return total;
}

// Deflate bits, least significant first, as the format packs them.
class Bits {
   public:
    explicit Bits(unsigned char *out) : out_(out) {}
    void put(unsigned value, int n) {
        for (int i = 0; i < n; i++, bit_++) {
            if (bit_ % 8 == 0) out_[bit_ / 8] = 0;
            if (value >> i & 1) out_[bit_ / 8] |= 1 << (bit_ % 8);
        }
    }
    // An empty block with fixed codes: its 3-bit header and the 7-bit end-of-block code.
    void fixed_empty(bool last) { put(last ? 3 : 2, 3), put(0, 7); }
    // An empty stored block: its header, padding to a byte, LEN 0 and NLEN 0xffff.
    void stored_empty(bool last) {
        put(last ? 1 : 0, 3);
        bit_ = (bit_ + 7) / 8 * 8;
        put(0, 16);
        put(0xffff, 16);
    }
    size_t bytes() const { return (bit_ + 7) / 8; }

   private:
    unsigned char *out_;
    size_t bit_ = 0;
};

}  // namespace

BlockCodec::BlockCodec(int level) : level_(level) {
    if (level_ > 0 && !(c_ = libdeflate_alloc_compressor(level_))) throw std::bad_alloc();
    if (!(d_ = libdeflate_alloc_decompressor())) {
        libdeflate_free_compressor(c_);
        throw std::bad_alloc();
    }
}

BlockCodec::~BlockCodec() {
    libdeflate_free_compressor(c_);
    libdeflate_free_decompressor(d_);
}

size_t BlockCodec::encode(const unsigned char *data, size_t len, unsigned char *out) {
    const uint32_t crc = libdeflate_crc32(0, data, len);
    size_t cdata = 0;
    if (c_)
        cdata =
            libdeflate_deflate_compress(c_, data, len, out + kHead, kMaxBlock - kHead - kFooter);
    if (cdata == 0) {
        // Stored: always fits, since len is at most kBlockData.
        unsigned char *d = out + kHead;
        d[0] = 1;
        put16(d + 1, unsigned(len));
        put16(d + 3, ~unsigned(len) & 0xffff);
        memcpy(d + 5, data, len);
        cdata = 5 + len;
    }
    return frame(out, cdata, crc, len);
}

long BlockCodec::decode(const unsigned char *block, size_t size, unsigned char *out) {
    if (size < kHead + kFooter || memcmp(block, kHeader, 16) != 0 ||
        size_t(block[16] | block[17] << 8) + 1 != size)
        return -1;
    const uint32_t crc = le32(block + size - 8), isize = le32(block + size - 4);
    size_t produced = 0;
    if (isize > kMaxBlock ||
        libdeflate_deflate_decompress(d_, block + kHead, size - kHead - kFooter, out, kMaxBlock,
                                      &produced) != LIBDEFLATE_SUCCESS ||
        produced != isize || libdeflate_crc32(0, out, produced) != crc)
        return -1;
    return long(produced);
}

void empty_block(size_t size, unsigned char *out) {
    // size = header + footer + n bytes of deflate data, n >= 2: as many empty stored blocks
    // (5 bytes each) as fit, then a last piece of exactly 2 to 6 bytes.
    const size_t n = size - kHead - kFooter;
    const size_t tail = n % 5 == 0 ? 5 : n % 5 == 1 ? 6 : n % 5;
    Bits bits(out + kHead);
    for (size_t i = 0; i < (n - tail) / 5; i++) bits.stored_empty(false);
    switch (tail) {
        case 2:
            bits.fixed_empty(true);
            break;  // 10 bits
        case 3:
            bits.fixed_empty(false), bits.fixed_empty(true);
            break;  // 20 bits
        case 4:
            for (int i = 0; i < 3; i++) bits.fixed_empty(i == 2);
            break;  // 30 bits
        case 5:
            bits.stored_empty(true);
            break;  // 5 bytes
        default:
            bits.fixed_empty(false), bits.stored_empty(true);
            break;  // 13 bits + 4 bytes
    }
    frame(out, bits.bytes(), 0, 0);
}

}  // namespace vfjoin
