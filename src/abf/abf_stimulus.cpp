#include "abf/abf_stimulus.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "abf/abf_error.h"

namespace ephys {

namespace {

bool validDac(int dac) {
    return dac >= 0 && dac < kAbfDacCount;
}

bool sweepInRange(const AbfHeader& header, int sweep) {
    return sweep >= 1 && (header.actualEpisodes <= 0 || sweep <= header.actualEpisodes);
}

// Samples of an epoch in sweep index s (from 0); never negative.
std::int64_t duration(const AbfEpoch& epoch, int s) {
    if (epoch.type == kAbfEpochOff) return 0;
    const std::int64_t d = static_cast<std::int64_t>(epoch.initDuration) +
                           static_cast<std::int64_t>(s) * static_cast<std::int64_t>(epoch.durationIncrement);
    return std::max<std::int64_t>(0, d);
}

float level(const AbfEpoch& epoch, int s) {
    return epoch.initLevel + static_cast<float>(s) * epoch.levelIncrement;
}

// Level of the last enabled epoch in sweep index s, or `otherwise` when none is enabled.
float lastEpochLevel(const AbfDac& dac, int s, float otherwise) {
    float result = otherwise;
    for (const AbfEpoch& epoch : dac.epochs) {
        if (epoch.type != kAbfEpochOff) result = level(epoch, s);
    }
    return result;
}

// Value at sample k (0 .. d-1) of an epoch of d samples whose level is `target`, entered at level
// `before`. A ramp starts at the level before the epoch and reaches the epoch level at the first
// sample after it, so chained ramps repeat no sample (whether the recorded command reaches the
// level one sample earlier is not known). The trains repeat every pulsePeriod samples from the epoch start;
// outside a pulse the output stays at the level before the epoch. The shapes inside triangle, cosine and
// biphasic pulses are this reader's approximation (one cycle per pulse width or period).
float epochValue(const AbfEpoch& epoch, std::int64_t k, std::int64_t d, float before, float target) {
    const std::int64_t period = epoch.pulsePeriod > 0 ? epoch.pulsePeriod : d;
    const std::int64_t width = std::max<std::int32_t>(0, epoch.pulseWidth);
    const std::int64_t phase = period > 0 ? k % period : k;
    const float swing = target - before;
    switch (epoch.type) {
        case kAbfEpochRamp:
            return before + swing * static_cast<float>(static_cast<double>(k) / static_cast<double>(d));
        case kAbfEpochPulseTrain:
            return phase < width ? target : before;
        case kAbfEpochBiphasicTrain:
            if (phase >= width) return before;
            return phase < width / 2 ? target : before - swing;
        case kAbfEpochTriangleTrain: {
            if (phase >= width || width == 0) return before;
            const double t = static_cast<double>(phase) / static_cast<double>(width);
            return before + swing * static_cast<float>(1.0 - std::abs(2.0 * t - 1.0));
        }
        case kAbfEpochCosineTrain: {
            const double t =
                static_cast<double>(phase) / static_cast<double>(std::max<std::int64_t>(1, period));
            return before + swing * static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * t)));
        }
        default:  // step, and codes without a known shape
            return target;
    }
}

void fillRange(std::span<float> out, std::int64_t from, std::int64_t to, float value) {
    const std::int64_t n = static_cast<std::int64_t>(out.size());
    from = std::clamp<std::int64_t>(from, 0, n);
    to = std::clamp<std::int64_t>(to, 0, n);
    for (std::int64_t i = from; i < to; ++i) out[static_cast<std::size_t>(i)] = value;
}

}  // namespace

bool abfHasEpochWaveform(const AbfHeader& header, int dac) {
    if (!validDac(dac)) return false;
    const AbfDac& d = header.dacs[dac];
    return d.waveformEnable != 0 && d.waveformSource == kAbfWaveformEpochs;
}

int abfEpochBounds(const AbfHeader& header, int physicalChannel, int dac, int sweep, int epoch, int& first,
                   int& last) {
    first = -1;
    last = -1;
    if (abfChannelPosition(header, physicalChannel) < 0) return kAbfErrChannelNotSampled;
    if (!validDac(dac)) return kAbfErrBadArgument;
    if (!sweepInRange(header, sweep)) return kAbfErrSweepRange;
    if (header.operationMode != kAbfEpisodic || !abfHasEpochWaveform(header, dac)) return kAbfErrNoWaveform;
    if (epoch < 0 || epoch >= kAbfEpochCount) return kAbfErrEpochNotFound;

    const AbfDac& d = header.dacs[dac];
    const int s = sweep - 1;
    const std::int64_t n = abfSamplesPerChannel(header);
    std::int64_t position = n / 64;
    for (int e = 0; e < epoch; ++e) position += duration(d.epochs[e], s);
    const std::int64_t length = duration(d.epochs[epoch], s);
    if (length <= 0 || position >= n) return kAbfErrEpochNotFound;
    first = static_cast<int>(position);
    last = static_cast<int>(std::min(position + length, n) - 1);
    return kAbfOk;
}

int abfStimulusWaveform(const AbfHeader& header, int dac, int sweep, std::span<float> out) {
    if (!validDac(dac)) return kAbfErrBadArgument;
    if (!sweepInRange(header, sweep)) return kAbfErrSweepRange;
    const AbfDac& d = header.dacs[dac];
    const float holding = d.holdingLevel;
    if (header.operationMode != kAbfEpisodic || !abfHasEpochWaveform(header, dac)) {
        std::fill(out.begin(), out.end(), holding);
        return (d.waveformEnable != 0 && d.waveformSource == kAbfWaveformDacFile) ? kAbfErrDacFile : kAbfOk;
    }

    const int s = sweep - 1;
    // With "use last epoch level" between sweeps, a sweep starts where the previous one ended.
    const bool keepLast = d.interEpisodeLevel != 0;
    const float start = (keepLast && s > 0) ? lastEpochLevel(d, s - 1, holding) : holding;
    const std::int64_t n = static_cast<std::int64_t>(out.size());
    std::int64_t position = abfSamplesPerChannel(header) / 64;
    fillRange(out, 0, position, start);

    float before = start;
    for (const AbfEpoch& epoch : d.epochs) {
        if (epoch.type == kAbfEpochOff) continue;
        const std::int64_t length = duration(epoch, s);
        const float target = level(epoch, s);
        const std::int64_t from = std::clamp<std::int64_t>(position, 0, n);
        const std::int64_t to = std::clamp<std::int64_t>(position + length, 0, n);
        for (std::int64_t i = from; i < to; ++i) {
            out[static_cast<std::size_t>(i)] = epochValue(epoch, i - position, length, before, target);
        }
        position += length;
        const bool train = epoch.type == kAbfEpochPulseTrain || epoch.type == kAbfEpochTriangleTrain ||
                           epoch.type == kAbfEpochCosineTrain || epoch.type == kAbfEpochBiphasicTrain;
        if (!train) before = target;
    }
    fillRange(out, position, n, keepLast ? lastEpochLevel(d, s, holding) : holding);
    return kAbfOk;
}

int abfStimulusWaveform(const AbfHeader& header, int dac, int sweep, std::vector<float>& out) {
    out.assign(static_cast<std::size_t>(std::max(0, abfSamplesPerChannel(header))), 0.0f);
    return abfStimulusWaveform(header, dac, sweep, std::span<float>(out));
}

}  // namespace ephys
