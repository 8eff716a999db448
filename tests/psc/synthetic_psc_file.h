// A synthetic voltage-clamp recording written as a gap-free ABF 2 file for the run tests: the
// synthesizer's current at 20 kHz, stored as int16 counts of 0.05 pA.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"

namespace ephys {

inline bool writeSyntheticPscFile(const std::string& path, const PscSynthSpec& spec) {
    const PscSynthesizer synth(spec);
    std::vector<float> values(static_cast<std::size_t>(spec.samplesPerSweep));
    synth.fill(1, 0, values);
    std::vector<std::int16_t> raw(values.size());
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<std::int16_t>(std::lround(values[i] / 0.05f));
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.sampleIntervalUs = 50;
    layout.totalSamples = static_cast<std::int64_t>(raw.size());
    layout.channels = {{0, "Im", "pA", 0.05, 0.0}};
    return writeAbfFile(path, layout, {raw}).ok();
}

}  // namespace ephys
