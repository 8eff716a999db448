#include "wavegen/waveform_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace ephys {
namespace {

struct Trace {
    std::vector<float> t, v;
};

Trace synthesize(const WaveformParameters& p) {
    Trace trace;
    trace.t.assign(static_cast<std::size_t>(p.sampleCount), -1.0f);
    trace.v.assign(static_cast<std::size_t>(p.sampleCount), -1.0f);
    WaveRandom random;
    ProgressRecord progress;
    waveSynthesize(p, random, progress, trace.t, trace.v);
    return trace;
}

// Times (ms) where the trace crosses zero, by linear interpolation between samples of opposite
// sign.
std::vector<double> zeroCrossings(const Trace& trace, double from, double to) {
    std::vector<double> at;
    for (std::size_t i = 1; i < trace.v.size(); ++i) {
        const double a = trace.v[i - 1], b = trace.v[i];
        if (trace.t[i - 1] <= from || trace.t[i] >= to) continue;
        if ((a < 0.0 && b >= 0.0) || (a > 0.0 && b <= 0.0)) {
            at.push_back(trace.t[i - 1] + (trace.t[i] - trace.t[i - 1]) * a / (a - b));
        }
    }
    return at;
}

TEST(WaveSynthesis, DefaultPulseTrainHasFivePulsesOfTwentySamplesEveryHundred) {
    // On 10 ms, off 110 ms, 100 Hz, 100 us: pulses of 2 ms = 20 samples, one per 10 ms = 100
    // samples from sample 100, min(5 asked, 10 that fit) = 5 of them.
    const WaveformParameters p;
    ASSERT_EQ(p.waveform, 'P');
    const Trace trace = synthesize(p);
    for (std::size_t i = 0; i < trace.v.size(); ++i) {
        const bool inPulse = i >= 100 && i < 600 && (i - 100) % 100 < 20;
        ASSERT_EQ(trace.v[i], inPulse ? 500.0f : 0.0f) << "sample " << i;
    }
    EXPECT_EQ(trace.t[0], 0.0f);
    EXPECT_EQ(trace.t[100], 10.0f);
    EXPECT_FLOAT_EQ(trace.t[2047], 204.7f);
}

TEST(WaveSynthesis, PulseCountLevelAndEnds) {
    auto pulseStarts = [](const Trace& trace, float level) {
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i < trace.v.size(); ++i) {
            if (trace.v[i] == level && (i == 0 || trace.v[i - 1] != level)) starts.push_back(i);
            if (trace.v[i] != level && trace.v[i] != 0.0f)
                ADD_FAILURE() << "sample " << i << " is " << trace.v[i];
        }
        return starts;
    };
    using Starts = std::vector<std::size_t>;

    // The DC step is added to the pulses only; between them and outside the step the value is 0.
    WaveformParameters p;
    p.dcStep = -20.0f;
    EXPECT_EQ(pulseStarts(synthesize(p), 480.0f), (Starts{100, 200, 300, 400, 500}));

    // 35 ms of step at 100 Hz hold 3.5 periods: 3 pulses, however many are asked for.
    p = {};
    p.stepOff = 45.0f;
    p.pulseCount = 20;
    EXPECT_EQ(pulseStarts(synthesize(p), 500.0f), (Starts{100, 200, 300}));
    p.pulseCount = 2;
    EXPECT_EQ(pulseStarts(synthesize(p), 500.0f), (Starts{100, 200}));

    // Samples past the end are dropped: 110 samples cut the first pulse after 10.
    p = {};
    p.sampleCount = 110;
    const Trace cut = synthesize(p);
    for (std::size_t i = 0; i < cut.v.size(); ++i) EXPECT_EQ(cut.v[i], i >= 100 ? 500.0f : 0.0f) << i;

    // 500 Hz and 5 ms: pulses of 50 samples every 20 overlap into one block from sample 100 to
    // the end of the fifth pulse at 180 + 50.
    p = {};
    p.chirpStartHz = 500.0f;
    p.pulseDuration = 5.0f;
    const Trace merged = synthesize(p);
    for (std::size_t i = 0; i < merged.v.size(); ++i) {
        EXPECT_EQ(merged.v[i], i >= 100 && i < 230 ? 500.0f : 0.0f) << i;
    }
}

TEST(WaveSynthesis, SineIsAmplitudeTimesSinOfTwoPiFTau) {
    WaveformParameters p;
    p.waveform = 'S';
    p.chirpStartHz = 50.0f;
    p.chirpEndHz = 50.0f;  // the frequencies in force for a sine
    const Trace trace = synthesize(p);
    float lowest = 0.0f, highest = 0.0f;
    for (std::size_t i = 0; i < trace.v.size(); ++i) {
        const double t = static_cast<double>(i) * 0.1;
        const double expected = t < 10.0 - 1e-9 || t > 110.0 + 1e-9
                                    ? 0.0
                                    : 500.0 * std::sin(2.0 * M_PI * 50.0 * (t - 10.0) / 1000.0);
        ASSERT_NEAR(trace.v[i], expected, 0.01) << "sample " << i;
        lowest = std::min(lowest, trace.v[i]);
        highest = std::max(highest, trace.v[i]);
    }
    // The amplitude is the sine's peak: peak to peak is twice the parameter.
    EXPECT_NEAR(highest - lowest, 1000.0f, 0.01f);
}

TEST(WaveSynthesis, ChirpCrossesZeroWhereItsPhaseSaysAndSpeedsUp) {
    // 100 Hz at "on" to 200 Hz at "off" over 100 ms: the phase is 2 pi (100 tau + 500 tau^2), so
    // the k-th zero crossing lies at 100 tau + 500 tau^2 = k / 2.
    WaveformParameters p;
    p.waveform = 'C';
    p.sampleInterval = 10;
    p.sampleCount = 12000;
    p.chirpStartHz = 100.0f;
    p.chirpEndHz = 200.0f;
    const Trace trace = synthesize(p);
    const std::vector<double> crossings = zeroCrossings(trace, 10.0 + 0.005, 110.0 - 0.005);
    ASSERT_EQ(crossings.size(), 29u);  // 15 cycles: crossings 1 .. 29 inside, 30 at "off"
    for (std::size_t k = 1; k <= crossings.size(); ++k) {
        const double tau = (-100.0 + std::sqrt(100.0 * 100.0 + 4.0 * 500.0 * (k / 2.0))) / (2.0 * 500.0);
        EXPECT_NEAR(crossings[k - 1], 10.0 + 1000.0 * tau, 0.002) << "crossing " << k;
    }
    for (std::size_t k = 2; k < crossings.size(); ++k) {
        EXPECT_LT(crossings[k] - crossings[k - 1], crossings[k - 1] - crossings[k - 2]) << k;
    }
    // Half periods run from about 1 / (2 x 100 Hz) to 1 / (2 x 200 Hz).
    EXPECT_NEAR(crossings[1] - crossings[0], 5.0, 0.5);
    EXPECT_NEAR(crossings[28] - crossings[27], 2.5, 0.1);
}

TEST(WaveSynthesis, OutsideTheStepEveryValueIsZero) {
    // With no amplitude a chirp is the DC level exactly, from the sample at "on" to the one at
    // "off", both included.
    WaveformParameters p;
    p.waveform = 'C';
    p.amplitude = 0.0f;
    p.dcStep = 50.0f;
    p.sampleCount = 1500;
    Trace trace = synthesize(p);
    for (std::size_t i = 0; i < trace.v.size(); ++i)
        EXPECT_EQ(trace.v[i], i >= 100 && i <= 1100 ? 50.0f : 0.0f) << i;

    // Noise: zero outside; inside, the DC level plus deviates scaled by the amplitude.
    p.waveform = 'N';
    p.amplitude = 100.0f;
    p.sampleInterval = 10;
    p.sampleCount = 20000;
    trace = synthesize(p);
    double sum = 0.0, squares = 0.0;
    int inside = 0;
    for (std::size_t i = 0; i < trace.v.size(); ++i) {
        if (i < 1000 || i > 11000) {
            ASSERT_EQ(trace.v[i], 0.0f) << i;
            continue;
        }
        sum += trace.v[i];
        squares += static_cast<double>(trace.v[i]) * trace.v[i];
        ++inside;
    }
    ASSERT_EQ(inside, 10001);
    const double mean = sum / inside;
    EXPECT_NEAR(mean, 50.0, 4.0);
    EXPECT_NEAR(std::sqrt(squares / inside - mean * mean), 100.0, 3.0);
}

TEST(WaveSynthesis, StepOfNoLengthGivesTheDcLevelAtItsOneInstant) {
    for (char waveform : {'C', 'R', 'S'}) {
        WaveformParameters p;
        p.waveform = waveform;
        p.stepOn = 10.0f;
        p.stepOff = 10.0f;
        p.dcStep = 50.0f;
        const Trace trace = synthesize(p);
        for (std::size_t i = 0; i < trace.v.size(); ++i) {
            ASSERT_TRUE(std::isfinite(trace.v[i])) << waveform << " sample " << i;
            EXPECT_EQ(trace.v[i], i == 100 ? 50.0f : 0.0f) << waveform << " sample " << i;
        }
    }
}

}  // namespace
}  // namespace ephys
