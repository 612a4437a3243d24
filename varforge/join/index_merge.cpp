#include "join/index_merge.h"

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>

namespace vfjoin {
namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

bool fail(std::string *why, const std::string &what) {
    if (why) *why = what;
    return false;
}

// ---- the binning scheme ----

int bin_level(uint32_t bin) {
    int l = 0;
    while (bin_level_first(l + 1) <= bin) l++;
    return l;
}

// The same range of positions in the numbering of a deeper scheme: a bin at level l of depth
// d is at level l + (to - d) of depth `to`, at the same place in its level.
uint32_t renumber(uint32_t bin, int from_depth, int to_depth) {
    const int l = bin_level(bin);
    return uint32_t(bin_level_first(l + to_depth - from_depth) + (bin - bin_level_first(l)));
}

// First position of a real bin, and one past its last.
uint64_t bin_beg(uint32_t bin, int min_shift, int depth) {
    const int l = bin_level(bin);
    return (bin - bin_level_first(l)) << (min_shift + 3 * (depth - l));
}
uint64_t bin_end(uint32_t bin, int min_shift, int depth) {
    const int l = bin_level(bin);
    return (bin - bin_level_first(l) + 1) << (min_shift + 3 * (depth - l));
}

// The bin a reader looks at next when the bin `bin` is absent, as it searches for the
// `loffset` of a query: the previous bin of the same parent, else the parent.
uint32_t scan_next(uint32_t bin) {
    const uint32_t parent = (bin - 1) >> 3;
    return bin > (parent << 3) + 1 ? bin - 1 : parent;
}

// ---- offsets ----

uint64_t voff(int64_t block, int within) {
    return uint64_t(block) << 16 | uint64_t(within);
}

// Where the input's first record lands in the output.
uint64_t first_record(const OffsetMap &m) {
    return m.tail_from < m.tail_len && !m.tail_out.empty() ? voff(m.tail_out[0].first, 0)
                                                           : voff(m.out_data_start, 0);
}

// Whether `v` is a place among the input's records: in the header's block after the header,
// in a block after it, or the end of the data.
bool among_records(const OffsetMap &m, uint64_t v) {
    const int64_t c = int64_t(v >> 16);
    const int u = int(v & 0xffff);
    return (c >= m.data_start && c < m.data_end) || (c == m.data_end && u == 0) ||
           (c == m.tail_block && u >= m.tail_from && u <= m.tail_len);
}

// `v` with a position at the end of the header's block written as the next block's start.
uint64_t canonical(const OffsetMap &m, uint64_t v) {
    if (int64_t(v >> 16) == m.tail_block && int(v & 0xffff) == m.tail_len &&
        m.tail_block < m.data_start)
        return voff(m.data_start, 0);
    return v;
}

bool check_map(const OffsetMap &m, std::string *why) {
    const int64_t kLimit = int64_t(1) << 47;  // file offsets that a virtual offset can hold
    for (int64_t off : {m.tail_block, m.data_start, m.data_end, m.out_data_start, m.out_data_end})
        if (off < 0 || off >= kLimit) return fail(why, "inconsistent offset map");
    if (m.tail_from < 0 || m.tail_from > m.tail_len || m.tail_len > 65536 ||
        m.data_start < m.tail_block || (m.data_start == m.tail_block && m.tail_len != 0) ||
        m.data_end < m.data_start || m.out_data_end - m.out_data_start < m.data_end - m.data_start)
        return fail(why, "inconsistent offset map");
    int64_t total = 0, at = -1;
    for (const auto &[off, len] : m.tail_out) {
        if (off <= at || off >= m.out_data_start || len <= 0 || len > 65536)
            return fail(why, "inconsistent offset map");
        at = off;
        total += len;
    }
    if (total != m.tail_len - m.tail_from)
        return fail(why,
                    "the offset map's re-encoded blocks do not hold the header block's records");
    return true;
}

// Maps one contig of an input's index into the output, and widens `extent` to the places (in
// the input) of the records its chunks and summary cover. Fails on an offset outside the
// input's records.
bool map_contig(Contig *c, const OffsetMap &m, uint64_t start, Chunk *extent) {
    auto note = [&](const Chunk &ch) {
        if (!among_records(m, ch.beg) || !among_records(m, ch.end)) return false;
        extent->beg = std::min(extent->beg, canonical(m, ch.beg));
        extent->end = std::max(extent->end, canonical(m, ch.end));
        return true;
    };
    for (auto &b : c->bins) {
        if (b.loffset != 0 && !among_records(m, b.loffset)) return false;
        b.loffset = b.loffset ? map_voffset(m, b.loffset) : start;
        for (auto &ch : b.chunks) {
            if (!note(ch)) return false;
            ch = {map_voffset(m, ch.beg), map_voffset(m, ch.end)};
        }
    }
    if (c->has_pseudo) {
        if (!note({c->pseudo.first, c->pseudo.last})) return false;
        c->pseudo.first = map_voffset(m, c->pseudo.first);
        c->pseudo.last = map_voffset(m, c->pseudo.last);
    }
    for (auto &v : c->linear) {
        if (v != 0 && !among_records(m, v)) return false;
        v = v ? map_voffset(m, v) : start;
    }
    return true;
}

// Whether an index ends where the input's data ends: its last record at `end` when it has
// records (`any`), or no records in the data when it has none. An index made before records
// were appended, or of another file, ends elsewhere.
bool ends_with_data(const OffsetMap &m, bool any, uint64_t end) {
    const bool data = m.tail_from < m.tail_len || m.data_start < m.data_end;
    return any ? end == voff(m.data_end, 0) : !data;
}

}  // namespace

uint64_t map_voffset(const OffsetMap &m, uint64_t v) {
    const int64_t c = int64_t(v >> 16);
    const int u = int(v & 0xffff);
    if (c >= m.data_start && c < m.data_end) return voff(c - m.data_start + m.out_data_start, u);
    if (c >= m.data_end && c > m.tail_block) return voff(m.out_data_end, 0);
    if (v == 0 || c < m.tail_block || u <= m.tail_from) return first_record(m);
    // In the header's block: its bytes after the header now lie in the re-encoded blocks.
    int k = std::min(u, m.tail_len) - m.tail_from;
    for (const auto &[off, len] : m.tail_out) {
        if (k < len) return voff(off, k);
        k -= len;
    }
    return m.data_start < m.data_end ? voff(m.out_data_start, 0) : voff(m.out_data_end, 0);
}

// ---- adding an input ----

// Whether the index can join the merge: its kind, binning and aux bytes, or its settings and
// names, as the merge needs them.
bool IndexMerger::check_fit(const Index &input, std::string *why) const {
    if (input.kind != kind_) return fail(why, "not an index of the join's kind");
    if (!inputs_.empty()) {
        const Index &first = inputs_.front().index;
        if (input.min_shift != first.min_shift)
            return fail(why, "min_shift " + std::to_string(input.min_shift) +
                                 " differs from the earlier inputs' " +
                                 std::to_string(first.min_shift));
        // Over VCF the aux bytes hold each input's own names; the settings are checked below.
        if (!named_ && input.aux != first.aux)
            return fail(why, "auxiliary data differ from the earlier inputs'");
    }
    // Tabix parts, binned from 2^14-position windows up, may join a CSI of VCF at any time.
    if (named_ && kind_ == IndexKind::kCsi && input.min_shift != kTbiMinShift)
        return fail(why, "min_shift " + std::to_string(input.min_shift) + " is not tabix's " +
                             std::to_string(kTbiMinShift));
    if (named_ && (!input.named() || input.tbx != tbx_vcf_settings()))
        return fail(why, kind_ == IndexKind::kTbi
                             ? "not a tabix index with the VCF settings"
                             : "not a CSI index with the VCF settings and contig names");
    if (named_ && input.names.size() != input.contigs.size())
        return fail(why, "contig names do not match the contigs");
    return true;
}

// The output contig of the input's contig `i`: the same number (BCF), or that of its name,
// which a name not seen before gets next (VCF).
int IndexMerger::output_contig(const Index &input, size_t i, ContigOrder *order) const {
    if (!named_) return int(i);
    auto [it, fresh] = order->ids.emplace(input.names[i], int(order->names.size()));
    if (fresh) order->names.push_back(input.names[i]);
    return it->second;
}

// Each contig's records must stay together across the join: within the input no contig's
// records lie among another's, and no contig that ended before comes back.
bool IndexMerger::check_order(std::vector<Span> spans, size_t n_contigs, ContigOrder *order,
                              std::string *why) const {
    std::sort(spans.begin(), spans.end(),
              [](const Span &a, const Span &b) { return a.first < b.first; });
    std::vector<char> &done = order->done;
    done.resize(named_ ? order->names.size() : std::max(done.size(), n_contigs), 0);
    auto name = [&](int id) { return named_ ? order->names[size_t(id)] : contig_number_name(id); };
    for (size_t i = 0; i < spans.size(); i++) {
        if (i > 0 && spans[i - 1].last > spans[i].first)
            return fail(why, "the records of contigs " + name(spans[i - 1].out) + " and " +
                                 name(spans[i].out) + " interleave");
        const int id = spans[i].out;
        if (id == order->last) continue;
        if (done[size_t(id)])
            return fail(why,
                        "contig " + name(id) + " appears again after contig " + name(order->last));
        if (order->last >= 0) done[size_t(order->last)] = 1;
        order->last = id;
    }
    return true;
}

bool IndexMerger::add(const Index &given, const OffsetMap &m, std::string *why) try {
    Index converted;
    const bool convert = kind_ == IndexKind::kCsi && named_ && given.kind == IndexKind::kTbi;
    if (convert && !index_tbi_as_csi(given, &converted, why)) return false;
    const Index &input = convert ? converted : given;
    if (!check_fit(input, why) || !check_map(m, why)) return false;
    const uint64_t start = first_record(m);
    if (start < last_end_) return fail(why, "the input lands before the previous input's end");

    Input in{input, start, {}};
    ContigOrder order = order_;
    std::vector<Span> spans;
    uint64_t max_end = 0;
    for (size_t i = 0; i < in.index.contigs.size(); i++) {
        const int out = output_contig(input, i, &order);
        in.out_contig.push_back(out);
        Chunk extent{kNone, 0};
        if (!map_contig(&in.index.contigs[i], m, start, &extent))
            return fail(why, "the index points outside the file's records");
        if (extent.beg == kNone) continue;
        spans.push_back({extent.beg, extent.end, out});
        max_end = std::max(max_end, extent.end);
    }
    if (input.n_no_coor == 0 && !ends_with_data(m, !spans.empty(), max_end))
        return fail(why, "the index does not end where the file's data ends");
    if (!check_order(std::move(spans), in.index.contigs.size(), &order, why)) return false;

    inputs_.push_back(std::move(in));
    order_ = std::move(order);
    last_end_ = voff(m.out_data_end, 0);
    return true;
} catch (const std::bad_alloc &) {
    return fail(why, "out of memory");
}

// ---- merging ----

namespace {

// One input's part of an output contig, its bins numbered in the output's depth.
struct Part {
    const Contig *contig;
    uint64_t start;
    int depth;                                        // the input index's depth
    std::vector<std::pair<uint32_t, uint64_t>> loff;  // (bin, loffset), sorted by bin
    uint64_t reach = 0;  // no record of the part ends past this position
};

// A part's bin under its number in the output's depth.
struct Ref {
    uint32_t bin;
    const Bin *b;
};

// Every part's bins under their numbers in the output's depth, sorted by number (parts in join
// order within a number); notes each part's loffsets and how far its records reach.
std::vector<Ref> renumber_bins(std::vector<Part> &parts, int min_shift, int depth) {
    std::vector<Ref> refs;
    for (Part &p : parts) {
        for (const auto &b : p.contig->bins) {
            const uint32_t n = renumber(b.bin, p.depth, depth);
            refs.push_back({n, &b});
            p.loff.emplace_back(n, b.loffset);
            p.reach = std::max(p.reach, bin_end(n, min_shift, depth));
        }
        std::sort(p.loff.begin(), p.loff.end());
    }
    std::stable_sort(refs.begin(), refs.end(),
                     [](const Ref &a, const Ref &b) { return a.bin < b.bin; });
    return refs;
}

// Sorts chunks by start and makes one of each run that overlaps or touches.
void coalesce(std::vector<Chunk> *chunks) {
    std::sort(chunks->begin(), chunks->end(),
              [](const Chunk &a, const Chunk &b) { return a.beg < b.beg; });
    size_t k = 0;
    for (const auto &ch : *chunks) {
        if (k > 0 && (*chunks)[k - 1].end >= ch.beg)
            (*chunks)[k - 1].end = std::max((*chunks)[k - 1].end, ch.end);
        else
            (*chunks)[k++] = ch;
    }
    chunks->resize(k);
}

const uint64_t *find_bin(const Part &p, uint32_t bin) {
    auto it = std::lower_bound(p.loff.begin(), p.loff.end(), std::make_pair(bin, uint64_t(0)));
    return it != p.loff.end() && it->first == bin ? &it->second : nullptr;
}

// The `loffset` a reader of this part alone would use for a query whose search reaches bin
// `bin`: that of the first bin present among `bin`, its previous siblings, its parent, and so
// on up; the part's first record when none is.
uint64_t part_loffset(const Part &p, uint32_t bin) {
    for (;;) {
        if (const uint64_t *v = find_bin(p, bin)) return *v;
        if (bin == 0) return p.start;
        bin = scan_next(bin);
    }
}

// The `loffset` of output bin `bin` (CSI). A reader's search for the loffset of a query stops
// at the first bin present among the query's bottom bin, its previous siblings, its parent and
// so on up; a query that stops here starts at or after this bin's first position. It needs
// each part that may hold records ending past that position to be read from where a reader of
// that part alone would start (a part whose records all end before it has none to give).
// Parts lie in the output in join order, so the first such part gives the smallest value.
uint64_t merged_loffset(const std::vector<Part> &parts, uint32_t bin, int min_shift, int depth) {
    const uint64_t beg = bin_beg(bin, min_shift, depth);
    for (const Part &p : parts)
        if (p.reach > beg) return part_loffset(p, bin);  // true of every part that has the bin
    return 0;
}

// The union of the bins: every part's chunks, shifted already, under the bin's number in the
// output's depth.
void union_of_bins(const std::vector<Part> &parts, const std::vector<Ref> &refs, IndexKind kind,
                   int min_shift, int depth, Contig *out) {
    for (size_t i = 0; i < refs.size();) {
        Bin bin{refs[i].bin, 0, {}};
        size_t j = i;
        for (; j < refs.size() && refs[j].bin == bin.bin; j++)
            bin.chunks.insert(bin.chunks.end(), refs[j].b->chunks.begin(), refs[j].b->chunks.end());
        coalesce(&bin.chunks);
        if (kind == IndexKind::kCsi) bin.loffset = merged_loffset(parts, bin.bin, min_shift, depth);
        out->bins.push_back(std::move(bin));
        i = j;
    }
}

// The summary: first record of the earliest part, end of the latest, counts added; kept only
// when every part has one.
void pseudo_summary(const std::vector<Part> &parts, Contig *out) {
    bool all = true, any = false;
    for (const Part &p : parts) {
        const Contig &c = *p.contig;
        if (!c.has_pseudo) {
            all = all && c.bins.empty();
            continue;
        }
        if (!any) out->pseudo.first = c.pseudo.first;
        any = true;
        out->pseudo.last = c.pseudo.last;
        out->pseudo.n_mapped += c.pseudo.n_mapped;
        out->pseudo.n_unmapped += c.pseudo.n_unmapped;
    }
    out->has_pseudo = all && any;
    if (!out->has_pseudo) out->pseudo = {};
}

// The linear index: per window, the smallest value any part gives.
void linear_index(const std::vector<Part> &parts, Contig *out) {
    for (const Part &p : parts) {
        const auto &lin = p.contig->linear;
        if (out->linear.size() < lin.size()) out->linear.resize(lin.size(), kNone);
        for (size_t w = 0; w < lin.size(); w++) out->linear[w] = std::min(out->linear[w], lin[w]);
    }
}

void merge_contig(std::vector<Part> &parts, IndexKind kind, int min_shift, int depth, Contig *out) {
    const std::vector<Ref> refs = renumber_bins(parts, min_shift, depth);
    union_of_bins(parts, refs, kind, min_shift, depth, out);
    pseudo_summary(parts, out);
    linear_index(parts, out);
}

}  // namespace

// The output index before its contigs are merged: kind, binning, settings and names, contig
// count, records without a contig.
void IndexMerger::start_output(Index *ix) const {
    ix->kind = kind_;
    if (named_) {
        ix->tbx = tbx_vcf_settings();
        ix->tabix_aux = kind_ == IndexKind::kCsi;
        ix->names = order_.names;
        ix->contigs.resize(order_.names.size());
    }
    if (kind_ == IndexKind::kTbi) {
        ix->min_shift = kTbiMinShift;
        ix->depth = kTbiDepth;
    } else if (!inputs_.empty()) {
        ix->min_shift = inputs_.front().index.min_shift;
        if (!named_) ix->aux = inputs_.front().index.aux;
        ix->depth = 0;
    }
    for (const Input &in : inputs_) {
        if (kind_ == IndexKind::kCsi) {
            ix->depth = std::max(ix->depth, in.index.depth);
            if (!named_ && ix->contigs.size() < in.index.contigs.size())
                ix->contigs.resize(in.index.contigs.size());
        }
        if (in.index.has_n_no_coor) {
            ix->has_n_no_coor = true;
            ix->n_no_coor += in.index.n_no_coor;
        }
    }
}

bool IndexMerger::finish(Index *out, std::string *why) const try {
    Index ix;
    start_output(&ix);
    // Parts of each output contig, in join order.
    std::vector<std::vector<Part>> parts(ix.contigs.size());
    for (const Input &in : inputs_) {
        for (size_t i = 0; i < in.index.contigs.size(); i++) {
            const Contig &c = in.index.contigs[i];
            if (c.bins.empty() && !c.has_pseudo && c.linear.empty()) continue;
            parts[size_t(in.out_contig[i])].push_back({&c, in.start, in.index.depth, {}, 0});
        }
    }
    for (size_t o = 0; o < ix.contigs.size(); o++)
        merge_contig(parts[o], kind_, ix.min_shift, ix.depth, &ix.contigs[o]);
    *out = std::move(ix);
    return true;
} catch (const std::bad_alloc &) {
    return fail(why, "out of memory");
}

bool IndexMerger::write(const std::string &path, std::string *why) const {
    Index ix;
    return finish(&ix, why) && index_write(ix, path, why);
}

}  // namespace vfjoin
