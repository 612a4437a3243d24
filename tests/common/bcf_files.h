// BCF test files for the varforge tests, written and read back through htslib, and a plain
// BGZF block walker to look at their bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.h"

namespace aftest {

// How the header meets the records. kShared: as htslib normally writes, the first records
// share the block in which the header ends. kFlushed: the header is flushed into blocks of
// its own, so the records start on a block boundary.
enum class Layout { kShared, kFlushed };

// A fixture shape: `n` records, `samples` samples, `extra` header lines.
aftest::VarShape shape(int n, uint32_t seed, std::string extra = "", int samples = 2);

void write_bcf(const std::string &path, const aftest::VarShape &shape, Layout layout);

// The same from VCF text: header lines, then records; `mode` "wz" writes bgzipped VCF, in the
// `layout` asked for too (the header and each record as htslib formats them, no record split
// across blocks).
void write_bcf_text(const std::string &path, const std::string &vcf_text, Layout layout,
                    const char *mode = "wb");

// A BCF file whose stored header text is exactly `header_text` (whatever htslib makes of it),
// with `records` (VCF lines) encoded under htslib's reading of that text, in one BGZF block
// with the header when they fit.
void write_bcf_raw(const std::string &path, const std::string &header_text,
                   const std::vector<std::string> &records);

// One BGZF block: where it starts in the file, its size and its decompressed bytes.
struct Block {
    size_t offset = 0;
    size_t size = 0;
    std::string data;
};

// Splits a whole BGZF file into its blocks; throws std::runtime_error on malformed bytes.
std::vector<Block> walk_blocks(const std::string &bytes);

// Size in bytes of the magic, length and text of the BCF header held in `blocks`.
size_t header_size(const std::vector<Block> &blocks);

// The layout of a BCF or bgzipped VCF file as its bytes show it: kFlushed when a block ends
// where the header does. Throws when nothing follows the header.
Layout layout_of(const std::string &path);

struct VariantFile {
    std::string header;                // header text as htslib formats it
    std::vector<std::string> records;  // each record as a VCF line
    int eof_state = -1;                // hts_check_EOF
};

// Reads every record of a BCF or VCF file through htslib; throws when it cannot.
VariantFile read_variants(const std::string &path);

}  // namespace aftest
