// F/I fits: every expected number is worked out by hand from the least-squares sums.
#include "spike/fi_fit.h"

#include <gtest/gtest.h>

#include <array>
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
    // Through the origin: the X intercept -0 / 2 is kept as 0, so that it is written "0.00".
    f = fiFitLine(std::vector<FiPoint>{{1, 2}, {2, 4}});
    EXPECT_EQ(f.xIntercept, 0.0);
    EXPECT_FALSE(std::signbit(f.xIntercept));
    // Equal frequencies: C = 0, R sq 1; a flat line never reaches frequency 0.
    f = fiFitLine(std::vector<FiPoint>{{0, 40}, {10, 40}, {30, 40}});
    EXPECT_TRUE(f.hasLine);
    EXPECT_DOUBLE_EQ(f.slope, 0.0);
    EXPECT_DOUBLE_EQ(f.intercept, 40.0);
    EXPECT_FALSE(f.hasXIntercept);
    EXPECT_EQ(f.rSquared, 1.0);
}

TEST(FiFit, PointsAtOneStimulusOrNoneHaveNoLine) {
    const FiFit same = fiFitLine(std::vector<FiPoint>{{75, 100}, {75, 140}, {75, 120}});
    EXPECT_FALSE(same.hasLine);
    EXPECT_FALSE(same.hasXIntercept);
    EXPECT_EQ(same.rSquared, 1.0);
    EXPECT_EQ(same.n, 3);
    EXPECT_EQ(same.lastStimulus, 75.0);
    const FiFit none = fiFitLine({});
    EXPECT_FALSE(none.hasLine);
    EXPECT_EQ(none.n, 0);
    EXPECT_EQ(none.rSquared, 1.0);
}

// What a fit does not have is an empty cell in the frequency file and "none" in the result text,
// never a number made up for it (or inf or nan).
TEST(FiFit, MissingValuesAreEmptyCellsAndNone) {
    const std::array<FiFit, kFiSeriesCount> fits = {fiFitLine(std::vector<FiPoint>{{0, 40}, {10, 40}}),
                                                    fiFitLine(std::vector<FiPoint>{{75, 100}, {75, 140}}),
                                                    fiFitLine({})};
    EXPECT_EQ(fiTableText(fits),
              "Interval Number\tSlope\tY Intercept\tX intercept\tR sq\tn\tLast Stim\tfit Y (last stim)\n"
              "1\t0.00\t40.00\t\t1.00\t2\t10.00\t40.00\n"
              "2\t\t\t\t1.00\t2\t75.00\t\n"
              "3\t\t\t\t1.00\t0\t0.00\t0.00\n");
    EXPECT_EQ(fiSummaryText("/lab/cell", fits),
              "File: /lab/cell\n\nIntrvl\tF/I slp\tX int\tR sq\n"
              "1\t0.00\tnone\t1.00\n"
              "2\tnone\tnone\t1.00\n"
              "3\tnone\tnone\t1.00\n");
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
