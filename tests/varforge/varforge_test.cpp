// The varforge program run as a process on BCF, VCF and damaged files written through htslib.
#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bcf_files.h"
#include "bgzf_eof.h"
#include "fixtures.h"
#include "process.h"
#include "servers.h"

namespace {

using aftest::kBgzfEof;
using aftest::Layout;
using aftest::run;
using aftest::shape;

std::string varforge() {
    return aftest::bin("varforge");
}

aftest::ProcResult vf(std::vector<std::string> args) {
    args.insert(args.begin(), varforge());
    return run(args);
}

// A header larger than one block.
std::string big_header() {
    std::string h;
    for (int i = 0; i < 1500; i++)
        h += "##note" + std::to_string(i) + "=padding padding padding padding padding\n";
    return h;
}

// Bytes of a BCF file from the block after its header to just before its end-of-file block;
// the header must end on a block boundary.
std::string data_span(const std::string &bytes) {
    auto blocks = aftest::walk_blocks(bytes);
    size_t need = aftest::header_size(blocks), seen = 0, i = 0;
    while (seen < need) seen += blocks.at(i++).data.size();
    EXPECT_EQ(seen, need) << "header does not end on a block boundary";
    return bytes.substr(blocks.at(i).offset, bytes.size() - kBgzfEof.size() - blocks.at(i).offset);
}

// --- the dispatcher ---

TEST(VarforgeMain, NoArgumentPrintsTheUsage) {
    auto r = vf({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "\n"
              "Usage:   varforge <command> <arguments>\n"
              "\n"
              "Command: view      print, extract, convert and call SNPs from BCF\n"
              "         index     index BCF\n"
              "         cat       concatenate BCFs\n"
              "\n");
}

TEST(VarforgeMain, OnlyExactCommandWordsMatch) {
    for (const char *word : {"cats", "vie", "View", "CAT", "indexx", "", "help", "ca", "view "}) {
        auto r = vf({word, "x.bcf"});
        EXPECT_EQ(r.status, 1) << word;
        EXPECT_EQ(r.out, "") << word;
        EXPECT_EQ(r.err, "[main] Unrecognized command.\n") << word;
    }
}

TEST(VarforgeMain, CommandsReceiveTheirOwnArguments) {
    // Without a file name each command sees only its word and answers with its usage.
    auto v = vf({"view"});
    EXPECT_EQ(v.status, 1);
    EXPECT_EQ(v.err.rfind("Usage:   varforge view ", 0), 0u) << v.err;
    auto i = vf({"index"});
    EXPECT_EQ(i.status, 1);
    EXPECT_EQ(i.err.rfind("Usage:   varforge index ", 0), 0u) << i.err;
    auto h = vf({"view", "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind("Usage:   varforge view ", 0), 0u);
}

// --- cat ---

TEST(VarforgeCat, NoFilesGiveAnEmptyBgzfStream) {
    auto r = vf({"cat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kBgzfEof);
}

TEST(VarforgeCat, AlignedInputsAreCopiedBlockForBlock) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf");
    aftest::write_bcf(a, shape(12000, 3), Layout::kFlushed);
    aftest::write_bcf(b, shape(40, 4), Layout::kFlushed);
    const std::string abytes = aftest::read_file(a), bbytes = aftest::read_file(b);
    const std::string aspan = data_span(abytes), bspan = data_span(bbytes);
    // A's copy takes several full chunks and ends on a short one.
    ASSERT_GT(aspan.size(), 3u * 65536);
    ASSERT_NE(aspan.size() % 65536, 0u);

    auto r = vf({"cat", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto out = aftest::walk_blocks(r.out);
    // The header alone, in whole blocks, equal to A's header bytes...
    auto ablocks = aftest::walk_blocks(abytes);
    const size_t hsize = aftest::header_size(ablocks);
    std::string aheader;
    for (const auto &blk : ablocks) aheader += blk.data;
    aheader.resize(hsize);
    std::string header;
    size_t i = 0;
    while (header.size() < hsize) header += out.at(i++).data;
    EXPECT_EQ(header, aheader);
    // ...then A's data bytes, B's data bytes and one end-of-file block, byte for byte.
    EXPECT_EQ(r.out.substr(out.at(i).offset), aspan + bspan + kBgzfEof);
}

TEST(VarforgeCat, EveryInputShapeReadsBackAsAThenB) {
    aftest::TempDir dir;
    struct Shape {
        const char *name;
        int n;
        Layout layout;
        bool big_header;
    };
    const Shape shapes[] = {
        {"shared", 30, Layout::kShared, false},
        {"flushed", 30, Layout::kFlushed, false},
        {"shared_large", 5000, Layout::kShared, false},
        {"flushed_large", 5000, Layout::kFlushed, false},
        {"header_only", 0, Layout::kShared, false},
        {"header_only_flushed", 0, Layout::kFlushed, false},
        {"big_header_shared", 20, Layout::kShared, true},
        {"big_header_flushed", 20, Layout::kFlushed, true},
    };
    std::map<std::string, aftest::VariantFile> content;
    uint32_t seed = 10;
    for (const auto &s : shapes) {
        const std::string path = dir.file(std::string(s.name) + ".bcf");
        aftest::write_bcf(path, shape(s.n, seed++, s.big_header ? big_header() : ""), s.layout);
        content[s.name] = aftest::read_variants(path);
    }
    const std::string out = dir.file("out.bcf");
    for (const auto &a : shapes) {
        for (const auto &b : shapes) {
            // The headers differ only in "##note" lines, which do not change how records read.
            auto r = vf({"cat", dir.file(std::string(a.name) + ".bcf"),
                         dir.file(std::string(b.name) + ".bcf")});
            ASSERT_EQ(r.status, 0) << a.name << " + " << b.name << ": " << r.err;
            EXPECT_EQ(r.err, "");
            aftest::write_file(out, r.out);
            auto got = aftest::read_variants(out);
            auto want = content[a.name].records;
            want.insert(want.end(), content[b.name].records.begin(), content[b.name].records.end());
            EXPECT_EQ(got.header, content[a.name].header) << a.name << " + " << b.name;
            EXPECT_EQ(got.records, want) << a.name << " + " << b.name;
            EXPECT_EQ(got.eof_state, 1) << a.name << " + " << b.name;
        }
    }
}

TEST(VarforgeCat, StandardInputIsReadWhenItIsAFile) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf");
    aftest::write_bcf(a, shape(3000, 1), Layout::kShared);
    aftest::write_bcf(b, shape(40, 2), Layout::kShared);
    auto ref = vf({"cat", a, b});
    ASSERT_EQ(ref.status, 0) << ref.err;
    // Standard input redirected from a file, as the first input and as a later one.
    for (const auto &[first, second, from] :
         std::vector<std::tuple<std::string, std::string, std::string>>{{"-", b, a}, {a, "-", b}}) {
        auto r = run({"/bin/sh", "-c", "exec \"$0\" cat \"$1\" \"$2\" <\"$3\"", varforge(), first,
                      second, from});
        EXPECT_EQ(r.status, 0) << first << r.err;
        EXPECT_TRUE(r.out == ref.out) << first;
    }
    // A pipe on standard input cannot be checked before the copy: refused, nothing written.
    auto r = run({varforge(), "cat", a, "-"}, aftest::read_file(b));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "[bcf_cat] -: not a regular file\n");
}

// Rewrites a file whose header has blocks of its own with BCF2 minor version `minor`.
void set_minor_version(const std::string &path, char minor) {
    const std::string bytes = aftest::read_file(path);
    auto blocks = aftest::walk_blocks(bytes);
    blocks[0].data[4] = minor;
    BGZF *w = bgzf_open(path.c_str(), "w");
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(bgzf_write(w, blocks[0].data.data(), blocks[0].data.size()),
              ssize_t(blocks[0].data.size()));
    ASSERT_EQ(bgzf_flush(w), 0);
    const size_t from = blocks[1].offset, to = bytes.size() - kBgzfEof.size();
    ASSERT_EQ(bgzf_raw_write(w, bytes.data() + from, to - from), ssize_t(to - from));
    ASSERT_EQ(bgzf_close(w), 0);
}

TEST(VarforgeCat, TheFirstInputsVersionIsKeptAndOthersRefused) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf"), c = dir.file("c.bcf");
    aftest::write_bcf(a, shape(500, 1), Layout::kFlushed);
    aftest::write_bcf(b, shape(50, 2), Layout::kFlushed);
    aftest::write_bcf(c, shape(50, 3), Layout::kFlushed);
    set_minor_version(a, 1);
    set_minor_version(b, 1);
    auto r = vf({"cat", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(aftest::walk_blocks(r.out).at(0).data.substr(0, 5), std::string("BCF\2\1", 5));
    EXPECT_EQ(data_span(r.out), data_span(aftest::read_file(a)) + data_span(aftest::read_file(b)));
    auto mixed = vf({"cat", a, c});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.out, "");
    EXPECT_EQ(mixed.err,
              "[bcf_cat] " + c + ": BCF version 2.2 does not match the first input's 2.1\n");
}

TEST(VarforgeCat, EveryKindOfOutputGetsTheSameBytes) {
    aftest::TempDir dir;
    const std::string a = dir.file("a.bcf"), b = dir.file("b.bcf"), out = dir.file("o.bcf");
    aftest::write_bcf(a, shape(6000, 1), Layout::kShared);
    aftest::write_bcf(b, shape(3000, 2), Layout::kShared);
    const std::string ref = vf({"cat", a, b}).out;  // into the pipe of the runner
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"regular file", out}, {"appended", out}, {"piped", out}, {"-o -", out}};
    if (access("/dev/shm", W_OK) == 0)
        outputs.push_back({"other filesystem", "/dev/shm/vf." + std::to_string(getpid())});
    for (const auto &[how, path] : outputs) {
        aftest::write_file(path, "");
        const std::string redirect = how == "appended" ? ">>\"$3\""
                                     : how == "piped"  ? "| cat >\"$3\""
                                                       : ">\"$3\"";
        const std::string opts = how == "-o -" ? "-o - " : "";
        auto r = run({"/bin/sh", "-c", "\"$0\" cat " + opts + "\"$1\" \"$2\" " + redirect,
                      varforge(), a, b, path});
        EXPECT_EQ(r.status, 0) << how << r.err;
        EXPECT_EQ(aftest::read_file(path) == ref, true) << how;
    }
    unlink(outputs.back().second.c_str());
}

TEST(VarforgeCat, TenThousandInputsJoinInOneCall) {
    aftest::TempDir dir;
    const std::string one = dir.file("one.bcf"), out = dir.file("o.bcf"), list = dir.file("list");
    aftest::write_bcf(one, shape(2, 1), Layout::kShared);
    std::vector<std::string> args = {one};
    std::string listed = one + "\n\n";  // blank lines are skipped
    for (int i = 1; i < 10000; i++) {
        args.push_back(dir.file("s" + std::to_string(i) + ".bcf"));
        ASSERT_EQ(link(one.c_str(), args.back().c_str()), 0);
        listed += args.back() + "\n";
    }
    aftest::write_file(list, listed);
    // Named, with descriptors to spare and with far fewer than inputs (re-opened by name);
    // then listed in a file read from standard input, with fewer still.
    for (const char *how : {"", "ulimit -n 256;", "ulimit -n 64; LIST"}) {
        const bool from_list = strstr(how, "LIST");
        std::string cmd = std::string(how, from_list ? strlen(how) - 4 : strlen(how)) +
                          "exec \"$0\" cat " + (from_list ? "-f - <\"" + list + "\"" : "\"$@\"") +
                          " >\"" + out + "\"";
        std::vector<std::string> argv = {"/bin/sh", "-c", cmd, varforge()};
        if (!from_list) argv.insert(argv.end(), args.begin(), args.end());
        auto r = run(argv);
        ASSERT_EQ(r.status, 0) << how << r.err;
        EXPECT_EQ(aftest::read_variants(out).records.size(), 20000u) << how;
    }
}

TEST(VarforgeCat, UnfitInputsAreNamedAndNothingIsWritten) {
    aftest::TempDir dir;
    const std::string good = dir.file("good.bcf");
    aftest::write_variants(good, "bcf", shape(3000, 5));
    const std::string bytes = aftest::read_file(good);
    std::map<std::string, std::string> make = {
        {"plain.vcf", ""}, {"plain.vcf.gz", ""}, {"raw.bcf", ""},  {"empty.bcf", ""},
        {"short.bcf", ""}, {"no_eof.bcf", ""},   {"half.bcf", ""}, {"cut_header.bcf", ""},
    };
    aftest::write_variants(dir.file("plain.vcf"), "vcf", shape(3, 1));
    {
        // gzip, not BGZF.
        gzFile gz = gzopen(dir.file("plain.vcf.gz").c_str(), "wb");
        ASSERT_NE(gz, nullptr);
        gzputs(gz, aftest::read_file(dir.file("plain.vcf")).c_str());
        ASSERT_EQ(gzclose(gz), Z_OK);
    }
    {
        // BCF without BGZF compression.
        htsFile *f = hts_open(dir.file("raw.bcf").c_str(), "wbu");
        bcf_hdr_t *h = bcf_hdr_init("w");
        ASSERT_EQ(bcf_hdr_write(f, h), 0);
        bcf_hdr_destroy(h);
        ASSERT_EQ(hts_close(f), 0);
    }
    aftest::write_file(dir.file("empty.bcf"), "");
    aftest::write_file(dir.file("short.bcf"), bytes.substr(0, 20));
    aftest::write_file(dir.file("no_eof.bcf"), bytes.substr(0, bytes.size() - kBgzfEof.size()));
    aftest::write_file(dir.file("half.bcf"), bytes.substr(0, bytes.size() / 2));
    // A header of several blocks, cut after its first one.
    aftest::write_variants(dir.file("cut_header.bcf"), "bcf", shape(3, 1, big_header()));
    const std::string long_header = aftest::read_file(dir.file("cut_header.bcf"));
    const size_t first = aftest::walk_blocks(long_header).at(0).size;
    aftest::write_file(dir.file("cut_header.bcf"), long_header.substr(0, first) + kBgzfEof);
    ASSERT_EQ(mkdir(dir.file("folder.bcf").c_str(), 0755), 0);

    const std::map<std::string, std::string> why = {
        {"missing.bcf", "No such file or directory"},
        {"folder.bcf", "not a regular file"},
        {"plain.vcf", "uncompressed VCF (compress it with bgzip)"},
        {"plain.vcf.gz", "gzip-compressed but not BGZF (compress it with bgzip)"},
        {"raw.bcf", "not BGZF-compressed"},
        {"empty.bcf", "empty file"},
        {"short.bcf", "truncated BGZF block"},
        {"cut_header.bcf", "truncated header"},
        {"no_eof.bcf", "no BGZF end-of-file block at the end (truncated file?)"},
        {"half.bcf", "no BGZF end-of-file block at the end (truncated file?)"},
    };
    for (const auto &[name, reason] : why) {
        const std::string bad = dir.file(name);
        const std::string message = "[bcf_cat] " + bad + ": " + reason + "\n";
        for (const auto &args :
             {std::vector<std::string>{"cat", bad}, std::vector<std::string>{"cat", good, bad},
              std::vector<std::string>{"cat", bad, good}}) {
            auto r = vf(args);
            EXPECT_EQ(r.status, 1) << name;
            EXPECT_EQ(r.out.size(), 0u) << name;
            EXPECT_EQ(r.err, message) << name;
        }
    }
    // Inputs may be URLs; the output only an S3 object.
    auto r = vf({"cat", "-o", "http://h/x.bcf", good});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "[bcf_cat] http://h/x.bcf: the output must be a local file or an object of an S3 "
              "store (s3://, s3+http://, s3+https://)\n");
}

TEST(VarforgeCat, WriteFailuresAreReported) {
    aftest::TempDir dir;
    const std::string in = dir.file("in.bcf"), status = dir.file("status");
    aftest::write_variants(in, "bcf", shape(6000, 8));
    auto full = run({"/bin/sh", "-c", "exec \"$0\" cat \"$1\" > /dev/full", varforge(), in});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "[bcf_cat] error writing to standard output: No space left on device\n");
    // A reader that goes away: the copy stops with a message instead of dying from SIGPIPE.
    auto pipe =
        run({"/bin/sh", "-c", "{ \"$0\" cat \"$1\" \"$1\" \"$1\"; echo $? > \"$2\"; } | true",
             varforge(), in, status});
    EXPECT_EQ(aftest::read_file(status), "1\n");
    EXPECT_EQ(pipe.err, "[bcf_cat] error writing to standard output: Broken pipe\n");
}

// --- view and index ---

// The VCF text htslib itself writes for a file.
std::string htslib_vcf(const std::string &path, const std::string &tmp) {
    htsFile *in = hts_open(path.c_str(), "r");
    bcf_hdr_t *h = bcf_hdr_read(in);
    htsFile *out = hts_open(tmp.c_str(), "w");
    EXPECT_EQ(bcf_hdr_write(out, h), 0);
    bcf1_t *v = bcf_init();
    while (bcf_read(in, h, v) == 0) EXPECT_EQ(bcf_write(out, h, v), 0);
    bcf_destroy(v);
    hts_close(out);
    bcf_hdr_destroy(h);
    hts_close(in);
    return aftest::read_file(tmp);
}

TEST(VarforgeView, PrintsWhatHtslibWrites) {
    aftest::TempDir dir;
    for (const char *fmt : {"bcf", "vcf.gz", "vcf"}) {
        const std::string path = dir.file(std::string("in.") + fmt);
        aftest::write_variants(path, fmt, shape(200, 3, "##source=test\n"));
        auto r = vf({"view", path});
        EXPECT_EQ(r.status, 0) << fmt << r.err;
        EXPECT_EQ(r.err, "") << fmt;
        EXPECT_EQ(r.out, htslib_vcf(path, dir.file("ref.vcf"))) << fmt;
    }
    auto missing = vf({"view", dir.file("none.bcf")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "[bcfview] " + dir.file("none.bcf") + ": No such file or directory\n");
}

TEST(VarforgeView, DamagedInputEndsWithAMessage) {
    aftest::TempDir dir;
    const std::string path = dir.file("cut.bcf");
    aftest::write_variants(path, "bcf", shape(3000, 3));
    const std::string bytes = aftest::read_file(path);
    aftest::write_file(path, bytes.substr(0, bytes.size() * 2 / 3));
    auto r = vf({"view", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bcfview] " + path + ": damaged or truncated record\n");
}

// Remote files: view, index and cat read through htslib's network layer from a web server
// (with and without Range requests) and from an S3 store. Each row runs one command on one
// URL; "%s" in the message stands for the URL.
TEST(VarforgeRemote, ViewIndexAndCatReadUrls) {
    aftest::TempDir dir, store;
    for (const char *fmt : {"bcf", "vcf.gz"})
        aftest::write_variants(dir.file(std::string("in.") + fmt), fmt, shape(300, 3));
    AF_START_SERVER(web, aftest::ServerKind::kWeb, dir.path());
    AF_START_SERVER(norange, aftest::ServerKind::kWebNoRange, dir.path());
    AF_START_SERVER(s3, aftest::ServerKind::kS3, store.path());
    ASSERT_EQ(aftest::s3(s3.port(), {"mb", "shards"}).err, "");
    for (const char *name : {"in.bcf", "in.vcf.gz"})
        ASSERT_EQ(aftest::s3(s3.port(), {"put", "shards", name, dir.file(name)}).err, "");
    const std::string refused = "http://127.0.0.1:" + std::to_string(aftest::closed_port());
    struct Row {
        std::string command, url;
        int status;
        std::string err;  // "": the output is that of the local file; "-": no output at all
    };
    const std::vector<Row> rows = {
        {"view", web.url("in.bcf"), 0, ""},
        {"view", web.url("in.vcf.gz"), 0, ""},
        {"view", norange.url("in.bcf"), 0, ""},
        {"view", norange.url("in.vcf.gz"), 0, ""},
        {"view", "s3+http://shards/in.bcf", 0, ""},
        {"view", "s3+http://shards/in.vcf.gz", 0, ""},
        {"view", web.url("none.bcf"), 1, "[bcfview] %s: No such file or directory\n"},
        {"view", refused + "/in.bcf", 1, "[bcfview] %s: Connection refused\n"},
        {"view", "s3+http://shards/none.bcf", 1, "[bcfview] %s: No such file or directory\n"},
        // The index is written beside the file, through htslib: the web server takes no
        // uploads, the S3 store does (checked below).
        {"index", web.url("in.bcf"), 1, "[bcf_main_index] %s: cannot write the index\n"},
        {"index", "s3+http://shards/in.bcf", 0, "-"},
        {"cat", web.url("in.bcf"), 0, ""},
        {"cat", "s3+http://shards/in.bcf", 0, ""},
        {"cat", "s3+http://shards/in.vcf.gz", 0, ""},
        {"cat", norange.url("in.bcf"), 1, "[bcf_cat] %s: the server does not serve byte ranges\n"},
    };
    for (const auto &row : rows) {
        aftest::Env env = aftest::s3_env(s3.port());
        if (row.command == "index" && row.url.rfind("http:", 0) == 0) {
            // htslib 1.16's http plugin leaks a little when the server refuses the upload.
            const char *asan = getenv("ASAN_OPTIONS");
            env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
        }
        auto r = run({varforge(), row.command, row.url}, "", env);
        EXPECT_EQ(r.status, row.status) << row.command << " " << row.url << "\n" << r.err;
        if (row.err == "-") {
            EXPECT_EQ(r.out + r.err, "") << row.url;
        } else if (row.err.empty()) {
            const std::string local = dir.file(row.url.substr(row.url.rfind('/') + 1));
            EXPECT_EQ(r.out, vf({row.command, local}).out) << row.url;
            EXPECT_EQ(r.err, "") << row.url;
        } else {
            std::string want = row.err;
            want.replace(want.find("%s"), 2, row.url);
            EXPECT_EQ(r.out, "") << row.url;
            EXPECT_EQ(r.err, want) << row.url;
        }
    }
    // The index written into the store reads back through htslib.
    for (const auto &setting : aftest::s3_env(s3.port())) {
        const size_t eq = setting.find('=');
        setenv(setting.substr(0, eq).c_str(), setting.c_str() + eq + 1, 1);
    }
    hts_idx_t *idx = bcf_index_load2("s3+http://shards/in.bcf", "s3+http://shards/in.bcf.csi");
    EXPECT_NE(idx, nullptr);
    if (idx) hts_idx_destroy(idx);
    for (const auto &setting : aftest::s3_env(s3.port()))
        unsetenv(setting.substr(0, setting.find('=')).c_str());
}

TEST(VarforgeIndex, WritesAnIndexHtslibCanUse) {
    aftest::TempDir dir;
    for (const char *fmt : {"bcf", "vcf.gz"}) {
        const std::string path = dir.file(std::string("in.") + fmt);
        aftest::write_variants(path, fmt, shape(400, 6));
        auto r = vf({"index", path});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        htsFile *in = hts_open(path.c_str(), "r");
        bcf_hdr_t *h = bcf_hdr_read(in);
        hts_idx_t *idx = bcf_index_load2(path.c_str(), (path + ".csi").c_str());
        ASSERT_NE(idx, nullptr) << fmt;
        if (std::string(fmt) == "bcf") {
            // Half the records lie on chr2.
            hts_itr_t *itr = bcf_itr_querys(idx, h, "chr2");
            bcf1_t *v = bcf_init();
            int n = 0;
            while (bcf_itr_next(in, itr, v) >= 0) n++;
            EXPECT_EQ(n, 200);
            bcf_destroy(v);
            hts_itr_destroy(itr);
        }
        hts_idx_destroy(idx);
        bcf_hdr_destroy(h);
        hts_close(in);
    }
    const std::string vcf = dir.file("plain.vcf");
    aftest::write_variants(vcf, "vcf", shape(5, 1));
    auto r = vf({"index", vcf});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bcf_main_index] " + vcf + ": not a BGZF-compressed BCF or VCF file\n");
}

}  // namespace
