// Test support for the spike detector: scratch folders, file contents, one run with its messages
// captured, and synthetic current-clamp recordings written the way abfsynth writes them (a step
// in epoch A of DAC 0, known spike peaks).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../abf/abf_results.h"
#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"
#include "params/messages.h"
#include "params/progress.h"
#include "spike/spike_count.h"

namespace ephys::spike_test {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "spike-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every name in a folder (hidden temporary files too), sorted.
inline std::vector<std::string> listFiles(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::vector<std::string> splitCells(const std::string& line, char separator) {
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, separator);) cells.push_back(cell);
    return cells;
}
inline std::vector<std::string> splitLines(const std::string& text) {
    return splitCells(text, '\n');
}

struct RunOutcome {
    bool ok = false;
    SpikeFileResult result;
    CapturedMessages messages;
    std::string console;
};

inline void runOn(RunOutcome& run, const SpikeParams& p, const std::string& path,
                  ProgressView* view = nullptr) {
    ProgressRecord progress;
    progress.view = view;
    SpikeRunOptions options;
    options.console = [&run](std::string_view text) { run.console += text; };
    run.ok = spikeCountFile(p, path, progress, run.messages, run.result, options);
}

// Channel c on physical ADC physical[c] (default c), named "IN <adc>"; int16 at 0.01 mV per count
// or float32 values in mV.
inline void writeSpikeRecording(const std::string& path, const SpikeSynthSpec& s,
                                AbfSampleFormat format = AbfSampleFormat::Int16,
                                std::vector<int> physical = {}) {
    for (int c = static_cast<int>(physical.size()); c < s.channels; ++c) physical.push_back(c);
    const SpikeSynthesizer synth(s);
    AbfWriteSpec layout;
    layout.format = format;
    layout.sampleIntervalUs = s.intervalUs;
    layout.sweepCount = s.sweeps;
    layout.samplesPerSweep = s.samplesPerSweep;
    layout.episodeStartToStartS = static_cast<double>(s.samplesPerSweep) * s.intervalUs * 1e-6 + 1.0;
    layout.startDate = 20260101;
    for (int c = 0; c < s.channels; ++c) {
        const int adc = physical[static_cast<std::size_t>(c)];
        layout.channels.push_back(
            {adc, "IN " + std::to_string(adc), "mV", format == AbfSampleFormat::Int16 ? 0.01 : 1.0, 0.0});
    }
    layout.dacs[0].units = "pA";
    layout.dacs[0].epochs = {
        {AbfEpochType::Step, s.firstStepPa, s.stepIncrementPa, static_cast<std::int32_t>(s.stepLength), 0}};
    std::vector<std::vector<float>> channels(
        static_cast<std::size_t>(s.channels),
        std::vector<float>(static_cast<std::size_t>(s.samplesPerSweep * s.sweeps)));
    for (int c = 0; c < s.channels; ++c)
        for (int sweep = 1; sweep <= s.sweeps; ++sweep)
            synth.fill(sweep, c, 0,
                       std::span<float>(channels[static_cast<std::size_t>(c)])
                           .subspan(static_cast<std::size_t>((sweep - 1) * s.samplesPerSweep),
                                    static_cast<std::size_t>(s.samplesPerSweep)));
    std::string error;
    ASSERT_TRUE(abf_test::take(writeAbfFile(path, layout, channels, {}), error)) << error;
}

// The synthesizer's peaks of one channel position and sweep, in ms from the sweep start.
inline std::vector<double> truePeaksMs(const SpikeSynthesizer& synth, int channel, int sweep) {
    std::vector<double> peaks;
    for (const SpikeTruth& t : synth.spikes())
        if (t.channel == channel && t.sweep == sweep) peaks.push_back(t.peakS * 1000.0);
    std::sort(peaks.begin(), peaks.end());
    return peaks;
}

}  // namespace ephys::spike_test
