#include "spike/spike_detector.h"

#include <cmath>
#include <limits>

namespace ephys {

double spikeLocalSlope(std::span<const std::int16_t> samples, std::size_t i) {
    if (i + 2 < samples.size()) {
        // Sum of (k - 1) y_k over k = 0..2, divided by the sum of (k - 1)^2 = 2.
        return (static_cast<double>(samples[i + 2]) - static_cast<double>(samples[i])) / 2.0;
    }
    if (i + 1 < samples.size()) return static_cast<double>(samples[i + 1]) - static_cast<double>(samples[i]);
    return 0.0;
}

int spikeDetectSweep(std::span<const std::int16_t> samples, std::span<const double> times,
                     const SpikeDetectorSettings& s, SpikeList& spikes) {
    const auto n = static_cast<std::int64_t>(samples.size());
    if (n < 3) return 0;
    const float p = s.polarity < 0 ? -1.0f : 1.0f;
    const float triggerLevel = p * s.threshold;
    const float completionLevel = p * s.hysteresis;
    const bool bySlope = s.method == SpikeMethod::RmsSlope;
    const std::int16_t* y = samples.data();

    bool open = false;
    std::int64_t trigger = 0;
    int added = 0;
    for (std::int64_t i = 0; i <= n - 3; ++i) {
        bool triggers = false;
        bool completes = false;
        if (bySlope) {
            const double slope = p * ((static_cast<double>(y[i + 2]) - static_cast<double>(y[i])) / 2.0);
            triggers = slope > s.slopeThreshold;
            completes = -slope > s.completionSlope;
        } else {
            const float v = p * (static_cast<float>(y[i]) * s.scale + s.offset);
            triggers = v > triggerLevel;
            completes = v < completionLevel;
        }
        if (triggers && !open) {
            open = true;
            trigger = i;
        }
        if (!open) continue;
        // Too long a candidate is dropped, even at an index where it would have completed.
        if (spikeSampleTime(times, i) - spikeSampleTime(times, trigger) > s.maxDurationMs) {
            open = false;
            continue;
        }
        if (!completes) continue;
        open = false;

        // Peak and trough between trigger and completion; of equal values the later one wins.
        std::int64_t highest = trigger;
        std::int64_t lowest = trigger;
        for (std::int64_t k = trigger + 1; k <= i; ++k) {
            if (y[k] >= y[highest]) highest = k;
            if (y[k] <= y[lowest]) lowest = k;
        }
        const std::int64_t at = p < 0 ? lowest : highest;
        double latency = 0.0;
        if (s.useEpoch) {
            if (at < s.epochFirst || at > s.epochLast) continue;
            latency = spikeSampleTime(times, at) - spikeSampleTime(times, s.epochFirst);
        } else {
            latency = spikeSampleTime(times, at) - s.onsetMs;
        }
        if (latency < 0.0) continue;
        spikes.latencies.push_back(static_cast<float>(latency));
        spikes.amplitudes.push_back(static_cast<float>(y[at]) * s.scale + s.offset);
        ++added;
    }
    return added;
}

void spikeAddSlopeSquares(std::span<const std::int16_t> samples, std::int64_t from, std::int64_t to,
                          double& sum, std::int64_t& count) {
    if (from < 0) from = 0;
    const auto n = static_cast<std::int64_t>(samples.size());
    if (to > n) to = n;
    for (std::int64_t i = from; i < to; ++i) {
        const double slope = spikeLocalSlope(samples, static_cast<std::size_t>(i));
        sum += slope * slope;
        ++count;
    }
}

std::int16_t spikeSampleFromValue(float value, float scale, float offset) {
    const float x = std::trunc((value - offset) / scale);
    if (std::isnan(x)) return 0;
    if (x <= static_cast<float>(std::numeric_limits<std::int16_t>::min()))
        return std::numeric_limits<std::int16_t>::min();
    if (x >= static_cast<float>(std::numeric_limits<std::int16_t>::max()))
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(x);
}

}  // namespace ephys
