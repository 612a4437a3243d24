// commit: where a join writes, and how the result is put in place.
//
// Standard output is written as it goes. With `-o FILE` the joined file (and, with -W, its
// index) is written into temporary files beside the file that will be replaced, which become
// FILE and FILE's index only in commit(), as a pair, under one invariant:
//
//   At every moment (during the run, after any signal, crash or power loss, after any failed
//   step, and with two runs writing the same FILE at once) an index beside FILE either
//   answers for FILE's current bytes or is absent.
//
// commit() keeps it so: with the guarded signals held and an advisory lock on FILE's folder
// (writers of one folder take turns), it syncs both temporary files, removes every index of
// the old FILE (FILE.csi and FILE.tbi, and beside a link's own name), renames the data onto
// FILE, then renames the new index beside it, and syncs the folder. A crash before the data's
// rename leaves the old FILE without an index; after it, the new FILE without one or with its
// own. A failure after the old index was removed says that FILE is left without one.
//
// A FILE that exists and is not a regular file (a device, a FIFO, /dev/stdout on a pipe) is
// written in place, as standard output is; a link to a regular file replaces the file it
// names, and the index goes beside that file. A replaced FILE keeps its permission bits.
//
// Temporary files are named ".NAME.vftmp.PID.XXXXXX" (temp_files.h); they are removed when
// the join fails, on SIGINT, SIGTERM and SIGHUP, and, when a later join finds them beside its
// output and their process is gone, by that join.
//
// Threads: everything here runs in the join's main thread.
#ifndef VARFORGE_JOIN_COMMIT_H
#define VARFORGE_JOIN_COMMIT_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "fault.h"
#include "temp_files.h"

namespace vfjoin {

class Commit {
   public:
    // `path` null: standard output. `sync`: flush data to the disk before it is renamed.
    Commit(const char *path, bool sync);
    ~Commit();  // closes the output; temporary files not committed are removed
    Commit(const Commit &) = delete;
    Commit &operator=(const Commit &) = delete;

    // The file that the output will replace or be, when there is one already (for refusing an
    // input that is the output, or one of its index paths).
    bool existing(struct stat *st) const;

    // Whether the output is a temporary file until commit (a FILE that is, or will be, a
    // regular file), so that a failure found while writing still leaves nothing in place.
    bool staged() const { return staged_; }

    // The paths of FILE's indexes, old or new (FILE.csi, FILE.tbi, beside the replaced file
    // and beside a link's own name).
    std::vector<std::string> index_paths() const;

    // Creates the temporary file (or opens FILE in place); the descriptor to write to, owned
    // by the Commit, or -1 with `f` set. Standard output: STDOUT_FILENO.
    int begin(Fault *f);

    // A temporary file for the index with `suffix` (".csi" or ".tbi"): its path, "" with `f`
    // set. Its contents are the caller's to write.
    std::string begin_index(const std::string &suffix, Fault *f);

    // Puts the output (and the index, when begun) in place. `removed` gets the old index
    // paths that were removed.
    bool commit(std::vector<std::string> *removed, Fault *f);

    // What to name in messages about writing: the output path or "standard output".
    std::string name() const { return path_ ? std::string(path_) : "standard output"; }

   private:
    bool sync_file(int fd, const std::string &what, Fault *f) const;
    std::string temp_prefix(const std::string &suffix) const;

    const char *path_;
    bool sync_;
    bool staged_ = false;
    std::string target_;  // the file replaced (a link's target), or path_
    int fd_ = -1;
    TempFile temp_, index_temp_;
    std::string index_suffix_;
};

}  // namespace vfjoin

#endif
