/* fault_shim: preloaded (LD_PRELOAD) into a program run by the fault harness. It interposes
 * the C library's entry points for opening (temporary files too), reading, writing, flushing,
 * syncing, closing, seeking, stat, descriptor control (dup, fcntl), permission bits, making,
 * renaming and removing names, and allocating, as the program, htslib and the C++ runtime
 * call them, and counts or fails them. glibc's own calls inside stdio (a buffer flushed by
 * printf, say) never reach an interposer, so every stdio entry point is interposed itself,
 * and the flush that exit() makes of a stream still holding data is modelled as one more
 * call.
 *
 * Environment (read at load):
 *   FAULT_MODE    count | fail | eintr | short   (anything else: pass everything through)
 *   FAULT_AT      fail mode: the 1-based number of the call that fails
 *   FAULT_KIND    fail mode: a kind of call (open, read, ..., alloc, as the counts name them):
 *                 FAULT_AT then numbers the calls of that kind only. Calls made by other
 *                 threads interleave differently from run to run; the calls of one kind that
 *                 one thread makes keep their numbers.
 *   FAULT_REPORT  file the shim appends to: the counts (count mode) and, in fail mode, the
 *                 failed call with its stack (and, for a call on a name, the name), and the
 *                 stack of a crash
 *   FAULT_STDERR  1: calls on standard error count too (they are left alone by default, so
 *                 that the program's messages survive)
 *   FAULT_MANUAL  1: nothing counts until the program calls fault_arm(1) (found with dlsym);
 *                 otherwise counting starts when main() is entered.
 * A unit test that preloads the shim fails allocations by hand instead, whatever the mode
 * (the functions found with dlsym): fault_fail_alloc(n) makes the n-th allocation from now
 * fail (0: none) and restarts the counts that fault_alloc_seen() (allocations tried since)
 * and fault_alloc_live() (blocks obtained since and not yet freed) return.
 * A failing I/O call returns -1, EOF or null with errno EIO (ENOSPC for writes and flushes)
 * and, on a stream, sets its error flag and drops what it held; a failing allocation returns
 * null with ENOMEM. A failing rename or link, sync or mode change returns -1 with EIO, EIO or
 * EPERM. eintr: every other read, write or sync call fails with EINTR first. short: every read
 * or write call moves half of what was asked. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    K_OPEN,
    K_READ,
    K_WRITE,
    K_FLUSH,
    K_CLOSE,
    K_SEEK,
    K_STAT,
    K_CONTROL,
    K_REMOVE,
    K_NAME,
    K_SYNC,
    K_MODE,
    K_ALLOC,
    K_KINDS
};
static const char *const kind_name[K_KINDS] = {"open", "read", "write",   "flush",  "close",
                                               "seek", "stat", "control", "remove", "name",
                                               "sync", "mode", "alloc"};
enum { M_OFF, M_COUNT, M_FAIL, M_EINTR, M_SHORT };
enum { PASS, FAIL, INTERRUPT, SHORTEN };

static int mode, with_stderr, armed;
static long fail_at, total, counts[K_KINDS];
static int fail_kind = -1;
static const char *report_path;
static __thread int busy __attribute__((tls_model("initial-exec")));
static int stdout_closed;
static FILE *streams[64]; /* streams opened by the program, for the flush at exit */

void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

static void *real_sym(void **slot, const char *name) {
    void *p = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!p) {
        busy++;
        p = dlsym(RTLD_NEXT, name);
        busy--;
        __atomic_store_n(slot, p, __ATOMIC_RELEASE);
    }
    return p;
}
#define REAL(fn) ((__typeof__(&fn))real_sym(&real_##fn, #fn))
#define SLOT(fn) static void *real_##fn

static void report_line(const char *text, int with_stack) {
    if (!report_path) return;
    busy++;
    int fd = open(report_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t r = write(fd, text, strlen(text));
        if (with_stack) {
            void *frames[32];
            int n = backtrace(frames, 32);
            backtrace_symbols_fd(frames + 2, n > 2 ? n - 2 : 0, fd);
        }
        (void)r;
        close(fd);
    }
    busy--;
}

enum { STILL, MOVES, WAITS }; /* WAITS: can be interrupted, not cut short (a sync) */

/* What to do with one call of `kind` on `path` (null when the call takes no name); `moves` is
 * MOVES for calls that can be interrupted or cut short (read and write of bytes at the
 * descriptor level), WAITS for calls that can only be interrupted. */
static int decide_on(int kind, const char *fn, int moves, const char *path) {
    if (!armed || busy) return PASS;
    if (mode == M_EINTR || mode == M_SHORT) {
        /* Syncs keep a toggle of their own: they come from one thread, in a fixed order,
         * while reads and writes may come from several. */
        static int toggle, sync_toggle;
        if (moves == STILL || (mode == M_SHORT && moves == WAITS)) return PASS;
        if (mode == M_SHORT) return SHORTEN;
        int *flip = moves == WAITS ? &sync_toggle : &toggle;
        return (*flip ^= 1) ? INTERRUPT : PASS;
    }
    if (mode != M_COUNT && mode != M_FAIL) return PASS;
    long n = __atomic_add_fetch(&total, 1, __ATOMIC_RELAXED);
    const long of_kind = __atomic_add_fetch(&counts[kind], 1, __ATOMIC_RELAXED);
    if (fail_kind >= 0) n = kind == fail_kind ? of_kind : 0;
    if (mode != M_FAIL || n != fail_at) return PASS;
    char line[4400];
    snprintf(line, sizeof line, "injected %ld %s %s%s%s\n", n, kind_name[kind], fn, path ? " " : "",
             path ? path : "");
    report_line(line, 1);
    return FAIL;
}
static int decide(int kind, const char *fn, int moves) {
    return decide_on(kind, fn, moves, NULL);
}

static int diag_fd(int fd) {
    return fd == STDERR_FILENO && !with_stderr;
}
static int diag_fp(FILE *fp) {
    return fp == stderr && !with_stderr;
}
static int decide_fd(int fd, int kind, const char *fn, int moves) {
    return diag_fd(fd) ? PASS : decide(kind, fn, moves);
}
static int decide_fp(FILE *fp, int kind, const char *fn) {
    return diag_fp(fp) ? PASS : decide(kind, fn, STILL);
}

/* A failed call on a stream: it holds nothing more, its error flag is set. */
static void spoil(FILE *fp, int err) {
    if (fp) {
        __fpurge(fp);
        fp->_flags |= _IO_ERR_SEEN;
    }
    errno = err;
}

static void track(FILE *fp, int add) {
    for (size_t i = 0; fp && i < sizeof streams / sizeof streams[0]; i++) {
        if (add ? streams[i] == NULL : streams[i] == fp) {
            streams[i] = add ? fp : NULL;
            return;
        }
    }
}

/* exit() flushes what streams still hold and ignores any failure; a program that relies on
 * it cannot report lost output. That flush is one call per stream with data left. */
static void exit_flush(void) {
    FILE *all[sizeof streams / sizeof streams[0] + 1];
    size_t n = 0;
    if (!stdout_closed) all[n++] = stdout;
    for (size_t i = 0; i < sizeof streams / sizeof streams[0]; i++)
        if (streams[i]) all[n++] = streams[i];
    for (size_t i = 0; i < n; i++)
        if (__fpending(all[i]) > 0 && decide_fp(all[i], K_FLUSH, "exit-flush") == FAIL)
            spoil(all[i], ENOSPC);
    if (mode == M_COUNT) {
        char line[400];
        int at = snprintf(line, sizeof line, "calls %ld", total);
        for (int k = 0; k < K_KINDS; k++)
            at += snprintf(line + at, sizeof line - (size_t)at, " %s %ld", kind_name[k], counts[k]);
        snprintf(line + at, sizeof line - (size_t)at, "\n");
        report_line(line, 0);
    }
    armed = 0;
}

static void on_crash(int sig) {
    char line[64];
    snprintf(line, sizeof line, "crash signal %d\n", sig);
    report_line(line, 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) static void shim_init(void) {
    const char *m = getenv("FAULT_MODE");
    mode = !m                    ? M_OFF
           : !strcmp(m, "count") ? M_COUNT
           : !strcmp(m, "fail")  ? M_FAIL
           : !strcmp(m, "eintr") ? M_EINTR
           : !strcmp(m, "short") ? M_SHORT
                                 : M_OFF;
    const char *at = getenv("FAULT_AT");
    fail_at = at ? atol(at) : 0;
    const char *kind = getenv("FAULT_KIND");
    for (int k = 0; kind && k < K_KINDS; k++)
        if (!strcmp(kind, kind_name[k])) fail_kind = k;
    report_path = getenv("FAULT_REPORT");
    const char *e = getenv("FAULT_STDERR");
    with_stderr = e && *e == '1';
    if (mode == M_FAIL && !dlsym(RTLD_DEFAULT, "__asan_init")) {
        void *frames[1];
        backtrace(frames, 1); /* loads the unwinder now, not inside a failing call */
        const int sigs[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
        for (size_t i = 0; i < sizeof sigs / sizeof sigs[0]; i++) signal(sigs[i], on_crash);
    }
}

/* Starting and stopping the count by hand (FAULT_MANUAL=1), as often as the program likes. */
void fault_arm(int on) {
    static int at_exit;
    if (on && !at_exit) at_exit = atexit(exit_flush) == 0;
    armed = on;
}

typedef int (*main_fn)(int, char **, char **);
static main_fn program_main;
static int armed_main(int argc, char **argv, char **envp) {
    const char *manual = getenv("FAULT_MANUAL");
    if (mode != M_OFF && !(manual && *manual == '1')) fault_arm(1);
    return program_main(argc, argv, envp);
}
SLOT(__libc_start_main);
int __libc_start_main(main_fn main, int argc, char **argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void *stack_end) {
    program_main = main;
    return REAL(__libc_start_main)(armed_main, argc, argv, init, fini, rtld_fini, stack_end);
}

/* ---- allocation ---- */

static long hand_fail_at, hand_seen, hand_live;
static int by_hand; /* set by the first fault_fail_alloc() */

void fault_fail_alloc(long n) {
    hand_fail_at = n;
    hand_seen = hand_live = 0;
    by_hand = 1;
}
long fault_alloc_seen(void) {
    return hand_seen;
}
long fault_alloc_live(void) {
    return hand_live;
}

/* FAIL when this allocation is to fail, by hand or by the mode. */
static int decide_alloc(const char *fn) {
    if (by_hand && !busy && ++hand_seen == hand_fail_at) return hand_fail_at = 0, FAIL;
    return decide(K_ALLOC, fn, STILL);
}
static void *obtained(void *p, void *old) {
    if (by_hand && p && !old) hand_live++;
    return p;
}

void *malloc(size_t n) {
    if (decide_alloc("malloc") == FAIL) return errno = ENOMEM, NULL;
    return obtained(__libc_malloc(n), NULL);
}
void *calloc(size_t n, size_t size) {
    if (decide_alloc("calloc") == FAIL) return errno = ENOMEM, NULL;
    return obtained(__libc_calloc(n, size), NULL);
}
void *realloc(void *p, size_t n) {
    if (decide_alloc("realloc") == FAIL) return errno = ENOMEM, NULL;
    return obtained(__libc_realloc(p, n), p);
}
void free(void *p) {
    if (by_hand && p) hand_live--;
    __libc_free(p);
}
int posix_memalign(void **out, size_t align, size_t n) {
    if (decide_alloc("posix_memalign") == FAIL) return ENOMEM;
    void *p = obtained(__libc_memalign(align, n), NULL);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void *aligned_alloc(size_t align, size_t n) {
    if (decide_alloc("aligned_alloc") == FAIL) return errno = ENOMEM, NULL;
    return obtained(__libc_memalign(align, n), NULL);
}

/* ---- descriptors ---- */

#define OPEN_LIKE(fn, ...)                                              \
    SLOT(fn);                                                           \
    int fn(__VA_ARGS__, int flags, ...) {                               \
        mode_t perm = 0;                                                \
        if (flags & (O_CREAT | __O_TMPFILE)) {                          \
            va_list ap;                                                 \
            va_start(ap, flags);                                        \
            perm = va_arg(ap, mode_t);                                  \
            va_end(ap);                                                 \
        }                                                               \
        if (decide(K_OPEN, #fn, STILL) == FAIL) return errno = EIO, -1; \
        return REAL(fn)(OPEN_ARGS, flags, perm);                        \
    }
#define OPEN_ARGS path
OPEN_LIKE(open, const char *path)
OPEN_LIKE(open64, const char *path)
#undef OPEN_ARGS
#define OPEN_ARGS dirfd, path
OPEN_LIKE(openat, int dirfd, const char *path)
OPEN_LIKE(openat64, int dirfd, const char *path)
#undef OPEN_ARGS

SLOT(creat);
int creat(const char *path, mode_t perm) {
    if (decide(K_OPEN, "creat", STILL) == FAIL) return errno = ENOSPC, -1;
    return REAL(creat)(path, perm);
}

/* read-like and write-like calls of a descriptor: fail, interrupt or cut short. */
#define MOVE(fn, kind, err, fd, n, call)       \
    switch (decide_fd(fd, kind, #fn, MOVES)) { \
        case FAIL:                             \
            return errno = err, -1;            \
        case INTERRUPT:                        \
            return errno = EINTR, -1;          \
        case SHORTEN:                          \
            if (n > 1) n /= 2;                 \
            break;                             \
    }                                          \
    return call

SLOT(read);
ssize_t read(int fd, void *buf, size_t n) {
    MOVE(read, K_READ, EIO, fd, n, REAL(read)(fd, buf, n));
}
SLOT(pread);
ssize_t pread(int fd, void *buf, size_t n, off_t at) {
    MOVE(pread, K_READ, EIO, fd, n, REAL(pread)(fd, buf, n, at));
}
SLOT(pread64);
ssize_t pread64(int fd, void *buf, size_t n, off64_t at) {
    MOVE(pread64, K_READ, EIO, fd, n, REAL(pread64)(fd, buf, n, at));
}
SLOT(write);
ssize_t write(int fd, const void *buf, size_t n) {
    MOVE(write, K_WRITE, ENOSPC, fd, n, REAL(write)(fd, buf, n));
}
SLOT(pwrite);
ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) {
    MOVE(pwrite, K_WRITE, ENOSPC, fd, n, REAL(pwrite)(fd, buf, n, at));
}
SLOT(pwrite64);
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at) {
    MOVE(pwrite64, K_WRITE, ENOSPC, fd, n, REAL(pwrite64)(fd, buf, n, at));
}
SLOT(copy_file_range);
ssize_t copy_file_range(int in, off64_t *in_at, int out, off64_t *out_at, size_t n,
                        unsigned flags) {
    MOVE(copy_file_range, K_WRITE, ENOSPC, out, n,
         REAL(copy_file_range)(in, in_at, out, out_at, n, flags));
}
SLOT(splice);
ssize_t splice(int in, off64_t *in_at, int out, off64_t *out_at, size_t n, unsigned flags) {
    MOVE(splice, K_WRITE, ENOSPC, out, n, REAL(splice)(in, in_at, out, out_at, n, flags));
}
SLOT(sendfile);
ssize_t sendfile(int out, int in, off_t *in_at, size_t n) {
    MOVE(sendfile, K_WRITE, ENOSPC, out, n, REAL(sendfile)(out, in, in_at, n));
}
SLOT(sendfile64);
ssize_t sendfile64(int out, int in, off64_t *in_at, size_t n) {
    MOVE(sendfile64, K_WRITE, ENOSPC, out, n, REAL(sendfile64)(out, in, in_at, n));
}

SLOT(close);
int close(int fd) {
    int r = REAL(close)(fd);
    if (decide_fd(fd, K_CLOSE, "close", STILL) == FAIL) return errno = EIO, -1;
    return r;
}
/* dup and fcntl: a descriptor that cannot be made, a flag that cannot be read or set. */
SLOT(dup);
int dup(int fd) {
    if (decide_fd(fd, K_OPEN, "dup", STILL) == FAIL) return errno = EMFILE, -1;
    return REAL(dup)(fd);
}
SLOT(dup2);
int dup2(int fd, int to) {
    if (decide_fd(to, K_OPEN, "dup2", STILL) == FAIL) return errno = EMFILE, -1;
    return REAL(dup2)(fd, to);
}
SLOT(dup3);
int dup3(int fd, int to, int flags) {
    if (decide_fd(to, K_OPEN, "dup3", STILL) == FAIL) return errno = EMFILE, -1;
    return REAL(dup3)(fd, to, flags);
}
#define FCNTL_LIKE(fn)                                                            \
    SLOT(fn);                                                                     \
    int fn(int fd, int cmd, ...) {                                                \
        va_list ap;                                                               \
        va_start(ap, cmd);                                                        \
        void *arg = va_arg(ap, void *);                                           \
        va_end(ap);                                                               \
        if (decide_fd(fd, K_CONTROL, #fn, STILL) == FAIL) return errno = EIO, -1; \
        return REAL(fn)(fd, cmd, arg);                                            \
    }
FCNTL_LIKE(fcntl)
FCNTL_LIKE(fcntl64)

/* Removing a name: the report names it, so that the harness can tell the file that no
 * program could have removed from one it forgot. */
SLOT(unlink);
int unlink(const char *path) {
    if (decide_on(K_REMOVE, "unlink", STILL, path) == FAIL) return errno = EIO, -1;
    return REAL(unlink)(path);
}
SLOT(unlinkat);
int unlinkat(int dirfd, const char *path, int flags) {
    if (decide_on(K_REMOVE, "unlinkat", STILL, path) == FAIL) return errno = EIO, -1;
    return REAL(unlinkat)(dirfd, path, flags);
}
SLOT(remove);
int remove(const char *path) {
    if (decide_on(K_REMOVE, "remove", STILL, path) == FAIL) return errno = EIO, -1;
    return REAL(remove)(path);
}

/* Putting a file under another name. */
SLOT(rename);
int rename(const char *from, const char *to) {
    if (decide_on(K_NAME, "rename", STILL, to) == FAIL) return errno = EIO, -1;
    return REAL(rename)(from, to);
}
SLOT(renameat);
int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    if (decide_on(K_NAME, "renameat", STILL, to) == FAIL) return errno = EIO, -1;
    return REAL(renameat)(from_dir, from, to_dir, to);
}
SLOT(renameat2);
int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) {
    if (decide_on(K_NAME, "renameat2", STILL, to) == FAIL) return errno = EIO, -1;
    return REAL(renameat2)(from_dir, from, to_dir, to, flags);
}
SLOT(link);
int link(const char *from, const char *to) {
    if (decide_on(K_NAME, "link", STILL, to) == FAIL) return errno = EIO, -1;
    return REAL(link)(from, to);
}
SLOT(linkat);
int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    if (decide_on(K_NAME, "linkat", STILL, to) == FAIL) return errno = EIO, -1;
    return REAL(linkat)(from_dir, from, to_dir, to, flags);
}

/* Temporary files: glibc opens them through its own entry points, which no interposer sees. */
#define MKSTEMP_LIKE(fn, call, ...)                                     \
    SLOT(fn);                                                           \
    int fn(__VA_ARGS__) {                                               \
        if (decide(K_OPEN, #fn, STILL) == FAIL) return errno = EIO, -1; \
        return call;                                                    \
    }
MKSTEMP_LIKE(mkstemp, REAL(mkstemp)(tmpl), char *tmpl)
MKSTEMP_LIKE(mkostemp, REAL(mkostemp)(tmpl, flags), char *tmpl, int flags)
MKSTEMP_LIKE(mkstemps, REAL(mkstemps)(tmpl, suffix), char *tmpl, int suffix)
MKSTEMP_LIKE(mkostemps, REAL(mkostemps)(tmpl, suffix, flags), char *tmpl, int suffix, int flags)

/* Syncing: a failure means the data may never reach the disk; EINTR is possible too. */
#define SYNC_LIKE(fn)                                \
    SLOT(fn);                                        \
    int fn(int fd) {                                 \
        switch (decide_fd(fd, K_SYNC, #fn, WAITS)) { \
            case FAIL:                               \
                return errno = EIO, -1;              \
            case INTERRUPT:                          \
                return errno = EINTR, -1;            \
        }                                            \
        return REAL(fn)(fd);                         \
    }
SYNC_LIKE(fsync)
SYNC_LIKE(fdatasync)
SLOT(syncfs);
int syncfs(int fd) {
    if (decide_fd(fd, K_SYNC, "syncfs", STILL) == FAIL) return errno = EIO, -1;
    return REAL(syncfs)(fd);
}

/* Permission bits that cannot be set. */
SLOT(fchmod);
int fchmod(int fd, mode_t perm) {
    if (decide_fd(fd, K_MODE, "fchmod", STILL) == FAIL) return errno = EPERM, -1;
    return REAL(fchmod)(fd, perm);
}
SLOT(fchmodat);
int fchmodat(int dirfd, const char *path, mode_t perm, int flags) {
    if (decide_on(K_MODE, "fchmodat", STILL, path) == FAIL) return errno = EPERM, -1;
    return REAL(fchmodat)(dirfd, path, perm, flags);
}
SLOT(lseek);
off_t lseek(int fd, off_t at, int whence) {
    if (decide_fd(fd, K_SEEK, "lseek", STILL) == FAIL) return errno = EIO, -1;
    return REAL(lseek)(fd, at, whence);
}
SLOT(lseek64);
off64_t lseek64(int fd, off64_t at, int whence) {
    if (decide_fd(fd, K_SEEK, "lseek64", STILL) == FAIL) return errno = EIO, -1;
    return REAL(lseek64)(fd, at, whence);
}
SLOT(fstat);
int fstat(int fd, struct stat *st) {
    if (decide_fd(fd, K_STAT, "fstat", STILL) == FAIL) return errno = EIO, -1;
    return REAL(fstat)(fd, st);
}
SLOT(fstat64);
int fstat64(int fd, struct stat64 *st) {
    if (decide_fd(fd, K_STAT, "fstat64", STILL) == FAIL) return errno = EIO, -1;
    return REAL(fstat64)(fd, st);
}
SLOT(stat);
int stat(const char *path, struct stat *st) {
    if (decide(K_STAT, "stat", STILL) == FAIL) return errno = EIO, -1;
    return REAL(stat)(path, st);
}
SLOT(stat64);
int stat64(const char *path, struct stat64 *st) {
    if (decide(K_STAT, "stat64", STILL) == FAIL) return errno = EIO, -1;
    return REAL(stat64)(path, st);
}

/* ---- streams ---- */

#define FOPEN_LIKE(fn, arg_t)                                             \
    SLOT(fn);                                                             \
    FILE *fn(arg_t what, const char *how) {                               \
        if (decide(K_OPEN, #fn, STILL) == FAIL) return errno = EIO, NULL; \
        FILE *fp = REAL(fn)(what, how);                                   \
        track(fp, 1);                                                     \
        return fp;                                                        \
    }
FOPEN_LIKE(fopen, const char *)
FOPEN_LIKE(fopen64, const char *)
FOPEN_LIKE(fdopen, int)

SLOT(fclose);
int fclose(FILE *fp) {
    int fail = decide_fp(fp, K_CLOSE, "fclose") == FAIL;
    if (fail) __fpurge(fp);
    if (fp == stdout) stdout_closed = 1;
    track(fp, 0);
    int r = REAL(fclose)(fp);
    if (fail) return errno = EIO, EOF;
    return r;
}

SLOT(fflush);
int fflush(FILE *fp) {
    if (decide_fp(fp, K_FLUSH, "fflush") == FAIL) {
        if (fp) {
            spoil(fp, ENOSPC);
        } else {
            if (!stdout_closed) spoil(stdout, ENOSPC);
            for (size_t i = 0; i < sizeof streams / sizeof streams[0]; i++)
                spoil(streams[i], ENOSPC);
        }
        return EOF;
    }
    return REAL(fflush)(fp);
}

/* Stream writes: a failing one writes nothing and leaves the stream in error. */
#define PUT_FAIL(fp, fn, failed) \
    if (decide_fp(fp, K_WRITE, fn) == FAIL) return spoil(fp, ENOSPC), failed

SLOT(fwrite);
size_t fwrite(const void *p, size_t size, size_t n, FILE *fp) {
    PUT_FAIL(fp, "fwrite", 0);
    return REAL(fwrite)(p, size, n, fp);
}
SLOT(fputs);
int fputs(const char *s, FILE *fp) {
    PUT_FAIL(fp, "fputs", EOF);
    return REAL(fputs)(s, fp);
}
SLOT(puts);
int puts(const char *s) {
    PUT_FAIL(stdout, "puts", EOF);
    return REAL(puts)(s);
}
SLOT(fputc);
int fputc(int c, FILE *fp) {
    PUT_FAIL(fp, "fputc", EOF);
    return REAL(fputc)(c, fp);
}
SLOT(putc);
int putc(int c, FILE *fp) {
    PUT_FAIL(fp, "putc", EOF);
    return REAL(putc)(c, fp);
}
SLOT(putchar);
int putchar(int c) {
    PUT_FAIL(stdout, "putchar", EOF);
    return REAL(putchar)(c);
}
SLOT(__overflow);
int __overflow(FILE *fp, int c) {
    PUT_FAIL(fp, "__overflow", EOF);
    return REAL(__overflow)(fp, c);
}
SLOT(vfprintf);
int vfprintf(FILE *fp, const char *f, va_list ap) {
    PUT_FAIL(fp, "vfprintf", -1);
    return REAL(vfprintf)(fp, f, ap);
}
int vprintf(const char *f, va_list ap) {
    PUT_FAIL(stdout, "vprintf", -1);
    return REAL(vfprintf)(stdout, f, ap);
}
int fprintf(FILE *fp, const char *f, ...) {
    PUT_FAIL(fp, "fprintf", -1);
    va_list ap;
    va_start(ap, f);
    int r = REAL(vfprintf)(fp, f, ap);
    va_end(ap);
    return r;
}
int printf(const char *f, ...) {
    PUT_FAIL(stdout, "printf", -1);
    va_list ap;
    va_start(ap, f);
    int r = REAL(vfprintf)(stdout, f, ap);
    va_end(ap);
    return r;
}
int __vfprintf_chk(FILE *fp, int flag, const char *f, va_list ap);
SLOT(__vfprintf_chk);
int __vfprintf_chk(FILE *fp, int flag, const char *f, va_list ap) {
    PUT_FAIL(fp, "__vfprintf_chk", -1);
    return REAL(__vfprintf_chk)(fp, flag, f, ap);
}
int __vprintf_chk(int flag, const char *f, va_list ap) {
    PUT_FAIL(stdout, "__vprintf_chk", -1);
    return REAL(__vfprintf_chk)(stdout, flag, f, ap);
}
int __fprintf_chk(FILE *fp, int flag, const char *f, ...) {
    PUT_FAIL(fp, "__fprintf_chk", -1);
    va_list ap;
    va_start(ap, f);
    int r = REAL(__vfprintf_chk)(fp, flag, f, ap);
    va_end(ap);
    return r;
}
int __printf_chk(int flag, const char *f, ...) {
    PUT_FAIL(stdout, "__printf_chk", -1);
    va_list ap;
    va_start(ap, f);
    int r = REAL(__vfprintf_chk)(stdout, flag, f, ap);
    va_end(ap);
    return r;
}

/* Stream reads: a failing one reads nothing and leaves the stream in error. */
#define GET_FAIL(fp, fn, failed) \
    if (decide_fp(fp, K_READ, fn) == FAIL) return spoil(fp, EIO), failed

SLOT(fread);
size_t fread(void *p, size_t size, size_t n, FILE *fp) {
    GET_FAIL(fp, "fread", 0);
    return REAL(fread)(p, size, n, fp);
}
SLOT(getdelim);
ssize_t getdelim(char **line, size_t *cap, int delim, FILE *fp) {
    GET_FAIL(fp, "getdelim", -1);
    return REAL(getdelim)(line, cap, delim, fp);
}
ssize_t __getdelim(char **line, size_t *cap, int delim, FILE *fp) {
    GET_FAIL(fp, "getdelim", -1);
    return REAL(getdelim)(line, cap, delim, fp);
}
ssize_t getline(char **line, size_t *cap, FILE *fp) {
    GET_FAIL(fp, "getline", -1);
    return REAL(getdelim)(line, cap, '\n', fp);
}
SLOT(fgets);
char *fgets(char *s, int n, FILE *fp) {
    GET_FAIL(fp, "fgets", NULL);
    return REAL(fgets)(s, n, fp);
}
SLOT(fgetc);
int fgetc(FILE *fp) {
    GET_FAIL(fp, "fgetc", EOF);
    return REAL(fgetc)(fp);
}
SLOT(getc);
int getc(FILE *fp) {
    GET_FAIL(fp, "getc", EOF);
    return REAL(getc)(fp);
}
SLOT(__uflow);
int __uflow(FILE *fp) {
    GET_FAIL(fp, "__uflow", EOF);
    return REAL(__uflow)(fp);
}

#define SEEK_FAIL(fp, fn) \
    if (decide_fp(fp, K_SEEK, fn) == FAIL) return errno = EIO, -1

SLOT(fseek);
int fseek(FILE *fp, long at, int whence) {
    SEEK_FAIL(fp, "fseek");
    return REAL(fseek)(fp, at, whence);
}
SLOT(fseeko);
int fseeko(FILE *fp, off_t at, int whence) {
    SEEK_FAIL(fp, "fseeko");
    return REAL(fseeko)(fp, at, whence);
}
/* rewind has no result: a failed one leaves the position, sets errno and the error flag. */
SLOT(rewind);
void rewind(FILE *fp) {
    if (decide_fp(fp, K_SEEK, "rewind") == FAIL) return spoil(fp, EIO);
    REAL(rewind)(fp);
}
SLOT(ftell);
long ftell(FILE *fp) {
    SEEK_FAIL(fp, "ftell");
    return REAL(ftell)(fp);
}
SLOT(ftello);
off_t ftello(FILE *fp) {
    SEEK_FAIL(fp, "ftello");
    return REAL(ftello)(fp);
}
