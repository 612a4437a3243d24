// Running out of memory in the reference option. This program is linked with
// -Wl,--wrap=malloc, so the module's own malloc calls come here (htslib's, made inside the
// shared library, do not): a countdown makes the chosen call fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "fmt_opts.h"

namespace {
int calls_seen = 0;  // wrapped calls since the last arm()
int fail_on = 0;     // fail the call with this number (1-based); 0: fail none

void arm(int n) {
    calls_seen = 0;
    fail_on = n;
}
}  // namespace

extern "C" void *__real_malloc(size_t size);
extern "C" void *__wrap_malloc(size_t size) {
    if (fail_on > 0 && ++calls_seen == fail_on) {
        fail_on = 0;
        return nullptr;
    }
    return __real_malloc(size);
}

namespace {

size_t list_length(const htsFormat &f) {
    size_t n = 0;
    for (auto *o = static_cast<const hts_opt *>(f.specific); o; o = o->next) ++n;
    return n;
}

TEST(FmtOptsAlloc, ReferenceMakesTwoAllocationsOfItsOwn) {
    // Proves that the wrapping is in effect, so the failures below are real ones.
    const option table[] = {{"reference", required_argument, nullptr, 'R'}, {}};
    sam_global_args ga;
    sam_global_args_init(&ga);
    arm(1000);
    ASSERT_EQ(parse_sam_global_opt('R', "a.fa", table, &ga), 0);
    EXPECT_EQ(calls_seen, 2);
    arm(0);
    sam_global_args_free(&ga);
}

TEST(FmtOptsAlloc, FailedAllocationLeavesRecordUsable) {
    const option table[] = {{"reference", required_argument, nullptr, 'R'}, {}};
    for (int which = 1; which <= 2; ++which) {  // 1: the "reference=" text, 2: the copy
        SCOPED_TRACE(which);
        sam_global_args ga;
        sam_global_args_init(&ga);
        ASSERT_EQ(parse_sam_global_opt('R', "old.fa", table, &ga), 0);
        sam_global_args before;
        memcpy(&before, &ga, sizeof ga);

        arm(which);
        EXPECT_EQ(parse_sam_global_opt('R', "new.fa", table, &ga), -1);
        EXPECT_EQ(fail_on, 0);  // the failure did happen
        EXPECT_EQ(memcmp(&before, &ga, sizeof ga), 0);
        EXPECT_STREQ(ga.reference, "old.fa");
        EXPECT_EQ(list_length(ga.in), 1u);
        EXPECT_EQ(list_length(ga.out), 1u);

        // Still usable: the next call works and the release frees everything (the leak
        // checker of the sanitizer build would see anything left behind).
        arm(0);
        EXPECT_EQ(parse_sam_global_opt('R', "new.fa", table, &ga), 0);
        EXPECT_STREQ(ga.reference, "new.fa");
        EXPECT_EQ(list_length(ga.in), 2u);
        EXPECT_EQ(list_length(ga.out), 2u);
        sam_global_args_free(&ga);
    }
}

}  // namespace
