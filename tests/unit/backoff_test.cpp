#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "runtime/backoff.h"
#include "runtime/clock.h"

namespace {
// Hands out the values it is given, in turn.
class ScriptedRandom : public IRandomSource {
public:
    explicit ScriptedRandom(std::vector<uint32_t> values) : m_Values(values) {}
    uint32_t Next() override { return m_Values[m_Next++ % m_Values.size()]; }

private:
    std::vector<uint32_t> m_Values;
    size_t m_Next = 0;
};

class BackoffTest : public ::testing::Test {
protected:
    void SetUp() override { SetClockOffsetMs(0); }
    void TearDown() override { SetClockOffsetMs(0); }
};
}  // namespace

TEST_F(BackoffTest, WaitsGrowThreefoldFromOneToTwoSecondsUpToTheCap)
{
    // The least and the most each step can draw: 1 to 2 s first, then from
    // 1 s to a ceiling three times the last, up to a minute.
    ScriptedRandom least({0});
    ScriptedRandom most({1000, 5000, 17000, 53000, 59000, 59000});
    Backoff low(kReconnectFirstMs, kReconnectCapMs, &least);
    Backoff high(kReconnectFirstMs, kReconnectCapMs, &most);
    std::vector<uint32_t> lows, highs;
    for (int i = 0; i < 6; ++i) {
        lows.push_back(low.Fail(MonotonicNowMs()));
        highs.push_back(high.Fail(MonotonicNowMs()));
    }
    EXPECT_EQ((std::vector<uint32_t>{1000, 1000, 1000, 1000, 1000, 1000}), lows);
    EXPECT_EQ((std::vector<uint32_t>{2000, 6000, 18000, 54000, 60000, 60000}), highs);
    // A draw past the range wraps into it, never beyond the ceiling.
    ScriptedRandom wild({0xFFFFFFFFu});
    Backoff capped(kReconnectFirstMs, kReconnectCapMs, &wild);
    for (int i = 0; i < 40; ++i) {
        uint32_t wait = capped.Fail(MonotonicNowMs());
        EXPECT_LE(wait, kReconnectCapMs);
        EXPECT_GE(wait, kReconnectFirstMs);
    }
}

TEST_F(BackoffTest, AWaitDrawnAnewFallsDueWithinTheWindowAfterTheFirstFailure)
{
    Backoff backoff(kReconnectFirstMs, kReconnectCapMs);
    const int32_t first = 5000, later = first + 12000;
    backoff.Fail(first);
    for (int i = 0; i < 200; ++i) {
        backoff.Fail(later);
        uint32_t due = 12000 + backoff.RedrawDueBetween(30000, 60000);
        EXPECT_GE(due, 30000u);
        EXPECT_LE(due, 60000u);
        EXPECT_EQ(due - 12000, backoff.MsUntilDue(later));
    }
    // Both ends passed: due at once.
    EXPECT_EQ(0u, backoff.RedrawDueBetween(5000, 10000));
}

TEST_F(BackoffTest, TheRetryFallsDueAsTimePassesOnTheClock)
{
    ScriptedRandom draw({500});
    Backoff backoff(kReconnectFirstMs, kReconnectCapMs, &draw);
    EXPECT_EQ(0u, backoff.MsUntilDue(MonotonicNowMs()));  // nothing failed: go
    int32_t start = MonotonicNowMs();
    ASSERT_EQ(1500u, backoff.Fail(start));
    EXPECT_EQ(1500u, backoff.MsUntilDue(start));
    AdvanceClockMs(1499);
    EXPECT_EQ(1u, backoff.MsUntilDue(start + 1499));
    EXPECT_EQ(0u, backoff.MsUntilDue(start + 1500));
    // A wall-clock step moves nothing: the schedule counts monotonic time.
    StepWallClockMs(-3600000);
    EXPECT_GE(backoff.MsUntilDue(MonotonicNowMs()), 0u);
    EXPECT_LE(backoff.MsUntilDue(MonotonicNowMs()), 1u);
    // The failures in a row are timed from the first of them.
    AdvanceClockMs(1500);
    backoff.Fail(MonotonicNowMs());
    EXPECT_GE(backoff.FailingForMs(MonotonicNowMs()), 2999u);
    EXPECT_LT(backoff.FailingForMs(MonotonicNowMs()), 3999u);
    EXPECT_EQ(2u, backoff.Failures());
}

TEST_F(BackoffTest, ASuccessStartsTheScheduleAfresh)
{
    ScriptedRandom most({59000});
    Backoff backoff(kReconnectFirstMs, kReconnectCapMs, &most);
    for (int i = 0; i < 10; ++i)
        backoff.Fail(MonotonicNowMs());
    ASSERT_EQ(60000u, backoff.MsUntilDue(MonotonicNowMs()));
    backoff.Reset();
    EXPECT_EQ(0u, backoff.MsUntilDue(MonotonicNowMs()));
    EXPECT_EQ(0u, backoff.FailingForMs(MonotonicNowMs()));
    uint32_t first = backoff.Fail(MonotonicNowMs());
    EXPECT_GE(first, 1000u);
    EXPECT_LE(first, 2000u);
}

TEST_F(BackoffTest, CamerasThatFailTogetherDrawApart)
{
    // Each object has its own generator: a thousand cameras failing at the
    // same moment spread their first retries over the whole second, and at
    // the cap over the whole minute.
    std::set<uint32_t> first, atCap;
    for (int camera = 0; camera < 1000; ++camera) {
        Backoff backoff(kReconnectFirstMs, kReconnectCapMs);
        uint32_t wait = backoff.Fail(0);
        EXPECT_GE(wait, 1000u);
        EXPECT_LE(wait, 2000u);
        first.insert(wait / 100);
        for (int i = 0; i < 5; ++i)
            wait = backoff.Fail(0);
        EXPECT_GE(wait, 1000u);
        EXPECT_LE(wait, 60000u);
        atCap.insert(wait / 2000);
    }
    EXPECT_GE(first.size(), 10u);   // every tenth of the second drawn
    EXPECT_GE(atCap.size(), 29u);   // nearly every two seconds of the minute
}
