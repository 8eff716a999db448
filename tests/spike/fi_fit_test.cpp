// F/I fits: every expected number is worked out by hand from the least-squares sums.
#include "spike/fi_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace ephys {
namespace {

TEST(FiFit, LinesFromHandWorkedSums) {
    // On the line f = 2 I + 10.
    FiFit f = fiFitLine(std::vector<FiPoint>{{0, 10}, {50, 110}, {100, 210}});
    EXPECT_DOUBLE_EQ(f.slope, 2.0);
    EXPECT_DOUBLE_EQ(f.intercept, 10.0);
    EXPECT_DOUBLE_EQ(f.xIntercept, -5.0);
    EXPECT_DOUBLE_EQ(f.rSquared, 1.0);
    EXPECT_EQ(f.n, 3);
    EXPECT_DOUBLE_EQ(f.fittedAtLast, 210.0);
    // n 3, Sx 3, Sy 6, Sxx 5, Syy 14, Sxy 7: D = 6, C = 3, n Syy - Sy^2 = 6.
    f = fiFitLine(std::vector<FiPoint>{{0, 1}, {1, 3}, {2, 2}});
    EXPECT_DOUBLE_EQ(f.slope, 0.5);
    EXPECT_DOUBLE_EQ(f.intercept, 1.5);
    EXPECT_DOUBLE_EQ(f.xIntercept, -3.0);
    EXPECT_DOUBLE_EQ(f.rSquared, 0.25);
    EXPECT_DOUBLE_EQ(f.lastStimulus, 2.0);
    EXPECT_DOUBLE_EQ(f.fittedAtLast, 2.5);
    // Equal frequencies: C = 0, R sq 1.
    f = fiFitLine(std::vector<FiPoint>{{0, 40}, {10, 40}, {30, 40}});
    EXPECT_DOUBLE_EQ(f.slope, 0.0);
    EXPECT_DOUBLE_EQ(f.intercept, 40.0);
    EXPECT_EQ(f.rSquared, 1.0);
}

TEST(FiFit, OneStimulusOrNoPointsGiveTheDegenerateLine) {
    const FiFit same = fiFitLine(std::vector<FiPoint>{{75, 100}, {75, 140}, {75, 120}});
    EXPECT_EQ(same.slope, 1e15);
    EXPECT_EQ(same.intercept, 0.0);
    EXPECT_EQ(same.xIntercept, 0.0);
    EXPECT_FALSE(std::signbit(same.xIntercept));  // -0 / 1e15 is written as 0.00
    EXPECT_EQ(same.rSquared, 1.0);
    EXPECT_DOUBLE_EQ(same.fittedAtLast, 75e15);
    const FiFit none = fiFitLine({});
    EXPECT_EQ(none.n, 0);
    EXPECT_EQ(none.slope, 1e15);
    EXPECT_EQ(none.rSquared, 1.0);
    EXPECT_EQ(none.lastStimulus, 0.0);
    EXPECT_EQ(none.fittedAtLast, 0.0);
}

TEST(FiFit, SeriesKeepEveryPoint) {
    FiSeriesSet set;
    for (int i = 0; i < 1000; ++i) fiAddSweep(set, i, std::vector<float>{0.0f, 20.0f, 30.0f}, 2);
    EXPECT_EQ(set.series[0].size(), 1000u);
    EXPECT_EQ(set.series[1].size(), 1000u);
    EXPECT_EQ(set.series[1].back().frequency, 100.0);  // interval 2: 1000 / (30 - 20)
    EXPECT_EQ(fiFitLine(set.series[2]).n, 1000);
}

}  // namespace
}  // namespace ephys
