// Out-of-memory behaviour of the insert-size store, with allocations failed by the fault shim.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fault_alloc.h"
#include "isize_store.h"

namespace {

const aftest::FaultAlloc kShim;

// Every allocation that creation makes is refused in turn: each refusal gives null and
// leaves nothing allocated; past the last one a working store comes back.
TEST(IsizeStoreOom, CreationFailsCleanly) {
    if (!kShim.present()) GTEST_SKIP() << "runs with the fault shim preloaded";
    for (int bound : {0, -4, 1, 500}) {
        SCOPED_TRACE(bound);
        int refusals = 0;
        for (long allow = 0;; ++allow) {
            kShim.fail(allow + 1);
            isize_t *h = init_isize_t(bound);
            long live = kShim.live();
            kShim.fail(0);
            if (h) {
                h->inc_inward(h->data, 0);
                EXPECT_EQ(h->inward(h->data, 0), 1u);
                h->isize_free(h->data);
                free(h);
                break;
            }
            EXPECT_EQ(live, 0) << "blocks leaked after " << allow << " allocations";
            ++refusals;
        }
        EXPECT_EQ(refusals, bound > 0 ? 5 : 3);
    }
}

// A new record that cannot be obtained, and a map that cannot grow to take a new key,
// end the process with status 11 rather than dropping the count.
TEST(IsizeStoreOom, GrowthFailureExits11) {
    if (!kShim.present()) GTEST_SKIP() << "runs with the fault shim preloaded";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct {
        long allow;
        const char *message;
    } cases[] = {
        {0, "^Failed to allocate memory for isize_sparse_record_t\n$"},
        {1, "^Failed to allocate memory for kh_m32_t\n$"},
    };
    for (const auto &c : cases) {
        isize_t *h = init_isize_t(0);
        ASSERT_TRUE(h);
        // Fill the map up to the point where the next new key needs a larger one.
        kh_m32_t *map = h->data.sparse->array;
        int next = 0;
        do h->inc_inward(h->data, next++);
        while (next < 100 || map->n_occupied < map->upper_bound);
        EXPECT_EXIT(
            {
                kShim.fail(c.allow + 1);
                h->inc_outward(h->data, next);
            },
            testing::ExitedWithCode(11), c.message);
        // Existing keys never allocate.
        kShim.fail(1);
        h->inc_outward(h->data, 50);
        h->set_other(h->data, 60, 9);
        EXPECT_EQ(kShim.seen(), 0);
        kShim.fail(0);
        EXPECT_EQ(h->outward(h->data, 50), 1u);
        EXPECT_EQ(h->other(h->data, 60), 9u);
        h->isize_free(h->data);
        free(h);
    }
}

}  // namespace
