// object_out: a join written into an S3 store (`-o s3://BUCKET/KEY`, s3+http://, s3+https://)
// as one multipart upload, assembled from the inputs' own bytes where they lie in the same
// store: their raw spans are copied inside the store (object_writer.h, part_plan.h), and only
// the header, the re-encoded first records, padding, the end-of-file block, the bytes borrowed
// to make parts of them, and inputs from elsewhere pass through this machine.
//
// The object appears only when the upload completes. Until then any failure, and SIGINT,
// SIGTERM or SIGHUP, aborts the upload, which leaves an existing object and its index as they
// were. The pair rule of local files holds for objects too: an index object beside KEY
// (KEY.csi, KEY.tbi) either answers for KEY's current bytes or is absent. So commit() removes
// the old index objects, completes the upload, and only then puts the new index. A process
// killed between the removal and the completion leaves the old object without an index; one
// killed by SIGKILL leaves its upload behind, to be aborted by the store's lifecycle rules
// (they are invisible to readers, and listed by ListMultipartUploads).
//
// Threads: built by run_join before any other thread starts, it holds SIGINT, SIGTERM and
// SIGHUP in every thread and waits for them in a thread of its own, which aborts the upload
// (unless commit() has begun completing it) and then ends the process by the same signal. Its
// other methods belong to the join's main thread; the ObjectWriter's threads send the parts.
#ifndef VARFORGE_JOIN_OBJECT_OUT_H
#define VARFORGE_JOIN_OBJECT_OUT_H

#include <signal.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault.h"
#include "input.h"
#include "object_writer.h"
#include "s3.h"

namespace vfjoin {

class ObjectOutput {
   public:
    explicit ObjectOutput(const char *url);
    ~ObjectOutput();  // aborts an upload not completed
    ObjectOutput(const ObjectOutput &) = delete;
    ObjectOutput &operator=(const ObjectOutput &) = delete;

    // Reads the store's settings; false with `f` set when they are missing or wrong.
    bool configure(Fault *f);

    // Why input `name` may not be joined into the object (it is the object or its index), or
    // null.
    const char *refuses(const char *name) const;

    // Whether input `name` lies in the output's store, so that its bytes can be copied there.
    bool in_store(const char *name) const;

    // Learns the ETags of the inputs in the store (after their checks), so that a copy from
    // one that changed since is refused by the store; false with `f` set when one is gone or
    // its size differs from the checked one.
    bool pin_sources(std::vector<Input> &inputs, Fault *f);

    // Starts the upload; the writer to give the output to, or null with `f` set.
    ObjectWriter *begin(const std::vector<Input> &inputs, Fault *f);

    // Completes the upload and puts the index (`index` bytes, `suffix` ".csi" or ".tbi"; none
    // when `suffix` is empty), removing old index objects first. `removed` gets their names.
    bool commit(const std::vector<unsigned char> &index, const std::string &suffix,
                std::vector<std::string> *removed, Fault *f);

    const std::string &name() const { return url_; }
    // For the benchmark: bytes sent and received for the output, and what the parts were.
    int64_t bytes_sent() const { return client_ ? client_->bytes_sent() : 0; }
    int64_t bytes_received() const { return client_ ? client_->bytes_received() : 0; }
    int64_t bytes_copied() const;

   private:
    class Store;
    void wait_for_signals();
    bool abort_upload();

    std::string url_;
    S3Url where_;
    std::unique_ptr<S3Client> client_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<ObjectWriter> writer_;
    std::vector<std::string> etags_;               // by input: the ETag of an input in the store
    std::vector<std::pair<S3Url, bool>> sources_;  // by input: where it lies, whether in store

    std::mutex commit_mu_;  // held while the upload is completed or aborted
    std::string upload_id_;
    bool completed_ = false;

    sigset_t held_{}, old_mask_{};
    std::thread signal_thread_;
    int wake_[2] = {-1, -1};  // wakes the signal thread when the join is over
};

}  // namespace vfjoin

#endif
