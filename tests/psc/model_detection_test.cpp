#include "psc/model_detection.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "abf/synthetic_recording.h"
#include "params/messages.h"
#include "params/progress.h"
#include "psc/event_detection.h"
#include "signal/gaussian_filter.h"

namespace ephys {
namespace {

constexpr double kDtMs = 0.05;  // 20 kHz
constexpr double kRiseMs = 0.5;
constexpr double kDecayMs = 5.0;

// The event shape of the recordings: exp(-t / decay) - exp(-t / rise), 0 at the onset, peak 1.
double eventShape(double tMs) {
    if (tMs <= 0.0) return 0.0;
    const double tPeak = kDecayMs * kRiseMs / (kDecayMs - kRiseMs) * std::log(kDecayMs / kRiseMs);
    const double peak = std::exp(-tPeak / kDecayMs) - std::exp(-tPeak / kRiseMs);
    return (std::exp(-tMs / kDecayMs) - std::exp(-tMs / kRiseMs)) / peak;
}

// A frame buffer of 2048-sample frames holding inward events (onset frame index, amplitude pA)
// on a baseline of `offset`.
PscFrameBuffers eventFrame(const std::vector<std::pair<int, double>>& events, double offset = 0.0) {
    PscFrameBuffers b;
    b.resize(2048, kDtMs);
    for (int k = b.firstIndex(); k < b.endIndex(); ++k) {
        double v = offset;
        for (const auto& [onset, amplitude] : events) v -= amplitude * eventShape((k - onset) * kDtMs);
        b.current(k) = static_cast<float>(v);
    }
    return b;
}

PscModelSpec modelSpec(PscDetectorKind kind) {
    PscModelSpec spec;
    spec.kind = kind;
    spec.riseMs = static_cast<float>(kRiseMs);
    spec.decayMs = static_cast<float>(kDecayMs);
    spec.sign = -1.0f;
    spec.sampleIntervalMs = static_cast<float>(kDtMs);
    return spec;
}

std::vector<int> scan(const PscModelSpec& spec, const PscFrameBuffers& b) {
    PscModelWork work;
    std::array<int, 64> list{};
    const int n = pscModelScan(spec, b, list, work);
    return {list.begin(), list.begin() + n};
}

TEST(ModelDetection, CleanEventsAreListedAtTheirOnsetsByBothDetectors) {
    // Isolated events of different sizes on an offset, one in the buffer's tail (listed for the
    // following searches) and one whose onset lies before the frame (the previous frame's).
    const PscFrameBuffers b =
        eventFrame({{-50, 20.0}, {300, 20.0}, {900, 8.0}, {1600, 35.0}, {2300, 15.0}}, 7.0);
    for (const PscDetectorKind kind : {PscDetectorKind::Deconvolution, PscDetectorKind::Template}) {
        SCOPED_TRACE(std::string(pscDetectorName(kind)));
        EXPECT_EQ(scan(modelSpec(kind), b), (std::vector<int>{300, 900, 1600, 2300}));
    }
}

TEST(ModelDetection, OutwardEventsNeedAPositiveSign) {
    PscFrameBuffers b = eventFrame({{500, 20.0}});
    for (float& v : b.currentData) v = -v;  // outward
    PscModelSpec spec = modelSpec(PscDetectorKind::Deconvolution);
    EXPECT_EQ(scan(spec, b), std::vector<int>{});
    spec.sign = 1.0f;
    EXPECT_EQ(scan(spec, b), std::vector<int>{500});
}

TEST(ModelDetection, DeconvolutionSeparatesOverlappingEvents) {
    // The second event starts 1.5 ms after the first, on its rising phase; a third rides on the
    // decay 4 ms later. The slope of the sum has one rise for the first two.
    const PscFrameBuffers b = eventFrame({{700, 20.0}, {730, 15.0}, {810, 25.0}});
    EXPECT_EQ(scan(modelSpec(PscDetectorKind::Deconvolution), b), (std::vector<int>{700, 730, 810}));
}

// Runs the deconvolution over `frames` frames of white noise of SD `noiseSd` (filtered at 500 Hz
// as recording frames are), each holding the events `events` gives for it (onset frame index, rise,
// decay, amplitude), and returns the onsets listed within each frame.
struct ShapedEvent {
    int onset;
    double riseMs, decayMs, amplitude;
};
std::vector<std::vector<int>> scanNoisyFrames(int frames, double noiseSd,
                                              const std::vector<ShapedEvent>& events, std::uint64_t seed) {
    SynthRandom random(seed);
    GaussianTaps taps;
    PscFrameBuffers b;
    b.resize(2048, kDtMs);
    PscModelWork work;
    std::array<int, 64> list{};
    std::vector<std::vector<int>> found;
    for (int frame = 0; frame < frames; ++frame) {
        for (int k = b.firstIndex(); k < b.endIndex(); ++k) {
            double v = noiseSd * random.normal();
            for (const ShapedEvent& e : events) {
                const double t = (k - e.onset) * kDtMs;
                if (t > 0.0) {
                    const double tPeak =
                        e.decayMs * e.riseMs / (e.decayMs - e.riseMs) * std::log(e.decayMs / e.riseMs);
                    const double peak = std::exp(-tPeak / e.decayMs) - std::exp(-tPeak / e.riseMs);
                    v -= e.amplitude * (std::exp(-t / e.decayMs) - std::exp(-t / e.riseMs)) / peak;
                }
            }
            b.current(k) = static_cast<float>(v);
        }
        gaussianFilter(b.currentData, 500.0f, 50.0f, taps);
        const int listed = pscModelScan(modelSpec(PscDetectorKind::Deconvolution), b, list, work);
        std::vector<int> inFrame;
        for (int i = 0; i < listed; ++i)
            if (list[static_cast<std::size_t>(i)] < 2048)
                inFrame.push_back(list[static_cast<std::size_t>(i)]);
        found.push_back(std::move(inFrame));
    }
    return found;
}

TEST(ModelDetection, DeconvolutionSeparatesNoisyPairsTwoMillisecondsApart) {
    // 20 pA events 2 ms apart in white noise of SD 8 pA: too close for the wide smoothing, too
    // noisy for the narrow one alone. Nearly every pair is listed as two events at their onsets.
    const auto found =
        scanNoisyFrames(60, 8.0, {{800, kRiseMs, kDecayMs, 20.0}, {840, kRiseMs, kDecayMs, 20.0}}, 23);
    int resolved = 0;
    for (const std::vector<int>& f : found)
        resolved += f.size() == 2 && std::abs(f[0] - 800) <= 8 && std::abs(f[1] - 840) <= 8 ? 1 : 0;
    EXPECT_GE(resolved, 54) << "of 60 pairs";
}

TEST(ModelDetection, EventsSlowerThanTheTemplateAreNotSplit) {
    // Events with twice the template's rise and decay deconvolve into a peak and a plateau; the
    // plateau's noise must not be listed as further events. 60 pA in 3 pA of noise.
    const auto found = scanNoisyFrames(60, 3.0, {{800, 2.0 * kRiseMs, 2.0 * kDecayMs, 60.0}}, 29);
    int listed = 0, atOnset = 0;
    for (const std::vector<int>& f : found) {
        listed += static_cast<int>(f.size());
        atOnset += !f.empty() && std::abs(f[0] - 800) <= 10 ? 1 : 0;
    }
    EXPECT_EQ(atOnset, 60);
    EXPECT_LE(listed, 78) << "events listed for 60";
}

TEST(ModelDetection, PaddingAfterTheRecordingHoldsNoEvents) {
    // The last frame of a recording: past its last sample the buffer repeats that sample, which
    // must neither set the noise level nor hold events.
    PscFrameBuffers b = eventFrame({{400, 20.0}});
    SynthRandom random(5);
    for (float& v : b.currentData) v += static_cast<float>(4.0 * random.normal());
    const int recorded = 1000;
    for (int k = recorded; k < b.endIndex(); ++k) b.current(k) = b.current(recorded - 1);
    PscModelSpec spec = modelSpec(PscDetectorKind::Deconvolution);
    spec.validEnd = recorded;
    const std::vector<int> found = scan(spec, b);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0], 400, 2);
    // Taken for recorded samples, the flat padding would make the noise level far too low.
    spec.validEnd = std::numeric_limits<int>::max();
    EXPECT_GT(scan(spec, b).size(), 1u);
}

// White noise of SD 5 pA at 20 kHz, filtered at 500 Hz as the recording frames are: at the
// default threshold, a minute of it holds no event for either detector.
TEST(ModelDetection, NoEventsInAMinuteOfNoiseAtTheDefaultThreshold) {
    constexpr int kFrames = 60 * 20000 / 2048 + 1;
    SynthRandom random(17);
    GaussianTaps taps;
    PscFrameBuffers b;
    b.resize(2048, kDtMs);
    const std::size_t n = b.bufferLength();
    std::vector<float> noise(static_cast<std::size_t>(kFrames) * 2048 + n);
    for (float& v : noise) v = static_cast<float>(5.0 * random.normal());
    std::array<int, 256> list{};
    PscModelWork work;
    for (const PscDetectorKind kind : {PscDetectorKind::Deconvolution, PscDetectorKind::Template}) {
        int found = 0;
        for (int frame = 0; frame < kFrames; ++frame) {
            std::copy_n(noise.begin() + static_cast<std::ptrdiff_t>(frame) * 2048, n, b.currentData.begin());
            gaussianFilter(b.currentData, 500.0f, 50.0f, taps);
            const int listed = pscModelScan(modelSpec(kind), b, list, work);
            for (int i = 0; i < listed; ++i) found += list[static_cast<std::size_t>(i)] < 2048 ? 1 : 0;
        }
        EXPECT_EQ(found, 0) << pscDetectorName(kind);
    }
}

// The detector in the run: its onsets take the trigger list's place, and the measurement types
// and stores the overlapping pair.
TEST(ModelDetection, DetectFrameMeasuresTheOnsetsAModelDetectorLists) {
    PscParameters p;
    p.detector = PscDetectorKind::Deconvolution;
    p.diffTrigger = -1.0f;
    p.sampleInterval = static_cast<float>(kDtMs);
    p.frameLength = 2048;
    p.timeMapLength = 1 << 20;
    p.channelCount = 1;
    p.individualEvents = 'N';
    p.enableSweepDisplay = 'N';
    PscFrameBuffers b = eventFrame({{600, 20.0}, {660, 20.0}, {1500, 30.0}});
    PscEventTable table;
    ProgressRecord progress;
    CapturedMessages messages;
    pscDetectFrame(p, table, b, 1, nullptr, progress, messages);
    ASSERT_EQ(table.count(), 3);
    EXPECT_FLOAT_EQ(table.at(kEventTime, 1), 600 * static_cast<float>(kDtMs));
    EXPECT_FLOAT_EQ(table.at(kEventTime, 2), 660 * static_cast<float>(kDtMs));
    EXPECT_FLOAT_EQ(table.at(kEventTime, 3), 1500 * static_cast<float>(kDtMs));
    // The first is cut short by the second, which rides on its decay; the third is isolated.
    EXPECT_EQ(table.eventType[1], '2');
    EXPECT_EQ(table.eventType[2], '3');
    EXPECT_EQ(table.eventType[3], '1');
    EXPECT_NEAR(table.at(kAmplitude, 1), -20.0f, 1.5f);
    EXPECT_NEAR(table.at(kAmplitude, 3), -30.0f, 1.5f);
}

TEST(ModelDetection, DetectorNames) {
    PscDetectorKind kind = PscDetectorKind::Slope;
    ASSERT_TRUE(pscParseDetector("deconvolution", kind));
    EXPECT_EQ(kind, PscDetectorKind::Deconvolution);
    ASSERT_TRUE(pscParseDetector("template", kind));
    EXPECT_EQ(kind, PscDetectorKind::Template);
    EXPECT_FALSE(pscParseDetector("Slope", kind));
    EXPECT_EQ(kind, PscDetectorKind::Template);
    for (const PscDetectorKind k :
         {PscDetectorKind::Slope, PscDetectorKind::Template, PscDetectorKind::Deconvolution}) {
        PscDetectorKind back = PscDetectorKind::Slope;
        EXPECT_TRUE(pscParseDetector(pscDetectorName(k), back));
        EXPECT_EQ(back, k);
    }
}

}  // namespace
}  // namespace ephys
