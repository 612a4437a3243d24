// header_union: the one header under which every input's records read as they do in their own
// file. Only htslib is asked what a header text means: each input's dictionaries (contigs, the
// FILTER/INFO/FORMAT ID dictionary shared by the three kinds, the samples) are the ones that
// htslib's parser builds from that text, with the indices it assigns.
//
// A BCF record names its contig, filters, INFO and FORMAT keys by index only, so inputs fit
// together when their samples are identical (names and order) and, in each dictionary, no
// index names two things and no name sits at two indices across all inputs. The output header
// is then the first input's text plus, just before its #CHROM line, the definition lines that
// later inputs have and it lacks, each given the index it has in its own input (with an IDX=
// key where the order alone would not give it). Where the first input defines everything, the
// output is its text unchanged.
//
// A bgzipped VCF record names everything by name, so `by_index` false drops the index rules:
// inputs then fit when their samples are identical, and a missing definition is added by ID.
//
// In both kinds a name must also mean the same wherever it is defined: an INFO or FORMAT key
// with another Type or Number than an earlier input gave it would have its values read as
// something else, and a contig with another length belongs to another assembly. Such an input
// is refused, naming the input whose definition it contradicts. A contig whose length is given
// in some inputs only is no contradiction; the first length given is the one held to.
#ifndef VARFORGE_JOIN_HEADER_UNION_H
#define VARFORGE_JOIN_HEADER_UNION_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vfjoin {

class HeaderUnion {
   public:
    explicit HeaderUnion(bool by_index = true);
    ~HeaderUnion();
    HeaderUnion(const HeaderUnion &) = delete;
    HeaderUnion &operator=(const HeaderUnion &) = delete;

    // Drops the index rules (for bgzipped VCF); before the first add only.
    void by_name();

    // Takes the next input's header text as stored (parsing stops at a NUL, as readers do),
    // and its name for messages. Empty when it fits; otherwise why not, as "bad header: ...",
    // "header does not match the first input's: ..." or, when a definition contradicts one
    // that an earlier input gave, "header does not match NAME's: ..." with that input's name.
    // A refused input leaves the union unusable for output.
    std::string add(std::string_view text, const std::string &name);

    // The header text to write. When lines were added, the text is parsed again and must give
    // exactly the union's dictionaries; false with `why` set when it does not.
    bool output_text(std::string *text, std::string *why) const;

    // Definition lines that later inputs added to the first input's header.
    size_t added() const;

    // Whether some contig has no length or one of at least `limit`.
    bool contig_length_reaches(uint64_t limit) const;

    // The union's contig names by index ("" where none); empty before a header was parsed.
    std::vector<std::string> contig_names() const;

   private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace vfjoin

#endif
