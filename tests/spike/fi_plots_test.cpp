// The F/I figure built from the collected series and their fits, and the run's hook that shows it.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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
