// mate_tag_strip IN OUT
//
// Copies a tab-separated table and removes the mate suffix ("/1" or "/2") that ends the
// first field of a line, when at least one character precedes it (the first tab at
// position 3 or more). Nothing else is changed; every line, empty ones included, is
// written. Lines are read and written one at a time, and every line written is flushed
// before the next one is read. Messages go to standard error.

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The input's read buffer: larger than the default, so fewer reads.
char read_buffer[64 * 1024];

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The line buffer that getline grows; it holds one line at a time.
struct LineBuffer {
    char *data = nullptr;
    size_t cap = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(data); }
};

// True when `path` names the same regular file as the input (device and inode): opening it
// for writing would empty the input.
bool is_input_file(const struct stat &in, bool have_in, const char *path) {
    struct stat st;
    return have_in && S_ISREG(in.st_mode) && ::stat(path, &st) == 0 && st.st_dev == in.st_dev &&
           st.st_ino == in.st_ino;
}

// Writes all of buf[0, n) to the descriptor.
bool write_all(int fd, const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= size_t(w);
    }
    return true;
}

// Writes `line` (len bytes, line[len] writable) without its mate suffix and with a newline,
// in one write straight to the file: the line is flushed when this returns. The suffix is
// cut out in place.
bool strip_line(int fd, char *line, size_t len) {
    line[len] = '\n';
    const char *tab = static_cast<const char *>(std::memchr(line, '\t', len));
    size_t t = tab ? size_t(tab - line) : 0;
    size_t n = len + 1;
    if (t >= 3 && line[t - 2] == '/' && (line[t - 1] == '1' || line[t - 1] == '2')) {
        std::memmove(line + t - 2, line + t, n - t);
        n -= 2;
    }
    return write_all(fd, line, n);
}

int run(int argc, char **argv) {
    // A missing path is treated as a file that cannot be opened.
    const char *in_path = argc > 1 ? argv[1] : nullptr;
    const char *out_path = argc > 2 ? argv[2] : nullptr;
    FilePtr in(in_path ? std::fopen(in_path, "r") : nullptr);
    // A read still returns what a pipe holds, so lines are handled as they arrive.
    if (in) std::setvbuf(in.get(), read_buffer, _IOFBF, sizeof read_buffer);
    struct stat in_st;
    bool have_in =
        in ? ::fstat(fileno(in.get()), &in_st) == 0 : in_path && ::stat(in_path, &in_st) == 0;
    if (out_path && is_input_file(in_st, have_in, out_path)) {
        std::fprintf(stderr, "error: output file is the input file: %s\n", out_path);
        return 1;
    }
    FilePtr out(out_path ? std::fopen(out_path, "w") : nullptr);
    if (!in) {
        std::fputs("error: open input file error\n", stderr);
        return 1;
    }
    if (!out) {
        std::fputs("error: open output file error\n", stderr);
        return 1;
    }
    LineBuffer buf;
    for (;;) {
        ssize_t n = ::getline(&buf.data, &buf.cap, in.get());
        if (n < 0) break;
        size_t len = size_t(n);
        if (len > 0 && buf.data[len - 1] == '\n') --len;
        if (!strip_line(fileno(out.get()), buf.data, len)) {
            std::fprintf(stderr, "error: write output file error: %s: %s\n", out_path,
                         std::strerror(errno));
            return 1;
        }
    }
    if (std::ferror(in.get())) {
        std::fprintf(stderr, "error: read input file error: %s: %s\n", in_path,
                     std::strerror(errno));
        return 1;
    }
    in.reset();
    if (std::fclose(out.release()) != 0) {
        std::fprintf(stderr, "error: write output file error: %s: %s\n", out_path,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return run(argc, argv);
}
