// The join's byte layer: where an input's examination leaves its header and first records,
// BGZF blocks written and read back, and damaged streams refused with a reason.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>

#include "bcf_files.h"
#include "fixtures.h"
#include "join/bgzf_blocks.h"
#include "join/input.h"
#include "process.h"

namespace {

using aftest::Layout;
using aftest::shape;

// A BGZF stream of `payload` in blocks made by `codec`, ended by the end-of-file block.
std::string stream_of(const std::string &payload, int level) {
    vfjoin::BlockCodec codec(level);
    std::string out;
    unsigned char block[vfjoin::kMaxBlock];
    for (size_t at = 0; at < payload.size();) {
        const size_t n = std::min(payload.size() - at, vfjoin::kBlockData);
        const size_t size =
            codec.encode(reinterpret_cast<const unsigned char *>(payload.data() + at), n, block);
        out.append(reinterpret_cast<const char *>(block), size);
        at += n;
    }
    return out + std::string(reinterpret_cast<const char *>(vfjoin::kEofBlock), 28);
}

TEST(VarforgeJoinInput, ExaminationStopsAtTheBlockAfterTheHeader) {
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

        vfjoin::Input in;
        in.name = path.c_str();
        std::string why;
        ASSERT_TRUE(vfjoin::examine(&in, false, true, {}, &why)) << why;
        EXPECT_EQ(in.kind, vfjoin::Kind::kBcf);
        EXPECT_EQ(size_t(in.data_start), blocks[k].offset + blocks[k].size);
        EXPECT_EQ(size_t(in.tail_block), blocks[k].offset);
        const std::string pending =
            in.tail ? std::string(in.tail.get() + in.tail_from, in.tail.get() + in.tail_len) : "";
        EXPECT_EQ(pending, blocks[k].data.substr(hsize - before));
        EXPECT_EQ(in.tail_bytes(), pending.size());
        if (c.layout == Layout::kFlushed) {
            EXPECT_EQ(pending, "");
        }
        EXPECT_EQ(in.text.size(), hsize - 9);
        EXPECT_EQ(in.fd, -1);
    }
}

TEST(VarforgeJoinBlocks, RandomStreamsReadBackExactly) {
    aftest::TempDir dir;
    const std::string path = dir.file("r.gz");
    std::mt19937 rng(42);
    for (int round = 0; round < 6; round++) {
        std::string all;
        for (int piece = 0; piece < 12; piece++) {
            std::string p(rng() % 150000, '\0');
            const bool noise = rng() & 1;  // noise does not compress: stored blocks
            for (size_t i = 0; i < p.size(); i++) p[i] = char(noise ? rng() : 'a' + (i / 7) % 5);
            all += p;
        }
        const int level = round % 3 == 0 ? vfjoin::BlockCodec::kHuffman : round % 3 - 1;
        aftest::write_file(path, stream_of(all, level));
        std::string joined;
        for (const auto &b : aftest::walk_blocks(aftest::read_file(path))) {
            EXPECT_LE(b.size, 65536u);
            EXPECT_LE(b.data.size(), vfjoin::kBlockData);
            joined += b.data;
        }
        EXPECT_EQ(joined, all);

        std::string why;
        auto src = vfjoin::Source::open(path.c_str(), &why);
        ASSERT_TRUE(src) << why;
        EXPECT_EQ(vfjoin::ends_with_eof_block(*src), 1);
        vfjoin::BlockReader r(*src, src->identity().size);
        ASSERT_EQ(r.load(0, &why), 1) << why;
        std::string back, buf(200000, '\0');
        while (back.size() < all.size()) {
            const size_t n = std::min(all.size() - back.size(), 1 + size_t(rng()) % buf.size());
            ASSERT_TRUE(r.read(buf.data(), n, &why)) << why;
            back.append(buf, 0, n);
        }
        EXPECT_EQ(back, all);
        EXPECT_FALSE(r.read(buf.data(), 1, &why));
        EXPECT_EQ(why, "");
    }
}

TEST(VarforgeJoinInput, DamagedStreamsAreRefusedWithAReason) {
    aftest::TempDir dir;
    const std::string path = dir.file("d.bcf");
    const std::string ok_header = std::string("BCF\2\2\5\0\0\0", 9) + std::string("##x\n\0", 5);
    struct Case {
        std::string payload;
        long damage_at;     // a byte of the stream flipped, or -1
        const char *error;  // nullptr: the header reads
    };
    const Case cases[] = {
        {ok_header, -1, nullptr},
        {std::string("BCF\2\1\5\0\0\0##x\n\0", 14), -1, nullptr},  // minor version 1
        {std::string("BCF\2\2\0\0\0\0", 9), -1, nullptr},          // empty text
        {ok_header, 30, "corrupt BGZF block"},                     // deflate data
        {ok_header, 0, "not BGZF-compressed"},                     // gzip magic
        {ok_header, 16, "truncated BGZF block"},                   // block size field
        {std::string("BCF\2\4\5\0\0\0##x\n", 13), -1, "not a BCF2 file"},
        {std::string("BCF\4\1\5\0\0\0##x\n", 13), -1, "neither BCF nor VCF"},
        {std::string("BCF\2\2\x10\0\0\0##x\n", 13), -1, "truncated header"},
        {std::string("BCF\2\2\xf0\xff\xff\xff##x\n", 13), -1, "header too large"},
        {std::string("BCF\2\2\x00\x00\x00\x7f##x\n", 13), -1, "truncated header"},
        {std::string("BCF\2\2\5\0", 7), -1, "truncated header"},
        {"##x\n#CHROM\n", -1, nullptr},
        {"##x\nchr1\t5\n", -1, "a record before the #CHROM line"},
        {"##x\n#CHROM", -1, "truncated header"},
        {"", -1, "empty file"},  // only the end-of-file block
    };
    for (const auto &c : cases) {
        std::string bytes = stream_of(c.payload, vfjoin::BlockCodec::kHuffman);
        if (c.damage_at >= 0) bytes[size_t(c.damage_at)] ^= 0x55;
        aftest::write_file(path, bytes);
        vfjoin::Input in;
        in.name = path.c_str();
        std::string why;
        const bool ok = vfjoin::examine(&in, false, true, {}, &why);
        if (c.error) {
            EXPECT_FALSE(ok) << c.payload;
            EXPECT_EQ(why, c.error) << c.damage_at;
        } else {
            ASSERT_TRUE(ok) << why;
            const size_t skip = in.kind == vfjoin::Kind::kBcf ? 9 : 0;
            EXPECT_EQ(in.text, c.payload.substr(skip));
        }
    }
    // Missing files and unreachable URLs are refused, each with its reason.
    for (const auto &[name, reason] :
         {std::pair<std::string, std::string>{dir.file("none"), "No such file or directory"},
          {"http://127.0.0.1:1/a.bcf", "Connection refused"}}) {
        std::string why;
        EXPECT_EQ(vfjoin::Source::open(name.c_str(), &why), nullptr);
        EXPECT_EQ(why, reason);
    }
}

// The join's blocks: an empty block of every length it pads with inflates to nothing, and
// data encoded at each level decodes to itself.
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
    for (int level : {vfjoin::BlockCodec::kHuffman, 0, 1}) {
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
