#include "psc/event_detection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "abf/synthetic_recording.h"

namespace ephys {
namespace {

// Keeps what the detector showed; the inversion marks as one text.
struct SeenDisplay : PscDisplay {
    std::vector<std::array<int, 2>> blanked;
    std::vector<std::array<int, 3>> baselines, triggers;  // (type, from, onset), (type, onset, trigger)
    std::vector<std::string> labels;
    std::vector<PscEventShape> shapes;
    std::string inversions;
    int calls = 0;
    void note(const std::string& s) { inversions += (inversions.empty() ? "" : ";") + s; }
    void frameStart(int, int, float) override { ++calls; }
    void blankedTrigger(int t, int i) override { blanked.push_back({t, i}); }
    void eventBaseline(int type, int from, int onset, float) override {
        baselines.push_back({type, from, onset});
    }
    void postInversion(int i, int peak) override {
        note("post " + std::to_string(i) + " " + std::to_string(peak));
    }
    void preInversion(int i, int peak, int onset) override {
        note("pre " + std::to_string(i) + " " + std::to_string(peak) + " " + std::to_string(onset));
    }
    void spikeletFound(int i) override { note("found " + std::to_string(i)); }
    void spikeletFailed(int end) override { note("failed " + std::to_string(end)); }
    void eventShape(const PscEventShape& s) override { shapes.push_back(s); }
    void triggerMark(int type, int onset, int trigger, float, float, bool) override {
        triggers.push_back({type, onset, trigger});
    }
    void label(std::string_view text, int, int, bool) override { labels.emplace_back(text); }
};

// Frames of 0.125 ms samples (exact in binary) with counts N_trig 3, N_diff 2, N_b3 10, N_b12 20,
// N_avg 1, N_peak 20, N_dead 1 and a trigger level of 40 pA/ms.
struct Frame {
    PscParameters p;
    PscEventTable table;
    PscFrameBuffers b;
    ProgressRecord progress;
    CapturedMessages messages;
    SeenDisplay seen;

    explicit Frame(int length = 200) {
        p.sampleInterval = 0.125f;
        p.frameLength = length;
        b.resize(length, 0.125);
        p.diffTrigger = 40.0f;
        p.durationOfTrigger = 0.375f;
        p.diffWindow = 0.125f;
        p.type3Baseline = 1.25f;
        p.type12Baseline = 2.5f;
        p.averagePeakTime = 0.125f;
        p.peakSearchTime = 2.5f;
        p.deadTimeType1 = 0.125f;
        p.individualEvents = 'N';
        p.timeMap.clear();  // every sample at its own position
        p.timeMapLength = 100000;
    }
    // The current of frame `frame` from a signal over absolute samples, and its dI/dt over one sample.
    void fill(const std::function<float(int)>& signal, int frame = 1) {
        for (int k = b.firstIndex(); k < b.endIndex(); ++k)
            b.current(k) = signal((frame - 1) * b.frameLength + k);
        for (int k = b.firstIndex(); k < b.endIndex(); ++k)
            b.didt(k) = k == b.firstIndex() ? 0.0f : (b.current(k) - b.current(k - 1)) / 0.125f;
    }
    void run(int frame = 1) { pscDetectFrame(p, table, b, frame, &seen, progress, messages); }
    float cell(PscColumn c, int row = 1) const { return table.at(c, static_cast<std::size_t>(row)); }
    std::vector<int> scan() {
        std::array<int, kPscMaxTriggers> list{};
        const int n = pscScanTriggers(p, b, pscSampleCounts(p), list, &seen, messages);
        return {list.begin(), list.begin() + n};
    }
};

// A triangle: from `start` up 12.5 pA per sample to 100 pA, then down 2.5 pA per sample.
float triangle(int i, int start, float sign = 1.0f) {
    const int k = i - start;
    if (k <= 0 || k >= 48) return 0.0f;
    return sign * (k <= 8 ? 12.5f * k : 100.0f - 2.5f * (k - 8));
}

TEST(PscTriggerScan, ConfirmationRearmingAndSign) {
    Frame f;
    auto slope = [&](int from, int to, float v) {
        for (int k = from; k <= to; ++k) f.b.didt(k) = v;
    };
    slope(20, 23, 50);  // N_trig + 1 samples: confirmed at 23, listed at 20
    slope(24, 29, 32);  // exactly 80 %: not re-armed
    slope(30, 33, 50);
    slope(34, 34, 31.9f);
    slope(35, 38, 50);   // re-armed at 34
    slope(60, 62, 50);   // one sample short
    slope(80, 83, -50);  // the other direction
    EXPECT_EQ(f.scan(), (std::vector<int>{20, 35}));
    f.p.diffTrigger = -40.0f;
    f.p.triggerState = 0;
    EXPECT_EQ(f.scan(), (std::vector<int>{80}));
}

TEST(PscTriggerScan, TriggersAtOrBeforeZeroAndCarriedState) {
    Frame f;
    for (int k = 0; k <= 30; ++k) f.b.didt(k) = 50;  // confirmed at 3: never listed, blocks to 30
    for (int k = 40; k <= 43; ++k) f.b.didt(k) = 50;
    EXPECT_EQ(f.scan(), (std::vector<int>{40}));
    // Steep from the buffer's start, then at 33 (above 80 %) until a second steep stretch at 5.
    for (int k = -200; k <= 30; ++k) f.b.didt(k) = k <= -198 || k >= 5 ? 50.0f : 33.0f;
    f.p.triggerState = 3;  // the previous buffer ended on a steep slope
    EXPECT_EQ(f.scan(), (std::vector<int>{40}));
    f.p.triggerState = 0;  // -200 .. -198 is too short; 5 starts a trigger
    EXPECT_EQ(f.scan(), (std::vector<int>{5, 40}));
}

// A slope beyond the level from 20 to 27 between opposite transients at 19 and 29.
TEST(PscTriggerScan, BlankingByOppositeTransients) {
    Frame f;
    for (int k = 20; k <= 27; ++k) f.b.didt(k) = 50;
    f.b.didt(19) = -100;
    f.b.didt(29) = -100;
    EXPECT_EQ(f.scan(), (std::vector<int>{20}));  // windows of 0 never blank
    f.p.blankAfter = 1.125f;                      // [20, 29): the transient at 29 lies outside
    EXPECT_EQ(f.scan(), (std::vector<int>{20}));
    f.p.blankAfter = 1.25f;  // blanks 20, and 24 too, which starts right after it
    EXPECT_TRUE(f.scan().empty());
    EXPECT_EQ(f.seen.blanked, (std::vector<std::array<int, 2>>{{20, 29}, {24, 29}}));
    f.p.blankAfter = 0.0f;
    f.p.blankBefore = 0.25f;  // [18, 20)
    f.p.negTransientThreshold = 100.0f;
    EXPECT_EQ(f.scan(), (std::vector<int>{20}));  // not beyond the threshold
    f.p.negTransientThreshold = 99.0f;
    EXPECT_EQ(f.scan(), (std::vector<int>{24}));  // 24's window [22, 24) is clean
    EXPECT_EQ(f.seen.blanked.back(), (std::array<int, 2>{20, 19}));
}

TEST(PscTriggerScan, SixThousandTriggersThenOneMessageEach) {
    Frame f(13000);
    f.p.durationOfTrigger = 0.1f;  // N_trig 0: a trigger on every other sample
    for (int k = 1; k < 14000; k += 2) f.b.didt(k) = 50;
    for (int k = 14001; k < f.b.endIndex(); ++k) f.b.didt(k) = 50;  // one long slope: one trigger
    const std::vector<int> list = f.scan();
    ASSERT_EQ(list.size(), 6000u);
    EXPECT_EQ(list.back(), 11999);
    ASSERT_EQ(f.messages.entries().size(), 1001u);
    EXPECT_EQ(f.messages.entries()[0].text, "Not enough room in detection array!");
    EXPECT_EQ(f.messages.entries()[0].kind, MessageKind::ErrorBox);
}

TEST(PscPeakAverage, UsesOnlySamplesAfterTheBufferStart) {
    Frame f;
    f.b.current(-200) = 1000;
    f.b.current(-199) = 1;
    f.b.current(-198) = 2;
    f.b.current(-197) = 3;
    EXPECT_FLOAT_EQ(pscPeakAverage(f.b, -199, 5), 2.0f);
    EXPECT_FLOAT_EQ(pscPeakAverage(f.b, -198, 2), 2.0f);  // an even count takes one more sample
}

// Triangle at 50: onset 50, trigger 51, peak 100 pA at 58; crossings (in samples) rise 10 % 50.8,
// 50 % 54, 75 % 56, 90 % 57.2; decay 75 % 68, 50 % 78, 10 % 94; the charge walk stops at 96.
TEST(PscDetectFrame, IsolatedEventMeasuredStoredAndShown) {
    for (float sign : {1.0f, -1.0f}) {
        Frame f;
        f.p.diffTrigger = 40.0f * sign;
        f.fill([&](int i) { return triangle(i, 50, sign); });
        f.run();
        ASSERT_EQ(f.table.count(), 1);
        EXPECT_EQ(f.table.eventType[1], '1');
        EXPECT_FLOAT_EQ(f.cell(kEventTime), 6.375f);
        EXPECT_FLOAT_EQ(f.cell(kSampleTime), 6.375f);
        EXPECT_FLOAT_EQ(f.cell(kPeakTime), 7.25f);
        EXPECT_FLOAT_EQ(f.cell(kAmplitude), 100.0f * sign);
        EXPECT_FLOAT_EQ(f.cell(kBaseline), 0.0f);
        EXPECT_NEAR(f.cell(kRiseTime), 6.4 * 0.125, 1e-5);
        EXPECT_NEAR(f.cell(kWidth75), 12 * 0.125, 1e-5);
        EXPECT_NEAR(f.cell(kHalfWidth), 24 * 0.125, 1e-5);
        EXPECT_NEAR(f.cell(kWidth10), 43.2 * 0.125, 1e-5);
        EXPECT_NEAR(f.cell(kCharge), sign * 2392.5 * 0.125, 1e-3);  // samples 51 .. 95
        EXPECT_EQ(f.p.baselineValid, 1);
        EXPECT_EQ(f.seen.baselines.at(0), (std::array<int, 3>{1, 31, 50}));
        EXPECT_EQ(f.seen.triggers.at(0), (std::array<int, 3>{1, 50, 51}));
        ASSERT_EQ(f.seen.shapes.size(), 1u);
        EXPECT_EQ(f.seen.shapes[0].peakIndex, 58);
        EXPECT_FLOAT_EQ(f.seen.shapes[0].level50, 50.0f * sign);
        EXPECT_EQ(f.seen.labels.at(0), sign > 0 ? "<#1:Type1,0.006s,100pA,0.8rs,3.0wd,5.4w90"
                                                : "<#1:Type1,0.006s,-100pA,0.8rs,3.0wd,5.4w90");
    }
}

TEST(PscDetectFrame, PeakAveragingAndLabelSide) {
    Frame f;
    f.p.averagePeakTime = 0.25f;  // N_avg 2: samples 57 .. 59
    f.fill([](int i) { return triangle(i, 150); });
    f.run();
    ASSERT_EQ(f.table.count(), 1);
    EXPECT_FLOAT_EQ(f.cell(kAmplitude), 97.5f);  // mean of samples 158 .. 160
    EXPECT_EQ(f.seen.labels.at(0).back(), '>');  // a trigger in the second half of the frame
    EXPECT_EQ(f.seen.labels[0].substr(0, 16), "#1:Type1,0.019s,");

    Frame quiet;  // no drawing at all with the sweep display off
    quiet.p.enableSweepDisplay = 'N';
    quiet.fill([](int i) { return triangle(i, 50); });
    quiet.run();
    EXPECT_EQ(quiet.table.count(), 1);
    EXPECT_EQ(quiet.seen.calls, 0);
    EXPECT_TRUE(quiet.seen.triggers.empty());
}

TEST(PscDetectFrame, OnsetRules) {
    auto onsetWith = [](const std::function<void(Frame&)>& change, int start = 50) {
        Frame f;
        f.fill([&](int i) { return triangle(i, start); });
        change(f);
        f.run();
        return f.seen.triggers.at(0)[1];
    };
    EXPECT_EQ(onsetWith([](Frame& f) { f.b.didt(50) = 5; }), 50);   // below the start level
    EXPECT_EQ(onsetWith([](Frame& f) { f.b.didt(50) = -5; }), 51);  // inverted: the sample after
    EXPECT_EQ(onsetWith([](Frame& f) {  // never below the start level within 2 N_b3: N_diff before
                  for (int k = 25; k <= 50; ++k) f.b.didt(k) = 20;
              }),
              49);
    EXPECT_EQ(onsetWith([](Frame&) {}, 0), -1);  // an onset at frame index 0 is not taken
}

// Triangles at 50 and 70: the second trigger (71) comes before the first event has decayed.
TEST(PscDetectFrame, CloseEventsAreTypedTwoThenThree) {
    for (float maxDuration : {0.0f, 3.0f, 2.0f}) {
        Frame f;
        f.p.maxPscDuration = maxDuration;
        f.p.peakSearchTime = 5.0f;  // up to 90, but the peak search of the first ends at 70
        f.fill([](int i) { return triangle(i, 50) + triangle(i, 70); });
        f.run();
        ASSERT_EQ(f.table.count(), 2);
        EXPECT_EQ(f.table.eventType[1], '2');
        EXPECT_FLOAT_EQ(f.cell(kAmplitude, 1), 100.0f);
        EXPECT_FLOAT_EQ(f.cell(kCharge, 1), -1.0f);
        if (maxDuration == 2.0f) {  // 2.5 ms after the previous trigger: isolated again
            EXPECT_EQ(f.table.eventType[2], '1');
            EXPECT_FLOAT_EQ(f.cell(kBaseline, 2), 76.125f);  // samples 52 .. 71
            EXPECT_NE(f.cell(kCharge, 2), -1.0f);
        } else {
            EXPECT_EQ(f.table.eventType[2], '3');
            EXPECT_FLOAT_EQ(f.cell(kBaseline, 2), 80.0f);  // samples 62 .. 71
            EXPECT_FLOAT_EQ(f.cell(kCharge, 2), -1.0f);
        }
    }
    Frame f;  // a third one, before the second has decayed: a type 3 event stays type 3
    f.fill([](int i) { return triangle(i, 50) + triangle(i, 70) + triangle(i, 90); });
    f.run();
    ASSERT_EQ(f.table.count(), 3);
    EXPECT_EQ(std::string(&f.table.eventType[1], 3), "233");
}

TEST(PscDetectFrame, DeadTimeKeepsTheDecayOpen) {
    for (float dead : {0.125f, 15.0f}) {  // the next trigger comes 12.5 ms after the first
        Frame f;
        f.p.deadTimeType1 = dead;
        f.fill([](int i) { return triangle(i, 20) + triangle(i, 120); });
        f.run();
        ASSERT_EQ(f.table.count(), 2);
        EXPECT_EQ(std::string(&f.table.eventType[1], 2), dead < 1 ? "11" : "23");
    }
}

TEST(PscDetectFrame, StateCarriedAcrossFrames) {
    Frame f(100);
    auto signal = [](int i) { return triangle(i, 80) + triangle(i, 100); };
    f.p.detectorStarted = 0;
    f.p.carriedBaseline = 7.0f;
    f.p.baselineValid = 0;  // reset at the start of the run: the first event is isolated
    f.fill(signal);
    f.run(1);
    ASSERT_EQ(f.table.count(), 1);  // the trigger at 101 lies past the frame
    EXPECT_EQ(f.table.eventType[1], '2');
    EXPECT_EQ(f.p.baselineValid, 0);
    f.fill(signal, 2);
    f.run(2);
    ASSERT_EQ(f.table.count(), 2);
    EXPECT_EQ(f.table.eventType[2], '3');
    EXPECT_FLOAT_EQ(f.cell(kEventTime, 2), 101 * 0.125f);
    f.p.baselineValid = 0;
    f.fill([](int) { return 0.0f; }, 5);
    for (int k = 150; k < f.b.endIndex(); ++k) f.b.didt(k) = 50;
    f.run(5);  // only a trigger past the frame: re-armed, and the next event starts isolated
    EXPECT_EQ(f.table.count(), 2);
    EXPECT_EQ(f.p.triggerState, 0);
    EXPECT_EQ(f.p.baselineValid, 1);
}

TEST(PscDetectFrame, HalfWidthRule) {
    const std::pair<float, bool> cases[] = {{3.5f, false}, {2.5f, true}, {-2.5f, false}, {-3.5f, true}};
    for (auto [criterion, kept] : cases) {
        Frame f;  // half width 3.0 ms
        f.p.halfWidthCriterion = criterion;
        f.fill([](int i) { return triangle(i, 50); });
        f.run();
        EXPECT_EQ(f.table.count(), kept ? 1 : 0) << criterion;
        EXPECT_EQ(f.seen.triggers.at(0)[0], kept ? 1 : 4);
        EXPECT_EQ(f.seen.labels.size(), kept ? 1u : 0u);
    }
}

// A half width that was measured as 0 is compared against the limit like any other width; only
// one that could not be measured (-1) is rejected whatever the limit.
TEST(PscDetectFrame, HalfWidthRuleTellsAZeroWidthFromAnUnmeasuredOne) {
    // Over the 5-sample peak average, 100 pA at 48, 51 and 52 peak at 50 (60 pA), where the current
    // and the sample before it are already back at the baseline: the 50 % crossings before and
    // after the peak are the same point, and the half width is 0.
    auto comb = [](int i) { return i == 48 || i == 51 || i == 52 ? 100.0f : 0.0f; };
    const std::pair<float, int> cases[] = {{-2.5f, 1}, {2.5f, 4}};
    for (auto [criterion, type] : cases) {
        Frame f;
        f.p.halfWidthCriterion = criterion;
        f.p.averagePeakTime = 0.625f;
        f.fill(comb);
        for (int k = 40; k <= 43; ++k) f.b.didt(k) = 50.0f;
        f.run();
        ASSERT_EQ(f.seen.shapes.size(), 1u) << criterion;
        EXPECT_EQ(f.seen.shapes[0].halfWidthMs, 0.0f);
        EXPECT_EQ(f.seen.triggers.at(0)[0], type) << criterion;
        EXPECT_EQ(f.table.count(), type == 1 ? 1 : 0) << criterion;
    }

    // A step that never decays has no 50 % crossing after its peak: its width is not measured and
    // it is rejected, though -1 taken as a width would pass this limit.
    Frame f;
    f.p.halfWidthCriterion = -2.5f;
    f.fill([](int i) { return i >= 41 ? 100.0f : 0.0f; });
    for (int k = 37; k <= 40; ++k) f.b.didt(k) = 50.0f;
    f.run();
    ASSERT_EQ(f.seen.shapes.size(), 1u);
    EXPECT_EQ(f.seen.shapes[0].halfWidthMs, -1.0f);
    EXPECT_EQ(f.seen.triggers.at(0)[0], 4);
    EXPECT_EQ(f.table.count(), 0);
}

// The triangle's slope peaks at 51 (100 pA/ms) and turns to -20 pA/ms at 59; a dip of -30 pA/ms is
// put at 45.
TEST(PscDetectFrame, InvertedSlopeTests) {
    struct Case {
        char mode;
        float amount, post, pre, spikelet;
        bool kept;
        const char* mark;
    };
    const Case cases[] = {
        {'P', 10, 1.0f, 0, 0, true, ""},  // 51 .. 58
        {'P', 10, 1.125f, 0, 0, false, "post 59 51"},
        {'\0', 10, 1.125f, 0, 0, false, "post 59 51"},
        {'P', 25, 1.125f, 0, 0, true, ""},
        {'A', 15, 1.125f, 0, 0, false, "post 59 51"},
        {'D', 40, 1.125f, 0, 0, false, "post 59 51"},    // 16 pA/ms
        {'P', 10, 0, 0.875f, 0, false, "pre 45 51 50"},  // 51 down to 45
        {'P', 10, 0, 0.75f, 0, true, ""},
        {'P', 10, 0, 0, 1.0f, false, "failed 59"},
        {'P', 10, 0, 0, 1.125f, true, "found 59"},
        {'P', 10, 1.125f, 0, 1.125f, true, "post 59 51;found 59"},  // the spikelet test overrides
        {'P', 0, 0, 0, 1.0f, true, ""},                             // no limit: no test at all
    };
    for (const Case& c : cases) {
        Frame f;
        f.fill([](int i) { return triangle(i, 50); });
        f.b.didt(45) = -30;
        f.p.invertedThresholdMode = c.mode;
        f.p.preBumpInvertedAmplitude = c.amount;
        f.p.postRejectWindow = c.post;
        f.p.preRejectWindow = c.pre;
        f.p.spikeletInvertTime = c.spikelet;
        f.run();
        SCOPED_TRACE(testing::Message()
                     << c.mode << ' ' << c.amount << ' ' << c.post << ' ' << c.pre << ' ' << c.spikelet);
        EXPECT_EQ(f.table.count(), c.kept ? 1 : 0);
        EXPECT_EQ(f.seen.inversions, c.mark);
    }
}

TEST(PscDetectFrame, CancelDuringTheEventPauseEndsTheFrame) {
    for (char display : {'Y', 'N'}) {
        Frame f;
        f.p.individualEvents = 'Y';
        f.p.enableSweepDisplay = display;
        f.progress.pressedButton = kProgressCancel;
        f.fill([](int i) { return triangle(i, 20) + triangle(i, 120); });
        f.run();
        EXPECT_EQ(f.table.count(), display == 'Y' ? 1 : 2);
    }
}

// Recording-like frames: events of known onset and amplitude in white noise.
TEST(PscDetectFrame, FindsTheEventsOfASyntheticRecording) {
    PscSynthSpec setup;
    setup.samplesPerSweep = 195 * 2048;
    setup.rateHz = 4;
    setup.amplitudeMedianPa = 40;
    setup.amplitudeLogSd = 0.2;
    setup.noiseSdPa = 1.0;
    setup.seed = 7;
    const PscSynthesizer synth(setup);
    std::vector<float> samples(static_cast<std::size_t>(setup.samplesPerSweep));
    synth.fill(1, 0, samples);

    Frame f(2048);
    f.p.sampleInterval = 0.05f;
    f.b.resize(2048, 0.05);
    f.p.enableSweepDisplay = 'N';
    f.p.diffWindow = 1.0f;
    f.p.diffTrigger = -6.0f;
    f.p.durationOfTrigger = 0.5f;
    f.p.peakSearchTime = 4.0f;
    f.p.averagePeakTime = 0.5f;
    f.p.type12Baseline = 2.0f;
    f.p.type3Baseline = 1.0f;
    f.p.decayComplete = 2.0f;
    f.p.deadTimeType1 = 1.0f;
    f.p.timeMap.clear();  // every sample at its own position
    f.p.timeMapLength = static_cast<int>(samples.size());
    const int w = 20;
    for (int frame = 1; frame <= 195; ++frame) {
        for (int k = f.b.firstIndex(); k < f.b.endIndex(); ++k) {
            const long i =
                std::clamp<long>((frame - 1) * 2048L + k, 0, static_cast<long>(samples.size()) - 1);
            f.b.current(k) = samples[static_cast<std::size_t>(i)];
        }
        for (int pos = static_cast<int>(f.b.bufferLength()) - 1; pos >= 0; --pos)
            f.b.didtData[pos] =
                pos < w ? 0.0f : (f.b.currentData[pos] - f.b.currentData[pos - w]) / (w * 0.05f);
        f.run(frame);
    }

    const auto& truth = synth.events();
    int isolated = 0, found = 0, close = 0;
    for (std::size_t e = 0; e < truth.size(); ++e) {
        const double onset = truth[e].onsetS * 1000;
        const bool alone = (e == 0 || onset - truth[e - 1].onsetS * 1000 > 40) &&
                           (e + 1 == truth.size() || truth[e + 1].onsetS * 1000 - onset > 20);
        if (!alone || onset < 20 || onset > 19900) continue;
        ++isolated;
        for (int row = 1; row <= f.table.count(); ++row) {
            const double dt = f.cell(kEventTime, row) - onset;
            if (dt < -1 || dt > 2) continue;
            ++found;
            if (std::abs(f.cell(kAmplitude, row) - truth[e].amplitudePa) <
                0.1 * std::abs(truth[e].amplitudePa))
                ++close;
            break;
        }
    }
    int spurious = 0;  // stored events near no true onset
    for (int row = 1; row <= f.table.count(); ++row) {
        const double t = f.cell(kEventTime, row);
        spurious += std::none_of(truth.begin(), truth.end(), [&](const PscEventTruth& e) {
            return t - e.onsetS * 1000 >= -1 && t - e.onsetS * 1000 <= 2;
        });
    }
    ASSERT_GT(isolated, 40);
    EXPECT_GE(found, isolated * 95 / 100);
    EXPECT_GE(close, found * 90 / 100);
    EXPECT_LE(spurious, f.table.count() / 50);
}

}  // namespace
}  // namespace ephys
