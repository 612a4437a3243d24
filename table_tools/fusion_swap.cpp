// fusion_swap IN OUT
//
// Rewrites a matched-fusion table: every non-empty line holds two halves joined by the
// separator "\t----\t----\t" and is written as the right half (its trailing spaces and tabs
// removed), the separator, then the left half. The line is split at the first separator;
// later ones stay in the right half. A non-empty line without a separator is copied
// unchanged and its number reported. Lines are read and written one at a time, and every
// line written is flushed before the next one is read. All messages go to standard output.

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

// The input's read buffer: larger than the default, so fewer reads.
char read_buffer[64 * 1024];

constexpr std::string_view kSeparator = "\t----\t----\t";

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

// Strips trailing spaces and tabs, nothing else.
std::string_view trim_right(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
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

// Builds the output line for `line` (without its newline) in `out_line` and writes it in one
// write straight to the file: the line is flushed when this returns. `line[len]` must be
// writable. Sets `no_separator` when the line is copied unchanged.
bool swap_line(int fd, char *line, size_t len, std::string &out_line, bool &no_separator) {
    std::string_view text(line, len);
    size_t at = text.find(kSeparator);
    no_separator = at == std::string_view::npos;
    if (no_separator) {
        line[len] = '\n';
        return write_all(fd, line, len + 1);
    }
    std::string_view left = text.substr(0, at);
    std::string_view right = trim_right(text.substr(at + kSeparator.size()));
    out_line.assign(right);
    out_line.append(kSeparator);
    out_line.append(left);
    out_line.push_back('\n');
    return write_all(fd, out_line.data(), out_line.size());
}

// Swaps every line of `in` into `out`. Returns false after a read or write failure, which it
// reports.
bool swap_lines(std::FILE *in, const char *in_path, std::FILE *out, const char *out_path) {
    LineBuffer buf;
    std::string out_line;  // reused: grows to the longest line, then no more allocations
    unsigned long long line_no = 0;
    for (;;) {
        ssize_t n = ::getline(&buf.data, &buf.cap, in);
        if (n < 0) break;
        ++line_no;
        size_t len = size_t(n);
        if (len > 0 && buf.data[len - 1] == '\n') --len;
        if (len == 0) continue;
        bool no_separator;
        if (!swap_line(fileno(out), buf.data, len, out_line, no_separator)) {
            std::printf("can't write file %s: %s\n", out_path, std::strerror(errno));
            return false;
        }
        if (no_separator)
            std::printf("no separator on line %llu of %s, copied unchanged\n", line_no, in_path);
    }
    if (std::ferror(in)) {
        std::printf("can't read file %s: %s\n", in_path, std::strerror(errno));
        return false;
    }
    return true;
}

int run(int argc, char **argv) {
    if (argc < 3) {
        std::printf("in_matched_fusions output_swapped_fusions\n");
        return 0;
    }
    const char *in_path = argv[1];
    const char *out_path = argv[2];
    FilePtr in(std::fopen(in_path, "r"));
    // A read still returns what a pipe holds, so lines are handled as they arrive.
    if (in) std::setvbuf(in.get(), read_buffer, _IOFBF, sizeof read_buffer);
    struct stat in_st;
    bool have_in = in ? ::fstat(fileno(in.get()), &in_st) == 0 : ::stat(in_path, &in_st) == 0;
    if (is_input_file(in_st, have_in, out_path)) {
        std::printf("can't write file %s: it is the input file\n", out_path);
        return 1;
    }
    FilePtr out(std::fopen(out_path, "w"));
    if (!in) {
        std::printf("can't open file %s\n", in_path);
        return 1;
    }
    if (!out) {
        std::printf("can't open file %s\n", out_path);
        return 1;
    }
    if (!swap_lines(in.get(), in_path, out.get(), out_path)) return 1;
    if (std::fclose(out.release()) != 0) {
        std::printf("can't write file %s: %s\n", out_path, std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int status = run(argc, argv);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "fusion_swap: can't write standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}
