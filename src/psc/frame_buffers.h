// The buffers one frame of a recording is analysed in. A frame index counts samples from the
// frame's first sample; the buffers hold the 200 samples before the frame, the frame itself and
// the 2048 samples after it, so frame indices run from -200 to frameLength + 2047.
#pragma once

#include <cstddef>
#include <vector>

#include "psc/hum_removal.h"

namespace ephys {

inline constexpr int kFrameLead = 200;   // samples kept before the frame
inline constexpr int kFrameTail = 2048;  // samples kept after the frame

struct PscFrameBuffers {
    int frameLength = 0;
    std::vector<float> currentData;  // pA, by buffer position (frame index + 200)
    std::vector<float> didtData;     // pA/ms
    std::vector<double> frameTimes;  // ms, entry i = i x sampleInterval (frame index i >= 0)
    PscHumFit hum;                   // the frame's mains hum as fitted when it was read

    // Sizes the buffers for frames of `length` samples.
    void resize(int length, double sampleIntervalMs) {
        frameLength = length;
        const std::size_t n = bufferLength();
        currentData.assign(n, 0.0f);
        didtData.assign(n, 0.0f);
        frameTimes.resize(n);
        for (std::size_t i = 0; i < n; ++i) frameTimes[i] = static_cast<double>(i) * sampleIntervalMs;
    }
    std::size_t bufferLength() const {
        return static_cast<std::size_t>(frameLength + kFrameLead + kFrameTail);
    }

    // By frame index, -200 .. frameLength + 2047.
    float& current(int frameIndex) { return currentData[static_cast<std::size_t>(frameIndex + kFrameLead)]; }
    float current(int frameIndex) const {
        return currentData[static_cast<std::size_t>(frameIndex + kFrameLead)];
    }
    float& didt(int frameIndex) { return didtData[static_cast<std::size_t>(frameIndex + kFrameLead)]; }
    float didt(int frameIndex) const { return didtData[static_cast<std::size_t>(frameIndex + kFrameLead)]; }
    int firstIndex() const { return -kFrameLead; }
    int endIndex() const { return frameLength + kFrameTail; }  // one past the last frame index
};

}  // namespace ephys
