// Error lines and version text shared by the alnforge subcommands.
#include "report_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kVersion[] = AF_PROJECT_VERSION;  // the project version, "1.8"

// Writes one error line: flush stdout, prefix, message, ending, flush stderr.
// `extra`, when not null, is appended after ": ". The line is written under stderr's lock,
// so that lines from threads writing at once never mix.
void vprint_error_core(const char *subcommand, const char *format, va_list args,
                       const char *extra) {
    fflush(stdout);
    flockfile(stderr);
    if (subcommand && *subcommand)
        fprintf(stderr, "alnforge %s: ", subcommand);
    else
        fputs("alnforge: ", stderr);
    vfprintf(stderr, format, args);
    if (extra)
        fprintf(stderr, ": %s\n", extra);
    else
        fputc('\n', stderr);
    fflush(stderr);
    funlockfile(stderr);
}

}  // namespace

extern "C" void print_error(const char *subcommand, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprint_error_core(subcommand, format, args, nullptr);
    va_end(args);
}

extern "C" void print_error_errno(const char *subcommand, const char *format, ...) {
    // errno first: the flushes and writes below may change it.
    int err = errno;
    const char *extra = err ? strerror(err) : nullptr;
    va_list args;
    va_start(args, format);
    vprint_error_core(subcommand, format, args, extra);
    va_end(args);
}

extern "C" const char *alnforge_version(void) {
    return kVersion;
}

extern "C" const char *alnforge_version_short(void) {
    const char *hyphen = strchr(kVersion, '-');
    size_t n = hyphen ? size_t(hyphen - kVersion) : strlen(kVersion);
    return strndup(kVersion, n);
}
