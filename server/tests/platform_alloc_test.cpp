// sysinfo_new with each of its allocations failing in turn: it returns a
// whole record or none, and the leak check at exit catches anything a
// failure path leaves behind.
#include <gtest/gtest.h>

#include "failing_alloc.h"
#include "platform.h"

namespace {

TEST(SysinfoAlloc, EachAllocationFailingInTurn)
{
    int refused = 0, partial = 0;
    for (int k = 0;; ++k) {
        SCOPED_TRACE(k);
        failing_alloc::arm(k);
        sysinfo* info = sysinfo_new();
        failing_alloc::disarm();
        bool failed_one = failing_alloc::calls > k;
        if (!info) {
            EXPECT_TRUE(failed_one) << "no record without a failed allocation";
            ++refused;
        } else {
            // hostname and description may be missing; the device never is
            ASSERT_EQ(info->device_count, 1);
            ASSERT_NE(info->devices[0], nullptr);
            EXPECT_STREQ(info->devices[0]->arch, "armv8");
            partial += failed_one;
            sysinfo_free(info);
        }
        if (!failed_one)
            break; // every allocation has failed once
    }
    // the record itself, the device and the device list each refuse the whole
    EXPECT_GE(refused, 3);
    // the host name and the description are optional
    EXPECT_GE(partial, 2);
}

} // namespace
