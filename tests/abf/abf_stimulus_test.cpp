#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "abf/abf_file.h"
#include "abf/abf_stimulus.h"
#include "abf_results.h"
#include "abf_test_support.h"

namespace ephys {
namespace {

using Runs = std::vector<std::pair<int, float>>;
using Bounds = std::pair<int, int>;

// First and last sample of an epoch of DAC `dac`, checking the error number.
Bounds bounds(const AbfHeader& h, int dac, int sweep, int epoch, int expectError = kAbfOk) {
    Bounds b{-2, -2};
    EXPECT_EQ(abfEpochBounds(h, h.adcSamplingSeq[0], dac, sweep, epoch, b.first, b.second), expectError)
        << "dac " << dac << " sweep " << sweep << " epoch " << epoch;
    return b;
}

// The waveform as runs of equal values: (first sample, level) of each.
Runs waveRuns(const AbfHeader& h, int dac, int sweep, int expectError = kAbfOk) {
    std::vector<float> w;
    EXPECT_EQ(abfStimulusWaveform(h, dac, sweep, w), expectError);
    EXPECT_EQ(static_cast<int>(w.size()), abfSamplesPerChannel(h));
    Runs out;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (i == 0 || w[i] != w[i - 1]) out.emplace_back(static_cast<int>(i), w[i]);
    }
    return out;
}

AbfHeader headerOf(const std::string& name, AbfFile& file) {
    AbfHeader h;
    int samples = 0;
    const Result<int> opened = file.open(abf_test::samplePath(name), h, samples);
    EXPECT_TRUE(opened) << name << ": " << abf_test::errorText(opened);
    return h;
}

// A current-step protocol (ABF2): sweeps of 60000 samples, holding stretch 60000 / 64 = 937,
// epochs A..E of 2000 and 4 x 10000 samples, B and E stepping by +25 pA per sweep. python3-neo's
// reconstruction of the protocol changes level at the same samples.
TEST(AbfEpochs, CurrentStepProtocol) {
    EPHYS_REQUIRE_ABF_SAMPLES();
    AbfFile file;
    const AbfHeader h = headerOf("2019_07_24_0055_fsi.abf", file);
    EXPECT_EQ(h.stimulusChannelSwitch, 0);
    const Bounds expected[] = {{937, 2936}, {2937, 12936}, {12937, 22936}, {22937, 32936}, {32937, 42936}};
    for (int sweep : {1, 17}) {
        for (int e = 0; e < 5; ++e) EXPECT_EQ(bounds(h, 0, sweep, e), expected[e]) << "epoch " << e;
        EXPECT_EQ(bounds(h, 0, sweep, 5, kAbfErrEpochNotFound), Bounds(-1, -1));
        bounds(h, 1, sweep, 0, kAbfErrNoWaveform);  // DAC 1 has no epoch waveform
    }
    EXPECT_EQ(waveRuns(h, 0, 1),
              (Runs{{0, 0.0f}, {2937, -100.0f}, {12937, 0.0f}, {22937, -100.0f}, {42937, 0.0f}}));
    EXPECT_EQ(
        waveRuns(h, 0, 17),
        (Runs{{0, 0.0f}, {2937, 300.0f}, {12937, 0.0f}, {22937, -100.0f}, {32937, 300.0f}, {42937, 0.0f}}));

    // The recorded membrane potential follows: -100 pA in epoch B of sweep 1 hyperpolarises the
    // cell, +300 pA in sweep 17 depolarises it.
    auto mean = [&](int sweep, int from, int to) {
        std::vector<float> v;
        int error = -1;
        abf_test::take(file.readSweep(0, sweep, v), error);
        return std::accumulate(v.begin() + from, v.begin() + to, 0.0) / (to - from);
    };
    EXPECT_LT(mean(1, 3137, 12937), mean(1, 937, 2937) - 20.0);
    EXPECT_GT(mean(17, 3137, 12937), mean(17, 937, 2937) + 10.0);
}

// An F/I protocol (ABF2, 30000 samples, holding 468): A -100 pA, B 0, C +10 pA per sweep; and the
// ABF1 per-DAC epoch table (30640 samples, holding 478; B after A of 10000, -120 + 60 per sweep).
TEST(AbfEpochs, FrequencyCurrentProtocolAndAbf1Table) {
    EPHYS_REQUIRE_ABF_SAMPLES();
    AbfFile file;
    const AbfHeader h = headerOf("18711001.abf", file);
    EXPECT_EQ(bounds(h, 0, 30, 0), Bounds(468, 6467));
    EXPECT_EQ(bounds(h, 0, 30, 2), Bounds(16468, 26467));
    EXPECT_EQ(waveRuns(h, 0, 30),
              (Runs{{0, 0.0f}, {468, -100.0f}, {6468, 0.0f}, {16468, 290.0f}, {26468, 0.0f}}));
    EXPECT_EQ(waveRuns(h, 0, 1), (Runs{{0, 0.0f}, {468, -100.0f}, {6468, 0.0f}}));

    const AbfHeader one = headerOf("190619B_0003.abf", file);
    EXPECT_EQ(bounds(one, 0, 1, 1), Bounds(10478, 20477));
    EXPECT_EQ(waveRuns(one, 0, 5), (Runs{{0, 0.0f}, {10478, 120.0f}, {20478, 0.0f}}));
    EXPECT_EQ(waveRuns(one, 0, 3), (Runs{{0, 0.0f}}));
}

// Made-up epoch tables: one channel, 6400 samples per sweep (holding stretch 100), DAC 0
// holding at -70.
class EpochTable : public ::testing::Test {
  protected:
    void SetUp() override {
        abfResetHeader(h);
        h.operationMode = kAbfEpisodic;
        h.adcNumChannels = 1;
        h.adcSamplingSeq[0] = 3;
        h.numSamplesPerEpisode = 6400;
        h.actualEpisodes = 5;
        h.dacs[0].waveformEnable = 1;
        h.dacs[0].waveformSource = kAbfWaveformEpochs;
        h.dacs[0].holdingLevel = -70.0f;
    }
    AbfEpoch& set(int e, std::int16_t type, float level, int duration) {
        AbfEpoch& epoch = h.dacs[0].epochs[static_cast<std::size_t>(e)];
        epoch.type = type;
        epoch.initLevel = level;
        epoch.initDuration = duration;
        return epoch;
    }
    AbfHeader h;
};

TEST_F(EpochTable, PositionsWithDisabledEpochsAndIncrements) {
    set(0, kAbfEpochStep, 10.0f, 1000).durationIncrement = 100;
    h.dacs[0].epochs[0].levelIncrement = 5.0f;
    set(1, kAbfEpochOff, 50.0f, 500);                       // disabled: takes no time
    set(2, kAbfEpochStep, 0.0f, 0).durationIncrement = 50;  // no samples in sweep 1
    set(3, kAbfEpochStep, 20.0f, 10000);                    // runs past the sweep's end
    set(4, kAbfEpochStep, 30.0f, 10);                       // starts past it
    EXPECT_EQ(bounds(h, 0, 1, 0), Bounds(100, 1099));
    bounds(h, 0, 1, 1, kAbfErrEpochNotFound);
    bounds(h, 0, 1, 2, kAbfErrEpochNotFound);
    EXPECT_EQ(bounds(h, 0, 1, 3), Bounds(1100, 6399));
    bounds(h, 0, 1, 4, kAbfErrEpochNotFound);
    EXPECT_EQ(bounds(h, 0, 3, 0), Bounds(100, 1299));
    EXPECT_EQ(bounds(h, 0, 3, 2), Bounds(1300, 1399));
    EXPECT_EQ(waveRuns(h, 0, 3), (Runs{{0, -70.0f}, {100, 20.0f}, {1300, 0.0f}, {1400, 20.0f}}));
}

TEST_F(EpochTable, RampsTrainsAndTheLevelBetweenSweeps) {
    set(0, kAbfEpochRamp, -10.0f, 600);
    std::vector<float> w;
    ASSERT_EQ(abfStimulusWaveform(h, 0, 1, w), kAbfOk);
    EXPECT_EQ(w[100], -70.0f);  // continuous at the epoch start
    EXPECT_FLOAT_EQ(w[400], -40.0f);
    EXPECT_TRUE(std::is_sorted(w.begin() + 100, w.begin() + 700));
    EXPECT_NEAR(w[699], -10.0f, 0.11f);
    EXPECT_EQ(w[700], -70.0f);

    set(0, kAbfEpochStep, 0.0f, 100);
    AbfEpoch& train = set(1, kAbfEpochPulseTrain, 50.0f, 250);
    train.pulsePeriod = 100;
    train.pulseWidth = 20;
    EXPECT_EQ(waveRuns(h, 0, 1), (Runs{{0, -70.0f},
                                       {100, 0.0f},
                                       {200, 50.0f},
                                       {220, 0.0f},
                                       {300, 50.0f},
                                       {320, 0.0f},
                                       {400, 50.0f},
                                       {420, 0.0f},
                                       {450, -70.0f}}));

    // "Use last epoch level": the level stays after the last epoch and starts the next sweep.
    h.dacs[0].interEpisodeLevel = 1;
    set(1, kAbfEpochOff, 0.0f, 0);
    set(0, kAbfEpochStep, 30.0f, 1000).levelIncrement = 10.0f;
    EXPECT_EQ(waveRuns(h, 0, 1), (Runs{{0, -70.0f}, {100, 30.0f}}));
    EXPECT_EQ(waveRuns(h, 0, 2), (Runs{{0, 30.0f}, {100, 40.0f}}));
}

TEST_F(EpochTable, Refusals) {
    set(0, kAbfEpochStep, 10.0f, 1000);
    int first = 0;
    int last = 0;
    EXPECT_EQ(abfEpochBounds(h, 0, 0, 1, 0, first, last), kAbfErrChannelNotSampled);
    EXPECT_EQ(abfEpochBounds(h, 3, 8, 1, 0, first, last), kAbfErrBadArgument);
    EXPECT_EQ(abfEpochBounds(h, 3, 0, 0, 0, first, last), kAbfErrSweepRange);
    EXPECT_EQ(abfEpochBounds(h, 3, 0, 6, 0, first, last), kAbfErrSweepRange);
    EXPECT_EQ(abfEpochBounds(h, 3, 0, 1, kAbfEpochCount, first, last), kAbfErrEpochNotFound);
    std::vector<float> w;
    EXPECT_EQ(abfStimulusWaveform(h, -1, 1, w), kAbfErrBadArgument);

    // Without an epoch waveform the output holds; a DAC file cannot be rebuilt.
    h.dacs[0].waveformSource = kAbfWaveformDacFile;
    EXPECT_EQ(waveRuns(h, 0, 1, kAbfErrDacFile), (Runs{{0, -70.0f}}));
    bounds(h, 0, 1, 0, kAbfErrNoWaveform);
    h.dacs[0].waveformSource = kAbfWaveformEpochs;
    h.dacs[0].waveformEnable = 0;
    EXPECT_EQ(waveRuns(h, 0, 1), (Runs{{0, -70.0f}}));
    h.dacs[0].waveformEnable = 1;
    h.operationMode = kAbfGapFree;
    bounds(h, 0, 1, 0, kAbfErrNoWaveform);
}

}  // namespace
}  // namespace ephys
