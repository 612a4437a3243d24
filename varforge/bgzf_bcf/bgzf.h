// bgzf: the variant-file library's BGZF stream, a series of gzip members ("blocks") of at
// most 64 KiB each, every one carrying its own compressed size, ended by an empty block.
//
// Conventions:
//  1. A stream is opened for reading ("r") over a knetFile, or for writing over a C FILE
//     ("w": fast Huffman-only coding; "w0".."w9": full deflate at that level). The FILE is
//     made unbuffered: the stream writes whole blocks, and so may a caller who writes raw
//     blocks to it. The path "-" is standard input or output; a stream never closes
//     standard output, it only flushes it.
//  2. Functions return 0 (or a byte count) on success and -1 on failure; after a failure
//     `error` names what went wrong in a few words. Nothing is printed.
//  3. Reading keeps the current block decompressed in `uncompressed_block`: the bytes from
//     `block_offset` to `block_length` have not been delivered yet, and `x.fpr->offset` is the
//     file position of the next block. bgzf_read never reads a block before it needs a byte
//     of it, so a read that ends exactly at a block's end leaves the next block untouched.
//  4. Writing collects bytes into blocks of BGZF_BLOCK_SIZE; bgzf_flush writes every pending
//     byte to `x.fpw` as whole blocks, so raw blocks written to that FILE afterwards follow
//     them. Closing a write stream flushes and appends the end-of-file block, unless the
//     stream has failed (`error` set): then nothing more is written.
#ifndef VARFORGE_BGZF_BCF_BGZF_H
#define VARFORGE_BGZF_BCF_BGZF_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "knetfile.h"

namespace vf {

enum {
    BGZF_MAX_BLOCK_SIZE = 0x10000,  // largest block, compressed or not
    BGZF_BLOCK_SIZE = 0xff00,       // uncompressed bytes per written block
    BGZF_EOF_SIZE = 28,             // size of the empty end-of-file block
};

// The empty block that ends every BGZF file.
extern const unsigned char BGZF_EOF_BLOCK[BGZF_EOF_SIZE];

typedef struct BGZF {
    int file_descriptor;
    char open_mode;  // 'r' or 'w'
    bool owned_file;
    bool is_uncompressed;
    union {
        knetFile *fpr;  // reader of a stream opened for reading
        FILE *fpw;      // file of a stream opened for writing
    } x;
    int uncompressed_block_size;
    int compressed_block_size;
    void *uncompressed_block;
    void *compressed_block;
    int64_t block_address;  // file offset of the current block
    int block_length;       // decompressed bytes in the current block
    int block_offset;       // bytes of it already delivered (reading) or collected (writing)
    int cache_size;         // unused
    const char *error;
    void *cache;  // the stream's zlib state
} BGZF;

// Opens `path` with `mode` ("r", "w", "w0".."w9"); NULL with errno set on failure.
BGZF *bgzf_open(const char *path, const char *mode);

// Opens a stream over the open descriptor `fd`: for reading ("r"), from the descriptor's
// current position (a block boundary); for writing ("w", "w0".."w9"), at its current end.
// The stream owns `fd` from then on, even when this fails: bgzf_close (or the failure)
// closes it. NULL with errno set on failure.
BGZF *bgzf_dopen(int fd, const char *mode);

// Closes the stream and frees it; 0, or -1 when the stream failed or a write failed.
int bgzf_close(BGZF *fp);

// Reads up to `length` decompressed bytes; the count (short only at the end of the stream)
// or -1 on a read or format error.
ssize_t bgzf_read(BGZF *fp, void *data, size_t length);

// Queues `length` bytes for compression; `length` or -1.
ssize_t bgzf_write(BGZF *fp, const void *data, size_t length);

// Compresses and writes every queued byte; 0 or -1.
int bgzf_flush(BGZF *fp);

// Reads the next block into `uncompressed_block`. 0 on success; at the end of the file it
// returns 0 with `block_length` 0. -1 on error.
int bgzf_read_block(BGZF *fp);

// For a stream opened for reading: 1 when the file ends with the end-of-file block, 0 when it
// does not (including files shorter than the block), -1 when the file cannot be examined.
// Does not move the reader.
int bgzf_check_EOF(BGZF *fp);

}  // namespace vf

#endif
