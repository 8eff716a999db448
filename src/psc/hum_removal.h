// Mains hum taken out of a frame before a model detector looks at it. The hum at the mains
// frequency and its second and third harmonics is fitted to the frame's buffer by least squares,
// beside an offset and a linear trend that keep drift out of the fit; the fits of the last
// frames of a continuous recording are averaged (one frame holds only a few cycles and an event
// or two, which pull its fit; the last 5 s are averaged) and the averaged hum is subtracted from the whole
// buffer, so the events are found and measured on the current without it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ephys {

inline constexpr int kHumHarmonics = 3;
// Points of the table that holds one cycle of the hum (linear interpolation between them is
// exact to better than 1e-3 of the hum's amplitude, with the third harmonic in it).
inline constexpr std::size_t kHumPoints = 256;

// What the fit carries from frame to frame. Cleared at the start of each recording.
struct PscHumWork {
    static constexpr std::size_t kFrames = 128;  // at most this many fits are averaged
    // Per frame: sine and cosine amplitude of each harmonic (pA), the phases counted from the
    // recording's first sample.
    std::array<std::array<double, 2 * kHumHarmonics>, kFrames> fits{};
    std::size_t frames = 0;                           // fits stored since the last break in the recording
    bool continued = false;                           // the last frame was part of a continuous recording
    std::int64_t continuesAt = 0;                     // the sample the next frame starts at if it follows it
    std::array<double, 2 * kHumHarmonics> removed{};  // the last hum subtracted
    std::array<float, kHumPoints + 1> cycle{};        // one cycle of it, the first point repeated
};

struct PscHumSpec {
    double hz = 0.0;  // mains frequency; 0: nothing is done
    double sampleIntervalMs = 0.05;
    int frameLength = 0;
    // Buffer positions [firstValid, validEnd) that hold recorded samples; only they are fitted.
    int firstValid = 0;
    int validEnd = 0;
    // The recording's sample at buffer position 0 (negative for the first frame's lead), and
    // whether the frame continues the one before it sample by sample. An episode of an episodic
    // recording does not: its hum's phase starts afresh.
    std::int64_t firstSample = 0;
    bool continuous = false;
};

// Fits the hum of `current` (by buffer position), adds the fit to the work's average and
// subtracts the average from every position. Returns false, leaving the buffer as it is, when
// neither this frame nor the frames before it could be fitted (fewer than two cycles recorded).
bool pscRemoveHum(const PscHumSpec& spec, std::span<float> current, PscHumWork& work);

// The fundamental's amplitude (pA) of the hum last subtracted.
double pscHumAmplitude(const PscHumWork& work);

}  // namespace ephys
