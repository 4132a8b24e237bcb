// The discovery answer rate over long spans of probes, beyond what an end
// to end flood of a few seconds can show: the boundary rate is sustained,
// the long-run rate holds, the burst comes back, and the console line is
// said at most once a minute.
#include <gtest/gtest.h>

#include "discovery/answer_rate_limit.h"

namespace {

// Probes every `spacingMs` from `fromMs` for `spanMs`; returns how many were answered.
int Answered(DiscoveryRateLimit *limit, int64_t fromMs, int64_t spanMs, int64_t spacingMs)
{
    int answered = 0;
    for (int64_t t = fromMs; t < fromMs + spanMs; t += spacingMs)
        answered += limit->TakeAnswer(t) ? 1 : 0;
    return answered;
}

} // namespace

TEST(DiscoveryRateLimit, RareProbesAllAnsweredAFloodTenASecond)
{
    DiscoveryRateLimit limit;
    // Two in a row, then a probe every 100 ms for a minute: all answered.
    EXPECT_TRUE(limit.TakeAnswer(1000));
    EXPECT_TRUE(limit.TakeAnswer(1000));
    EXPECT_EQ(600, Answered(&limit, 1100, 60000, 100));

    // A probe every millisecond for 10 s: the rest of the burst, then 10 a second.
    int flood = Answered(&limit, 61100, 10000, 1);
    EXPECT_GE(flood, 100);
    EXPECT_LE(flood, 105);

    // A quiet second gives the whole burst back, and no more.
    EXPECT_EQ(5, Answered(&limit, 72100, 5, 1));
    EXPECT_FALSE(limit.TakeAnswer(72106));
}

TEST(DiscoveryRateLimit, NoticeAtMostOnceAMinute)
{
    DiscoveryRateLimit limit;
    EXPECT_TRUE(limit.TakeNotice(5000));
    EXPECT_FALSE(limit.TakeNotice(5001));
    EXPECT_FALSE(limit.TakeNotice(64999));
    EXPECT_TRUE(limit.TakeNotice(65000));
    EXPECT_FALSE(limit.TakeNotice(65001));
}
