// Whole runs on recordings with known spikes: the synthesizer's current-clamp sweeps (int16 and
// float, one to three channels) against its ground truth, hand-made extracellular traces for the
// slope method and negative polarity, and the run's failure paths.
#include "spike/spike_count.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "../abf/abf_results.h"
#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "spike_test_support.h"

namespace ephys {
namespace {

using namespace spike_test;

bool hasMessage(const CapturedMessages& m, const std::string& text) {
    for (const auto& e : m.entries())
        if (e.text == text) return true;
    return false;
}

// Latencies of each sweep from an X file ("<sweep>\t<count>\t<latency>\t...").
std::map<int, std::vector<double>> latencyFile(const std::string& path) {
    std::map<int, std::vector<double>> rows;
    const std::vector<std::string> lines = splitLines(readText(path));
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::vector<std::string> cells = splitCells(lines[i], '\t');
        std::vector<double>& lat = rows[std::stoi(cells.at(0))];
        for (std::size_t k = 2; k < cells.size(); ++k) lat.push_back(std::stod(cells[k]));
        EXPECT_EQ(static_cast<int>(lat.size()), std::stoi(cells.at(1))) << path << ": " << lines[i];
    }
    return rows;
}

// Slope and X intercept by the centred sums, independent of the program's own sums.
std::pair<double, double> centredFit(const std::vector<std::pair<double, double>>& pts) {
    double mx = 0, my = 0, sxy = 0, sxx = 0;
    for (const auto& [x, y] : pts)
        mx += x / static_cast<double>(pts.size()), my += y / static_cast<double>(pts.size());
    for (const auto& [x, y] : pts) sxy += (x - mx) * (y - my), sxx += (x - mx) * (x - mx);
    return {sxy / sxx, mx - my * sxx / sxy};
}

SpikeSynthSpec currentSteps(int channels, int sweeps) {
    SpikeSynthSpec cell;
    cell.samplesPerSweep = 20000;  // 1 s at 50 us
    cell.stepLength = 10000;       // 0.5 s from sample 312
    cell.sweeps = sweeps;
    cell.channels = channels;
    cell.firstStepPa = -50;
    cell.stepIncrementPa = 50;  // up to 300 pA
    cell.rheobasePa = 50;
    cell.gainHzPerPa = 0.5;  // up to 125 Hz
    cell.seed = 7;
    return cell;
}

SpikeParams countInTheStep() {
    SpikeParams p;
    p.stimulusEpoch = 'A';
    p.maxSpikeDuration = 3.0f;  // a synthetic spike takes about 1.1 ms from -25 mV back to -28 mV
    p.rawDataOutput = 'Y';
    p.exportAmplitudes = 'Y';
    p.doFrequencies = 'Y';
    p.intervalToMeasure = 3;
    p.newNameFormat = 'Y';
    return p;
}

class SyntheticSteps : public ::testing::TestWithParam<AbfSampleFormat> {};

TEST_P(SyntheticSteps, CountsLatenciesAmplitudesAndFitsMatchTheTruth) {
    const bool isFloat = GetParam() == AbfSampleFormat::Float32;
    TempDir dir;
    const SpikeSynthSpec cell = currentSteps(2, 8);
    const SpikeSynthesizer synth(cell);
    writeSpikeRecording(dir.file("steps.abf"), cell, GetParam());
    RunOutcome run;
    runOn(run, countInTheStep(), dir.file("steps.abf"));
    ASSERT_TRUE(run.ok);
    EXPECT_TRUE(run.messages.empty());
    ASSERT_EQ(run.result.channels, (std::vector<int>{0, 1}));

    // Latencies from the step's start, within one sample of the true peaks; the F/I points of
    // the first, third and last interval from the truth and from what was found.
    const double stepStartMs = static_cast<double>(synth.stepStartSample()) * 0.05;
    std::vector<std::vector<std::pair<double, double>>> truthPoints(3), foundPoints(3);
    int spikes = 0;
    for (int c = 0; c < 2; ++c) {
        const auto rows = latencyFile(dir.file(c == 0 ? "stepsXA.prn" : "stepsXB.prn"));
        for (int sweep = 1; sweep <= cell.sweeps; ++sweep) {
            const std::vector<double> peaks = truePeaksMs(synth, c, sweep);
            const std::vector<double>& lat = rows.at(sweep);
            ASSERT_EQ(lat.size(), peaks.size()) << "channel " << c << " sweep " << sweep;
            for (std::size_t k = 0; k < lat.size(); ++k) EXPECT_NEAR(lat[k], peaks[k] - stepStartMs, 0.056);
            spikes += static_cast<int>(lat.size());
            const std::size_t q = lat.size();
            auto add = [&](auto& to, const std::vector<double>& t) {
                if (q >= 2) to[0].push_back({synth.stepLevelPa(sweep), 1000.0 / (t[1] - t[0])});
                if (q > 3) to[1].push_back({synth.stepLevelPa(sweep), 1000.0 / (t[3] - t[2])});
                if (q >= 2) to[2].push_back({synth.stepLevelPa(sweep), 1000.0 / (t[q - 1] - t[q - 2])});
            };
            add(truthPoints, peaks);
            add(foundPoints, lat);
        }
    }
    EXPECT_GT(spikes, 100);

    // Amplitudes (per channel its times, then its amplitudes): peaks of 30 mV with 0.3 mV of
    // noise; float data are truncated to whole millivolts.
    const std::vector<std::string> u = splitLines(readText(dir.file("stepsU.prn")));
    ASSERT_EQ(u.size(), 3u + 8u);
    int amplitudes = 0;
    for (std::size_t i = 3; i < u.size(); ++i) {
        const std::vector<std::string> cells = splitCells(u[i], ',');
        std::size_t at = 3;
        for (int q : {std::stoi(cells[1]), std::stoi(cells[2])}) {
            at += static_cast<std::size_t>(q);
            for (int k = 0; k < q; ++k, ++at, ++amplitudes)
                EXPECT_LE(std::abs(std::stod(cells.at(at)) - 30.0), isFloat ? 2.0 : 1.5) << u[i];
        }
    }
    EXPECT_EQ(amplitudes, spikes);

    // The fits: exactly the lines through the intervals found, close to the truth's (a peak one
    // sample off changes an interval of 8 ms or more by at most 1.3 %), slopes near the gain.
    const std::vector<std::string> summary = splitLines(run.result.resultText);
    ASSERT_EQ(summary.size(), 6u);
    EXPECT_EQ(summary[0], "File: " + dir.file("steps"));
    const std::vector<std::string> k = splitLines(readText(dir.file("stepsK.prn")));
    for (std::size_t s = 0; s < 3; ++s) {
        const auto [slope, xIntercept] = centredFit(foundPoints[s]);
        const auto [trueSlope, trueXIntercept] = centredFit(truthPoints[s]);
        const std::vector<std::string> cells = splitCells(summary[3 + s], '\t');
        EXPECT_EQ(cells.at(0), std::to_string(s + 1));
        EXPECT_NEAR(std::stod(cells.at(1)), slope, 0.006) << summary[3 + s];
        EXPECT_NEAR(std::stod(cells.at(2)), xIntercept, 0.006) << summary[3 + s];
        EXPECT_NEAR(slope, trueSlope, 0.02 * trueSlope);
        EXPECT_NEAR(xIntercept, trueXIntercept, 3.0);
        EXPECT_NEAR(trueSlope, 0.5, 0.15);
        const std::vector<std::string> row = splitCells(k[k.size() - 3 + s], '\t');
        EXPECT_EQ(std::stoul(row.at(5)), foundPoints[s].size());
        EXPECT_EQ(row.at(6), "300.00");  // the last point is the last sweep's
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SyntheticSteps,
                         ::testing::Values(AbfSampleFormat::Int16, AbfSampleFormat::Float32),
                         [](const auto& info) {
                             return info.param == AbfSampleFormat::Int16 ? "Int16" : "Float32";
                         });

TEST(SyntheticChannels, ThreeChannelsCountedFromTheOnsetWithoutAnEpoch) {
    // ADCs 0, 3 and 5 of the range 0..15; the onset at 100 ms lies inside the step, whose level
    // becomes the sweep's stimulus.
    TempDir dir;
    const SpikeSynthSpec cell = currentSteps(3, 6);
    const SpikeSynthesizer synth(cell);
    writeSpikeRecording(dir.file("three.abf"), cell, AbfSampleFormat::Int16, {0, 3, 5});
    SpikeParams p;
    p.maxSpikeDuration = 3.0f;
    p.stimuliOutput = 'Y';
    p.newNameFormat = 'Y';
    RunOutcome run;
    runOn(run, p, dir.file("three.abf"));
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(listFiles(dir.path()), (std::vector<std::string>{"three.abf", "threeV.prn", "threeXA.prn",
                                                               "threeXD.prn", "threeXF.prn"}));
    const std::vector<std::string> v = splitLines(readText(dir.file("threeV.prn")));
    EXPECT_EQ(v.at(1),
              "3\t\"without amplitudes\"\t\"Spikes bigger than\"\t-25.0\t-25.0\t-25.0\t\"IN 0\"\t\"IN "
              "3\"\t\"IN 5\"");
    for (int c = 0; c < 3; ++c) {
        const auto rows = latencyFile(dir.file(std::string("threeX") + "ADF"[c] + ".prn"));
        for (int sweep = 1; sweep <= cell.sweeps; ++sweep) {
            std::vector<double> expected;
            for (double t : truePeaksMs(synth, c, sweep))
                if (t >= 100.0) expected.push_back(t - 100.0);
            const std::vector<double>& lat = rows.at(sweep);
            ASSERT_EQ(lat.size(), expected.size()) << "channel " << c << " sweep " << sweep;
            for (std::size_t k = 0; k < lat.size(); ++k) EXPECT_NEAR(lat[k], expected[k], 0.056);
            const std::vector<std::string> row = splitCells(v.at(2 + static_cast<std::size_t>(sweep)), '\t');
            EXPECT_EQ(std::stod(row.at(1)), synth.stepLevelPa(sweep));
            EXPECT_EQ(row.size() > 2u + c && !row[2 + c].empty() ? std::stoul(row[2 + c]) : 0u,
                      expected.size());
        }
    }
}

// Cuts the recording short once channel 0 of sweep 2 is done: every later read fails.
class TruncatingView final : public ProgressView {
  public:
    explicit TruncatingView(std::string path) : path_(std::move(path)) {}
    void update(const ProgressSnapshot& s) override {
        if (!done_ && s.line2.rfind("Episode   2, Electrode   0", 0) == 0)
            done_ = ::truncate(path_.c_str(), 4096) == 0;
    }

  private:
    std::string path_;
    bool done_ = false;
};

TEST(SyntheticChannels, ASweepThatCannotBeReadLeavesItsCountFieldsOut) {
    TempDir dir;
    SpikeSynthSpec cell = currentSteps(2, 3);
    cell.firstStepPa = 200;  // spikes in every sweep
    writeSpikeRecording(dir.file("cut.abf"), cell);
    SpikeParams p = countInTheStep();
    p.exportAmplitudes = 'N';
    TruncatingView view(dir.file("cut.abf"));
    RunOutcome run;
    runOn(run, p, dir.file("cut.abf"), &view);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.messages.entries().size(), 3u);
    for (const char* text :
         {"Error reading episode 2 from channel 1\n", "Error reading episode 3 from channel 0\n",
          "Error reading episode 3 from channel 1\n"})
        EXPECT_TRUE(hasMessage(run.messages, text)) << text;
    // Sweep 2 holds channel 0's count and times only, sweep 3 its number only.
    const std::vector<std::string> u = splitLines(readText(dir.file("cutU.prn")));
    ASSERT_EQ(u.size(), 6u);
    const std::vector<std::string> row1 = splitCells(u[3], ','), row2 = splitCells(u[4], ',');
    EXPECT_EQ(row1.size(), 3u + std::stoul(row1[1]) + std::stoul(row1[2]));
    EXPECT_EQ(row2.size(), 2u + std::stoul(row2[1]));
    EXPECT_EQ(u[5], "3,");
    EXPECT_EQ(latencyFile(dir.file("cutXA.prn")).size(), 2u);
    EXPECT_EQ(latencyFile(dir.file("cutXB.prn")).size(), 1u);
}

// ---- Extracellular traces: negative spikes, both methods, both polarities ---------------------

// Five sweeps of 200 ms at 50 us: noise of SD 10 uV (1 uV per count) and troughs of -200 uV at
// the listed samples; mirrored gives the positive-going image.
const std::vector<std::vector<int>> kTroughs = {
    {1500, 2600, 3900}, {1200}, {}, {2000, 2100, 2200, 3000}, {1800}};

void writeExtracellular(const std::string& path, bool mirrored) {
    AbfWriteSpec layout;
    layout.sampleIntervalUs = 50;
    layout.sweepCount = 5;
    layout.samplesPerSweep = 4000;
    layout.startDate = 20260101;
    layout.channels = {{0, "Unit", "uV", 1.0, 0.0}};
    SynthRandom random(11);
    std::vector<std::vector<std::int16_t>> ch(1);
    for (const std::vector<int>& troughs : kTroughs) {
        std::vector<double> y(4000);
        for (double& v : y) v = 10.0 * random.normal();
        for (int p : troughs) y[p - 1] -= 100, y[p] -= 200, y[p + 1] -= 100;
        for (double v : y) ch[0].push_back(static_cast<std::int16_t>(std::lround(mirrored ? -v : v)));
    }
    std::string error;
    ASSERT_TRUE(abf_test::take(writeAbfFile(path, layout, ch, {}), error)) << error;
}

TEST(Extracellular, BothMethodsAndPolaritiesFindTheSpikes) {
    struct Way {
        char method, polarity;
        bool mirrored;
        bool finds;
    };
    for (const Way w : {Way{'R', 'N', false, true}, Way{'R', 'P', true, true}, Way{'T', 'N', false, true},
                        Way{'R', 'P', false, false}}) {
        const std::string what = std::string(1, w.method) + w.polarity + (w.mirrored ? " mirrored" : "");
        TempDir dir;
        writeExtracellular(dir.file("unit.abf"), w.mirrored);
        SpikeParams p;
        p.detectionMethod = w.method;
        p.polarity = w.polarity;
        p.countingOnset = 50.0f;  // the noise window, samples 0 .. 946, lies before it
        p.firstNoiseSweep = 0;    // clamped to 1 .. 5, with a message
        p.lastNoiseSweep = 5;
        p.descendingSlopeFactor = p.ascendingSlopeFactor = 6.0f;
        p.threshold = -100.0f;
        p.hysteresis = -50.0f;
        p.newNameFormat = 'Y';
        RunOutcome run;
        runOn(run, p, dir.file("unit.abf"));
        ASSERT_TRUE(run.ok) << what;
        const auto rows = latencyFile(dir.file("unitX.prn"));
        for (std::size_t s = 0; s < kTroughs.size(); ++s) {
            const std::vector<double>& lat = rows.at(static_cast<int>(s) + 1);
            ASSERT_EQ(lat.size(), w.finds ? kTroughs[s].size() : 0u) << what << " sweep " << s + 1;
            for (std::size_t k = 0; k < lat.size(); ++k)
                EXPECT_NEAR(lat[k], kTroughs[s][k] * 0.05 - 50.0, 0.006);
        }
        if (w.method == 'T') {
            EXPECT_TRUE(run.messages.empty());
            EXPECT_TRUE(run.console.empty());
            continue;
        }
        EXPECT_TRUE(hasMessage(run.messages,
                               "Noise sweeps 0 to 5 do not fit the recording's sweeps 1 to 5; the "
                               "slope noise is measured on sweeps 1 to 5"));
        // (y2 - y0) / 2 of white noise has SD sigma / sqrt 2 = 7.07 uV; ~4700 slopes measure it.
        ASSERT_EQ(run.console.rfind("RMS is ", 0), 0u) << run.console;
        EXPECT_NEAR(std::stod(run.console.substr(7)), 10.0 / std::sqrt(2.0), 0.35);
    }
}

TEST(Extracellular, AnUnmeasurableNoiseWindowIsReportedAndTheRunGoesOn) {
    // Gap-free, frames of 1000 samples and a last one of 500; the onset (sample 800) lies beyond
    // the last frame's end.
    TempDir dir;
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.sampleIntervalUs = 50;
    layout.totalSamples = 2500;
    layout.startDate = 20260101;
    layout.channels = {{0, "Unit 7", "mV", 0.001, 0.0}};
    std::string error;
    ASSERT_TRUE(abf_test::take(
        writeAbfFile(dir.file("gap.abf"), layout, {std::vector<std::int16_t>(2500, 0)}, {}), error));
    SpikeParams p;
    p.detectionMethod = 'R';
    p.gapFreeFrameLength = 1000;
    p.countingOnset = 40.0f;
    p.lastNoiseSweep = 3;
    RunOutcome run;
    runOn(run, p, dir.file("gap.abf"));
    ASSERT_TRUE(run.ok);
    ASSERT_EQ(run.messages.entries().size(), 2u);
    EXPECT_EQ(run.messages.entries()[0].text, "Not enough samples to compute RMS norm\n");
    EXPECT_EQ(run.messages.entries()[1].text, "error computing threshold for channel 0, name = Unit 7\n");
    EXPECT_TRUE(run.console.empty());
}

// ---- Failures and the count command ---------------------------------------------------------

TEST(SpikeCountCommand, FailuresRefusalsAndTheCompletionText) {
    TempDir dir;
    writeSpikeRecording(dir.file("good.abf"), currentSteps(1, 2));
    const std::vector<std::string> paths = {dir.file("missing.abf"), dir.file("good.abf")};
    CapturedMessages messages;
    ProgressRecord progress;
    std::vector<std::string> texts;
    std::vector<SpikeFileResult> results;
    SpikeParams p;
    EXPECT_TRUE(spikeCountSelection(
        p, paths, progress, messages, {},
        [&](const std::string&, const std::string& t) { texts.push_back(t); }, true, &results));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].ok);
    EXPECT_EQ(texts, std::vector<std::string>{"Ouput File: " + dir.file("good.prn")});
    ASSERT_EQ(messages.entries().size(), 3u);
    EXPECT_EQ(messages.entries()[0].caption + ": " + messages.entries()[0].text,
              "Error: Error opening file\nFile '" + paths[0] + "' was not found.\n");
    EXPECT_EQ(messages.entries()[1].caption + ": " + messages.entries()[1].text, "Error: Error in Spkcensus");
    EXPECT_EQ(messages.entries()[2].caption + ": " + messages.entries()[2].text,
              "Spike Detector: " + texts[0]);

    // Below 1, "Interval to Measure" and "# spikes/burst" are refused before anything runs.
    for (std::int32_t SpikeParams::*field : {&SpikeParams::intervalToMeasure, &SpikeParams::spikesPerBurst}) {
        SpikeParams bad;
        bad.*field = 0;
        CapturedMessages refused;
        EXPECT_FALSE(spikeCountSelection(bad, paths, progress, refused, {}, nullptr, false));
        ASSERT_EQ(refused.entries().size(), 1u);
        EXPECT_EQ(refused.entries()[0].caption, "Parameter Error");
        EXPECT_NE(refused.entries()[0].text.find("\nmust be an integer between 1 and 2147483647!"),
                  std::string::npos);
    }
    // A descending amount of 0 would leave every spike without a completion slope; any other
    // amount runs.
    SpikeParams flat;
    flat.descendingSlopeFactor = -0.0f;
    CapturedMessages refused;
    EXPECT_FALSE(spikeCountSelection(flat, paths, progress, refused, {}, nullptr, false));
    ASSERT_EQ(refused.entries().size(), 1u);
    EXPECT_EQ(refused.entries()[0].caption + ": " + refused.entries()[0].text,
              "Parameter Error: Amount descending slope > noise\nmust be a number other than 0!");
    flat.descendingSlopeFactor = -2.0f;
    EXPECT_EQ(spikeCheckParams(flat), std::nullopt);
}

TEST(SpikeCountCommand, ATagArrayCutShortEndsTheRun) {
    TempDir dir;
    const std::string path = dir.file("tags.abf");
    AbfWriteSpec layout;
    layout.sampleIntervalUs = 50;
    layout.sweepCount = 2;
    layout.samplesPerSweep = 1000;
    layout.startDate = 20260101;
    layout.channels = {{0, "Vm", "mV", 0.01, 0.0}};
    layout.tags = {{0.01, false, "one", 1}, {0.02, false, "two", 1}};
    std::string error;
    ASSERT_TRUE(
        abf_test::take(writeAbfFile(path, layout, {std::vector<std::int16_t>(2000, -6000)}, {}), error))
        << error;
    std::int64_t tagSection = 0;
    {
        AbfFile file;
        AbfHeader header;
        int samples = 0, sweeps = 0, code = 0;
        ASSERT_GT((sweeps = abf_test::take(file.open(path, header, samples), code)), 0);
        tagSection = static_cast<std::int64_t>(header.tagSectionPtr) * kAbfBlockSize;
    }
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(tagSection + kAbfTagSize + 32));
    RunOutcome run;
    runOn(run, SpikeParams{}, path);
    EXPECT_FALSE(run.ok);
    ASSERT_EQ(run.messages.entries().size(), 1u);
    EXPECT_EQ(run.messages.entries()[0].text,
              "Could not read tag array\nFile '" + path + "' holds fewer tags than its header announces.\n");
    EXPECT_EQ(listFiles(dir.path()), std::vector<std::string>{"tags.abf"});
}

// Dimensions read back from a written recording: the data offset and the samples of a sweep.
std::pair<std::int64_t, int> dataLayout(const std::string& path) {
    AbfFile file;
    AbfHeader header;
    int samples = 0, sweeps = 0, code = 0;
    EXPECT_GT((sweeps = abf_test::take(file.open(path, header, samples), code)), 0) << code;
    return {header.dataOffsetBytes, samples};
}

// A recording that ends before its header says is counted as far as it goes, with a warning that
// names it, the sweeps present and the sweeps of the header; its tags went with the rest.
TEST(SpikeCountCommand, ARecordingCutShortIsCountedAsFarAsItGoesWithAWarning) {
    TempDir dir;
    const std::string path = dir.file("cut.abf");
    writeSpikeRecording(path, currentSteps(1, 8));
    const auto [data, samples] = dataLayout(path);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(data + (3 * samples + 500) * 2));
    RunOutcome run;
    runOn(run, countInTheStep(), path);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.result.sweeps, 4);
    ASSERT_FALSE(run.messages.entries().empty());
    const auto& warning = run.messages.entries()[0];
    EXPECT_EQ(warning.kind, MessageKind::Warning);
    EXPECT_EQ(warning.caption + ": " + warning.text,
              "SPKTAL: File '" + path +
                  "' is shorter than its header says: it holds 3 whole sweeps and part of sweep 4 of the 8 "
                  "sweeps in its header; it is analysed as far as it goes.");

    // Cut inside its tags, as far as the tags go, with the header's tags behind the data.
    const std::string tagged = dir.file("tagged.abf");
    AbfWriteSpec layout;
    layout.sampleIntervalUs = 50;
    layout.sweepCount = 4;
    layout.samplesPerSweep = 1000;
    layout.startDate = 20260101;
    layout.channels = {{0, "Vm", "mV", 0.01, 0.0}};
    layout.tags = {{0.01, false, "one", 1}, {0.02, false, "two", 1}};
    std::string error;
    ASSERT_TRUE(
        abf_test::take(writeAbfFile(tagged, layout, {std::vector<std::int16_t>(4000, -6000)}, {}), error))
        << error;
    std::filesystem::resize_file(tagged,
                                 static_cast<std::uintmax_t>(dataLayout(tagged).first + 2 * 1000 * 2));
    RunOutcome cut;
    runOn(cut, SpikeParams{}, tagged);
    EXPECT_TRUE(cut.ok);
    EXPECT_TRUE(
        hasMessage(cut.messages, "File '" + tagged +
                                     "' is shorter than its header says: it holds 2 of the 4 sweeps in "
                                     "its header; it is analysed as far as it goes."));
}

// Counts without a scaling would be reported as millivolts: such a recording is refused with the
// reason and nothing is written.
TEST(SpikeCountCommand, ARecordingWithoutAUsableScalingIsRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float zero = 0.0f;
    for (const float range : {nan, inf, zero}) {
        SCOPED_TRACE(range);
        TempDir dir;
        const std::string path = dir.file("unscaled.abf");
        writeSpikeRecording(path, currentSteps(1, 2));
        {
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            std::uint32_t protocolBlock = 0;
            f.seekg(76);
            f.read(reinterpret_cast<char*>(&protocolBlock), sizeof protocolBlock);
            f.seekp(static_cast<std::streamoff>(std::size_t{protocolBlock} * 512 + 110));  // fADCRange
            f.write(reinterpret_cast<const char*>(&range), sizeof range);
            ASSERT_TRUE(f.good());
        }
        RunOutcome run;
        runOn(run, countInTheStep(), path);
        EXPECT_FALSE(run.ok);
        ASSERT_EQ(run.messages.entries().size(), 1u);
        EXPECT_EQ(
            run.messages.entries()[0].text,
            "Error opening file\nFile '" + path +
                "' has channel scaling that cannot be computed (ADC range, resolution or a gain is 0, not a "
                "number or infinite).\n");
        EXPECT_EQ(listFiles(dir.path()), std::vector<std::string>{"unscaled.abf"});
    }
}

}  // namespace
}  // namespace ephys
