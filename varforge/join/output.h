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

    // Creates the temporary file (or takes standard output); the path to open for writing,
    // or empty with `why` set.
    std::string begin(std::string *why);

    // Puts the finished file in place; false with `why` set. Without a path, nothing to do.
    bool commit(std::string *why);

    // What to name in messages about writing: the output path or "standard output".
    std::string name() const { return path_ ? std::string(path_) : "standard output"; }

   private:
    const char *path_;
    std::string target_, temp_;
    bool committed_ = false;
};

}  // namespace vfjoin

#endif
