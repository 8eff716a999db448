#include "psc/psc_figures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "plot/recording_canvas.h"
#include "psc/recording_frames.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

constexpr PlotColor kBarFill{204, 204, 255};
constexpr PlotColor kGrey{204, 204, 204};

std::string scratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "psc-figures-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<const PlotCall*> bars(const RecordingCanvas& canvas) {
    std::vector<const PlotCall*> out;
    for (const PlotCall& c : canvas.calls)
        if (c.kind == PlotCall::Kind::Polygon && c.brushColor == kBarFill && !c.brushHollow)
            out.push_back(&c);
    return out;
}

bool drewText(const RecordingCanvas& canvas, const std::string& part) {
    return std::any_of(canvas.calls.begin(), canvas.calls.end(), [&](const PlotCall& c) {
        return c.kind == PlotCall::Kind::Text && c.text.find(part) != std::string::npos;
    });
}

TEST(PscHistogram, BinsSpanTheValuesAndCountEveryOne) {
    const std::vector<float> values{1, 2, 2, 3, 3, 3, 4, 4, 4, 4};
    const PscHistogram h = pscHistogram(values);
    ASSERT_EQ(h.counts.size(), 4u);  // ceil(sqrt(10))
    EXPECT_FLOAT_EQ(h.low, 1.0f);
    EXPECT_FLOAT_EQ(h.high(), 4.0f);
    EXPECT_EQ(h.counts, (std::vector<int>{1, 2, 3, 4}));  // the largest value in the last bin

    // Values that are no numbers are left out; all equal values make one bin around them.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const PscHistogram same = pscHistogram(std::vector<float>{-7.0f, nan, -7.0f});
    ASSERT_EQ(same.counts, std::vector<int>{2});
    EXPECT_LT(same.low, -7.0f);
    EXPECT_GT(same.high(), -7.0f);
    EXPECT_TRUE(pscHistogram(std::vector<float>{nan}).counts.empty());
    EXPECT_TRUE(pscHistogram({}).counts.empty());

    // Many values: the bin count stops at its limit and the counts still add up.
    std::vector<float> many;
    for (int i = 0; i < 10000; ++i) many.push_back(std::sin(static_cast<float>(i)));
    const PscHistogram wide = pscHistogram(many);
    EXPECT_EQ(static_cast<int>(wide.counts.size()), kPscHistogramBins);
    int total = 0;
    for (int c : wide.counts) total += c;
    EXPECT_EQ(total, 10000);
}

TEST(PscEventsFigure, ValuesComeFromTheStoredEvents) {
    PscEventTable table;
    const float times[] = {1000.0f, 1500.0f, 3000.0f};
    const float rises[] = {0.5f, -1.0f, 0.7f};
    const float amplitudes[] = {-20.0f, -35.0f, -12.5f};
    for (std::size_t i = 0; i < 3; ++i) {
        table.at(kEventTime, i + 1) = times[i];
        table.at(kRiseTime, i + 1) = rises[i];
        table.at(kAmplitude, i + 1) = amplitudes[i];
    }
    table.setCount(3);
    PscParameters p;
    p.channelTitle = "IN 0 (pA)";
    const PscEventsFigure f = pscEventsFigureValues("cell.abf", table, p);
    EXPECT_EQ(f.eventCount, 3);
    EXPECT_EQ(f.currentTitle, "IN 0 (pA)");
    EXPECT_EQ(f.times, (std::vector<float>{1.0f, 1.5f, 3.0f}));
    EXPECT_EQ(f.amplitudes, (std::vector<float>{-20.0f, -35.0f, -12.5f}));
    EXPECT_EQ(f.riseTimes, (std::vector<float>{0.5f, 0.7f}));  // -1: not measured
    EXPECT_EQ(f.intervals, (std::vector<float>{0.5f, 1.5f}));
}

TEST(PscEventsFigure, DrawingFollowsTheEvents) {
    PscEventsFigure f;
    f.recordingName = "data/cell 7.abf";
    f.currentTitle = "IN 0 (pA)";
    f.eventCount = 10;
    f.amplitudes = {1, 2, 2, 3, 3, 3, 4, 4, 4, 4};
    f.times = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f};
    f.traceTimes = {-1.0f, 0.0f, 1.0f, 2.0f};
    f.average = {0.0f, -5.0f, -3.0f, -1.0f};
    f.averaged = 10;
    f.traces = {{0.0f, -6.0f, -4.0f, -1.0f}, {0.0f, -4.0f, -2.0f, -1.0f}};

    RecordingCanvas canvas;
    PlotDevice d = pscFigureDevice(canvas, kPscFigureWidth, kPscFigureHeight);
    pscDrawEventsFigure(d, f);

    // The amplitude histogram is the only one with values: one bar per bin, their heights in
    // the proportion of the counts 1 : 2 : 3 : 4, left to right.
    const std::vector<const PlotCall*> drawn = bars(canvas);
    ASSERT_EQ(drawn.size(), 4u);
    std::vector<int> heights, lefts;
    for (const PlotCall* c : drawn) {
        int top = c->points[0].y, bottom = c->points[0].y, left = c->points[0].x;
        for (const PlotIntPoint& q : c->points) {
            top = std::min(top, q.y);
            bottom = std::max(bottom, q.y);
            left = std::min(left, q.x);
        }
        heights.push_back(bottom - top);
        lefts.push_back(left);
    }
    EXPECT_TRUE(std::is_sorted(lefts.begin(), lefts.end()));
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(heights[i], heights[0] * static_cast<int>(i + 1), 2) << "bar " << i;

    // The two grey traces behind the average, the titles of the outputs, the recording named.
    const auto grey = std::count_if(canvas.calls.begin(), canvas.calls.end(), [](const PlotCall& c) {
        return c.kind == PlotCall::Kind::Polyline && c.penColor == kGrey;
    });
    EXPECT_EQ(grey, 2);
    EXPECT_TRUE(drewText(canvas, "data/cell 7.abf: 10 events"));
    for (const char* title : {"amplitude (pA)", "10-90 rise time (ms)", "interval (sec)", "times (sec)",
                              "IN 0 (pA)", "black: average of 10 events"})
        EXPECT_TRUE(drewText(canvas, title)) << title;
    // Rise times and intervals have no values here.
    const auto empty = std::count_if(canvas.calls.begin(), canvas.calls.end(), [](const PlotCall& c) {
        return c.kind == PlotCall::Kind::Text && c.text == "no events";
    });
    EXPECT_EQ(empty, 2);

    // The SVG document of the same figure names the recording with its markup escaped.
    f.recordingName = "a<b>&c.abf";
    const std::string svg = pscEventsFigureSvg(f);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("a&lt;b&gt;&amp;c.abf: 10 events"), std::string::npos);
    EXPECT_EQ(svg.find("<b>"), std::string::npos);
}

// A recording of square currents of known size on a holding current: the average event is the
// square, whatever the holding current, and the grey traces are the events' own.
TEST(PscEventsFigure, TracesAreReadAroundEachEventAndAveraged) {
    const std::string dir = scratchFolder();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/squares.abf";
    const std::int64_t total = 20000;
    const std::vector<std::int64_t> onsets{20, 3000, 9000, 19950};
    const float pulse = -50.0f, holding = -80.0f;
    std::vector<std::int16_t> raw(static_cast<std::size_t>(total));
    for (std::int64_t i = 0; i < total; ++i) {
        float value = holding;
        for (std::int64_t onset : onsets)
            if (i >= onset && i < onset + 200) value += pulse;
        raw[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(std::lround((value - 10.0f) / 0.1f));
    }
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.sampleIntervalUs = 50;
    layout.totalSamples = total;
    layout.channels = {{0, "Im", "pA", 0.1, 10.0}};
    ASSERT_TRUE(writeAbfFile(path, layout, {raw}));

    PscParameters p;
    p.frameLengthSetting = 2048;
    p.filterHz = 0.0f;
    CapturedMessages messages;
    ASSERT_TRUE(GetInfo(p, path, messages));
    AbfHeader header;
    {
        AbfFile file;
        int pieces = p.frameLengthSetting;
        ASSERT_TRUE(file.open(path, header, pieces));
    }
    ASSERT_EQ(pscSetupChannel(header, p), 0);

    // The three events away from the recording's end; the first one has the recording's first
    // sample before it.
    PscEventTable table;
    for (std::size_t i = 0; i < 3; ++i) table.at(kSampleTime, i + 1) = static_cast<float>(onsets[i]) * 0.05f;
    table.setCount(3);
    PscEventsFigure f = pscEventsFigureValues(path, table, p);
    std::string error;
    ASSERT_TRUE(pscEventsFigureTraces(f, path, table, p, error)) << error;
    const std::size_t length = 4 * 256, before = length / 10;
    ASSERT_EQ(f.average.size(), length);
    ASSERT_EQ(f.traceTimes.size(), length);
    EXPECT_FLOAT_EQ(f.traceTimes[before], 0.0f);
    EXPECT_FLOAT_EQ(f.traceTimes[before + 20], 1.0f);
    EXPECT_EQ(f.averaged, 3);
    EXPECT_EQ(f.traces.size(), 3u);
    EXPECT_NEAR(f.average[before - 5], 0.0f, 0.05f);
    EXPECT_NEAR(f.average[before], pulse, 0.05f);
    EXPECT_NEAR(f.average[before + 199], pulse, 0.05f);
    EXPECT_NEAR(f.average[before + 200], 0.0f, 0.05f);
    for (const std::vector<float>& t : f.traces) EXPECT_NEAR(t[before + 100], pulse, 0.05f);

    // Filtered as the frames are: the edges are smoothed, the plateau keeps its level (less the
    // little of the smoothed onset that falls into the part before it).
    p.filterHz = 500.0f;
    ASSERT_TRUE(pscEventsFigureTraces(f, path, table, p, error)) << error;
    EXPECT_GT(f.average[before], pulse * 0.9f);
    EXPECT_LT(f.average[before], pulse * 0.1f);
    EXPECT_NEAR(f.average[before + 100], pulse, 1.5f);

    // An event at the recording's end: the positions after it take its last sample.
    table.at(kSampleTime, 1) = static_cast<float>(onsets[3]) * 0.05f;
    table.setCount(1);
    p.filterHz = 0.0f;
    ASSERT_TRUE(pscEventsFigureTraces(f, path, table, p, error)) << error;
    EXPECT_NEAR(f.average.back(), pulse, 0.05f);

    // A recording that has gone: the reason names it.
    EXPECT_FALSE(pscEventsFigureTraces(f, dir + "/gone.abf", table, p, error));
    EXPECT_NE(error.find("gone.abf"), std::string::npos) << error;
    fs::remove_all(dir);
}

TEST(PscEventsFigure, FilesAreNamedAfterTheRecordingAndWrittenAsOutputsOfTheRun) {
    EXPECT_EQ(pscFigurePath("data/cell.abf", "", ".svg"), "data/cell_events.svg");
    EXPECT_EQ(pscFigurePath("data/cell.abf", "out", ".png"), "out/cell_events.png");
    EXPECT_EQ(pscFigurePath("cell", "", ".svg"), "cell_events.svg");

    const std::string dir = scratchFolder();
    ASSERT_FALSE(dir.empty());
    CapturedMessages messages;
    RunOutputs outputs;
    outputs.startRecording(dir + "/a.abf");
    const std::string figure = dir + "/a_events.svg";
    ASSERT_TRUE(pscWriteFigureFile(figure, "<svg/>", 'Y', messages, outputs));
    EXPECT_FALSE(fs::exists(figure));  // put in place with the recording's other outputs
    ASSERT_TRUE(outputs.publishRecording());
    EXPECT_EQ(readFile(figure), "<svg/>");

    // A later recording of the run that would write the same name fails and leaves the file.
    outputs.startRecording(dir + "/other/a.abf");
    EXPECT_FALSE(pscWriteFigureFile(figure, "<svg>later</svg>", 'Y', messages, outputs));
    EXPECT_TRUE(outputs.recordingFailed());
    outputs.publishRecording();
    EXPECT_EQ(readFile(figure), "<svg/>");

    // A folder that is not there: the figure is named in the message and the recording fails.
    messages.clear();
    outputs.startRecording(dir + "/b.abf");
    EXPECT_FALSE(pscWriteFigureFile(dir + "/missing/b_events.png", "png", 'Y', messages, outputs));
    EXPECT_TRUE(outputs.recordingFailed());
    ASSERT_FALSE(messages.entries().empty());
    EXPECT_NE(messages.entries().back().text.find("Couldn't write the figure file: " + dir +
                                                  "/missing/b_events.png"),
              std::string::npos);

    // Without "Over write output files" = Y an existing figure is kept when the question is
    // answered no.
    outputs.startRecording(dir + "/c.abf");
    std::ofstream(dir + "/c_events.svg") << "older";
    messages.saveAnswer = false;
    EXPECT_FALSE(pscWriteFigureFile(dir + "/c_events.svg", "newer", 'N', messages, outputs));
    outputs.publishRecording();
    EXPECT_EQ(readFile(dir + "/c_events.svg"), "older");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace ephys
