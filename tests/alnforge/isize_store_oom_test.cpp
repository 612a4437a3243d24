// Out-of-memory behaviour of the insert-size store. The C allocator is replaced in this
// executable by one that can be told to fail; sanitizer builds own the allocator, so
// there the tests are skipped.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "isize_store.h"

#if defined(__SANITIZE_ADDRESS__)
#define AF_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AF_OWN_ALLOCATOR 0
#endif
#endif
#ifndef AF_OWN_ALLOCATOR
#define AF_OWN_ALLOCATOR 1
#endif

namespace {
// Allocations that succeed before every later one fails; negative: never fail.
long g_allow = -1;
long g_live = 0;  // blocks obtained and not yet released, while counting
bool g_counting = false;

[[maybe_unused]] bool refuse() {
    if (g_allow < 0) return false;
    if (g_allow == 0) return true;
    --g_allow;
    return false;
}
}  // namespace

#if AF_OWN_ALLOCATOR
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    if (refuse()) return nullptr;
    void *p = __libc_malloc(n);
    if (p && g_counting) ++g_live;
    return p;
}
void *calloc(size_t n, size_t size) {
    if (refuse()) return nullptr;
    void *p = __libc_calloc(n, size);
    if (p && g_counting) ++g_live;
    return p;
}
void *realloc(void *old, size_t n) {
    if (refuse()) return nullptr;
    void *p = __libc_realloc(old, n);
    if (p && !old && g_counting) ++g_live;
    return p;
}
void free(void *p) {
    if (p && g_counting) --g_live;
    __libc_free(p);
}
}
#endif

namespace {

constexpr bool kOwnAllocator = AF_OWN_ALLOCATOR;

// Every allocation that creation makes is refused in turn: each refusal gives null and
// leaves nothing allocated; past the last one a working store comes back.
TEST(IsizeStoreOom, CreationFailsCleanly) {
    if (!kOwnAllocator) GTEST_SKIP() << "the sanitizer owns the allocator";
    for (int bound : {0, -4, 1, 500}) {
        SCOPED_TRACE(bound);
        int refusals = 0;
        for (long allow = 0;; ++allow) {
            g_live = 0;
            g_counting = true;
            g_allow = allow;
            isize_t *h = init_isize_t(bound);
            g_allow = -1;
            if (h) {
                g_counting = false;
                h->inc_inward(h->data, 0);
                EXPECT_EQ(h->inward(h->data, 0), 1u);
                h->isize_free(h->data);
                free(h);
                break;
            }
            g_counting = false;
            EXPECT_EQ(g_live, 0) << "blocks leaked after " << allow << " allocations";
            ++refusals;
        }
        EXPECT_EQ(refusals, bound > 0 ? 5 : 3);
    }
}

// A new record that cannot be obtained, and a map that cannot grow to take a new key,
// end the process with status 11 rather than dropping the count.
TEST(IsizeStoreOom, GrowthFailureExits11) {
    if (!kOwnAllocator) GTEST_SKIP() << "the sanitizer owns the allocator";
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
                g_allow = c.allow;
                h->inc_outward(h->data, next);
            },
            testing::ExitedWithCode(11), c.message);
        // Existing keys never allocate.
        g_allow = 0;
        h->inc_outward(h->data, 50);
        h->set_other(h->data, 60, 9);
        g_allow = -1;
        EXPECT_EQ(h->outward(h->data, 50), 1u);
        EXPECT_EQ(h->other(h->data, 60), 9u);
        h->isize_free(h->data);
        free(h);
    }
}

}  // namespace
