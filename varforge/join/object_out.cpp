// A join written into an S3 store as one multipart upload.
#include "object_out.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vfjoin {

namespace {

constexpr int kParallelParts = 4;  // part requests in flight
constexpr unsigned kHeads = 16;    // inputs' ETags asked for at once
const char *const kIndexSuffixes[] = {".csi", ".tbi"};

}  // namespace

// The upload's requests, for the writer's threads.
class ObjectOutput::Store : public PartStore {
   public:
    Store(S3Client &client, const S3Url &to, std::string id)
        : client_(client), to_(to), id_(std::move(id)) {}
    bool upload(int number, const unsigned char *data, size_t len, std::string *etag,
                std::string *why) override {
        return client_.upload_part(to_.bucket, to_.key, id_, number, data, len, etag, why);
    }
    bool copy(int number, const CopySource &src, int64_t first, int64_t last, std::string *etag,
              std::string *why) override {
        return client_.upload_part_copy(to_.bucket, to_.key, id_, number, src.bucket, src.key,
                                        first, last, src.etag, etag, why);
    }

   private:
    S3Client &client_;
    const S3Url &to_;
    std::string id_;
};

ObjectOutput::ObjectOutput(const char *url) : url_(url) {
    // Held in every thread started from here on; the signal thread takes them.
    sigemptyset(&held_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held_, sig);
    pthread_sigmask(SIG_BLOCK, &held_, &old_mask_);
    if (pipe2(wake_, O_CLOEXEC) == 0) signal_thread_ = std::thread([this] { wait_for_signals(); });
}

ObjectOutput::~ObjectOutput() {
    writer_.reset();  // its threads stop before the upload is aborted
    if (signal_thread_.joinable()) {
        if (write(wake_[1], "x", 1) != 1) {
            // The thread then waits on; it was started, so the pipe works.
        }
        signal_thread_.join();
    }
    for (int fd : wake_)
        if (fd >= 0) close(fd);
    {
        std::lock_guard<std::mutex> lock(commit_mu_);
        if (!completed_ && !upload_id_.empty()) abort_upload();
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

void ObjectOutput::wait_for_signals() {
    const int sfd = signalfd(-1, &held_, SFD_CLOEXEC);
    if (sfd < 0) return;
    pollfd fds[2] = {{sfd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    signalfd_siginfo info;
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;  // the join is over
        if (read(sfd, &info, sizeof info) != ssize_t(sizeof info)) continue;
        {
            std::lock_guard<std::mutex> lock(commit_mu_);
            if (!completed_ && !upload_id_.empty()) abort_upload();
            completed_ = true;  // nothing more to abort
        }
        // Ends the process by the same signal, through the temporary files' handler.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, int(info.ssi_signo));
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(int(info.ssi_signo));
        signal(int(info.ssi_signo), SIG_DFL);
        raise(int(info.ssi_signo));
    }
    close(sfd);
}

bool ObjectOutput::abort_upload() {
    std::string why;
    const bool ok = client_->abort_upload(where_.bucket, where_.key, upload_id_, &why);
    upload_id_.clear();
    return ok;
}

bool ObjectOutput::configure(Fault *f) {
    std::string why;
    if (!parse_s3_url(url_, &where_, &why) || !(client_ = S3Client::for_url(where_, &why)))
        return f->set(url_, why);
    return true;
}

bool ObjectOutput::in_store(const char *name) const {
    S3Url u;
    std::string why;
    return client_ && is_s3_url(name) && parse_s3_url(name, &u, &why) && client_->same_store(u);
}

const char *ObjectOutput::refuses(const char *name) const {
    S3Url u;
    std::string why;
    if (!in_store(name) || !parse_s3_url(name, &u, &why) || u.bucket != where_.bucket)
        return nullptr;
    if (u.key == where_.key) return "it is also the output";
    for (const char *suffix : kIndexSuffixes)
        if (u.key == where_.key + suffix) return "it is an index of the output";
    return nullptr;
}

bool ObjectOutput::pin_sources(std::vector<Input> &inputs, Fault *f) {
    const size_t n = inputs.size();
    etags_.assign(n, {});
    sources_.assign(n, {});
    std::vector<std::string> whys(n);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < n;) {
            if (!in_store(inputs[i].name)) continue;
            S3Url &u = sources_[i].first;
            S3ObjectInfo info;
            if (!parse_s3_url(inputs[i].name, &u, &whys[i]) ||
                !client_->head(u.bucket, u.key, &info, &whys[i]))
                continue;
            if (!info.exists || info.size != inputs[i].id.size)
                whys[i] = "the file changed after it was checked";
            etags_[i] = info.etag;
            sources_[i].second = whys[i].empty();
        }
    };
    std::vector<std::thread> threads;
    try {
        for (unsigned t = 1; t < std::min<size_t>(kHeads, n); t++) threads.emplace_back(work);
    } catch (const std::system_error &) {
        // Fewer threads only ask fewer at once.
    }
    work();
    for (auto &t : threads) t.join();
    for (size_t i = 0; i < n; i++)
        if (!whys[i].empty()) return f->set(inputs[i].name, whys[i]);
    return true;
}

ObjectWriter *ObjectOutput::begin(const std::vector<Input> &inputs, Fault *f) {
    std::string id, why;
    {
        std::lock_guard<std::mutex> lock(commit_mu_);
        if (completed_) return f->set(url_, "interrupted", true), nullptr;
        if (!client_->create_upload(where_.bucket, where_.key, &id, &why))
            return f->set(url_, why, true), nullptr;
        upload_id_ = id;
    }
    store_ = std::make_unique<Store>(*client_, where_, id);
    int64_t total = 0;
    for (const Input &in : inputs) total += in.id.size;
    // Bytes borrowed from an input in the store, to make a part of small pieces.
    RangeReader read = [this](int source, int64_t offset, size_t len, unsigned char *buf,
                              std::string *why) {
        const S3Url &u = sources_[size_t(source)].first;
        return client_->get_range(u.bucket, u.key, offset, len, etags_[size_t(source)], buf, why);
    };
    writer_ = std::make_unique<ObjectWriter>(*store_, read, PartLimits{}, total, kParallelParts);
    for (size_t i = 0; i < sources_.size(); i++)
        if (sources_[i].second)
            writer_->set_source(
                int(i), CopySource{sources_[i].first.bucket, sources_[i].first.key, etags_[i]});
    return writer_.get();
}

bool ObjectOutput::commit(const std::vector<unsigned char> &index, const std::string &suffix,
                          std::vector<std::string> *removed, Fault *f) {
    std::vector<std::pair<int, std::string>> parts;
    std::string why;
    if (!writer_->finish(&parts, &why)) return f->set(url_, why, true);
    {
        std::lock_guard<std::mutex> lock(commit_mu_);
        if (completed_) return f->set(url_, "interrupted", true);
        // The old index goes first: until the new one is put, KEY has none.
        for (const char *old : kIndexSuffixes) {
            S3ObjectInfo info;
            const std::string key = where_.key + old;
            if (!client_->head(where_.bucket, key, &info, &why) ||
                (info.exists && !client_->delete_object(where_.bucket, key, &why)))
                return f->set(url_ + old, "cannot remove the old index: " + why, true);
            if (info.exists) removed->push_back(url_ + old);
        }
        if (!client_->complete_upload(where_.bucket, where_.key, upload_id_, parts, &why))
            return f->set(url_, why, true);
        completed_ = true;
        upload_id_.clear();
    }
    if (!suffix.empty() &&
        !client_->put_object(where_.bucket, where_.key + suffix, index.data(), index.size(), &why))
        return f->set(
            url_ + suffix,
            "cannot write the index: " + why + "; " + url_ + " was written without an index", true);
    return true;
}

int64_t ObjectOutput::bytes_copied() const {
    return writer_ ? writer_->position() - writer_->bytes_uploaded() : 0;
}

}  // namespace vfjoin
