// Test support: run a program, or a piece of this test, as a child process and capture
// what it writes; scratch directories and whole-file reads and writes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace aftest {

struct ProcResult {
    int status = -1;        // exit status, or 128 + signal number when killed by a signal
    bool signaled = false;  // true when the child died from a signal
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Settings added to a child's environment, each "NAME=VALUE"; one named here replaces the
// inherited one of that name.
using Env = std::vector<std::string>;

// Runs argv[0] (a path) with the given arguments, feeding `input` on standard input
// (closed afterwards), with this process's environment plus `env`. Standard output and error
// are captured separately.
ProcResult run(const std::vector<std::string> &argv, const std::string &input = "",
               const Env &env = {});

// How capture() connects the child's standard streams.
struct CaptureOptions {
    bool shared = false;             // standard error goes into `out` too, in write order
    const char *out_path = nullptr;  // standard output goes to this existing file instead
};

// Runs `body` in a forked child whose standard output and error are captured (standard
// output fully buffered, as when a command writes into a pipe); the child exits 0 when
// `body` returns. For code that writes straight to the process's own streams.
ProcResult capture(const std::function<void()> &body, CaptureOptions how = {});

// Starts argv[0] (a path) with the descriptors in_fd, out_fd, err_fd as its standard input,
// output and error; -1 leaves the stream as this process has it. Returns the child's id;
// throws std::runtime_error when it cannot be started.
pid_t spawn(const std::vector<std::string> &argv, int in_fd = -1, int out_fd = -1, int err_fd = -1,
            const Env &env = {});

// Waits up to `seconds` for the child to end; returns its exit status, or -1 when it died
// from a signal or had to be killed for taking too long.
int wait_exit(pid_t pid, double seconds);

// Path of a program built into the build tree's bin/ folder.
std::string bin(const std::string &name);

// A fresh empty directory under $TMPDIR, removed with its contents when the object dies.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

// The whole file. A file that is missing or cannot be read fails the running test (the
// message names it) and reads as "", so a check on it cannot pass by accident.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

}  // namespace aftest
