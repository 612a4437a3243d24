// varforge: the variant-file tool's driver. `varforge <command> <arguments>` hands `view` and
// `index` to the library's command entries and runs `cat` itself.
//
// `cat` joins BCF files without decoding a record: it writes the first input's header, then
// copies every input's compressed BGZF blocks after its header as raw bytes, leaving out the
// end-of-file block that ends each input, and lets the output's close write the one
// end-of-file block of the result. What keeps the result whole:
//  - Every input is opened once, and checked before the first byte is written: a regular
//    file (standard input too, when it is a redirected file), BCF2 in BGZF, a readable
//    header, the end-of-file block as its last 28 bytes (so that leaving those bytes out
//    loses nothing), the first input's BCF2 minor version, and a header whose contig, ID and
//    sample dictionaries agree with the first input's wherever both define an index (a
//    record refers to these only by index, so under a disagreeing header it would be
//    misread). A failing input is named on standard error and nothing is written.
//  - The copy reads through the descriptor that was checked. Where descriptors run short,
//    an input is re-opened by name and must still be the same file (device, inode, size,
//    modification time). An input that changed after its check ends the output without an
//    end-of-file block, so that it reads as truncated, never as complete.
//  - Writers usually start the records inside the block where the header ends. Those bytes
//    are re-compressed into fresh blocks before the raw copy, which starts at the block after.
//  - The raw spans are copied inside the kernel (copy_file_range, or splice into a pipe)
//    where it accepts the pair of files, and through a buffer where it does not; the bytes
//    are the same either way.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bgzf_bcf/bcf.h"
#include "bgzf_bcf/bgzf.h"
#include "hts_commands/commands.h"

using vf::bcf_close;
using vf::bcf_hdr_destroy;
using vf::bcf_hdr_read;
using vf::bcf_hdr_t;
using vf::bcf_hdr_write;
using vf::bcf_open;
using vf::bcf_t;

extern "C" int bcf_cat(int n, const char **fn);

namespace {

constexpr size_t kBufSize = 65536;  // the copy buffer of the read/write fallback
constexpr off_t kEofSize = 28;      // the empty block that ends every BGZF file
constexpr int kSpareFds = 32;       // descriptors left for everything but kept inputs

const char kUsage[] =
    "\n"
    "Usage:   varforge <command> <arguments>\n\n"
    "Command: view      print, extract, convert and call SNPs from BCF\n"
    "         index     index BCF\n"
    "         cat       concatenate BCFs\n"
    "\n";

void report(const char *fn, const std::string &what) {
    fprintf(stderr, "[bcf_cat] %s: %s\n", fn, what.c_str());
}

const char *open_error(int err) {
    return err == EPROTONOSUPPORT ? "remote files are not supported" : strerror(err);
}

// One checked input: what the copy needs and what it must find unchanged.
struct Input {
    const char *name;
    int fd = -1;  // the checked descriptor, or -1 when it is re-opened by name for the copy
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    int64_t tail_block = 0;  // the block in which the header ends...
    int tail_from = 0;       // ...the header's bytes in it, ...
    int tail_len = 0;        // ...and its decompressed length (records follow when larger)
    int64_t data_start = 0;  // the first byte of the block after it
};

// What every later input is held to: the first input's version and dictionaries.
struct First {
    bcf_hdr_t *hdr = nullptr;  // written to the output; byte-identical headers skip the
    vf::bcf_dicts dicts;       // comparison of dictionaries
    ~First() { bcf_hdr_destroy(hdr); }
};

bool same_file(const struct stat &st, const Input &in) {
    return st.st_dev == in.dev && st.st_ino == in.ino && st.st_size == in.size &&
           st.st_mtim.tv_sec == in.mtime.tv_sec && st.st_mtim.tv_nsec == in.mtime.tv_nsec;
}

// The header's fit with the first input's: empty when it fits, else why not. The first
// input's header is taken over by `first` (and `*h` set to NULL).
std::string header_fault(bcf_hdr_t **h, First *first) {
    std::string why;
    if (!first->hdr) {
        if (!vf::bcf_hdr_dicts(*h, &first->dicts, &why)) return "bad header: " + why;
        first->hdr = *h;
        *h = nullptr;
        return {};
    }
    const bcf_hdr_t *a = first->hdr, *b = *h;
    if (b->minor != a->minor)
        return "BCF version 2." + std::to_string(b->minor) +
               " does not match the first input's 2." + std::to_string(a->minor);
    if (b->l_txt == a->l_txt && memcmp(b->txt, a->txt, size_t(a->l_txt)) == 0) return {};
    vf::bcf_dicts d;
    if (!vf::bcf_hdr_dicts(b, &d, &why)) return "bad header: " + why;
    why = vf::bcf_dicts_mismatch(first->dicts, d);
    return why.empty() ? why : "header does not match the first input's: " + why;
}

// Opens and checks one input; `keep` says whether its descriptor stays open for the copy.
bool check_input(Input *in, First *first, bool keep, const struct stat &out_st) {
    const char *fn = in->name;
    bcf_t *b = bcf_open(fn, "r");
    if (!b) {
        report(fn, open_error(errno));
        return false;
    }
    const int fd = b->fp->x.fpr->fd;
    struct stat st;
    std::string fault;
    bcf_hdr_t *h = nullptr;
    if (fstat(fd, &st) != 0) {
        fault = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        fault = "not a regular file";
    } else if (S_ISREG(out_st.st_mode) && st.st_dev == out_st.st_dev &&
               st.st_ino == out_st.st_ino) {
        fault = "it is also the output";
    } else if (strcmp(fn, "-") == 0 && lseek(fd, 0, SEEK_SET) != 0) {
        fault = strerror(errno);
    } else if (!(h = bcf_hdr_read(b))) {
        fault = b->fp->error ? b->fp->error : "cannot read the header";
    } else {
        const int eof = vf::bgzf_check_EOF(b->fp);
        if (eof != 1)
            fault = eof == 0 ? "no BGZF end-of-file block at the end (truncated file?)"
                             : "cannot read the end of the file";
        else
            fault = header_fault(&h, first);
    }
    if (fault.empty()) {
        const vf::BGZF *bg = b->fp;
        in->dev = st.st_dev;
        in->ino = st.st_ino;
        in->size = st.st_size;
        in->mtime = st.st_mtim;
        in->tail_block = bg->block_address;
        in->tail_from = bg->block_offset;
        in->tail_len = bg->block_length;
        in->data_start = bg->x.fpr->offset;
        // Standard input cannot be opened again by name, so it is always kept.
        if ((keep || strcmp(fn, "-") == 0) && (in->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
            fault = strerror(errno);
    }
    bcf_hdr_destroy(h);
    bcf_close(b);
    if (fault.empty()) return true;
    report(fn, fault);
    return false;
}

// Raises the soft descriptor limit as far as allowed; returns how many inputs may stay open.
long input_fd_budget() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    if (rl.rlim_cur == RLIM_INFINITY) return 1L << 30;
    return long(rl.rlim_cur) > kSpareFds ? long(rl.rlim_cur) - kSpareFds : 0;
}

// Reports a failed write to standard output (`err` 0: the cause is unknown); returns false.
bool output_failed(int err) {
    fprintf(stderr, "[bcf_cat] error writing to standard output: %s\n",
            err ? strerror(err) : "write failed");
    return false;
}

// The raw copy. Each way of copying is tried until the kernel refuses it for this pair of
// files; a refusal is remembered for the rest of the run.
class Copier {
   public:
    explicit Copier(int out) : out_(out) {
        struct stat st;
        to_pipe_ = fstat(out, &st) == 0 && S_ISFIFO(st.st_mode);
    }

    // Copies [from, to) of `in`. false on failure, with the message written.
    bool copy(const Input &in, int fd, off_t from, off_t to) {
        off_t at = from;
        if (kernel_copy_ && !in_kernel(in.name, fd, &at, to, false)) return false;
        if (at < to && splice_ && to_pipe_ && !in_kernel(in.name, fd, &at, to, true)) return false;
        return at >= to || buffered(in, fd, at, to);
    }

   private:
    static bool refused(int err) {
        return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP ||
               err == EBADF || err == ENOTSUP;
    }

    // Moves bytes with copy_file_range or splice while the kernel takes them. Stops early,
    // leaving the rest to the next way, when it refuses or moves nothing; false on a failure,
    // with the message written.
    bool in_kernel(const char *name, int fd, off_t *at, off_t to, bool use_splice) {
        while (*at < to) {
            const size_t len = size_t(to - *at > (1 << 30) ? (1 << 30) : to - *at);
            off64_t off = *at;
            const ssize_t n = use_splice ? splice(fd, &off, out_, nullptr, len, SPLICE_F_MORE)
                                         : copy_file_range(fd, &off, out_, nullptr, len, 0);
            if (n > 0) {
                *at += n;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || refused(errno)) {
                // The kernel will not (or can no longer) move these bytes this way: the next
                // way takes over, which also tells a shrunken input from a refusal.
                (use_splice ? splice_ : kernel_copy_) = false;
                return true;
            }
            const int err = errno;
            if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EPIPE)
                return output_failed(err);
            report(name, std::string("cannot copy to standard output: ") + strerror(err));
            return false;
        }
        return true;
    }

    bool buffered(const Input &in, int fd, off_t at, off_t to) {
        if (buf_.empty()) buf_.resize(kBufSize);
        while (at < to) {
            const size_t want = size_t(to - at) < kBufSize ? size_t(to - at) : kBufSize;
            const ssize_t got = pread(fd, buf_.data(), want, at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                report(in.name, got < 0 ? strerror(errno) : "the file shrank while it was copied");
                return false;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = write(out_, buf_.data() + done, size_t(got - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return output_failed(w < 0 ? errno : EIO);
                done += w;
            }
            at += got;
        }
        return true;
    }

    int out_;
    bool to_pipe_ = false;
    bool kernel_copy_ = true, splice_ = true;
    std::vector<char> buf_;
};

// Appends one checked input to the output, through the descriptor that was checked or,
// when that was not kept, through a new one that must still open the same file.
bool copy_input(Input &in, bcf_t *out, Copier &copier) {
    int fd = in.fd;
    in.fd = -1;
    if (fd < 0 && (fd = open(in.name, O_RDONLY | O_CLOEXEC)) < 0) {
        report(in.name, strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !same_file(st, in) || lseek(fd, in.tail_block, SEEK_SET) < 0) {
        report(in.name, "the file changed after it was checked");
        close(fd);
        return false;
    }
    // The block in which the header ends, read again: the records that share it.
    vf::BGZF *bg = vf::bgzf_dopen(fd, "r");
    if (!bg) {
        report(in.name, strerror(errno));
        return false;
    }
    bool ok = vf::bgzf_read_block(bg) == 0 && bg->block_length == in.tail_len &&
              bg->x.fpr->offset == in.data_start;
    if (!ok) {
        report(in.name, "the file changed after it was checked");
    } else if (in.tail_from < in.tail_len) {
        errno = 0;
        if (vf::bgzf_write(out->fp, static_cast<char *>(bg->uncompressed_block) + in.tail_from,
                           size_t(in.tail_len - in.tail_from)) < 0 ||
            vf::bgzf_flush(out->fp) < 0)
            ok = output_failed(errno);
    }
    // Whatever the output's stream holds has reached its descriptor by now (the stream writes
    // whole blocks to an unbuffered FILE), so the raw span follows it in order.
    if (ok) ok = copier.copy(in, bg->x.fpr->fd, off_t(in.data_start), in.size - kEofSize);
    vf::bgzf_close(bg);
    return ok;
}

void close_kept(std::vector<Input> &inputs) {
    for (auto &in : inputs)
        if (in.fd >= 0) {
            close(in.fd);
            in.fd = -1;
        }
}

// The join itself. Memory runs short only as std::bad_alloc, which bcf_cat turns into a
// message; an output begun by then is left without its end-of-file block.
int cat_files(int n, const char **fn) {
    struct stat out_st;
    if (fstat(STDOUT_FILENO, &out_st) != 0) memset(&out_st, 0, sizeof out_st);
    std::vector<Input> inputs(size_t(n > 0 ? n : 0));
    const long budget = n > 0 ? input_fd_budget() : 0;
    First first;
    for (int i = 0; i < n; i++) {
        inputs[size_t(i)].name = fn[i];
        if (!check_input(&inputs[size_t(i)], &first, i < budget, out_st)) {
            close_kept(inputs);
            return 1;
        }
    }

    // From here on a closed pipe is a write error that we report, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    bcf_t *out = bcf_open("-", "w");
    if (!out) {
        fprintf(stderr, "[bcf_cat] cannot open standard output: %s\n", strerror(errno));
        close_kept(inputs);
        return 1;
    }
    Copier copier(out->fp->file_descriptor);
    bool ok = true;
    if (first.hdr) {
        errno = 0;
        if (bcf_hdr_write(out, first.hdr) != 0) ok = output_failed(errno);
    }
    for (int i = 0; ok && i < n; i++) ok = copy_input(inputs[size_t(i)], out, copier);
    // A failed output gets no end-of-file block, so that it never reads as complete.
    if (!ok) out->fp->error = "failed";
    close_kept(inputs);
    errno = 0;
    if (bcf_close(out) != 0 && ok) ok = output_failed(errno);
    return ok ? 0 : 1;
}

}  // namespace

extern "C" int bcf_cat(int n, const char **fn) {
    try {
        return cat_files(n, fn);
    } catch (const std::bad_alloc &) {
        fputs("[bcf_cat] out of memory\n", stderr);
        return 1;
    }
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
