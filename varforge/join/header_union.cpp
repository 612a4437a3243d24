// The header union, on htslib's own header parser.
#include "header_union.h"

#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "hts_quiet.h"

namespace vfjoin {

namespace {

constexpr int kKinds = 3;  // BCF_HL_FLT, BCF_HL_INFO, BCF_HL_FMT: the kinds of line an ID has

struct HdrFree {
    void operator()(bcf_hdr_t *h) const { bcf_hdr_destroy(h); }
};
using Hdr = std::unique_ptr<bcf_hdr_t, HdrFree>;

// What htslib's reader of a file with this header builds; null when it cannot read it. Its
// warnings are for a reader of the file, not for us, so they are kept quiet.
Hdr parse(std::string_view text) {
    std::string copy(text.substr(0, std::min(text.size(), text.find('\0'))));
    Hdr h(bcf_hdr_init("r"));
    if (!h) throw std::bad_alloc();
    QuietHtslib quiet;
    const int r = bcf_hdr_parse(h.get(), copy.data());
    if (r != 0) h.reset();
    return h;
}

// What one definition line means to a reader, as htslib's parser read it: an INFO or FORMAT
// key's Type and Number, or a contig's length (none when the line gives no length). `type_text`
// and `number_text` keep the line's own words for messages. `from` is the input that gave it.
struct Meaning {
    bool given = false;
    uint32_t type = 0, length = 0;  // BCF_HT_*, BCF_VL_*
    uint64_t number = 0;            // the count of values, or a contig's length
    std::string type_text, number_text;
    int from = -1;
};

// One entry of a dictionary: its name, which kinds of line define it (contigs use [0]) and
// what each kind's line means.
struct Def {
    std::string name;
    bool kind[kKinds] = {false, false, false};
    Meaning meaning[kKinds];
};

std::string value_of(bcf_hrec_t *hrec, const char *key) {
    const int i = bcf_hrec_find_key(hrec, key);
    return i < 0 ? std::string() : hrec->vals[i];
}

// The meaning of entry `i` of `h`'s dictionary `d`, line kind `k`, given by input `from`; the
// line's words only with `words` (they are wanted for the union's own entries and for a
// message, not for every line of thousands of inputs that agree).
Meaning meaning_of(const bcf_hdr_t *h, int d, int i, int k, int from, bool words) {
    const bcf_idpair_t &p = h->id[d][i];
    bcf_hrec_t *hrec = p.val->hrec[k];
    Meaning m;
    m.from = from;
    if (d == BCF_DT_CTG) {
        m.given = bcf_hrec_find_key(hrec, "length") >= 0;
        if (words) m.number_text = value_of(hrec, "length");
        m.number = m.given ? p.val->info[0] : 0;
        return m;
    }
    if (k == BCF_HL_FLT) return m;  // a FILTER has neither Type nor Number
    m.given = true;
    m.type = bcf_hdr_id2type(h, k, i);
    m.length = uint32_t(bcf_hdr_id2length(h, k, i));
    m.number = bcf_hdr_id2number(h, k, i);
    if (words) {
        m.type_text = value_of(hrec, "Type");
        m.number_text = value_of(hrec, "Number");
    }
    return m;
}

// Whether records written under `here` would read otherwise under `there`. A contig length
// given on one side only is no difference: a shard may come from a tool that leaves lengths
// out, and no record reads otherwise for it.
bool reads_otherwise(const Meaning &here, const Meaning &there) {
    return here.given && there.given &&
           (here.type != there.type || here.length != there.length || here.number != there.number);
}

// How `here` and `there` of dictionary `d`, line kind `k`, differ, in the lines' own words.
std::string clash(const Meaning &here, const Meaning &there, int d, int k, const char *name) {
    if (d == BCF_DT_CTG)
        return "contig " + std::string(name) + " has length=" + here.number_text +
               " here and length=" + there.number_text + " there";
    const std::string what = std::string(k == BCF_HL_INFO ? "INFO " : "FORMAT ") + name;
    if (here.type != there.type)
        return what + " has Type=" + here.type_text + " here and Type=" + there.type_text +
               " there";
    return what + " has Number=" + here.number_text + " here and Number=" + there.number_text +
           " there";
}

// A dictionary of the union: entries by index, and the index of each name.
struct Dict {
    std::vector<Def> at;
    std::unordered_map<std::string, int> index;
    int next = 0;  // the index htslib gives a new entry without IDX= at the insertion point

    Def *find(int i) {
        return i < int(at.size()) && !at[size_t(i)].name.empty() ? &at[size_t(i)] : nullptr;
    }
    Def &put(int i, const char *name) {
        if (i >= int(at.size())) at.resize(size_t(i) + 1);
        at[size_t(i)].name = name;
        index.emplace(name, i);
        next = std::max(next, i + 1);
        return at[size_t(i)];
    }
};

// One definition line as htslib formats it, with IDX=`idx` when `idx` >= 0.
std::string line_of(const bcf_hrec_t *hrec, int idx) {
    kstring_t ks = {0, 0, nullptr};
    if (bcf_hrec_format(hrec, &ks) != 0) {
        free(ks.s);
        throw std::bad_alloc();
    }
    std::string line(ks.s, ks.l);
    free(ks.s);
    if (idx >= 0) {
        const size_t close = line.rfind('>');
        if (close != std::string::npos) line.insert(close, ",IDX=" + std::to_string(idx));
    }
    return line;
}

const char *kind_word(int dict) {
    return dict == BCF_DT_CTG ? "contig" : "ID";
}

}  // namespace

struct HeaderUnion::State {
    bool by_index;
    bool started = false;
    std::string first, last;  // the first input's text, and the last text found to fit
    std::vector<std::string> samples;
    Dict dict[2];  // [0] contigs, [1] IDs
    std::vector<std::string> lines;
    std::vector<std::string> names;  // the inputs' names, in the order they were added
    int clash_with = -1;             // the input whose definition the refused one differs from

    Dict &of(int d) { return dict[d == BCF_DT_CTG ? 0 : 1]; }

    void take_first(const bcf_hdr_t *h) {
        for (int d : {BCF_DT_CTG, BCF_DT_ID})
            for (int i = 0; i < h->n[d]; i++) {
                const bcf_idpair_t &p = h->id[d][i];
                if (!p.key) continue;
                Def &def = of(d).put(i, p.key);
                for (int k = 0; k < kKinds; k++) {
                    def.kind[k] = p.val && p.val->hrec[k];
                    if (def.kind[k]) def.meaning[k] = meaning_of(h, d, i, k, 0, true);
                }
            }
        for (int i = 0; i < bcf_hdr_nsamples(h); i++) samples.emplace_back(h->samples[i]);
    }

    std::string merge_samples(const bcf_hdr_t *h) const {
        const size_t n = size_t(bcf_hdr_nsamples(h));
        if (n != samples.size())
            return std::to_string(n) + " samples, not " + std::to_string(samples.size());
        for (size_t i = 0; i < n; i++)
            if (samples[i] != h->samples[i])
                return "sample " + std::to_string(i) + " is " + h->samples[i] + ", not " +
                       samples[i];
        return {};
    }

    // Merges one dictionary of a later input into the union; empty, or what conflicts.
    std::string merge(const bcf_hdr_t *h, int d) {
        Dict &u = of(d);
        for (int i = 0; i < h->n[d]; i++) {
            const bcf_idpair_t &p = h->id[d][i];
            if (!p.key || !p.val) continue;
            const auto known = u.index.find(p.key);
            int at = known == u.index.end() ? -1 : known->second;
            bool fresh = at < 0;
            if (by_index) {
                const Def *there = u.find(i);
                if (there && there->name != p.key)
                    return std::string(kind_word(d)) + " " + std::to_string(i) + " is " + p.key +
                           ", not " + there->name;
                if (at >= 0 && at != i)
                    return std::string(kind_word(d)) + " " + p.key + " is at " + std::to_string(i) +
                           ", not " + std::to_string(at);
                if (fresh) at = i;
            } else if (fresh) {
                at = int(u.at.size());
            }
            const int from = int(names.size()) - 1;
            for (int k = 0; k < (d == BCF_DT_CTG ? 1 : kKinds); k++) {
                if (!p.val->hrec[k]) continue;
                if (!fresh && u.at[size_t(at)].kind[k]) {
                    // The first meaning given is the one held to; where there is none yet (a
                    // contig without length), this input's is taken.
                    Meaning &there = u.at[size_t(at)].meaning[k];
                    const Meaning here = meaning_of(h, d, i, k, from, false);
                    if (!reads_otherwise(here, there)) {
                        if (!there.given && here.given) there = meaning_of(h, d, i, k, from, true);
                        continue;
                    }
                    clash_with = there.from;
                    return clash(meaning_of(h, d, i, k, from, true), there, d, k, p.key);
                }
                // A new name needs IDX= unless it lands where htslib puts the next entry; a
                // name already known keeps its index whatever the line says.
                const int idx = by_index && fresh && at != u.next ? at : -1;
                lines.push_back(line_of(p.val->hrec[k], idx));
                if (fresh) u.put(at, p.key);
                fresh = false;
                u.at[size_t(at)].kind[k] = true;
                u.at[size_t(at)].meaning[k] = meaning_of(h, d, i, k, from, true);
            }
        }
        return {};
    }

    // Empty when `h` gives exactly the union's dictionaries.
    std::string differs(const bcf_hdr_t *h) {
        std::string why = merge_samples(h);
        for (int d : {BCF_DT_CTG, BCF_DT_ID}) {
            if (!why.empty()) break;
            Dict &u = of(d);
            size_t found = 0;
            for (int i = 0; i < h->n[d]; i++) {
                const bcf_idpair_t &p = h->id[d][i];
                if (!p.key) continue;
                const auto known = u.index.find(p.key);
                if (known == u.index.end() || (by_index && known->second != i))
                    return std::string(kind_word(d)) + " " + p.key + " moved";
                found++;
                for (int k = 0; k < kKinds; k++)
                    if (bool(p.val && p.val->hrec[k]) != u.at[size_t(known->second)].kind[k])
                        return std::string(kind_word(d)) + " " + p.key + " changed";
            }
            if (found != u.index.size()) why = std::string(kind_word(d)) + " lost";
        }
        return why;
    }
};

HeaderUnion::HeaderUnion(bool by_index) : s_(new State) {
    s_->by_index = by_index;
}

HeaderUnion::~HeaderUnion() = default;

void HeaderUnion::by_name() {
    s_->by_index = false;
}

bool HeaderUnion::contig_length_reaches(uint64_t limit) const {
    for (const Def &d : s_->dict[0].at)
        if (!d.name.empty() && (!d.meaning[0].given || d.meaning[0].number >= limit)) return true;
    return false;
}

std::vector<std::string> HeaderUnion::contig_names() const {
    std::vector<std::string> names;
    for (const auto &d : s_->dict[0].at) names.push_back(d.name);
    return names;
}

size_t HeaderUnion::added() const {
    return s_->lines.size();
}

std::string HeaderUnion::add(std::string_view text, const std::string &name) {
    State &s = *s_;
    // Shards of one job mostly carry one header: a text seen before fits as it did then.
    if (s.started && (text == s.first || text == s.last)) return {};
    s.names.push_back(name);
    s.clash_with = -1;
    Hdr h = parse(text);
    if (!h) return "bad header: it cannot be parsed as a variant-file header";
    if (!s.started) {
        s.take_first(h.get());
        s.first = text;
        s.started = true;
        return {};
    }
    std::string why = s.merge_samples(h.get());
    if (why.empty()) why = s.merge(h.get(), BCF_DT_CTG);
    if (why.empty()) why = s.merge(h.get(), BCF_DT_ID);
    if (!why.empty() && s.clash_with >= 0)
        return "header does not match " + s.names[size_t(s.clash_with)] + "'s: " + why;
    if (!why.empty()) return "header does not match the first input's: " + why;
    s.last = text;
    return {};
}

bool HeaderUnion::output_text(std::string *text, std::string *why) const {
    const State &s = *s_;
    if (s.lines.empty()) {
        *text = s.first;
        return true;
    }
    // htslib's parser takes the first line that starts "#CHROM" and a tab or blank as the
    // sample line; the added lines go just before it.
    const std::string_view first(s.first);
    const std::string_view parsed = first.substr(0, std::min(first.size(), first.find('\0')));
    size_t at = std::string::npos;
    for (size_t pos = 0; pos < parsed.size();) {
        if (parsed.compare(pos, 7, "#CHROM\t") == 0 || parsed.compare(pos, 7, "#CHROM ") == 0) {
            at = pos;
            break;
        }
        const size_t nl = parsed.find('\n', pos);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    if (at == std::string::npos) {
        *why = "the first input's header has no sample line";
        return false;
    }
    std::string out(first.substr(0, at));
    for (const auto &line : s.lines) out += line;
    out += first.substr(at);
    Hdr h = parse(out);
    const std::string differs = h ? s_->differs(h.get()) : "it cannot be parsed";
    if (!differs.empty()) {
        *why = "the joined header does not read as the inputs' headers: " + differs;
        return false;
    }
    *text = std::move(out);
    return true;
}

}  // namespace vfjoin
