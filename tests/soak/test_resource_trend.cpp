// The soak's growth judgement must fail a slow leak and pass a figure that only
// settles during its warm-up, or its verdict on the resources means nothing.
#include <gtest/gtest.h>

#include <functional>

#include "soak/resource_trend.h"

namespace {

// A 30-minute run sampled every 10 s.
std::vector<TrendPoint> HalfHourRun(const std::function<long long(double)>& value)
{
    std::vector<TrendPoint> points;
    for (double at = 0; at <= 1800; at += 10)
        points.push_back({at, value(at)});
    return points;
}

}  // namespace

TEST(ResourceTrend, AFigureThatSettlesInTheWarmUpAndWobblesHolds)
{
    const Trend trend = TrendOf(HalfHourRun([](double at) {
        return at < 40 ? 60 + static_cast<long long>(at) / 4 : 70 + static_cast<long long>(at / 10) % 3;
    }), 60, 1800);
    EXPECT_EQ(trend.start, 60);
    EXPECT_EQ(trend.peak, 72);
    EXPECT_TRUE(Held(trend, 2));
}

TEST(ResourceTrend, OneHandleAMinuteIsALeak)
{
    const Trend trend = TrendOf(HalfHourRun([](double at) { return 70 + static_cast<long long>(at / 60); }), 60, 1800);
    EXPECT_FALSE(Held(trend, 10));
    EXPECT_NEAR(trend.slopePerHour, 60, 2);
}

TEST(ResourceTrend, AClimbAtTheVeryEndIsNotHeld)
{
    const Trend trend = TrendOf(HalfHourRun([](double at) { return at < 1800 ? 100 : 200; }), 60, 1800);
    EXPECT_EQ(trend.end, 200);
    EXPECT_FALSE(Held(trend, 10));
}

TEST(ResourceTrend, NothingReadIsNotHeld)
{
    EXPECT_FALSE(Held(TrendOf(HalfHourRun([](double) { return -1; }), 60, 1800), 10));
}
