#include "bcf_files.h"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>
#include <string_view>

#include "process.h"

namespace aftest {

aftest::VarShape shape(int n, uint32_t seed, std::string extra, int samples) {
    aftest::VarShape s;
    s.n_records = n;
    s.seed = seed;
    s.n_samples = samples;
    s.extra_header = std::move(extra);
    return s;
}

void write_bcf(const std::string &path, const aftest::VarShape &shape, Layout layout) {
    write_bcf_text(path, aftest::variant_text(shape), layout);
}

namespace {

// Writes `records` (VCF lines, read under `h`) after a header written `ok`, then closes `out`
// and releases `h`; throws when any of it failed.
void write_records(const std::string &path, htsFile *out, bcf_hdr_t *h,
                   const std::vector<std::string> &records, bool ok) {
    bcf1_t *v = bcf_init();
    kstring_t ks = KS_INITIALIZE;
    for (size_t i = 0; ok && i < records.size(); i++) {
        ks.l = 0;
        kputs(records[i].c_str(), &ks);
        ok = vcf_parse(&ks, h, v) == 0 && bcf_write(out, h, v) == 0;
    }
    free(ks.s);
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    if (hts_close(out) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

// Bgzipped VCF as htslib writes it, but for the header's block: htslib's VCF writer always
// flushes after the header, so here the text goes through BGZF directly, and the first records
// share the header's block unless `layout` says otherwise. Like htslib, a record that would not
// fit in what is left of a block starts the next one.
void write_vcf_bgzf(const std::string &path, const std::string &header_text,
                    const std::vector<std::string> &records, Layout layout) {
    bcf_hdr_t *h = bcf_hdr_init("w");
    bcf1_t *v = bcf_init();
    kstring_t ks = KS_INITIALIZE;
    BGZF *out = bgzf_open(path.c_str(), "w");
    bool ok = out && bcf_hdr_parse(h, const_cast<char *>(header_text.c_str())) == 0 &&
              bcf_hdr_format(h, 0, &ks) == 0 && bgzf_write(out, ks.s, ks.l) == ssize_t(ks.l) &&
              (layout == Layout::kShared || bgzf_flush(out) == 0);
    for (size_t i = 0; ok && i < records.size(); i++) {
        ks.l = 0;
        kputs(records[i].c_str(), &ks);
        ok = vcf_parse(&ks, h, v) == 0;
        ks.l = 0;
        ok = ok && vcf_format(h, v, &ks) == 0 && bgzf_flush_try(out, ssize_t(ks.l)) == 0 &&
             bgzf_write(out, ks.s, ks.l) == ssize_t(ks.l);
    }
    free(ks.s);
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    if ((out && bgzf_close(out) != 0) || !ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void write_bcf_text(const std::string &path, const std::string &vcf_text, Layout layout,
                    const char *mode) {
    auto [header_text, records] = aftest::split_header(vcf_text, '#');
    const std::string_view m(mode);
    if (m.find('z') != std::string_view::npos && m.find('b') == std::string_view::npos)
        return write_vcf_bgzf(path, header_text, records, layout);
    htsFile *out = hts_open(path.c_str(), mode);
    if (!out) throw std::runtime_error("cannot open " + path);
    bcf_hdr_t *h = bcf_hdr_init("w");
    bool ok = bcf_hdr_parse(h, const_cast<char *>(header_text.c_str())) == 0 &&
              bcf_hdr_write(out, h) == 0 &&
              (layout == Layout::kShared || bgzf_flush(out->fp.bgzf) == 0);
    write_records(path, out, h, records, ok);
}

void write_bcf_raw(const std::string &path, const std::string &header_text,
                   const std::vector<std::string> &records) {
    bcf_hdr_t *h = bcf_hdr_init("r");
    std::string text = header_text;
    const int level = hts_verbose;
    hts_verbose = 0;
    bool ok = bcf_hdr_parse(h, text.data()) == 0;
    hts_verbose = level;
    htsFile *out = hts_open(path.c_str(), "wb");
    if (!out) throw std::runtime_error("cannot open " + path);
    BGZF *bg = out->fp.bgzf;
    const uint32_t l = uint32_t(header_text.size() + 1);
    const unsigned char len[4] = {uint8_t(l), uint8_t(l >> 8), uint8_t(l >> 16), uint8_t(l >> 24)};
    ok = ok && bgzf_write(bg, "BCF\2\2", 5) == 5 && bgzf_write(bg, len, 4) == 4 &&
         bgzf_write(bg, header_text.c_str(), l) == ssize_t(l);
    write_records(path, out, h, records, ok);
}

std::vector<Block> walk_blocks(const std::string &bytes) {
    std::vector<Block> blocks;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 18 || p[at] != 0x1f || p[at + 1] != 0x8b || p[at + 12] != 'B' ||
            p[at + 13] != 'C')
            throw std::runtime_error("no BGZF block at offset " + std::to_string(at));
        Block b;
        b.offset = at;
        b.size = size_t(p[at + 16] | p[at + 17] << 8) + 1;
        if (b.size < 26 || at + b.size > bytes.size())
            throw std::runtime_error("bad block size at offset " + std::to_string(at));
        const unsigned char *t = p + at + b.size - 4;
        const size_t isize = t[0] | t[1] << 8 | size_t(t[2]) << 16 | size_t(t[3]) << 24;
        b.data.resize(isize);
        z_stream zs;
        memset(&zs, 0, sizeof zs);
        inflateInit2(&zs, -15);
        zs.next_in = const_cast<unsigned char *>(p + at + 18);
        zs.avail_in = unsigned(b.size - 26);
        zs.next_out = reinterpret_cast<unsigned char *>(b.data.data());
        zs.avail_out = unsigned(isize);
        const int r = inflate(&zs, Z_FINISH);
        inflateEnd(&zs);
        if (r != Z_STREAM_END || zs.total_out != isize)
            throw std::runtime_error("bad deflate data at offset " + std::to_string(at));
        at += b.size;
        blocks.push_back(std::move(b));
    }
    return blocks;
}

size_t header_size(const std::vector<Block> &blocks) {
    std::string head;
    for (const auto &b : blocks) {
        head += b.data;
        if (head.size() >= 9) break;
    }
    if (head.size() < 9 || head.compare(0, 4, "BCF\2") != 0 || (head[4] != 1 && head[4] != 2))
        throw std::runtime_error("not a BCF2 stream");
    const auto *l = reinterpret_cast<const unsigned char *>(head.data() + 5);
    return 9 + size_t(l[0] | l[1] << 8 | l[2] << 16 | uint32_t(l[3]) << 24);
}

Layout layout_of(const std::string &path) {
    const auto blocks = walk_blocks(read_file(path));
    std::string all;
    for (const auto &b : blocks) all += b.data;
    size_t end = 0;  // where the header ends in the data
    if (all.compare(0, 4, "BCF\2") == 0) {
        end = header_size(blocks);
    } else {
        while (end < all.size() && all[end] == '#') {
            const size_t eol = all.find('\n', end);
            end = eol == std::string::npos ? all.size() : eol + 1;
        }
    }
    if (end == 0 || end >= all.size())
        throw std::runtime_error("no header, or nothing after it, in " + path);
    size_t at = 0;
    for (const auto &b : blocks) {
        at += b.data.size();
        if (at >= end) return at == end ? Layout::kFlushed : Layout::kShared;
    }
    throw std::logic_error("unreachable");
}

VariantFile read_variants(const std::string &path) {
    htsFile *in = hts_open(path.c_str(), "r");
    if (!in) throw std::runtime_error("htslib cannot open " + path);
    VariantFile f;
    f.eof_state = hts_check_EOF(in);
    bcf_hdr_t *h = bcf_hdr_read(in);
    if (!h) {
        hts_close(in);
        throw std::runtime_error("htslib cannot read the header of " + path);
    }
    kstring_t ks = KS_INITIALIZE;
    bcf_hdr_format(h, 0, &ks);
    f.header.assign(ks.s, ks.l);
    bcf1_t *v = bcf_init();
    int r;
    while ((r = bcf_read(in, h, v)) == 0) {
        ks.l = 0;
        if (vcf_format(h, v, &ks) != 0) break;
        f.records.emplace_back(ks.s, ks.l);
    }
    free(ks.s);
    bcf_destroy(v);
    bcf_hdr_destroy(h);
    hts_close(in);
    if (r != -1) throw std::runtime_error("htslib stopped early in " + path);
    return f;
}

}  // namespace aftest
