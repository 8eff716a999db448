// The spike detector of one channel in one sweep: a voltage threshold with hysteresis
// (intracellular) or a slope criterion against the measured slope noise (extracellular), the
// duration limit, the choice of peak or trough and the latency of each spike. Also the local
// slope and the slope-noise sums that the RMS method is calibrated with.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ephys {

enum class SpikeMethod {
    Threshold,  // voltage threshold with hysteresis
    RmsSlope,   // slope against the slope noise
};

// Everything the detector needs to know about one channel of one sweep.
struct SpikeDetectorSettings {
    SpikeMethod method = SpikeMethod::Threshold;
    int polarity = 1;           // +1 positive spikes (peaks), -1 negative spikes (troughs)
    float scale = 1.0f;         // user units = sample x scale + offset
    float offset = 0.0f;        //
    float threshold = -25.0f;   // trigger level, user units (threshold method)
    float hysteresis = -28.0f;  // level the trace must pass back to complete a spike
    // RMS method, in sample units per index: the slope that triggers (slope threshold) and the
    // slope back that completes a spike (slope threshold x ascending / descending factor).
    double slopeThreshold = 0.0;
    double completionSlope = 0.0;
    double maxDurationMs = 1.0;  // longest time from trigger to completion
    double onsetMs = 100.0;      // latencies count from here when no epoch is chosen
    // A chosen stimulus epoch: only spikes whose peak lies in [epochFirst, epochLast] count, and
    // their latencies count from the epoch's first sample.
    bool useEpoch = false;
    int epochFirst = 0;
    int epochLast = 0;
};

// The spikes of one channel in the current sweep, in detection order. The storage is kept from
// sweep to sweep; clear() empties it.
struct SpikeList {
    std::vector<float> latencies;   // ms
    std::vector<float> amplitudes;  // user units at the peak (or trough)
    void clear() {
        latencies.clear();
        amplitudes.clear();
    }
    int count() const { return static_cast<int>(latencies.size()); }
};

// Time of a sample in ms: the time base entry when 0 < i < the time base's length, otherwise 0.
inline double spikeSampleTime(std::span<const double> times, std::int64_t i) {
    return (i > 0 && i < static_cast<std::int64_t>(times.size())) ? times[static_cast<std::size_t>(i)] : 0.0;
}

// Least-squares slope of samples i, i+1, i+2 against their index, (y[i+2] - y[i]) / 2; with
// fewer than three samples from i on, y[i+1] - y[i] (0 when there is no second sample).
double spikeLocalSlope(std::span<const std::int16_t> samples, std::size_t i);

// Runs the detector over indices 0 .. n - 3 of one sweep and appends every spike with a latency
// of 0 or more to `spikes`. Returns the number appended.
int spikeDetectSweep(std::span<const std::int16_t> samples, std::span<const double> times,
                     const SpikeDetectorSettings& settings, SpikeList& spikes);

// Adds the squares of the local slopes at indices [from, to) to `sum` and their number to
// `count`; indices outside the samples are left out.
void spikeAddSlopeSquares(std::span<const std::int16_t> samples, std::int64_t from, std::int64_t to,
                          double& sum, std::int64_t& count);

// A float sample brought to a 16-bit sample value: (value - offset) / scale, truncated toward
// zero, held inside the 16-bit range (a value that is not a number gives 0).
std::int16_t spikeSampleFromValue(float value, float scale, float offset);

}  // namespace ephys
