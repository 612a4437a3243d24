// Local files and remote objects as sources of bytes at offsets.
#include "source.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vfjoin {

namespace {

constexpr int kRetries = 4;  // further attempts after a transient failure of a remote read
constexpr const char *kChanged = "the file changed after it was checked";
constexpr const char *kNoRanges = "the server does not serve byte ranges";

bool looks_remote(const char *fn) {
    const char *colon = strstr(fn, "://");
    if (!colon || colon == fn) return false;
    for (const char *p = fn; p < colon; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
              *p == '+' || *p == '-' || *p == '.'))
            return false;
    return true;
}

bool fail(std::string *why, std::string what) {
    *why = std::move(what);
    return false;
}

// Why a remote open or read failed. htslib's hFILE gives only errno: its plugins turn an HTTP
// status into one (404 and 410 ENOENT, 401 and 407 EPERM, 403 EACCES, 5xx EIO, 503 EBUSY,
// 504 ETIMEDOUT, other 4xx EINVAL) and a transfer failure into another.
std::string remote_reason(int err) {
    switch (err) {
        case ESPIPE:
            return kNoRanges;
        case ENOENT:
            return "not found on the server (HTTP 404)";
        case EACCES:
            return "access denied (HTTP 403)";
        case EPERM:
            return "not authorised (HTTP 401)";
        case EBUSY:
            return "the server is unavailable (HTTP 503)";
        case EIO:
            return "server error (HTTP 5xx) or the transfer failed";
        case EINVAL:
            return "the server refused the request (HTTP 4xx)";
        default:
            return err ? strerror(err) : "the transfer failed";
    }
}

// Failures that may pass: worth opening the URL again for.
bool transient(int err) {
    return err == EIO || err == EBUSY || err == ETIMEDOUT || err == ECONNRESET ||
           err == ECONNABORTED || err == EPIPE || err == EAGAIN || err == EPROTO ||
           err == ENETRESET || err == EINVAL || err == 0;
}

void pause_before(int attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100 << attempt));
}

void close_quietly(hFILE *hf) {
    if (hf && hclose(hf) != 0) {
        // A read-only connection has nothing to lose on closing.
    }
}

// Opens `url` and learns its size (a seek to its last byte, which also proves that the
// server serves ranges). nullptr with errno set; ESPIPE when it does not serve ranges.
hFILE *open_sized(const char *url, int64_t *size) {
    hFILE *hf = hopen(url, "r");
    if (!hf) return nullptr;
    // A seek to the end itself would ask for an empty range, which servers refuse.
    const off_t last = hseek(hf, -1, SEEK_END);
    if (last < 0) {
        const int err = errno;
        close_quietly(hf);
        errno = err;
        return nullptr;
    }
    *size = int64_t(last) + 1;
    return hf;
}

// One answer to the end probe: the Content-Range of its last response (a redirect is
// followed), and the body's bytes, of which more than `want` stop the transfer.
struct TailAnswer {
    std::string range;  // Content-Range's value
    std::vector<unsigned char> body;
    size_t want = 0;
};

size_t tail_header(char *data, size_t size, size_t count, void *user) {
    auto *a = static_cast<TailAnswer *>(user);
    const size_t len = size * count;
    if (len >= 5 && strncasecmp(data, "HTTP/", 5) == 0) a->range.clear();  // a new response
    constexpr char kName[] = "content-range:";
    if (len > sizeof kName - 1 && strncasecmp(data, kName, sizeof kName - 1) == 0) {
        a->range.assign(data + sizeof kName - 1, len - (sizeof kName - 1));
        const auto first = a->range.find_first_not_of(" \t");
        const auto last = a->range.find_last_not_of(" \t\r\n");
        a->range = first == std::string::npos ? "" : a->range.substr(first, last - first + 1);
    }
    return len;
}

size_t tail_body(char *data, size_t size, size_t count, void *user) {
    auto *a = static_cast<TailAnswer *>(user);
    const size_t len = size * count;
    if (a->body.size() + len > a->want) return 0;  // not the range asked for: stop
    a->body.insert(a->body.end(), data, data + len);
    return len;
}

}  // namespace

bool is_last_bytes(const std::string &range, size_t n, int64_t *size) {
    constexpr char kUnit[] = "bytes ";
    if (range.compare(0, sizeof kUnit - 1, kUnit) != 0) return false;
    const char *p = range.data() + sizeof kUnit - 1, *const end = range.data() + range.size();
    uint64_t first = 0, last = 0, total = 0;
    for (auto [v, sep] : {std::pair{&first, '-'}, std::pair{&last, '/'}, std::pair{&total, '\0'}}) {
        const auto [next, ec] = std::from_chars(p, end, *v);
        if (ec != std::errc() || (sep ? next == end || *next != sep : next != end)) return false;
        p = next + 1;
    }
    if (total < n || total > uint64_t(INT64_MAX) || last != total - 1 || first != total - n)
        return false;
    *size = int64_t(total);
    return true;
}

namespace {

// The size of an http(s) object and its last `n` bytes, from one request ("Range: bytes=-n")
// whose answer gives the whole size in its Content-Range; its connection is its own, so the
// stream that reads the object from its start is never cut to learn them. false when that
// does not work out (another scheme, htslib's own authentication, a failure, a server that
// ignores ranges, an object shorter than `n`): the caller learns them through hFILE, whose
// messages then say what is wrong.
bool probe_tail(const char *url, size_t n, int64_t *size, std::vector<unsigned char> *tail) {
    if (strncasecmp(url, "http://", 7) != 0 && strncasecmp(url, "https://", 8) != 0) return false;
    if (getenv("HTS_AUTH_LOCATION")) return false;
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    CURL *curl = ready ? curl_easy_init() : nullptr;
    if (!curl) return false;
    TailAnswer a;
    a.want = n;
    const std::string range = "-" + std::to_string(n);
    const std::string agent = std::string("htslib/") + hts_version() + " libcurl/" +
                              curl_version_info(CURLVERSION_NOW)->version;
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    if (const char *ca = getenv("CURL_CA_BUNDLE")) curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, tail_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &a);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, tail_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &a);
    long status = 0;
    const bool done = curl_easy_perform(curl) == CURLE_OK &&
                      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    curl_easy_cleanup(curl);
    if (!done || status != 206 || a.body.size() != n || !is_last_bytes(a.range, n, size))
        return false;
    *tail = std::move(a.body);
    return true;
}

// Runs `open` until it gives a connection, again after a pause while it fails in a way that
// may pass; nullptr with `why` set when it does not.
template <typename Open>
hFILE *open_retrying(Open open, std::string *why) {
    for (int attempt = 0;; attempt++) {
        if (hFILE *hf = open()) return hf;
        const int err = errno;
        if (attempt == kRetries || !transient(err)) {
            *why = remote_reason(err);
            return nullptr;
        }
        pause_before(attempt);
    }
}

}  // namespace

bool is_url(const char *name) {
    return looks_remote(name);
}

Identity Identity::of(const struct stat &st) {
    Identity id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

bool Identity::same(const Identity &o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
}

std::unique_ptr<Source> Source::open(const char *name, std::string *why) {
    if (looks_remote(name)) return open_url(name, nullptr, why);
    const bool is_stdin = strcmp(name, "-") == 0;
    // Without blocking: a FIFO or a device is refused below rather than waited on.
    const int fd = is_stdin ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Source> s(new Source(fd));
    if (!s->stat_now(why)) return nullptr;
    if (is_stdin && s->regular_ && lseek(fd, 0, SEEK_SET) != 0) {
        *why = strerror(errno);
        return nullptr;
    }
    return s;
}

std::unique_ptr<Source> Source::reopen(const char *name, int kept, const Identity &id,
                                       std::string *why) {
    if (kept < 0 && looks_remote(name)) return open_url(name, &id, why);
    const int fd = kept >= 0 ? fcntl(kept, F_DUPFD_CLOEXEC, 0)
                             : ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Source> s(new Source(fd));
    if (!s->stat_now(why)) return nullptr;
    if (!s->id_.same(id)) {
        *why = "the file changed after it was checked";
        return nullptr;
    }
    return s;
}

std::unique_ptr<Source> Source::open_url(const char *url, const Identity *id, std::string *why) {
    int64_t size = -1;
    // For the check, one stream from the start; the size and the last bytes from a request of
    // their own where the server gives them so (both at once: the check waits for one round
    // trip, not two), else later (find_end).
    std::vector<unsigned char> tail;
    bool probed = false;
    std::thread probe;
    if (!id) {
        try {
            probe = std::thread([&] { probed = probe_tail(url, kTail, &size, &tail); });
        } catch (const std::system_error &) {
            // No thread to spare: the size is learnt the slow way.
        }
    }
    hFILE *hf = open_retrying([&] { return id ? open_sized(url, &size) : hopen(url, "r"); }, why);
    if (probe.joinable()) probe.join();
    if (!id && !probed) size = -1, tail.clear();
    if (!hf) return nullptr;
    std::unique_ptr<Source> s(new Source(-1));
    s->hf_ = hf;
    s->url_ = url;
    s->pos_ = id ? size - 1 : 0;
    s->id_.size = size;
    s->tail_ = std::move(tail);
    s->regular_ = true;
    if (id && !s->id_.same(*id)) {
        *why = kChanged;
        return nullptr;
    }
    return s;
}

std::unique_ptr<Source> Source::stream_from(const char *url, const Identity &id, int64_t from,
                                            std::string *why, int64_t len) {
    const std::string range = "Range: bytes=" + std::to_string(from) + "-" +
                              (len > 0 ? std::to_string(from + len - 1) : "");
    hFILE *hf =
        open_retrying([&] { return hopen(url, "r:", "httphdr", range.c_str(), nullptr); }, why);
    if (!hf) return nullptr;
    std::unique_ptr<Source> s(new Source(-1));
    s->hf_ = hf;
    s->url_ = url;
    s->pos_ = s->base_ = from;
    s->bounded_ = len > 0;
    s->id_ = id;
    s->regular_ = true;
    return s;
}

Source::~Source() {
    if (fd_ >= 0) close(fd_);
    close_quietly(hf_);
}

bool Source::find_end(int64_t tail, std::string *why) {
    if (!remote() || id_.size >= 0) return true;
    errno = 0;
    const off_t at = hf_ ? hseek(hf_, off_t(-tail), SEEK_END) : -1;
    if (at >= 0) {
        id_.size = int64_t(at) + tail;
        pos_ = at;
        return true;
    }
    if (errno == ESPIPE) return fail(why, kNoRanges);
    // Shorter than `tail`, or the connection failed: opened again, which learns the size too.
    close_quietly(hf_);
    hf_ = nullptr;
    int64_t size = 0;
    if (!(hf_ = open_retrying([&] { return open_sized(url_.c_str(), &size); }, why))) return false;
    id_.size = size;
    pos_ = size - 1;
    return true;
}

long Source::remote_read(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    const bool sized = id_.size >= 0;
    // A stream is read on to its true end, which shows an object that grew.
    const bool to_true_end = hf_ && pos_ == at;
    if (n == 0 || (sized && at >= id_.size && !to_true_end)) return 0;
    if (sized && !to_true_end) n = size_t(std::min<int64_t>(int64_t(n), id_.size - at));
    // The last bytes, when they came with the size, are not asked for again.
    const int64_t tail_at = id_.size - int64_t(tail_.size());
    if (sized && !tail_.empty() && !to_true_end && at >= tail_at) {
        memcpy(buf, tail_.data() + (at - tail_at), n);
        return long(n);
    }
    int err = 0;
    for (int attempt = 0;; attempt++) {
        // A stream opened at an offset reads on only from where it is.
        if (hf_ && base_ > 0 && pos_ != at) {
            close_quietly(hf_);
            hf_ = nullptr;
        }
        if (hf_) {
            errno = 0;
            if (pos_ == at || hseek(hf_, off_t(at), SEEK_SET) == off_t(at)) {
                pos_ = at;
                const ssize_t r = hread(hf_, buf, n);
                if (r > 0) {
                    pos_ += r;
                    return long(r);
                }
                if (r == 0 && errno == 0 && (!sized || at >= id_.size)) return 0;
                // A whole answer (its length announced, so a cut one fails) that ends before
                // the size is another version of the object: reading on from a new request
                // would join two versions.
                if (r == 0 && errno == 0 && !bounded_) {
                    *why = kChanged;
                    return -1;
                }
                // An answer to a bounded range ends at its bound: read on from a new request.
            }
            err = errno;
            if (err == ESPIPE || attempt == kRetries || !transient(err)) {
                *why = std::string("read error: ") + remote_reason(err);
                return -1;
            }
            close_quietly(hf_);
            hf_ = nullptr;
            pause_before(attempt);
        }
        // Opened again, proved the same size, and read on from `at`.
        int64_t size = 0;
        hf_ = open_sized(url_.c_str(), &size);
        err = hf_ ? 0 : errno;
        if (hf_ && sized && size != id_.size) {
            *why = kChanged;
            return -1;
        }
        if (!hf_ && (attempt == kRetries || !transient(err))) {
            *why = std::string("read error: ") + remote_reason(err);
            return -1;
        }
        if (!hf_) {
            pause_before(attempt);
            continue;
        }
        base_ = 0;
        bounded_ = false;
        pos_ = size - 1;
    }
}

bool Source::unchanged(const Identity &id, std::string *why) const {
    if (remote()) return true;
    struct stat st;
    if (fstat(fd_, &st) != 0) return fail(why, strerror(errno));
    if (!Identity::of(st).same(id)) return fail(why, "the file changed while it was being copied");
    return true;
}

bool Source::stat_now(std::string *why) {
    struct stat st;
    if (fstat(fd_, &st) != 0) return fail(why, strerror(errno));
    id_ = Identity::of(st);
    regular_ = S_ISREG(st.st_mode);
    return true;
}

long Source::peek(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    if (!hf_ || pos_ != at) return read_some(buf, n, at, why);
    const ssize_t r = hpeek(hf_, buf, n);
    if (r >= 0) return long(r);
    *why = std::string("read error: ") + remote_reason(errno);
    return -1;
}

long Source::read_some(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    if (!url_.empty()) return remote_read(buf, n, at, why);
    for (;;) {
        const ssize_t r = pread(fd_, buf, n, off_t(at));
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        *why = std::string("read error: ") + strerror(errno);
        return -1;
    }
}

bool Source::read_at(unsigned char *buf, size_t n, int64_t at, std::string *why) const {
    for (size_t got = 0; got < n;) {
        const long r = read_some(buf + got, n - got, at + int64_t(got), why);
        if (r < 0) return false;
        if (r == 0) return fail(why, kShrank);
        got += size_t(r);
    }
    return true;
}

int Source::keep(std::string *why) const {
    if (fd_ < 0) {
        *why = "a remote object has no descriptor to keep";
        return -1;
    }
    const int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) *why = strerror(errno);
    return fd;
}

}  // namespace vfjoin
