// The graph record: the tab-separated plot file, and the replay of a record through the plotting
// library onto a recording canvas (limits, clearing, fitted lines).
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plot/graph_record.h"
#include "plot/plot_axes.h"
#include "plot/recording_canvas.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

// Two sub-plots: a 3-point series with one fitted line, and a 5-point series.
struct TwoPlots {
    std::vector<float> x1{1, 2, 3}, y1{10, 20, 30}, fit1{11, 21, 31};
    std::vector<float> x2{0.5f, 1.5f, 2.5f, 3.5f, 4.5f}, y2{1e-4f, 12345, -2, 0, 7};
    GraphRecord record;

    TwoPlots() {
        graphCreate(record, "window", 2, nullptr);
        record.pageTitle = "Cell 7";
        graphAddSeries(record, 1, 3, x1, "Stim", y1, "Freq", "a", "M", "", "", 0, 0, 0, 0, 1, 1);
        graphAddFitLine(record, 1, fit1, "fit", "L");
        graphAddSeries(record, 2, 5, x2, "T", y2, "V", "b", "M", "", "", 0, 0, 0, 0, 1, 1);
    }
};

TEST(GraphPlotFile, TwoSubPlotsOfThreeAndFivePointsGiveFiveRows) {
    TwoPlots plots;
    const std::string expected =
        "Cell 7\n"
        "Stim\tFreq-a\tFreq-fit\tT\tV-b\n"
        "1\t10\t11\t0.5\t0.0001\n"
        "2\t20\t21\t1.5\t1.23e+04\n"
        "3\t30\t31\t2.5\t-2\n"
        "\t\t\t3.5\t0\n"
        "\t\t\t4.5\t7\n";
    EXPECT_EQ(graphPlotFileText(plots.record), expected);
    EXPECT_EQ(graphDefaultPlotFileName(plots.record), "Cell 7.TXT");
}

TEST(GraphPlotFile, FittedColumnsFollowTheFirstSeriesOfTheirSubPlot) {
    // Two series in one sub-plot: the fitted values stand after the first one and have values
    // only where the first series has points.
    const std::vector<float> xa{1, 2}, ya{3, 4}, xb{5, 6, 7}, yb{8, 9, 10}, f{0.5f, 0.25f, 0.125f};
    GraphRecord r;
    graphCreate(r, "t", 1, nullptr);
    graphAddSeries(r, 1, 2, xa, "x", ya, "y", "A", "M", "", "", 0, 0, 0, 0, 1, 1);
    graphAddSeries(r, 1, 3, xb, "x", yb, "y", "B", "M", "", "", 0, 0, 0, 0, 1, 1);
    graphAddFitLine(r, 1, f, "F", "L");
    EXPECT_EQ(graphPlotFileText(r),
              "x\ty-A\ty-F\tx\ty-B\n"
              "1\t3\t0.5\t5\t8\n"
              "2\t4\t0.25\t6\t9\n"
              "\t\t\t7\t10\n");
    EXPECT_EQ(graphDefaultPlotFileName(r), "plotfile.TXT");
}

TEST(GraphPlotFile, WrittenWholeOrRefused) {
    std::string pattern = (fs::temp_directory_path() / "graph-record.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    TwoPlots plots;
    const std::string path = (dir / "out.txt").string();
    ASSERT_TRUE(graphWritePlotFile(plots.record, path));
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), graphPlotFileText(plots.record));
    // Nothing but the file itself is left in the folder (no temporary file).
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_FALSE(graphWritePlotFile(plots.record, (dir / "missing" / "out.txt").string()));
    fs::remove_all(dir);
}

// A device of 800 x 500 pixels drawing on a recording canvas.
struct Target {
    RecordingCanvas canvas;
    PlotDevice device;
    Target() {
        device.canvas = &canvas;
        plotSetDeviceSize(device, 800, 500);
    }
};

TEST(GraphReplay, FixedLimitsAreUsedUnchangedWhateverTheData) {
    // Points far outside the fixed limits must not widen the axes.
    const std::vector<float> x{-100, 50, 400}, y{-1000, 3, 900};
    GraphRecord r;
    graphCreate(r, "t", 1, nullptr);
    graphAddSeries(r, 1, 3, x, "x", y, "y", "", "M", "", "", 0.0f, 10.0f, -5.0f, 5.0f, 0, 0);
    Target t;
    graphReplay(r, t.device);
    const PlotDevice& d = t.device;
    EXPECT_NEAR(plotDeviceX(d, 0.0f), d.frameLeft * 800.0f, 1.0);
    EXPECT_NEAR(plotDeviceX(d, 10.0f), d.frameRight * 800.0f, 1.0);
    EXPECT_NEAR(plotDeviceY(d, -5.0f), (1.0f - d.frameBottom) * 500.0f, 1.0);
    EXPECT_NEAR(plotDeviceY(d, 5.0f), (1.0f - d.frameTop) * 500.0f, 1.0);
}

TEST(GraphReplay, OneAutoscaledPointGivesTheDegenerateAxisOfEqualLimits) {
    const std::vector<float> x{3.0f}, y{7.0f};
    GraphRecord r;
    graphCreate(r, "t", 1, nullptr);
    graphAddSeries(r, 1, 1, x, "x", y, "y", "", "M", "", "", 0, 0, 0, 0, 1, 1);
    Target t;
    graphReplay(r, t.device);

    // The same axes drawn directly from min = max.
    Target ref;
    plotLayoutCell(ref.device, 1, 1, 1);
    plotAxis(ref.device, 3.0f, 3.0f, 'X', 'N', "x");
    plotAxis(ref.device, 7.0f, 7.0f, 'Y', 'N', "y");
    EXPECT_FLOAT_EQ(t.device.scaleX, ref.device.scaleX);
    EXPECT_FLOAT_EQ(t.device.offsetX, ref.device.offsetX);
    EXPECT_FLOAT_EQ(t.device.scaleY, ref.device.scaleY);
    EXPECT_FLOAT_EQ(t.device.offsetY, ref.device.offsetY);
    // And the point lies inside the frame.
    const int px = plotDeviceX(t.device, 3.0f), py = plotDeviceY(t.device, 7.0f);
    EXPECT_GT(px, t.device.frameLeft * 800.0f);
    EXPECT_LT(px, t.device.frameRight * 800.0f);
    EXPECT_GT(py, (1.0f - t.device.frameTop) * 500.0f);
    EXPECT_LT(py, (1.0f - t.device.frameBottom) * 500.0f);
}

TEST(GraphReplay, ASubPlotWithoutPointsGetsTheUnitAxes) {
    // An F/I series that no sweep qualified for: its axes run from -1 to 1, not over 1e30.
    const std::vector<float> none;
    GraphRecord r;
    graphCreate(r, "t", 1, nullptr);
    graphAddSeries(r, 1, 0, none, "x", none, "y", "", "M", "", "", 0, 0, 0, 0, 1, 1);
    Target t;
    graphReplay(r, t.device);
    const PlotDevice& d = t.device;
    EXPECT_NEAR(plotDeviceX(d, -1.0f), d.frameLeft * 800.0f, 1.0);
    EXPECT_NEAR(plotDeviceX(d, 1.0f), d.frameRight * 800.0f, 1.0);
    EXPECT_NEAR(plotDeviceY(d, -1.0f), (1.0f - d.frameBottom) * 500.0f, 1.0);
    EXPECT_NEAR(plotDeviceY(d, 1.0f), (1.0f - d.frameTop) * 500.0f, 1.0);
}

TEST(GraphReplay, ClearsFirstAndDrawsNothingMoreWhenDrawingIsDisabled) {
    // What clearing alone draws.
    Target clearOnly;
    plotClear(clearOnly.device);
    ASSERT_FALSE(clearOnly.canvas.calls.empty());

    TwoPlots plots;
    Target on;
    graphReplay(plots.record, on.device);
    ASSERT_GT(on.canvas.calls.size(), clearOnly.canvas.calls.size());
    for (std::size_t i = 0; i < clearOnly.canvas.calls.size(); ++i) {
        EXPECT_EQ(on.canvas.calls[i].kind, clearOnly.canvas.calls[i].kind);
        EXPECT_EQ(on.canvas.calls[i].points, clearOnly.canvas.calls[i].points);
    }
    // The page title: centred at the top, its top edge at y = 1, in black.
    const PlotCall& title = on.canvas.calls.back();
    EXPECT_EQ(title.kind, PlotCall::Kind::Text);
    EXPECT_EQ(title.text, "Cell 7");
    EXPECT_EQ(title.points.at(0), (PlotIntPoint{400, 1}));
    EXPECT_EQ(title.hAlign, PlotHAlign::Center);
    EXPECT_EQ(title.vAlign, PlotVAlign::Top);
    EXPECT_EQ(title.textColor, plotPalette(0));

    plots.record.drawEnabled = 0;
    Target off;
    graphReplay(plots.record, off.device);
    ASSERT_EQ(off.canvas.calls.size(), clearOnly.canvas.calls.size());
    for (std::size_t i = 0; i < off.canvas.calls.size(); ++i) {
        EXPECT_EQ(off.canvas.calls[i].kind, clearOnly.canvas.calls[i].kind);
        EXPECT_EQ(off.canvas.calls[i].points, clearOnly.canvas.calls[i].points);
    }
}

TEST(GraphReplay, FittedLinesRunOverTheLastSeriesOfTheirSubPlot) {
    // Series A (place 0) and B (place 1) as symbols, the fitted line (place 2) as a line in
    // colour 3, drawn at B's x values.
    const std::vector<float> xa{0, 1, 2}, ya{2, 3, 2}, xb{10, 20, 30, 40}, yb{1, 2.5f, 2.5f, 4};
    const std::vector<float> fit{1, 2, 3, 4};
    GraphRecord r;
    graphCreate(r, "t", 1, nullptr);
    graphAddSeries(r, 1, 3, xa, "x", ya, "y", "A", "M", "", "", 0, 0, 0, 0, 1, 1);
    graphAddSeries(r, 1, 4, xb, "x", yb, "y", "B", "M", "", "", 0, 0, 0, 0, 1, 1);
    graphAddFitLine(r, 1, fit, "fit", "L");
    Target t;
    graphReplay(r, t.device);
    const PlotDevice& d = t.device;

    std::set<std::pair<int, int>> expected;
    for (std::size_t i = 0; i < xb.size(); ++i)
        expected.insert({plotDeviceX(d, xb[i]), plotDeviceY(d, fit[i])});

    // Line ends in the fitted line's colour inside the frame (the legend sample lies below it).
    const float frameTopPx = (1.0f - d.frameTop) * 500.0f, frameBottomPx = (1.0f - d.frameBottom) * 500.0f;
    std::set<std::pair<int, int>> drawn;
    for (const PlotCall& c : t.canvas.calls) {
        if ((c.kind != PlotCall::Kind::Line && c.kind != PlotCall::Kind::Polyline) ||
            c.penColor != plotPalette(3))
            continue;
        for (const PlotIntPoint& p : c.points)
            if (p.y >= frameTopPx && p.y <= frameBottomPx) drawn.insert({p.x, p.y});
    }
    EXPECT_EQ(drawn, expected);
    // The two data series drew their symbols in colours 1 and 2.
    int symbols1 = 0, symbols2 = 0;
    for (const PlotCall& c : t.canvas.calls) {
        if (c.kind == PlotCall::Kind::Line || c.kind == PlotCall::Kind::Polyline ||
            c.kind == PlotCall::Kind::Text || c.kind == PlotCall::Kind::FillRect)
            continue;
        if (c.penColor == plotPalette(1)) ++symbols1;
        if (c.penColor == plotPalette(2)) ++symbols2;
    }
    EXPECT_GE(symbols1, 3);
    EXPECT_GE(symbols2, 4);
}

TEST(GraphReplay, AFittedLineWithoutASeriesInItsSubPlotIsLeftOut) {
    const std::vector<float> x{1, 2}, y{1, 2}, fit{5, 6};
    GraphRecord r;
    graphCreate(r, "t", 2, nullptr);
    graphAddSeries(r, 1, 2, x, "x", y, "y", "A", "M", "", "", 0, 0, 0, 0, 1, 1);
    graphAddFitLine(r, 2, fit, "lonely", "L");
    Target t;
    graphReplay(r, t.device);
    for (const PlotCall& c : t.canvas.calls) EXPECT_NE(c.text, "lonely");
}

}  // namespace
}  // namespace ephys
