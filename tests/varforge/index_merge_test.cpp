// The joined file's index merged from the shards' own: shards written and indexed by htslib,
// joined the way a join lays out their blocks, their indexes merged, and every query answered
// through the merged index compared with htslib's own index of the joined file.
#include "join/index_merge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <sys/stat.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bcf_files.h"
#include "bgzf_eof.h"
#include "fixtures.h"
#include "join/index_format.h"
#include "process.h"

namespace {

using aftest::Layout;
using vfjoin::IndexKind;
using vfjoin::IndexMerger;
using vfjoin::OffsetMap;

// Records at `from`, `from + step`, ... below `to` on `chr`; every `del_every`-th is a
// deletion whose INFO END lies `del_len` further on, across several 16 KiB windows.
struct Segment {
    const char *chr;
    int from, to, step;
    int del_every = 0, del_len = 0;
};

// How a shard's own index is found. Used: htslib's default kind, a .csi, both, or one written
// some nanoseconds before the data in the same second. Not: missing, older than the data, made
// before its last records were written, or a VCF's .csi binned unlike tabix (from 2^12).
enum class Source { kIndexed, kCsi, kBoth, kSameSecond, kNoIndex, kOlder, kShorter, kCsi12 };

struct Shard {
    std::vector<Segment> segs;
    Layout layout = Layout::kShared;
    Source source = Source::kIndexed;
    bool pad = false;        // an empty block follows the shard's data in the joined file
    int chr2_len = 1000000;  // a longer chr2 in a shard's header deepens its CSI bins; 0: none
};

struct Row {
    const char *name;
    IndexKind kind;  // of the shards' data: kCsi for BCF, kTbi for VCF
    std::vector<Shard> shards;
};

vfjoin::DataKind data_of(IndexKind kind) {
    return kind == IndexKind::kCsi ? vfjoin::DataKind::kBcf : vfjoin::DataKind::kVcf;
}

// The joined file's index kind: CSI for BCF; for VCF, CSI when a shard's part is (it was
// indexed as .csi binned as tabix, or its positions do not fit tabix).
IndexKind output_kind(const Row &row) {
    for (const Shard &sh : row.shards)
        for (const Segment &g : sh.segs)
            if (sh.source == Source::kCsi || sh.source == Source::kBoth || g.to > (1 << 29))
                return IndexKind::kCsi;
    return row.kind;
}

std::string vcf_text(const Shard &s, int shard_no, bool drop_last = false) {
    std::string t = "##fileformat=VCFv4.2\n##contig=<ID=chr1,length=1000000>\n##contig=<ID=chr2" +
                    (s.chr2_len ? ",length=" + std::to_string(s.chr2_len) : std::string()) +
                    ">\n##contig=<ID=chr3,length=1000000>\n"
                    "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">\n"
                    "##INFO=<ID=END,Number=1,Type=Integer,Description=\"End position\">\n"
                    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
                    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\n";
    std::vector<std::string> lines;
    for (const auto &g : s.segs)
        for (int pos = g.from, i = 1; pos < g.to; pos += g.step, i++) {
            const bool del = g.del_every && i % g.del_every == 0;
            lines.push_back(
                std::string(g.chr) + "\t" + std::to_string(pos) + "\tv" + std::to_string(shard_no) +
                "_" + std::to_string(lines.size()) +
                (del ? "\tAC\t<DEL>\t30\tPASS\tDP=7;END=" + std::to_string(pos + g.del_len)
                     : "\tA\tG\t30\tPASS\tDP=" + std::to_string(i % 90)) +
                "\tGT\t0/1\t1/1\n");
        }
    if (drop_last && !lines.empty()) lines.resize(lines.size() * 3 / 4);
    for (const auto &l : lines) t += l;
    return t;
}

// BCF through htslib's BCF writer. VCF through its BGZF writer directly, since its VCF writer
// always flushes after the header: the text in one stream, the header flushed on its own
// only for kFlushed.
void write_shard(const std::string &path, IndexKind kind, const std::string &text, Layout layout) {
    auto [header, records] = aftest::split_header(text, '#');
    if (kind == IndexKind::kTbi) {
        BGZF *out = bgzf_open(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(bgzf_write(out, header.data(), header.size()), ssize_t(header.size()));
        if (layout == Layout::kFlushed) {
            ASSERT_EQ(bgzf_flush(out), 0);
        }
        for (const auto &r : records) {
            const std::string line = r + "\n";
            ASSERT_EQ(bgzf_write(out, line.data(), line.size()), ssize_t(line.size()));
        }
        ASSERT_EQ(bgzf_close(out), 0);
        return;
    }
    htsFile *out = hts_open(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    bcf_hdr_t *h = bcf_hdr_init("w");
    ASSERT_EQ(bcf_hdr_parse(h, const_cast<char *>(header.c_str())), 0);
    ASSERT_EQ(bcf_hdr_write(out, h), 0);
    if (layout == Layout::kFlushed) {
        ASSERT_EQ(bgzf_flush(out->fp.bgzf), 0);
    }
    bcf1_t *v = bcf_init();
    kstring_t ks = KS_INITIALIZE;
    for (const auto &r : records) {
        ks.l = 0;
        kputs(r.c_str(), &ks);
        ASSERT_EQ(vcf_parse(&ks, h, v), 0) << r;
        ASSERT_EQ(bcf_write(out, h, v), 0);
    }
    free(ks.s);
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    ASSERT_EQ(hts_close(out), 0);
}

// htslib's index of `data` (BCF for kCsi, VCF for kTbi): of the kind it makes by default, or
// a CSI binned from 2^min_shift positions.
int build_index(const std::string &data, const std::string &index, IndexKind kind,
                int min_shift = 0) {
    return kind == IndexKind::kCsi
               ? bcf_index_build3(data.c_str(), index.c_str(), min_shift ? min_shift : 14, 0)
               : tbx_index_build3(data.c_str(), index.c_str(), min_shift, 0, &tbx_conf_vcf);
}

std::string index_path(const std::string &data, IndexKind kind) {
    return data + (kind == IndexKind::kCsi ? ".csi" : ".tbi");
}

void set_mtime(const std::string &path, time_t t, long nsec = 0) {
    const struct timespec ts[2] = {{t, nsec}, {t, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

std::string compress_block(const std::string &data) {
    std::string b(BGZF_MAX_BLOCK_SIZE, '\0');
    size_t len = b.size();
    if (bgzf_compress(b.data(), &len, data.data(), data.size(), -1) != 0) return "";
    b.resize(len);
    return b;
}

// Shards joined as a join lays them out: the first shard's header in blocks of its own, then
// each shard's records from the block where its header ends, re-encoded into two fresh blocks,
// then its later blocks copied unchanged.
struct Joined {
    std::string path;
    std::vector<std::string> shards;
    std::vector<OffsetMap> maps;
    std::vector<std::vector<std::string>> first_last;  // each shard's first and last record
};

Joined make_join(const aftest::TempDir &dir, const Row &row) {
    Joined j;
    j.path = dir.file(row.kind == IndexKind::kCsi ? "joined.bcf" : "joined.vcf.gz");
    std::string out;
    for (size_t s = 0; s < row.shards.size(); s++) {
        const Shard &sh = row.shards[s];
        const std::string path = dir.file("shard" + std::to_string(s) +
                                          (row.kind == IndexKind::kCsi ? ".bcf" : ".vcf.gz"));
        j.shards.push_back(path);
        if (sh.source == Source::kShorter) {
            write_shard(path, row.kind, vcf_text(sh, int(s), true), sh.layout);
            EXPECT_EQ(build_index(path, index_path(path, row.kind), row.kind), 0);
        }
        write_shard(path, row.kind, vcf_text(sh, int(s)), sh.layout);
        if (sh.source == Source::kIndexed || sh.source == Source::kOlder ||
            sh.source == Source::kBoth || sh.source == Source::kSameSecond) {
            EXPECT_EQ(build_index(path, index_path(path, row.kind), row.kind), 0);
        }
        if (sh.source == Source::kCsi || sh.source == Source::kBoth ||
            sh.source == Source::kCsi12) {
            EXPECT_EQ(
                build_index(path, path + ".csi", row.kind, sh.source == Source::kCsi12 ? 12 : 14),
                0);
        }
        if (sh.source == Source::kOlder) set_mtime(index_path(path, row.kind), 1000000);
        if (sh.source == Source::kSameSecond) {
            const time_t now = time(nullptr);
            set_mtime(path, now, 600000000);
            set_mtime(index_path(path, row.kind), now, 100000000);
        }
        if (sh.source == Source::kShorter) set_mtime(index_path(path, row.kind), time(0) + 100);

        const std::string bytes = aftest::read_file(path);
        const auto blocks = aftest::walk_blocks(bytes);
        std::string all;
        for (const auto &b : blocks) all += b.data;
        size_t hsize;
        if (row.kind == IndexKind::kCsi) {
            hsize = aftest::header_size(blocks);
        } else {
            hsize = 0;
            while (hsize < all.size() && all[hsize] == '#') hsize = all.find('\n', hsize) + 1;
        }
        if (s == 0) out += compress_block(all.substr(0, hsize));
        size_t t = 0, before = 0;
        while (before + blocks[t].data.size() < hsize) before += blocks[t++].data.size();
        OffsetMap m;
        m.tail_block = int64_t(blocks[t].offset);
        m.tail_from = int(hsize - before);
        m.tail_len = int(blocks[t].data.size());
        const std::string tail = blocks[t].data.substr(size_t(m.tail_from));
        for (const std::string &piece :
             {tail.substr(0, tail.size() / 3), tail.substr(tail.size() / 3)})
            if (!piece.empty()) {
                m.tail_out.emplace_back(int64_t(out.size()), int(piece.size()));
                out += compress_block(piece);
            }
        m.data_start = int64_t(blocks[t].offset + blocks[t].size);
        m.data_end = int64_t(bytes.size() - aftest::kBgzfEof.size());
        m.out_data_start = int64_t(out.size());
        out += bytes.substr(size_t(m.data_start), size_t(m.data_end - m.data_start));
        m.out_data_end = int64_t(out.size());
        if (sh.pad) out += aftest::kBgzfEof;
        j.maps.push_back(m);
        const auto recs = aftest::split_header(vcf_text(sh, int(s)), '#').records;
        if (!recs.empty()) j.first_last.push_back({recs.front(), recs.back()});
    }
    aftest::write_file(j.path, out + aftest::kBgzfEof);
    return j;
}

// Merges the shards' indexes as a join does: each shard's own index when it is current and
// fits, else one built from its records. Returns whether each shard's own index was used.
std::vector<bool> merge(const Row &row, const Joined &j, const std::string &out) {
    const vfjoin::DataKind data = data_of(row.kind);
    IndexMerger merger(output_kind(row), data);
    std::vector<bool> own;
    for (size_t s = 0; s < j.shards.size(); s++) {
        vfjoin::Index ix;
        std::string why;
        const bool used = vfjoin::index_load_beside(j.shards[s], data, &ix, &why) &&
                          IndexMerger(ix.kind, data).add(ix, j.maps[s], &why);
        own.push_back(used);
        if (!used) {
            EXPECT_FALSE(why.empty());
            EXPECT_TRUE(vfjoin::index_build_from_records(j.shards[s], data, true, &ix, &why))
                << why;
        }
        EXPECT_TRUE(merger.add(ix, j.maps[s], &why)) << why;
    }
    std::string why;
    EXPECT_TRUE(merger.write(out, &why)) << why;
    return own;
}

// What a region query returns through the index at `idx_path`, one line per record.
std::vector<std::string> query(const std::string &data, const std::string &idx_path, IndexKind kind,
                               const std::string &region) {
    std::vector<std::string> got;
    htsFile *fp = hts_open(data.c_str(), "r");
    bcf_hdr_t *h = bcf_hdr_read(fp);
    kstring_t ks = KS_INITIALIZE;
    if (kind == IndexKind::kCsi) {
        hts_idx_t *idx = bcf_index_load2(data.c_str(), idx_path.c_str());
        hts_itr_t *itr = idx ? bcf_itr_querys(idx, h, region.c_str()) : nullptr;
        bcf1_t *v = bcf_init();
        while (itr && bcf_itr_next(fp, itr, v) >= 0) {
            ks.l = 0;
            vcf_format(h, v, &ks);
            got.emplace_back(ks.s, ks.l);
        }
        bcf_destroy(v);
        hts_itr_destroy(itr);
        hts_idx_destroy(idx);
    } else {
        tbx_t *tbx = tbx_index_load2(data.c_str(), idx_path.c_str());
        hts_itr_t *itr = tbx ? tbx_itr_querys(tbx, region.c_str()) : nullptr;
        while (itr && tbx_itr_next(fp, tbx, itr, &ks) >= 0) got.emplace_back(ks.s, ks.l);
        hts_itr_destroy(itr);
        tbx_destroy(tbx);
    }
    free(ks.s);
    bcf_hdr_destroy(h);
    hts_close(fp);
    return got;
}

// hts_idx_get_stat for every contig, by name.
std::vector<std::string> stats(const std::string &data, const std::string &idx_path,
                               IndexKind kind) {
    std::vector<std::string> out;
    const char *names[] = {"chr1", "chr2", "chr3"};
    hts_idx_t *idx = nullptr;
    tbx_t *tbx = nullptr;
    if (kind == IndexKind::kCsi)
        idx = bcf_index_load2(data.c_str(), idx_path.c_str());
    else if ((tbx = tbx_index_load2(data.c_str(), idx_path.c_str())))
        idx = tbx->idx;
    if (!idx) return {"cannot load"};
    for (int i = 0; i < 3; i++) {
        const int tid = tbx ? tbx_name2id(tbx, names[i]) : i;
        uint64_t mapped = 0, unmapped = 0;
        const int r = tid < 0 ? -1 : hts_idx_get_stat(idx, tid, &mapped, &unmapped);
        out.push_back(std::string(names[i]) + " " + std::to_string(r) + " " +
                      std::to_string(mapped) + " " + std::to_string(unmapped));
    }
    out.push_back("no_coor " + std::to_string(hts_idx_get_n_no_coor(idx)));
    if (tbx)
        tbx_destroy(tbx);
    else
        hts_idx_destroy(idx);
    return out;
}

std::vector<Shard> shards(std::initializer_list<std::vector<Segment>> segs,
                          Layout layout = Layout::kShared) {
    std::vector<Shard> v;
    for (const auto &s : segs) v.push_back({s, layout});
    return v;
}

std::vector<Row> rows() {
    std::vector<Row> r;
    for (IndexKind kind : {IndexKind::kCsi, IndexKind::kTbi}) {
        // Cuts inside a contig and between contigs, records sharing the header's block.
        r.push_back({"cuts", kind,
                     shards({{{"chr1", 100, 300000, 97}},
                             {{"chr1", 300050, 620000, 131}, {"chr2", 5000, 90000, 61}},
                             {{"chr2", 90000, 400000, 89}, {"chr3", 1, 200000, 143}}})});
        // Headers flushed into blocks of their own, an empty shard, a shard per contig, and
        // padding between shards.
        Row flushed{"flushed, empty, padded", kind,
                    shards({{{"chr1", 1, 500000, 151}},
                            {},
                            {{"chr2", 1, 600000, 211}},
                            {{"chr3", 70000, 300000, 97}}},
                           Layout::kFlushed)};
        flushed.shards[0].pad = flushed.shards[1].pad = true;
        r.push_back(flushed);
        // Long deletions spanning windows and shards; only the last shard gives chr2 a length,
        // a long one, which deepens its CSI bins.
        Row dels{"long deletions", kind,
                 shards({{{"chr1", 1000, 200000, 200, 7, 60000}},
                         {{"chr1", 200001, 500000, 150, 50, 200000}},
                         {{"chr1", 500000, 501000, 10}, {"chr2", 1, 400000, 300, 9, 70000}},
                         {{"chr2", 400100, 800000, 170, 13, 40000}}})};
        dels.shards[0].segs.push_back({"chr1", 199900, 200000, 50, 1, 250000});
        for (int i = 0; i < 3; i++) dels.shards[size_t(i)].chr2_len = 0;
        dels.shards[3].chr2_len = 1 << 30;
        r.push_back(dels);
        // Small shards whose records all share the header's block.
        r.push_back({"tails only", kind,
                     shards({{{"chr1", 10, 100, 9}},
                             {{"chr1", 20000, 90000, 7001}},
                             {{"chr1", 95000, 96000, 500, 1, 30000}, {"chr2", 5, 6, 1}}})});
        // Shards without a usable index of their own, and one whose index, written in the
        // data's last second some nanoseconds before it, is current.
        Row fallback{"shards without a usable index", kind,
                     shards({{{"chr1", 1, 200000, 103}},
                             {{"chr1", 200000, 400000, 103}},
                             {{"chr1", 400000, 600000, 103}},
                             {{"chr2", 1, 200000, 103}}})};
        fallback.shards[0].source = Source::kNoIndex;
        fallback.shards[1].source = Source::kOlder;
        fallback.shards[2].source = Source::kShorter;
        fallback.shards[3].source = Source::kSameSecond;
        r.push_back(fallback);
        // Positions past 2^29 on a long chr2, across shards: a VCF shard indexed as .tbi, one
        // as .csi, one built from its records (as CSI), its deletions across windows.
        Row big{"positions past 2^29", kind,
                shards({{{"chr1", 1, 300000, 97}, {"chr2", 1, 200000, 131, 9, 40000}},
                        {{"chr2", 600000000, 600300000, 89, 11, 50000}},
                        {{"chr2", 600300000, 600500000, 101, 7, 30000}, {"chr3", 1, 1000, 7}}})};
        for (auto &sh : big.shards) sh.chr2_len = 1 << 30;
        big.shards[1].source = Source::kCsi;
        big.shards[2].source = Source::kNoIndex;
        r.push_back(big);
        if (kind == IndexKind::kCsi) continue;
        // VCF shards indexed as .csi (htslib looks for DATA.csi first), alone and mixed with
        // .tbi; deletions across windows test each bin's loffset, a .tbi's converted ones too.
        for (const Source mix : {Source::kCsi, Source::kIndexed}) {
            Row csi{mix == Source::kCsi ? "indexed as .csi" : "indexed as .csi and .tbi", kind,
                    shards({{{"chr1", 100, 300000, 97, 9, 40000}},
                            {{"chr1", 300050, 620000, 131, 5, 70000}, {"chr2", 5000, 90000, 61}},
                            {{"chr2", 90000, 400000, 89, 13, 20000}},
                            {{"chr2", 400000, 420000, 89}, {"chr3", 1, 200000, 143}}})};
            csi.shards[0].source = csi.shards[2].source = csi.shards[3].source = mix;
            csi.shards[1].source = Source::kBoth;  // its .csi, found first, makes the output's
            if (mix == Source::kIndexed) csi.shards[3].source = Source::kCsi12;
            r.push_back(csi);
        }
    }
    return r;
}

TEST(IndexMerge, QueriesMatchHtslibsOwnIndexOfTheJoinedFile) {
    for (const Row &row : rows()) {
        const bool csi = row.kind == IndexKind::kCsi;
        SCOPED_TRACE(std::string(row.name) + (csi ? " (BCF)" : " (VCF)"));
        aftest::TempDir dir;
        const Joined j = make_join(dir, row);
        const IndexKind out_kind = output_kind(row);
        const std::string mine = index_path(j.path, out_kind);
        const std::string ref = dir.file("reference.idx");
        const std::vector<bool> own = merge(row, j, mine);
        for (size_t s = 0; s < own.size(); s++)
            EXPECT_EQ(own[s], row.shards[s].source < Source::kNoIndex) << "shard " << s;
        ASSERT_EQ(build_index(j.path, ref, row.kind, out_kind == IndexKind::kCsi ? 14 : 0), 0);

        // htslib loads the merged index without a word.
        const auto load = aftest::capture([&] {
            if (csi ? !bcf_index_load2(j.path.c_str(), mine.c_str())
                    : !tbx_index_load2(j.path.c_str(), mine.c_str()))
                exit(1);
        });
        EXPECT_EQ(load.status, 0);
        EXPECT_EQ(load.err, "");

        EXPECT_EQ(stats(j.path, mine, row.kind), stats(j.path, ref, row.kind));
        std::vector<std::string> regions = {"chr1", "chr2", "chr3"};
        for (const auto &fl : j.first_last)
            for (const auto &rec : fl) {
                const size_t tab = rec.find('\t');
                const int pos = std::stoi(rec.substr(tab + 1));
                regions.push_back(rec.substr(0, tab) + ":" +
                                  std::to_string(std::max(1, pos - 20000)) + "-" +
                                  std::to_string(pos + 20000));
            }
        std::mt19937 rng(7);
        for (int i = 0; i < 40; i++) {
            const int beg = 1 + int(rng() % 900000);
            regions.push_back("chr" + std::to_string(1 + rng() % 3) + ":" + std::to_string(beg) +
                              "-" + std::to_string(beg + int(rng() % 60000)));
        }
        size_t whole = 0;
        for (const auto &region : regions) {
            const auto got = query(j.path, mine, row.kind, region);
            EXPECT_EQ(got, query(j.path, ref, row.kind, region)) << region;
            if (region.size() == 4) whole += got.size();
        }
        EXPECT_EQ(whole, aftest::read_variants(j.path).records.size());

        // The same shards joined by varforge cat -W: its index, of the same kind, answers every
        // query as htslib's own index of its output does, and -v names the shards whose part
        // it built and a VCF index written as CSI.
        const std::string joined = dir.file(csi ? "cat.bcf" : "cat.vcf.gz");
        const std::string cat_index = index_path(joined, out_kind), cat_ref = dir.file("cat.ref");
        std::vector<std::string> args = {aftest::bin("varforge"), "cat", "-v", "-W", "-o", joined};
        args.insert(args.end(), j.shards.begin(), j.shards.end());
        const auto r = aftest::run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (size_t s = 0; s < own.size(); s++)
            EXPECT_EQ(r.err.find(j.shards[s] + ": ") == std::string::npos, bool(own[s])) << r.err;
        const std::string note = joined + ": positions past 2^29 or inputs indexed as .csi: the " +
                                 "index is written as " + cat_index + "\n";
        EXPECT_EQ(r.err.find(note) != std::string::npos, !csi && out_kind == IndexKind::kCsi)
            << r.err;
        const IndexKind other = out_kind == IndexKind::kCsi ? IndexKind::kTbi : IndexKind::kCsi;
        EXPECT_NE(access(index_path(joined, other).c_str(), F_OK), 0);
        ASSERT_EQ(build_index(joined, cat_ref, row.kind, out_kind == IndexKind::kCsi ? 14 : 0), 0);
        const auto cat_load = aftest::capture([&] {
            if (csi ? !bcf_index_load2(joined.c_str(), cat_index.c_str())
                    : !tbx_index_load2(joined.c_str(), cat_index.c_str()))
                exit(1);
        });
        EXPECT_EQ(cat_load.status + cat_load.err.size(), 0u) << cat_load.err;
        EXPECT_EQ(stats(joined, cat_index, row.kind), stats(joined, cat_ref, row.kind));
        for (const auto &region : regions)
            EXPECT_EQ(query(joined, cat_index, row.kind, region),
                      query(joined, cat_ref, row.kind, region))
                << region;
        // Without -W the output's bytes are the same.
        const std::string plain = dir.file(csi ? "plain.bcf" : "plain.vcf.gz");
        args.erase(args.begin() + 2, args.begin() + 6);
        args.insert(args.begin() + 2, {"-o", plain});
        ASSERT_EQ(aftest::run(args).status, 0);
        EXPECT_TRUE(aftest::read_file(plain) == aftest::read_file(joined));
    }
}

// A join that would part a contig's records, or put positions out of order, cannot be
// indexed: refused with -W before anything is written, naming both files; allowed without.
TEST(IndexMerge, CatRefusesJoinsThatAnIndexCannotFollow) {
    aftest::TempDir dir;
    Row row = rows()[0];  // chr1 | chr1, chr2 | chr2, chr3
    const Joined j = make_join(dir, row);
    const std::string out = dir.file("o.bcf");
    const std::string vf = aftest::bin("varforge");
    const struct {
        std::vector<std::string> shards;
        std::string why;
    } cases[] = {
        {{j.shards[0], j.shards[0]},
         j.shards[0] +
             ": its first record (chr1:100) comes before "
             "the last record (chr1:299927) of " +
             j.shards[0]},
        {{j.shards[0], j.shards[2], j.shards[1]},
         j.shards[1] + ": its records of chr1 would be parted by another contig's from those of " +
             j.shards[0]},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {vf, "cat", "-W", "-o", out};
        args.insert(args.end(), c.shards.begin(), c.shards.end());
        auto r = aftest::run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "[bcf_cat] " + c.why +
                             ", and an index needs each contig's records together and sorted\n");
        EXPECT_NE(access(out.c_str(), F_OK), 0);
        args.erase(args.begin() + 2);
        EXPECT_EQ(aftest::run(args).status, 0);
        unlink(out.c_str());
    }
    const auto no_o = aftest::run({vf, "cat", "-W", j.shards[0]});
    EXPECT_EQ(no_o.status, 1);
    EXPECT_EQ(no_o.err, "[bcf_cat] --write-index (-W) needs --output (-o FILE)\n");
}

TEST(IndexMerge, DamagedIndexesFailCleanly) {
    for (IndexKind kind : {IndexKind::kCsi, IndexKind::kTbi}) {
        aftest::TempDir dir;
        const Row row{"", kind,
                      shards({{{"chr1", 1, 300000, 301, 5, 50000}, {"chr2", 1, 9000, 7}}})};
        const Joined j = make_join(dir, row);
        const std::string good = index_path(j.shards[0], kind);
        std::string bytes;
        {
            BGZF *fp = bgzf_open(good.c_str(), "r");
            char buf[4096];
            ssize_t n;
            while ((n = bgzf_read(fp, buf, sizeof buf)) > 0) bytes.append(buf, size_t(n));
            bgzf_close(fp);
        }
        auto parses = [&](const std::string &b, IndexKind k = IndexKind::kCsi) {
            vfjoin::Index ix;
            std::string why;
            const bool ok = vfjoin::index_parse(reinterpret_cast<const uint8_t *>(b.data()),
                                                b.size(), k, &ix, &why);
            EXPECT_EQ(ok, why.empty()) << why;
            return ok;
        };
        // Every cut of the decompressed bytes fails, except the one without the optional
        // count of records without a contig.
        EXPECT_TRUE(parses(bytes, kind));
        for (size_t n = 0; n < bytes.size(); n++)
            EXPECT_EQ(parses(bytes.substr(0, n), kind), n == bytes.size() - 8) << n;

        // Counts far beyond what the bytes hold, a bin out of range, the other kind's magic.
        const size_t n_ref_at = kind == IndexKind::kCsi ? 16 : 4;
        std::string huge = bytes;
        huge.replace(n_ref_at, 4, "\xff\xff\xff\x7f", 4);
        std::string bin = bytes;  // the first bin of the first contig
        const size_t first_bin = kind == IndexKind::kCsi ? 24 : 40 + size_t(bytes[32]);
        bin.replace(first_bin, 4, "\xff\xff\xff\x0f", 4);
        std::mt19937 rng(3);
        std::string garbage(bytes.size(), '\0');
        for (auto &c : garbage) c = char(rng());
        const IndexKind other = kind == IndexKind::kCsi ? IndexKind::kTbi : IndexKind::kCsi;
        for (const auto &b : {huge, bin, garbage}) EXPECT_FALSE(parses(b, kind));
        EXPECT_FALSE(parses(bytes, other));

        // The same through files: a compressed file cut short, garbage, no file at all.
        const std::string compressed = aftest::read_file(good);
        const struct {
            const char *name;
            std::string bytes;
        } files[] = {{"cut", compressed.substr(0, compressed.size() / 2)},
                     {"garbage", garbage},
                     {"huge", compress_block(huge) + aftest::kBgzfEof}};
        for (const auto &f : files) {
            aftest::write_file(dir.file(f.name), f.bytes);
            vfjoin::Index ix;
            std::string why;
            EXPECT_FALSE(vfjoin::index_load(dir.file(f.name), kind, &ix, &why)) << f.name;
            EXPECT_FALSE(why.empty()) << f.name;
        }
        vfjoin::Index ix;
        std::string why;
        EXPECT_FALSE(vfjoin::index_load(dir.file("absent"), kind, &ix, &why));
        EXPECT_NE(why.find("No such file"), std::string::npos) << why;
        EXPECT_EQ(hts_get_log_level(), HTS_LOG_WARNING);  // quiet only while it read
    }
}

TEST(IndexMerge, RefusesInputsThatDoNotFit) {
    for (IndexKind kind : {IndexKind::kCsi, IndexKind::kTbi}) {
        aftest::TempDir dir;
        const Row row{"", kind,
                      shards({{{"chr1", 1, 90000, 51}},
                              {{"chr2", 1, 90000, 51}},
                              {{"chr1", 95000, 190000, 51}}})};
        const Joined j = make_join(dir, row);
        vfjoin::Index ix[3];
        std::string why;
        for (int s = 0; s < 3; s++)
            ASSERT_TRUE(vfjoin::index_load_beside(j.shards[size_t(s)], data_of(kind), &ix[s], &why))
                << why;
        struct Case {
            const char *name;
            std::function<void(vfjoin::Index *, OffsetMap *)> change;
            int input;  // which shard is offered second, after the first
            const char *why;
        };
        const Case cases[] = {
            {"other min_shift", [](vfjoin::Index *x, OffsetMap *) { x->min_shift = 12; }, 1,
             "min_shift 12 differs"},
            {"other settings", [](vfjoin::Index *x, OffsetMap *) { x->tbx.col_beg = 4; }, 1,
             kind == IndexKind::kCsi ? nullptr : "VCF settings"},
            {"more data than indexed",
             [](vfjoin::Index *, OffsetMap *m) {
                 m->data_end += 100;
                 m->out_data_end += 100;
             },
             1, "does not end where"},
            {"offsets beyond the data", [](vfjoin::Index *, OffsetMap *m) { m->data_end -= 10; }, 1,
             "outside the file's records"},
            {"lands too early", [&](vfjoin::Index *, OffsetMap *m) { *m = j.maps[0]; }, 0,
             "before the previous input's end"},
            {"contig again", [](vfjoin::Index *, OffsetMap *) {}, 2, "appears again"},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            IndexMerger merger(kind);
            ASSERT_TRUE(merger.add(ix[0], j.maps[0], &why)) << why;
            if (c.input == 2) {
                ASSERT_TRUE(merger.add(ix[1], j.maps[1], &why)) << why;
            }
            vfjoin::Index x = ix[c.input];
            OffsetMap m = j.maps[size_t(c.input)];
            c.change(&x, &m);
            why.clear();
            const size_t before = merger.size();
            EXPECT_EQ(merger.add(x, m, &why), c.why == nullptr);
            if (c.why) {
                EXPECT_NE(why.find(c.why), std::string::npos) << why;
                EXPECT_EQ(merger.size(), before);
            }
        }
    }
}

}  // namespace
