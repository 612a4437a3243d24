// object_writer: writes a joined output as the parts of one multipart upload. The caller hands
// over the output in order, as bytes and as ranges of its inputs; the writer cuts it into parts
// (part_plan.h), has the store copy the ranges it can in place, and uploads the rest, reading
// range bytes through a RangeReader only when an uploaded part needs them.
//
// Conventions:
//  1. The caller's thread calls every method; bytes() copies what it keeps, so `data` need
//     stay valid only during the call.
//  2. `parallel` worker threads, started by the constructor, send the parts: at most `parallel`
//     requests in flight, and at most parallel + 1 uploaded parts in memory (those being sent
//     and the one the caller's thread is building, which waits for a free worker).
//  3. The PartStore is called from the worker threads at once; the RangeReader only from the
//     caller's thread.
//  4. The first failure (a part refused, a read, the plan) stops the writer: no further part
//     is sent, and every later call returns false with that first reason, which names the
//     part. Aborting the upload is the caller's job.
//  5. Destroying the writer before finish() drops the parts not yet sent and joins its threads
//     (after the requests in flight return).
#ifndef VARFORGE_JOIN_OBJECT_WRITER_H
#define VARFORGE_JOIN_OBJECT_WRITER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "part_plan.h"

namespace vfjoin {

// Where a copyable input lives in the store; `etag` pins the version read when it was
// examined (empty: any).
struct CopySource {
    std::string bucket, key, etag;
};

// The requests of one multipart upload; called from several threads at once.
class PartStore {
   public:
    virtual ~PartStore() = default;
    // Uploads `len` bytes as part `number`; its ETag in `etag`.
    virtual bool upload(int number, const unsigned char *data, size_t len, std::string *etag,
                        std::string *why) = 0;
    // Copies bytes [first, last_inclusive] of `src` into part `number`.
    virtual bool copy(int number, const CopySource &src, int64_t first, int64_t last_inclusive,
                      std::string *etag, std::string *why) = 0;
};

// Reads bytes [offset, offset+len) of input `source` into `buf`; false with `why` set.
using RangeReader = std::function<bool(int source, int64_t offset, size_t len, unsigned char *buf,
                                       std::string *why)>;

class ObjectWriter {
   public:
    ObjectWriter(PartStore &store, RangeReader read, const PartLimits &limits,
                 int64_t expected_total, int parallel = 4);
    ~ObjectWriter();
    ObjectWriter(const ObjectWriter &) = delete;
    ObjectWriter &operator=(const ObjectWriter &) = delete;

    // Where copyable input `source` lives; needed before its first copyable range.
    void set_source(int source, CopySource src);

    // Appends bytes to the output.
    bool bytes(const unsigned char *data, size_t len, std::string *why);
    // Appends bytes [offset, offset+len) of input `source`; `copyable`: the store may copy
    // them from the location given by set_source.
    bool range(int source, int64_t offset, int64_t len, bool copyable, std::string *why);

    // Sends the rest and waits for every part; on success `parts` holds (number, ETag) in
    // order, for the completion of the upload.
    bool finish(std::vector<std::pair<int, std::string>> *parts, std::string *why);

    int64_t position() const { return position_; }  // output bytes added so far
    int64_t bytes_uploaded() const { return uploaded_; }
    int64_t bytes_downloaded() const { return downloaded_; }

   private:
    // A piece of output not yet in a sent part: held bytes, or an input's range.
    struct Held {
        int64_t out = 0;  // where it starts in the output
        int64_t len = 0;
        bool is_bytes = false;
        bool copyable = false;
        std::vector<unsigned char> data;     // is_bytes: the bytes not yet sent, once kept
        const unsigned char *ext = nullptr;  // is_bytes: the caller's bytes, during its call
        int source = -1;
        int64_t offset = 0;
    };
    struct Job {
        int number;
        std::vector<unsigned char> data;  // an upload
        bool copy = false;
        CopySource src;
        int64_t first = 0, last = 0;
    };

    bool add(Held h, std::string *why);
    bool send(const PlannedPart &p, std::string *why);
    bool fill(int number, int64_t out, int64_t len, unsigned char *buf, std::string *why);
    bool stop(const std::string &reason, std::string *why);
    bool stopped(std::string *why);
    void work();

    PartStore &store_;
    RangeReader read_;
    PartPlanner planner_;
    std::deque<Held> held_;  // in output order; the caller's thread only
    std::map<int, CopySource> sources_;
    int64_t position_ = 0, uploaded_ = 0, downloaded_ = 0;
    int64_t planned_ = 0;  // output bytes in parts planned so far
    int parts_ = 0;        // parts planned so far

    std::mutex mutex_;  // guards what follows
    std::condition_variable work_ready_, slot_free_;
    std::deque<Job> queue_;
    int busy_ = 0;  // jobs queued or being sent
    bool failed_ = false, closing_ = false;
    std::string why_;
    std::vector<std::string> etags_;  // by part number - 1
    std::vector<std::thread> threads_;
    int parallel_;
};

}  // namespace vfjoin

#endif
