// join: `varforge cat`, the joining of BCF files (or bgzipped VCF files) by copying their
// compressed blocks.
//
// The driver (join.cpp) runs named steps in order:
//  1. check the inputs: each is examined (input.h) and admitted to the header union
//     (header_union.h) before the first byte is written;
//  2. write the header and the data (copy.h): each input's re-encoded first records and its
//     raw blocks, then one end-of-file block;
//  3. finish the checks that ran beside the copy: the walks of the inputs' blocks and, with
//     -W, the order an index needs (order.h);
//  4. write the index (index_merge.h), merged from the inputs' parts (prepare.h);
//  5. commit: the output and its index put in place as a pair (commit.h).
// A join that fails at any step writes nothing more, ends standard output without an
// end-of-file block so that it never reads as complete, and leaves an existing FILE of
// `-o FILE` as it was.
//
// How the join reports failure, one convention throughout varforge/join/:
//  1. A step that can fail returns bool: true when it succeeded; on false it has filled a
//     Fault (fault.h): the file to name and why, in a few words. It prints nothing.
//  2. The units below the steps, which see one file at a time (source, bgzf_blocks,
//     header_union, index_format, index_merge, order), return bool with `std::string *why`, a
//     reason that names no file; the step that called them makes the Fault.
//  3. Only the driver prints: "[bcf_cat] FILE: WHY", or for the output
//     "[bcf_cat] error writing to FILE: WHY".
//
// Remote inputs (URLs, source.h) go through the same steps: their headers are fetched and
// judged in step 1 like local files; their data is streamed by a Fetcher (fetch.h), from each
// one's admission on, ahead of the copy, and walked in step 2 as it passes, rather than read
// once more for a walk beforehand.
//
// Threads: the driver's thread does the steps; a pool (pool.h) examines inputs ahead of it,
// encodes their first records ahead of the copy, walks their blocks and prepares their index
// parts; the Fetcher's threads fetch remote inputs' data. cat_command turns htslib's messages off
// before the pool starts, once.
#ifndef VARFORGE_JOIN_JOIN_H
#define VARFORGE_JOIN_JOIN_H

#include <vector>

namespace vfjoin {

struct JoinOptions {
    const char *output = nullptr;  // null: standard output
    bool quiet = false;
    bool write_index = false;
    bool sync = true;
    int verbose = 0;
    std::vector<const char *> inputs;
    bool walk_blocks = true;  // off only in a benchmark's build, to show what the walk costs
    int fetch_ahead = 8;      // remote inputs whose data is fetched at once, ahead of the copy
};

// Runs a join; returns the exit status. htslib's messages must be off (cat_command).
int run_join(const JoinOptions &o);

// Runs `varforge cat` with its arguments (the words after "cat"), over `base` (what the
// command line does not set); returns the exit status.
int cat_command(int argc, const char **argv, const JoinOptions &base = {});

}  // namespace vfjoin

#endif
