// source: one input's bytes at offsets. Every step of the join that reads an input (its
// checks, the walk of its blocks, its edge records, the copy) reads through a Source, so that
// it never cares how the bytes are reached: a local file, kept open from its check or opened
// again by name and proved to be the same file, or a remote object (http(s)://, s3://,
// s3+http(s)://, gs://) read through htslib's hFILE and its plugins.
//
// A remote Source has no descriptor (fd() is -1). Opened for the check, it reads from the start
// of the object in one stream; an http(s) object's size and last bytes come first from a
// request of their own (a suffix range, whose answer gives the size), other objects' with
// find_end(), which moves the stream to the end. Opened by
// stream_from() for the copy, it asks the server for the bytes from an offset on, in one
// request. Its identity is its size alone: hFILE does
// not expose the store's ETag or modification time, so an object rewritten at the same size
// between its check and its copy cannot be told from the one checked. Reads at offsets are
// range requests; a server that ignores ranges is refused ("the server does not serve byte
// ranges") rather than read from the wrong place. A read that fails on the way (a connection
// reset, an HTTP 5xx, a transfer cut short) is retried a few times by opening the URL again,
// checking its size and going on from the same offset, so that no byte is lost or repeated.
//
// A Source belongs to one thread at a time; two Sources of one input may be used by two
// threads at once (each has its own descriptor or connection).
#ifndef VARFORGE_JOIN_SOURCE_H
#define VARFORGE_JOIN_SOURCE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct hFILE;

namespace vfjoin {

// Whether `name` is a URL (SCHEME://...), which the join reads as a remote object.
bool is_url(const char *name);

// Whether `range`, a Content-Range value, is "bytes FIRST-LAST/SIZE" for the last `n` bytes of
// an object of SIZE >= n bytes; SIZE goes to `size`.
bool is_last_bytes(const std::string &range, size_t n, int64_t *size);

// What must be unchanged about an input between its check and its use: its file identity,
// size and times (a remote object: its size only).
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
    // start), a URL the remote object. nullptr with `why` set.
    static std::unique_ptr<Source> open(const char *name, std::string *why);

    // Opens the checked input again for a later step: through a duplicate of `kept` when it
    // is not -1, else by `name` (a URL: opened again); refused ("the file changed after it was
    // checked") unless it is still the file `id` describes.
    static std::unique_ptr<Source> reopen(const char *name, int kept, const Identity &id,
                                          std::string *why);

    // Opens the checked remote object `url` for reading its bytes from `from` to its end (or
    // `len` of them, when positive) in order, in one request; a read elsewhere, or past those
    // bytes, opens it again. The caller proves that the bytes are the ones it expects (the
    // server may have ignored the range). nullptr with `why` set.
    static std::unique_ptr<Source> stream_from(const char *url, const Identity &id, int64_t from,
                                               std::string *why, int64_t len = 0);

    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    // Reads exactly `n` bytes at `at` (retrying short and interrupted reads). false when the
    // file ends first (kShrank in `why`) or a read fails ("read error: " and the system's
    // reason).
    bool read_at(unsigned char *buf, size_t n, int64_t at, std::string *why) const;

    // Reads up to `n` bytes at `at`; the count (0 at the end), or -1 with `why` set.
    long read_some(unsigned char *buf, size_t n, int64_t at, std::string *why) const;
    // As read_some, but a remote stream that is at `at` stays there: its next read gets the
    // same bytes, on the same connection.
    long peek(unsigned char *buf, size_t n, int64_t at, std::string *why) const;

    // The bytes an http(s) object's check learns its size with: its last ones, which must be
    // the end-of-file block.
    static constexpr size_t kTail = 28;

    // For a remote object opened for the check: learns its size (a request for its last
    // `tail` bytes, which the next read then gets without another). false with `why` set.
    bool find_end(int64_t tail, std::string *why);

    // The size, or -1 while a remote object's is not known yet (find_end()).
    const Identity &identity() const { return id_; }
    bool regular() const { return regular_; }
    // For copies made inside the kernel; the Source owns it. -1 for a remote object.
    int fd() const { return fd_; }
    bool remote() const { return !url_.empty(); }

    // A duplicate of the descriptor, for keeping beyond this Source; -1 with `why` set.
    int keep(std::string *why) const;

    // Whether the input is still what `id` describes (a local file's times and size, looked
    // at again; a remote object was checked when it was opened). false with `why` set.
    bool unchanged(const Identity &id, std::string *why) const;

   private:
    explicit Source(int fd) : fd_(fd) {}
    bool stat_now(std::string *why);
    static std::unique_ptr<Source> open_url(const char *url, const Identity *id, std::string *why);
    long remote_read(unsigned char *buf, size_t n, int64_t at, std::string *why) const;

    int fd_;
    Identity id_;
    bool regular_ = false;
    std::string url_;
    mutable hFILE *hf_ = nullptr;      // the remote object's connection, opened again on a failure
    mutable int64_t pos_ = 0;          // where hf_ reads next
    mutable int64_t base_ = 0;         // the object's offset of hf_'s first byte (stream_from)
    std::vector<unsigned char> tail_;  // the last bytes, when they came with the size
    mutable bool bounded_ = false;     // hf_ asked for a range with an end (stream_from's len)
};

}  // namespace vfjoin

#endif
