// BGZF blocks read, walked, encoded, decoded and padded (libdeflate).
#include "bgzf_blocks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "bytes.h"

namespace vfjoin {

namespace {

constexpr size_t kHead = kBlockHead;
constexpr size_t kFixedHead = 12;  // the gzip header up to and including XLEN
constexpr size_t kFooter = 8;      // CRC32 and ISIZE
const unsigned char kHeader[kHead] = {0x1f, 0x8b, 8, 4,   0,   0, 0, 0, 0,
                                      0xff, 6,    0, 'B', 'C', 2, 0, 0, 0};

// The block size that the BC subfield among `xlen` bytes of extra fields gives, or -1.
long bc_size(const unsigned char *extra, size_t xlen) {
    for (size_t i = 0; i + 4 <= xlen;) {
        const size_t slen = le16(extra + i + 2);
        if (extra[i] == 'B' && extra[i + 1] == 'C' && slen == 2 && i + 6 <= xlen)
            return long(le16(extra + i + 4)) + 1;
        i += 4 + slen;
    }
    return -1;
}

bool is_gzip_head(const unsigned char *h) {
    return h[0] == 0x1f && h[1] == 0x8b && h[2] == 8 && (h[3] & 4);
}

bool fail(std::string *why, std::string what) {
    *why = std::move(what);
    return false;
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

const unsigned char kEofBlock[kMinEmptyBlock] = {0x1f, 0x8b, 8,   4,   0, 0, 0,    0, 0, 0xff,
                                                 6,    0,    'B', 'C', 2, 0, 0x1b, 0, 3, 0,
                                                 0,    0,    0,   0,   0, 0, 0,    0};

BlockCodec::BlockCodec(int level) : level_(level) {
    if (level_ == kHuffman) {
        auto *zs = new z_stream{};
        if (deflateInit2(zs, 1, Z_DEFLATED, -15, 8, Z_HUFFMAN_ONLY) != Z_OK) {
            delete zs;
            throw std::bad_alloc();
        }
        z_ = zs;
    }
    if (level_ > 0 && !(c_ = libdeflate_alloc_compressor(level_))) throw std::bad_alloc();
    if (!(d_ = libdeflate_alloc_decompressor())) {
        libdeflate_free_compressor(c_);
        throw std::bad_alloc();
    }
}

BlockCodec::~BlockCodec() {
    if (auto *zs = static_cast<z_stream *>(z_)) {
        deflateEnd(zs);
        delete zs;
    }
    libdeflate_free_compressor(c_);
    libdeflate_free_decompressor(d_);
}

size_t BlockCodec::encode(const unsigned char *data, size_t len, unsigned char *out) {
    const uint32_t crc = libdeflate_crc32(0, data, len);
    size_t cdata = 0;
    const size_t room = kMaxBlock - kHead - kFooter;
    if (c_) {
        cdata = libdeflate_deflate_compress(c_, data, len, out + kHead, room);
    } else if (auto *zs = static_cast<z_stream *>(z_)) {
        if (deflateReset(zs) != Z_OK) throw std::bad_alloc();
        zs->next_in = const_cast<Bytef *>(data);
        zs->avail_in = unsigned(len);
        zs->next_out = out + kHead;
        zs->avail_out = unsigned(room);
        if (deflate(zs, Z_FINISH) == Z_STREAM_END) cdata = room - zs->avail_out;
    }
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
    if (size < kFixedHead || !is_gzip_head(block)) return -1;
    const size_t head = kFixedHead + le16(block + 10);
    if (size < head + kFooter || bc_size(block + kFixedHead, head - kFixedHead) != long(size))
        return -1;
    const uint32_t crc = le32(block + size - 8), isize = le32(block + size - 4);
    size_t produced = 0;
    if (isize > kMaxBlock ||
        libdeflate_deflate_decompress(d_, block + head, size - head - kFooter, out, kMaxBlock,
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

long block_size(const Source &src, const unsigned char *head, int64_t at) {
    if (!is_gzip_head(head)) return -1;
    const size_t xlen = le16(head + 10);
    long size;
    if (xlen == 6 && head[12] == 'B' && head[13] == 'C' && le16(head + 14) == 2) {
        size = long(le16(head + 16)) + 1;
    } else {
        // Other subfields beside BC: look through all of them.
        unsigned char extra[0x10000];
        std::string unused;
        if (!src.read_at(extra, xlen, at + int64_t(kFixedHead), &unused)) return -1;
        size = bc_size(extra, xlen);
    }
    return size >= long(kFixedHead + xlen + kFooter) ? size : -1;
}

int ends_with_eof_block(const Source &src) {
    const int64_t size = src.identity().size;
    if (size < int64_t(kMinEmptyBlock)) return 0;
    unsigned char tail[kMinEmptyBlock];
    std::string unused;
    if (!src.read_at(tail, sizeof tail, size - int64_t(sizeof tail), &unused)) return -1;
    return memcmp(tail, kEofBlock, sizeof tail) == 0 ? 1 : 0;
}

BlockReader::BlockReader(const Source &src, int64_t end)
    : src_(src),
      end_(end),
      block_(std::make_unique_for_overwrite<unsigned char[]>(kMaxBlock)),
      data_(std::make_unique_for_overwrite<unsigned char[]>(kMaxBlock)) {}

int BlockReader::load(int64_t at, std::string *why) {
    len_ = pos = 0;
    address_ = next_ = at;
    if (at >= end_) return 0;
    unsigned char *c = block_.get();
    // Up to a header's worth; fewer only where the file ends.
    size_t n = 0;
    while (n < kHead && at + int64_t(n) < end_) {
        const long r =
            src_.read_some(c + n, std::min(kHead - n, size_t(end_ - at) - n), at + int64_t(n), why);
        if (r < 0) return -1;
        if (r == 0) break;
        n += size_t(r);
    }
    if (n == 0) return 0;
    // A foreign first block means a foreign file; a foreign later block, a damaged one.
    const char *foreign = at == 0 ? "not BGZF-compressed" : "corrupt BGZF block";
    if (c[0] != 0x1f || (n >= 2 && c[1] != 0x8b)) return fail(why, foreign), -1;
    if (n < kHead) return fail(why, "truncated BGZF block"), -1;
    if (!is_gzip_head(c)) return fail(why, foreign), -1;
    const long size = block_size(src_, c, at);
    if (size < 0) return fail(why, foreign), -1;
    if (at + size > end_) return fail(why, "truncated BGZF block"), -1;
    std::string read_why;
    if (!src_.read_at(c + kHead, size_t(size) - kHead, at + int64_t(kHead), &read_why))
        return fail(why, read_why == kShrank ? "truncated BGZF block" : read_why), -1;
    const long got = codec_.decode(c, size_t(size), data_.get());
    if (got < 0) return fail(why, "corrupt BGZF block"), -1;
    len_ = size_t(got);
    next_ = at + size;
    return 1;
}

bool BlockReader::seek(uint64_t voffset, std::string *why) {
    if (load(int64_t(voffset >> 16), why) != 1) return false;
    pos = size_t(voffset & 0xffff);
    return pos <= len_;
}

bool BlockReader::read(void *out, size_t n, std::string *why) {
    auto *o = static_cast<unsigned char *>(out);
    why->clear();
    while (n > 0) {
        if (pos == len_ && next(why) != 1) return false;
        const size_t k = std::min(n, len_ - pos);
        if (o) memcpy(o, data_.get() + pos, k), o += k;
        pos += k;
        n -= k;
    }
    return true;
}

bool BlockReader::line(std::string *s, std::string *why) {
    s->clear();
    why->clear();
    for (;;) {
        if (pos == len_ && next(why) != 1) return !s->empty() && why->empty();
        const unsigned char *d = data_.get() + pos;
        const auto *nl = static_cast<const unsigned char *>(memchr(d, '\n', len_ - pos));
        const size_t k = nl ? size_t(nl - d) : len_ - pos;
        s->append(reinterpret_cast<const char *>(d), k);
        pos += k + (nl ? 1 : 0);
        if (nl) return true;
    }
}

bool walk_blocks(const Source &src, int64_t from, int64_t to, uint64_t *data_bytes,
                 std::pair<int64_t, long> *last, std::string *why) {
    // Each read takes the previous block's ISIZE with the next block's header, so that the
    // blocks' decompressed sizes add up without another read.
    unsigned char buf[4 + kHead];
    uint64_t total = 0;
    int64_t at = from, prev = -1;
    *last = {0, 0};
    auto count = [&](uint32_t isize) {
        total += isize;
        if (isize) *last = {prev, long(at - prev)};
    };
    std::string read_why;
    while (at < to) {
        if (to - at < int64_t(kHead) || !src.read_at(buf, sizeof buf, at - 4, &read_why))
            return fail(why, !read_why.empty() && read_why != kShrank
                                 ? read_why
                                 : "damaged data: no BGZF block at byte " + std::to_string(at));
        if (prev >= 0) count(le32(buf));
        const long size = block_size(src, buf + 4, at);
        if (size < 0) return fail(why, "damaged data: no BGZF block at byte " + std::to_string(at));
        prev = at;
        at += size;
    }
    if (at != to) return fail(why, "damaged data: a BGZF block runs into the end-of-file block");
    if (prev >= 0) {
        if (!src.read_at(buf, 4, to - 4, &read_why))
            return fail(why, read_why != kShrank
                                 ? read_why
                                 : "damaged data: cannot read byte " + std::to_string(to - 4));
        count(le32(buf));
    }
    *data_bytes = total;
    return true;
}

bool BlockWalk::feed(const unsigned char *p, size_t n, std::string *why) {
    while (n > 0) {
        const size_t k = std::min(n, need_ - cur_.size());
        cur_.insert(cur_.end(), p, p + k);
        p += k;
        n -= k;
        if (cur_.size() < need_) return true;
        const std::string here = "damaged data: no BGZF block at byte " + std::to_string(at_);
        if (!sized_) {
            if (!is_gzip_head(cur_.data())) return fail(why, here);
            const size_t xlen = le16(cur_.data() + 10);
            if (cur_.size() < kFixedHead + xlen) {  // other subfields beside BC: all of them
                need_ = kFixedHead + xlen;
                continue;
            }
            const long size = bc_size(cur_.data() + kFixedHead, xlen);
            if (size < long(kFixedHead + xlen + kFooter)) return fail(why, here);
            if (at_ + size > to_)
                return fail(why, "damaged data: a BGZF block runs into the end-of-file block");
            need_ = size_t(size);
            sized_ = true;
            if (cur_.size() < need_) continue;
        }
        const uint32_t isize = le32(cur_.data() + cur_.size() - 4);
        total_ += isize;
        if (isize) last_.swap(cur_);
        at_ += int64_t(need_);
        cur_.clear();
        need_ = kHead;
        sized_ = false;
    }
    return true;
}

bool BlockWalk::finish(std::string *why) const {
    if (!cur_.empty())
        return fail(why, at_ + int64_t(cur_.size()) < to_
                             ? "the file shrank while it was copied"
                             : "damaged data: a BGZF block runs into the end-of-file block");
    if (at_ != to_) return fail(why, "the file shrank while it was copied");
    return true;
}

}  // namespace vfjoin
