// varforge cat on inputs that a careless join would misread: headers read by htslib's own
// parser, definitions that only some shards carry, damaged data before a valid end-of-file
// block, files that are not regular, standard input named many times, an input rewritten
// during the join, and `-o`, which replaces its file whole or not at all.
#include <dirent.h>
#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/vcf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bcf_files.h"
#include "process.h"

namespace {

using aftest::run;

std::string varforge() {
    return aftest::bin("varforge");
}

const std::string kFileformat = "##fileformat=VCFv4.2\n";
const std::string kFilter = "##FILTER=<ID=q10,Description=\"Low quality\">\n";
const std::string kInfo = "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">\n";
const std::string kHead = kFileformat + kFilter + kInfo +
                          "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n";
const std::string kContigs = "##contig=<ID=chr1,length=1000>\n##contig=<ID=chr2,length=1000>\n";
const std::string kChrom = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\n";
const std::vector<std::string> kRecords = {"chr1\t10\t.\tA\tC\t50\tPASS\tDP=5\tGT\t0/1\t1/1",
                                           "chr2\t20\t.\tG\tT\t50\tq10\tDP=7\tGT\t0/0\t0/1"};

struct Shard {
    std::string header;
    std::vector<std::string> records = kRecords;
};

// Each row: the shards' header texts (and records), and the end of the refusal, or "" when
// the join must succeed with every record reading as it does in its own shard. The last shard
// is the one refused, for not matching the first input or, with `against`, the shard whose
// definition it contradicts; `vcf_too` rows are run as bgzipped VCF as well.
TEST(CatJoin, EachShardsRecordsReadAsInTheirOwnFile) {
    const std::string base = kHead + kContigs + kChrom;
    auto swap = [&](const std::string &from, const std::string &to) {
        std::string t = base;
        return t.replace(t.find(from), from.size(), to);
    };
    const std::string chr3 = "##contig=<ID=chr3,length=500>\n";
    const std::string xx = "##INFO=<ID=XX,Number=1,Type=Integer,Description=\"Extra\">\n";
    const std::string gt = "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n";
    auto with_gt_idx = [&](int idx) {
        return swap(gt, "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\",IDX=" +
                            std::to_string(idx) + ">\n");
    };
    struct Row {
        const char *name;
        std::vector<Shard> shards;
        std::string refusal;
        int against = -1;
        bool vcf_too = false;
    };
    const std::string dp = "Number=1,Type=Integer,Description=\"Depth\"";
    // A shard that defines FORMAT `id` as `type` and uses it.
    auto fmt = [&](const std::string &id, const std::string &type, const std::string &value) {
        return Shard{swap(kChrom, "##FORMAT=<ID=" + id + ",Number=1,Type=" + type +
                                      ",Description=\"\">\n" + kChrom),
                     {"chr1\t5\t.\tA\tG\t9\tPASS\tDP=3\tGT:" + id + "\t0/1:" + value + "\t0/1:1"}};
    };
    const std::vector<std::string> on_chr2 = {kRecords[1]};
    const Row rows[] = {
        {"identical", {{base}, {base}}, ""},
        // Lines that htslib reads alike must be joined.
        {"blank before comma", {{base}, {swap("ID=chr1,", "ID=chr1 ,")}}, ""},
        {"blank after <", {{base}, {swap("<ID=chr1,", "< ID=chr1,")}}, ""},
        {"lower-case id=", {{base}, {swap("ID=chr1,", "id=chr1,")}}, ""},
        {"lines htslib drops",
         {{base},
          {swap(kChrom, "##contig=<ID=chr9,length=abc>\n##contig=<ID=chr8,1x=y>\n" + kChrom)}},
         ""},
        {"second #CHROM line",
         {{base}, {base + "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS2\tS1\n"}},
         ""},
        {"IDX=+0 on PASS",
         {{base},
          {swap(kFileformat,
                kFileformat + "##FILTER=<ID=PASS,Description=\"All filters passed\",IDX=+0>\n")}},
         ""},
        // Lines that htslib reads otherwise than they look: refused, not misread.
        {"repeated ID",
         {{base}, {swap("ID=chr1,", "ID=chrX,ID=chr1,"), on_chr2}},
         "contig 0 is chrX, not chr1"},
        {"quoted contig ID",
         {{base}, {swap("ID=chr1,", "ID=\"chr1\","), on_chr2}},
         "contig 0 is \"chr1\", not chr1"},
        {"contig length=abc",
         {{base}, {swap("length=1000>\n##", "length=abc>\n##"), on_chr2}},
         "contig 0 is chr2, not chr1"},
        {"no fileformat line",
         {{base}, {base.substr(kFileformat.size())}},
         "ID 0 is q10, not PASS"},
        // Definitions that only some shards have.
        {"contig used only later",
         {{base}, {swap(kChrom, chr3 + kChrom), {"chr3\t5\t.\tA\tG\t9\tPASS\tDP=1\tGT\t0/1\t0/1"}}},
         ""},
        {"INFO used only later",
         {{base}, {swap(kChrom, xx + kChrom), {"chr1\t5\t.\tA\tG\t9\tPASS\tXX=4\tGT\t0/1\t0/1"}}},
         ""},
        {"contig only in the first", {{swap(kChrom, chr3 + kChrom)}, {base}}, ""},
        {"later contig beyond a gap",
         {{base},
          {swap(kChrom, "##contig=<ID=chr3,length=500,IDX=7>\n" + kChrom),
           {"chr3\t5\t.\tA\tG\t9\tPASS\t.\tGT\t0/1\t0/1"}},
          {base}},
         ""},
        {"FORMAT at other indices", {{with_gt_idx(9)}, {with_gt_idx(4)}}, "ID GT is at 4, not 9"},
        {"two shards claim one index",
         {{base}, {swap(kChrom, chr3 + kChrom)}, {swap(kChrom, "##contig=<ID=chr4>\n" + kChrom)}},
         "contig 2 is chr4, not chr3"},
        {"samples differ", {{base}, {swap("\tS1\tS2", "\tS2\tS1")}}, "sample 0 is S2, not S1"},
        {"one sample more",
         {{base},
          {swap("\tS2\n", "\tS2\tS3\n"), {"chr1\t9\t.\tA\tC\t5\tPASS\t.\tGT\t0/1\t0/1\t1/1"}}},
         "3 samples, not 2"},
        {"contig order",
         {{base},
          {swap(kContigs, "##contig=<ID=chr2,length=1000>\n##contig=<ID=chr1,length=1000>\n")}},
         "contig 0 is chr2, not chr1"},
        {"ID order", {{base}, {swap(kFilter + kInfo, kInfo + kFilter)}}, "ID 1 is DP, not q10"},
        {"meta line later", {{base}, {swap(kChrom, "##source=elsewhere\n" + kChrom)}}, ""},
        {"IDX as order gives it",
         {{base}, {swap("Description=\"Depth\">", "Description=\"Depth\",IDX=2>")}},
         ""},
        // A name means the same in every shard, however its line is worded; a contig length
        // given on one side only is no difference.
        {"INFO Type",
         {{base}, {swap(dp, "Number=1,Type=Float")}},
         "INFO DP has Type=Float here and Type=Integer there",
         0,
         true},
        {"INFO Number",
         {{base}, {swap(dp, "Number=A,Type=Integer")}},
         "INFO DP has Number=A here and Number=1 there",
         0,
         true},
        {"FORMAT Type",
         {{base}, fmt("XF", "Integer", "3"), fmt("XF", "Float", "0.5")},
         "FORMAT XF has Type=Float here and Type=Integer there",
         1,
         true},
        {"contig length",
         {{swap("chr1,length=1000", "chr1")}, {base}, {swap("=1000>", "=999>")}},
         "contig chr1 has length=999 here and length=1000 there",
         1,
         true},
        {"worded otherwise",
         {{base},
          {swap(dp, "Type=Integer,Number=01,Description=\"Read depth\"")},
          {swap("chr1,length=1000", "chr1")},
          fmt("DP", "Float", "0.5")},
         "",
         -1,
         true},
    };
    // A bgzipped VCF file whose text is exactly the header and records given.
    auto write_vcf = [](const std::string &path, const Shard &shard) {
        std::string text = shard.header;
        for (const auto &r : shard.records) text += r + "\n";
        BGZF *f = bgzf_open(path.c_str(), "w");
        ASSERT_TRUE(f && bgzf_write(f, text.data(), text.size()) == ssize_t(text.size()));
        ASSERT_EQ(bgzf_close(f), 0);
    };
    aftest::TempDir dir;
    std::vector<std::pair<const Row *, std::string>> runs;
    for (const auto &row : rows) {
        runs.emplace_back(&row, ".bcf");
        if (row.vcf_too) runs.emplace_back(&row, ".vcf.gz");
    }
    for (const auto &[row_at, ext] : runs) {
        const Row &row = *row_at;
        const std::string out = dir.file("out" + ext), what = row.name + ext;
        std::vector<std::string> args = {varforge(), "cat", "-o", out};
        std::vector<std::string> want;
        for (size_t i = 0; i < row.shards.size(); i++) {
            args.push_back(dir.file("s" + std::to_string(i) + ext));
            if (ext == ".bcf")
                aftest::write_bcf_raw(args.back(), row.shards[i].header, row.shards[i].records);
            else
                write_vcf(args.back(), row.shards[i]);
            if (row.refusal.empty()) {
                auto recs = aftest::read_variants(args.back()).records;
                want.insert(want.end(), recs.begin(), recs.end());
            }
        }
        unlink(out.c_str());
        auto r = run(args);
        if (!row.refusal.empty()) {
            const std::string other =
                row.against < 0 ? "the first input" : args[4 + size_t(row.against)];
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.err, "[bcf_cat] " + args.back() + ": header does not match " + other +
                                 "'s: " + row.refusal + "\n")
                << what;
            EXPECT_NE(access(out.c_str(), F_OK), 0) << what;
            continue;
        }
        ASSERT_EQ(r.status, 0) << what << ": " << r.err;
        EXPECT_EQ(r.err, "") << what;
        const auto got = aftest::read_variants(out);
        EXPECT_EQ(got.records, want) << what;
        // Where the first shard defines everything, its header is written unchanged.
        const std::string name = row.name;
        if (name == "identical" || name == "contig only in the first" ||
            name == "meta line later") {
            EXPECT_EQ(got.header, aftest::read_variants(args[4]).header) << name;
        }
    }
}

// Damaged data before a valid end-of-file block, and files that are not regular, are refused
// before anything is written; `-o` leaves the file it would replace as it was, and no
// temporary file behind.
TEST(CatJoin, UnfitInputsLeaveTheOutputAsItWas) {
    aftest::TempDir dir;
    const std::string good = dir.file("good.bcf"), out = dir.file("out.bcf");
    aftest::write_bcf(good, aftest::shape(4000, 3), aftest::Layout::kShared);
    const std::string bytes = aftest::read_file(good);
    const auto blocks = aftest::walk_blocks(bytes);
    const std::string eof = bytes.substr(bytes.size() - 28);
    // The last data block cut short, then a valid end-of-file block.
    const auto &last = blocks[blocks.size() - 2];
    aftest::write_file(dir.file("cut_block.bcf"),
                       bytes.substr(0, last.offset + last.size / 2) + eof);
    // One block of header and records whose last record lacks its end.
    std::string whole;
    aftest::write_bcf(dir.file("small.bcf"), aftest::shape(5, 3), aftest::Layout::kShared);
    for (const auto &b : aftest::walk_blocks(aftest::read_file(dir.file("small.bcf"))))
        whole += b.data;
    BGZF *w = bgzf_open(dir.file("cut_record.bcf").c_str(), "w");
    ASSERT_EQ(bgzf_write(w, whole.data(), whole.size() - 7), ssize_t(whole.size() - 7));
    ASSERT_EQ(bgzf_close(w), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.bcf").c_str(), 0600), 0);

    const std::pair<const char *, const char *> rows[] = {
        {"cut_block.bcf", "damaged data: a BGZF block runs into the end-of-file block"},
        {"cut_record.bcf", "damaged data: it ends inside a record"},
        {"fifo.bcf", "not a regular file"},  // no writer: refused at once, not waited on
        {"out.bcf", "it is also the output"},
        {"out.bcf.csi", "it is an index of the output"},
    };
    for (const auto &[name, why] : rows) {
        aftest::write_file(out, "previous good output");
        if (std::string(name) == "out.bcf") aftest::write_file(out, bytes);
        if (std::string(name) == "out.bcf.csi") aftest::write_file(out + ".csi", "old index");
        const std::string before = aftest::read_file(out);
        const auto t0 = std::chrono::steady_clock::now();
        auto r = run({varforge(), "cat", "-o", out, good, dir.file(name)});
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << name;
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "[bcf_cat] " + dir.file(name) + ": " + why + "\n") << name;
        EXPECT_TRUE(aftest::read_file(out) == before) << name;
    }
    DIR *d = opendir(dir.path().c_str());
    for (dirent *e; (e = readdir(d));)
        EXPECT_EQ(std::string(e->d_name).find("vftmp"), std::string::npos);
    closedir(d);
}

// `-o FILE` puts FILE and its index in place as a pair: every old index of FILE goes (beside
// the file replaced and beside a link's own name), the new one is written beside the file that
// a link names, and FILE keeps its permission bits; a dead run's temporary files are removed.
TEST(CatJoin, TheOutputAndItsIndexArePutInPlaceAsAPair) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf"), out = dir.file("out.bcf");
    const std::string real = dir.file("real.bcf"), link = dir.file("link.bcf");
    aftest::write_bcf_text(a, kHead + kContigs + kChrom + kRecords[0] + "\n",
                           aftest::Layout::kShared);
    aftest::write_bcf_text(b, kHead + kContigs + kChrom + kRecords[1] + "\n",
                           aftest::Layout::kShared);
    ASSERT_EQ(symlink("real.bcf", link.c_str()), 0);
    // Records of chr2 found through `path`'s index, as htslib finds it; -1 without one.
    auto chr2_records = [](const std::string &path) {
        htsFile *fp = hts_open(path.c_str(), "r");
        bcf_hdr_t *h = fp ? bcf_hdr_read(fp) : nullptr;
        hts_idx_t *idx = h ? bcf_index_load(path.c_str()) : nullptr;
        hts_itr_t *itr = idx ? bcf_itr_querys(idx, h, "chr2") : nullptr;
        bcf1_t *v = bcf_init();
        int n = itr ? 0 : -1;
        while (itr && bcf_itr_next(fp, itr, v) >= 0) n++;
        bcf_destroy(v);
        hts_itr_destroy(itr);
        if (idx) hts_idx_destroy(idx);
        bcf_hdr_destroy(h);
        if (fp) hts_close(fp);
        return n;
    };
    struct Row {
        std::vector<std::string> opts;
        std::string target;                // the file the data must end up in
        std::vector<std::string> present;  // indexes that must exist after
        std::vector<std::string> absent;   // and those that must not
    };
    const Row rows[] = {
        {{"-o", out}, out, {}, {out + ".csi", out + ".tbi"}},
        {{"-W", "-o", out}, out, {out + ".csi"}, {out + ".tbi"}},
        {{"--write-index", "--no-sync", "--output", out}, out, {out + ".csi"}, {out + ".tbi"}},
        {{"-W", "-o", link}, real, {real + ".csi"}, {link + ".csi", real + ".tbi"}},
        {{"-o", link}, real, {}, {link + ".csi", real + ".csi"}},
    };
    for (const Row &row : rows) {
        for (const std::string &f : {out, real}) {
            aftest::write_file(f, "old");
            ASSERT_EQ(chmod(f.c_str(), 0640), 0);
            for (const char *suffix : {".csi", ".tbi"}) aftest::write_file(f + suffix, "old");
        }
        aftest::write_file(link + ".csi", "old");
        // A temporary file of a run that is gone (no process has a pid this large).
        const size_t slash = row.target.rfind('/') + 1;
        const std::string dead = row.target.substr(0, slash) + "." + row.target.substr(slash) +
                                 ".vftmp.2147483646.abcdef";
        aftest::write_file(dead, "left by a killed run");
        std::vector<std::string> args = {varforge(), "cat"};
        args.insert(args.end(), row.opts.begin(), row.opts.end());
        args.insert(args.end(), {a, b});
        auto r = run(args);
        const std::string how = row.opts[0] + " " + row.opts.back();
        ASSERT_EQ(r.status, 0) << how << r.err;
        EXPECT_EQ(aftest::read_variants(row.target).records.size(), 2u) << how;
        struct stat st;
        ASSERT_EQ(stat(row.target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << how;
        for (const auto &p : row.present) EXPECT_NE(aftest::read_file(p), "old") << how << p;
        for (const auto &p : row.absent) EXPECT_NE(access(p.c_str(), F_OK), 0) << how << p;
        EXPECT_NE(access(dead.c_str(), F_OK), 0) << how;
        EXPECT_EQ(chr2_records(row.target), row.present.empty() ? -1 : 1) << how;
    }
}

// A join stopped by SIGTERM while it builds a shard's index from its records leaves none of
// its temporary files, in TMPDIR or beside the output, and no output.
TEST(CatJoin, ASignalLeavesNoTemporaryFiles) {
    aftest::TempDir dir;
    const std::string tmp = dir.file("tmp"), out = dir.file("out.vcf.gz");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    const std::string a = dir.file("a.vcf.gz");
    aftest::write_variants(a, "vcf.gz", aftest::VarShape{150000, 2, 7, ""});  // no index
    auto listing = [](const std::string &d) {
        std::vector<std::string> names;
        DIR *dp = opendir(d.c_str());
        for (dirent *e; dp && (e = readdir(dp));)
            if (e->d_name[0] != '.' || strstr(e->d_name, "vftmp")) names.push_back(e->d_name);
        if (dp) closedir(dp);
        return names;
    };
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("TMPDIR", tmp.c_str(), 1);
        execl(varforge().c_str(), "varforge", "cat", "-W", "-o", out.c_str(), a.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    // Stopped once its temporary index exists, while htslib is still writing it. A build with
    // sanitizers on a busy machine may take many seconds to get there; the wait ends early
    // only if the join itself ends.
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 30000 && listing(tmp).empty(); i++) {
        if ((ended = waitpid(pid, &status, WNOHANG)) != 0) break;
        usleep(2000);
    }
    const bool caught = !listing(tmp).empty();
    if (ended == 0) {
        kill(pid, SIGTERM);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    ASSERT_TRUE(caught) << "the join never made its temporary index (ended: " << ended << ")";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(listing(tmp), std::vector<std::string>{});
    const auto beside = listing(dir.path());
    EXPECT_EQ(std::count_if(beside.begin(), beside.end(),
                            [](const std::string &n) { return n.find("out.vcf.gz") != n.npos; }),
              0);
}

// Standard input named many times is one input, even with few descriptors; an input
// rewritten in place during the join, its size and modification time put back, ends the
// join with a message and leaves `-o`'s file as it was.
TEST(CatJoin, StandardInputRepeatedAndARewriteCaught) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf"), out = dir.file("o.bcf");
    aftest::write_bcf(a, aftest::shape(60000, 1), aftest::Layout::kShared);
    aftest::write_bcf(b, aftest::shape(10, 2), aftest::Layout::kShared);
    std::string dashes;
    for (int i = 0; i < 200; i++) dashes += " -";
    auto r = run({"/bin/sh", "-c", "ulimit -n 64; exec \"$0\" cat -o \"$1\"" + dashes + " <\"$2\"",
                  varforge(), out, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(aftest::read_variants(out).records.size(), 2000u);

    // The pipe fills with a's bytes and holds the join until b has been rewritten.
    aftest::write_file(out, "kept");
    auto race =
        run({"/bin/bash", "-c",
             "cp -p \"$2\" \"$2.ref\"; \"$0\" cat -o /dev/stdout \"$1\" \"$2\" 2>\"$3.err\" | "
             "{ head -c 1 >/dev/null; printf X | dd of=\"$2\" bs=1 seek=200 conv=notrunc "
             "2>/dev/null; touch -r \"$2.ref\" \"$2\"; cat >/dev/null; }; "
             "echo ${PIPESTATUS[0]}; cat \"$3.err\"",
             varforge(), a, b, out});
    EXPECT_EQ(race.out, "1\n[bcf_cat] " + b + ": the file changed after it was checked\n");
}

// Shards as a sharded caller writes them, of both kinds, joined with -o and read back through
// htslib and gzip. One shard is large enough to be padded, and must then lie at its own
// offset modulo 4096.
TEST(CatJoin, ShardLayoutsOfBothKindsReadBackAsTheirShards) {
    std::string notes;
    for (int i = 0; i < 1500; i++)
        notes += "##note" + std::to_string(i) + "=padding padding padding\n";
    struct Row {
        const char *name;
        std::vector<int> cuts;  // record indices where shards begin, then the end
        aftest::Layout layout;
        bool big_header;
    };
    const int n = 12000;  // chr1 then chr2, half each
    const Row rows[] = {
        {"cut inside a contig", {0, 1000, 9000, n}, aftest::Layout::kShared, false},
        {"cut between contigs", {0, n / 2, n}, aftest::Layout::kShared, false},
        {"empty shards", {0, 0, n / 2, n / 2, n, n}, aftest::Layout::kShared, false},
        {"records on block boundaries", {0, 10, 2000, n}, aftest::Layout::kFlushed, false},
        {"header over several blocks", {0, 7, n}, aftest::Layout::kShared, true},
        {"one shard padded", {0, 3, n}, aftest::Layout::kFlushed, false},
    };
    aftest::TempDir dir;
    for (const char *mode : {"wb", "wz"}) {
        const std::string ext = mode[1] == 'b' ? ".bcf" : ".vcf.gz";
        const std::string out = dir.file("out" + ext);
        for (const auto &row : rows) {
            const auto all = aftest::split_header(
                aftest::variant_text(aftest::shape(n, 9, row.big_header ? notes : "", 40)), '#');
            std::vector<std::string> args = {varforge(), "cat", "-o", out}, want;
            for (size_t i = 0; i + 1 < row.cuts.size(); i++) {
                std::string text = all.header;
                for (int r = row.cuts[i]; r < row.cuts[i + 1]; r++)
                    text += all.records[size_t(r)] + "\n";
                args.push_back(dir.file("s" + std::to_string(i) + ext));
                aftest::write_bcf_text(args.back(), text, row.layout, mode);
                if (row.cuts[i] < row.cuts[i + 1]) {  // the shard's bytes are laid out as named
                    EXPECT_EQ(aftest::layout_of(args.back()), row.layout) << row.name << ext << i;
                }
                const auto recs = aftest::read_variants(args.back()).records;
                want.insert(want.end(), recs.begin(), recs.end());
            }
            const std::string what = std::string(row.name) + ext;
            auto r = run(args);
            ASSERT_EQ(r.status, 0) << what << ": " << r.err;
            EXPECT_EQ(aftest::read_variants(out).records, want) << what;
            EXPECT_EQ(run({"/bin/sh", "-c", "exec gzip -t <\"$0\"", out}).status, 0) << what;
            if (std::string(row.name) != "one shard padded") continue;
            // The padded shard's last data block lies at its own offset modulo 4096.
            const std::string shard = aftest::read_file(args.back()),
                              joined = aftest::read_file(out);
            const auto blocks = aftest::walk_blocks(shard);
            ASSERT_GE(blocks.size(), 3u);
            ASSERT_GT(shard.size(), size_t(512 << 10)) << what;
            const auto &last = blocks[blocks.size() - 2];
            const size_t at = joined.find(shard.substr(last.offset, last.size));
            ASSERT_NE(at, std::string::npos) << what;
            EXPECT_EQ(at % 4096, last.offset % 4096) << what;
            EXPECT_LE(joined.size(),
                      (aftest::read_file(args[4]).size() + shard.size()) * 105 / 100);
        }
    }
    // One kind per join, and bgzipped VCF shards must share their samples too.
    const std::string a = dir.file("a.bcf"), b = dir.file("b.vcf.gz"), c = dir.file("c.vcf.gz");
    const std::string text = aftest::variant_text(aftest::shape(20, 3));
    aftest::write_bcf_text(a, text, aftest::Layout::kShared);
    aftest::write_bcf_text(b, text, aftest::Layout::kShared, "wz");
    std::string swapped = text;
    swapped.replace(swapped.find("\tS1\tS2"), 6, "\tS2\tS1");
    aftest::write_bcf_text(c, swapped, aftest::Layout::kShared, "wz");
    for (const auto &[args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{a, b}, b + ": a VCF file among BCF files"},
             {{b, a}, a + ": a BCF file among VCF files"},
             {{b, c}, c + ": header does not match the first input's: sample 0 is S2, not S1"}}) {
        std::vector<std::string> argv = {varforge(), "cat"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = run(argv);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.out, "") << err;
        EXPECT_EQ(r.err, "[bcf_cat] " + err + "\n");
    }
}

}  // namespace
