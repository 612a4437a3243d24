// A join written as a multipart upload: the plan of its parts against the store's rules and
// the bytes it costs, and the writer's parts, assembled, against the output they stand for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "join/object_writer.h"

namespace {

using vfjoin::Piece;
using vfjoin::PlannedPart;
constexpr int64_t kMiB = int64_t(1) << 20;

// Plans `pieces` and checks the parts: numbered 1..n (n <= max_parts), covering the output
// once in order, sized by the rules, copies inside copyable ranges at the right source
// offsets. `uploaded`: the bytes through the machine. `expected`: the size estimate the
// planner is given (-1: the true size).
testing::AssertionResult plan_ok(const std::vector<Piece> &pieces, const vfjoin::PartLimits &in,
                                 std::vector<PlannedPart> *parts, int64_t *uploaded,
                                 int64_t expected = -1) {
    std::vector<int64_t> starts;  // each piece's output offset
    int64_t total = 0, at = 0;
    for (const Piece &p : pieces) starts.push_back(total), total += p.len;
    vfjoin::PartPlanner planner(in, expected < 0 ? total : expected);
    const vfjoin::PartLimits &l = planner.limits();
    std::string why;
    for (const Piece &p : pieces)
        if (!planner.add(p, parts, &why)) return testing::AssertionFailure() << why;
    if (!planner.finish(parts, &why)) return testing::AssertionFailure() << why;
    if (parts->empty() || static_cast<int>(parts->size()) > l.max_parts)
        return testing::AssertionFailure() << parts->size() << " parts";
    *uploaded = 0;
    for (const PlannedPart &p : *parts) {
        const bool last = p.number == static_cast<int>(parts->size());
        if (p.number != &p - parts->data() + 1 || p.out_offset != at ||
            (!last && p.len < in.min_part) || p.len > (p.copy ? l.max_part : l.upload_max))
            return testing::AssertionFailure() << "part " << p.number << " of " << p.len;
        at += p.len;
        *uploaded += p.copy ? 0 : p.len;
        if (!p.copy) continue;
        const size_t k =
            std::upper_bound(starts.begin(), starts.end(), p.out_offset) - starts.begin() - 1;
        const Piece &r = pieces[k];
        if (r.kind != Piece::kRange || !r.copyable || p.source != r.source ||
            p.out_offset + p.len > starts[k] + r.len ||
            p.src_offset != r.offset + (p.out_offset - starts[k]))
            return testing::AssertionFailure() << "copied part " << p.number;
    }
    if (at != total) return testing::AssertionFailure() << "parts cover " << at << " of " << total;
    return testing::AssertionSuccess();
}

// A join's pieces: a header, per shard its re-encoded records (`tail` bytes, none when its
// records start on a block boundary) and its raw span, then the end-of-file block.
struct Shard {
    int64_t len;
    bool copyable = true;
    int64_t tail = 5 << 10;
};
std::vector<Piece> join_pieces(const std::vector<Shard> &shards) {
    std::vector<Piece> out{{Piece::kBytes, 20 << 10}};
    for (size_t i = 0; i < shards.size(); i++) {
        if (shards[i].tail) out.push_back({Piece::kBytes, shards[i].tail});
        out.push_back({Piece::kRange, shards[i].len, int(i), 1000, shards[i].copyable});
    }
    out.push_back({Piece::kBytes, 28});
    return out;
}
using Shards = std::vector<Shard>;
int64_t total(const std::vector<Piece> &v) {
    int64_t t = 0;
    for (const Piece &p : v) t += p.len;
    return t;
}

TEST(VarforgeJoinUpload, PlansMeetTheRulesNearTheFloor) {
    const vfjoin::PartLimits s3, few{5 * kMiB, int64_t(5) << 30, 3, 16 * kMiB},
        narrow{5 * kMiB, 8 * kMiB, 100, 16 * kMiB};
    const int64_t min = s3.min_part;
    Shards mixed;
    for (int i = 0; i < 10; i++) mixed.push_back({(i % 2 ? 30 : 100) * kMiB, i % 2 == 0});
    // No plan of 10,000 parts copies more than a quarter of these: a copied shard and the
    // tail after it need parts of their own.
    const auto spaced = join_pieces(Shards(20000, {64 * kMiB}));
    const auto small = join_pieces(Shards(50, {kMiB})),
               many = join_pieces(Shards(12000, {300 << 10}));
    struct Case {
        const char *name;
        std::vector<Piece> pieces;
        int64_t floor;  // the least bytes through the machine, or -1 where none is stated
        vfjoin::PartLimits l = {};
        const char *why = nullptr;  // the reason for refusing a plan
        int64_t expected = -1;      // an estimate of the size far below the truth
    };
    const Case cases[] = {
        {"small shards", small, total(small)},
        {"large shards", join_pieces(Shards(20, {200 * kMiB})), 20 * min},
        {"large shards, records on a block boundary", join_pieces(Shards(20, {200 * kMiB, 1, 0})),
         min},
        {"mixed", join_pieces(mixed), min + 5 * 30 * kMiB},
        {"one shard of 12 GiB", join_pieces({{12 * 1024 * kMiB}}), min},
        {"12000 small shards", many, total(many)},
        {"20000 shards of 64 MiB", spaced, total(spaced) * 3 / 4},
        {"no shards", join_pieces({}), (20 << 10) + 28},
        {"nothing", {}, 0},
        {"too many parts", join_pieces(Shards(4, {100 * kMiB})), -1, few, "more than 3 parts", 0},
        {"parts too narrow", join_pieces({{kMiB}}), -1, narrow, "can hold the output"},
        {"negative", {{Piece::kBytes, -1}}, -1, s3, "negative"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PlannedPart> parts;
        int64_t uploaded = 0;
        const auto ok = plan_ok(c.pieces, c.l, &parts, &uploaded, c.expected);
        if (c.why) {
            ASSERT_FALSE(ok);
            EXPECT_NE(std::string(ok.message()).find(c.why), std::string::npos) << ok.message();
            continue;
        }
        ASSERT_TRUE(ok);
        if (c.floor >= 0) {
            EXPECT_NEAR(uploaded, c.floor, c.floor * 0.1 + 28);
        }
    }
}

// A store that keeps its parts, refuses part `fail_at`, and counts requests.
struct FakeStore : vfjoin::PartStore {
    const std::map<std::string, std::string> &objects;
    int fail_at = 0, requests = 0, in_flight = 0, max_in_flight = 0;
    std::map<int, std::pair<bool, std::string>> parts;  // copied?, bytes
    std::mutex mutex;
    explicit FakeStore(const std::map<std::string, std::string> &o) : objects(o) {}
    bool upload(int n, const unsigned char *data, size_t len, std::string *etag,
                std::string *why) override {
        return take(n, false, std::string(reinterpret_cast<const char *>(data), len), etag, why);
    }
    bool copy(int n, const vfjoin::CopySource &src, int64_t first, int64_t last, std::string *etag,
              std::string *why) override {
        const std::string &o = objects.at(src.bucket + "/" + src.key);
        return take(n, true, o.substr(first, last - first + 1), etag, why);
    }
    bool take(int n, bool copied, std::string bytes, std::string *etag, std::string *why) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            requests++;
            max_in_flight = std::max(max_in_flight, ++in_flight);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(n % 7 * 50));
        std::lock_guard<std::mutex> hold(mutex);
        in_flight--;
        *why = "refused";
        *etag = "e" + std::to_string(n);
        return n != fail_at && parts.emplace(n, std::make_pair(copied, std::move(bytes))).second;
    }
};

TEST(VarforgeJoinUpload, WrittenPartsAssembleToTheOutput) {
    std::mt19937 rng(7);
    std::map<std::string, std::string> objects;
    std::vector<std::string> sources(4);
    for (size_t s = 0; s < sources.size(); s++) {
        for (int i = 0; i < 20000; i++) sources[s] += char(rng());
        objects["b/s" + std::to_string(s)] = sources[s];
    }
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        std::vector<Piece> pieces;
        std::string expected, why;
        for (int i = rng() % 12; i > 0; i--) {
            const int64_t len =
                std::vector<int>{0, 10, 700, 1500, 2600, 12000}[rng() % 6] + rng() % 200;
            const int s = rng() % 5;  // 4: bytes
            const int64_t off = rng() % (20000 - len);
            pieces.push_back({s < 4 ? Piece::kRange : Piece::kBytes, len, s, off, rng() % 4 > 0});
            expected += sources[s % 4].substr(off, len);
        }
        // Odd rounds: the size known and few parts allowed, so that the part size is raised.
        const vfjoin::PartLimits l{1000, round % 2 ? 1 << 20 : 5000, round % 2 ? 8 : 10000, 3000};
        const int64_t estimate = round % 2 ? int64_t(expected.size()) : 0;
        FakeStore store(objects);
        int64_t downloaded = 0;
        auto read = [&](int s, int64_t off, size_t len, unsigned char *buf, std::string *) {
            std::memcpy(buf, sources[s].data() + off, len);
            downloaded += len;
            return true;
        };
        const int parallel = 1 + round % 4;
        vfjoin::ObjectWriter w(store, read, l, estimate, parallel);
        for (int s = 0; s < 4; s++) w.set_source(s, {"b", "s" + std::to_string(s), ""});
        int64_t at = 0;
        for (const Piece &p : pieces) {
            const auto *b = reinterpret_cast<const unsigned char *>(expected.data()) + at;
            ASSERT_TRUE(p.kind == Piece::kRange
                            ? w.range(p.source, p.offset, p.len, p.copyable, &why)
                            : w.bytes(b, p.len, &why))
                << why;
            ASSERT_EQ(w.position(), at += p.len);
        }
        std::vector<std::pair<int, std::string>> done;
        ASSERT_TRUE(w.finish(&done, &why)) << why;
        std::vector<PlannedPart> plan;
        int64_t uploaded = 0;
        ASSERT_TRUE(plan_ok(pieces, l, &plan, &uploaded, estimate));
        ASSERT_EQ(done.size(), plan.size());
        std::string assembled;
        for (const auto &[n, etag] : done) {
            EXPECT_EQ(etag, "e" + std::to_string(n));
            EXPECT_EQ(store.parts.at(n).first, plan[n - 1].copy);
            assembled += store.parts.at(n).second;
        }
        ASSERT_EQ(assembled, expected);
        EXPECT_LE(store.max_in_flight, parallel);
        EXPECT_EQ(w.bytes_uploaded(), uploaded);
        EXPECT_EQ(w.bytes_downloaded(), downloaded);
    }
}

TEST(VarforgeJoinUpload, TheFirstFailureStopsTheWriter) {
    const std::map<std::string, std::string> objects{{"b/k", std::string(100000, 's')}};
    // Part 1 uploads 500 bytes and the first 500 of the copyable range, parts 2 and 3 copy the
    // rest of it, parts 4 on upload input 1 and later ranges (uploaded in part, copied in part).
    struct Case {
        int fail_at, parallel;  // fail_at 0: reading input 1 fails
        const char *why;
    };
    const Case cases[] = {{1, 1, "part 1: refused"},
                          {2, 1, "part 2: refused"},
                          {5, 1, "part 5: refused"},
                          {3, 3, "part 3: refused"},
                          {0, 1, "part 4: reading input 1: gone"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        FakeStore store(objects);
        store.fail_at = c.fail_at;
        auto read = [](int s, int64_t, size_t, unsigned char *, std::string *why) {
            *why = "gone";
            return s == 0;
        };
        {  // the writer joins its threads before the requests are counted
            vfjoin::ObjectWriter w(store, read, {1000, 5000, 10000, 3000}, 0, c.parallel);
            w.set_source(0, {"b", "k", ""});
            const unsigned char head[500] = {};
            std::string why;
            bool ok = w.bytes(head, sizeof head, &why) && w.range(0, 0, 10000, true, &why) &&
                      w.range(c.fail_at ? 0 : 1, 0, 20000, false, &why);
            for (int i = 0; ok && i < 20; i++) ok = w.range(0, 0, 10000, true, &why);
            std::vector<std::pair<int, std::string>> parts;
            EXPECT_FALSE(ok && w.finish(&parts, &why));
            EXPECT_EQ(why, c.why);
            EXPECT_FALSE(w.bytes(head, 1, &why));
            EXPECT_EQ(why, c.why);
        }
        // One request at a time: nothing after the refused part; when a read fails, the parts
        // still queued may be dropped.
        if (c.parallel == 1) {
            EXPECT_TRUE(c.fail_at ? store.requests == c.fail_at : store.requests <= 3);
        }
    }
}

}  // namespace
