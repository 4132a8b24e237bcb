#include <gtest/gtest.h>

#include "runtime/clock.h"

TEST(Clock, DifferenceHoldsAcrossTheSignedWrap)
{
    int32_t before = 2147483647 - 2000;  // largest signed value minus 2 s
    int32_t after = static_cast<int32_t>(static_cast<uint32_t>(before) + 5000u);
    EXPECT_LT(after, 0);
    EXPECT_EQ(5000u, ElapsedMs(after, before));
    EXPECT_EQ(5000u, AbsDiffMs(after, before));
    EXPECT_EQ(5000u, AbsDiffMs(before, after));
}

TEST(Clock, OffsetSeamMovesReadings)
{
    SetClockOffsetMs(0);
    int32_t base = NowMs();
    AdvanceClockMs(35001);
    uint32_t moved = ElapsedMs(NowMs(), base);
    SetClockOffsetMs(0);
    EXPECT_GE(moved, 35001u);
    EXPECT_LT(moved, 36001u);
}
