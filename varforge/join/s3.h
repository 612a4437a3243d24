// s3: the requests that write an object into an S3 store (and the few that read or tidy up
// around a write): a whole object, or a multipart upload whose parts are sent or copied by
// the store from byte ranges of other objects in it (UploadPartCopy), so that joined data
// already in the store need not travel through this machine.
//
// Conventions:
//  1. Every request returns bool: true when the store did what was asked. On false, `why`
//     says what went wrong in a few words: "HTTP STATUS CODE: MESSAGE" when the store answers
//     with an error (e.g. "HTTP 404 NoSuchKey: The specified key does not exist."), else
//     libcurl's message (e.g. "Couldn't connect to server"). It never names the object; the
//     caller does.
//  2. A request that fails in a way that may pass (no connection, a connection reset or cut
//     short, a timeout, HTTP 5xx or 429, the store's SlowDown, RequestTimeout and
//     InternalError) is sent again, up to kS3Retries times after a pause that grows from
//     kS3FirstPause (set_retries() changes them). A retried CreateMultipartUpload whose first
//     answer was lost may leave an upload behind that no one will complete: list_uploads()
//     finds such uploads. A retried CompleteMultipartUpload whose first answer was lost fails
//     with NoSuchUpload although the object may be in place (`why` says so); a retried
//     AbortMultipartUpload that meets NoSuchUpload so has succeeded.
//  3. Requests are signed by libcurl (AWS signature version 4); request bodies carry their
//     SHA-256, so the store refuses a body damaged on the way. Keys are sent percent-encoded.
//  4. Threads: one S3Client may be used by any number of threads at once; each request takes
//     a libcurl handle of its own from the client's pool (connections are kept for the next
//     request on the same handle). The counters are atomic. for_url() initialises libcurl
//     once per process (std::call_once); the first S3Client must be made before other threads
//     use libcurl themselves unless libcurl is thread-safe to initialise (Debian's is).
#ifndef VARFORGE_JOIN_S3_H
#define VARFORGE_JOIN_S3_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vfjoin {

constexpr int kS3Retries = 4;
constexpr std::chrono::milliseconds kS3FirstPause{200};

// An object named by s3://[PROFILE@]BUCKET/KEY, s3+http://..., s3+https://... (s3:// is
// https). The key is taken as written, up to the end of the URL.
struct S3Url {
    std::string scheme_http;  // "http" or "https"
    std::string profile, bucket, key;
};
bool parse_s3_url(const std::string &url, S3Url *out, std::string *why);
// Whether `name` starts with s3://, s3+http:// or s3+https://.
bool is_s3_url(const char *name);

struct S3ObjectInfo {
    bool exists = false;
    int64_t size = 0;
    std::string etag;  // as the store gives it, quotes included
};

// The SHA-256 of `len` bytes at `data` (null when len is 0) in lower-case hex, as a request's
// x-amz-content-sha256 header carries it.
std::string sha256_hex(const unsigned char *data, size_t len);

// Where and as whom requests go: a store's endpoint and the credentials for it, as
// S3Client::for_url() finds them in the environment and the credentials file.
struct S3Config {
    std::string scheme_http;    // "http" or "https"
    std::string host;           // host[:port]
    std::string region;         // e.g. us-east-1
    std::string address_style;  // "path", "virtual", or "" (virtual where the bucket allows)
    std::string key_id, secret, token;  // key_id empty: requests go unsigned
    // Reads the settings for `url`: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
    // AWS_SESSION_TOKEN (unless the URL names a profile), else the profile (the URL's, else
    // AWS_PROFILE, else "default") of AWS_SHARED_CREDENTIALS_FILE or ~/.aws/credentials
    // (aws_access_key_id, aws_secret_access_key, aws_session_token, region); AWS_DEFAULT_REGION
    // (default us-east-1); HTS_S3_HOST (default s3.amazonaws.com, or s3.REGION.amazonaws.com
    // outside us-east-1); HTS_S3_ADDRESS_STYLE. False with `why` set when a setting is bad or
    // the named profile is not in the file.
    static bool read(const S3Url &url, S3Config *out, std::string *why);
    // "path" or "virtual" for `bucket`.
    std::string style_for(const std::string &bucket) const;
};

class S3Client {
   public:
    // The store and credentials for `url` (S3Config::read). nullptr with `why` set.
    static std::unique_ptr<S3Client> for_url(const S3Url &url, std::string *why);
    ~S3Client();
    S3Client(const S3Client &) = delete;
    S3Client &operator=(const S3Client &) = delete;

    const S3Config &config() const { return cfg_; }
    // Whether `other` names an object in the same store with the same credentials (so that
    // UploadPartCopy from it works).
    bool same_store(const S3Url &other) const;
    // How often a failed request is sent again, and the pause before the first retry (it
    // doubles for each next one); for tests. Call before the first request.
    void set_retries(int retries, std::chrono::milliseconds first_pause) {
        retries_ = retries, pause_ = first_pause;
    }

    // 404: true with exists=false.
    bool head(const std::string &bucket, const std::string &key, S3ObjectInfo *info,
              std::string *why);
    bool create_upload(const std::string &bucket, const std::string &key, std::string *upload_id,
                       std::string *why);
    // Sends `len` bytes at `data` as part `number`; `etag` receives the part's ETag.
    bool upload_part(const std::string &bucket, const std::string &key,
                     const std::string &upload_id, int number, const unsigned char *data,
                     size_t len, std::string *etag, std::string *why);
    // Copies bytes [first, last] (inclusive) of src_bucket/src_key into part `number`;
    // `src_etag` non-empty: sent as x-amz-copy-source-if-match, so that a changed source fails
    // (HTTP 412) instead of being copied.
    bool upload_part_copy(const std::string &bucket, const std::string &key,
                          const std::string &upload_id, int number, const std::string &src_bucket,
                          const std::string &src_key, int64_t first, int64_t last,
                          const std::string &src_etag, std::string *etag, std::string *why);
    // `parts`: (number, ETag) in ascending order of number, each one sent or copied before.
    bool complete_upload(const std::string &bucket, const std::string &key,
                         const std::string &upload_id,
                         const std::vector<std::pair<int, std::string>> &parts, std::string *why);
    bool abort_upload(const std::string &bucket, const std::string &key,
                      const std::string &upload_id, std::string *why);
    bool put_object(const std::string &bucket, const std::string &key, const unsigned char *data,
                    size_t len, std::string *why);
    // An absent object counts as deleted.
    bool delete_object(const std::string &bucket, const std::string &key, std::string *why);
    // Reads `len` bytes at `first` into buf (exactly len, else false); `etag` non-empty: the
    // object must still have it (If-Match; HTTP 412 otherwise). len 0 asks nothing.
    bool get_range(const std::string &bucket, const std::string &key, int64_t first, size_t len,
                   const std::string &etag, unsigned char *buf, std::string *why);
    // The uploads in progress under `bucket` whose key starts with `prefix`: (key, upload id).
    bool list_uploads(const std::string &bucket, const std::string &prefix,
                      std::vector<std::pair<std::string, std::string>> *out, std::string *why);

    // Bytes of request bodies sent and of response bodies received, over all requests so far.
    int64_t bytes_sent() const { return sent_.load(); }
    int64_t bytes_received() const { return received_.load(); }

    struct Request;  // one request's method, target, headers and body (s3.cpp)
    struct Reply;    // its answer

   private:
    explicit S3Client(S3Config cfg) : cfg_(std::move(cfg)) {}
    bool send(const Request &rq, Reply *reply, std::string *why);
    bool send_once(void *curl, const Request &rq, Reply *reply, std::string *why, bool *transient);
    void *take_handle();
    void give_handle(void *curl);

    S3Config cfg_;
    int retries_ = kS3Retries;
    std::chrono::milliseconds pause_ = kS3FirstPause;
    std::atomic<int64_t> sent_{0}, received_{0};
    std::mutex pool_mu_;
    std::vector<void *> pool_;  // idle libcurl handles
};

}  // namespace vfjoin

#endif
