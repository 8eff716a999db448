#include "abf/synthetic_recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace ephys {
namespace {

std::vector<float> whole(const PscSynthesizer& s, int sweep, std::int64_t n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    s.fill(sweep, 0, v);
    return v;
}

TEST(SyntheticPsc, SameSeedSameRecordingHoweverItIsCut) {
    PscSynthSpec spec;
    spec.samplesPerSweep = 200000;
    spec.rateHz = 20;
    spec.driftPa = 5;
    PscSynthesizer a(spec), b(spec);
    ASSERT_FALSE(a.events().empty());
    ASSERT_EQ(a.events().size(), b.events().size());
    std::vector<float> all = whole(a, 1, spec.samplesPerSweep);
    std::vector<float> pieces(all.size());
    for (std::size_t at = 0; at < pieces.size(); at += 12345) {
        const std::size_t n = std::min<std::size_t>(12345, pieces.size() - at);
        b.fill(1, static_cast<std::int64_t>(at), std::span<float>(pieces).subspan(at, n));
    }
    EXPECT_EQ(all, pieces);
    spec.seed = 2;
    PscSynthesizer c(spec);
    EXPECT_NE(c.events()[0].onsetS, a.events()[0].onsetS);
}

TEST(SyntheticPsc, AnIsolatedEventHasItsStatedPeakAndRise) {
    PscSynthSpec spec;
    spec.intervalUs = 10;
    spec.samplesPerSweep = 100000;  // 1 s
    spec.rateHz = 1.5;
    spec.noiseSdPa = 0;
    spec.amplitudeLogSd = 0;  // every amplitude is the median
    spec.tauRiseMs = 0.5;
    spec.tauDecayMs = 5;
    spec.minGapMs = 100;  // no overlap between events
    PscSynthesizer s(spec);
    ASSERT_FALSE(s.events().empty());
    std::vector<float> v = whole(s, 1, spec.samplesPerSweep);
    const PscEventTruth& e = s.events().front();
    EXPECT_DOUBLE_EQ(e.amplitudePa, -30.0);
    // The analytic peak of a difference of exponentials with 0.5 and 5 ms lies at
    // 0.5 * 5 / 4.5 * ln 10 = 1.2792 ms after the onset.
    EXPECT_NEAR(e.peakS - e.onsetS, 0.5 * 5 / 4.5 * std::log(10.0) * 1e-3, 1e-9);
    const auto onset = static_cast<std::size_t>(std::ceil(e.onsetS / 1e-5));
    auto minimum = std::min_element(v.begin() + static_cast<std::ptrdiff_t>(onset),
                                    v.begin() + static_cast<std::ptrdiff_t>(onset + 2000));
    EXPECT_NEAR(*minimum, -30.0, 0.01);
    EXPECT_NEAR((minimum - v.begin()) * 1e-5, e.peakS, 2e-5);
    // The 10-90 % rise measured on the samples.
    std::size_t k10 = onset, k90 = onset;
    while (v[k10] > -3.0f) ++k10;
    while (v[k90] > -27.0f) ++k90;
    EXPECT_NEAR((static_cast<double>(k90) - static_cast<double>(k10)) * 0.01, e.rise1090Ms, 0.02);
    // Outside every event the trace is the holding level.
    EXPECT_EQ(v[0], 0.0f);
}

TEST(SyntheticPsc, EventRateFollowsTheSpec) {
    PscSynthSpec spec;
    spec.samplesPerSweep = 20 * 20000 * 10;  // 200 s at 20 kHz
    spec.intervalUs = 50;
    spec.rateHz = 5;
    PscSynthesizer s(spec);
    const double expected = 5.0 * 200.0;
    EXPECT_NEAR(static_cast<double>(s.events().size()), expected, 5 * std::sqrt(expected));
    EXPECT_TRUE(std::is_sorted(s.events().begin(), s.events().end(),
                               [](const auto& a, const auto& b) { return a.onsetS < b.onsetS; }));
    EXPECT_LT(s.events().back().peakS, 200.0);
}

TEST(SyntheticSpikes, SpikesAppearAboveRheobaseAndPeakOnTheirSamples) {
    SpikeSynthSpec spec;
    spec.noiseSdMv = 0;
    spec.sweeps = 6;  // -50, -25, 0, 25, 50, 75 pA ... 75 pA is above the 50 pA rheobase
    spec.firstStepPa = -50;
    spec.stepIncrementPa = 25;
    spec.stepLength = 16000;
    spec.gainHzPerPa = 2;
    spec.channels = 2;
    SpikeSynthesizer s(spec);
    EXPECT_EQ(s.stepStartSample(), 20000 / 64);
    for (int sweep = 1; sweep <= spec.sweeps; ++sweep) {
        std::vector<float> v(static_cast<std::size_t>(spec.samplesPerSweep));
        s.fill(sweep, 1, 0, v);
        std::vector<double> peaks;
        for (std::size_t k = 1; k + 1 < v.size(); ++k) {
            if (v[k] > 0 && v[k] >= v[k - 1] && v[k] > v[k + 1])
                peaks.push_back(static_cast<double>(k) * 50e-6);
        }
        std::vector<double> truth;
        for (const SpikeTruth& t : s.spikes()) {
            if (t.sweep == sweep && t.channel == 1) truth.push_back(t.peakS);
        }
        ASSERT_EQ(peaks.size(), truth.size()) << "sweep " << sweep;
        for (std::size_t i = 0; i < peaks.size(); ++i) EXPECT_NEAR(peaks[i], truth[i], 1e-9);
        if (s.stepLevelPa(sweep) <= spec.rheobasePa) {
            EXPECT_TRUE(truth.empty());
        }
        if (sweep == spec.sweeps) {
            EXPECT_GE(truth.size(), 5u);
        }
        // Before the step the cell rests.
        EXPECT_NEAR(v[10], spec.restMv, 1e-4);
    }
}

}  // namespace
}  // namespace ephys
