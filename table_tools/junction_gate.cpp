// junction_gate IN INT REAL OUT1 OUT2
//
// Splits a junction table in two. The first line is a header and goes to both outputs.
// Every further non-empty line is a data line: it goes to OUT1 when its ratio (column 17)
// is at least REAL (or either is a NaN) and its support (column 18) below INT, else to OUT2.
// Standard output carries the input path first, any message, and the two line counts last.
// Lines are read and written one at a time, and every line written is flushed before the
// next one is read. The line scanner is in junction_scan.h.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "junction_scan.h"
#include "line_io.h"

namespace {

using table_io::FilePtr;

// An output file, the path it was opened from, and its descriptor, which the lines are
// written to directly (the stream itself never buffers anything).
struct Output {
    FilePtr file;
    const char *path;
    int fd = file ? fileno(file.get()) : -1;
};

// Writes buf[0, len) and a newline to the output (flushed when this returns); buf[len]
// must be writable. Reports a failure on standard output.
bool write_line(Output &out, char *buf, size_t len) {
    if (table_io::write_line(out.fd, buf, len)) return true;
    std::printf("can't write file %s: %s\n", out.path, std::strerror(errno));
    return false;
}

// Closes an output, reporting a failure.
bool close_output(Output &out) {
    if (std::fclose(out.file.release()) == 0) return true;
    std::printf("can't write file %s: %s\n", out.path, std::strerror(errno));
    return false;
}

// Copies the header to both outputs, then routes every data line. Returns false after a
// read or write failure (already reported).
bool route_lines(std::FILE *in, const char *in_path, Output (&outs)[2],
                 const junction_gate::Thresholds &t, uint64_t (&counts)[2]) {
    table_io::LineBuffer line;
    junction_gate::LineScanner scanner;
    bool header = true;
    while (line.next(in)) {
        if (header) {
            header = false;
            if (!write_line(outs[0], line.data(), line.size()) ||
                !write_line(outs[1], line.data(), line.size()))
                return false;
            continue;
        }
        if (line.size() == 0) continue;
        int route = junction_gate::passes(scanner, line.view(), t) ? 0 : 1;
        if (!write_line(outs[route], line.data(), line.size())) return false;
        ++counts[route];
    }
    if (line.failed()) {
        std::printf("can't read file %s: %s\n", in_path, std::strerror(errno));
        return false;
    }
    if (header) {
        // An empty input still gives each output its (empty) header line.
        char nl[1];
        return write_line(outs[0], nl, 0) && write_line(outs[1], nl, 0);
    }
    return true;
}

const char kUsage[] =
    "Usage: junction_gate in_junctions int_threshold real_threshold out_passing out_rejected\n";

const char kHelp[] =
    "Usage: junction_gate in_junctions int_threshold real_threshold out_passing out_rejected\n"
    "\n"
    "Splits a junction table in two. The first line (the header) goes to both outputs; every\n"
    "other non-empty line goes to out_passing when its column 17 is at least real_threshold\n"
    "and its column 18 is below int_threshold (a 16-bit number), else to out_rejected.\n"
    "Standard output shows the input path and the two line counts.\n"
    "\n"
    "A threshold that is not wholly a number is read as far as it is one (\"ten\" as 0), with\n"
    "a warning on standard error.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n";

// True when `path` names the regular file that standard output writes to. Opened a second
// time, it would get an offset of its own, and the lines written there and the messages on
// standard output would overwrite each other. A pipe or a device loses nothing that way.
bool is_stdout_file(const char *path) {
    struct stat out, st;
    return ::fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) && ::stat(path, &st) == 0 &&
           st.st_dev == out.st_dev && st.st_ino == out.st_ino;
}

// The thresholds read as the C library reads numbers, a word such as "ten" as 0; such an
// argument is read as before, but not without a word on standard error.
void warn_misread_threshold(const char *name, const char *arg, bool integer) {
    const std::string misread = junction_gate::threshold_misread(arg, integer);
    if (!misread.empty())
        std::fprintf(stderr, "junction_gate: warning: %s '%s' is not a number; read as %s\n", name,
                     arg, misread.c_str());
}

// A negative number is a threshold (arguments 2 and 3), not an option.
bool is_threshold(int i, const char *arg) {
    char *end;
    (void)std::strtod(arg, &end);
    return (i == 2 || i == 3) && end != arg;
}

int run(int argc, char **argv) {
    if (table_io::answer_help_or_version(argc, argv, "junction_gate", kHelp)) return 0;
    if (table_io::refuse_unknown_option(argc, argv, "junction_gate", kUsage, is_threshold))
        return 1;
    if (argc < 6) {
        std::fputs(kUsage, stdout);
        return 1;
    }
    const char *in_path = argv[1];
    table_io::Input in = table_io::open_input(in_path);
    std::printf("%s\n", in_path);
    junction_gate::Thresholds t;
    t.support_limit = junction_gate::parse_int_threshold(argv[2]);
    t.min_ratio = junction_gate::parse_real_threshold(argv[3]);
    warn_misread_threshold("int_threshold", argv[2], true);
    warn_misread_threshold("real_threshold", argv[3], false);

    // The input is opened, and every refusal made, before anything is opened for writing:
    // a run that cannot go ahead creates or empties no file.
    bool ok = true;
    if (!in.file) {
        std::printf("can't open file %s\n", in_path);
        ok = false;
    }
    for (const char *path : {argv[4], argv[5]}) {
        if (!ok) break;
        if (table_io::is_input_file(in, path)) {
            std::printf("can't write file %s: it is the input file\n", path);
            ok = false;
        } else if (is_stdout_file(path)) {
            std::printf("can't write file %s: it is the file of standard output\n", path);
            ok = false;
        }
    }
    if (ok && table_io::same_output(argv[4], argv[5])) {
        std::printf("can't write file %s: it is the same file as %s\n", argv[5], argv[4]);
        ok = false;
    }

    uint64_t counts[2] = {0, 0};
    if (ok) {
        Output outs[2] = {{FilePtr(std::fopen(argv[4], "w")), argv[4]},
                          {FilePtr(std::fopen(argv[5], "w")), argv[5]}};
        for (Output &out : outs) {
            if (!out.file) {
                std::printf("can't open file %s\n", out.path);
                ok = false;
            }
        }
        if (ok) ok = route_lines(in.file.get(), in_path, outs, t, counts);
        // After a failure the outputs are closed without further checks.
        for (Output &out : outs) {
            if (out.file && ok)
                ok = close_output(out);
            else
                out.file.reset();
        }
    }

    std::printf("in filtered 1hits junction: %llu\n", static_cast<unsigned long long>(counts[0]));
    std::printf("not in filtered 1hits junction: %llu\n",
                static_cast<unsigned long long>(counts[1]));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    return table_io::run_program([&] { return run(argc, argv); }, stdout, "junction_gate",
                                 "junction_gate");
}
