// Mains hum taken out of a frame before a model detector looks at it. The hum at the mains
// frequency and its second and third harmonics is fitted to the frame by least squares,
// beside an offset and a linear trend that keep drift out of the fit. The fits of the last 5 s of
// a continuous recording are averaged (one frame holds only a few cycles and an event or two,
// which pull its fit) and the averaged hum is subtracted from the whole buffer, so the events are
// found and measured on the current without it.
//
// Where the mains frequency is not given, 50 and 60 Hz are both fitted, and the hum of either is
// taken out where its averaged fit stands well clear of the scatter of the frames' fits: a
// recording without hum is left as it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ephys {

inline constexpr int kHumHarmonics = 3;
// Frequencies fitted together: 50 and 60 Hz when the mains frequency is looked for.
inline constexpr std::size_t kHumMains = 2;
// Points of the table that holds one cycle of the hum (linear interpolation between them is
// exact to better than 1e-3 of the hum's amplitude, with the third harmonic in it).
inline constexpr std::size_t kHumPoints = 256;
// How far back the fits of the frames are averaged. Events pull a frame's fit (an event's own
// share at the mains frequency and its harmonics); at 10 to 20 events per second, averaging over
// 1.6 s still adds 0.1-0.2 pA to the median amplitude error of recordings without hum, over 5 s
// hardly anything. The mains frequency wanders by some 0.02 Hz, which turns the hum's phase by a
// tenth of a cycle in 5 s.
inline constexpr double kHumAveragedSeconds = 5.0;
// PscHumSpec::hz that looks for hum at 50 and at 60 Hz.
inline constexpr double kPscHumSearch = -1.0;

// What the fits carry from frame to frame. Cleared at the start of each recording.
struct PscHumWork {
    static constexpr std::size_t kFrames = 128;  // at most this many fits are averaged
    // Sine and cosine amplitude of each harmonic (pA), the phases counted from the recording's
    // first sample.
    using Fit = std::array<double, 2 * kHumHarmonics>;
    std::array<std::array<Fit, kFrames>, kHumMains> fits{};  // by frequency, then frame
    std::size_t frames = 0;        // fits stored since the last break in the recording
    bool continued = false;        // the last frame was part of a continuous recording
    std::int64_t continuesAt = 0;  // the sample the next frame starts at if it follows it
    // The hum the last frame had taken out, by frequency (0 where none was).
    std::array<double, kHumMains> removedHz{};
    std::array<Fit, kHumMains> removed{};
    std::array<bool, kHumMains> found{};        // the search found the frequency's hum in the last frame
    std::array<float, kHumPoints + 1> cycle{};  // one cycle of a hum, the first point repeated
    // Over the recording, by frequency: the frequency, the frames that had its hum taken out,
    // and the sum of the fundamental's amplitude taken out of them.
    std::array<double, kHumMains> takenHz{};
    std::array<std::int64_t, kHumMains> framesRemoved{};
    std::array<double, kHumMains> amplitudeSum{};
};

struct PscHumSpec {
    double hz = 0.0;  // mains frequency; kPscHumSearch: 50 or 60 Hz, as found; 0: nothing is done
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

// One frame's fit: sine and cosine amplitude of each harmonic of each frequency.
struct PscHumFit {
    bool fitted = false;  // false: too few cycles recorded, or nothing to fit
    std::array<PscHumWork::Fit, kHumMains> fits{};
};

// Fits the hum of `current` (by buffer position) on the frame's own recorded samples (the whole
// buffer's where they hold too few cycles). It depends on the frame alone, so the frames
// are fitted where they are read and filtered.
PscHumFit pscFitHumFrame(const PscHumSpec& spec, std::span<const float> current);

// Adds a frame's fit to the work's averages, without subtracting anything: the first seconds of
// a recording are added before its detection starts, so that its first frames are cleaned with
// an average too.
void pscAddHumFit(const PscHumSpec& spec, const PscHumFit& fit, PscHumWork& work);

// Adds the frame's fit to the work's averages and subtracts the averaged hum from every position
// of `current`. Returns whether anything was subtracted: not when neither this frame nor the
// frames before it could be fitted, nor where the search found no hum.
bool pscRemoveHum(const PscHumSpec& spec, const PscHumFit& fit, std::span<float> current, PscHumWork& work);

// The fundamental's amplitude (pA) of the hum the last frame had taken out, all frequencies
// together.
double pscHumAmplitude(const PscHumWork& work);

// "Mains hum in FILE: 3.0 pA at 50 Hz, with its harmonics, taken out of 98 % of the frames",
// the amplitude averaged over those frames; empty when no hum was taken out.
std::string pscHumLine(const std::string& fileName, const PscHumWork& work, std::int64_t frames);

}  // namespace ephys
