// input: one input of a join, examined once before anything is written.
//
// An input fits when it is a regular file (opened without blocking, so a FIFO or a device is
// refused rather than waited on), of the first input's kind (BCF2 in BGZF, or bgzipped VCF),
// with a header that htslib reads and that fits the header union, for BCF the first input's
// BCF2 minor version, and data that a reader can follow to the end: every BGZF block header
// after the header's block valid, their sizes chaining exactly to the end-of-file block that
// is the file's last 28 bytes, and the data not ending inside a record (for BCF, as far as
// the records that share the header's block show; for VCF, a last line without its newline).
//
// Examining is split in two: examine() reads what one input says about itself and may run in
// any thread (one input per thread at a time); admit() holds it to the inputs before it and
// runs in the join's main thread, in input order.
#ifndef VARFORGE_JOIN_INPUT_H
#define VARFORGE_JOIN_INPUT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bgzf_blocks.h"
#include "header_union.h"
#include "source.h"

namespace vfjoin {

enum class Kind { kNone, kBcf, kVcf };

struct Input {
    const char *name = nullptr;
    int fd = -1;     // the examined descriptor, kept for later steps, or -1 (re-opened by name)
    int alias = -1;  // an earlier input that is this same file (standard input named again)
    Identity id;     // what must be unchanged when it is read again
    Kind kind = Kind::kNone;
    int minor = -1;          // BCF2 minor version
    int64_t tail_block = 0;  // the block in which the header ends...
    int tail_from = 0;       // ...the header's bytes in it, ...
    int tail_len = 0;        // ...and its decompressed length (records follow when larger)
    int64_t data_start = 0;  // the first byte of the block after it
    bool tail_open = false;  // the last record in that block goes on past it
    // A remote input's first bytes at data_start, by which its copy proves that the server
    // sent the bytes asked for.
    unsigned char data_head[kBlockHead] = {};
    int data_head_len = 0;
    // A remote input's connection, kept from its check for its copy (which takes it), so
    // that the copy asks for its data on a connection already open.
    mutable std::shared_ptr<Source> remote;
    std::string text;  // the header text, until admitted
    // The header's block, decompressed, when kept from the examination for the copy (its
    // records are [tail_from, tail_len)); null when they are read again.
    std::shared_ptr<const unsigned char[]> tail;

    int64_t data_end() const;  // the end of its data: its size less the end-of-file block
    size_t tail_bytes() const { return size_t(tail_len - tail_from); }
};

// The files the join replaces, which no input may be: the output, and its indexes.
struct OutputId {
    struct File {
        dev_t dev;
        ino_t ino;
        const char *what;  // why an input may not be it, e.g. "it is also the output"
    };
    std::vector<File> files;
};

// Opens and examines `in->name`: everything that needs no other input. `keep` says whether the
// descriptor stays open (standard input always does); `keep_tail` whether the records that
// share the header's block are kept. false with `why` set when it does not fit.
bool examine(Input *in, bool keep, bool keep_tail, const OutputId &out, std::string *why);

// Holds the examined input `in` to the first input's kind and version and adds its header to
// the union (its text is then dropped). false with `why` set when it does not fit.
bool admit(Input *in, Kind *kind, int *minor, HeaderUnion *header, std::string *why);

// Walks the data blocks of an examined input through a Source of its own (safe beside the
// copy of the same input): false with `why` unless they chain to the end-of-file block and the
// data does not end inside a record.
bool walk_input(const Input &in, std::string *why);

// The checks of walk_input() over a remote input's data blocks walked as they were copied:
// false with `why` unless they ended exactly at its end-of-file block and the data does not
// end inside a record.
bool walk_end(const Input &in, const BlockWalk &walk, std::string *why);

// Walks the BCF records in `data`[from, len) of the block in which the header ends; `*open`
// tells whether the last one goes on past it. false when they are damaged.
bool walk_records(const unsigned char *data, int from, int len, bool *open, std::string *why);

}  // namespace vfjoin

#endif
