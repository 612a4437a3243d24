// Benchmark support: shards of one call set written as a variant caller writes them, with
// htslib's default BCF writer, then indexed (.csi).
#pragma once

#include <htslib/hts.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <random>
#include <string>

namespace benchshard {

constexpr int kContigs = 5;
constexpr int kSamples = 30;

// Writes the records [from, to) of a call set of `total` records (each of the five contigs
// gets total / 5, ten positions apart) into `path`, then indexes it. 0 on success.
inline int write_shard(const std::string &path, long from, long to, long total) {
    htsFile *out = hts_open(path.c_str(), "wb");
    if (!out) return 1;
    bcf_hdr_t *h = bcf_hdr_init("w");
    for (int c = 0; c < kContigs; c++)
        bcf_hdr_append(h,
                       ("##contig=<ID=chr" + std::to_string(c + 1) + ",length=250000000>").c_str());
    bcf_hdr_append(h, "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">");
    bcf_hdr_append(h, "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">");
    bcf_hdr_append(h, "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"Read depth\">");
    for (int s = 0; s < kSamples; s++) bcf_hdr_add_sample(h, ("S" + std::to_string(s)).c_str());
    if (bcf_hdr_sync(h) != 0 || bcf_hdr_write(out, h) != 0) return 1;
    bcf1_t *v = bcf_init();
    std::mt19937 rng{uint32_t(from)};
    const long per_contig = total / kContigs;
    int32_t gt[2 * kSamples], dp[kSamples];
    const char *alleles[] = {"A,C", "C,G", "G,T", "T,A"};
    for (long i = from; i < to; i++) {
        bcf_clear(v);
        v->rid = int(i / per_contig);
        v->pos = (i % per_contig) * 10 + int(rng() % 10);
        v->qual = float(rng() % 1000) / 10;
        bcf_update_alleles_str(h, v, alleles[rng() & 3]);
        int32_t depth = int32_t(rng() % 500);
        for (auto &g : gt) g = bcf_gt_unphased(int(rng() & 1));
        for (auto &d : dp) d = int32_t(rng() % 100);
        if (bcf_update_info_int32(h, v, "DP", &depth, 1) != 0 ||
            bcf_update_genotypes(h, v, gt, 2 * kSamples) != 0 ||
            bcf_update_format_int32(h, v, "DP", dp, kSamples) != 0 || bcf_write(out, h, v) != 0)
            return 1;
    }
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    if (hts_close(out) != 0) return 1;
    return bcf_index_build3(path.c_str(), nullptr, 14, 0) == 0 ? 0 : 1;
}

}  // namespace benchshard
