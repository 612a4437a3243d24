// fetch: the data of a join's remote inputs, streamed ahead of the copy, and ahead of the
// checks of the inputs after them. Up to `ahead` remote inputs are fetched at once, each by a
// thread of its own, in input order, each once the driver has admitted it: each thread asks
// the server for its input's bytes from the first data block on, in one request (on the
// connection its check kept open, for the first inputs), proves by the first bytes and the
// end-of-file block that they are the checked file's, and hands them on
// in pieces through a buffer of at most kFetchBuffer bytes, waiting while it is full. The
// memory it holds is thus at most `ahead` times (kFetchBuffer + kFetchPiece), whatever the
// inputs' sizes.
//
// Threads: the Fetcher's own threads fetch; take() is called from the join's main thread,
// for the inputs in order. The destructor stops the fetches and waits for its threads.
#ifndef VARFORGE_JOIN_FETCH_H
#define VARFORGE_JOIN_FETCH_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "input.h"

namespace vfjoin {

constexpr size_t kFetchPiece = 256 << 10;  // one read from a remote input
constexpr size_t kFetchBuffer = 1 << 20;   // the bytes of one input held ahead of the copy
constexpr int kFetchAheadDefault = 8;
constexpr int kFetchAheadMax = 64;

class Fetcher {
   public:
    // Starts fetching the remote ones among `inputs` (which must outlive the Fetcher), but for
    // those whose `skip` is set (copied inside an object store instead).
    Fetcher(const std::vector<Input> &inputs, int ahead, const std::vector<bool> &skip = {});
    ~Fetcher();
    Fetcher(const Fetcher &) = delete;
    Fetcher &operator=(const Fetcher &) = delete;

    // Inputs [0, count) are checked and admitted: their data may be fetched.
    void admitted(size_t count);

    // The next piece of input `in`'s data (one of the inputs given), waiting for it: true with
    // `piece` filled, or empty at the end of its data; false with `why` when its fetch failed.
    bool take(const Input &in, ReadBuffer *piece, std::string *why);

   private:
    struct Stream {
        std::deque<ReadBuffer> pieces;
        size_t bytes = 0;
        bool done = false;
        std::string why;
    };
    void run();
    void fetch(size_t i);
    ReadBuffer spare_piece();

    const std::vector<Input> &inputs_;
    std::vector<size_t> remote_;  // the remote inputs, in order
    std::vector<std::unique_ptr<Stream>> streams_;
    // Pieces the copy is done with, filled again rather than allocated (and zeroed) anew.
    std::vector<ReadBuffer> spare_;
    size_t next_ = 0;      // the next of remote_ to start
    size_t admitted_ = 0;  // inputs below this one may be fetched
    bool stop_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::thread> threads_;
};

}  // namespace vfjoin

#endif
