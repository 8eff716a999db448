// The F/I figure built from the collected series and their fits, and the run's hook that shows it.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plot/recording_canvas.h"
#include "spike/fi_plots.h"
#include "spike_test_support.h"

namespace ephys {
namespace {

using namespace spike_test;

TEST(FiPlots, ThreeSubPlotsWithPointsFittedLinesAndTheirTexts) {
    FiSeriesSet set;
    set.series[0] = {{100, 10}, {200, 20}, {300, 30}};  // slope 0.1, intercept 0
    set.series[1] = {{80, 15}, {80, 25}};               // one stimulus: no line
    set.series[2] = {{50, 7}, {150, 12}};               // slope 0.05, intercept 4.5
    std::array<FiFit, kFiSeriesCount> fits;
    for (std::size_t k = 0; k < 3; ++k) fits[k] = fiFitLine(set.series[k]);

    FiPlot built = fiBuildPlots("/lab/cells/cell7.abf", set, fits);
    // The record's references survive a move of the plot.
    FiPlot plot = std::move(built);
    const GraphRecord& r = plot.record;

    EXPECT_EQ(r.title, "F/I plots for file /lab/cells/cell7.abf");
    EXPECT_EQ(r.plotCount, 3);
    EXPECT_EQ(r.height, 700);
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.y, 0);
    EXPECT_EQ(r.width, 0);
    EXPECT_EQ(r.drawEnabled, 1);
    EXPECT_TRUE(r.pageTitle.empty());

    ASSERT_EQ(r.seriesCount(), 3);
    const char* legends[] = {"first Intvl", "middle Intvl", "last Intvl"};
    for (std::size_t k = 0; k < 3; ++k) {
        const GraphSeries& s = r.series[k];
        SCOPED_TRACE(legends[k]);
        EXPECT_EQ(s.plotNumber, static_cast<int>(k) + 1);
        EXPECT_EQ(s.pointCount, static_cast<int>(set.series[k].size()));
        EXPECT_EQ(s.xLabel, "Stimulus current");
        EXPECT_EQ(s.yLabel, "Frequency (Hz)");
        EXPECT_EQ(s.legend, legends[k]);
        EXPECT_EQ(s.style, "M");
        EXPECT_GE(s.xAuto, 1);
        EXPECT_GE(s.yAuto, 1);
        for (std::size_t i = 0; i < set.series[k].size(); ++i) {
            EXPECT_FLOAT_EQ(s.xValues[i], static_cast<float>(set.series[k][i].stimulus));
            EXPECT_FLOAT_EQ(s.yValues[i], static_cast<float>(set.series[k][i].frequency));
        }
    }
    // The points at one stimulus are shown without a line (none at a slope of 1e15).
    ASSERT_EQ(r.fitCount(), 2);
    const GraphFitLine& first = r.fits[0];
    const GraphFitLine& last = r.fits[1];
    EXPECT_EQ(first.plotNumber, 1);
    EXPECT_EQ(first.legend, "f/I slope 0.10");
    EXPECT_EQ(first.style, "L");
    EXPECT_EQ(last.plotNumber, 3);
    EXPECT_EQ(last.legend, "f/I slope 0.05");
    // Fitted frequencies at each stimulus: slope x stimulus + intercept.
    ASSERT_EQ(first.yValues.size(), 3u);
    EXPECT_FLOAT_EQ(first.yValues[1], 20.0f);
    ASSERT_EQ(last.yValues.size(), 2u);
    EXPECT_FLOAT_EQ(last.yValues[0], 7.0f);
    EXPECT_FLOAT_EQ(last.yValues[1], 12.0f);
    // The references are the plot's own arrays.
    EXPECT_EQ(r.series[0].xValues.data(), plot.values[0].data());
    EXPECT_EQ(last.yValues.data(), plot.values[8].data());
}

// What a text or a legend sample covers on the recording canvas, which measures a text as 0.6 of
// its font height per character and one font height tall.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool meets(const Box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
};

Box boxOf(const PlotCall& c) {
    if (c.kind != PlotCall::Kind::Text) {
        Box b{c.points[0].x, c.points[0].y, c.points[0].x, c.points[0].y};
        for (const PlotIntPoint& p : c.points) {
            b = {std::min(b.left, p.x), std::min(b.top, p.y), std::max(b.right, p.x),
                 std::max(b.bottom, p.y)};
        }
        b.bottom += 1;  // a line is one pixel thick
        return b;
    }
    const int w = static_cast<int>(std::lround(0.6 * c.fontHeight * static_cast<double>(c.text.size())));
    const int h = static_cast<int>(std::lround(c.fontHeight));
    const PlotIntPoint at = c.points[0];
    const int left = c.hAlign == PlotHAlign::Left     ? at.x
                     : c.hAlign == PlotHAlign::Center ? at.x - w / 2
                                                      : at.x - w;
    const int top = c.vAlign == PlotVAlign::Top ? at.y : at.y - h;
    return {left, top, left + w, top + h};
}

// On a target lower than the figure's own 700 pixels, and on a printed page with its larger text,
// each sub-plot's legend stays clear of the x-axis title above it and on the target.
TEST(FiPlots, LegendsKeepClearOfTheAxisTitles) {
    FiSeriesSet set;
    set.series[0] = {{100, 10}, {200, 20}, {300, 30}};
    set.series[1] = {{100, 12}, {200, 22}, {300, 33}};
    set.series[2] = {{50, 7}, {150, 12}};
    std::array<FiFit, kFiSeriesCount> fits;
    for (std::size_t k = 0; k < 3; ++k) fits[k] = fiFitLine(set.series[k]);
    const FiPlot plot = fiBuildPlots("/lab/cell.abf", set, fits);

    struct Target {
        int width, height, printing;
    };
    for (const Target t : {Target{800, 700, 0}, Target{800, 500, 0}, Target{2480, 1754, 1}}) {
        SCOPED_TRACE(t.height);
        RecordingCanvas canvas;
        PlotDevice d;
        d.canvas = &canvas;
        d.printing = t.printing;
        plotSetDeviceSize(d, t.width, t.height);
        graphReplay(plot.record, d);

        std::vector<Box> titles, legend;
        for (std::size_t i = 0; i < canvas.calls.size(); ++i) {
            const PlotCall& c = canvas.calls[i];
            if (c.kind != PlotCall::Kind::Text) continue;
            if (c.text == "Stimulus current") titles.push_back(boxOf(c));
            if (c.text.ends_with(" Intvl") || c.text.starts_with("f/I slope")) {
                legend.push_back(boxOf(c));
                legend.push_back(boxOf(canvas.calls.at(i - 1)));  // its symbol or line sample
            }
        }
        ASSERT_EQ(titles.size(), 3u);
        ASSERT_EQ(legend.size(), 12u);
        for (const Box& title : titles) {
            for (const Box& entry : legend) {
                EXPECT_FALSE(title.meets(entry))
                    << "title " << title.left << "," << title.top << " .. " << title.right << ","
                    << title.bottom << "; legend " << entry.left << "," << entry.top << " .. " << entry.right
                    << "," << entry.bottom;
            }
        }
        for (const Box& entry : legend) EXPECT_LE(entry.bottom, t.height);
    }
}

SpikeSynthSpec fourSteps() {
    SpikeSynthSpec cell;
    cell.samplesPerSweep = 20000;
    cell.stepLength = 10000;
    cell.sweeps = 4;
    cell.channels = 1;
    cell.firstStepPa = 100;
    cell.stepIncrementPa = 50;
    cell.rheobasePa = 50;
    cell.gainHzPerPa = 0.5;
    cell.seed = 11;
    return cell;
}

// What the run handed to the figure hook (the arrays are freed once the hook returns).
struct HookRun {
    bool ok = false;
    int calls = 0;
    std::string title;
    int plotCount = 0;
    std::vector<int> pointCounts;
};

HookRun runWithHook(const std::string& path, char doFrequencies, char fiPlots) {
    SpikeParams p;
    p.stimulusEpoch = 'A';
    p.maxSpikeDuration = 3.0f;
    p.doFrequencies = doFrequencies;
    p.fiPlots = fiPlots;
    p.intervalToMeasure = 3;
    HookRun out;
    SpikeRunOptions options;
    options.console = [](std::string_view) {};
    options.showFiPlots = [&out](GraphRecord& record, const std::string&) {
        ++out.calls;
        out.title = record.title;
        out.plotCount = record.plotCount;
        for (const GraphSeries& s : record.series) {
            out.pointCounts.push_back(s.pointCount);
            // Frequencies of real intervals, alive while the figure is shown.
            for (int i = 0; i < s.pointCount; ++i) EXPECT_GT(s.yValues[static_cast<std::size_t>(i)], 0.0f);
        }
    };
    ProgressRecord progress;
    CapturedMessages messages;
    SpikeFileResult result;
    out.ok = spikeCountFile(p, path, progress, messages, result, options);
    return out;
}

TEST(FiPlots, TheRunShowsTheFigureOnlyWithFrequenciesAndPlotsBothOn) {
    TempDir dir;
    const std::string path = dir.file("steps.abf");
    writeSpikeRecording(path, fourSteps());

    const HookRun both = runWithHook(path, 'Y', 'Y');
    ASSERT_TRUE(both.ok);
    ASSERT_EQ(both.calls, 1);
    EXPECT_EQ(both.title, "F/I plots for file " + path);
    EXPECT_EQ(both.plotCount, 3);
    ASSERT_EQ(both.pointCounts.size(), 3u);
    EXPECT_EQ(both.pointCounts[0], 4);  // every sweep fires in the step
    EXPECT_EQ(both.pointCounts[2], 4);

    EXPECT_EQ(runWithHook(path, 'Y', 'N').calls, 0);
    EXPECT_EQ(runWithHook(path, 'N', 'Y').calls, 0);
}

}  // namespace
}  // namespace ephys
