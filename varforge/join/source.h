// source: one input's bytes at offsets. Every step of the join that reads an input (its
// checks, the walk of its blocks, its edge records, the copy) reads through a Source, so that
// it never cares how the bytes are reached: today a local file, kept open from its check or
// opened again by name and proved to be the same file.
//
// A Source belongs to one thread at a time; two Sources of one input may be used by two
// threads at once (each has its own descriptor).
#ifndef VARFORGE_JOIN_SOURCE_H
#define VARFORGE_JOIN_SOURCE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vfjoin {

// What must be unchanged about an input between its check and its use: its file identity,
// size and times.
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t size = 0;
    timespec mtime{}, ctime{};

    static Identity of(const struct stat &st);
    bool same(const Identity &o) const;
};

constexpr const char *kShrank = "the file shrank";

class Source {
   public:
    // Opens `name` for the check: "-" is standard input (a duplicate of it, rewound to its
    // start), a URL is refused ("remote files are not supported"). nullptr with `why` set.
    static std::unique_ptr<Source> open(const char *name, std::string *why);

    // Opens the checked input again for a later step: through a duplicate of `kept` when it
    // is not -1, else by `name`; refused ("the file changed after it was checked") unless it
    // is still the file `id` describes.
    static std::unique_ptr<Source> reopen(const char *name, int kept, const Identity &id,
                                          std::string *why);

    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    // Reads exactly `n` bytes at `at` (retrying short and interrupted reads). false when the
    // file ends first (kShrank in `why`) or a read fails ("read error: " and the system's
    // reason).
    bool read_at(unsigned char *buf, size_t n, int64_t at, std::string *why) const;

    // Reads up to `n` bytes at `at`; the count (0 at the end), or -1 with `why` set.
    long read_some(unsigned char *buf, size_t n, int64_t at, std::string *why) const;

    const Identity &identity() const { return id_; }
    bool regular() const { return regular_; }
    int fd() const { return fd_; }  // for copies made inside the kernel; the Source owns it

    // A duplicate of the descriptor, for keeping beyond this Source; -1 with `why` set.
    int keep(std::string *why) const;

   private:
    explicit Source(int fd) : fd_(fd) {}
    bool stat_now(std::string *why);

    int fd_;
    Identity id_;
    bool regular_ = false;
};

}  // namespace vfjoin

#endif
