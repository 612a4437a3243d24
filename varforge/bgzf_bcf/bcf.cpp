// BCF2 file access: open and close, header read and write.
#include "bcf.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

namespace {

constexpr char kMagic[] = "BCF\2\2";
constexpr size_t kMagicSize = 5;
// The header text is read in pieces no larger than this, so that a damaged length field
// cannot make us reserve more memory than the file really holds.
constexpr size_t kTextStep = size_t(1) << 20;

// Copies `names` into one NUL-separated buffer and an array of pointers into it.
bool pack_names(const std::vector<std::string_view> &names, char **buf, int32_t *len,
                char ***ptrs) {
    size_t total = 0;
    for (auto n : names) total += n.size() + 1;
    if (total > size_t(INT32_MAX)) return false;
    *buf = static_cast<char *>(malloc(total ? total : 1));
    *ptrs = static_cast<char **>(malloc((names.empty() ? 1 : names.size()) * sizeof(char *)));
    if (!*buf || !*ptrs) return false;
    char *p = *buf;
    for (size_t i = 0; i < names.size(); i++) {
        memcpy(p, names[i].data(), names[i].size());
        p[names[i].size()] = '\0';
        (*ptrs)[i] = p;
        p += names[i].size() + 1;
    }
    *len = int32_t(total);
    return true;
}

// The value of key `ID` inside "<...>" of a structured header line, or empty.
std::string_view id_of(std::string_view line) {
    size_t open = line.find('<');
    if (open == std::string_view::npos) return {};
    size_t at = open + 1;
    while (at < line.size()) {
        if (line.substr(at, 3) == "ID=") {
            size_t end = line.find_first_of(",>", at + 3);
            if (end == std::string_view::npos) end = line.size();
            return line.substr(at + 3, end - at - 3);
        }
        size_t comma = line.find(',', at);
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return {};
}

// Fills the contig and sample lists from the header text.
bool index_names(bcf_hdr_t *h) {
    std::string_view text(h->txt, strnlen(h->txt, size_t(h->l_txt)));
    std::vector<std::string_view> contigs, samples;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.substr(0, 10) == "##contig=<") {
            std::string_view id = id_of(line);
            if (!id.empty()) contigs.push_back(id);
        } else if (line.substr(0, 6) == "#CHROM") {
            samples.clear();
            size_t at = 0;
            for (int field = 0; at <= line.size(); field++) {
                size_t tab = line.find('\t', at);
                if (tab == std::string_view::npos) tab = line.size();
                if (field >= 9) samples.push_back(line.substr(at, tab - at));
                at = tab + 1;
            }
        }
    }
    if (!pack_names(contigs, &h->name, &h->l_nm, &h->ns)) return false;
    if (!pack_names(samples, &h->sname, &h->l_smpl, &h->sns)) return false;
    h->n_ref = int32_t(contigs.size());
    h->n_smpl = int32_t(samples.size());
    return true;
}

bcf_hdr_t *fail(bcf_t *b, bcf_hdr_t *h, const char *what) {
    if (!b->fp->error) b->fp->error = what;
    bcf_hdr_destroy(h);
    return nullptr;
}

}  // namespace

namespace {

bcf_t *wrap(BGZF *fp) {
    if (!fp) return nullptr;
    auto *b = static_cast<bcf_t *>(calloc(1, sizeof(bcf_t)));
    if (!b) {
        fp->error = "out of memory";  // a writer that never began writes no end-of-file block
        bgzf_close(fp);
        errno = ENOMEM;
        return nullptr;
    }
    b->fp = fp;
    return b;
}

}  // namespace

bcf_t *bcf_open(const char *fn, const char *mode) {
    if (!fn || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return wrap(bgzf_open(fn, strchr(mode, 'w') ? "w" : "r"));
}

bcf_t *bcf_dopen(int fd, const char *mode) {
    if (!mode) {
        if (fd >= 0) close(fd);
        errno = EINVAL;
        return nullptr;
    }
    return wrap(bgzf_dopen(fd, strchr(mode, 'w') ? "w" : "r"));
}

int bcf_close(bcf_t *b) {
    if (!b) return 0;
    int r = bgzf_close(b->fp);
    free(b);
    return r;
}

bcf_hdr_t *bcf_hdr_read(bcf_t *b) {
    if (!b || !b->fp || b->fp->open_mode != 'r') return nullptr;
    BGZF *fp = b->fp;
    char magic[kMagicSize];
    ssize_t n = bgzf_read(fp, magic, kMagicSize);
    if (n < 0) return nullptr;
    if (n == 0 && fp->x.fpr->offset == 0) return fail(b, nullptr, "empty file");
    // BCF2, minor version 1 or 2.
    if (size_t(n) < kMagicSize || memcmp(magic, kMagic, 4) != 0 || (magic[4] != 1 && magic[4] != 2))
        return fail(b, nullptr, "not a BCF2 file");
    unsigned char len[4];
    n = bgzf_read(fp, len, 4);
    if (n < 0) return nullptr;
    if (n < 4) return fail(b, nullptr, "truncated header");
    const uint32_t l_txt =
        len[0] | uint32_t(len[1]) << 8 | uint32_t(len[2]) << 16 | uint32_t(len[3]) << 24;
    if (l_txt > uint32_t(INT32_MAX) - 1) return fail(b, nullptr, "header too large");

    auto *h = static_cast<bcf_hdr_t *>(calloc(1, sizeof(bcf_hdr_t)));
    if (!h) return fail(b, nullptr, "out of memory");
    size_t cap = 0, got = 0;
    do {
        const size_t want = l_txt - got < kTextStep ? l_txt - got : kTextStep;
        if (got + want + 1 > cap) {
            size_t ncap = cap * 2 > got + want + 1 ? cap * 2 : got + want + 1;
            if (ncap > size_t(l_txt) + 1) ncap = size_t(l_txt) + 1;
            auto *t = static_cast<char *>(realloc(h->txt, ncap));
            if (!t) return fail(b, h, "out of memory");
            h->txt = t;
            cap = ncap;
        }
        if (want > 0) {
            n = bgzf_read(fp, h->txt + got, want);
            if (n < 0) return fail(b, h, "read error");
            if (size_t(n) < want) return fail(b, h, "truncated header");
        }
        got += want;
    } while (got < l_txt);
    h->txt[l_txt] = '\0';
    h->l_txt = int32_t(l_txt);
    h->minor = magic[4];
    if (!index_names(h)) return fail(b, h, "out of memory");
    return h;
}

int bcf_hdr_write(bcf_t *b, const bcf_hdr_t *h) {
    if (!b || !h || !b->fp || b->fp->open_mode != 'w' || h->l_txt < 0) return -1;
    unsigned char len[4];
    for (int i = 0; i < 4; i++) len[i] = (uint32_t(h->l_txt) >> (8 * i)) & 0xff;
    char magic[kMagicSize];
    memcpy(magic, kMagic, kMagicSize);
    if (h->minor == 1) magic[4] = 1;
    if (bgzf_write(b->fp, magic, kMagicSize) < 0 || bgzf_write(b->fp, len, 4) < 0 ||
        bgzf_write(b->fp, h->txt, size_t(h->l_txt)) < 0)
        return -1;
    return bgzf_flush(b->fp);
}

void bcf_hdr_destroy(bcf_hdr_t *h) {
    if (!h) return;
    free(h->name);
    free(h->sname);
    free(h->txt);
    free(h->ns);
    free(h->sns);
    free(h);
}

}  // namespace vf
