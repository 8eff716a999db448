#include "psc/hum_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "params/c_numbers.h"
#include "psc/frame_buffers.h"

namespace ephys {
namespace {

constexpr double kDtMs = 0.05;  // 20 kHz
constexpr int kFrame = 2048;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Mains hum of 50 Hz with its second and third harmonics, at recording sample `i`.
double hum(std::int64_t i, double phase = 0.3) {
    const double t = static_cast<double>(i) * kDtMs / 1000.0;
    return 3.0 * std::sin(kTwoPi * 50.0 * t + phase) + 1.0 * std::cos(kTwoPi * 100.0 * t + 0.7) +
           0.5 * std::sin(kTwoPi * 150.0 * t + 2.0);
}

// What is left when the hum is gone: an offset, a slow drift, and an event every 307 ms (not
// locked to the mains, as events are not).
double rest(std::int64_t i) {
    const double ms = static_cast<double>(i) * kDtMs;
    const double since = std::fmod(ms, 307.0) - 40.0;
    const double event = since > 0.0 ? -20.0 * (std::exp(-since / 5.0) - std::exp(-since / 0.5)) : 0.0;
    return 5.0 + 4.0 * std::sin(kTwoPi * 0.2 * ms / 1000.0) + event;
}

PscHumSpec continuousSpec(int frame) {
    PscHumSpec s;
    s.hz = 50.0;
    s.sampleIntervalMs = kDtMs;
    s.frameLength = kFrame;
    s.firstSample = static_cast<std::int64_t>(frame) * kFrame - kFrameLead;
    s.continuous = true;
    s.firstValid = 0;
    s.validEnd = kFrame + kFrameLead + kFrameTail;
    return s;
}

std::vector<float> bufferOf(const PscHumSpec& s, double (*signal)(std::int64_t)) {
    std::vector<float> b(static_cast<std::size_t>(kFrame + kFrameLead + kFrameTail));
    for (std::size_t q = 0; q < b.size(); ++q)
        b[q] = static_cast<float>(signal(s.firstSample + static_cast<std::int64_t>(q)));
    return b;
}

double hummed(std::int64_t i) {
    return hum(i) + rest(i);
}

// The frame fitted, its fit added to the averages and the average subtracted, as a frame is read
// and then detected.
bool removeHum(const PscHumSpec& s, std::vector<float>& b, PscHumWork& work) {
    return pscRemoveHum(s, pscFitHumFrame(s, b), b, work);
}

TEST(HumRemoval, HumAndHarmonicsOfContinuousFramesGoTheRestStays) {
    PscHumWork work;
    double worst = 0.0;
    for (int frame = 0; frame < 60; ++frame) {
        const PscHumSpec s = continuousSpec(frame);
        std::vector<float> b = bufferOf(s, hummed);
        ASSERT_TRUE(removeHum(s, b, work));
        if (frame < 49) continue;
        for (std::size_t q = 0; q < b.size(); ++q)
            worst = std::max(worst, std::fabs(b[q] - rest(s.firstSample + static_cast<std::int64_t>(q))));
    }
    // The events and the drift pull each frame's fit; once 5 s of fits are averaged, hardly.
    EXPECT_LT(worst, 0.15);
    EXPECT_NEAR(pscHumAmplitude(work), 3.0, 0.05);
}

TEST(HumRemoval, NoiseAloneLeavesAlmostNothingToRemove) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> noise(0.0, 8.0);
    std::vector<double> recording(static_cast<std::size_t>(120 * kFrame + kFrameLead + kFrameTail));
    for (double& v : recording) v = noise(rng);
    PscHumWork work;
    for (int frame = 1; frame < 120; ++frame) {
        const PscHumSpec s = continuousSpec(frame);
        std::vector<float> b(static_cast<std::size_t>(kFrame + kFrameLead + kFrameTail));
        for (std::size_t q = 0; q < b.size(); ++q)
            b[q] = static_cast<float>(recording[static_cast<std::size_t>(s.firstSample) + q]);
        const std::vector<float> before = b;
        ASSERT_TRUE(removeHum(s, b, work));
        double largest = 0.0;
        for (std::size_t q = 0; q < b.size(); ++q)
            largest = std::max(largest, std::fabs(double{b[q]} - before[q]));
        // The first frames' fits rest on few points; after a second the average is small.
        if (frame > 20) {
            EXPECT_LT(largest, 1.0) << frame;
        }
    }
    EXPECT_LT(pscHumAmplitude(work), 0.3);
}

TEST(HumRemoval, TheSearchFindsSixtyHertzHumAndLeavesNoiseAlone) {
    // 2 pA of hum in 4 pA of white noise.
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 4.0);
    const auto length = static_cast<std::size_t>(200 * kFrame + kFrameLead + kFrameTail);
    std::vector<double> quiet(length), hummed(length);
    for (std::size_t i = 0; i < length; ++i) {
        quiet[i] = noise(rng);
        hummed[i] = quiet[i] + 2.0 * std::sin(kTwoPi * 60.0 * static_cast<double>(i) * kDtMs / 1000.0 + 1.0);
    }
    PscHumWork alone, found;
    int hummedFrames = 0;
    for (int frame = 1; frame < 200; ++frame) {
        PscHumSpec s = continuousSpec(frame);
        s.hz = kPscHumSearch;
        std::vector<float> a(length - 199 * kFrame), b(a.size());
        for (std::size_t q = 0; q < a.size(); ++q) {
            a[q] = static_cast<float>(quiet[static_cast<std::size_t>(s.firstSample) + q]);
            b[q] = static_cast<float>(hummed[static_cast<std::size_t>(s.firstSample) + q]);
        }
        EXPECT_FALSE(removeHum(s, a, alone)) << frame;
        if (removeHum(s, b, found)) {
            ++hummedFrames;
            EXPECT_EQ(found.removedHz[1], 60.0);
            EXPECT_EQ(found.removedHz[0], 0.0);
        }
    }
    // The search needs a few frames; after them the hum is found in every frame.
    EXPECT_GE(hummedFrames, 180);
    EXPECT_NEAR(pscHumAmplitude(found), 2.0, 0.2);
    EXPECT_EQ(pscHumLine("a.abf", alone, 199), "");
    const std::string line = pscHumLine("b.abf", found, 199);
    ASSERT_EQ(line.substr(0, 20), "Mains hum in b.abf: ") << line;
    EXPECT_NEAR(cAtof(line.substr(20)), 2.0, 0.1) << line;
    EXPECT_NE(line.find(" pA at 60 Hz, with its harmonics, taken out of 9"), std::string::npos) << line;
}

TEST(HumRemoval, EpisodesAreFittedOnTheirOwnAndABreakStartsAfresh) {
    // Each episode's hum has its own phase: averaged with the others it would cancel.
    PscHumWork work;
    for (int episode = 0; episode < 8; ++episode) {
        PscHumSpec s = continuousSpec(0);
        s.continuous = false;
        const double phase = 0.8 * episode;
        std::vector<float> b(static_cast<std::size_t>(kFrame + kFrameLead + kFrameTail));
        for (std::size_t q = 0; q < b.size(); ++q)
            b[q] = static_cast<float>(hum(static_cast<std::int64_t>(q), phase));
        ASSERT_TRUE(removeHum(s, b, work));
        EXPECT_NEAR(pscHumAmplitude(work), 3.0, 0.01) << episode;
        for (const float v : b) ASSERT_LT(std::fabs(v), 0.02) << episode;
    }

    // A continuous frame that does not follow the last one (frames skipped): its own fit only.
    PscHumWork skipping;
    for (int frame : {3, 4, 9}) {
        const PscHumSpec s = continuousSpec(frame);
        std::vector<float> b =
            bufferOf(s, [](std::int64_t i) { return hum(i, i < 9 * kFrame - kFrameLead ? 0.3 : 2.5); });
        ASSERT_TRUE(removeHum(s, b, skipping));
        for (const float v : b) ASSERT_LT(std::fabs(v), 0.02) << frame;
    }
}

TEST(HumRemoval, TooFewCyclesOrNoResolvableHarmonicLeaveTheBufferAlone) {
    PscHumWork work;
    PscHumSpec s = continuousSpec(0);
    s.validEnd = s.firstValid + 700;  // 35 ms: under two cycles of 50 Hz
    std::vector<float> b = bufferOf(s, hummed);
    const std::vector<float> before = b;
    EXPECT_FALSE(removeHum(s, b, work));
    EXPECT_EQ(b, before);

    // Sampled at 160 Hz, 50 Hz lies above a quarter of the rate; 0 Hz is no frequency.
    s = continuousSpec(0);
    s.sampleIntervalMs = 6.25;
    EXPECT_FALSE(removeHum(s, b, work));
    s.sampleIntervalMs = kDtMs;
    s.hz = 0.0;
    EXPECT_FALSE(removeHum(s, b, work));
    EXPECT_EQ(b, before);

    // Sampled at 1 kHz, 60 Hz hum is fitted with the harmonics below 250 Hz.
    s = continuousSpec(0);
    s.hz = 60.0;
    s.sampleIntervalMs = 1.0;
    for (std::size_t q = 0; q < b.size(); ++q) {
        const double t = static_cast<double>(q) / 1000.0;
        b[q] = static_cast<float>(2.0 * std::sin(kTwoPi * 60.0 * t) + std::sin(kTwoPi * 180.0 * t + 1.0));
    }
    EXPECT_TRUE(removeHum(s, b, work));
    for (const float v : b) ASSERT_LT(std::fabs(v), 0.02);
}

}  // namespace
}  // namespace ephys
