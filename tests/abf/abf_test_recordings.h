// Test support: recordings made with the project's own ABF writer, one for each layout it writes
// (ABF1 and ABF2, int16 and float32, episodic and gap-free, one to three channels, with and without
// tags). They are written once per test program into a scratch folder that is removed at exit, and
// every sample follows from its sweep, channel and index, so a test can tell what a read must give.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "abf/abf_writer.h"

namespace ephys::abf_test {

struct GeneratedRecording {
    std::string name;
    AbfWriteSpec spec;
    std::string path;

    int channels() const { return static_cast<int>(spec.channels.size()); }
    // Per-channel samples of a sweep (the whole recording for gap-free data) and their count.
    std::int64_t sweepLength() const {
        return spec.mode == AbfWriteMode::GapFree ? spec.totalSamples : spec.samplesPerSweep;
    }
    int sweeps() const { return spec.mode == AbfWriteMode::GapFree ? 1 : spec.sweepCount; }
};

// Raw count of sample `index` of sweep `sweep` (from 0) at channel position `position`: a sawtooth
// of period 4001 that each sweep and channel shifts, so no two sweeps or channels read alike.
inline std::int16_t generatedRaw(int position, int sweep, std::int64_t index) {
    return static_cast<std::int16_t>((index * 37 + sweep * 1013 + position * 4099) % 4001 - 2000);
}

// The value stored by a float32 recording for the same place.
inline float generatedFloat(int position, int sweep, std::int64_t index) {
    return 0.25f * static_cast<float>(generatedRaw(position, sweep, index));
}

namespace detail {

inline std::vector<GeneratedRecording> describeGenerated() {
    std::vector<GeneratedRecording> all;
    auto add = [&all](const char* name) -> AbfWriteSpec& {
        all.push_back({name, AbfWriteSpec{}, ""});
        AbfWriteSpec& s = all.back().spec;
        s.startDate = 20240517;
        s.startTimeMs = 36000000;
        return s;
    };
    {
        // ABF2 episodic, one current channel, a stepping epoch table and two tags.
        AbfWriteSpec& s = add("episodic_v2.abf");
        s.sampleIntervalUs = 100;
        s.sweepCount = 10;
        s.samplesPerSweep = 2000;
        s.episodeStartToStartS = 0.5;
        s.channels = {{0, "Im", "pA", 0.05, 0.0}};
        s.tags = {{0.05, false, "drug on", 1}, {3.0, false, "wash", 1}};
        s.dacs[0].epochs = {{AbfEpochType::Step, -80, 10, 500, 0}, {AbfEpochType::Ramp, -40, 0, 400, 0}};
    }
    {
        // ABF1 episodic, three channels on ADC 0, 2 and 3 (ADC 1 not sampled), an offset on the second.
        AbfWriteSpec& s = add("episodic_v1.abf");
        s.version = AbfFileVersion::V1;
        s.sampleIntervalUs = 50;
        s.sweepCount = 8;
        s.samplesPerSweep = 5000;
        s.episodeStartToStartS = 1.0;
        s.channels = {{0, "Im", "pA", 0.1, 0.0}, {2, "Vm", "mV", 0.01, 1.5}, {3, "Aux", "V", 0.001, 0.0}};
        s.tags = {{0.1, false, "start", 1}, {2.5, false, "stop", 1}};
        s.dacs[0].units = "pA";
        s.dacs[0].epochs = {{AbfEpochType::Step, -100, 50, 2000, 0}};
    }
    {
        // ABF1 gap-free (stored in chunks that the header counts as episodes) with four tags.
        AbfWriteSpec& s = add("gapfree_v1.abf");
        s.version = AbfFileVersion::V1;
        s.mode = AbfWriteMode::GapFree;
        s.sampleIntervalUs = 100;
        s.totalSamples = 20500;
        s.channels = {{0, "Vm", "mV", 0.01, 0.0}};
        s.tags = {
            {0.0, false, "start", 1}, {0.5, false, "one", 1}, {1.0, false, "two", 1}, {2.0, false, "end", 1}};
    }
    {
        // ABF2 gap-free, two channels on ADC 0 and 2, three tags.
        AbfWriteSpec& s = add("gapfree_v2.abf");
        s.mode = AbfWriteMode::GapFree;
        s.sampleIntervalUs = 100;
        s.totalSamples = 18500;
        s.channels = {{0, "Vm", "mV", 0.02, 0.0}, {2, "Im", "pA", 0.1, -3.0}};
        s.tags = {{0.2, false, "first", 1}, {0.9, false, "second", 1}, {1.5, false, "third", 1}};
    }
    {
        // ABF2 episodic with float32 samples on ADC 1.
        AbfWriteSpec& s = add("episodic_v2_float.abf");
        s.format = AbfSampleFormat::Float32;
        s.sampleIntervalUs = 200;
        s.sweepCount = 6;
        s.samplesPerSweep = 1615;
        s.channels = {{1, "Im", "pA", 0.5, 3.0}};
    }
    {
        // ABF2 gap-free with float32 samples, in nA.
        AbfWriteSpec& s = add("gapfree_v2_float.abf");
        s.format = AbfSampleFormat::Float32;
        s.mode = AbfWriteMode::GapFree;
        s.sampleIntervalUs = 50;
        s.totalSamples = 12000;
        s.channels = {{0, "Imemb", "nA", 1.0, 0.0}};
    }
    return all;
}

inline void writeGenerated(GeneratedRecording& r) {
    const int channels = r.channels();
    const bool floats = r.spec.format == AbfSampleFormat::Float32;
    std::vector<std::vector<std::int16_t>> raw(floats ? 0 : channels);
    std::vector<std::vector<float>> values(floats ? channels : 0);
    for (int k = 0; k < channels; ++k) {
        for (int s = 0; s < r.sweeps(); ++s) {
            for (std::int64_t i = 0; i < r.sweepLength(); ++i) {
                if (floats) {
                    values[std::size_t(k)].push_back(generatedFloat(k, s, i));
                } else {
                    raw[std::size_t(k)].push_back(generatedRaw(k, s, i));
                }
            }
        }
    }
    AbfWriteOptions options;
    options.syncToDisk = false;
    const Result<void> written =
        floats ? writeAbfFile(r.path, r.spec, values, options) : writeAbfFile(r.path, r.spec, raw, options);
    if (!written) throw std::runtime_error("cannot write " + r.path + ": " + written.error().text());
}

struct GeneratedSet {
    std::filesystem::path dir;
    std::vector<GeneratedRecording> recordings;

    GeneratedSet() {
        std::string pattern = (std::filesystem::temp_directory_path() / "abf-generated.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("no scratch folder for recordings");
        dir = pattern;
        recordings = describeGenerated();
        for (GeneratedRecording& r : recordings) {
            r.path = (dir / r.name).string();
            writeGenerated(r);
        }
    }
    ~GeneratedSet() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    GeneratedSet(const GeneratedSet&) = delete;
    GeneratedSet& operator=(const GeneratedSet&) = delete;
};

}  // namespace detail

// Every generated recording, written on first use.
inline const std::vector<GeneratedRecording>& generatedRecordings() {
    static const detail::GeneratedSet set;
    return set.recordings;
}

inline const GeneratedRecording& generated(std::string_view name) {
    for (const GeneratedRecording& r : generatedRecordings())
        if (r.name == name) return r;
    throw std::runtime_error("no generated recording " + std::string(name));
}

}  // namespace ephys::abf_test
