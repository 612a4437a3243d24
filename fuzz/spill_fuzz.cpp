// Feeds arbitrary bytes to the spill file reader in place of the file its handle wrote.
//
// Input: one byte that shapes the handle, then the file. When the byte's high bit is set the
// handle first writes 100 records of (byte & 0x7f) * 8 data bytes, which raises the group size
// and the buffers the reader works with; otherwise the handle keeps its start sizes.
//
// The target links the module and uses its public calls only. The reader takes the fuzzed
// bytes through fmemopen, behind the same stdio calls it makes on a real file, which keeps
// the run at tens of thousands of inputs a second. One handle per shape is written (into a
// temporary file of its own) once and kept: a fresh 1 MiB ring buffer for
// every input would cost more than the input itself. Between inputs the handle goes back to
// its state after end-write (the reader's own allocations released, the ring bytes it
// decoded cleared), so every input meets the same handle.
//
// With SPILL_FUZZ_SEEDS=DIR in the environment the program writes seed inputs (files this
// module wrote, under each handle shape) into DIR and exits.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "spill_file.h"

namespace {

// Opens a handle with the shape that `shape` names, its file under $TMPDIR; 0 on success.
int open_shaped(spill_file_t *sf, uint8_t shape, std::vector<uint8_t> &scratch) {
    const char *tmp = getenv("TMPDIR");
    std::string prefix = std::string(tmp && *tmp ? tmp : "/tmp") + "/spill_fuzz";
    if (spill_file_open_write(sf, prefix.c_str(), 0) != 0) return -1;
    if (shape & 0x80) {
        size_t len = static_cast<size_t>(shape & 0x7f) * 8;
        scratch.assign(len, 'p');
        bam1_t b{};
        b.l_data = static_cast<int>(len);
        b.data = scratch.data();
        for (int i = 0; i < 100; i++)
            if (spill_file_write(sf, &b) != 0) return -1;
    }
    return 0;
}

// The handle for `shape` (129 distinct shapes: the start sizes, or 100 records of 0 to 1,016
// data bytes), written at first use and kept for the run, its stream closed.
spill_file_t *shaped_handle(uint8_t shape) {
    static spill_file_t handles[129];
    static bool ready[129];
    static std::vector<uint8_t> scratch;
    size_t i = (shape & 0x80) ? 1 + (shape & 0x7f) : 0;
    spill_file_t *sf = &handles[i];
    if (!ready[i]) {
        if (open_shaped(sf, shape, scratch) != 0 || spill_file_end_write(sf) != 0) abort();
        fclose(sf->fp);
        sf->fp = nullptr;
        memset(sf->ring_buffer, 0, sf->max_data_size);  // the shaping group
        ready[i] = true;
    }
    return sf;
}

void write_seeds(const char *dir) {
    std::mt19937 rng(1);
    std::vector<uint8_t> scratch;
    // Records cut from one short stretch of bases, as reads of one region are: the blocks
    // refer back into earlier groups, and the seeds stay small, which keeps the run fast.
    std::vector<uint8_t> region(2048);
    for (auto &x : region) x = static_cast<uint8_t>("ACGT"[rng() & 3]);
    const int counts[] = {0, 1, 3, 14, 100, 150, 260};
    int n = 0;
    for (uint8_t shape : {0x00, 0x81, 0x8c, 0xff}) {
        for (int count : counts) {
            size_t cap = (shape & 0x80) ? (shape & 0x7f) * 8 : 8;
            // A group larger than the start shape's 1,088 bytes would not fit its reader.
            if (!(shape & 0x80) && count * (64 + cap) > 1088) continue;
            spill_file_t sf;
            if (open_shaped(&sf, shape, scratch) != 0) exit(1);
            for (int i = 0; i < count; i++) {
                size_t len = rng() % (cap + 1), at = rng() % (region.size() - cap);
                std::vector<uint8_t> data(region.begin() + at, region.begin() + at + len);
                if (len) data[rng() % len] = 'N';
                bam1_t b{};
                b.core.pos = static_cast<int64_t>(rng()) << 8;
                b.core.l_qname = static_cast<uint16_t>(rng());
                b.l_data = static_cast<int>(data.size());
                b.data = data.data();
                if (spill_file_write(&sf, &b) != 0) exit(1);
            }
            if (spill_file_end_write(&sf) != 0) exit(1);
            // The whole file, shaping group included: later groups refer back into it.
            std::string bytes(static_cast<size_t>(ftell(sf.fp)), '\0');
            if (pread(fileno(sf.fp), bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()) ||
                spill_file_destroy(&sf, nullptr, 0) != 0)
                exit(1);
            std::string path = std::string(dir) + "/spill_" + std::to_string(n++);
            FILE *out = fopen(path.c_str(), "wb");
            if (!out) exit(1);
            fputc(shape, out);
            fwrite(bytes.data(), 1, bytes.size(), out);
            fclose(out);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (const char *dir = getenv("SPILL_FUZZ_SEEDS")) {
        write_seeds(dir);
        exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    if (size < 2) return 0;
    spill_file_t *sf = shaped_handle(bytes[0]);
    // The reader takes the fuzzed bytes in place of the file the handle wrote.
    sf->fp = fmemopen(const_cast<uint8_t *>(bytes + 1), size - 1, "rb");
    if (!sf->fp) abort();
    bam1_t *b = bam_init1();
    if (spill_file_begin_read(sf, b) != 0) abort();
    static std::vector<uint8_t> sink;
    size_t decoded_end = 0;  // how far into the ring buffer the decoder may have written
    for (int i = 0; i < 1000000; i++) {
        bam1_t before = *b;
        bool loads = sf->entry_number >= sf->group_size && sf->entry_number != SIZE_MAX;
        size_t at = sf->offset >= sf->ring_buffer_size - sf->max_data_size ? 0 : sf->offset;
        int r = spill_file_read(sf, b);
        if (loads && r != 0)
            decoded_end = std::max(decoded_end, at + (r > 0 ? sf->output_size : sf->max_data_size));
        if (r <= 0) {
            // The end and every failure leave the record as it was; the end stays the end.
            if (memcmp(&before, b, sizeof before) != 0) abort();
            if (r == 0 && spill_file_read(sf, b) != 0) abort();
            break;
        }
        if (r != 64 + b->l_data || b->data != sf->data || b->m_data != sf->data_size) abort();
        // Every lent byte must be readable: the sanitizer checks the whole copied range.
        sink.resize(static_cast<size_t>(b->l_data));
        if (b->l_data) memcpy(sink.data(), b->data, sink.size());
    }
    // The record only borrowed the handle's buffer.
    if (b->data && b->data != sf->data) abort();
    b->data = nullptr;
    bam_destroy1(b);
    // Back to the state after end-write.
    if (fclose(sf->fp) != 0) abort();
    sf->fp = nullptr;
    LZ4_freeStreamDecode(sf->dstream);
    sf->dstream = nullptr;
    free(sf->data);
    sf->data = nullptr;
    sf->data_size = 0;
    memset(sf->ring_buffer, 0, std::min(decoded_end, sf->ring_buffer_size));
    return 0;
}
