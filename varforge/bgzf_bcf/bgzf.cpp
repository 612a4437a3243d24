// BGZF reader and writer over zlib's raw deflate.
#include "bgzf.h"

#include <errno.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace vf {

const unsigned char BGZF_EOF_BLOCK[BGZF_EOF_SIZE] = {
    0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0, 0xff, 0x06, 0, 0x42, 0x43,
    0x02, 0,    0x1b, 0,    3, 0, 0, 0, 0, 0,    0,    0, 0,    0};

namespace {

constexpr int kFixedHeader = 12;  // gzip header up to and including XLEN
constexpr int kWriteHeader = 18;  // our written header: fixed part and one BC subfield
constexpr int kFooter = 8;        // CRC32 and ISIZE

inline unsigned le16(const unsigned char *p) {
    return p[0] | unsigned(p[1]) << 8;
}
inline uint32_t le32(const unsigned char *p) {
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void put16(unsigned char *p, unsigned v) {
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
}
inline void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (v >> (8 * i)) & 0xff;
}

BGZF *alloc_stream(char mode) {
    auto *fp = static_cast<BGZF *>(calloc(1, sizeof(BGZF)));
    if (!fp) return nullptr;
    fp->open_mode = mode;
    fp->uncompressed_block_size = BGZF_MAX_BLOCK_SIZE;
    fp->compressed_block_size = BGZF_MAX_BLOCK_SIZE;
    fp->uncompressed_block = malloc(BGZF_MAX_BLOCK_SIZE);
    fp->compressed_block = malloc(BGZF_MAX_BLOCK_SIZE);
    if (!fp->uncompressed_block || !fp->compressed_block) {
        free(fp->uncompressed_block);
        free(fp->compressed_block);
        free(fp);
        errno = ENOMEM;
        return nullptr;
    }
    return fp;
}

// The coder kept in `cache` for the stream's whole life: a writer's zlib stream, which
// compresses at `level` with `strategy`; a reader's libdeflate decompressor (whole blocks at
// a time, several times faster than zlib's inflate).
bool attach_zlib(BGZF *fp, int level, int strategy) {
    if (fp->open_mode == 'r') {
        fp->cache = libdeflate_alloc_decompressor();
        return fp->cache != nullptr;
    }
    auto *zs = static_cast<z_stream *>(calloc(1, sizeof(z_stream)));
    if (!zs) return false;
    if (deflateInit2(zs, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
        free(zs);
        return false;
    }
    fp->cache = zs;
    return true;
}

void free_stream(BGZF *fp) {
    if (fp->open_mode == 'r') {
        if (fp->cache)
            libdeflate_free_decompressor(static_cast<libdeflate_decompressor *>(fp->cache));
    } else if (auto *zs = static_cast<z_stream *>(fp->cache)) {
        deflateEnd(zs);
        free(zs);
    }
    free(fp->uncompressed_block);
    free(fp->compressed_block);
    free(fp);
}

int fail(BGZF *fp, const char *what) {
    fp->error = what;
    return -1;
}

// Reads one block. 1: a block was read (possibly empty); 0: clean end of file; -1: error.
int read_one_block(BGZF *fp) {
    knetFile *in = fp->x.fpr;
    auto *c = static_cast<unsigned char *>(fp->compressed_block);
    int64_t address = in->offset;
    fp->block_length = fp->block_offset = 0;
    off_t n = knet_read(in, c, kFixedHeader);
    if (n < 0) return fail(fp, "read error");
    if (n == 0) return 0;
    // A foreign first block means a foreign file; a foreign later block, a damaged one.
    const char *foreign = address == 0 ? "not BGZF-compressed" : "corrupt BGZF block";
    if (c[0] != 0x1f || (n >= 2 && c[1] != 0x8b)) return fail(fp, foreign);
    if (n < kFixedHeader) return fail(fp, "truncated BGZF block");
    if (c[2] != 8 || !(c[3] & 4)) return fail(fp, foreign);
    const int xlen = int(le16(c + 10));
    if (knet_read(in, c + kFixedHeader, xlen) != xlen) return fail(fp, "truncated BGZF block");
    // The BC subfield carries the block size minus one.
    int block_size = -1;
    for (int i = 0; i + 4 <= xlen;) {
        const unsigned char *sf = c + kFixedHeader + i;
        const int slen = int(le16(sf + 2));
        if (sf[0] == 'B' && sf[1] == 'C' && slen == 2 && i + 6 <= xlen) {
            block_size = int(le16(sf + 4)) + 1;
            break;
        }
        i += 4 + slen;
    }
    if (block_size < 0) return fail(fp, foreign);
    const int head = kFixedHeader + xlen;
    if (block_size < head + kFooter) return fail(fp, "corrupt BGZF block");
    const int rest = block_size - head;
    if (knet_read(in, c + head, rest) != rest) return fail(fp, "truncated BGZF block");

    const uint32_t crc = le32(c + block_size - 8), isize = le32(c + block_size - 4);
    if (isize > uint32_t(BGZF_MAX_BLOCK_SIZE)) return fail(fp, "corrupt BGZF block");
    auto *d = static_cast<libdeflate_decompressor *>(fp->cache);
    size_t produced = 0;
    if (libdeflate_deflate_decompress(d, c + head, size_t(rest - kFooter), fp->uncompressed_block,
                                      BGZF_MAX_BLOCK_SIZE, &produced) != LIBDEFLATE_SUCCESS ||
        produced != isize || libdeflate_crc32(0, fp->uncompressed_block, produced) != crc)
        return fail(fp, "corrupt BGZF block");
    fp->block_address = address;
    fp->block_length = int(produced);
    return 1;
}

// Compresses `length` bytes of the uncompressed block into one block and writes it.
int write_block(BGZF *fp, int length) {
    auto *c = static_cast<unsigned char *>(fp->compressed_block);
    const auto *u = static_cast<const Bytef *>(fp->uncompressed_block);
    auto *zs = static_cast<z_stream *>(fp->cache);
    size_t cdata = 0;
    const unsigned room = BGZF_MAX_BLOCK_SIZE - kWriteHeader - kFooter;
    if (deflateReset(zs) != Z_OK) return fail(fp, "compression failed");
    zs->next_in = const_cast<Bytef *>(u);
    zs->avail_in = unsigned(length);
    zs->next_out = c + kWriteHeader;
    zs->avail_out = room;
    if (deflate(zs, Z_FINISH) == Z_STREAM_END) {
        cdata = room - zs->avail_out;
    } else {
        // Data that does not shrink can overflow a block. A single stored deflate block
        // always fits, since a block never holds more than BGZF_BLOCK_SIZE bytes.
        unsigned char *d = c + kWriteHeader;
        d[0] = 1;  // final block, stored
        put16(d + 1, unsigned(length));
        put16(d + 3, ~unsigned(length) & 0xffff);
        memcpy(d + 5, u, size_t(length));
        cdata = 5 + size_t(length);
    }
    const size_t total = kWriteHeader + cdata + kFooter;
    memcpy(c, BGZF_EOF_BLOCK, kWriteHeader);
    put16(c + 16, unsigned(total - 1));
    put32(c + total - 8, uint32_t(crc32(crc32(0L, Z_NULL, 0), u, unsigned(length))));
    put32(c + total - 4, uint32_t(length));
    if (fwrite(c, 1, total, fp->x.fpw) != total) return fail(fp, "write error");
    fp->block_address += int64_t(total);
    return 0;
}

// A read stream over `in` (NULL: errno already set); the stream owns the reader.
BGZF *open_reader(knetFile *in) {
    if (!in) return nullptr;
    BGZF *fp = alloc_stream('r');
    if (fp && !attach_zlib(fp, 0, 0)) {
        free_stream(fp);
        fp = nullptr;
    }
    if (!fp) {
        knet_close(in);
        errno = ENOMEM;
        return nullptr;
    }
    fp->x.fpr = in;
    fp->file_descriptor = in->fd;
    fp->owned_file = true;
    fp->block_address = in->offset;
    return fp;
}

// A write stream over `out` (see bgzf_open for `mode`); the stream closes `out` when `owned`.
BGZF *open_writer(FILE *out, const char *mode, bool owned) {
    // What this library writes by default is small (headers, and the records that share a
    // header's last block) and on the way to raw copies, so it is Huffman-coded only: several
    // times faster than a full deflate and most of its gain. A digit asks for a full deflate
    // at that level.
    int level = 1, strategy = Z_HUFFMAN_ONLY;
    if (mode[1] >= '0' && mode[1] <= '9') {
        level = mode[1] - '0';
        strategy = Z_DEFAULT_STRATEGY;
    }

    // The stream collects whole blocks itself; a second buffer in the FILE would only split
    // every large write into two system calls.
    setvbuf(out, nullptr, _IONBF, 0);
    BGZF *fp = alloc_stream('w');
    if (fp && !attach_zlib(fp, level, strategy)) {
        free_stream(fp);
        fp = nullptr;
    }
    if (!fp) {
        if (owned) fclose(out);
        errno = ENOMEM;
        return nullptr;
    }
    fp->x.fpw = out;
    fp->file_descriptor = fileno(out);
    fp->owned_file = owned;
    return fp;
}

}  // namespace

BGZF *bgzf_open(const char *path, const char *mode) {
    if (!path || !mode || (mode[0] != 'r' && mode[0] != 'w')) {
        errno = EINVAL;
        return nullptr;
    }
    if (mode[0] == 'r') return open_reader(knet_open(path, "r"));
    const bool to_stdout = strcmp(path, "-") == 0;
    FILE *out = to_stdout ? stdout : fopen(path, "wb");
    if (!out) return nullptr;
    return open_writer(out, mode, !to_stdout);
}

BGZF *bgzf_dopen(int fd, const char *mode) {
    if (fd >= 0 && mode && mode[0] == 'w') {
        FILE *out = fdopen(fd, "wb");
        if (!out) {
            close(fd);
            return nullptr;
        }
        return open_writer(out, mode, true);
    }
    if (fd < 0 || !mode || mode[0] != 'r') {
        if (fd >= 0) close(fd);
        errno = EINVAL;
        return nullptr;
    }
    knetFile *in = knet_dopen(fd, "r");
    if (!in) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    return open_reader(in);
}

int bgzf_read_block(BGZF *fp) {
    if (!fp || fp->open_mode != 'r') return -1;
    return read_one_block(fp) < 0 ? -1 : 0;
}

ssize_t bgzf_read(BGZF *fp, void *data, size_t length) {
    if (!fp || fp->open_mode != 'r') return -1;
    if (fp->error) return -1;
    auto *out = static_cast<char *>(data);
    size_t got = 0;
    while (got < length) {
        if (fp->block_offset >= fp->block_length) {
            const int r = read_one_block(fp);
            if (r < 0) return -1;
            if (r == 0) break;
            continue;  // empty blocks in mid-stream carry nothing
        }
        size_t n = size_t(fp->block_length - fp->block_offset);
        if (n > length - got) n = length - got;
        memcpy(out + got, static_cast<char *>(fp->uncompressed_block) + fp->block_offset, n);
        fp->block_offset += int(n);
        got += n;
    }
    return ssize_t(got);
}

ssize_t bgzf_write(BGZF *fp, const void *data, size_t length) {
    if (!fp || fp->open_mode != 'w' || fp->error) return -1;
    const auto *in = static_cast<const char *>(data);
    size_t done = 0;
    while (done < length) {
        size_t n = size_t(BGZF_BLOCK_SIZE - fp->block_offset);
        if (n > length - done) n = length - done;
        memcpy(static_cast<char *>(fp->uncompressed_block) + fp->block_offset, in + done, n);
        fp->block_offset += int(n);
        done += n;
        if (fp->block_offset == BGZF_BLOCK_SIZE) {
            if (write_block(fp, fp->block_offset) < 0) return -1;
            fp->block_offset = 0;
        }
    }
    return ssize_t(length);
}

int bgzf_flush(BGZF *fp) {
    if (!fp || fp->open_mode != 'w' || fp->error) return -1;
    if (fp->block_offset > 0) {
        if (write_block(fp, fp->block_offset) < 0) return -1;
        fp->block_offset = 0;
    }
    return 0;
}

int bgzf_check_EOF(BGZF *fp) {
    if (!fp || fp->open_mode != 'r') return -1;
    struct stat st;
    if (fstat(fp->x.fpr->fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return -1;
    if (st.st_size < BGZF_EOF_SIZE) return 0;
    unsigned char tail[BGZF_EOF_SIZE];
    for (ssize_t got = 0; got < BGZF_EOF_SIZE;) {
        const ssize_t n = pread(fp->x.fpr->fd, tail + got, size_t(BGZF_EOF_SIZE - got),
                                st.st_size - BGZF_EOF_SIZE + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        got += n;
    }
    return memcmp(tail, BGZF_EOF_BLOCK, BGZF_EOF_SIZE) == 0 ? 1 : 0;
}

int bgzf_close(BGZF *fp) {
    if (!fp) return 0;
    int r = fp->error ? -1 : 0;
    if (fp->open_mode == 'w') {
        FILE *out = fp->x.fpw;
        if (!fp->error) {
            if (bgzf_flush(fp) < 0 ||
                fwrite(BGZF_EOF_BLOCK, 1, BGZF_EOF_SIZE, out) != size_t(BGZF_EOF_SIZE))
                r = -1;
        }
        if (fflush(out) != 0 || ferror(out)) r = -1;
        if (fp->owned_file && fclose(out) != 0) r = -1;
    } else {
        if (knet_close(fp->x.fpr) != 0) r = -1;
    }
    free_stream(fp);
    return r;
}

}  // namespace vf
