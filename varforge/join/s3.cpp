// s3: see s3.h.
#include "s3.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "s3_xml.h"

namespace vfjoin {

namespace {

// ---- SHA-256 of a request body, for x-amz-content-sha256 ----

class Sha256 {
   public:
    static std::string hex(const unsigned char *data, size_t len) {
        Sha256 h;
        h.update(data, len);
        unsigned char d[32];
        h.finish(d);
        static const char kHex[] = "0123456789abcdef";
        std::string out(64, '0');
        for (int i = 0; i < 32; i++) {
            out[2 * i] = kHex[d[i] >> 4];
            out[2 * i + 1] = kHex[d[i] & 15];
        }
        return out;
    }

   private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void block(const unsigned char *p) {
        static constexpr uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
                   uint32_t(p[4 * i + 2]) << 8 | uint32_t(p[4 * i + 3]);
        for (int i = 16; i < 64; i++) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
                 h = h_[7];
        for (int i = 0; i < 64; i++) {
            const uint32_t t1 =
                h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g,
            h_[7] += h;
    }
    void update(const unsigned char *p, size_t n) {
        if (n == 0) return;  // p may be null then
        total_ += n;
        if (fill_) {
            const size_t take = std::min(n, sizeof buf_ - fill_);
            memcpy(buf_ + fill_, p, take);
            fill_ += take, p += take, n -= take;
            if (fill_ < sizeof buf_) return;
            block(buf_);
            fill_ = 0;
        }
        for (; n >= 64; p += 64, n -= 64) block(p);
        memcpy(buf_, p, n);
        fill_ = n;
    }
    void finish(unsigned char out[32]) {
        const uint64_t bits = total_ * 8;
        static const unsigned char kPad[64] = {0x80};
        update(kPad, fill_ < 56 ? 56 - fill_ : 120 - fill_);
        unsigned char len[8];
        for (int i = 0; i < 8; i++) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        update(len, 8);
        for (int i = 0; i < 8; i++)
            for (int j = 0; j < 4; j++)
                out[4 * i + j] = static_cast<unsigned char>(h_[i] >> (24 - 8 * j));
    }
    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char buf_[64];
    size_t fill_ = 0;
    uint64_t total_ = 0;
};

}  // namespace

std::string sha256_hex(const unsigned char *data, size_t len) {
    return Sha256::hex(data, len);
}

namespace {

// ---- names and settings ----

// `s` percent-encoded as a path or a query value wants it: letters, digits and -._~ kept,
// and '/' too where `keep_slash`.
std::string uri_encode(const std::string &s, bool keep_slash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() + 8);
    for (unsigned char c : s) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keep_slash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

std::string trim(std::string s) {
    const char *ws = " \t\r\n";
    s.erase(s.find_last_not_of(ws) + 1);
    s.erase(0, std::min(s.size(), s.find_first_not_of(ws)));
    return s;
}

bool starts_with_ci(std::string_view s, std::string_view head) {
    if (s.size() < head.size()) return false;
    for (size_t i = 0; i < head.size(); i++)
        if (tolower(static_cast<unsigned char>(s[i])) != head[i]) return false;
    return true;
}

// The settings of `profile` in an ini-style credentials file ("[NAME]" or "[profile NAME]"
// sections of "key = value" lines). False when the file cannot be read; *found says whether
// the profile was in it.
bool read_profile(const std::string &path, const std::string &profile,
                  std::vector<std::pair<std::string, std::string>> *out, bool *found,
                  std::string *why) {
    std::ifstream in(path);
    *found = false;
    if (!in) {
        *why = path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            std::string name = trim(line.substr(1, line.find(']') - 1));
            if (name.rfind("profile ", 0) == 0) name = trim(name.substr(8));
            inside = name == profile;
            *found = *found || inside;
            continue;
        }
        const size_t eq = line.find('=');
        if (inside && eq != std::string::npos)
            out->emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return true;
}

bool is_ip_or_localhost(const std::string &hostport) {
    std::string host = hostport;
    if (!host.empty() && host[0] == '[') return true;  // [IPv6]:port
    host = host.substr(0, host.find(':'));
    if (host == "localhost") return true;
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// ---- requests ----

bool transient_code(const std::string &code) {
    return code == "SlowDown" || code == "RequestTimeout" || code == "InternalError" ||
           code == "ServiceUnavailable";
}

bool transient_curl(CURLcode c) {
    switch (c) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SEND_FAIL_REWIND:
            return true;
        default:
            return false;
    }
}

constexpr size_t kMaxReplyBody = 16 << 20;  // an XML answer larger than this is no answer

std::once_flag curl_once;
CURLcode curl_init_result = CURLE_OK;

}  // namespace

// ---- URLs and settings ----

bool is_s3_url(const char *name) {
    return name && (strncmp(name, "s3://", 5) == 0 || strncmp(name, "s3+http://", 10) == 0 ||
                    strncmp(name, "s3+https://", 11) == 0);
}

bool parse_s3_url(const std::string &url, S3Url *out, std::string *why) {
    std::string rest;
    S3Url u;
    for (auto [prefix, scheme] : {std::pair{"s3://", "https"}, std::pair{"s3+http://", "http"},
                                  std::pair{"s3+https://", "https"}})
        if (url.rfind(prefix, 0) == 0) {
            u.scheme_http = scheme;
            rest = url.substr(strlen(prefix));
        }
    if (u.scheme_http.empty()) {
        *why = "not an s3://, s3+http:// or s3+https:// URL";
        return false;
    }
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        u.profile = authority.substr(0, at);
        authority = authority.substr(at + 1);
        if (u.profile.empty() || u.profile.find(':') != std::string::npos) {
            *why = "the part before '@' must be a profile name (keys in the URL are not taken)";
            return false;
        }
    }
    u.bucket = authority;
    if (u.bucket.empty() || u.bucket.size() > 255 ||
        u.bucket.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789.-_") != std::string::npos) {
        *why = "no valid bucket name in the URL";
        return false;
    }
    if (slash == std::string::npos || slash + 1 == rest.size()) {
        *why = "no object key in the URL";
        return false;
    }
    u.key = rest.substr(slash + 1);
    *out = std::move(u);
    return true;
}

bool S3Config::read(const S3Url &url, S3Config *out, std::string *why) {
    S3Config c;
    c.scheme_http = url.scheme_http;
    std::vector<std::pair<std::string, std::string>> prof;
    const bool env_keys = url.profile.empty() && !env("AWS_ACCESS_KEY_ID").empty();
    if (env_keys) {
        c.key_id = env("AWS_ACCESS_KEY_ID");
        c.secret = env("AWS_SECRET_ACCESS_KEY");
        c.token = env("AWS_SESSION_TOKEN");
    } else {
        std::string profile = url.profile;
        if (profile.empty()) profile = env("AWS_PROFILE");
        if (profile.empty()) profile = env("AWS_DEFAULT_PROFILE");
        const bool named = !profile.empty();
        if (!named) profile = "default";
        std::string file = env("AWS_SHARED_CREDENTIALS_FILE");
        const bool file_named = !file.empty();
        if (!file_named && !env("HOME").empty()) file = env("HOME") + "/.aws/credentials";
        bool found = false;
        std::string file_why;
        if (!file.empty() && !read_profile(file, profile, &prof, &found, &file_why) &&
            (file_named || named)) {
            *why = "cannot read the credentials file " + file_why;
            return false;
        }
        if (!found && named) {
            *why =
                "no profile '" + profile + "' in " + (file.empty() ? "~/.aws/credentials" : file);
            return false;
        }
        for (const auto &[k, v] : prof) {
            if (k == "aws_access_key_id") c.key_id = v;
            if (k == "aws_secret_access_key") c.secret = v;
            if (k == "aws_session_token") c.token = v;
            if (k == "region") c.region = v;
        }
    }
    if (!env("AWS_DEFAULT_REGION").empty()) c.region = env("AWS_DEFAULT_REGION");
    if (c.region.empty()) c.region = "us-east-1";
    if (c.region.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos) {
        *why = "the region '" + c.region + "' is not a region name";
        return false;
    }
    c.host = env("HTS_S3_HOST");
    if (c.host.empty())
        c.host = c.region == "us-east-1" ? "s3.amazonaws.com" : "s3." + c.region + ".amazonaws.com";
    if (c.host.find_first_of("/?#@ \t") != std::string::npos) {
        *why = "HTS_S3_HOST must be HOST or HOST:PORT, not '" + c.host + "'";
        return false;
    }
    c.address_style = env("HTS_S3_ADDRESS_STYLE");
    if (c.address_style == "auto") c.address_style.clear();
    if (!c.address_style.empty() && c.address_style != "path" && c.address_style != "virtual") {
        *why = "HTS_S3_ADDRESS_STYLE must be path or virtual, not '" + c.address_style + "'";
        return false;
    }
    *out = std::move(c);
    return true;
}

std::string S3Config::style_for(const std::string &bucket) const {
    if (!address_style.empty()) return address_style;
    // A bucket goes in the host name only where it makes a valid one that a certificate for
    // the store's domain covers (no dots), and only for a store reached by name.
    const bool dns =
        bucket.size() >= 3 && bucket.size() <= 63 &&
        bucket.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos &&
        bucket.front() != '-' && bucket.back() != '-';
    return dns && !is_ip_or_localhost(host) ? "virtual" : "path";
}

// ---- the client ----

struct S3Client::Request {
    const char *method = "GET";
    std::string bucket, key;  // key empty: the bucket itself
    std::string query;        // in canonical order, each value encoded, without '?'
    std::vector<std::string> headers;
    const unsigned char *body = nullptr;  // PUT and POST
    size_t body_len = 0;
    bool copy = false;  // an answer of 200 may still be an error (UploadPartCopy, Complete)
    // get_range: the bytes [first, first + len) go to out.
    unsigned char *out = nullptr;
    int64_t first = 0;
    size_t len = 0;
};

struct S3Client::Reply {
    long status = 0;
    std::string body, etag, content_range;
    int64_t content_length = -1;
    // get_range
    size_t got = 0;
    int64_t at = 0;             // offset in the object of the next byte received
    bool started = false;       // the first bytes of the answer came
    bool wrong_range = false;   // the answer starts after the range asked for
    bool filled_early = false;  // stopped once the range was in
    const S3Client::Request *rq = nullptr;
    bool too_big = false;
    bool retry = false;  // an earlier try failed, perhaps after the store had done the work
};

namespace {

struct Body {
    const unsigned char *data;
    size_t len, pos;
};

size_t read_body(char *to, size_t size, size_t n, void *arg) {
    Body *b = static_cast<Body *>(arg);
    const size_t take = std::min(size * n, b->len - b->pos);
    if (take) memcpy(to, b->data + b->pos, take);
    b->pos += take;
    return take;
}

int seek_body(void *arg, curl_off_t offset, int origin) {
    Body *b = static_cast<Body *>(arg);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > b->len)
        return CURL_SEEKFUNC_CANTSEEK;
    b->pos = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t on_header(char *p, size_t size, size_t n, void *arg) {
    auto *r = static_cast<S3Client::Reply *>(arg);
    const std::string_view line(p, size * n);
    auto value = [&](size_t skip) { return trim(std::string(line.substr(skip))); };
    if (line.rfind("HTTP/", 0) == 0) {  // a new answer (after a 100 Continue): start again
        r->etag.clear(), r->content_range.clear(), r->content_length = -1;
        const size_t sp = line.find(' ');
        r->status =
            sp == std::string_view::npos ? 0 : atol(std::string(line.substr(sp + 1, 3)).c_str());
    } else if (starts_with_ci(line, "etag:")) {
        r->etag = value(5);
    } else if (starts_with_ci(line, "content-range:")) {
        r->content_range = value(14);
    } else if (starts_with_ci(line, "content-length:")) {
        r->content_length = strtoll(value(15).c_str(), nullptr, 10);
    }
    return size * n;
}

size_t on_body(char *p, size_t size, size_t n, void *arg) {
    auto *r = static_cast<S3Client::Reply *>(arg);
    const size_t total = size * n;
    const S3Client::Request *rq = r->rq;
    if (rq->out && (r->status == 206 || r->status == 200)) {
        // The bytes from the offset where the answer starts (0 for the whole object, which a
        // store may send instead of the range) that fall in the range asked for; a store may
        // also send a range wider than asked. Stop once the range is in.
        if (!r->started) {
            r->started = true;
            r->at = r->status == 200 ? 0 : -1;
            if (r->status == 206 && r->content_range.rfind("bytes ", 0) == 0) {
                const std::string from = r->content_range.substr(6);
                if (!from.empty() && isdigit(static_cast<unsigned char>(from[0])))
                    r->at = strtoll(from.c_str(), nullptr, 10);
            }
            if (r->at < 0 || r->at > rq->first) {
                r->wrong_range = true;
                return 0;
            }
        }
        if (r->got == rq->len) {
            r->filled_early = true;
            return 0;  // the rest is not wanted
        }
        const int64_t from = std::max<int64_t>(r->at, rq->first);
        const int64_t to = std::min<int64_t>(r->at + static_cast<int64_t>(total),
                                             rq->first + static_cast<int64_t>(rq->len));
        if (to > from) {
            memcpy(rq->out + (from - rq->first), p + (from - r->at),
                   static_cast<size_t>(to - from));
            r->got += static_cast<size_t>(to - from);
        }
        r->at += static_cast<int64_t>(total);
        return total;
    }
    if (r->body.size() + total > kMaxReplyBody) {
        r->too_big = true;
        return 0;
    }
    r->body.append(p, total);
    return total;
}

// "HTTP 404 NoSuchKey: The specified key does not exist." from an answer.
std::string describe(long status, const std::string &body, std::string *code) {
    const XmlDoc doc(body);
    std::string out = "HTTP " + std::to_string(status);
    if (doc.root() >= 0 && doc.name(doc.root()) == "Error") {
        *code = trim(doc.field("Code"));
        const std::string msg = trim(doc.field("Message"));
        if (!code->empty()) out += " " + *code;
        if (!msg.empty()) out += ": " + msg;
    }
    return out;
}

}  // namespace

std::unique_ptr<S3Client> S3Client::for_url(const S3Url &url, std::string *why) {
    std::call_once(curl_once, [] { curl_init_result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (curl_init_result != CURLE_OK) {
        *why = std::string("cannot start libcurl: ") + curl_easy_strerror(curl_init_result);
        return nullptr;
    }
    S3Config cfg;
    if (!S3Config::read(url, &cfg, why)) return nullptr;
    return std::unique_ptr<S3Client>(new S3Client(std::move(cfg)));
}

S3Client::~S3Client() {
    for (void *h : pool_) curl_easy_cleanup(static_cast<CURL *>(h));
}

bool S3Client::same_store(const S3Url &other) const {
    S3Config o;
    std::string why;
    return S3Config::read(other, &o, &why) && o.scheme_http == cfg_.scheme_http &&
           o.host == cfg_.host && o.region == cfg_.region && o.key_id == cfg_.key_id &&
           o.secret == cfg_.secret && o.token == cfg_.token;
}

void *S3Client::take_handle() {
    {
        std::lock_guard<std::mutex> lock(pool_mu_);
        if (!pool_.empty()) {
            void *h = pool_.back();
            pool_.pop_back();
            return h;
        }
    }
    return curl_easy_init();
}

void S3Client::give_handle(void *h) {
    curl_easy_reset(static_cast<CURL *>(h));  // keeps its connections for the next request
    std::lock_guard<std::mutex> lock(pool_mu_);
    pool_.push_back(h);
}

bool S3Client::send(const Request &rq, Reply *reply, std::string *why) {
    CURL *curl = static_cast<CURL *>(take_handle());
    if (!curl) {
        *why = "cannot start a libcurl transfer";
        return false;
    }
    bool ok = false;
    for (int attempt = 0;; attempt++) {
        *reply = Reply{};
        reply->rq = &rq;
        reply->retry = attempt > 0;
        bool transient = false;
        ok = send_once(curl, rq, reply, why, &transient);
        if (ok || !transient || attempt >= retries_) break;
        std::this_thread::sleep_for(pause_ * (1 << attempt));
    }
    give_handle(curl);
    return ok;
}

bool S3Client::send_once(void *handle, const Request &rq, Reply *reply, std::string *why,
                         bool *transient) {
    CURL *curl = static_cast<CURL *>(handle);
    curl_easy_reset(curl);
    std::string url = cfg_.scheme_http + "://";
    const std::string path = rq.key.empty() ? "" : uri_encode(rq.key, true);
    if (cfg_.style_for(rq.bucket) == "virtual")
        url += rq.bucket + "." + cfg_.host + "/" + path;
    else
        url += cfg_.host + "/" + rq.bucket + (rq.key.empty() ? "" : "/" + path);
    if (!rq.query.empty()) url += "?" + rq.query;

    curl_slist *hdrs = nullptr;
    std::vector<std::string> lines = rq.headers;
    lines.push_back("x-amz-content-sha256: " + sha256_hex(rq.body, rq.body_len));
    if (!cfg_.token.empty()) lines.push_back("x-amz-security-token: " + cfg_.token);
    for (const std::string &l : lines) {
        curl_slist *next = curl_slist_append(hdrs, l.c_str());
        if (!next) {
            curl_slist_free_all(hdrs);
            *why = "out of memory";
            return false;
        }
        hdrs = next;
    }
    Body body{rq.body, rq.body_len, 0};
    const std::string sigv4 = "aws:amz:" + cfg_.region + ":s3";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);  // a key's "." and ".." are its own
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 180L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, hdrs);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, reply);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, reply);
    if (!env("CURL_CA_BUNDLE").empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, env("CURL_CA_BUNDLE").c_str());
    if (!cfg_.key_id.empty()) {
        curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
        curl_easy_setopt(curl, CURLOPT_USERNAME, cfg_.key_id.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, cfg_.secret.c_str());
    }
    const std::string_view m = rq.method;
    if (m == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (m == "PUT") {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl, CURLOPT_READDATA, &body);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seek_body);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &body);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(rq.body_len));
    } else if (m == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, rq.body ? (const char *)rq.body : "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(rq.body_len));
    } else if (m != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, rq.method);
    }
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(hdrs);
    curl_off_t up = 0, down = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &down);
    sent_ += up;
    received_ += down;
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && reply->filled_early)) {
        if (rc == CURLE_WRITE_ERROR && reply->wrong_range) {
            *why = "the store sent another range (" + reply->content_range + ")";
        } else if (rc == CURLE_WRITE_ERROR && reply->too_big) {
            *why = "the store's answer is too large";
        } else {
            *why = curl_easy_strerror(rc);
            *transient = transient_curl(rc);
        }
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    reply->status = status;
    std::string code;
    if (status < 200 || status > 299) {
        *why = describe(status, reply->body, &code);
        *transient = status >= 500 || status == 429 || transient_code(code);
        return false;
    }
    if (rq.copy) {  // the store may report a failure it met after sending 200
        const XmlDoc doc(reply->body);
        if (doc.root() >= 0 && doc.name(doc.root()) == "Error") {
            *why = describe(status, reply->body, &code);
            *transient = transient_code(code);
            return false;
        }
    }
    return true;
}

// ---- the requests ----

bool S3Client::head(const std::string &bucket, const std::string &key, S3ObjectInfo *info,
                    std::string *why) {
    Request rq;
    rq.method = "HEAD", rq.bucket = bucket, rq.key = key;
    Reply r;
    *info = S3ObjectInfo{};
    if (!send(rq, &r, why)) {
        if (r.status != 404) return false;
        why->clear();
        return true;
    }
    if (r.content_length < 0) {
        *why = "the store gave no size";
        return false;
    }
    info->exists = true;
    info->size = r.content_length;
    info->etag = r.etag;
    return true;
}

bool S3Client::create_upload(const std::string &bucket, const std::string &key,
                             std::string *upload_id, std::string *why) {
    Request rq;
    rq.method = "POST", rq.bucket = bucket, rq.key = key;
    rq.query = "uploads=";  // the canonical spelling, which every store's signature check takes
    rq.headers = {"Content-Type: application/octet-stream"};
    Reply r;
    if (!send(rq, &r, why)) return false;
    *upload_id = trim(XmlDoc(r.body).field("UploadId"));
    if (upload_id->empty()) {
        *why = "the store's answer names no upload";
        return false;
    }
    return true;
}

namespace {
std::string part_query(int number, const std::string &upload_id) {
    return "partNumber=" + std::to_string(number) + "&uploadId=" + uri_encode(upload_id, false);
}
}  // namespace

bool S3Client::upload_part(const std::string &bucket, const std::string &key,
                           const std::string &upload_id, int number, const unsigned char *data,
                           size_t len, std::string *etag, std::string *why) {
    Request rq;
    rq.method = "PUT", rq.bucket = bucket, rq.key = key;
    rq.query = part_query(number, upload_id);
    rq.body = data, rq.body_len = len;
    Reply r;
    if (!send(rq, &r, why)) return false;
    *etag = r.etag;
    if (etag->empty()) {
        *why = "the store gave the part no ETag";
        return false;
    }
    return true;
}

bool S3Client::upload_part_copy(const std::string &bucket, const std::string &key,
                                const std::string &upload_id, int number,
                                const std::string &src_bucket, const std::string &src_key,
                                int64_t first, int64_t last, const std::string &src_etag,
                                std::string *etag, std::string *why) {
    if (first < 0 || last < first) {
        *why = "an empty or negative byte range cannot be copied";
        return false;
    }
    Request rq;
    rq.method = "PUT", rq.bucket = bucket, rq.key = key, rq.copy = true;
    rq.query = part_query(number, upload_id);
    rq.headers = {
        "x-amz-copy-source: /" + uri_encode(src_bucket, false) + "/" + uri_encode(src_key, true),
        "x-amz-copy-source-range: bytes=" + std::to_string(first) + "-" + std::to_string(last)};
    if (!src_etag.empty()) rq.headers.push_back("x-amz-copy-source-if-match: " + src_etag);
    Reply r;
    if (!send(rq, &r, why)) return false;
    *etag = trim(XmlDoc(r.body).field("ETag"));
    if (etag->empty()) {
        *why = "the store gave the copied part no ETag";
        return false;
    }
    return true;
}

namespace {
std::string xml_escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}
}  // namespace

bool S3Client::complete_upload(const std::string &bucket, const std::string &key,
                               const std::string &upload_id,
                               const std::vector<std::pair<int, std::string>> &parts,
                               std::string *why) {
    if (parts.empty()) {
        *why = "an upload needs at least one part";
        return false;
    }
    std::string xml = "<CompleteMultipartUpload>";
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0 && parts[i].first <= parts[i - 1].first) {
            *why = "the parts are not in ascending order";
            return false;
        }
        xml += "<Part><PartNumber>" + std::to_string(parts[i].first) + "</PartNumber><ETag>" +
               xml_escape(parts[i].second) + "</ETag></Part>";
    }
    xml += "</CompleteMultipartUpload>";
    Request rq;
    rq.method = "POST", rq.bucket = bucket, rq.key = key, rq.copy = true;
    rq.query = "uploadId=" + uri_encode(upload_id, false);
    rq.headers = {"Content-Type: application/xml"};
    rq.body = reinterpret_cast<const unsigned char *>(xml.data()), rq.body_len = xml.size();
    Reply r;
    if (send(rq, &r, why)) return true;
    if (r.retry && why->find("NoSuchUpload") != std::string::npos)
        *why += " (an earlier try, whose answer was lost, may have completed it)";
    return false;
}

bool S3Client::abort_upload(const std::string &bucket, const std::string &key,
                            const std::string &upload_id, std::string *why) {
    Request rq;
    rq.method = "DELETE", rq.bucket = bucket, rq.key = key;
    rq.query = "uploadId=" + uri_encode(upload_id, false);
    Reply r;
    if (send(rq, &r, why)) return true;
    // Gone after a try whose answer was lost: that try aborted it.
    return r.retry && why->find("NoSuchUpload") != std::string::npos;
}

bool S3Client::put_object(const std::string &bucket, const std::string &key,
                          const unsigned char *data, size_t len, std::string *why) {
    Request rq;
    rq.method = "PUT", rq.bucket = bucket, rq.key = key;
    rq.headers = {"Content-Type: application/octet-stream"};
    rq.body = data, rq.body_len = len;
    Reply r;
    return send(rq, &r, why);
}

bool S3Client::delete_object(const std::string &bucket, const std::string &key, std::string *why) {
    Request rq;
    rq.method = "DELETE", rq.bucket = bucket, rq.key = key;
    Reply r;
    if (send(rq, &r, why)) return true;
    if (r.status != 404 || why->find("NoSuchKey") == std::string::npos) return false;
    why->clear();
    return true;
}

bool S3Client::get_range(const std::string &bucket, const std::string &key, int64_t first,
                         size_t len, const std::string &etag, unsigned char *buf,
                         std::string *why) {
    if (len == 0) return true;
    if (first < 0) {
        *why = "a negative offset cannot be read";
        return false;
    }
    Request rq;
    rq.bucket = bucket, rq.key = key;
    rq.headers = {"Range: bytes=" + std::to_string(first) + "-" +
                  std::to_string(first + static_cast<int64_t>(len) - 1)};
    if (!etag.empty()) rq.headers.push_back("If-Match: " + etag);
    rq.out = buf, rq.first = first, rq.len = len;
    Reply r;
    if (!send(rq, &r, why)) return false;
    if (r.got != len) {
        *why = "the object ends before the range does";
        return false;
    }
    return true;
}

bool S3Client::list_uploads(const std::string &bucket, const std::string &prefix,
                            std::vector<std::pair<std::string, std::string>> *out,
                            std::string *why) {
    out->clear();
    std::string key_marker, id_marker;
    for (int page = 0; page < 100000; page++) {
        Request rq;
        rq.bucket = bucket;
        // The query's names in the sorted order that the signature wants.
        if (!key_marker.empty()) rq.query += "key-marker=" + uri_encode(key_marker, false) + "&";
        if (!prefix.empty()) rq.query += "prefix=" + uri_encode(prefix, false) + "&";
        if (!id_marker.empty())
            rq.query += "upload-id-marker=" + uri_encode(id_marker, false) + "&";
        rq.query += "uploads=";
        Reply r;
        if (!send(rq, &r, why)) return false;
        const XmlDoc doc(r.body);
        const int root = doc.root();
        if (root < 0 || doc.name(root) != "ListMultipartUploadsResult") {
            *why = "the store's answer is not a list of uploads";
            return false;
        }
        for (int u : doc.children(root, "Upload")) {
            const int k = doc.find(u, "Key"), id = doc.find(u, "UploadId");
            if (k < 0 || id < 0) continue;
            // Filtered here too: a store that ignores the prefix must not widen the list.
            if (doc.text(k).rfind(prefix, 0) == 0)
                out->emplace_back(doc.text(k), trim(doc.text(id)));
        }
        if (trim(doc.field("IsTruncated")) != "true") return true;
        const std::string nk = trim(doc.field("NextKeyMarker")),
                          ni = trim(doc.field("NextUploadIdMarker"));
        if (nk.empty() || (nk == key_marker && ni == id_marker)) {
            *why = "the store's list of uploads does not go on";
            return false;
        }
        key_marker = nk, id_marker = ni;
    }
    *why = "the store's list of uploads does not end";
    return false;
}

}  // namespace vfjoin
