// Model-based PSC detection: events found by their shape instead of their slope. The event model
// is the difference of two exponentials, exp(-t / decay) - exp(-t / rise), that the recordings'
// currents follow. Two detectors work on one frame buffer at a time (the filtered current of the
// frame with its 200 leading and 2048 trailing samples) and list the onsets they find in place of
// the slope trigger's list; the measurement of each event is the slope trigger's.
//
// - Template: the template is slid along the current and fitted at every sample by a scale and an
//   offset (least squares, after Clements and Bekkers 1997); the detection criterion is the
//   scale over the standard error of the fit. The sums over the template are kept by recursion,
//   so each sample costs a few operations whatever the template's length.
// - Deconvolution: the current is deconvolved by the template (after Pernia-Andrade et al. 2012).
//   The template is the impulse response of a two-pole filter, so the deconvolution is its
//   inverse, a three-tap filter; each event becomes a narrow peak at its onset, overlapping events
//   separate and slow noise (drift, 1/f noise, mains hum) is suppressed. The deconvolved trace is
//   smoothed and its peaks beyond a multiple of its robust noise SD (median absolute deviation)
//   are the events.
//
// Only the noise level is carried from frame to frame (PscModelWork); the scratch arrays grow to
// one buffer's length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "psc/frame_buffers.h"

namespace ephys {

enum class PscDetectorKind : std::uint8_t { Slope, Template, Deconvolution };

// "slope", "template", "deconvolution"; false for any other name.
bool pscParseDetector(std::string_view name, PscDetectorKind& kind);
std::string_view pscDetectorName(PscDetectorKind kind);

// The threshold a detector uses when none is given: criterion units for the template fit, noise
// SDs of the deconvolved trace for the deconvolution.
float pscDefaultThreshold(PscDetectorKind kind);

// What the model detectors need to know: the event's kinetics, its direction and the threshold.
struct PscModelSpec {
    PscDetectorKind kind = PscDetectorKind::Deconvolution;
    float riseMs = 0.5f;     // rise time constant of the template
    float decayMs = 5.0f;    // decay time constant
    float sign = -1.0f;      // -1 inward (downward) currents, +1 outward
    float threshold = 0.0f;  // 0: the detector's default
    float sampleIntervalMs = 0.05f;
    // The frame indices that hold recorded samples, [firstValid, validEnd): the buffer's padding
    // before the recording's first sample and after its last neither counts for the noise level
    // nor holds events.
    int firstValid = -kFrameLead;
    int validEnd = std::numeric_limits<int>::max();
};

// Scratch arrays, reused frame after frame.
struct PscModelWork {
    std::vector<float> score;   // detection trace by buffer position, in units of the threshold
    std::vector<float> fine;    // deconvolution: the narrow detection trace
    std::vector<float> middle;  // deconvolution: the detection trace between the narrow and the wide
    std::vector<float> raw;     // deconvolution: the deconvolved current
    std::vector<float> temp;
    std::vector<int> peaks;
    // Noise SDs of the wide, middle and narrow traces in the last frames of the recording: one frame's
    // estimate alone varies by some 10 % (the smoothed trace has few independent values), which
    // would move the threshold with it. Cleared at the start of each recording.
    static constexpr std::size_t kNoiseFrames = 16;
    std::array<float, kNoiseFrames> wideNoise{};
    std::array<float, kNoiseFrames> fineNoise{};
    std::array<float, kNoiseFrames> middleNoise{};
    std::size_t noiseFrames = 0;  // frames estimated so far
};

// Lists the event onsets of one frame buffer in increasing frame index order: every listed index
// lies in 1 .. endIndex() - 1 (an onset at frame index 0 or before belongs to the previous frame).
// Returns how many were listed; onsets beyond `list`'s size are dropped.
int pscModelScan(const PscModelSpec& spec, const PscFrameBuffers& buffers, std::span<int> list,
                 PscModelWork& work);

// Fills work.score (by buffer position) with the detection trace of the buffer, in units of the
// threshold (a value above the threshold marks an event). Used by pscModelScan and by the tests.
void pscModelScore(const PscModelSpec& spec, const PscFrameBuffers& buffers, PscModelWork& work);

}  // namespace ephys
