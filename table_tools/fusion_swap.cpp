// fusion_swap IN OUT
//
// Rewrites a matched-fusion table: every non-empty line holds two halves joined by the
// separator "\t----\t----\t" and is written as the right half (its trailing spaces and tabs
// removed), the separator, then the left half. The line is split at the first separator;
// later ones stay in the right half. A non-empty line without a separator is copied
// unchanged and its number reported. Lines are read and written one at a time, and every
// line written is flushed before the next one is read. All messages go to standard output.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "line_io.h"

namespace {

constexpr std::string_view kSeparator = "\t----\t----\t";

// Strips trailing spaces and tabs, nothing else.
std::string_view trim_right(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Builds the output line for `line` (without its newline) in `out_line` and writes it in one
// write straight to the file: the line is flushed when this returns. `line[len]` must be
// writable. Sets `no_separator` when the line is copied unchanged.
bool swap_line(int fd, char *line, size_t len, std::string &out_line, bool &no_separator) {
    std::string_view text(line, len);
    size_t at = text.find(kSeparator);
    no_separator = at == std::string_view::npos;
    if (no_separator) return table_io::write_line(fd, line, len);
    std::string_view left = text.substr(0, at);
    std::string_view right = trim_right(text.substr(at + kSeparator.size()));
    out_line.assign(right);
    out_line.append(kSeparator);
    out_line.append(left);
    out_line.push_back('\n');
    return table_io::write_all(fd, out_line.data(), out_line.size());
}

// Swaps every line of `in` into `out`. Returns false after a read or write failure, which it
// reports.
bool swap_lines(std::FILE *in, const char *in_path, std::FILE *out, const char *out_path) {
    table_io::LineBuffer line;
    std::string out_line;  // reused: grows to the longest line, then no more allocations
    unsigned long long line_no = 0;
    while (line.next(in)) {
        ++line_no;
        if (line.size() == 0) continue;
        bool no_separator;
        if (!swap_line(fileno(out), line.data(), line.size(), out_line, no_separator)) {
            std::printf("can't write file %s: %s\n", out_path, std::strerror(errno));
            return false;
        }
        if (no_separator)
            std::printf("no separator on line %llu of %s, copied unchanged\n", line_no, in_path);
    }
    if (line.failed()) {
        std::printf("can't read file %s: %s\n", in_path, std::strerror(errno));
        return false;
    }
    return true;
}

const char kHelp[] =
    "Usage: fusion_swap in_matched_fusions output_swapped_fusions\n"
    "\n"
    "Writes every non-empty line of in_matched_fusions to output_swapped_fusions with its two\n"
    "halves exchanged: the text after the first tab-----tab-----tab separator (trailing\n"
    "spaces and tabs removed), the separator, then the text before it. A line without the\n"
    "separator is copied unchanged and its number reported on standard output.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n";

int run(int argc, char **argv) {
    if (table_io::answer_help_or_version(argc, argv, "fusion_swap", kHelp)) return 0;
    if (argc < 3) {
        std::printf("in_matched_fusions output_swapped_fusions\n");
        return 0;
    }
    const char *in_path = argv[1];
    const char *out_path = argv[2];
    // The input is opened, and the output checked, before the output is created or emptied.
    table_io::Input in = table_io::open_input(in_path);
    if (!in.file) {
        std::printf("can't open file %s\n", in_path);
        return 1;
    }
    if (table_io::is_input_file(in, out_path)) {
        std::printf("can't write file %s: it is the input file\n", out_path);
        return 1;
    }
    table_io::FilePtr out(std::fopen(out_path, "w"));
    if (!out) {
        std::printf("can't open file %s\n", out_path);
        return 1;
    }
    if (!swap_lines(in.file.get(), in_path, out.get(), out_path)) return 1;
    if (std::fclose(out.release()) != 0) {
        std::printf("can't write file %s: %s\n", out_path, std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return table_io::run_program([&] { return run(argc, argv); }, stdout, "fusion_swap",
                                 "fusion_swap");
}
