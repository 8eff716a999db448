// The noise of abfsynth's voltage-clamp recordings that the model detectors are measured in:
// pink (1/f) noise and mains hum beside the white noise.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "abf/synthetic_recording.h"

namespace ephys {
namespace {

PscSynthSpec quietSpec() {
    PscSynthSpec spec;
    spec.rateHz = 0.0;  // no events
    spec.noiseSdPa = 0.0;
    spec.samplesPerSweep = 1 << 18;
    return spec;
}

double variance(const std::vector<float>& v) {
    double sum = 0.0, squares = 0.0;
    for (const float x : v) {
        sum += x;
        squares += static_cast<double>(x) * x;
    }
    const double n = static_cast<double>(v.size());
    return squares / n - (sum / n) * (sum / n);
}

// Variance of the means of consecutive blocks of `block` samples: for white noise it falls as
// 1 / block, for 1/f noise far more slowly.
double blockVariance(const std::vector<float>& v, std::size_t block) {
    std::vector<float> means;
    for (std::size_t i = 0; i + block <= v.size(); i += block) {
        double sum = 0.0;
        for (std::size_t j = 0; j < block; ++j) sum += v[i + j];
        means.push_back(static_cast<float>(sum / static_cast<double>(block)));
    }
    return variance(means);
}

TEST(SyntheticNoise, PinkNoiseHasItsSdAndAOneOverFSpectrum) {
    PscSynthSpec spec = quietSpec();
    spec.pinkNoiseSdPa = 8.0;
    const PscSynthesizer synth(spec);
    std::vector<float> v(1 << 18);
    synth.fill(1, 0, v);
    EXPECT_NEAR(std::sqrt(variance(v)), 8.0, 1.0);
    // 1/f: every octave holds the same power, so averaging over 16 samples keeps about 12 of the
    // 16 octaves' power (white noise would keep 1/16 of it); averaging over 1024 about 6 (1/1024).
    const double whole = variance(v);
    EXPECT_GT(blockVariance(v, 16) / whole, 0.65);
    EXPECT_LT(blockVariance(v, 16) / whole, 0.92);
    EXPECT_GT(blockVariance(v, 1024) / whole, 0.3);
    EXPECT_LT(blockVariance(v, 1024) / whole, 0.7);
    // Pieces written one after the other are the stretches of the whole.
    std::vector<float> piece(1000);
    synth.fill(1, 123456, piece);
    for (std::size_t i = 0; i < piece.size(); ++i) ASSERT_EQ(piece[i], v[123456 + i]) << i;
}

TEST(SyntheticNoise, MainsHumIsASineOfItsAmplitudeAndFrequency) {
    PscSynthSpec spec = quietSpec();
    spec.humPa = 3.0;
    spec.humHz = 60.0;
    const PscSynthesizer synth(spec);
    std::vector<float> v(2000);
    synth.fill(1, 0, v);
    for (std::size_t k = 0; k < v.size(); k += 37) {
        const double t = static_cast<double>(k) * spec.intervalUs * 1e-6;
        EXPECT_NEAR(v[k], 3.0 * std::sin(2.0 * std::numbers::pi * 60.0 * t), 1e-5) << k;
    }
}

}  // namespace
}  // namespace ephys
