#include <gtest/gtest.h>
#include <sys/time.h>

#include "runtime/clock.h"

TEST(Clock, DifferenceHoldsAcrossTheSignedWrap)
{
    int32_t before = 2147483647 - 2000; // largest signed value minus 2 s
    int32_t after = static_cast<int32_t>(static_cast<uint32_t>(before) + 5000u);
    EXPECT_LT(after, 0);
    EXPECT_EQ(5000u, ElapsedMs(after, before));
    EXPECT_EQ(5000u, AbsDiffMs(after, before));
    EXPECT_EQ(5000u, AbsDiffMs(before, after));
}

TEST(Clock, SeamPassesTimeOnBothClocksAndStepsTheWallClockAlone)
{
    SetClockOffsetMs(0);
    int32_t wall = NowMs();
    int32_t steady = MonotonicNowMs();
    AdvanceClockMs(35001);
    uint32_t wallMoved = ElapsedMs(NowMs(), wall);
    uint32_t steadyMoved = ElapsedMs(MonotonicNowMs(), steady);
    StepWallClockMs(-3600000);
    int32_t wallStepped = static_cast<int32_t>(ElapsedMs(NowMs(), wall));
    uint32_t steadyAfterStep = ElapsedMs(MonotonicNowMs(), steady);
    SetClockOffsetMs(0);
    EXPECT_GE(wallMoved, 35001u);
    EXPECT_LT(wallMoved, 36001u);
    EXPECT_GE(steadyMoved, 35001u);
    EXPECT_LT(steadyMoved, 36001u);
    EXPECT_LT(wallStepped, 35001 - 3600000 + 1000);
    EXPECT_GE(steadyAfterStep, 35001u);
    EXPECT_LT(steadyAfterStep, 36001u);
    EXPECT_LT(ElapsedMs(NowMs(), wall), 1000u);
}

TEST(Clock, WallClockReadingWrapsModulo2To32)
{
    // 1,700,000,000,000 ms is 3,487,918,080 modulo 2^32, read as signed.
    EXPECT_EQ(-807049216, WallClockMs(1700000000, 0));
    EXPECT_EQ(-807049216 + 999, WallClockMs(1700000000, 999999));
    EXPECT_EQ(5000u, ElapsedMs(WallClockMs(1700000005, 0), WallClockMs(1700000000, 0)));
    // Seconds at which the reading crosses the largest signed value.
    const int64_t crossing = 2147483; // 2,147,483,000 ms
    EXPECT_EQ(2147483000, WallClockMs(crossing, 0));
    EXPECT_LT(WallClockMs(crossing + 5, 0), 0);
    EXPECT_EQ(5000u, ElapsedMs(WallClockMs(crossing + 5, 0), WallClockMs(crossing, 0)));
    EXPECT_EQ(0, WallClockMs(4294967296LL / 8, 0) - WallClockMs(0, 0)); // 2^29 s = 2^32 * 125 ms
}

// After 19 January 2038 03:14:08 UTC a 32-bit time_t no longer holds the
// time, gettimeofday fails and every NowMs would read 0. glibc builds use a
// 64-bit time_t (also on 32-bit targets); uClibc's time_t is the kernel's
// long, 32 bits on 32-bit targets.
TEST(Clock, TimevalHoldsTimesAfter2038OnGlibc)
{
#if defined(__GLIBC__) && !defined(__UCLIBC__)
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(4102444800LL); // 2100-01-01
    EXPECT_EQ(4102444800LL, static_cast<int64_t>(tv.tv_sec));
    EXPECT_EQ(5000u, ElapsedMs(WallClockMs(tv.tv_sec + 5, 0), WallClockMs(tv.tv_sec, 0)));
#else
    GTEST_SKIP() << "time_t is the C library's own size here";
#endif
}

TEST(Clock, ShortSleepWaitsAtLeastItsTime)
{
    SetClockOffsetMs(0);
    int32_t before = NowMs();
    SleepMs(20);
    EXPECT_GE(ElapsedMs(NowMs(), before), 19u);
}
