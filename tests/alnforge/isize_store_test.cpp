#include "isize_store.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct StoreFree {
    void operator()(isize_t *h) const {
        h->isize_free(h->data);
        free(h);
    }
};
using Store = std::unique_ptr<isize_t, StoreFree>;

Store make_store(int bound) {
    Store h(init_isize_t(bound));
    if (!h) ADD_FAILURE() << "init_isize_t(" << bound << ") returned null";
    return h;
}

enum Kind { kSetIn, kSetOut, kSetOther, kIncIn, kIncOut, kIncOther };

struct Op {
    Kind kind;
    int at;
    uint64_t value;
};

void apply(isize_t *h, const Op &op) {
    switch (op.kind) {
        case kSetIn:
            h->set_inward(h->data, op.at, op.value);
            break;
        case kSetOut:
            h->set_outward(h->data, op.at, op.value);
            break;
        case kSetOther:
            h->set_other(h->data, op.at, op.value);
            break;
        case kIncIn:
            h->inc_inward(h->data, op.at);
            break;
        case kIncOut:
            h->inc_outward(h->data, op.at);
            break;
        case kIncOther:
            h->inc_other(h->data, op.at);
            break;
    }
}

using Counters = std::array<uint64_t, 3>;  // inward, outward, other

Counters read(isize_t *h, int at) {
    return {h->inward(h->data, at), h->outward(h->data, at), h->other(h->data, at)};
}

struct Check {
    int at;
    Counters want;
};

struct EdgeCase {
    std::string name;
    int bound;
    std::vector<Op> ops;
    int nitems;
    int records;  // sparse only: live records in the map afterwards
    std::vector<Check> checks;
};

constexpr uint64_t kMax = UINT64_MAX;

void run_cases(const std::vector<EdgeCase> &cases, bool sparse) {
    for (const EdgeCase &c : cases) {
        SCOPED_TRACE(c.name);
        Store h = make_store(c.bound);
        ASSERT_TRUE(h);
        for (const Op &op : c.ops) apply(h.get(), op);
        EXPECT_EQ(h->nitems(h->data), c.nitems);
        for (const Check &k : c.checks) EXPECT_EQ(read(h.get(), k.at), k.want) << "at " << k.at;
        if (sparse) {
            EXPECT_EQ(static_cast<int>(kh_size(h->data.sparse->array)), c.records);
        }
    }
}

TEST(IsizeStore, DenseEdgeCases) {
    run_cases(
        {
            {"bound 1", 1, {}, 1, 0, {{0, {0, 0, 0}}}},
            {"counters are independent",
             1000,
             {{kIncIn, 0, 0},
              {kIncOut, 0, 0},
              {kIncOut, 0, 0},
              {kSetOther, 999, 42},
              {kIncOther, 999, 0}},
             1000,
             0,
             {{0, {1, 2, 0}}, {1, {0, 0, 0}}, {998, {0, 0, 0}}, {999, {0, 0, 43}}}},
            {"increment wraps modulo 2^64",
             3,
             {{kSetIn, 2, kMax}, {kIncIn, 2, 0}, {kSetOut, 2, kMax - 1}, {kIncOut, 2, 0}},
             3,
             0,
             {{2, {0, kMax, 0}}}},
            {"set to zero", 2, {{kIncOther, 1, 0}, {kSetOther, 1, 0}}, 2, 0, {{1, {0, 0, 0}}}},
        },
        false);
}

TEST(IsizeStore, SparseEdgeCases) {
    run_cases(
        {
            {"new store, bound 0",
             0,
             {},
             1,
             0,
             {{0, {0, 0, 0}}, {5, {0, 0, 0}}, {-3, {0, 0, 0}}, {INT_MAX - 1, {0, 0, 0}}}},
            {"negative bound", -1, {}, 1, 0, {{1, {0, 0, 0}}}},
            {"INT_MIN bound", INT_MIN, {}, 1, 0, {{1, {0, 0, 0}}}},
            {"zero set creates nothing", 0, {{kSetOther, 5, 0}}, 1, 0, {{5, {0, 0, 0}}}},
            {"increment creates a record", 0, {{kIncOut, 7, 0}}, 8, 1, {{7, {0, 1, 0}}}},
            {"zero set keeps the record",
             0,
             {{kIncOut, 7, 0}, {kSetIn, 7, 0}},
             8,
             1,
             {{7, {0, 1, 0}}}},
            {"existing counter set to zero",
             0,
             {{kSetIn, 3, 9}, {kSetIn, 3, 0}},
             4,
             1,
             {{3, {0, 0, 0}}}},
            {"negative sizes are kept apart and never raise max",
             0,
             {{kIncIn, -5, 0}, {kIncIn, -5, 0}, {kSetOther, INT_MIN, 4}, {kIncOut, -1, 0}},
             1,
             3,
             {{-5, {2, 0, 0}}, {5, {0, 0, 0}}, {INT_MIN, {0, 0, 4}}, {-1, {0, 1, 0}}}},
            {"gaps read zero",
             0,
             {{kIncIn, 5, 0}, {kSetOther, 10, 2}},
             11,
             2,
             {{5, {1, 0, 0}}, {6, {0, 0, 0}}, {9, {0, 0, 0}}, {10, {0, 0, 2}}}},
            {"max never decreases",
             0,
             {{kIncIn, 10, 0}, {kIncIn, 3, 0}, {kSetIn, 10, 0}},
             11,
             2,
             {{3, {1, 0, 0}}, {10, {0, 0, 0}}}},
            {"increment wraps and keeps the record",
             0,
             {{kSetOther, 4, kMax}, {kIncOther, 4, 0}},
             5,
             1,
             {{4, {0, 0, 0}}}},
            {"largest usable size",
             0,
             {{kIncIn, INT_MAX - 1, 0}},
             INT_MAX,
             1,
             {{INT_MAX - 1, {1, 0, 0}}}},
            // nitems saturates instead of overflowing: INT_MAX is counted and read back, but,
            // like a negative size, lies outside 0 to nitems - 1.
            {"INT_MAX alone",
             0,
             {{kIncIn, INT_MAX, 0}, {kSetOther, INT_MAX, 3}},
             INT_MAX,
             1,
             {{INT_MAX, {1, 0, 3}}, {INT_MAX - 1, {0, 0, 0}}}},
            {"INT_MAX beside INT_MAX - 1",
             0,
             {{kIncOut, INT_MAX, 0}, {kIncIn, INT_MAX - 1, 0}, {kIncOut, INT_MAX, 0}},
             INT_MAX,
             2,
             {{INT_MAX, {0, 2, 0}}, {INT_MAX - 1, {1, 0, 0}}}},
        },
        true);
}

// Dense and sparse stores and a plain map take the same random operations, zero sets
// included, and must agree on every counter and on nitems.
TEST(IsizeStore, RandomisedAgainstReference) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const int bound = 1 + static_cast<int>(rng() % 3000);
        Store dense = make_store(bound), sparse = make_store(0), signed_sparse = make_store(-7);
        ASSERT_TRUE(dense && sparse && signed_sparse);
        std::map<int, Counters> ref, signed_ref;
        int ref_max = 0, signed_max = 0;
        auto model = [](std::map<int, Counters> &m, int &max, const Op &op) {
            auto it = m.find(op.at);
            int field = op.kind % 3;
            if (op.kind >= kIncIn) {
                if (it == m.end()) it = m.emplace(op.at, Counters{}).first;
                it->second[field]++;
            } else if (it != m.end()) {
                it->second[field] = op.value;
                return;
            } else if (op.value != 0) {
                it = m.emplace(op.at, Counters{}).first;
                it->second[field] = op.value;
            } else {
                return;
            }
            if (op.at > max) max = op.at;
        };
        for (int i = 0; i < 20000; ++i) {
            Kind kind = static_cast<Kind>(rng() % 6);
            uint64_t value = rng() % 4 == 0 ? 0 : (rng() % 2 ? rng() : kMax - rng() % 3);
            Op op{kind, static_cast<int>(rng() % bound), value};
            apply(dense.get(), op);
            apply(sparse.get(), op);
            model(ref, ref_max, op);
            Op wide{kind, static_cast<int>(rng() % 4001) - 2000, value};
            apply(signed_sparse.get(), wide);
            model(signed_ref, signed_max, wide);
        }
        EXPECT_EQ(dense->nitems(dense->data), bound);
        EXPECT_EQ(sparse->nitems(sparse->data), ref_max + 1);
        EXPECT_EQ(kh_size(sparse->data.sparse->array), ref.size());
        for (int at = 0; at < bound; ++at) {
            auto it = ref.find(at);
            Counters want = it == ref.end() ? Counters{} : it->second;
            ASSERT_EQ(read(dense.get(), at), want) << "dense at " << at;
            ASSERT_EQ(read(sparse.get(), at), want) << "sparse at " << at;
        }
        EXPECT_EQ(signed_sparse->nitems(signed_sparse->data), signed_max + 1);
        EXPECT_EQ(kh_size(signed_sparse->data.sparse->array), signed_ref.size());
        for (int at = -2001; at <= 2001; ++at) {
            auto it = signed_ref.find(at);
            Counters want = it == signed_ref.end() ? Counters{} : it->second;
            ASSERT_EQ(read(signed_sparse.get(), at), want) << "signed sparse at " << at;
        }
    }
}

// Run under LeakSanitizer, this proves that release frees every record exactly once
// however far the map has grown.
TEST(IsizeStore, ManyKeysReleased) {
    std::mt19937 rng(99);
    Store h = make_store(0);
    ASSERT_TRUE(h);
    std::map<int, uint64_t> ref;
    for (int i = 0; i < 100000; ++i) {
        int at = static_cast<int>(rng() % 0x7fffffffu) * (i % 5 == 0 ? -1 : 1);
        h->inc_other(h->data, at);
        ref[at]++;
    }
    EXPECT_EQ(kh_size(h->data.sparse->array), ref.size());
    for (const auto &[at, n] : ref) ASSERT_EQ(h->other(h->data, at), n);
}

}  // namespace
