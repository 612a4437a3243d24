// The record spill file: records packed into groups of 100, compressed as one LZ4 stream
// through a ring buffer, written behind 8-byte lengths and read back through the same handle.
#include "spill_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kGroupSize = 100;
constexpr size_t kHeadSize = 64;
constexpr size_t kStartMaxDataSize = 1088;  // the group size the first buffers are sized for
constexpr size_t kStartRingBufferSize = 1048576;
constexpr size_t kStartCompBufferSize = 109242;  // compress_bound(100 * 1088)
constexpr size_t kDictSize = 65536;              // LZ4's reach back into earlier groups
constexpr int kMaxCount = 100000;                // suffixes 1 to 99,999
constexpr size_t kLz4MaxInput = 0x7E000000;
// Reader's `entry_number` once the terminator has been read: every later read returns 0
// without touching the stream.
constexpr size_t kAtEnd = SIZE_MAX;

// One line on standard error, after the module's prefix, when the handle is verbose. The
// stream stays locked across the prefix and the text, so that lines from handles used in other
// threads do not cut into each other.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void spill_print_error(const spill_file_t *sf, const char *format, ...) {
    if (!sf->verbose) return;
    flockfile(stderr);
    fputs("[spill_file] Error: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    funlockfile(stderr);
}

// LZ4's compression bound. Sizes past LZ4's largest input have none (0). The whole size is
// tested, not its low 32 bits, so a huge size can never get a small bound.
size_t compress_bound(size_t n) {
    return n > kLz4MaxInput ? 0 : n + n / 255 + 16;
}

void put32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}
void put16(uint8_t *p, uint16_t v) {
    memcpy(p, &v, 2);
}
uint32_t get32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
uint16_t get16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// The 64-byte head of a record image. The host record has 64-bit positions and a 16-bit
// l_qname; their low parts sit where a 32-bit record keeps them and their high parts in bytes
// that otherwise carry nothing (see the header for the table).
void pack_head(uint8_t *h, const bam1_t *b) {
    const bam1_core_t &c = b->core;
    uint64_t pos = static_cast<uint64_t>(c.pos), mpos = static_cast<uint64_t>(c.mpos),
             isize = static_cast<uint64_t>(c.isize);
    put32(h + 0, static_cast<uint32_t>(c.tid));
    put32(h + 4, static_cast<uint32_t>(pos));
    put16(h + 8, c.bin);
    h[10] = c.qual;
    h[11] = static_cast<uint8_t>(c.l_qname & 0xff);
    put16(h + 12, c.flag);
    h[14] = static_cast<uint8_t>(c.l_qname >> 8);
    h[15] = c.l_extranul;
    put32(h + 16, c.n_cigar);
    put32(h + 20, static_cast<uint32_t>(c.l_qseq));
    put32(h + 24, static_cast<uint32_t>(c.mtid));
    put32(h + 28, static_cast<uint32_t>(mpos));
    put32(h + 32, static_cast<uint32_t>(isize));
    put32(h + 36, static_cast<uint32_t>(b->l_data));
    put32(h + 40, b->m_data);
    put32(h + 44, static_cast<uint32_t>(pos >> 32));
    put32(h + 48, static_cast<uint32_t>(mpos >> 32));
    put32(h + 52, static_cast<uint32_t>(isize >> 32));
    uint64_t id = b->id;
    memcpy(h + 56, &id, 8);
}

int64_t join64(uint32_t lo, uint32_t hi) {
    return static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo);
}

void unpack_core(const uint8_t *h, bam1_core_t *c, uint64_t *id) {
    c->tid = static_cast<int32_t>(get32(h + 0));
    c->pos = join64(get32(h + 4), get32(h + 44));
    c->bin = get16(h + 8);
    c->qual = h[10];
    c->l_qname = static_cast<uint16_t>(h[11] | (h[14] << 8));
    c->flag = get16(h + 12);
    c->l_extranul = h[15];
    c->n_cigar = get32(h + 16);
    c->l_qseq = static_cast<int32_t>(get32(h + 20));
    c->mtid = static_cast<int32_t>(get32(h + 24));
    c->mpos = join64(get32(h + 28), get32(h + 48));
    c->isize = join64(get32(h + 32), get32(h + 52));
    memcpy(id, h + 56, 8);
}

// First state of a writing handle. Every field is set, so that destroy is safe whatever
// happens next. -1 when an allocation fails.
int spill_file_init(spill_file_t *sf, int verbose) {
    sf->fp = nullptr;
    sf->stream = LZ4_createStream();
    sf->dstream = nullptr;
    sf->data_size = 0;
    sf->max_data_size = kStartMaxDataSize;
    sf->ring_buffer_size = kStartRingBufferSize;
    sf->comp_buffer_size = kStartCompBufferSize;
    sf->offset = 0;
    sf->data = nullptr;
    sf->ring_buffer = static_cast<uint8_t *>(malloc(kStartRingBufferSize));
    sf->ring_index = sf->ring_buffer;
    sf->comp_buffer = static_cast<char *>(malloc(kStartCompBufferSize));
    sf->name = nullptr;
    sf->group_size = kGroupSize;
    sf->input_size = 0;
    sf->read_size = 0;
    sf->output_size = 0;
    sf->entry_number = 0;
    sf->verbose = verbose;
    sf->dict = nullptr;
    sf->groups_written = 0;
    return (sf->stream && sf->ring_buffer && sf->comp_buffer) ? 0 : -1;
}

// Moves the compressor's history (its last 64 KiB) out of the ring buffer into `dict`, so that
// the ring buffer may be moved or overwritten. Nothing to keep before the first group.
int save_history(spill_file_t *sf) {
    if (sf->groups_written == 0) return 0;
    if (!sf->dict) {
        sf->dict = static_cast<char *>(malloc(kDictSize));
        if (!sf->dict) {
            spill_print_error(sf, "unable to allocate memory for compression dictionary.\n");
            return -1;
        }
    }
    if (LZ4_saveDict(sf->stream, sf->dict, static_cast<int>(kDictSize)) == 0) {
        spill_print_error(sf, "unable to save compression dictionary.\n");
        return -3;
    }
    return 0;
}

// Grows the ring buffer to `new_size`, keeping its contents; it never shrinks.
int spill_file_grow_ring_buffer(spill_file_t *sf, size_t new_size) {
    int ret = save_history(sf);
    if (ret < 0) return ret;
    if (new_size <= sf->ring_buffer_size) return 0;
    void *grown = realloc(sf->ring_buffer, new_size);
    if (!grown) {
        spill_print_error(sf, "unable to reallocate ring buffer.\n");
        return -1;
    }
    sf->ring_buffer = static_cast<uint8_t *>(grown);
    sf->ring_buffer_size = new_size;
    sf->ring_index = sf->ring_buffer + sf->offset;
    return 0;
}

// Compresses the group being assembled and writes it behind its length.
int spill_file_write_to_file(spill_file_t *sf) {
    if (sf->input_size > sf->max_data_size) {
        sf->max_data_size = sf->input_size + sf->max_data_size + 64;
        sf->comp_buffer_size = compress_bound(sf->max_data_size);
        // A size past LZ4's reach has no bound; keep a live buffer so that the compressor
        // below refuses the group instead of realloc(…, 0) freeing it.
        size_t capacity = sf->comp_buffer_size ? sf->comp_buffer_size : 1;
        void *resized = realloc(sf->comp_buffer, capacity);
        if (!resized) {
            spill_print_error(sf, "unable to reallocate compression buffer.\n");
            return -1;
        }
        sf->comp_buffer = static_cast<char *>(resized);
        if (sf->ring_buffer_size < 5 * sf->max_data_size) {
            int ret = spill_file_grow_ring_buffer(sf, 5 * sf->max_data_size);
            if (ret < 0) return ret;
        }
    }
    sf->ring_index = sf->ring_buffer + sf->offset;
    int comp_size = 0;
    if (sf->input_size <= kLz4MaxInput && sf->comp_buffer_size > 0)
        comp_size = LZ4_compress_fast_continue(
            sf->stream, reinterpret_cast<const char *>(sf->ring_index), sf->comp_buffer,
            static_cast<int>(sf->input_size), static_cast<int>(sf->comp_buffer_size), 1);
    if (comp_size <= 0) {
        spill_print_error(sf, "compression failed.\n");
        return -3;
    }
    uint64_t length = static_cast<uint64_t>(comp_size);
    if (fwrite(&length, sizeof length, 1, sf->fp) != 1) {
        spill_print_error(sf, "spill file write size failed.\n");
        return -2;
    }
    if (fwrite(sf->comp_buffer, 1, length, sf->fp) < length) {
        spill_print_error(sf, "spill file write data failed.\n");
        return -2;
    }
    sf->offset += sf->input_size;
    if (sf->offset >= sf->ring_buffer_size - sf->max_data_size) sf->offset = 0;
    sf->groups_written++;
    sf->input_size = 0;
    sf->entry_number = 0;
    return 0;
}

// Pending group, then the terminator: the first two steps of end-write and close-write.
int finish_groups(spill_file_t *sf) {
    if (!sf->stream || !sf->fp || !sf->ring_buffer) {
        spill_print_error(sf, "the spill file is not open for writing.\n");
        return -2;
    }
    if (sf->entry_number > 0) {
        int ret = spill_file_write_to_file(sf);
        if (ret < 0) return ret;
    }
    const uint64_t terminator = 0;
    if (fwrite(&terminator, sizeof terminator, 1, sf->fp) != 1) {
        spill_print_error(sf, "spill file write terminator failed.\n");
        return -2;
    }
    return 0;
}

// The record's own data buffer is released when reading begins (one it does not own, under
// BAM_USER_OWNS_DATA, is only let go); the record is left empty until the first read.
void release_record_data(bam1_t *b) {
    if (!b) return;
    if (!(bam_get_mempolicy(b) & BAM_USER_OWNS_DATA)) free(b->data);
    b->data = nullptr;
    b->l_data = 0;
    b->m_data = 0;
}

int start_reading(spill_file_t *sf, bam1_t *inbam) {
    if (sf->dstream) LZ4_freeStreamDecode(sf->dstream);
    sf->dstream = LZ4_createStreamDecode();
    sf->offset = 0;
    sf->entry_number = sf->group_size;
    sf->read_size = 0;
    sf->output_size = 0;
    release_record_data(inbam);
    if (!sf->dstream) {
        spill_print_error(sf, "unable to allocate compression stream.\n");
        return -1;
    }
    return 0;
}

// Loads the next group into the ring buffer. 1 loaded, 0 at the terminator, negative on
// failure. Every file the writer finishes ends with the terminator, so a stream that ends (or
// fails) before it has lost groups: that is a file error, never a clean end.
int load_group(spill_file_t *sf) {
    uint64_t comp_size = 0;
    if (fread(&comp_size, sizeof comp_size, 1, sf->fp) != 1) {
        if (ferror(sf->fp))
            spill_print_error(sf, "error reading group length.\n");
        else
            spill_print_error(sf, "spill file ends before its terminator.\n");
        return -2;
    }
    if (comp_size == 0) {
        sf->entry_number = kAtEnd;
        return 0;
    }
    if (sf->offset >= sf->ring_buffer_size - sf->max_data_size) sf->offset = 0;
    sf->ring_index = sf->ring_buffer + sf->offset;
    if (comp_size > sf->comp_buffer_size) {
        spill_print_error(sf, "compressed group of %llu bytes exceeds the buffer of %llu.\n",
                          static_cast<unsigned long long>(comp_size),
                          static_cast<unsigned long long>(sf->comp_buffer_size));
        return -3;
    }
    if (fread(sf->comp_buffer, 1, comp_size, sf->fp) != comp_size) {
        spill_print_error(sf, "error reading compressed data.\n");
        return -2;
    }
    int n = LZ4_decompress_safe_continue(
        sf->dstream, sf->comp_buffer, reinterpret_cast<char *>(sf->ring_index),
        static_cast<int>(comp_size), static_cast<int>(sf->max_data_size));
    if (n <= 0) {
        spill_print_error(sf, "decompression failed.\n");
        return -3;
    }
    sf->output_size = static_cast<size_t>(n);
    sf->entry_number = 0;
    sf->read_size = 0;
    return 1;
}

int wrong_size(spill_file_t *sf, uint64_t end) {
    spill_print_error(sf, "wrong size of data returned RS:%ld OS:%ld EN:%ld GS:%ld.\n",
                      static_cast<long>(end), static_cast<long>(sf->output_size),
                      static_cast<long>(sf->entry_number + 1), static_cast<long>(sf->group_size));
    return -3;
}

}  // namespace

extern "C" int spill_file_open_write(spill_file_t *sf, const char *tmp_name, int verbose) {
    if (spill_file_init(sf, verbose) < 0) {
        spill_print_error(sf, "unable to allocate compression buffers.\n");
        return -1;
    }
    size_t name_size = strlen(tmp_name) + 7;  // ".", five digits, terminating zero
    sf->name = static_cast<char *>(malloc(name_size));
    if (!sf->name) {
        spill_print_error(sf, "unable to allocate memory for %s.\n", tmp_name);
        return -1;
    }
    for (int count = 1;;) {
        snprintf(sf->name, name_size, "%s.%d", tmp_name, count);
        int fd = open(sf->name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            sf->fp = fdopen(fd, "w+b");
            if (!sf->fp) {
                // The file is ours: leave neither a descriptor nor a name behind.
                close(fd);
                unlink(sf->name);
                spill_print_error(sf, "unable to open write file %s.\n", sf->name);
                return -2;
            }
            unlink(sf->name);
            return 0;
        }
        if (errno != EEXIST) {
            spill_print_error(sf, "unable to create spill file %s.\n", sf->name);
            return -2;
        }
        if (++count >= kMaxCount) {
            spill_print_error(sf, "unable to create unique temp file.\n");
            return -2;
        }
    }
}

extern "C" int spill_file_write(spill_file_t *sf, bam1_t *inbam) {
    if (!sf->stream || !sf->fp || !sf->ring_buffer || !sf->comp_buffer) {
        spill_print_error(sf, "the spill file is not open for writing.\n");
        return -2;
    }
    if (inbam->l_data < 0 || (inbam->l_data > 0 && !inbam->data)) {
        spill_print_error(sf, "invalid record data length (%d).\n", inbam->l_data);
        return -3;
    }
    size_t n = static_cast<size_t>(inbam->l_data);
    if (sf->input_size + n + kHeadSize >= sf->ring_buffer_size) {
        int ret = spill_file_grow_ring_buffer(sf, 5 * (sf->input_size + n) + 320);
        if (ret < 0) {
            spill_print_error(sf, "input line too big. (%ld).\n",
                              static_cast<long>(sf->input_size + n));
            return ret;
        }
    }
    size_t group_end = sf->input_size + kHeadSize + n;  // relative to `offset`
    if (sf->offset + group_end > sf->ring_buffer_size) {
        // The image would pass the end of the ring buffer: restart the group at its start.
        // That overwrites the bytes the compressor refers back to, so its history moves out.
        int ret = save_history(sf);
        if (ret < 0) return ret;
        memmove(sf->ring_buffer, sf->ring_buffer + sf->offset, sf->input_size);
        sf->offset = 0;
    } else if (sf->offset == 0 && sf->groups_written > 0) {
        // After a wrap, the history lies in the last max_data_size + 64 KiB of the ring
        // buffer; a group that reaches into that stretch must not overwrite it in place.
        size_t reserved = sf->max_data_size + kDictSize;
        size_t limit = sf->ring_buffer_size > reserved ? sf->ring_buffer_size - reserved : 0;
        if (sf->input_size <= limit && group_end > limit) {
            int ret = save_history(sf);
            if (ret < 0) return ret;
        }
    }
    sf->ring_index = sf->ring_buffer + sf->offset + sf->input_size;
    pack_head(sf->ring_index, inbam);
    if (n) memcpy(sf->ring_index + kHeadSize, inbam->data, n);
    sf->input_size = group_end;
    sf->entry_number++;
    if (sf->entry_number == sf->group_size) return spill_file_write_to_file(sf);
    return 0;
}

extern "C" int spill_file_end_write(spill_file_t *sf) {
    int ret = finish_groups(sf);
    if (ret < 0) return ret;
    // Buffered bytes that cannot reach the file must not pass for a written file.
    if (fflush(sf->fp) != 0) {
        spill_print_error(sf, "spill file flush failed.\n");
        return -2;
    }
    LZ4_freeStream(sf->stream);
    sf->stream = nullptr;
    return 0;
}

extern "C" int spill_file_close_write(spill_file_t *sf) {
    int ret = finish_groups(sf);
    if (ret < 0) return ret;
    int closed = fclose(sf->fp);
    sf->fp = nullptr;  // gone even when fclose fails; destroy must not close it again
    if (closed != 0) {
        spill_print_error(sf, "closing spill file %s failed.\n", sf->name);
        return -2;
    }
    LZ4_freeStream(sf->stream);
    sf->stream = nullptr;
    return 0;
}

namespace {

// Reading before writing has ended would rewind, or replace, the stream under the writer,
// whose pending group and terminator would then land over the records already written.
// Refused with nothing changed: end-write and reading back still work.
bool still_writing(const spill_file_t *sf) {
    if (!sf->stream) return false;
    spill_print_error(sf, "reading cannot begin before writing has ended.\n");
    return true;
}

}  // namespace

extern "C" int spill_file_begin_read(spill_file_t *sf, bam1_t *inbam) {
    if (still_writing(sf)) return -2;
    if (!sf->fp) {
        release_record_data(inbam);
        spill_print_error(sf, "the spill file is not open for reading.\n");
        return -2;
    }
    rewind(sf->fp);
    return start_reading(sf, inbam);
}

extern "C" int spill_file_open_read(spill_file_t *sf, bam1_t *inbam) {
    if (still_writing(sf)) return -2;
    FILE *fp = sf->name ? fopen(sf->name, "rb") : nullptr;
    if (!fp) {
        spill_print_error(sf, "unable to open read file %s.\n", sf->name ? sf->name : "");
        return -2;
    }
    if (sf->fp) fclose(sf->fp);
    sf->fp = fp;
    return start_reading(sf, inbam);
}

extern "C" int spill_file_read(spill_file_t *sf, bam1_t *inbam) {
    if (!sf->fp || !sf->dstream || !sf->ring_buffer || !sf->comp_buffer ||
        sf->ring_buffer_size <= sf->max_data_size || sf->max_data_size > INT_MAX) {
        spill_print_error(sf, "the spill file is not open for reading.\n");
        return -2;
    }
    if (sf->entry_number == kAtEnd) return 0;
    if (sf->entry_number >= sf->group_size) {
        int loaded = load_group(sf);
        if (loaded <= 0) return loaded;
    }
    // Nothing in the image is trusted: the head must lie inside the group, and so must the
    // data it announces, before anything reaches the caller's record.
    sf->ring_index = sf->ring_buffer + sf->offset;
    if (sf->read_size + kHeadSize > sf->output_size)
        return wrong_size(sf, sf->read_size + kHeadSize);
    const uint8_t *head = sf->ring_index;
    uint32_t l_data = get32(head + 36);
    uint64_t entry_size = kHeadSize + static_cast<uint64_t>(l_data);
    uint64_t end = sf->read_size + entry_size;
    if (l_data > INT_MAX || end > sf->output_size) return wrong_size(sf, end);
    if (sf->entry_number + 1 == sf->group_size && end != sf->output_size)
        return wrong_size(sf, end);  // a full group holds exactly its 100 images
    // The larger buffer comes first, so that a failed allocation leaves the record (which
    // may still point at the old lent buffer) as it was.
    uint8_t *larger = nullptr;
    if (l_data > sf->data_size) {
        larger = static_cast<uint8_t *>(malloc(l_data));
        if (!larger) {
            spill_print_error(sf, "unable to allocate tmp data memory.\n");
            return -1;
        }
    }
    // A buffer the record came to own since the last read (an htslib call copies the lent
    // data into one of its own when it needs room) is the record's to release, and it is
    // about to be replaced by the lent buffer.
    if (inbam->data && inbam->data != sf->data && !(bam_get_mempolicy(inbam) & BAM_USER_OWNS_DATA))
        free(inbam->data);
    if (larger) {
        free(sf->data);
        sf->data = larger;
        sf->data_size = l_data;
    }
    unpack_core(head, &inbam->core, &inbam->id);
    inbam->l_data = static_cast<int>(l_data);
    inbam->m_data = static_cast<uint32_t>(sf->data_size);
    inbam->data = sf->data;
    bam_set_mempolicy(inbam, bam_get_mempolicy(inbam) | BAM_USER_OWNS_DATA);
    if (l_data) memcpy(sf->data, head + kHeadSize, l_data);
    sf->offset += entry_size;
    sf->entry_number++;
    sf->read_size = end;
    if (sf->read_size == sf->output_size && sf->entry_number != sf->group_size)
        sf->entry_number = sf->group_size;
    return static_cast<int>(entry_size);
}

extern "C" int spill_file_destroy(spill_file_t *sf, bam1_t *inbam, int delete_file) {
    int ret = 0;
    if (sf->fp) {
        ret = fclose(sf->fp);
        sf->fp = nullptr;
    }
    if (ret == 0 && delete_file && sf->name && unlink(sf->name) != 0) {
        spill_print_error(sf, "unable to delete file %s.\n", sf->name);
        ret = -2;
    }
    LZ4_freeStreamDecode(sf->dstream);
    sf->dstream = nullptr;
    // Still present when writing failed or never ended.
    LZ4_freeStream(sf->stream);
    sf->stream = nullptr;
    if (inbam) {
        // A buffer the record owns (not the one lent by the handle) would otherwise be lost.
        if (inbam->data && inbam->data != sf->data &&
            !(bam_get_mempolicy(inbam) & BAM_USER_OWNS_DATA))
            free(inbam->data);
        inbam->data = nullptr;
        inbam->l_data = 0;
        inbam->m_data = 0;
        bam_set_mempolicy(inbam, bam_get_mempolicy(inbam) & ~BAM_USER_OWNS_DATA);
    }
    free(sf->ring_buffer);
    free(sf->comp_buffer);
    free(sf->name);
    free(sf->data);
    free(sf->dict);
    sf->ring_buffer = nullptr;
    sf->ring_index = nullptr;
    sf->comp_buffer = nullptr;
    sf->name = nullptr;
    sf->data = nullptr;
    sf->dict = nullptr;
    sf->data_size = 0;
    sf->ring_buffer_size = 0;
    sf->comp_buffer_size = 0;
    return ret;
}
