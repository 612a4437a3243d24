// The variant-file library beneath varforge: BGZF blocks written and read back, and where
// the header reader leaves the stream.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "bcf_files.h"
#include "bgzf_bcf/bcf.h"
#include "bgzf_bcf/bgzf.h"
#include "fixtures.h"
#include "join/blocks.h"
#include "process.h"

namespace {

using aftest::Layout;
using aftest::shape;

TEST(VarforgeLib, HeaderReadStopsAtTheBlockAfterTheHeader) {
    aftest::TempDir dir;
    std::string big;
    for (int i = 0; i < 2000; i++) big += "##note" + std::to_string(i) + "=some words of text\n";
    struct Case {
        Layout layout;
        int records, samples;
        std::string extra;
    };
    const Case cases[] = {{Layout::kShared, 50, 3, ""},  {Layout::kFlushed, 50, 3, ""},
                          {Layout::kShared, 50, 4, big}, {Layout::kFlushed, 50, 1, big},
                          {Layout::kShared, 0, 2, ""},   {Layout::kFlushed, 4000, 2, ""}};
    for (const auto &c : cases) {
        const std::string path = dir.file("in.bcf");
        aftest::write_bcf(path, shape(c.records, 1, c.extra, c.samples), c.layout);
        const auto blocks = aftest::walk_blocks(aftest::read_file(path));
        const size_t hsize = aftest::header_size(blocks);
        size_t before = 0, k = 0;
        while (before + blocks[k].data.size() < hsize) before += blocks[k++].data.size();

        vf::bcf_t *b = vf::bcf_open(path.c_str(), "r");
        ASSERT_NE(b, nullptr);
        vf::bcf_hdr_t *h = vf::bcf_hdr_read(b);
        ASSERT_NE(h, nullptr) << (b->fp->error ? b->fp->error : "");
        const vf::BGZF *fp = b->fp;
        EXPECT_EQ(size_t(fp->x.fpr->offset), blocks[k].offset + blocks[k].size);
        EXPECT_EQ(size_t(fp->block_address), blocks[k].offset);
        const std::string pending(
            static_cast<const char *>(fp->uncompressed_block) + fp->block_offset,
            size_t(fp->block_length - fp->block_offset));
        EXPECT_EQ(pending, blocks[k].data.substr(hsize - before));
        if (c.layout == Layout::kFlushed) {
            EXPECT_EQ(pending, "");
        }

        EXPECT_EQ(size_t(h->l_txt), hsize - 9);
        ASSERT_EQ(h->n_ref, 2);
        EXPECT_STREQ(h->ns[0], "chr1");
        EXPECT_STREQ(h->ns[1], "chr2");
        ASSERT_EQ(h->n_smpl, c.samples);
        for (int s = 0; s < c.samples; s++) EXPECT_EQ(h->sns[s], "S" + std::to_string(s + 1));
        vf::bcf_hdr_destroy(h);
        EXPECT_EQ(vf::bcf_close(b), 0);
    }
}

TEST(VarforgeLib, RandomWritesReadBackExactly) {
    aftest::TempDir dir;
    const std::string path = dir.file("r.gz");
    std::mt19937 rng(42);
    for (int round = 0; round < 6; round++) {
        std::string all;
        vf::BGZF *w = vf::bgzf_open(path.c_str(), round % 2 ? "w1" : "w");
        ASSERT_NE(w, nullptr);
        for (int piece = 0; piece < 12; piece++) {
            std::string p(rng() % 150000, '\0');
            const bool noise = rng() & 1;  // noise does not compress: stored blocks
            for (size_t i = 0; i < p.size(); i++) p[i] = char(noise ? rng() : 'a' + (i / 7) % 5);
            ASSERT_EQ(vf::bgzf_write(w, p.data(), p.size()), ssize_t(p.size()));
            all += p;
            if (rng() % 3 == 0) {
                ASSERT_EQ(vf::bgzf_flush(w), 0);
            }
        }
        ASSERT_EQ(vf::bgzf_close(w), 0);

        const std::string bytes = aftest::read_file(path);
        const auto blocks = aftest::walk_blocks(bytes);
        std::string joined;
        for (const auto &b : blocks) {
            EXPECT_LE(b.size, 65536u);
            EXPECT_LE(b.data.size(), size_t(vf::BGZF_BLOCK_SIZE));
            joined += b.data;
        }
        EXPECT_EQ(joined, all);
        EXPECT_EQ(bytes.substr(bytes.size() - 28),
                  std::string(reinterpret_cast<const char *>(vf::BGZF_EOF_BLOCK), 28));

        vf::BGZF *r = vf::bgzf_open(path.c_str(), "r");
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(vf::bgzf_check_EOF(r), 1);
        std::string back, buf(200000, '\0');
        for (;;) {
            ssize_t n = vf::bgzf_read(r, buf.data(), 1 + rng() % buf.size());
            ASSERT_GE(n, 0);
            if (n == 0) break;
            back.append(buf, 0, size_t(n));
        }
        EXPECT_EQ(back, all);
        EXPECT_EQ(vf::bgzf_close(r), 0);
    }
}

TEST(VarforgeLib, DamagedStreamsAreRefusedWithAReason) {
    aftest::TempDir dir;
    const std::string path = dir.file("d.bcf");
    // A BGZF stream holding `payload`, then, if asked, one byte of it damaged.
    auto make = [&](const std::string &payload, long damage_at) {
        vf::BGZF *w = vf::bgzf_open(path.c_str(), "w");
        vf::bgzf_write(w, payload.data(), payload.size());
        vf::bgzf_close(w);
        std::string bytes = aftest::read_file(path);
        if (damage_at >= 0) bytes[size_t(damage_at)] ^= 0x55;
        aftest::write_file(path, bytes);
    };
    const std::string ok_header = std::string("BCF\2\2\5\0\0\0", 9) + std::string("##x\n\0", 5);
    struct Case {
        std::string payload;
        long damage_at;
        const char *error;  // nullptr: the header reads
    };
    const Case cases[] = {
        {ok_header, -1, nullptr},
        {std::string("BCF\2\1\5\0\0\0##x\n\0", 14), -1, nullptr},  // minor version 1
        {std::string("BCF\2\2\0\0\0\0", 9), -1, nullptr},          // empty text
        {ok_header, 30, "corrupt BGZF block"},                     // deflate data
        {ok_header, 0, "not BGZF-compressed"},                     // gzip magic
        {ok_header, 16, "truncated BGZF block"},                   // block size field
        {std::string("BCF\4\1\5\0\0\0##x\n", 13), -1, "not a BCF2 file"},
        {std::string("BCF\2\2\x10\0\0\0##x\n", 13), -1, "truncated header"},
        {std::string("BCF\2\2\xf0\xff\xff\xff##x\n", 13), -1, "header too large"},
        {std::string("BCF\2\2\x00\x00\x00\x7f##x\n", 13), -1, "truncated header"},
        {std::string("BCF\2\2\5\0", 7), -1, "truncated header"},
        {"", -1, "not a BCF2 file"},  // only the end-of-file block
    };
    for (const auto &c : cases) {
        make(c.payload, c.damage_at);
        vf::bcf_t *b = vf::bcf_open(path.c_str(), "r");
        ASSERT_NE(b, nullptr);
        vf::bcf_hdr_t *h = vf::bcf_hdr_read(b);
        if (c.error) {
            EXPECT_EQ(h, nullptr);
            EXPECT_STREQ(b->fp->error, c.error) << c.damage_at;
        } else {
            ASSERT_NE(h, nullptr) << b->fp->error;
            EXPECT_EQ(std::string(h->txt, size_t(h->l_txt)), c.payload.substr(9));
        }
        vf::bcf_hdr_destroy(h);
        vf::bcf_close(b);
    }
    // Missing and remote files fail to open, with errno saying which.
    errno = 0;
    EXPECT_EQ(vf::bcf_open(dir.file("none").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vf::bcf_open("http://example.org/a.bcf", "r"), nullptr);
    EXPECT_EQ(errno, EPROTONOSUPPORT);
}

// The join's blocks: an empty block of every length it pads with inflates to nothing, and
// data encoded at either level decodes to itself.
TEST(VarforgeJoinBlocks, EmptyBlocksOfEveryLengthAndEncodedDataReadBack) {
    std::vector<unsigned char> block(vfjoin::kMaxBlock), back(vfjoin::kMaxBlock);
    for (size_t size = vfjoin::kMinEmptyBlock; size < vfjoin::kMinEmptyBlock + 4096; size++) {
        vfjoin::empty_block(size, block.data());
        ASSERT_EQ(size_t(block[16] | block[17] << 8) + 1, size);
        z_stream zs{};
        ASSERT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);  // as gzip reads it
        zs.next_in = block.data();
        zs.avail_in = unsigned(size);
        zs.next_out = back.data();
        zs.avail_out = unsigned(back.size());
        EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END) << size;
        EXPECT_EQ(zs.avail_in, 0u) << size;
        EXPECT_EQ(zs.total_out, 0u) << size;
        inflateEnd(&zs);
    }
    std::mt19937 rng(4);
    std::vector<unsigned char> data(vfjoin::kBlockData);
    for (auto &c : data) c = "ACGT\t\n"[rng() % 6];
    for (int level : {0, 1}) {
        vfjoin::BlockCodec codec(level);
        for (size_t len : {size_t(0), size_t(1), size_t(1000), vfjoin::kBlockData}) {
            const size_t size = codec.encode(data.data(), len, block.data());
            ASSERT_EQ(codec.decode(block.data(), size, back.data()), long(len))
                << level << " " << len;
            EXPECT_EQ(memcmp(back.data(), data.data(), len), 0);
            EXPECT_EQ(codec.decode(block.data(), size - 1, back.data()), -1);
        }
    }
}

}  // namespace
