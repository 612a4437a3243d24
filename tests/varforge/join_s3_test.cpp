// The join's S3 requests (join/s3.h): how an s3:// name and the environment pick the store and
// the credentials, and, against the S3 test server, that an object assembled from sent and
// copied parts reads back byte for byte, and that each kind of failure says what it was.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "join/s3.h"
#include "join/s3_xml.h"
#include "process.h"
#include "servers.h"

namespace {

using vfjoin::S3Client;
using vfjoin::S3Url;

// Sets the S3 settings of the environment for one case and puts back what was there.
class S3Env {
   public:
    explicit S3Env(const std::map<std::string, std::string> &vars) {
        for (const char *n : kNames) {
            if (const char *v = getenv(n)) saved_[n] = v;
            unsetenv(n);
        }
        for (const auto &[n, v] : vars) setenv(n.c_str(), v.c_str(), 1);
    }
    ~S3Env() {
        for (const char *n : kNames) unsetenv(n);
        for (const auto &[n, v] : saved_) setenv(n.c_str(), v.c_str(), 1);
    }

   private:
    static constexpr const char *kNames[] = {"AWS_ACCESS_KEY_ID",
                                             "AWS_SECRET_ACCESS_KEY",
                                             "AWS_SESSION_TOKEN",
                                             "AWS_DEFAULT_REGION",
                                             "AWS_PROFILE",
                                             "AWS_DEFAULT_PROFILE",
                                             "HTS_S3_HOST",
                                             "HTS_S3_ADDRESS_STYLE",
                                             "AWS_SHARED_CREDENTIALS_FILE",
                                             "HOME"};
    std::map<std::string, std::string> saved_;
};

TEST(S3Config, UrlsEnvironmentAndProfiles) {
    aftest::TempDir dir;
    const std::string creds = dir.file("credentials");
    aftest::write_file(creds,
                       "# keys\n[default]\naws_access_key_id = DK\naws_secret_access_key=DS\n"
                       "[profile work]\n aws_access_key_id = WK \naws_secret_access_key = WS\n"
                       "aws_session_token = WT\nregion = eu-west-2\n");
    const std::string file = "AWS_SHARED_CREDENTIALS_FILE";
    struct Case {
        std::string url;
        std::map<std::string, std::string> env;
        std::string error;  // a part of the refusal, or "" when it must be taken
        // scheme, profile, bucket, key; then host, style for the bucket, key id, token, region
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"s3://b-1/a/b c.bcf",
         {{"AWS_ACCESS_KEY_ID", "K"}, {"AWS_SECRET_ACCESS_KEY", "S"}},
         "",
         {"https", "", "b-1", "a/b c.bcf", "s3.amazonaws.com", "virtual", "K", "", "us-east-1"}},
        {"s3+http://Up.per/k",
         {{"AWS_ACCESS_KEY_ID", "K"}, {"HTS_S3_HOST", "store:9000"}},
         "",
         {"http", "", "Up.per", "k", "store:9000", "path", "K", "", "us-east-1"}},
        {"s3+https://work@bkt/k",
         {{file, creds}, {"AWS_ACCESS_KEY_ID", "ignored"}},
         "",
         {"https", "work", "bkt", "k", "s3.eu-west-2.amazonaws.com", "virtual", "WK", "WT",
          "eu-west-2"}},
        {"s3://bkt/k",
         {{file, creds},
          {"AWS_PROFILE", "work"},
          {"AWS_DEFAULT_REGION", "us-west-1"},
          {"HTS_S3_HOST", "127.0.0.1:9"}},
         "",
         {"https", "", "bkt", "k", "127.0.0.1:9", "path", "WK", "WT", "us-west-1"}},
        {"s3://bkt/k",
         {{file, creds}, {"HTS_S3_ADDRESS_STYLE", "path"}},
         "",
         {"https", "", "bkt", "k", "s3.amazonaws.com", "path", "DK", "", "us-east-1"}},
        {"s3://bkt/k",
         {{"HOME", dir.path()}},
         "",  // no credentials: unsigned requests
         {"https", "", "bkt", "k", "s3.amazonaws.com", "virtual", "", "", "us-east-1"}},
        {"s3://nope@bkt/k", {{file, creds}}, "no profile 'nope'", {}},
        {"s3://bkt/k", {{file, dir.file("missing")}}, "cannot read the credentials file", {}},
        {"s3://bkt/k", {{"HTS_S3_ADDRESS_STYLE", "sideways"}}, "HTS_S3_ADDRESS_STYLE", {}},
        {"s3://bkt/k", {{"HTS_S3_HOST", "http://h/"}}, "HTS_S3_HOST", {}},
        {"s3://bkt/", {}, "no object key", {}},
        {"s3://bkt", {}, "no object key", {}},
        {"s3://b%t/k", {}, "bucket", {}},
        {"s3://id:secret@bkt/k", {}, "profile name", {}},
        {"gs://bkt/k", {}, "not an s3://", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        S3Env env(c.env);
        S3Url u;
        std::string why;
        EXPECT_EQ(vfjoin::is_s3_url(c.url.c_str()), c.url.rfind("s3", 0) == 0);
        bool ok = vfjoin::parse_s3_url(c.url, &u, &why);
        std::unique_ptr<S3Client> client = ok ? S3Client::for_url(u, &why) : nullptr;
        if (!c.error.empty()) {
            EXPECT_FALSE(client);
            EXPECT_NE(why.find(c.error), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(client) << why;
        const vfjoin::S3Config &k = client->config();
        EXPECT_EQ(c.want,
                  (std::vector<std::string>{u.scheme_http, u.profile, u.bucket, u.key, k.host,
                                            k.style_for(u.bucket), k.key_id, k.token, k.region}));
        // The same store for its own URL; not for another scheme or another profile.
        EXPECT_TRUE(client->same_store(u));
        S3Url other = u;
        other.scheme_http = u.scheme_http == "http" ? "https" : "http";
        EXPECT_FALSE(client->same_store(other));
    }
}

// The body's hash goes in every request, and the test server takes any: the standard's vectors,
// across the lengths where the padding spills into a second block.
TEST(S3Sha256, StandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &[in, want] : cases)
        EXPECT_EQ(vfjoin::sha256_hex(reinterpret_cast<const unsigned char *>(in.data()), in.size()),
                  want)
            << in.size();
}

TEST(S3Xml, ReadsWhatTheStoreMeans) {
    const vfjoin::XmlDoc doc(
        "<?xml version=\"1.0\"?><!-- c --><s3:Error xmlns:s3=\"x\" a='>'><s3:Code>NoSuchKey"
        "</s3:Code><Message>a &amp; b &#x41;&#66; &bogus; <![CDATA[<raw>]]></Message><Up><Key>"
        "k1</Key></Up><Up><Key>k2</Key><Unclosed>");
    ASSERT_EQ(doc.root(), 0);
    EXPECT_EQ(doc.name(0), "Error");
    EXPECT_EQ(doc.field("Code"), "NoSuchKey");
    EXPECT_EQ(doc.field("Message"), "a & b AB &bogus; <raw>");
    std::vector<std::string> keys;
    for (int u : doc.children(0, "Up")) keys.push_back(doc.text(doc.find(u, "Key")));
    EXPECT_EQ(keys, (std::vector<std::string>{"k1", "k2"}));
    EXPECT_EQ(doc.find(doc.children(0, "Up")[0], "Unclosed"), -1);
}

}  // namespace

namespace {

std::unique_ptr<S3Client> client_for(int port, const std::string &secret = "S3RVER",
                                     int retries = vfjoin::kS3Retries) {
    S3Env env({{"AWS_ACCESS_KEY_ID", "S3RVER"},
               {"AWS_SECRET_ACCESS_KEY", secret},
               {"HTS_S3_HOST", "127.0.0.1:" + std::to_string(port)}});
    S3Url u;
    std::string why;
    EXPECT_TRUE(vfjoin::parse_s3_url("s3+http://bkt/x", &u, &why)) << why;
    auto c = S3Client::for_url(u, &why);
    EXPECT_TRUE(c) << why;
    if (c) c->set_retries(retries, std::chrono::milliseconds(10));
    return c;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng());
    return s;
}

const unsigned char *bytes(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}

TEST(S3Client, MultipartOfSentAndCopiedPartsReadsBack) {
    aftest::TempDir dir;
    AF_START_SERVER(s3, aftest::ServerKind::kS3, dir.path());
    ASSERT_EQ(aftest::s3(s3.port(), {"mb", "bkt"}).status, 0);
    auto c = client_for(s3.port());
    ASSERT_TRUE(c);
    std::string why, id, etag;
    // A source with a key that needs encoding, and a part sent from memory. (The test server
    // reads the copy source with decodeURI, which leaves "%2B" and the like encoded, so the
    // key holds none of + & = ; , $ : @ ? #; nor does it check x-amz-copy-source-if-match or
    // If-Match, so a changed source cannot be shown refused here; and it copies all of an
    // object for the range 0-0.)
    const std::string src = random_bytes(3 << 20, 1), sent = random_bytes(70001, 2);
    const std::string src_key = "shards/a b%/ü.bcf", key = "out/joined.bcf";
    ASSERT_TRUE(c->put_object("bkt", src_key, bytes(src), src.size(), &why)) << why;
    vfjoin::S3ObjectInfo info;
    ASSERT_TRUE(c->head("bkt", src_key, &info, &why)) << why;
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.size, static_cast<int64_t>(src.size()));
    std::string piece(1000, '\0');
    ASSERT_TRUE(c->get_range("bkt", src_key, 12345, piece.size(), info.etag,
                             reinterpret_cast<unsigned char *>(piece.data()), &why))
        << why;
    EXPECT_EQ(piece, src.substr(12345, 1000));
    // One byte at 0 (the test server answers "bytes=0-0" with the whole object), and a range
    // past the end.
    ASSERT_TRUE(c->get_range("bkt", src_key, 0, 1, "",
                             reinterpret_cast<unsigned char *>(piece.data()), &why))
        << why;
    EXPECT_EQ(piece[0], src[0]);
    EXPECT_FALSE(c->get_range("bkt", src_key, src.size() - 10, 20, "",
                              reinterpret_cast<unsigned char *>(piece.data()), &why));

    ASSERT_TRUE(c->create_upload("bkt", key, &id, &why)) << why;
    // Parts copied and sent alternately, all six at once from threads of their own (one
    // client serves them all), each a different slice so that a mix-up shows.
    const int64_t ranges[][2] = {{100, 2000099}, {7, 7}, {2000100, (3 << 20) - 1}};
    std::vector<std::pair<int, std::string>> parts(6);
    std::vector<std::string> whys(6);
    std::vector<std::thread> threads;
    std::string want;
    for (int i = 0; i < 3; i++) {
        parts[2 * i].first = 2 * i + 1, parts[2 * i + 1].first = 2 * i + 2;
        threads.emplace_back([&, i] {
            if (!c->upload_part_copy("bkt", key, id, 2 * i + 1, "bkt", src_key, ranges[i][0],
                                     ranges[i][1], info.etag, &parts[2 * i].second, &whys[2 * i]))
                ADD_FAILURE() << whys[2 * i];
        });
        threads.emplace_back([&, i] {
            if (!c->upload_part("bkt", key, id, 2 * i + 2, bytes(sent) + i, sent.size() - i,
                                &parts[2 * i + 1].second, &whys[2 * i + 1]))
                ADD_FAILURE() << whys[2 * i + 1];
        });
        want += src.substr(ranges[i][0], ranges[i][1] - ranges[i][0] + 1) + sent.substr(i);
    }
    for (std::thread &t : threads) t.join();
    std::vector<std::pair<std::string, std::string>> uploads;
    ASSERT_TRUE(c->list_uploads("bkt", "out/", &uploads, &why)) << why;
    EXPECT_EQ(uploads, (std::vector<std::pair<std::string, std::string>>{{key, id}}));
    ASSERT_TRUE(c->complete_upload("bkt", key, id, parts, &why)) << why;
    ASSERT_TRUE(c->head("bkt", key, &info, &why)) << why;
    ASSERT_EQ(info.size, static_cast<int64_t>(want.size()));
    std::string got(want.size(), '\0');
    ASSERT_TRUE(c->get_range("bkt", key, 0, got.size(), info.etag,
                             reinterpret_cast<unsigned char *>(got.data()), &why))
        << why;
    EXPECT_TRUE(got == want);
    EXPECT_GE(c->bytes_sent(), static_cast<int64_t>(src.size() + 3 * sent.size()));
    EXPECT_GE(c->bytes_received(), static_cast<int64_t>(want.size() + piece.size()));

    // An aborted upload is listed no more; deleting leaves no object, twice over.
    ASSERT_TRUE(c->create_upload("bkt", key, &id, &why)) << why;
    ASSERT_TRUE(c->abort_upload("bkt", key, id, &why)) << why;
    ASSERT_TRUE(c->list_uploads("bkt", "", &uploads, &why)) << why;
    EXPECT_TRUE(uploads.empty());
    for (int i = 0; i < 2; i++) EXPECT_TRUE(c->delete_object("bkt", key, &why)) << why;
    ASSERT_TRUE(c->head("bkt", key, &info, &why)) << why;
    EXPECT_FALSE(info.exists);
}

TEST(S3Client, FailuresSayWhatTheStoreSaid) {
    aftest::TempDir dir;
    AF_START_SERVER(s3, aftest::ServerKind::kS3, dir.path());
    ASSERT_EQ(aftest::s3(s3.port(), {"mb", "bkt"}).status, 0);
    auto good = client_for(s3.port()), bad_secret = client_for(s3.port(), "WRONG"),
         refused = client_for(aftest::closed_port());
    ASSERT_TRUE(good && bad_secret && refused);
    unsigned char buf[4];
    std::string id;
    const struct {
        S3Client *c;
        std::string bucket, key, want;
    } cases[] = {
        {good.get(), "bkt", "absent", "HTTP 404 NoSuchKey: The specified key does not exist."},
        {good.get(), "nobkt", "k", "HTTP 404 NoSuchBucket"},
        {bad_secret.get(), "bkt", "k", "HTTP 403 SignatureDoesNotMatch"},
        {refused.get(), "bkt", "k", "Couldn't connect to server"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        std::string why;
        EXPECT_FALSE(c.c->get_range(c.bucket, c.key, 0, sizeof buf, "", buf, &why));
        EXPECT_NE(why.find(c.want), std::string::npos) << why;
        if (c.key == "absent") continue;  // an upload to an absent key is fine
        why.clear();
        EXPECT_FALSE(c.c->create_upload(c.bucket, c.key, &id, &why));
        EXPECT_NE(why.find(c.want.substr(0, 24)), std::string::npos) << why;
    }
}

// A failure that may pass is tried again kS3Retries times, one that will not only once: the
// web test server answers under /status/N/ with status N and a page, so each try shows in the
// bytes received.
TEST(S3Client, RetriesOnlyWhatMayPass) {
    aftest::TempDir dir;
    AF_START_SERVER(web, aftest::ServerKind::kWeb, dir.path());
    for (const auto &[status, tries] : {std::pair{403, 1},
                                        {429, 1 + vfjoin::kS3Retries},
                                        {500, 1 + vfjoin::kS3Retries},
                                        {503, 1 + vfjoin::kS3Retries}}) {
        SCOPED_TRACE(status);
        auto once = client_for(web.port(), "S3RVER", 0), retried = client_for(web.port());
        ASSERT_TRUE(once && retried);
        const std::string key = std::to_string(status) + "/x";
        std::string why;
        unsigned char buf[4];
        EXPECT_FALSE(once->get_range("status", key, 0, 4, "", buf, &why));
        EXPECT_FALSE(retried->get_range("status", key, 0, 4, "", buf, &why));
        EXPECT_EQ(why, "HTTP " + std::to_string(status));
        EXPECT_GT(once->bytes_received(), 0);
        EXPECT_EQ(retried->bytes_received(), tries * once->bytes_received());
    }
}

}  // namespace
