// input: one input of a join, opened once and checked before anything is written.
//
// An input fits when it is a regular file (opened without blocking, so a FIFO or a device is
// refused rather than waited on), of the first input's kind (BCF2 in BGZF, or bgzipped VCF),
// with a header that htslib reads and that fits the header union, for BCF the first input's
// BCF2 minor version, and data that a reader can follow to the end: every BGZF block header
// after the header's block valid, their sizes chaining exactly to the end-of-file block that
// is the file's last 28 bytes, and the data not ending inside a record (for BCF, as far as
// the records that share the header's block show; for VCF, a last line without its newline).
//
// What is kept is a few numbers per input: where its bytes lie and what must be unchanged
// when it is copied (device, inode, size, modification and change times).
#ifndef VARFORGE_JOIN_INPUT_H
#define VARFORGE_JOIN_INPUT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

#include "header_union.h"

namespace vfjoin {

enum class Kind { kNone, kBcf, kVcf };

struct Input {
    const char *name = nullptr;
    int fd = -1;     // the checked descriptor, or -1 when it is re-opened by name for the copy
    int alias = -1;  // an earlier input that is this same file (standard input named again)
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    int64_t tail_block = 0;  // the block in which the header ends...
    int tail_from = 0;       // ...the header's bytes in it, ...
    int tail_len = 0;        // ...and its decompressed length (records follow when larger)
    int64_t data_start = 0;  // the first byte of the block after it
    bool tail_open = false;  // the last record in that block goes on past it
};

// What every input is held to besides the union: the first input's BCF2 minor version, and
// the output's file, which no input may be.
struct Expect {
    Kind kind = Kind::kNone;  // set by the first input
    int minor = -1;           // the BCF2 minor version, set by the first input
    bool output_known = false;
    dev_t out_dev = 0;
    ino_t out_ino = 0;
};

// Opens and checks `in->name`; `keep` says whether the descriptor stays open for the copy
// (standard input always stays). Empty when it fits, else why not, in a few words. The
// walk of the data blocks is left to walk_input.
std::string check_input(Input *in, bool keep, Expect *expect, HeaderUnion *header);

// Walks the data blocks of a checked input, through a descriptor of its own (safe beside
// the copy of the same input). Empty when they chain to the end-of-file block and the data
// does not end inside a record, else why not.
std::string walk_input(const Input &in, Kind kind);

// Whether `st` is still the file that was checked.
bool unchanged(const struct stat &st, const Input &in);

// Reads exactly `n` bytes at `at` of `fd` (retrying short and interrupted reads); false when
// the file ends first or a read fails.
bool read_at(int fd, unsigned char *buf, size_t n, off_t at);

// The size of the BGZF block whose header starts at `at` in `fd` (its first 18 bytes in
// `head`), or -1 when the header is not one.
long bgzf_block_size(int fd, const unsigned char *head, off_t at);

// Follows the BGZF block headers in [from, to) of `fd`: empty when every header is valid and
// the blocks end exactly at `to`, else why not. `data_bytes` gets their decompressed size,
// `last` the offset and size of the last block that holds data (0, 0 when none does).
std::string walk_blocks(int fd, off_t from, off_t to, uint64_t *data_bytes,
                        std::pair<off_t, long> *last);

// Walks the BCF records in `data`[from, len) of the block in which the header ends; `*open`
// tells whether the last one goes on past it. Empty, or why the records are damaged.
std::string walk_records(const unsigned char *data, int from, int len, bool *open);

}  // namespace vfjoin

#endif
