// copy: appends one checked input's records to the output. The records that share the block
// in which the input's header ends are compressed again into blocks of the output stream; the
// blocks after it, up to the end-of-file block, are copied as raw bytes inside the kernel
// (copy_file_range, or splice into a pipe) where it accepts the pair of files, and through a
// buffer where it does not; the bytes are the same either way.
#ifndef VARFORGE_JOIN_COPY_H
#define VARFORGE_JOIN_COPY_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "bgzf_bcf/bgzf.h"
#include "input.h"

namespace vfjoin {

// Writes "[bcf_cat] NAME: WHAT" to standard error; returns false.
bool report(const std::string &name, const std::string &what);

class Copier {
   public:
    // `out` is the output stream; `out_name` names it in messages.
    Copier(vf::BGZF *out, std::string out_name);

    // Appends `in` (re-opened by name when its descriptor was not kept; it must still be the
    // file that was checked). false on failure, with the message written.
    bool append(const Input &in);

   private:
    bool raw(const char *name, int fd, off_t from, off_t to);
    bool in_kernel(const char *name, int fd, off_t *at, off_t to, bool use_splice);
    bool buffered(const char *name, int fd, off_t at, off_t to);
    bool write_failed(int err);

    vf::BGZF *out_;
    int out_fd_;
    std::string out_name_;
    bool to_pipe_ = false;
    bool kernel_copy_ = true, splice_ = true;
    std::vector<char> buf_;
};

}  // namespace vfjoin

#endif
