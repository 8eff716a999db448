#include "plot/plot_axes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "plot/recording_canvas.h"

namespace ephys {
namespace {

using Kind = PlotCall::Kind;
using Points = std::vector<PlotIntPoint>;

class PlotAxesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        d.canvas = &canvas;
        plotSetDeviceSize(d, 800, 500);
    }
    std::vector<PlotCall> callsOf(Kind kind) const {
        std::vector<PlotCall> out;
        std::copy_if(canvas.calls.begin(), canvas.calls.end(), std::back_inserter(out),
                     [&](const PlotCall& c) { return c.kind == kind; });
        return out;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const PlotCall& c : callsOf(Kind::Text)) out.push_back(c.text);
        return out;
    }
    bool hasText(const std::string& t) const {
        const auto all = texts();
        return std::find(all.begin(), all.end(), t) != all.end();
    }
    // World values at the frame's edges.
    float atLeft() const { return (d.frameLeft * d.widthF - d.offsetX) / d.scaleX; }
    float atRight() const { return (d.frameRight * d.widthF - d.offsetX) / d.scaleX; }
    float atBottom() const { return ((1.0f - d.frameBottom) * d.heightF - d.offsetY) / d.scaleY; }
    float atTop() const { return ((1.0f - d.frameTop) * d.heightF - d.offsetY) / d.scaleY; }

    RecordingCanvas canvas;
    PlotDevice d;
};

TEST_F(PlotAxesTest, RangesTicksAndTransform) {
    plotAxis(d, 0.0f, 0.0f, 'X', 'N', "");
    EXPECT_NEAR(atLeft(), -1.0f, 1e-5f);
    EXPECT_NEAR(atRight(), 1.0f, 1e-5f);
    EXPECT_EQ(texts().front(), "-1.0");  // 13 ticks wanted: 2 / 13 rounds to 0.2
    EXPECT_FALSE(hasText("-0.0"));

    // Rounded out to whole steps of 1 (16 x 0.83 = 13 wanted, 10 / 10).
    canvas.clear();
    plotAxis(d, 0.3f, 9.7f, 'X', 'N', "");
    EXPECT_EQ(texts(), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_EQ(plotDeviceX(d, 0.0f), plotRound(d.frameLeft * 800.0f));
    EXPECT_EQ(plotDeviceX(d, 10.0f), plotRound(d.frameRight * 800.0f));

    // Four wanted: only 1.1 / 1 rounds to 1, 2 or 5, so the range is widened until 1.9487 / 4 gives
    // four steps of 0.5 (without the widening: one step of 1).
    canvas.clear();
    d.frameLeft = 0.5f;
    d.frameRight = 0.75f;
    plotAxis(d, 0.0f, 1.1f, 'X', 'N', "");
    EXPECT_EQ(texts(), (std::vector<std::string>{"0.0", "0.5", "1.0", "1.5"}));

    // Exact limits: kept; equal limits become 0.9 and 1.1 times the value; reversed ones swapped.
    d.exactLimits = 1;
    plotAxis(d, -5.0f, -5.0f, 'Y', 'N', "");
    EXPECT_NEAR(atBottom(), -5.5f, 1e-4f);
    EXPECT_NEAR(atTop(), -4.5f, 1e-4f);
    EXPECT_EQ(plotDeviceY(d, -5.5f), plotRound((1.0f - d.frameBottom) * 500.0f));
    plotAxis(d, 9.0f, 2.0f, 'Y', 'N', "");
    EXPECT_NEAR(atBottom(), 2.0f, 1e-5f);
    EXPECT_NEAR(atTop(), 9.0f, 1e-5f);

    // Scale 'M': the tick count is the label's first character; a step of 1 or more prints no
    // decimals.
    canvas.clear();
    plotAxis(d, 0.0f, 10.0f, 'X', 'M', "\x04Volts");
    EXPECT_EQ(texts(), (std::vector<std::string>{"0", "2", "5", "8", "10", "Volts"}));
}

TEST_F(PlotAxesTest, UnitFactorInTheTitle) {
    const struct {
        float max;
        const char* label;
        const char* title;
        const char* tick;
    } cases[] = {
        {5000.0f, "Amplitude", "Amplitude / 10^3", "5.0"},   {5000.0f, "Current (pA)", "Current (nA)", "5.0"},
        {0.0005f, "Time (s)", "Time (ms)", "0.50"},          {0.0005f, "mV", "\xC2\xB5V", "0.50"},
        {5000.0f, "Rate (Hz)", "Rate (Hz) / 10^3", "2.5"},  // no prefix for Hz
        {0.0002f, "Amplitude", "Amplitude / 10^-3", "0.20"}, {0.5f, "Time (s)", "Time (s)", "0.05"},
    };
    for (const auto& c : cases) {
        canvas.clear();
        plotAxis(d, 0.0f, c.max, 'X', 'N', c.label);
        EXPECT_EQ(texts().back(), c.title) << c.label << " 0.." << c.max;
        EXPECT_TRUE(hasText(c.tick)) << c.label << " 0.." << c.max;
    }
}

TEST_F(PlotAxesTest, LogarithmicAxis) {
    // min <= 0 becomes max / 1000: three decades below the maximum's decade.
    plotAxis(d, 0.0f, 5.0f, 'X', 'L', "");
    EXPECT_EQ(d.xScaleKind, 'L');
    EXPECT_NEAR(atLeft(), std::log10(0.005f), 1e-4f);
    EXPECT_NEAR(atRight(), std::log10(5.0f), 1e-4f);
    // Ticks 5..9 x 0.001, 1..9 x 0.01 and x 0.1, 1..5: labelled at the decades and the last one.
    EXPECT_EQ(texts(), (std::vector<std::string>{"0.01", "0.1", "1", "5"}));
    EXPECT_EQ(callsOf(Kind::Line).size(), 1u + 28u);

    // Under 1.5 decades every tick is labelled; the maximum is rounded up in its decade.
    canvas.clear();
    plotAxis(d, 2.0f, 7.3f, 'Y', 'L', "");
    EXPECT_NEAR(atTop(), std::log10(8.0f), 1e-4f);
    EXPECT_EQ(texts(), (std::vector<std::string>{"2", "3", "4", "5", "6", "7", "8"}));
}

TEST_F(PlotAxesTest, AxisDrawing) {
    d.axisColor = 2;
    d.textColor = 1;
    plotAxis(d, 0.0f, 10.0f, 'Y', 'N', "Current (pA)");
    const int axisX = plotRound(d.frameLeft * 800.0f - 10.0f);
    const auto lines = callsOf(Kind::Line);
    EXPECT_EQ(lines[0].points, (Points{{axisX, plotRound(0.07f * 500)}, {axisX, plotRound(0.86f * 500)}}));
    EXPECT_EQ(lines[0].penColor, plotPalette(2));
    const auto labels = callsOf(Kind::Text);
    EXPECT_EQ(labels[0].hAlign, PlotHAlign::Right);
    EXPECT_LT(labels[0].points[0].x, axisX);
    EXPECT_EQ(labels[0].textColor, plotPalette(1));
    EXPECT_EQ(labels.back().fontAngle, 900) << "the vertical title is written upwards";
    EXPECT_LT(labels.back().points[0].x, labels[0].points[0].x - 10);

    // Horizontal axis: labels centred, their tops below the ticks; the title under the middle.
    canvas.clear();
    plotAxis(d, 0.0f, 10.0f, 'X', 'N', "Time (ms)");
    const int axisY = plotRound((1.0f - d.frameBottom) * 500.0f + 10.0f);
    for (const PlotCall& c : callsOf(Kind::Text)) {
        EXPECT_EQ(c.vAlign, PlotVAlign::Top);
        EXPECT_GT(c.points[0].y, axisY + 6);
    }
    EXPECT_EQ(callsOf(Kind::Text).back().points[0].x, plotDeviceX(d, 5.0f));

    // Without axes only the transform is set.
    canvas.clear();
    d.showAxes = 0;
    plotAxis(d, 0.0f, 4.0f, 'X', 'N', "x");
    EXPECT_TRUE(canvas.calls.empty());
    EXPECT_NEAR(atRight(), 4.0f, 1e-5f);
}

TEST_F(PlotAxesTest, AbsurdInputNeverHangs) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::array<std::array<float, 2>, 6> ranges{
        {{nan, nan}, {nan, 5.0f}, {-inf, inf}, {3e38f, -3e38f}, {1e-30f, 1.0000001e-30f}, {0.0f, 1e-44f}}};
    for (const auto& r : ranges) {
        for (char scale : {'N', 'L', 'M'}) {
            canvas.clear();
            plotAxis(d, r[0], r[1], 'X', scale, "");
            plotAxis(d, r[0], r[1], 'Y', scale, "Label");
            EXPECT_TRUE(std::isfinite(d.scaleX + d.offsetX + d.scaleY + d.offsetY)) << r[0] << " " << scale;
            EXPECT_LT(canvas.calls.size(), 5000u);
        }
    }
    const std::array<float, 2> xs{10.0f, 90.0f};
    canvas.clear();
    plotSeries(d, xs, xs, -5, "LMEH", "", 0, 0);
    EXPECT_TRUE(canvas.calls.empty());
    plotSeries(d, xs, xs, 1000, "LMEWH", "legend", 1, -7);
    EXPECT_EQ(callsOf(Kind::Ellipse).size(), 3u) << "two points and the legend symbol";
}

class PlotSeriesTest : public PlotAxesTest {
  protected:
    void SetUp() override {
        PlotAxesTest::SetUp();
        d.exactLimits = 1;
        d.showAxes = 0;
        plotAxis(d, 0.0f, 100.0f, 'X', 'N', "");
        plotAxis(d, 0.0f, 100.0f, 'Y', 'N', "");
        r = plotSymbolSize(d);
    }
    float r = 0.0f;
};

double area(const Points& p) {
    double a = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const PlotIntPoint& q = p[(i + 1) % p.size()];
        a += double(p[i].x) * q.y - double(q.x) * p[i].y;
    }
    return std::fabs(a) / 2.0;
}

TEST_F(PlotSeriesTest, SymbolsOfEqualArea) {
    // (0.83 + 0.79) / 2 above 0.5: x 0.9, x height / 60.
    EXPECT_NEAR(r, 0.81f * 0.9f * 500.0f / 60.0f, 1e-4f);
    plotSetDeviceSize(d, 8000, 6000);  // large symbols: little rounding
    plotAxis(d, 0.0f, 100.0f, 'X', 'N', "");
    plotAxis(d, 0.0f, 100.0f, 'Y', 'N', "");
    r = plotSymbolSize(d);
    const std::array<float, 1> at{50.0f};
    for (int kind : {0, 2, 4, 6, 8}) {
        canvas.clear();
        d.markerKind = static_cast<std::uint8_t>(kind);
        plotSeries(d, at, at, 1, "m", "", 0, 0);
        ASSERT_EQ(canvas.calls.size(), 1u);
        const Points& p = canvas.calls[0].points;
        if (kind == 0) {
            EXPECT_NEAR(p[1].x - p[0].x, 2.0 * r, 1.0);
        } else {
            EXPECT_NEAR(area(p) / (std::numbers::pi * r * r), 1.0, 0.02) << "kind " << kind;
        }
        if (kind == 4 || kind == 6) {
            EXPECT_EQ(p[0].y < plotDeviceY(d, 50.0f), kind == 4) << "apex up for 4, down for 6";
        }
    }
    // Odd kinds are open: inside in the background colour.
    d.markerKind = 3;
    d.seriesColor = 2;
    plotSeries(d, at, at, 1, "M", "", 0, 0);
    EXPECT_EQ(canvas.calls.back().penColor, plotPalette(2));
    EXPECT_EQ(canvas.calls.back().brushColor, plotPalette(d.backgroundColor));
}

TEST_F(PlotSeriesTest, ErrorBars) {
    const std::array<float, 2> xs{20.0f, 60.0f};
    const std::array<float, 4> ys{50.0f, 40.0f, 10.0f, 0.0f};  // errors 10 and 0
    plotSeries(d, xs, ys, 2, "EUD", "", 0, 0);
    EXPECT_TRUE(canvas.calls.empty()) << "U and D together draw nothing";

    plotSeries(d, xs, ys, 2, "E", "", 0, 0);
    const int x = plotDeviceX(d, 20.0f), y = plotDeviceY(d, 50.0f);
    ASSERT_EQ(canvas.calls.size(), 2u) << "a zero error draws nothing";
    EXPECT_EQ(canvas.calls[0].points, (Points{{x, y}, {x, plotDeviceY(d, 60.0f)}}));
    EXPECT_EQ(canvas.calls[1].points, (Points{{x, y}, {x, plotDeviceY(d, 40.0f)}}));

    canvas.clear();
    plotSeries(d, xs, ys, 2, "EDW", "", 0, 0);  // lower bar with a whisker 1.6 symbol sizes wide
    ASSERT_EQ(canvas.calls.size(), 2u);
    EXPECT_EQ(canvas.calls[0].points[1].y, plotDeviceY(d, 40.0f));
    EXPECT_NEAR(canvas.calls[1].points[1].x - canvas.calls[1].points[0].x, 1.6f * r, 2.0f);

    canvas.clear();  // with symbols, a bar within the symbol is left out
    const std::array<float, 2> small{50.0f, 0.5f};
    plotSeries(d, std::span(xs).first(1), small, 1, "ME", "", 0, 0);
    EXPECT_TRUE(callsOf(Kind::Line).empty());
}

TEST_F(PlotSeriesTest, LinesBrokenOnALogAxisAndShortened) {
    plotAxis(d, 1.0f, 1000.0f, 'Y', 'L', "");
    const std::array<float, 5> xs{10, 20, 30, 40, 50};
    const std::array<float, 5> ys{1, 10, 0, 100, 1000};
    plotSeries(d, xs, ys, 5, "L", "", 0, 0);
    const Points first{{plotDeviceX(d, 10), plotDeviceY(d, 0.0f)},
                       {plotDeviceX(d, 20), plotDeviceY(d, 1.0f)}};
    const Points second{{plotDeviceX(d, 40), plotDeviceY(d, 2.0f)},
                        {plotDeviceX(d, 50), plotDeviceY(d, 3.0f)}};
    ASSERT_EQ(canvas.calls.size(), 2u);
    EXPECT_EQ(canvas.calls[0].points, first);
    EXPECT_EQ(canvas.calls[1].points, second);

    // S with M: 1.8 symbol sizes off each end; left out when too short or going left.
    plotAxis(d, 0.0f, 100.0f, 'Y', 'N', "");
    const float far = 10.0f * r / d.scaleX, close = 3.0f * r / d.scaleX;
    const std::array<float, 4> xs2{10.0f, 10.0f + far, 10.0f + far + close, 10.0f};
    const std::array<float, 4> flat{50.0f, 50.0f, 50.0f, 50.0f};
    canvas.clear();
    plotSeries(d, xs2, flat, 4, "LMS", "", 0, 0);
    const auto lines = callsOf(Kind::Line);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NEAR(lines[0].points[0].x, plotDeviceX(d, 10.0f) + 1.8f * r, 1.0f);
    EXPECT_NEAR(lines[0].points[1].x, plotDeviceX(d, xs2[1]) - 1.8f * r, 1.0f);
}

TEST_F(PlotSeriesTest, HistogramModeAndLegend) {
    d.histogramColor = 6;
    const std::array<float, 3> xs{5.0f, 15.0f, 25.0f};
    const std::array<float, 3> ys{30.0f, 60.0f, 10.0f};
    plotSeries(d, xs, ys, 3, "HX", "", 0, 0);
    ASSERT_EQ(canvas.calls.size(), 1u);
    EXPECT_EQ(canvas.calls[0].penColor, plotPalette(6));
    EXPECT_EQ(canvas.calls[0].mix, PlotMix::Xor);
    Points steps;
    for (int i = 0; i < 3; ++i) {
        steps.push_back({plotDeviceX(d, 10.0f * i), plotDeviceY(d, ys[i])});
        steps.push_back({plotDeviceX(d, 10.0f * (i + 1)), plotDeviceY(d, ys[i])});
    }
    EXPECT_EQ(canvas.calls[0].points, steps);

    canvas.clear();
    for (int i = 0; i < 4; ++i) plotSeries(d, xs, ys, 1, "LM", "cell\nsecond line", 4, i);
    EXPECT_EQ(canvas.calls.back().mix, PlotMix::Copy);
    const auto labels = callsOf(Kind::Text);
    ASSERT_EQ(labels.size(), 4u);
    const float column = (d.frameRight - d.frameLeft) * 800.0f / 3.0f;
    const int y = plotRound((1.0f - d.frameBottom) * 500.0f + 0.11f * 500.0f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(labels[i].text, "cell");
        EXPECT_DOUBLE_EQ(labels[i].fontHeight, 14.0);
        EXPECT_EQ(labels[i].points[0],
                  (PlotIntPoint{plotRound(d.frameLeft * 800.0f + i * column + column / 10.0f),
                                y + 7}));  // vertically centred
    }
    EXPECT_EQ(labels[3].points[0].x, labels[0].points[0].x);
    const PlotCall sample = callsOf(Kind::Line).at(0);  // 4 symbol sizes, centred on the column start
    EXPECT_NEAR(sample.points[1].x - sample.points[0].x, 4.0f * r, 1.0f);
    EXPECT_NEAR((sample.points[1].x + sample.points[0].x) / 2.0f, d.frameLeft * 800.0f, 1.0f);
    EXPECT_EQ(d.legendDone, 1);
}

TEST_F(PlotAxesTest, ALongLegendPushesTheNextEntryRightInsteadOfRunningIntoIt) {
    const std::array<float, 1> xs{1.0f}, ys{1.0f};
    plotSetDeviceSize(d, 400, 350);  // a narrow sub-plot: a column is ~90 px
    plotAxis(d, 0.0f, 2.0f, 'X', 'N', "");
    plotAxis(d, 0.0f, 2.0f, 'Y', 'N', "");
    canvas.clear();
    plotSeries(d, xs, ys, 1, "M", "a rather long legend text", 2, 0);
    plotSeries(d, xs, ys, 1, "L", "fit", 2, 1);
    const auto labels = callsOf(Kind::Text);
    ASSERT_EQ(labels.size(), 2u);
    const int firstEnd = labels[0].points[0].x + canvas.textExtent(labels[0].text).width;
    EXPECT_GT(callsOf(Kind::Line).front().points[0].x, firstEnd) << "the line sample starts after the text";
    EXPECT_GT(labels[1].points[0].x, firstEnd);

    // Short texts keep their thirds of the frame.
    canvas.clear();
    plotSeries(d, xs, ys, 1, "M", "a", 2, 0);
    plotSeries(d, xs, ys, 1, "M", "b", 2, 1);
    const float column = (d.frameRight - d.frameLeft) * 400.0f / 3.0f;
    EXPECT_EQ(callsOf(Kind::Text)[1].points[0].x, plotRound(d.frameLeft * 400.0f + column + column / 10.0f));
}

TEST_F(PlotAxesTest, PlotXY) {
    d.backgroundColor = 12;
    const std::array<float, 3> xs{1.0f, 2.0f, 3.0f};
    const std::array<float, 6> ys{10.0f, 30.0f, 20.0f, 5.0f, 5.0f, 5.0f};
    plotXY(d, 2, 2, 3, xs, "Time (s)", ys, "Rate (Hz)", "LE");
    EXPECT_EQ(canvas.calls[0].fillColor, plotPalette(12));
    EXPECT_NEAR(d.frameLeft, 0.65f, 1e-6f);
    EXPECT_TRUE(hasText("Time (s)") && hasText("Rate (Hz)"));
    EXPECT_LE(atBottom(), 5.0001f) << "the y range takes in the error bars";
    EXPECT_GE(atTop(), 34.999f);
}

}  // namespace
}  // namespace ephys
