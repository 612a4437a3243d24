// output: where a join writes. Standard output, or with `-o FILE` a new temporary file in
// FILE's folder that is renamed onto FILE only when the whole join has succeeded: a failed or
// interrupted join (SIGINT, SIGTERM, SIGHUP) removes it and leaves an existing FILE as it was.
// A FILE that exists and is not a regular file (a device, a FIFO, /dev/stdout on a pipe) is
// written in place, as standard output is; a link to a regular file replaces the file it
// names.
#ifndef VARFORGE_JOIN_OUTPUT_H
#define VARFORGE_JOIN_OUTPUT_H

#include <sys/stat.h>

#include <string>

namespace vfjoin {

class Output {
   public:
    // `path` null: standard output.
    explicit Output(const char *path) : path_(path) {}
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // The file that the output will replace or be, when there is one already (for refusing an
    // input that is the output); false when there is none.
    bool existing(struct stat *st) const;

    // Whether the output is a temporary file until commit (a FILE that is, or will be, a
    // regular file), so that a failure found while writing still leaves nothing in place.
    bool staged() const;

    // Creates the temporary file (or opens FILE in place); the descriptor to write to, which
    // the caller then owns, or kStdout for standard output, or -1 with `why` set.
    static constexpr int kStdout = -2;
    int begin(std::string *why);

    // Puts the finished file in place; false with `why` set. Without a path, nothing to do.
    bool commit(std::string *why);

    // The temporary file, once begun.
    const std::string &temp() const { return temp_; }

    // What to name in messages about writing: the output path or "standard output".
    std::string name() const { return path_ ? std::string(path_) : "standard output"; }

   private:
    const char *path_;
    std::string target_, temp_;
    bool committed_ = false;
    int slot_ = 0;
};

}  // namespace vfjoin

#endif
