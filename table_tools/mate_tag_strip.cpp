// mate_tag_strip IN OUT
//
// Copies a tab-separated table and removes the mate suffix ("/1" or "/2") that ends the
// first field of a line, when at least one character precedes it (the first tab at
// position 3 or more). Nothing else is changed; every line, empty ones included, is
// written. Lines are read and written one at a time, and every line written is flushed
// before the next one is read. Messages go to standard error.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line_io.h"

namespace {

// Writes `line` (len bytes, line[len] writable) without its mate suffix and with a newline,
// in one write straight to the file: the line is flushed when this returns. The suffix is
// cut out in place.
bool strip_line(int fd, char *line, size_t len) {
    const char *tab = static_cast<const char *>(std::memchr(line, '\t', len));
    size_t t = tab ? size_t(tab - line) : 0;
    if (t >= 3 && line[t - 2] == '/' && (line[t - 1] == '1' || line[t - 1] == '2')) {
        std::memmove(line + t - 2, line + t, len - t);
        len -= 2;
    }
    return table_io::write_line(fd, line, len);
}

const char kUsage[] = "Usage: mate_tag_strip in_reads out_reads\n";

const char kHelp[] =
    "Usage: mate_tag_strip in_reads out_reads\n"
    "\n"
    "Copies the tab-separated table in_reads to out_reads, every line included, and removes\n"
    "a /1 or /2 that ends the first field of a line when at least one character precedes it.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n";

int run(int argc, char **argv) {
    if (table_io::answer_help_or_version(argc, argv, "mate_tag_strip", kHelp)) return 0;
    if (table_io::refuse_unknown_option(argc, argv, "mate_tag_strip", kUsage,
                                        [](int, const char *) { return false; }))
        return 1;
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    // A missing output path is treated as a file that cannot be opened. The input is opened,
    // and the output checked, before the output is created or emptied.
    const char *in_path = argv[1];
    const char *out_path = argc > 2 ? argv[2] : nullptr;
    table_io::Input in = table_io::open_input(in_path);
    if (!in.file) {
        std::fputs("error: open input file error\n", stderr);
        return 1;
    }
    if (out_path && table_io::is_input_file(in, out_path)) {
        std::fprintf(stderr, "error: output file is the input file: %s\n", out_path);
        return 1;
    }
    table_io::FilePtr out(out_path ? std::fopen(out_path, "w") : nullptr);
    if (!out) {
        std::fputs("error: open output file error\n", stderr);
        return 1;
    }
    table_io::LineBuffer line;
    while (line.next(in.file.get())) {
        if (!strip_line(fileno(out.get()), line.data(), line.size())) {
            std::fprintf(stderr, "error: write output file error: %s: %s\n", out_path,
                         std::strerror(errno));
            return 1;
        }
    }
    if (line.failed()) {
        std::fprintf(stderr, "error: read input file error: %s: %s\n", in_path,
                     std::strerror(errno));
        return 1;
    }
    in.file.reset();
    if (std::fclose(out.release()) != 0) {
        std::fprintf(stderr, "error: write output file error: %s: %s\n", out_path,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return table_io::run_program([&] { return run(argc, argv); }, stderr, "mate_tag_strip",
                                 "error");
}
