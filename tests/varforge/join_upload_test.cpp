// A join written as a multipart upload: the plan of its parts against the store's rules and
// the bytes it costs, and the writer's parts, assembled, against the output they stand for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "join/object_writer.h"
#include "join/part_plan.h"

namespace {

using vfjoin::Piece;
using vfjoin::PlannedPart;

constexpr int64_t kMiB = int64_t(1) << 20;

// The plan's figures, for a case's report.
struct Figures {
    int parts = 0;
    int64_t copied = 0, uploaded = 0;
};

// Checks `parts` against `pieces` under `l` (the planner's limits, raised): numbered 1..n,
// covering the output once in order, sized by the rules, copies inside copyable ranges at the
// right source offsets.
testing::AssertionResult check_plan(const std::vector<Piece> &pieces,
                                    const std::vector<PlannedPart> &parts,
                                    const vfjoin::PartLimits &l, Figures *fig) {
    std::vector<int64_t> starts;  // each piece's output offset
    int64_t total = 0;
    for (const Piece &p : pieces) starts.push_back(total), total += p.len;
    if (parts.empty() || static_cast<int>(parts.size()) > l.max_parts)
        return testing::AssertionFailure() << parts.size() << " parts";
    int64_t at = 0;
    *fig = {};
    for (size_t i = 0; i < parts.size(); i++) {
        const PlannedPart &p = parts[i];
        const bool last = i + 1 == parts.size();
        if (p.number != static_cast<int>(i) + 1 || p.out_offset != at)
            return testing::AssertionFailure() << "part " << i + 1 << " is numbered " << p.number
                                               << " at " << p.out_offset << ", not at " << at;
        if ((!last && p.len < l.min_part) || p.len > l.max_part ||
            (!p.copy && p.len > l.upload_max))
            return testing::AssertionFailure() << "part " << p.number << " of " << p.len;
        at += p.len;
        fig->parts++;
        (p.copy ? fig->copied : fig->uploaded) += p.len;
        if (!p.copy) continue;
        const size_t k =
            std::upper_bound(starts.begin(), starts.end(), p.out_offset) - starts.begin() - 1;
        const Piece &in = pieces[k];
        if (in.kind != Piece::kRange || !in.copyable || p.source != in.source ||
            p.out_offset + p.len > starts[k] + in.len ||
            p.src_offset != in.offset + (p.out_offset - starts[k]))
            return testing::AssertionFailure() << "copied part " << p.number << " of source "
                                               << p.source << " at " << p.src_offset;
    }
    if (at != total) return testing::AssertionFailure() << "parts cover " << at << " of " << total;
    return testing::AssertionSuccess();
}

// A join's pieces: a header, then per shard its re-encoded records (none when its records
// start on a block boundary) and its raw span, then the end-of-file block.
struct Shard {
    int64_t len;
    bool copyable = true;
    int64_t tail = 5 << 10;
};
std::vector<Piece> join_pieces(const std::vector<Shard> &shards) {
    std::vector<Piece> out{{Piece::kBytes, 20 << 10}};
    int64_t offset = 0;
    for (size_t i = 0; i < shards.size(); i++) {
        if (shards[i].tail) out.push_back({Piece::kBytes, shards[i].tail});
        out.push_back(
            {Piece::kRange, shards[i].len, static_cast<int>(i), offset, shards[i].copyable});
        offset += 1000;  // each span starts after its own header
    }
    out.push_back({Piece::kBytes, 28});
    return out;
}
std::vector<Shard> repeat(int n, Shard s) {
    return std::vector<Shard>(n, s);
}

TEST(VarforgeJoinUpload, PlansMeetTheRulesNearTheFloor) {
    const vfjoin::PartLimits s3;
    const int64_t min = s3.min_part;
    std::vector<Shard> mixed;
    for (int i = 0; i < 10; i++) mixed.push_back({(i % 2 ? 30 : 100) * kMiB, i % 2 == 0});
    std::vector<Shard> spaced = repeat(20000, {64 * kMiB});
    struct Case {
        const char *name;
        std::vector<Piece> pieces;
        int64_t floor;  // the least bytes through the machine, or -1 where none is stated
    };
    auto total = [](const std::vector<Piece> &v) {
        int64_t t = 0;
        for (const Piece &p : v) t += p.len;
        return t;
    };
    const std::vector<Piece> small = join_pieces(repeat(50, {kMiB}));
    const std::vector<Piece> many = join_pieces(repeat(12000, {300 << 10}));
    const std::vector<Piece> header_only = join_pieces({});
    const Case cases[] = {
        {"small shards", small, total(small)},
        {"large shards", join_pieces(repeat(20, {200 * kMiB})), 20 * min},
        {"large shards on block boundaries", join_pieces(repeat(20, {200 * kMiB, true, 0})), min},
        {"mixed copyable and not", join_pieces(mixed), min + 5 * 30 * kMiB + 10 * (5 << 10)},
        {"one shard of 12 GiB", join_pieces({{12 * 1024 * kMiB}}), min},
        {"12000 small shards", many, total(many)},
        {"20000 shards of 64 MiB", join_pieces(spaced), -1},
        {"header only", header_only, total(header_only)},
        {"nothing", {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        vfjoin::PartPlanner planner(s3, total(c.pieces));
        std::vector<PlannedPart> parts;
        for (const Piece &p : c.pieces) ASSERT_TRUE(planner.add(p, &parts, &why)) << why;
        ASSERT_TRUE(planner.finish(&parts, &why)) << why;
        Figures fig;
        ASSERT_TRUE(check_plan(c.pieces, parts, planner.limits(), &fig));
        if (c.floor >= 0) {
            EXPECT_GE(fig.uploaded, c.floor * 0.9);
            EXPECT_LE(fig.uploaded, c.floor * 1.1 + 28);
        }
        RecordProperty(c.name, std::to_string(fig.parts) + " parts, " + std::to_string(fig.copied) +
                                   " copied, " + std::to_string(fig.uploaded) + " uploaded");
    }
}

TEST(VarforgeJoinUpload, PlansThatCannotMeetTheRulesAreRefused) {
    struct Case {
        vfjoin::PartLimits l;
        int64_t expected;  // the estimate, here far below the truth
        std::vector<Piece> pieces;
        const char *why;
    };
    const vfjoin::PartLimits few{5 * kMiB, int64_t(5) << 30, 3, 16 * kMiB};
    const vfjoin::PartLimits tight{5 * kMiB, 8 * kMiB, 100, 16 * kMiB};
    const Case cases[] = {
        {few, 0, join_pieces(repeat(4, {100 * kMiB})), "more than 3 parts"},
        {few, 0, {{Piece::kBytes, 200 * kMiB}}, "more than 3 parts"},
        {tight, 0, join_pieces({{100 * kMiB}}), "can hold the output"},
        {{}, 0, {{Piece::kBytes, -1}}, "negative"},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_TRUE(vfjoin::plan_parts(c.pieces, c.l, c.expected, &why).empty());
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

// A store that keeps its parts, can be told to refuse one, and counts requests in flight.
class FakeStore : public vfjoin::PartStore {
   public:
    explicit FakeStore(const std::map<std::string, std::string> &objects) : objects_(objects) {}
    struct Part {
        bool copy;
        std::string bytes;
    };
    bool upload(int number, const unsigned char *data, size_t len, std::string *etag,
                std::string *why) override {
        return take(number, false, std::string(reinterpret_cast<const char *>(data), len), etag,
                    why);
    }
    bool copy(int number, const vfjoin::CopySource &src, int64_t first, int64_t last,
              std::string *etag, std::string *why) override {
        const std::string &o = objects_.at(src.bucket + "/" + src.key);
        if (first < 0 || last < first || last >= static_cast<int64_t>(o.size())) {
            *why = "bad range";
            return false;
        }
        return take(number, true, o.substr(first, last - first + 1), etag, why);
    }
    std::map<int, Part> parts;  // read once the writer is done
    int fail_at = 0;
    int requests = 0, max_in_flight = 0;

   private:
    bool take(int number, bool copy, std::string bytes, std::string *etag, std::string *why) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            requests++;
            max_in_flight = std::max(max_in_flight, ++in_flight_);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(number % 7 * 50));
        std::lock_guard<std::mutex> hold(mutex_);
        in_flight_--;
        if (number == fail_at) {
            *why = "refused";
            return false;
        }
        if (!parts.emplace(number, Part{copy, std::move(bytes)}).second) {
            *why = "sent twice";
            return false;
        }
        *etag = "e" + std::to_string(number);
        return true;
    }
    const std::map<std::string, std::string> &objects_;
    std::mutex mutex_;
    int in_flight_ = 0;
};

TEST(VarforgeJoinUpload, WrittenPartsAssembleToTheOutput) {
    std::mt19937 rng(7);
    const vfjoin::PartLimits l{1000, 5000, 10000, 3000};
    for (int round = 0; round < 300; round++) {
        // Sources in the store (copyable) or elsewhere, and a random run of pieces over them.
        std::map<std::string, std::string> objects;
        std::vector<std::string> sources(4);
        for (size_t s = 0; s < sources.size(); s++) {
            for (int i = 0; i < 20000; i++) sources[s] += static_cast<char>(rng());
            objects["b/s" + std::to_string(s)] = sources[s];
        }
        FakeStore store(objects);
        int64_t downloaded = 0;
        auto read = [&](int s, int64_t off, size_t len, unsigned char *buf, std::string *) {
            std::memcpy(buf, sources[s].data() + off, len);
            downloaded += len;
            return true;
        };
        const int parallel = 1 + round % 4;
        vfjoin::ObjectWriter w(store, read, l, 0, parallel);
        for (size_t s = 0; s < sources.size(); s++)
            w.set_source(static_cast<int>(s), {"b", "s" + std::to_string(s), ""});
        std::string expected, why;
        std::vector<Piece> pieces;
        const int n = rng() % 12;
        for (int i = 0; i < n; i++) {
            const int64_t len =
                std::vector<int64_t>{0, 10, 700, 1500, 2600, 12000}[rng() % 6] + rng() % 200;
            if (rng() % 3 == 0) {
                std::string b(len, 'x');
                for (char &ch : b) ch = static_cast<char>(rng());
                ASSERT_TRUE(
                    w.bytes(reinterpret_cast<const unsigned char *>(b.data()), b.size(), &why))
                    << why;
                expected += b;
                pieces.push_back({Piece::kBytes, len});
            } else {
                const int s = rng() % sources.size();
                const int64_t off = rng() % (20000 - len);
                const bool copyable = rng() % 4 != 0;
                ASSERT_TRUE(w.range(s, off, len, copyable, &why)) << why;
                expected += sources[s].substr(off, len);
                pieces.push_back({Piece::kRange, len, s, off, copyable});
            }
            ASSERT_EQ(w.position(), static_cast<int64_t>(expected.size()));
        }
        std::vector<std::pair<int, std::string>> done;
        ASSERT_TRUE(w.finish(&done, &why)) << why;
        std::string assembled;
        std::vector<PlannedPart> plan;
        int64_t uploaded = 0;
        ASSERT_EQ(done.size(), store.parts.size());
        for (size_t i = 0; i < done.size(); i++) {
            ASSERT_EQ(done[i],
                      std::make_pair(static_cast<int>(i) + 1, "e" + std::to_string(i + 1)));
            const auto &part = store.parts.at(done[i].first);
            const int64_t len = static_cast<int64_t>(part.bytes.size());
            plan.push_back({done[i].first, static_cast<int64_t>(assembled.size()), len, part.copy});
            if (part.copy) {  // find the source the copy came from, for the plan's check
                for (size_t s = 0; s < sources.size(); s++) {
                    const size_t at = sources[s].find(part.bytes);
                    if (at != std::string::npos)
                        plan.back().source = s, plan.back().src_offset = at;
                }
            } else {
                uploaded += len;
            }
            assembled += part.bytes;
        }
        ASSERT_EQ(assembled, expected) << "round " << round;
        EXPECT_LE(store.max_in_flight, parallel);
        EXPECT_EQ(w.bytes_uploaded(), uploaded);
        EXPECT_EQ(w.bytes_downloaded(), downloaded);
        Figures fig;
        EXPECT_TRUE(check_plan(pieces, plan, l, &fig)) << "round " << round;
    }
}

TEST(VarforgeJoinUpload, TheFirstFailureStopsTheWriter) {
    const std::string src(100000, 's');
    const std::map<std::string, std::string> objects{{"b/k", src}};
    const vfjoin::PartLimits l{1000, 5000, 10000, 3000};
    struct Case {
        int fail_at;      // the part the store refuses
        bool read_fails;  // or: reading the range fails, in part 2
        int parallel;
        const char *why;
    };
    const Case cases[] = {
        {1, false, 1, "part 1: refused"},  // an upload
        {2, false, 1, "part 2: refused"},  // a copy
        {5, false, 1, "part 5: refused"},  // an upload after copies
        {3, false, 3, "part 3: refused"}, {0, true, 1, "part 4: reading input 1: gone"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        FakeStore store(objects);
        store.fail_at = c.fail_at;
        auto read = [&](int s, int64_t, size_t, unsigned char *, std::string *why) {
            *why = "gone";
            return !(c.read_fails && s == 1);
        };
        vfjoin::ObjectWriter w(store, read, l, 0, c.parallel);
        w.set_source(0, {"b", "k", ""});
        const unsigned char head[500] = {};
        std::string why;
        // Part 1 uploads the head and the range's first 500 bytes; parts 2 and 3 copy the
        // rest; the non-copyable range makes uploaded parts 4 on.
        bool ok = w.bytes(head, sizeof head, &why) && w.range(0, 0, 10000, true, &why) &&
                  w.range(1, 0, 20000, false, &why);
        for (int i = 0; ok && i < 20; i++) ok = w.range(0, 0, 10000, true, &why);
        std::vector<std::pair<int, std::string>> parts;
        if (ok) ok = w.finish(&parts, &why);
        EXPECT_FALSE(ok);
        EXPECT_EQ(why, c.why);
        why.clear();
        EXPECT_FALSE(w.bytes(head, 1, &why));
        EXPECT_EQ(why, c.why);
        // One request at a time: nothing after the refused part (parts still queued when a
        // read fails are dropped).
        if (c.parallel == 1 && !c.read_fails) {
            EXPECT_EQ(store.requests, c.fail_at);
        }
        if (c.read_fails) {
            EXPECT_LE(store.requests, 3);
        }
    }
}

}  // namespace
