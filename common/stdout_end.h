// The end of a run on standard output, shared by every program and command entry: whatever was
// written there must arrive, the last flush and the close included (a full disk or a closed
// pipe often shows only then). Header-only and internal: the programs and the command modules
// include it, the installed library declares nothing of it.
#pragma once

#include <stdio_ext.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace af {

// How far finish_stdout takes standard output.
enum class StdoutEnd {
    // Flush only: a command entry that a caller of the library may follow with more output.
    kFlush,
    // Flush and close: the end of a program.
    kClose,
    // Flush and close, where a library may already have closed the descriptor under the
    // stream (htslib, writing to "-", closes it itself): a descriptor already closed with
    // nothing left in the stream lost nothing.
    kCloseShared,
};

// Flushes standard output, and closes it unless `end` is kFlush. True when everything written
// to it arrived; a failure seen before the call counts too (a failed printf leaves only the
// stream's error flag behind). On a loss, when `report`, writes "<message>: <reason>" and a
// newline to standard error, where <reason> is strerror's text of the failure (EIO's when the
// failure left no errno).
inline bool finish_stdout(StdoutEnd end, const char *message, bool report = true) {
    const bool failed = std::ferror(stdout) != 0;
    const bool pending = __fpending(stdout) != 0;
    errno = 0;
    bool done;
    if (end == StdoutEnd::kFlush)
        done = std::fflush(stdout) == 0;
    else
        done = std::fclose(stdout) == 0 ||
               (end == StdoutEnd::kCloseShared && errno == EBADF && !pending);
    if (done && !failed) return true;
    if (report) std::fprintf(stderr, "%s: %s\n", message, std::strerror(errno ? errno : EIO));
    return false;
}

}  // namespace af
