// varforge: the variant-file tool's driver. `varforge <command> <arguments>` hands `view` and
// `index` to the library's command entries and runs `cat` itself.
//
// `cat` joins BCF files without decoding a record: it writes the first input's header, then
// copies every input's compressed BGZF blocks after its header as raw bytes, leaving out the
// end-of-file block that ends each input, and lets the output's close write the one
// end-of-file block of the result. Two things keep the result whole:
//  - Every input is opened and checked before the first byte is written: a regular file,
//    BCF2 in BGZF, a readable header, and the end-of-file block as its last 28 bytes (so that
//    leaving those bytes out loses nothing). A failing input is named on standard error and
//    nothing is written to standard output.
//  - Writers usually start the records inside the block where the header ends. Those bytes
//    are re-compressed into fresh blocks before the raw copy, which starts at the block after.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/bcf.h"
#include "lib/bgzf.h"
#include "lib/commands.h"
#include "lib/knetfile.h"

using vf::bcf_close;
using vf::bcf_hdr_destroy;
using vf::bcf_hdr_read;
using vf::bcf_hdr_t;
using vf::bcf_hdr_write;
using vf::bcf_open;
using vf::bcf_t;
using vf::knet_read;

extern "C" int bcf_cat(int n, const char **fn);

namespace {

constexpr off_t kBufSize = 65536;  // the copy buffer and the largest chunk
constexpr off_t kEofSize = 28;     // the empty block that ends every BGZF file

const char kUsage[] =
    "\n"
    "Usage:   varforge <command> <arguments>\n\n"
    "Command: view      print, extract, convert and call SNPs from BCF\n"
    "         index     index BCF\n"
    "         cat       concatenate BCFs\n"
    "\n";

void report(const char *fn, const char *what) {
    fprintf(stderr, "[bcf_cat] %s: %s\n", fn, what);
}

const char *open_error(int err) {
    return err == EPROTONOSUPPORT ? "remote files are not supported" : strerror(err);
}

// Opens an input and reads its header. The size is that of the open file, so it stays
// valid for the copy even if the name is replaced meanwhile. On failure the input is
// reported and closed, and NULL returned.
bcf_t *open_input(const char *fn, bcf_hdr_t **hdr, off_t *size) {
    bcf_t *in = bcf_open(fn, "r");
    if (!in) {
        report(fn, open_error(errno));
        return nullptr;
    }
    struct stat st;
    const char *fault = nullptr;
    if (fstat(in->fp->x.fpr->fd, &st) != 0) {
        fault = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        fault = "not a regular file";
    } else if (!(*hdr = bcf_hdr_read(in))) {
        fault = in->fp->error ? in->fp->error : "cannot read the header";
    }
    if (fault) {
        report(fn, fault);
        bcf_close(in);
        return nullptr;
    }
    *size = st.st_size;
    return in;
}

// Checks one input before anything is written.
bool check_input(const char *fn) {
    bcf_hdr_t *h = nullptr;
    off_t size = 0;
    bcf_t *in = open_input(fn, &h, &size);
    if (!in) return false;
    bcf_hdr_destroy(h);
    const int eof = vf::bgzf_check_EOF(in->fp);
    bcf_close(in);
    if (eof == 1) return true;
    report(fn, eof == 0 ? "no BGZF end-of-file block at the end (truncated file?)"
                        : "cannot read the end of the file");
    return false;
}

bool write_failed(bcf_t *out) {
    fprintf(stderr, "[bcf_cat] error writing to standard output: %s\n",
            errno ? strerror(errno) : "write failed");
    out->fp->error = "write failed";  // closing a failed stream adds no end-of-file block
    return false;
}

// Appends one input, whose header has been read, to the output.
bool copy_input(const char *fn, bcf_t *in, off_t size, bcf_t *out, char *buf) {
    vf::BGZF *bg = in->fp;
    // The records that share the header's last block.
    if (bg->block_offset < bg->block_length) {
        const size_t rest = size_t(bg->block_length - bg->block_offset);
        errno = 0;
        if (vf::bgzf_write(out->fp, static_cast<char *>(bg->uncompressed_block) + bg->block_offset,
                           rest) < 0 ||
            vf::bgzf_flush(out->fp) < 0)
            return write_failed(out);
    }
    vf::knetFile *r = bg->x.fpr;
    FILE *w = out->fp->x.fpw;
    const off_t end = size - kEofSize;
    while (r->offset < end) {
        const off_t len = end - r->offset <= kBufSize ? end - r->offset : kBufSize;
        errno = 0;
        const off_t got = knet_read(r, buf, len);
        if (got != len) {
            report(fn, got < 0 ? strerror(errno) : "the file shrank while it was copied");
            out->fp->error = "input failed";
            return false;
        }
        errno = 0;
        if (fwrite(buf, 1, size_t(len), w) != size_t(len)) return write_failed(out);
    }
    return true;
}

}  // namespace

extern "C" int bcf_cat(int n, const char **fn) {
    for (int i = 0; i < n; i++)
        if (!check_input(fn[i])) return 1;

    // From here on a closed pipe is a write error that we report, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    char *buf = static_cast<char *>(malloc(size_t(kBufSize)));
    if (!buf) {
        fprintf(stderr, "[bcf_cat] out of memory\n");
        return 1;
    }
    bcf_t *out = bcf_open("-", "w");
    if (!out) {
        fprintf(stderr, "[bcf_cat] cannot open standard output: %s\n", strerror(errno));
        free(buf);
        return 1;
    }
    bool ok = true;
    for (int i = 0; ok && i < n; i++) {
        bcf_hdr_t *h = nullptr;
        off_t size = 0;
        bcf_t *in = open_input(fn[i], &h, &size);
        if (!in) {
            out->fp->error = "input failed";
            ok = false;
            break;
        }
        if (i == 0) {
            errno = 0;
            if (bcf_hdr_write(out, h) != 0) ok = write_failed(out);
        }
        bcf_hdr_destroy(h);
        if (ok) ok = copy_input(fn[i], in, size, out, buf);
        bcf_close(in);
    }
    errno = 0;
    if (bcf_close(out) != 0 && ok) {
        fprintf(stderr, "[bcf_cat] error writing to standard output: %s\n",
                errno ? strerror(errno) : "write failed");
        ok = false;
    }
    free(buf);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 1;
    }
    if (strcmp(argv[1], "view") == 0) return bcfview(argc - 1, argv + 1);
    if (strcmp(argv[1], "index") == 0) return bcf_main_index(argc - 1, argv + 1);
    if (strcmp(argv[1], "cat") == 0) return bcf_cat(argc - 2, const_cast<const char **>(argv + 2));
    fputs("[main] Unrecognized command.\n", stderr);
    return 1;
}
