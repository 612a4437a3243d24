// Feeds arbitrary bytes to the spill file reader in place of the file its handle wrote.
//
// Input: one byte that shapes the handle, then the file. When the byte's high bit is set the
// handle first writes 100 records of (byte & 0x7f) * 8 data bytes, which raises the group size
// and the buffers the reader works with; otherwise the handle keeps its start sizes.
//
// With SPILL_FUZZ_SEEDS=DIR in the environment the program writes seed inputs (files this
// module wrote, under each handle shape) into DIR and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "spill_file.h"

namespace {

std::string g_prefix;

// Opens a handle with the shape that `shape` names; 0 on success.
int open_shaped(spill_file_t *sf, uint8_t shape, std::vector<uint8_t> &scratch) {
    if (spill_file_open_write(sf, g_prefix.c_str(), 0) != 0) return -1;
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

void write_seeds(const char *dir) {
    std::mt19937 rng(1);
    std::vector<uint8_t> scratch;
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
                std::vector<uint8_t> data(rng() % (cap + 1));
                for (auto &x : data) x = static_cast<uint8_t>("ACGT"[rng() & 3]);
                bam1_t b{};
                b.core.pos = static_cast<int64_t>(rng()) << 8;
                b.core.l_qname = static_cast<uint16_t>(rng());
                b.l_data = static_cast<int>(data.size());
                b.data = data.data();
                if (spill_file_write(&sf, &b) != 0) exit(1);
            }
            if (spill_file_end_write(&sf) != 0) exit(1);
            // The whole file, shaping group included: later groups refer back into it.
            std::string bytes;
            rewind(sf.fp);
            char buf[65536];
            size_t got;
            while ((got = fread(buf, 1, sizeof buf, sf.fp)) > 0) bytes.append(buf, got);
            spill_file_destroy(&sf, nullptr, 0);
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
    const char *tmp = getenv("TMPDIR");
    g_prefix = std::string(tmp && *tmp ? tmp : "/tmp") + "/spill_fuzz";
    if (const char *dir = getenv("SPILL_FUZZ_SEEDS")) {
        write_seeds(dir);
        exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    if (size < 2) return 0;
    static std::vector<uint8_t> scratch;
    spill_file_t sf;
    if (open_shaped(&sf, bytes[0], scratch) != 0 || spill_file_end_write(&sf) != 0) abort();
    // The reader takes the fuzzed bytes in place of the file the handle wrote.
    fclose(sf.fp);
    sf.fp = fmemopen(const_cast<uint8_t *>(bytes + 1), size - 1, "rb");
    if (!sf.fp) abort();
    bam1_t *b = bam_init1();
    if (spill_file_begin_read(&sf, b) != 0) abort();
    unsigned sum = 0;
    for (int i = 0; i < 1000000; i++) {
        int r = spill_file_read(&sf, b);
        if (r <= 0) break;
        if (r != 64 + b->l_data || b->data != sf.data || b->m_data != sf.data_size) abort();
        for (int k = 0; k < b->l_data; k++) sum += b->data[k];  // every lent byte readable
    }
    if (spill_file_destroy(&sf, b, 0) != 0 || b->data) abort();
    bam_destroy1(b);
    return static_cast<int>(sum & 0);
}
