// Running out of memory in the reference option, with allocations failed by the fault shim:
// the module's own two come first (the "reference=" text, then the copy), before htslib's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "fault_alloc.h"
#include "fmt_opts.h"

namespace {

size_t list_length(const htsFormat &f) {
    size_t n = 0;
    for (auto *o = static_cast<const hts_opt *>(f.specific); o; o = o->next) ++n;
    return n;
}

TEST(FmtOptsAlloc, FailedAllocationLeavesRecordUsable) {
    const aftest::FaultAlloc shim;
    if (!shim.present()) GTEST_SKIP() << "runs with the fault shim preloaded";
    const option table[] = {{"reference", required_argument, nullptr, 'R'}, {}};
    for (int which = 1; which <= 2; ++which) {  // 1: the "reference=" text, 2: the copy
        SCOPED_TRACE(which);
        sam_global_args ga;
        sam_global_args_init(&ga);
        ASSERT_EQ(parse_sam_global_opt('R', "old.fa", table, &ga), 0);
        sam_global_args before;
        memcpy(&before, &ga, sizeof ga);

        shim.fail(which);
        EXPECT_EQ(parse_sam_global_opt('R', "new.fa", table, &ga), -1);
        EXPECT_EQ(shim.seen(), which);  // the failure did happen, and nothing was tried after
        EXPECT_EQ(shim.live(), 0);      // nor left allocated
        shim.fail(0);
        EXPECT_EQ(memcmp(&before, &ga, sizeof ga), 0);
        EXPECT_STREQ(ga.reference, "old.fa");
        EXPECT_EQ(list_length(ga.in), 1u);
        EXPECT_EQ(list_length(ga.out), 1u);

        // Still usable: the next call works and the release frees everything.
        EXPECT_EQ(parse_sam_global_opt('R', "new.fa", table, &ga), 0);
        EXPECT_STREQ(ga.reference, "new.fa");
        EXPECT_EQ(list_length(ga.in), 2u);
        EXPECT_EQ(list_length(ga.out), 2u);
        sam_global_args_free(&ga);
        EXPECT_LE(shim.live(), 0);  // frees the blocks made before the failure too
    }
}

}  // namespace
