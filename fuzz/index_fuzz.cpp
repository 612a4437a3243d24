// Feeds arbitrary bytes to the index reader as a decompressed CSI or tabix index, and what
// reads on through the merger. Whatever the bytes, the reader must end with a result and a
// reason for a refusal, never a crash, a leak or a read out of bounds; an index that reads
// must write out and read back the same; and the merger, given the index as two inputs one
// after the other, must either refuse one with a reason or write an index that reads back.
//
// Input: one byte, whose low bit picks the kind (0: CSI, 1: tabix) and whose other bits how
// far apart the two inputs land, then the index bytes.
//
// With INDEX_FUZZ_SEEDS=DIR in the environment the program writes seed inputs into DIR and
// exits: htslib's own indexes of the BCF (".bcf") and bgzipped VCF (".vcf.gz") files named
// on its command line, decompressed, each behind its kind's byte.
#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "join/index_format.h"
#include "join/index_merge.h"

using vfjoin::Index;
using vfjoin::IndexKind;

namespace {

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// One seed: htslib's index of `data`, decompressed, behind the kind's byte.
void write_seed(const std::string &dir, const std::string &data) {
    const bool bcf = ends_with(data, ".bcf");
    if (!bcf && !ends_with(data, ".vcf.gz")) return;
    const char *tmpdir = getenv("TMPDIR");
    std::string name = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/index_fuzz_seed.XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) abort();
    close(fd);
    const char *tmp = name.c_str();
    const int r = bcf ? bcf_index_build3(data.c_str(), tmp, 14, 0)
                      : tbx_index_build3(data.c_str(), tmp, 0, 0, &tbx_conf_vcf);
    std::string bytes(1, bcf ? '\0' : '\1');
    BGZF *fp = r == 0 ? bgzf_open(tmp, "r") : nullptr;
    char buf[4096];
    ssize_t n;
    while (fp && (n = bgzf_read(fp, buf, sizeof buf)) > 0) bytes.append(buf, size_t(n));
    if (fp) bgzf_close(fp);
    unlink(tmp);
    if (bytes.size() < 2) return;
    const std::string out = dir + "/seed_" + data.substr(data.find_last_of('/') + 1);
    FILE *f = fopen(out.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) abort();
}

// Where the index's records end: one past the block of its last chunk end.
int64_t data_end(const Index &ix) {
    uint64_t end = 0;
    for (const auto &c : ix.contigs) {
        for (const auto &b : c.bins)
            for (const auto &ch : b.chunks) end = std::max(end, ch.end);
        if (c.has_pseudo) end = std::max(end, c.pseudo.last);
    }
    return int64_t(end >> 16) + ((end & 0xffff) ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    if (const char *dir = getenv("INDEX_FUZZ_SEEDS")) {
        for (int i = 1; i < *argc; i++) write_seed(dir, (*argv)[i]);
        exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const IndexKind kind = data[0] & 1 ? IndexKind::kTbi : IndexKind::kCsi;
    Index ix, back;
    std::string why, bytes, again;
    if (!vfjoin::index_parse(data + 1, size - 1, kind, &ix, &why)) {
        if (why.empty()) abort();
        return 0;
    }
    if (!vfjoin::index_encode(ix, &bytes, &why) ||
        !vfjoin::index_parse(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), kind,
                             &back, &why) ||
        !vfjoin::index_encode(back, &again, &why) || again != bytes)
        abort();

    // The index as two inputs: its offsets taken as one run of blocks, copied twice.
    const int64_t end = std::min(data_end(ix), int64_t(1) << 40);
    vfjoin::OffsetMap first, second;
    first.data_end = first.out_data_end = second.data_end = end;
    second.out_data_start = end + (data[0] >> 1);
    second.out_data_end = second.out_data_start + end;
    vfjoin::IndexMerger merger(kind);
    const bool added = merger.add(ix, first, &why) && merger.add(ix, second, &why);
    if (!added && why.empty()) abort();
    Index merged;
    if (!merger.finish(&merged, &why) || !vfjoin::index_encode(merged, &bytes, &why) ||
        !vfjoin::index_parse(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), kind,
                             &back, &why))
        abort();
    if (merger.size() == 2 && merged.contigs.size() < ix.contigs.size()) abort();
    return 0;
}
