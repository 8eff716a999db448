#include "psc/live_display.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "params/messages.h"
#include "params/progress.h"
#include "plot/recording_canvas.h"
#include "psc/event_detection.h"

namespace ephys {
namespace {

using Kind = PlotCall::Kind;

// A window of 1000 x 800 pixels: after pscDisplayStart the plot frame spans heights 0.14 .. 0.93
// (pixels 56 .. 688), split into two bands of 0.395 with a panel of 0.33 at the bottom of each:
// the current's from pixel 108 to 372, the dI/dt's from 424 to 688.
constexpr int kFrameTop = 56;
constexpr int kUpperTop = 108;
constexpr int kUpperBottom = 372;
constexpr int kLowerTop = 424;
constexpr int kLowerBottom = 688;

// A triangular PSC from `start`: up 12.5 pA per sample to 100 pA, down 2.5 pA per sample.
float triangle(int i, int start) {
    const int k = i - start;
    if (k <= 0 || k >= 48) return 0.0f;
    return k <= 8 ? 12.5f * k : 100.0f - 2.5f * (k - 8);
}

// A display on a recording canvas and a frame of 0.125 ms samples with the detector's counts
// N_trig 3, N_diff 2, N_avg 1 and a trigger level of 40 pA/ms.
struct Screen {
    RecordingCanvas canvas;
    PlotDevice d;
    PscParameters p;
    PscFrameBuffers b;
    PscEventTable table;
    ProgressRecord progress;
    CapturedMessages messages;
    PscLiveDisplay live{d, p};

    explicit Screen(int length = 400) {
        d.canvas = &canvas;
        plotSetDeviceSize(d, 1000, 800);
        p.sampleInterval = 0.125f;
        p.frameLength = length;
        b.resize(length, 0.125);
        p.channelTitle = "Im (pA)";
        p.derivativeTitle = "Im (pA/ms)";
        p.maxValues[kCurrentTrace] = 200.0f;
        p.minValues[kCurrentTrace] = -100.0f;
        p.maxValues[kDidtTrace] = 150.0f;
        p.minValues[kDidtTrace] = -150.0f;
        p.axes = 'Y';
        p.diffTrigger = 40.0f;
        p.durationOfTrigger = 0.375f;
        p.diffWindow = 0.125f;
        p.type3Baseline = 1.25f;
        p.type12Baseline = 2.5f;
        p.averagePeakTime = 0.125f;
        p.peakSearchTime = 2.5f;
        p.deadTimeType1 = 0.125f;
        p.individualEvents = 'N';
        p.timeMapLength = 100000;
    }
    void fill(const std::function<float(int)>& signal) {
        for (int k = b.firstIndex(); k < b.endIndex(); ++k) b.current(k) = signal(k);
        for (int k = b.firstIndex() + 1; k < b.endIndex(); ++k)
            b.didt(k) = (b.current(k) - b.current(k - 1)) / 0.125f;
    }
    void draw() {
        pscDisplayStart(d, p);
        canvas.clear();
        live.drawFrame(b, p, true);
    }
    void detect() { pscDetectFrame(p, table, b, 1, &live, progress, messages); }

    std::vector<PlotCall> calls(Kind kind) const {
        std::vector<PlotCall> out;
        for (const PlotCall& c : canvas.calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
    int x(int frameIndex) const { return plotDeviceX(d, static_cast<float>(frameIndex * 0.125)); }
    int y(std::size_t trace, float v) const {
        return plotRound(v * p.traceScaleY[trace] + p.traceOffsetY[trace]);
    }
    bool hasLine(int x1, int y1, int x2, int y2, PlotColor color) const {
        for (const PlotCall& c : canvas.calls) {
            if (c.kind != Kind::Line || !(c.penColor == color)) continue;
            const PlotIntPoint a{x1, y1}, e{x2, y2};
            if ((c.points[0] == a && c.points[1] == e) || (c.points[0] == e && c.points[1] == a)) return true;
        }
        return false;
    }
};

TEST(PscDrawFrame, PanelsAndSavedTransforms) {
    Screen s;
    s.fill([](int i) { return triangle(i, 100); });
    s.p.calibrationPosition = 0;
    s.p.zeroLines = 'N';
    s.draw();
    // The display limits end inside their own panels: current above, dI/dt below.
    EXPECT_GE(s.y(kCurrentTrace, 200.0f), kUpperTop - 1);
    EXPECT_LE(s.y(kCurrentTrace, -100.0f), kUpperBottom + 1);
    EXPECT_GE(s.y(kDidtTrace, 150.0f), kLowerTop - 1);
    EXPECT_LE(s.y(kDidtTrace, -150.0f), kLowerBottom + 1);
    const auto traces = s.calls(Kind::Polyline);
    ASSERT_EQ(traces.size(), 2u);  // dI/dt first, then the current, one point per frame sample
    ASSERT_EQ(traces[1].points.size(), 400u);
    EXPECT_EQ(traces[1].points[108], (PlotIntPoint{s.x(108), s.y(kCurrentTrace, 100.0f)}));
    EXPECT_EQ(traces[0].points[101], (PlotIntPoint{s.x(101), s.y(kDidtTrace, 100.0f)}));
    EXPECT_EQ(s.d.frameTop, 0.93f);  // the device's frame is given back
    EXPECT_EQ(s.d.frameBottom, 0.14f);
    // Tick labels and titles of both panels in the same 9.8-point text.
    const auto texts = s.calls(Kind::Text);
    EXPECT_FALSE(texts.empty());
    for (const PlotCall& t : texts) EXPECT_NEAR(t.fontHeight, 9.8, 1e-3) << t.text;

    // Without axes nothing is written, but the transforms are the same.
    Screen n;
    n.fill([](int i) { return triangle(i, 100); });
    n.p.calibrationPosition = 0;
    n.p.zeroLines = 'N';
    n.p.axes = 'N';
    n.draw();
    EXPECT_TRUE(n.calls(Kind::Text).empty());
    EXPECT_EQ(n.calls(Kind::Polyline).size(), 2u);
    EXPECT_EQ(n.p.traceScaleY, s.p.traceScaleY);
    EXPECT_EQ(n.p.traceOffsetY, s.p.traceOffsetY);
    EXPECT_EQ(n.d.scaleX, s.d.scaleX);
}

// The bar's polyline runs (x0, y0) -> (x1, y0) -> (x1, y0 + yLength): for a frame of 0 .. 49 ms
// and limits of 300 pA and 300 pA/ms, 10 ms by 60 pA (60 pA/ms on the dI/dt panel).
struct Bar {
    PlotIntPoint start, corner, end;
};

// Draws the frame with the bar at `position`; the bars of the dI/dt and the current panel.
std::vector<Bar> drawBars(Screen& s, int position) {
    s.p.calibrationPosition = position;
    s.draw();
    std::vector<Bar> out;
    for (const PlotCall& c : s.calls(Kind::Polyline))
        if (c.points.size() == 3) out.push_back({c.points[0], c.points[1], c.points[2]});
    int ms = 0, pa = 0, paMs = 0;
    for (const PlotCall& t : s.calls(Kind::Text)) {
        ms += t.text == "10 ms" && t.fontAngle == 0;
        pa += t.text == "60 pA" && t.fontAngle == 900;
        paMs += t.text == "60 pA/ms" && t.fontAngle == 900;
    }
    EXPECT_EQ(ms, 2);
    EXPECT_EQ(pa, 1);
    EXPECT_EQ(paMs, 1);
    return out;
}

TEST(PscDrawFrame, CalibrationBarPositions) {
    Screen s1, s4, s5;
    const std::vector<Bar> one = drawBars(s1, 1);
    const std::vector<Bar> four = drawBars(s4, 4);
    const std::vector<Bar> five = drawBars(s5, 5);
    ASSERT_EQ(one.size(), 2u);
    ASSERT_EQ(four.size(), 2u);
    ASSERT_EQ(five.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const Bar& bar = one[i];
        EXPECT_EQ(bar.start.y, bar.corner.y);
        EXPECT_EQ(bar.corner.x, bar.end.x);
        EXPECT_EQ(bar.start.x, s1.x(0));    // the left column starts at the frame's start
        EXPECT_EQ(bar.corner.x, s1.x(80));  // 10 ms later
        const std::size_t trace = i == 0 ? kDidtTrace : kCurrentTrace;
        EXPECT_NEAR(bar.corner.y - bar.end.y, -60.0f * s1.p.traceScaleY[trace], 1.0f);
        // The top row ends at the panel's top.
        EXPECT_NEAR(bar.end.y, i == 0 ? kLowerTop : kUpperTop, 2);

        EXPECT_EQ(four[i].start.x, s4.x(288));  // 0 + 3/4 of 49 ms, whole ms: 36 ms
        EXPECT_EQ(four[i].start.y, bar.start.y);
        EXPECT_EQ(five[i].start.x, bar.start.x);
        // One row lower: a fifth of 0.95 of the panel height (264 pixels).
        EXPECT_NEAR(five[i].start.y - bar.start.y, 0.95 * 264 / 5, 2.0);
    }

    Screen none;
    none.p.calibrationPosition = 0;
    none.draw();
    for (const PlotCall& c : none.calls(Kind::Polyline)) EXPECT_EQ(c.points.size(), 400u);
}

TEST(PscLiveDisplay, SweepDisplayOffDrawsNothing) {
    Screen s;
    s.p.enableSweepDisplay = 'N';
    s.fill([](int i) { return triangle(i, 100) + triangle(i, 300); });
    s.draw();
    for (const PlotCall& c : s.canvas.calls) EXPECT_EQ(c.kind, Kind::FillRect);  // only the clear
    s.canvas.clear();
    s.live.drawFrame(s.b, s.p, false);
    s.detect();
    EXPECT_EQ(s.table.count(), 2);
    EXPECT_TRUE(s.canvas.calls.empty());
}

// Triangles at 10 (type 1), 150 and 170 (types 2 and 3) and 300 (type 1) in a frame of 400.
TEST(PscLiveDisplay, EventMarksAndLabels) {
    Screen s;
    s.fill([](int i) { return triangle(i, 10) + triangle(i, 150) + triangle(i, 170) + triangle(i, 300); });
    s.draw();
    s.canvas.clear();
    s.detect();
    ASSERT_EQ(s.table.count(), 4);
    ASSERT_EQ(std::string(&s.table.eventType[1], 4), "1231");
    const int onsets[] = {10, 150, 171, 300};  // the third starts on a falling slope
    const int types[] = {1, 2, 3, 1};
    for (int e = 0; e < 4; ++e) {
        SCOPED_TRACE(e);
        const PlotColor color = plotPalette(types[e] + 1);
        const int x = s.x(onsets[e]);
        EXPECT_TRUE(s.hasLine(x, kFrameTop, x, kLowerBottom, color));  // over the whole plot frame
    }
    // The trigger level across the dI/dt panel.
    const int level = s.y(kDidtTrace, 40.0f);
    EXPECT_GT(level, kLowerTop);
    EXPECT_LT(level, kLowerBottom);
    EXPECT_TRUE(s.hasLine(130, level, 980, level, plotPalette(8)));
    // First event: baseline from 0 (its window starts before the frame) to the onset, peak over
    // the averaging window, dashed peak line from B to P.
    const PlotColor red = plotPalette(2);
    const int base = s.y(kCurrentTrace, 0.0f);
    EXPECT_TRUE(s.hasLine(s.x(0), base, s.x(10), base, red));
    const int peak = s.y(kCurrentTrace, 100.0f);
    EXPECT_TRUE(s.hasLine(s.x(18), peak, s.x(18), peak, red));
    bool dashed = false;
    for (const PlotCall& c : s.calls(Kind::Line))
        dashed |= c.penStyle == kPenDash && c.points[0] == PlotIntPoint{s.x(18), base} &&
                  c.points[1] == PlotIntPoint{s.x(18), peak};
    EXPECT_TRUE(dashed);

    const auto texts = s.calls(Kind::Text);
    ASSERT_EQ(texts.size(), 4u);
    const PlotCall& first = texts[0];
    EXPECT_EQ(first.text.front(), '<');
    EXPECT_EQ(first.hAlign, PlotHAlign::Left);
    EXPECT_EQ(first.points[0].x, s.x(10));
    EXPECT_DOUBLE_EQ(first.fontHeight, 15.0);
    EXPECT_GE(first.points[0].y, kFrameTop + 2 * 30);  // vertically centred on its line
    EXPECT_LE(first.points[0].y, kFrameTop + 2 * 30 + 15);
    const PlotCall& late = texts[3];
    EXPECT_EQ(late.text.substr(0, 9), "#4:Type1,");
    EXPECT_EQ(late.text.back(), '>');
    EXPECT_EQ(late.hAlign, PlotHAlign::Right);
    EXPECT_EQ(late.points[0].x, s.x(300));
    EXPECT_GE(late.points[0].y, kFrameTop + 5 * 30);
    EXPECT_LE(late.points[0].y, kFrameTop + 5 * 30 + 15);
    EXPECT_TRUE(late.textColor == red);
}

TEST(PscLiveDisplay, RejectedEventInColourFiveWithoutLabel) {
    Screen s;
    s.p.halfWidthCriterion = 3.5f;  // the triangle's half width is 3.0 ms
    s.fill([](int i) { return triangle(i, 300); });
    int repaints = 0;
    s.d.repaintWindow = [&] { ++repaints; };
    s.draw();
    s.canvas.clear();
    s.detect();
    EXPECT_EQ(s.table.count(), 0);
    EXPECT_TRUE(s.calls(Kind::Text).empty());
    EXPECT_EQ(repaints, 0);
    const PlotColor cyan{0, 255, 255};
    EXPECT_TRUE(s.hasLine(s.x(300), kFrameTop, s.x(300), kLowerBottom, cyan));
    const int peak = s.y(kCurrentTrace, 100.0f);
    EXPECT_TRUE(s.hasLine(s.x(308), peak, s.x(308), peak, cyan));
    // The baseline keeps the colour of the type the event started as.
    const int base = s.y(kCurrentTrace, 0.0f);
    EXPECT_TRUE(s.hasLine(s.x(281), base, s.x(300), base, plotPalette(2)));

    s.p.halfWidthCriterion = 0.0f;  // the same event kept: labelled, window repainted
    s.draw();
    s.detect();
    int labels = 0;
    for (const PlotCall& t : s.calls(Kind::Text)) labels += t.text.find(":Type1,") != std::string::npos;
    EXPECT_EQ(labels, 1);
    EXPECT_EQ(repaints, 1);
}

// The circle of a slope mark around (x, y) with radius r.
bool hasCircle(const Screen& s, int x, int y, int r, PlotColor color) {
    for (const PlotCall& c : s.calls(Kind::Ellipse)) {
        if (!(c.penColor == color)) continue;
        if (c.points[0] == PlotIntPoint{x - r, y - r} && c.points[1] == PlotIntPoint{x + r, y + r})
            return true;
    }
    return false;
}

TEST(PscLiveDisplay, SlopeMarksOnTheDidtPanel) {
    const PlotColor blue{0, 0, 255};
    {  // A trigger from 20 blanked by the transient at 29: line, cross and circle in colour 1.
        Screen s;
        for (int k = 20; k <= 27; ++k) s.b.didt(k) = 50;
        s.b.didt(29) = -100;
        s.p.blankAfter = 1.25f;
        s.draw();
        s.detect();
        const int xt = s.x(20), yt = s.y(kDidtTrace, 50.0f);
        const int xo = s.x(29), yo = s.y(kDidtTrace, -100.0f);
        EXPECT_TRUE(s.hasLine(xo, yo, xt, yt, blue));
        EXPECT_TRUE(s.hasLine(xt - 5, yt - 7, xt + 5, yt + 7, blue));
        EXPECT_TRUE(s.hasLine(xt - 5, yt + 7, xt + 5, yt - 7, blue));
        EXPECT_TRUE(hasCircle(s, xo, yo, 5, blue));
    }
    {  // Pre-rejection: the dip at 45 before the slope peak at 51.
        Screen s;
        s.fill([](int i) { return triangle(i, 50); });
        s.b.didt(45) = -30;
        s.p.preBumpInvertedAmplitude = 10;
        s.p.preRejectWindow = 0.875f;
        s.draw();
        s.canvas.clear();
        s.detect();
        EXPECT_TRUE(hasCircle(s, s.x(45), s.y(kDidtTrace, -30.0f), 6, blue));
        EXPECT_TRUE(hasCircle(s, s.x(51), s.y(kDidtTrace, 100.0f), 5, blue));
        const auto texts = s.calls(Kind::Text);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].text, "PreInvThrReject");
        EXPECT_EQ(texts[0].points[0].x, s.x(50));
        EXPECT_TRUE(s.hasLine(s.x(50), kFrameTop, s.x(50), kLowerBottom, PlotColor{0, 255, 255}));
    }
    {  // A spikelet test that finds no inversion within 1 ms: colour 6 at the window's end (59).
        Screen s;
        s.fill([](int i) { return triangle(i, 50); });
        s.p.preBumpInvertedAmplitude = 10;
        s.p.spikeletInvertTime = 1.0f;
        s.draw();
        s.detect();
        EXPECT_TRUE(hasCircle(s, s.x(59), s.y(kDidtTrace, s.b.didt(59)), 5, plotPalette(6)));
    }
}

}  // namespace
}  // namespace ephys
