// bcf: the variant-file library's access to BCF files: the BCF2 header and the BGZF stream
// beneath it. A BCF2 file is one BGZF stream holding the magic "BCF\2\2" (minor version 1 is
// read too), the header text length as a little-endian 32-bit number, the header text
// (normally ending in a NUL byte) and then the binary records.
//
// Conventions:
//  1. The caller owns every handle from bcf_open / bcf_hdr_read until bcf_close /
//     bcf_hdr_destroy.
//  2. Failures come back as NULL or -1. After bcf_hdr_read fails, `fp->error` says why in a
//     few words; after bcf_open fails, errno does. Nothing is printed.
//  3. Only BCF in BGZF is handled; `is_vcf` is always 0 and `v` unused.
#ifndef VARFORGE_BGZF_BCF_BCF_H
#define VARFORGE_BGZF_BCF_BCF_H

#include <stdint.h>

#include "bgzf.h"

namespace vf {

// A BCF header. `txt` holds the header text exactly as stored (`l_txt` bytes, plus a NUL
// kept after them). `ns` lists the `n_ref` contig names found in "##contig=<ID=..." lines
// and `sns` the `n_smpl` sample names of the "#CHROM" line; the names themselves live,
// NUL-terminated, in `name` (`l_nm` bytes) and `sname` (`l_smpl` bytes). `minor` is the
// BCF2 minor version of the file's magic (1 or 2); bcf_hdr_write writes it back.
typedef struct {
    int32_t n_ref, n_smpl, l_nm, l_smpl, l_txt;
    char *name, *sname, *txt;
    char **ns, **sns;
    int32_t minor;
} bcf_hdr_t;

typedef struct {
    int is_vcf;
    void *v;
    BGZF *fp;
} bcf_t;

// Opens `fn` with mode "r" (read) or "w" (write; "-" is standard output). NULL on failure.
bcf_t *bcf_open(const char *fn, const char *mode);

// The same over an open descriptor, which the handle owns from then on (see bgzf_dopen).
bcf_t *bcf_dopen(int fd, const char *mode);

// Closes the file (a written one is ended with the BGZF end-of-file block); 0 or -1.
int bcf_close(bcf_t *b);

// Reads the magic and the header. On return the reader's `offset` is the first byte of the
// block after the one in which the header ends, and that block's bytes that follow the
// header are kept undelivered in the stream (`block_offset` to `block_length`).
bcf_hdr_t *bcf_hdr_read(bcf_t *b);

// Writes the magic and `h`'s text, then flushes them as whole blocks to the stream's FILE,
// so that raw blocks written to it afterwards follow the header; 0 or -1.
int bcf_hdr_write(bcf_t *b, const bcf_hdr_t *h);

// Releases a header; NULL is accepted.
void bcf_hdr_destroy(bcf_hdr_t *h);

}  // namespace vf

#endif
