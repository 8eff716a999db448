#include "plot/plot_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "plot/recording_canvas.h"

namespace ephys {
namespace {

using Kind = PlotCall::Kind;
using Points = std::vector<PlotIntPoint>;

class PlotDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        d.canvas = &canvas;
        plotSetDeviceSize(d, 800, 500);
    }
    RecordingCanvas canvas;
    PlotDevice d;
};

TEST(PlotDevice, PaletteAndRounding) {
    EXPECT_EQ(plotPalette(17), (PlotColor{0, 0, 255}));
    EXPECT_EQ(plotPalette(6), (PlotColor{102, 153, 41}));
    EXPECT_EQ(plotPalette(-1), plotPalette(15));
    EXPECT_EQ(plotRound(2.5f), 3);
    EXPECT_EQ(plotRound(2.49f), 2);
    EXPECT_EQ(plotRound(-0.7f), 0);  // -0.2 truncates toward zero
    EXPECT_EQ(plotRound(-1.6f), -1);
    EXPECT_EQ(plotRound(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_GT(plotRound(std::numeric_limits<float>::infinity()), 1000000);
}

TEST_F(PlotDeviceTest, AttributesReachTheCanvasWithTheNextDrawing) {
    d.scaleX = 2.0f;
    d.offsetX = 10.0f;
    d.scaleY = -4.0f;
    d.offsetY = 300.0f;
    plotSetColor(d, 2);
    plotSetLineStyle(d, kPenDash, 0, 3);
    d.fontScale = 2.0f;
    plotSetTextSize(d, 10.0f);
    EXPECT_TRUE(canvas.calls.empty());

    plotSegment(d, 0.0f, 0.0f, 5.3f, 10.0f);
    plotText(d, 0.0f, 0.0f, "x");
    ASSERT_EQ(canvas.calls.size(), 2u);
    EXPECT_EQ(canvas.calls[0].points, (Points{{10, 300}, {21, 260}}));  // 20.6 + 0.5 truncated
    EXPECT_EQ(canvas.calls[0].penColor, plotPalette(2));
    EXPECT_EQ(canvas.calls[0].penStyle, kPenDash);
    EXPECT_EQ(canvas.calls[0].penWidth, 3);
    EXPECT_EQ(canvas.calls[1].textColor, plotPalette(2));
    EXPECT_DOUBLE_EQ(canvas.calls[1].fontHeight, 20.0);
    EXPECT_EQ(canvas.fontFamily, "Arial");

    // A new canvas gets the objects again once they are released.
    RecordingCanvas other;
    d.canvas = &other;
    plotReleaseObjects(d);
    plotSetMix(d, PlotMix::Xor);
    plotSegmentDevice(d, 0, 0, 1, 1);
    ASSERT_EQ(other.calls.size(), 1u);
    EXPECT_EQ(other.calls[0].penColor, plotPalette(2));
    EXPECT_EQ(other.calls[0].mix, PlotMix::Xor);
}

TEST_F(PlotDeviceTest, TextAlignmentAndStyle) {
    plotSetTextSize(d, 20.0f);  // RecordingCanvas: 12 px per character, 20 px high
    plotSetTextAlign(d, 0, 2);
    plotTextDevice(d, 100, 50, "top");
    plotSetTextAlign(d, 2, 1);
    plotTextDevice(d, 100, 50, "middle");
    plotSetTextStyle(d, 1, 20.0f / 14.0f - 1.0f);
    plotTextDevice(d, 100, 50, "upwards");

    ASSERT_EQ(canvas.calls.size(), 3u);
    // Vertical alignment 2: the top of the text at the point itself.
    EXPECT_EQ(canvas.calls[0].vAlign, PlotVAlign::Top);
    EXPECT_EQ(canvas.calls[0].points[0], (PlotIntPoint{100, 50}));
    // Middle: bottom alignment, horizontal text down by half its height, vertical text right by a
    // third of its width.
    EXPECT_EQ(canvas.calls[1].vAlign, PlotVAlign::Bottom);
    EXPECT_EQ(canvas.calls[1].hAlign, PlotHAlign::Right);
    EXPECT_EQ(canvas.calls[1].points[0], (PlotIntPoint{100, 60}));
    EXPECT_EQ(canvas.calls[2].fontAngle, 900);
    EXPECT_EQ(canvas.calls[2].points[0], (PlotIntPoint{128, 50}));

    plotSetTextStyle(d, 0, -0.3f);
    EXPECT_NEAR(d.textPoints, 9.8f, 1e-5f);
    d.printing = 1;
    plotSetDeviceSize(d, 3000, 4000);
    plotSetTextStyle(d, 0, 0.0f);
    EXPECT_NEAR(d.textPoints, 5000.0f / 65.0f, 1e-3f) << "page diagonal / 65";
}

TEST_F(PlotDeviceTest, FillRulesOfCirclesAndPolygons) {
    d.backgroundColor = 14;
    plotSetColor(d, 3);
    plotCircleDevice(d, 100, 100, 10.0f);
    plotSetFill(d, 1, 0, 0);
    plotCircleDevice(d, 100, 100, 10.0f);
    plotRect(d, 1, 2, 3, 4);
    plotSetFill(d, 1, 0, 1);
    plotCircleDevice(d, 100, 100, 10.0f);

    ASSERT_EQ(canvas.calls.size(), 4u);
    EXPECT_EQ(canvas.calls[0].points, (Points{{90, 90}, {110, 110}}));
    EXPECT_EQ(canvas.calls[0].brushColor, plotPalette(3));   // current colour
    EXPECT_EQ(canvas.calls[1].brushColor, plotPalette(14));  // erase: background
    EXPECT_FALSE(canvas.calls[1].brushHollow);
    EXPECT_EQ(canvas.calls[2].kind, Kind::Polygon);
    EXPECT_EQ(canvas.calls[2].brushColor, plotPalette(14));
    EXPECT_EQ(canvas.calls[2].points, (Points{{1, 2}, {3, 2}, {3, 4}, {1, 4}, {1, 2}}));
    EXPECT_TRUE(canvas.calls[3].brushHollow);  // transparent
    EXPECT_EQ(canvas.calls[3].penColor, plotPalette(3));
}

TEST_F(PlotDeviceTest, PolylineIsNotDrawnOnALogarithmicAxis) {
    const std::array<float, 4> xs{0, 1, 2, 3};
    const std::array<float, 4> ys{5, 6, 7, 8};
    plotPolyline(d, xs, ys, 100);  // a count beyond the data is cut to it
    ASSERT_EQ(canvas.calls.size(), 1u);
    EXPECT_EQ(canvas.calls[0].kind, Kind::Polyline);
    EXPECT_EQ(canvas.calls[0].points.size(), 4u);
    d.yScaleKind = 'L';
    plotPolyline(d, xs, ys, 4);
    d.yScaleKind = 'N';
    d.xScaleKind = 'L';
    plotPolyline(d, xs, ys, 4);
    EXPECT_EQ(canvas.calls.size(), 1u);
}

// The pixels a 1-pixel polyline covers (Bresenham, both ends of every segment included).
std::set<std::pair<int, int>> pixelsOf(const Points& points) {
    std::set<std::pair<int, int>> out;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        int x0 = points[i].x, y0 = points[i].y;
        const int x1 = points[i + 1].x, y1 = points[i + 1].y;
        const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
        int err = dx + dy;
        for (;;) {
            out.insert({x0, y0});
            if (x0 == x1 && y0 == y1) break;
            const int e2 = 2 * err;
            if (e2 >= dy) err += dy, x0 += sx;
            if (e2 <= dx) err += dx, y0 += sy;
        }
    }
    return out;
}

TEST_F(PlotDeviceTest, ADenseTraceSendsFewerPointsButTheSamePixels) {
    // 30000 noisy samples across 800 pixels: ~37 samples per column.
    std::vector<float> xs(30000), ys(30000);
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 40.0f);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        xs[i] = static_cast<float>(i) * 800.0f / 30000.0f;
        ys[i] = 250.0f + noise(gen) + (i % 5000 == 0 ? 200.0f : 0.0f);
    }
    Points all(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) all[i] = {plotDeviceX(d, xs[i]), plotDeviceY(d, ys[i])};

    plotPolyline(d, xs, ys, static_cast<int>(xs.size()));
    ASSERT_EQ(canvas.calls.size(), 1u);
    const Points& sent = canvas.calls[0].points;
    EXPECT_LE(sent.size(), 4u * 801u);
    EXPECT_EQ(sent.front(), all.front());
    EXPECT_EQ(sent.back(), all.back());
    EXPECT_EQ(pixelsOf(sent), pixelsOf(all));

    // A dashed pen or exclusive-or drawing would show the difference: every point is sent.
    canvas.clear();
    plotSetLineStyle(d, 1, 0, 0);
    plotPolyline(d, xs, ys, static_cast<int>(xs.size()));
    EXPECT_EQ(canvas.calls.back().points.size(), xs.size());
    plotSetLineStyle(d, 0, 0, 0);
    plotSetMix(d, PlotMix::Xor);
    plotPolyline(d, xs, ys, static_cast<int>(xs.size()));
    EXPECT_EQ(canvas.calls.back().points.size(), xs.size());
}

TEST_F(PlotDeviceTest, ClearAndZeroLines) {
    d.backgroundColor = 9;
    PlotColor told{};
    d.setWindowBackground = [&](PlotColor c) { told = c; };
    plotClear(d);
    ASSERT_EQ(canvas.calls.size(), 1u);
    EXPECT_EQ(canvas.calls[0].points, (Points{{0, 0}, {800, 500}}));
    EXPECT_EQ(canvas.calls[0].fillColor, plotPalette(9));
    EXPECT_EQ(told, plotPalette(9));

    canvas.clear();
    d.frameLeft = d.frameBottom = 0.1f;
    d.frameRight = d.frameTop = 0.9f;
    d.axisColor = 8;
    d.scaleX = 320.0f;  // world -1..1 over device 80..720 and 450..50
    d.offsetX = 400.0f;
    d.scaleY = -200.0f;
    d.offsetY = 250.0f;
    plotZeroLines(d, kPenDash);
    ASSERT_EQ(canvas.calls.size(), 2u);
    EXPECT_EQ(canvas.calls[0].points, (Points{{400, 50}, {400, 450}}));
    EXPECT_EQ(canvas.calls[1].points, (Points{{80, 250}, {720, 250}}));
    EXPECT_EQ(canvas.calls[1].penStyle, kPenDash);
    EXPECT_EQ(canvas.calls[1].penColor, plotPalette(8));
    // Zero on the frame's edge or outside it: no lines; solid lines again afterwards.
    d.offsetX = 80.0f;
    d.offsetY = 600.0f;
    plotZeroLines(d, kPenDash);
    plotSegmentDevice(d, 0, 0, 1, 1);
    ASSERT_EQ(canvas.calls.size(), 3u);
    EXPECT_EQ(canvas.calls[2].penStyle, kPenSolid);
}

void expectFrame(const PlotDevice& d, float left, float right, float top, float bottom) {
    EXPECT_NEAR(d.frameLeft, left, 1e-5f);
    EXPECT_NEAR(d.frameRight, right, 1e-5f);
    EXPECT_NEAR(d.frameTop, top, 1e-5f);
    EXPECT_NEAR(d.frameBottom, bottom, 1e-5f);
}

TEST(PlotDevice, LayoutCellOfTheGraphWindow) {
    PlotDevice d;
    plotLayoutCell(d, 1, 1, 5);  // 5 / 3 = 1 legend block more
    expectFrame(d, 0.15f, 0.98f, 0.93f, 0.18f);
    plotLayoutCell(d, 2, 2, 0);  // one row of two
    expectFrame(d, 0.65f, 0.98f, 0.93f, 0.14f);
    plotLayoutCell(d, 3, 3, 0);  // two columns (round of 1.73), two rows
    expectFrame(d, 0.15f, 0.48f, 0.43f, 0.14f);
    plotLayoutCell(d, 4, 5, 0);  // two columns, three rows
    expectFrame(d, 0.65f, 0.98f, 2.0f / 3.0f - 0.07f, 1.0f / 3.0f + 0.14f);
    plotLayoutCell(d, 9, 5, 0);  // beyond the count: the last cell
    expectFrame(d, 0.15f, 0.48f, 1.0f / 3.0f - 0.07f, 0.14f);
}

TEST(PlotDevice, GridCellOfTheXYPlot) {
    PlotDevice d;
    const float noLegend = (2.0f / 3.0f * 0.4f + 1.0f) * 0.04f;  // real division
    plotGridCell(d, 1, 1, 2);
    expectFrame(d, 0.15f, 0.98f, 0.96f, (4.0f / 3.0f * 0.4f + 1.0f) * 0.04f);
    plotGridCell(d, 2, 2, 0);
    expectFrame(d, 0.65f, 0.98f, 0.96f, noLegend);
    plotGridCell(d, 3, 3, 0);  // one row of three
    expectFrame(d, 2.0f / 3.0f + 0.15f, 0.98f, 0.96f, noLegend);
    plotGridCell(d, 4, 5, 0);  // two rows of 5 / 3 + 1 = 2 columns
    expectFrame(d, 0.65f, 0.98f, 0.46f, noLegend);
    plotGridCell(d, 5, 5, 0);  // wraps to cell 1
    expectFrame(d, 0.15f, 0.48f, 0.96f, 0.5f + noLegend);
}

}  // namespace
}  // namespace ephys
