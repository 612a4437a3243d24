// knetfile: the variant-file library's byte reader for files named by a path.
//
// Conventions:
//  1. Local files only. A name that looks like a URL ("scheme://...") is refused: knet_open
//     returns NULL with errno set to EPROTONOSUPPORT.
//  2. `offset` is always the file position of the next byte that knet_read delivers.
//  3. Failures come back as NULL or -1 with errno set; nothing is printed.
//  4. The caller owns the handle from knet_open/knet_dopen until knet_close.
#ifndef VARFORGE_BGZF_BCF_KNETFILE_H
#define VARFORGE_BGZF_BCF_KNETFILE_H

#include <stdint.h>
#include <sys/types.h>

namespace vf {

enum { KNF_TYPE_LOCAL = 1, KNF_TYPE_FTP = 2, KNF_TYPE_HTTP = 3 };

// Only `type`, `fd` and `offset` are used by local files; the rest stays zero so that the
// record keeps the layout its callers know.
typedef struct knetFile_s {
    int type;
    int fd;
    int64_t offset;
    char *host, *port;
    int ctrl_fd;
    int pasv_ip[4];
    int pasv_port, max_response, no_reconnect, is_ready;
    char *response, *retr, *size_cmd;
    int64_t seek_offset, file_size;
    char *path, *http_host;
} knetFile;

// Opens `fn` for reading ("r"; "-" is standard input, which knet_close leaves open).
knetFile *knet_open(const char *fn, const char *mode);

// Wraps an open descriptor for reading from its current position, which becomes `offset`
// (0 for a descriptor that cannot seek); the descriptor is closed by knet_close.
knetFile *knet_dopen(int fd, const char *mode);

// Reads up to `len` bytes into `buf`, retrying short reads: the result is `len` except at the
// end of the file, or -1 on a read error. `offset` advances by the bytes delivered.
off_t knet_read(knetFile *fp, void *buf, off_t len);

// Closes the file and frees the handle; 0 or -1. A NULL handle is accepted.
int knet_close(knetFile *fp);

}  // namespace vf

#endif
