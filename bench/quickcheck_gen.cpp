// Writes the inputs of the quickcheck benchmark: a BAM of about TARGET_MIB MiB built by
// repeating the data blocks of a smaller BAM (a valid BAM whose records repeat), and
// a small BAM. Usage: quickcheck_gen BIG.bam TARGET_MIB SMALL.bam
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

const char kHeader[] = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000000\n";

// Writes n records after a header that ends on a block boundary; returns the offset of
// the first data block, or -1.
long write_bam(const char *path, int n) {
    htsFile *out = hts_open(path, "wb");
    if (!out) return -1;
    sam_hdr_t *h = sam_hdr_parse(sizeof kHeader - 1, kHeader);
    if (sam_hdr_write(out, h) != 0 || bgzf_flush(out->fp.bgzf) != 0) return -1;
    long data_start = long(bgzf_tell(out->fp.bgzf) >> 16);
    std::mt19937 rng(11);
    bam1_t *b = bam_init1();
    kstring_t ks = KS_INITIALIZE;
    int pos = 1;
    for (int i = 0; i < n; i++) {
        std::string seq(150, 'A'), qual(150, 'I');
        for (auto &c : seq) c = "ACGT"[rng() & 3];
        for (auto &c : qual) c = "+5?I"[rng() & 3];
        pos += int(rng() % 20);
        ks.l = 0;
        ksprintf(&ks, "r%d\t%d\tchr1\t%d\t60\t150M\t*\t0\t0\t%s\t%s", i, (rng() & 1) ? 16 : 0, pos,
                 seq.c_str(), qual.c_str());
        if (sam_parse1(&ks, h, b) < 0 || sam_write1(out, h, b) < 0) return -1;
    }
    free(ks.s);
    bam_destroy1(b);
    sam_hdr_destroy(h);
    return hts_close(out) == 0 ? data_start : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "Usage: quickcheck_gen BIG.bam TARGET_MIB SMALL.bam\n");
        return 1;
    }
    std::string seed = std::string(argv[1]) + ".seed";
    long data_start = write_bam(seed.c_str(), 60000);
    if (data_start < 0 || write_bam(argv[3], 3) < 0) {
        fprintf(stderr, "quickcheck_gen: cannot write the inputs\n");
        return 1;
    }
    FILE *in = fopen(seed.c_str(), "rb");
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    std::string bytes(size_t(size), '\0');
    rewind(in);
    if (fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) return 1;
    fclose(in);
    remove(seed.c_str());
    std::string head = bytes.substr(0, size_t(data_start));
    std::string body = bytes.substr(size_t(data_start), size_t(size - data_start - 28));
    std::string eof = bytes.substr(size_t(size - 28));
    long target = atol(argv[2]) << 20;
    FILE *out = fopen(argv[1], "wb");
    if (!out) return 1;
    fwrite(head.data(), 1, head.size(), out);
    for (long written = 0; written < target; written += long(body.size()))
        fwrite(body.data(), 1, body.size(), out);
    fwrite(eof.data(), 1, eof.size(), out);
    return fclose(out) == 0 ? 0 : 1;
}
