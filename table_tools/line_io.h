// The plumbing the table programs share: the input with its read buffer, the file holder,
// the line buffer, whole-line writes straight to a descriptor, and the checks that keep an
// output from clobbering the input or the other output. Header-only, so that each program
// stays one source file on the standard libraries.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "stdout_end.h"

namespace table_io {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The input of a run: the stream (null when the file did not open) and what stat says of
// the file, when it says anything (also for a file that did not open).
struct Input {
    FilePtr file;
    struct stat st {};
    bool have_st = false;
};

// Opens `path` for reading; a null path gives an input that is not open. The stream reads
// through a buffer larger than the default, so fewer reads; a read still returns what a
// pipe holds, so lines are handled as they arrive. One input per program: the buffer is
// shared.
inline Input open_input(const char *path) {
    static char buffer[64 * 1024];
    Input in;
    if (!path) return in;
    in.file.reset(std::fopen(path, "r"));
    if (in.file) std::setvbuf(in.file.get(), buffer, _IOFBF, sizeof buffer);
    in.have_st = in.file ? ::fstat(fileno(in.file.get()), &in.st) == 0 : ::stat(path, &in.st) == 0;
    return in;
}

// True when `path` names the same regular file as the input (device and inode): opening it
// for writing would empty the input.
inline bool is_input_file(const Input &in, const char *path) {
    struct stat st;
    return in.have_st && S_ISREG(in.st.st_mode) && ::stat(path, &st) == 0 &&
           st.st_dev == in.st.st_dev && st.st_ino == in.st.st_ino;
}

namespace detail {

// Where writing to a path lands: an existing file (its device and inode), or a file still
// to be made (the device and inode of its directory, and its name there).
struct Place {
    bool known = false;
    bool regular = false;  // a regular file, or one that opening for writing would create
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;  // empty for an existing file
};

inline Place place_of(const char *path) {
    Place p;
    struct stat st;
    if (::stat(path, &st) == 0) {
        p = {true, S_ISREG(st.st_mode), st.st_dev, st.st_ino, {}};
        return p;
    }
    if (errno != ENOENT) return p;
    std::string_view s(path);
    size_t slash = s.rfind('/');
    std::string dir = slash == std::string_view::npos ? "." : std::string(s.substr(0, slash + 1));
    std::string name(slash == std::string_view::npos ? s : s.substr(slash + 1));
    if (name.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return p;
    p = {true, true, st.st_dev, st.st_ino, std::move(name)};
    return p;
}

}  // namespace detail

// True when two output paths lead to the same regular file, existing or still to be made
// (the same path, a link, or another path to it). Each output gets its own descriptor and
// offset, so lines written to one would overwrite lines written to the other. A device
// such as /dev/null may be named twice.
inline bool same_output(const char *a, const char *b) {
    detail::Place x = detail::place_of(a), y = detail::place_of(b);
    return x.known && y.known && x.regular && y.regular && x.dev == y.dev && x.ino == y.ino &&
           x.name == y.name;
}

// The line buffer that getline grows; it holds one line at a time.
class LineBuffer {
   public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(data_); }

    // Reads the next line of `in` and drops its newline; a last line without one is read
    // like the others. False at the end of the input or on a failure (failed() tells which,
    // with errno saying why). data()[size()] is writable: it held the newline or the
    // terminating NUL.
    bool next(std::FILE *in) {
        ssize_t n = ::getline(&data_, &cap_, in);
        if (n < 0) {
            // getline that cannot grow its buffer sets neither flag of the stream: without
            // this the rest of the input would pass for its end.
            failed_ = std::ferror(in) || !std::feof(in);
            return false;
        }
        size_ = size_t(n);
        if (size_ > 0 && data_[size_ - 1] == '\n') --size_;
        return true;
    }

    // True when the last next() stopped on a read error or for want of memory.
    bool failed() const { return failed_; }

    char *data() const { return data_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }

   private:
    char *data_ = nullptr;
    size_t cap_ = 0;
    size_t size_ = 0;
    bool failed_ = false;
};

// Writes all of buf[0, n) to the descriptor.
inline bool write_all(int fd, const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= size_t(w);
    }
    return true;
}

// Writes line[0, len) and a newline in one go straight to the file, so the line is flushed
// when this returns. line[len] must be writable: it becomes the newline.
inline bool write_line(int fd, char *line, size_t len) {
    line[len] = '\n';
    return write_all(fd, line, len + 1);
}

// Runs a program's body. Memory that runs out in the standard library ends the run with a
// message on `messages` and status 1, instead of an abort.
template <class Body>
int run_guarded(Body body, std::FILE *messages, const char *what) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        std::fprintf(messages, "%s: out of memory\n", what);
        return 1;
    }
}

// Answers a first argument of -h or --help with the help text, and --version with one line,
// the program's name and version, both on standard output; true when it did. Any other
// argument is the program's own (a file named "-h" is given as "./-h").
inline bool answer_help_or_version(int argc, char **argv, const char *program, const char *help) {
    if (argc < 2) return false;
    const std::string_view arg(argv[1]);
    if (arg == "-h" || arg == "--help") {
        std::fputs(help, stdout);
        return true;
    }
    if (arg == "--version") {
        std::printf("%s %s\n", program, AF_PROJECT_VERSION);
        return true;
    }
    return false;
}

// Refuses the first argument that begins with '-': the programs know no option beyond the
// help and the version, which answer_help_or_version() has answered, and read and write
// named files only, so a lone "-" is no file either (it would make one of that name).
// `is_value(i, arg)` keeps an argument that position i reads as a value (a negative
// number). Names the argument, then the usage, on standard error; true when it refused one.
template <class IsValue>
bool refuse_unknown_option(int argc, char **argv, const char *program, const char *usage,
                           IsValue is_value) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || is_value(i, arg)) continue;
        if (arg[1])
            std::fprintf(stderr, "%s: unknown option '%s' (a file of that name is given as ./%s)\n",
                         program, arg, arg);
        else
            std::fprintf(stderr,
                         "%s: '-': standard input and output are not used here (a file of "
                         "that name is given as ./-)\n",
                         program);
        std::fputs(usage, stderr);
        return true;
    }
    return false;
}

// The whole run of a program: the body's status, or 1 when memory ran out (said on
// `messages`) or a line of standard output was lost.
template <class Body>
int run_program(Body body, std::FILE *messages, const char *program, const char *what) {
    int status = run_guarded(body, messages, what);
    char lost[128];  // the message, built without an allocation that could fail this late
    std::snprintf(lost, sizeof lost, "%s: can't write standard output", program);
    return af::finish_stdout(af::StdoutEnd::kClose, lost) ? status : 1;
}

}  // namespace table_io
