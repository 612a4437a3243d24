// Test support: run a program as a child process and capture what it writes.
#pragma once

#include <string>
#include <vector>

namespace aftest {

struct ProcResult {
    int status = -1;        // exit status, or 128 + signal number when killed by a signal
    bool signaled = false;  // true when the child died from a signal
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Runs argv[0] (a path) with the given arguments, feeding `input` on standard input
// (closed afterwards). Standard output and error are captured separately.
ProcResult run(const std::vector<std::string> &argv, const std::string &input = "");

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

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

}  // namespace aftest
