// The detector on short hand-made traces (0.1 ms per sample); every expected latency is read
// off the trace by the rules of the threshold and slope methods.
#include "spike/spike_detector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace ephys {
namespace {

struct Case {
    const char* what;
    std::vector<std::int16_t> trace;
    std::function<void(SpikeDetectorSettings&)> setup;
    std::vector<float> latencies;
    std::vector<float> amplitudes = {};
};

TEST(SpikeDetector, HandMadeTraces) {
    // Threshold -25, hysteresis -28, scale 1, onset 0, limit 1 ms unless a case says otherwise.
    auto none = [](SpikeDetectorSettings&) {};
    // Slopes of `down`: i1 -20, i2 -30, i3 10, i4 40, i5 20, i6 -10, i7 -10.
    const std::vector<std::int16_t> down = {0, 0, 0, -40, -60, -20, 20, 20, 0, 0, 0};
    std::vector<std::int16_t> up;
    for (std::int16_t v : down) up.push_back(static_cast<std::int16_t>(-v));
    auto slope = [](int polarity, double completion) {
        return [=](SpikeDetectorSettings& s) {
            s.method = SpikeMethod::RmsSlope;
            s.polarity = polarity;
            s.slopeThreshold = 10.0;
            s.completionSlope = completion;
            s.scale = 2.0f;
        };
    };
    const std::vector<Case> cases = {
        {"equal to the threshold: no trigger", {-60, -25, -60, -60, -60, -60}, none, {}},
        {"equal to the hysteresis: not complete", {-60, -24, -28, -29, -60, -60}, none, {0.1f}, {-24.0f}},
        {"scale and offset",
         {-100, 0, 20, 10, -40, -100, -100},
         [](auto& s) { s.scale = 0.5f, s.offset = -10.0f; },
         {0.2f},
         {0.0f}},
        {"raw -30 is exactly -25 mV",
         {-100, -30, -100, -100, -100},
         [](auto& s) { s.scale = 0.5f, s.offset = -10.0f; },
         {}},
        // Dropped at index 4 (0.3 ms old); index 5 opens a new candidate that completes at 6.
        {"too long, then the next",
         {-60, 0, 0, 0, 0, 5, -60, -60, -60},
         [](auto& s) { s.maxDurationMs = 0.25; },
         {0.5f},
         {5.0f}},
        {"too long at the completing index",
         {-60, 0, 0, -60, -60, -60},
         [](auto& s) { s.maxDurationMs = 0.15; },
         {}},
        {"just within the limit",
         {-60, 0, 0, -60, -60, -60},
         [](auto& s) { s.maxDurationMs = 0.21; },
         {0.2f}},
        {"flat peak: its last sample", {-60, 10, 20, 20, 20, -60, -60, -60}, none, {0.4f}},
        {"peak at the onset: latency 0",
         {-60, -60, 0, 10, -60, -60, -60},
         [](auto& s) { s.onsetMs = 0.3; },
         {0.0f}},
        {"peak before the onset", {-60, 0, 10, 0, -60, -60, -60}, [](auto& s) { s.onsetMs = 0.3; }, {}},
        {"peak on the epoch's last sample",
         {-60, -60, -60, -60, 0, 10, -60, -60, -60},
         [](auto& s) { s.onsetMs = 50, s.useEpoch = true, s.epochFirst = 2, s.epochLast = 5; },
         {0.3f}},
        {"peak one sample after the epoch",
         {-60, -60, -60, -60, -60, 0, 10, -60, -60, -60},
         [](auto& s) { s.useEpoch = true, s.epochFirst = 2, s.epochLast = 5; },
         {}},
        {"index n - 2 is never tested", {-60, -60, -60, 0, -60}, none, {}},
        {"completion at n - 2 is never seen", {-60, 0, -60, -60}, none, {}},
        {"completion at n - 3", {-60, 0, -60, -60, -60}, none, {0.1f}},
        {"negative: the trough, the later of equals",
         {0, -30, -50, -50, -10, 0, 0},
         [](auto& s) { s.polarity = -1, s.hysteresis = -20.0f; },
         {0.3f},
         {-50.0f}},
        {"negative ignores positive spikes",
         {0, 20, 40, 0, 0, 0},
         [](auto& s) { s.polarity = -1, s.hysteresis = -20.0f; },
         {}},
        // Slope method: trigger at 1 (-slope 20 > 10), completion at 4 (40 > 10; 10 at i3 is not).
        {"slope, negative", down, slope(-1, 10.0), {0.4f}, {-120.0f}},
        {"slope, positive is the mirror", up, slope(1, 10.0), {0.4f}, {120.0f}},
        {"slope, positive on a negative spike", down, slope(1, 10.0), {}},
        {"slope, completion slope of its own", down, slope(-1, 15.0), {0.4f}},
        {"slope, no slope back that steep", down, slope(-1, 45.0), {}},
    };
    for (const Case& c : cases) {
        SpikeDetectorSettings s;
        s.onsetMs = 0.0;
        c.setup(s);
        std::vector<double> times;
        for (std::size_t i = 0; i < c.trace.size(); ++i) times.push_back(0.1 * static_cast<double>(i));
        SpikeList spikes;
        EXPECT_EQ(spikeDetectSweep(c.trace, times, s, spikes), static_cast<int>(c.latencies.size()))
            << c.what;
        ASSERT_EQ(spikes.latencies.size(), c.latencies.size()) << c.what;
        for (std::size_t k = 0; k < c.latencies.size(); ++k)
            EXPECT_NEAR(spikes.latencies[k], c.latencies[k], 1e-6) << c.what;
        for (std::size_t k = 0; k < c.amplitudes.size(); ++k)
            EXPECT_FLOAT_EQ(spikes.amplitudes[k], c.amplitudes[k]) << c.what;
    }
}

TEST(SpikeDetector, SlopesNoiseSumsAndSampleValues) {
    const std::vector<std::int16_t> y = {0, 2, 4, 4, 0};
    // (y[i+2] - y[i]) / 2, the three-point least-squares slope; then y[i+1] - y[i]; then 0.
    EXPECT_DOUBLE_EQ(spikeLocalSlope(y, 0), 2.0);
    EXPECT_DOUBLE_EQ(spikeLocalSlope(y, 2), -2.0);
    EXPECT_DOUBLE_EQ(spikeLocalSlope(y, 3), -4.0);
    EXPECT_DOUBLE_EQ(spikeLocalSlope(y, 4), 0.0);
    double sum = 0.0;
    std::int64_t count = 0;
    spikeAddSlopeSquares(y, 0, 3, sum, count);    // 4 + 1 + 4
    spikeAddSlopeSquares(y, 3, 100, sum, count);  // 16 + 0, cut at the end
    EXPECT_DOUBLE_EQ(sum, 25.0);
    EXPECT_EQ(count, 5);

    EXPECT_EQ(spikeSampleFromValue(-12.9f, 1.0f, 0.0f), -12);  // toward zero
    EXPECT_EQ(spikeSampleFromValue(1.0f, 0.25f, -1.0f), 8);    // (1 - -1) / 0.25
    EXPECT_EQ(spikeSampleFromValue(1e9f, 1.0f, 0.0f), 32767);
    EXPECT_EQ(spikeSampleFromValue(-1e9f, 1.0f, 0.0f), -32768);
    EXPECT_EQ(spikeSampleFromValue(std::numeric_limits<float>::quiet_NaN(), 1.0f, 0.0f), 0);
}

}  // namespace
}  // namespace ephys
