// Examining one input of a join.
#include "input.h"

#include <cstring>
#include <memory>

#include "bgzf_blocks.h"
#include "bytes.h"

namespace vfjoin {

namespace {

constexpr uint32_t kSharedMin = 24;  // the fixed fields of a BCF record's shared part
const char kEndsInRecord[] = "damaged data: it ends inside a record";

bool fail(std::string *why, std::string what) {
    *why = std::move(what);
    return false;
}

// Files that are not BGZF at all, told apart so that the message says what to do.
std::string sniff(const Source &src) {
    unsigned char head[kBlockHead];
    std::string unused;
    const long n = src.read_some(head, sizeof head, 0, &unused);
    if (n <= 0) return {};
    if (head[0] == 0x1f && n >= 4 && head[1] == 0x8b && !(head[3] & 4))
        return "gzip-compressed but not BGZF (compress it with bgzip)";
    if (head[0] == '#') return "uncompressed VCF (compress it with bgzip)";
    return {};
}

// Reads blocks up to the first that holds data; false with `why` at the end or on damage.
bool first_data(BlockReader &r, std::string *why) {
    int got;
    int64_t at = 0;
    while ((got = r.load(at, why)) == 1 && r.length() == 0) at = r.next_address();
    if (got == 0) why->assign("empty file");
    return got == 1;
}

// Reads a BCF header from the first data block on: the magic, the text's length, the text.
// Leaves the reader in the block where the header ends.
bool read_bcf_header(BlockReader &r, Input *in, std::string *why) {
    unsigned char magic[9];
    if (!r.read(magic, 5, why)) return fail(why, why->empty() ? "not a BCF2 file" : *why);
    if (memcmp(magic, "BCF\2", 4) != 0 || (magic[4] != 1 && magic[4] != 2))
        return fail(why, "not a BCF2 file");
    in->minor = magic[4];
    if (!r.read(magic + 5, 4, why)) return fail(why, why->empty() ? "truncated header" : *why);
    const uint32_t l_txt = le32(magic + 5);
    if (l_txt > uint32_t(INT32_MAX) - 1) return fail(why, "header too large");
    // Grown as the blocks deliver it: a damaged length costs no more memory than the file has.
    for (uint32_t got = 0; got < l_txt;) {
        const uint32_t want = std::min<uint32_t>(l_txt - got, 1 << 20);
        const size_t at = in->text.size();
        in->text.resize(at + want);
        if (!r.read(in->text.data() + at, want, why))
            return fail(why, why->empty() ? "truncated header" : *why);
        got += want;
    }
    return true;
}

// Reads a VCF header, from the current block on: the lines up to and including the first
// that starts with "#" and not "##" (where htslib's reader stops too). Leaves the reader in
// the block where the header ends, `pos` just after it.
bool read_vcf_header(BlockReader &r, std::string *text, std::string *why) {
    int col = 0;        // position in the current line
    bool last = false;  // the current line is the last of the header
    for (;;) {
        const auto *d = reinterpret_cast<const char *>(r.data());
        for (size_t p = r.pos; p < r.length(); p++) {
            const char c = d[p];
            if (c == '\n') {
                if (last) {
                    text->append(d + r.pos, p + 1 - r.pos);
                    r.pos = p + 1;
                    return true;
                }
                col = 0;
                continue;
            }
            if (col == 0 && c != '#') return fail(why, "a record before the #CHROM line");
            if (col == 1 && c != '#') last = true;
            col++;
        }
        text->append(d + r.pos, r.length() - r.pos);
        r.pos = r.length();
        const int got = r.next(why);
        if (got < 0) return false;
        if (got == 0) return fail(why, "truncated header");
    }
}

const char *kind_name(Kind k) {
    return k == Kind::kBcf ? "BCF" : "VCF";
}

// The header and where it ends; `r` is at the first data block.
bool read_header(BlockReader &r, Input *in, std::string *why) {
    const unsigned char *d = r.data();
    in->kind = r.length() >= 4 && memcmp(d, "BCF\2", 4) == 0 ? Kind::kBcf
               : d[0] == '#'                                 ? Kind::kVcf
                                                             : Kind::kNone;
    if (in->kind == Kind::kNone) return fail(why, "neither BCF nor VCF");
    return in->kind == Kind::kBcf ? read_bcf_header(r, in, why)
                                  : read_vcf_header(r, &in->text, why);
}

// The block in which the header ends: where its records begin, and whether they are whole.
bool note_tail(BlockReader &r, Input *in, bool keep_tail, std::string *why) {
    in->tail_block = r.address();
    in->tail_from = int(r.pos);
    in->tail_len = int(r.length());
    in->data_start = r.next_address();
    const unsigned char *tail = r.data();
    if (in->kind == Kind::kBcf) {
        if (!walk_records(tail, in->tail_from, in->tail_len, &in->tail_open, why)) return false;
    } else {
        in->tail_open = in->tail_from < in->tail_len && tail[in->tail_len - 1] != '\n';
    }
    if (in->tail_open && in->data_start == in->data_end()) return fail(why, kEndsInRecord);
    if (keep_tail && in->tail_bytes() > 0) in->tail = r.take_data();
    return true;
}

}  // namespace

int64_t Input::data_end() const {
    return id.size - int64_t(kMinEmptyBlock);
}

static_assert(Source::kTail == kMinEmptyBlock, "the probed tail is the end-of-file block");

bool examine(Input *in, bool keep, bool keep_tail, const OutputId &out, std::string *why) {
    std::unique_ptr<Source> src = Source::open(in->name, why);
    if (!src) return false;
    in->id = src->identity();
    if (!src->regular()) return fail(why, "not a regular file");
    for (const auto &f : out.files)
        if (in->id.dev == f.dev && in->id.ino == f.ino) return fail(why, f.what);
    if (std::string s = sniff(*src); !s.empty()) return fail(why, s);
    // A remote object is read in one stream from its start, its size learnt at its end.
    BlockReader r(*src, in->id.size >= 0 ? in->id.size : INT64_MAX);
    if (!first_data(r, why) || !read_header(r, in, why)) return false;
    if (src->remote()) {
        // Peeked: the copy of a kept connection reads on from the data's start.
        const long n = src->peek(in->data_head, sizeof in->data_head, r.next_address(), why);
        if (n < 0 || !src->find_end(kMinEmptyBlock, why)) return false;
        in->data_head_len = int(n);
        in->id = src->identity();
    }
    if (const int eof = ends_with_eof_block(*src); eof != 1)
        return fail(why, eof == 0 ? "no BGZF end-of-file block at the end (truncated file?)"
                                  : "cannot read the end of the file");
    if (!note_tail(r, in, keep_tail, why)) return false;
    // Standard input cannot be opened again by name, so it is always kept.
    // A remote object has no descriptor: its connection is kept, or it is opened again.
    if (src->remote()) {
        if (keep) in->remote = std::move(src);
        return true;
    }
    if (keep || strcmp(in->name, "-") == 0) return (in->fd = src->keep(why)) >= 0;
    return true;
}

bool admit(Input *in, Kind *kind, int *minor, HeaderUnion *header, std::string *why) {
    if (*kind != Kind::kNone && in->kind != *kind)
        return fail(why, std::string("a ") + kind_name(in->kind) + " file among " +
                             kind_name(*kind) + " files");
    if (in->kind == Kind::kBcf && *minor >= 0 && in->minor != *minor)
        return fail(why, "BCF version 2." + std::to_string(in->minor) +
                             " does not match the first input's 2." + std::to_string(*minor));
    if (*kind == Kind::kNone && in->kind == Kind::kVcf) header->by_name();
    if (std::string f = header->add(in->text, in->name); !f.empty()) return fail(why, f);
    *kind = in->kind;
    if (*minor < 0) *minor = in->minor;
    std::string().swap(in->text);
    return true;
}

bool walk_records(const unsigned char *data, int from, int len, bool *open, std::string *why) {
    int at = from;
    while (len - at >= 8) {
        const uint32_t shared = le32(data + at), indiv = le32(data + at + 4);
        if (shared < kSharedMin) return fail(why, "damaged data: a record too short to be one");
        const uint64_t size = 8 + uint64_t(shared) + indiv;
        if (size > uint64_t(len - at)) break;
        at += int(size);
    }
    *open = at < len;
    return true;
}

bool walk_input(const Input &in, std::string *why) {
    std::unique_ptr<Source> src = Source::reopen(in.name, in.fd, in.id, why);
    if (!src) return false;
    uint64_t after = 0;
    std::pair<int64_t, long> last;
    if (!walk_blocks(*src, in.data_start, in.data_end(), &after, &last, why)) return false;
    if (after == 0 && in.tail_open) return fail(why, kEndsInRecord);
    if (after > 0 && in.kind == Kind::kVcf) {
        // A VCF's data must end with a whole line, or the next input's first record would
        // join its last one.
        BlockReader r(*src, in.data_end());
        if (r.load(last.first, why) != 1 || r.length() == 0)
            return fail(why, "damaged data: the BGZF block at byte " + std::to_string(last.first));
        if (r.data()[r.length() - 1] != '\n') return fail(why, kEndsInRecord);
    }
    return true;
}

bool walk_end(const Input &in, const BlockWalk &walk, std::string *why) {
    if (!walk.finish(why)) return false;
    if (walk.data_bytes() == 0 && in.tail_open) return fail(why, kEndsInRecord);
    if (walk.data_bytes() > 0 && in.kind == Kind::kVcf) {
        const auto &block = walk.last_block();
        std::vector<unsigned char> data(kMaxBlock);
        const long len = BlockCodec(0).decode(block.data(), block.size(), data.data());
        if (len <= 0) return fail(why, "corrupt BGZF block");
        if (data[size_t(len) - 1] != '\n') return fail(why, kEndsInRecord);
    }
    return true;
}

}  // namespace vfjoin
