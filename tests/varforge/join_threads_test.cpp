// varforge cat's worker pool under ThreadSanitizer (built and run by `make tsan-test` only):
// shards of both kinds, some with an index beside them and some without, joined with -W by
// the program built with ThreadSanitizer. The run must end without a report, and the joined
// file must read back whole, through its new index too.
#include <gtest/gtest.h>
#include <htslib/hts.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>

#include <string>
#include <vector>

#include "bcf_files.h"
#include "process.h"

namespace {

// The records of `contig` in `path`, found through its index (`path`.csi or `path`.tbi).
int count_through_index(const std::string &path, bool bcf, const char *contig) {
    htsFile *in = hts_open(path.c_str(), "r");
    bcf_hdr_t *h = in ? bcf_hdr_read(in) : nullptr;
    hts_idx_t *idx = bcf && h ? bcf_index_load2(path.c_str(), (path + ".csi").c_str()) : nullptr;
    tbx_t *tbx = !bcf && h ? tbx_index_load2(path.c_str(), (path + ".tbi").c_str()) : nullptr;
    hts_itr_t *itr = idx ? bcf_itr_querys(idx, h, contig) : tbx ? tbx_itr_querys(tbx, contig) : 0;
    int n = itr ? 0 : -1;
    bcf1_t *v = bcf_init();
    kstring_t ks = KS_INITIALIZE;
    while (itr && (bcf ? bcf_itr_next(in, itr, v) : tbx_itr_next(in, tbx, itr, &ks)) >= 0) n++;
    free(ks.s);
    bcf_destroy(v);
    hts_itr_destroy(itr);
    if (idx) hts_idx_destroy(idx);
    if (tbx) tbx_destroy(tbx);
    if (h) bcf_hdr_destroy(h);
    if (in) hts_close(in);
    return n;
}

TEST(JoinThreads, IndexedAndUnindexedShardsOfBothKinds) {
    constexpr int kShards = 24, kPerShard = 100;
    const auto all =
        aftest::split_header(aftest::variant_text(aftest::shape(kShards * kPerShard, 17)), '#');
    aftest::TempDir dir;
    for (const char *mode : {"wb", "wz"}) {
        const bool bcf = mode[1] == 'b';
        const std::string ext = bcf ? ".bcf" : ".vcf.gz", out = dir.file("out" + ext);
        std::vector<std::string> args = {aftest::bin("varforge"), "cat", "-W", "-o", out};
        for (int s = 0; s < kShards; s++) {
            std::string text = all.header;
            for (int r = s * kPerShard; r < (s + 1) * kPerShard; r++)
                text += all.records[size_t(r)] + "\n";
            args.push_back(dir.file("s" + std::to_string(s) + ext));
            const char *shard = args.back().c_str();
            aftest::write_bcf_text(
                shard, text, s % 3 ? aftest::Layout::kShared : aftest::Layout::kFlushed, mode);
            if (s % 2 == 0) {  // every other shard brings its own index
                ASSERT_EQ(
                    bcf ? bcf_index_build(shard, 14) : tbx_index_build(shard, 0, &tbx_conf_vcf), 0)
                    << shard;
            }
        }
        const auto r = aftest::run(args);
        EXPECT_EQ(r.status, 0) << ext << ": " << r.err;
        EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << ext << ": " << r.err;
        EXPECT_EQ(aftest::read_variants(out).records.size(), size_t(kShards * kPerShard)) << ext;
        EXPECT_EQ(count_through_index(out, bcf, "chr1") + count_through_index(out, bcf, "chr2"),
                  kShards * kPerShard)
            << ext;
    }
}

}  // namespace
