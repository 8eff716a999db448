#include "abf/synthetic_recording.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>

namespace ephys {

namespace {

std::uint64_t splitMix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

double unitOpen(std::uint64_t bits) {
    return (static_cast<double>(bits >> 11) + 0.5) * 0x1.0p-53;
}

// Gaussian noise that depends only on (seed, stream, sample index), so any piece of a recording
// gets the same noise however the recording is cut into pieces.
double counterNormal(std::uint64_t seed, std::uint64_t stream, std::int64_t index) {
    std::uint64_t key =
        seed * 0x2545F4914F6CDD1Dull ^ (stream << 40) ^ static_cast<std::uint64_t>(index >> 1);
    const double u1 = unitOpen(splitMix(key));
    const double u2 = unitOpen(splitMix(key));
    const double r = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    return (index & 1) != 0 ? r * std::sin(angle) : r * std::cos(angle);
}

// Pink noise of SD 1 at sample `index` (after Voss and McCartney): the sum of kPinkOctaves random
// sequences, the one of octave j with a new value every 2^j samples and straight lines between
// them (held values would make steps, which no amplifier's noise has), each octave with its own
// phase. Every value comes from the counter-based generator, so any stretch of the noise can be
// produced without the samples before it.
constexpr int kPinkOctaves = 16;

double pinkNoise(std::uint64_t seed, std::uint64_t stream, std::int64_t index) {
    double sum = 0.0;
    for (int j = 0; j < kPinkOctaves; ++j) {
        const std::int64_t span = std::int64_t{1} << j;
        const auto phase = static_cast<std::int64_t>((static_cast<std::uint64_t>(j) * 0x9E3779B9ull) %
                                                     static_cast<std::uint64_t>(span));
        const std::int64_t at = index + phase;
        const std::int64_t node = at >> j;
        const double f = static_cast<double>(at - (node << j)) / static_cast<double>(span);
        // Streams above 0x100 are the octaves'; the white noise uses the sweep number.
        const std::uint64_t octave = (stream << 5) + 0x100 + static_cast<std::uint64_t>(j);
        sum += (1.0 - f) * counterNormal(seed, octave, node) + f * counterNormal(seed, octave, node + 1);
    }
    // A straight line between two independent values has a variance of 2/3 on average.
    return sum * std::sqrt(1.5 / static_cast<double>(kPinkOctaves));
}

}  // namespace

SynthRandom::SynthRandom(std::uint64_t seed) {
    for (auto& word : s_) word = splitMix(seed);
}

std::uint64_t SynthRandom::next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double SynthRandom::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}
double SynthRandom::uniformOpen() {
    return unitOpen(next());
}
double SynthRandom::exponential() {
    return -std::log(uniformOpen());
}

double SynthRandom::normal() {
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(uniformOpen()));
    const double angle = 2.0 * std::numbers::pi * uniform();
    spare_ = r * std::sin(angle);
    haveSpare_ = true;
    return r * std::cos(angle);
}

// ---- Postsynaptic currents ------------------------------------------------------------------

PscSynthesizer::PscSynthesizer(const PscSynthSpec& spec) : spec_(spec) {
    if (spec_.tauDecayMs <= 0) spec_.tauDecayMs = 1.0;
    if (spec_.tauRiseMs <= 0) spec_.tauRiseMs = spec_.tauDecayMs / 10;
    // Equal constants would make the difference of exponentials vanish; keep them apart.
    if (spec_.tauRiseMs >= spec_.tauDecayMs) spec_.tauRiseMs = spec_.tauDecayMs * 0.99;
    const double td = spec_.tauDecayMs, tr = spec_.tauRiseMs;
    peakDelayMs_ = td * tr / (td - tr) * std::log(td / tr);
    norm_ = 1.0 / (std::exp(-peakDelayMs_ / td) - std::exp(-peakDelayMs_ / tr));
    auto crossing = [&](double level) {
        double lo = 0, hi = peakDelayMs_;
        for (int i = 0; i < 100; ++i) {
            const double mid = 0.5 * (lo + hi);
            (shape(mid) < level ? lo : hi) = mid;
        }
        return 0.5 * (lo + hi);
    };
    rise1090Ms_ = crossing(0.9) - crossing(0.1);

    SynthRandom random(spec_.seed);
    const int sweeps = spec_.gapFree ? 1 : std::max(1, spec_.sweeps);
    const double sweepS = static_cast<double>(spec_.samplesPerSweep) * spec_.intervalUs * 1e-6;
    const double meanGapS = spec_.rateHz > 0 ? 1.0 / spec_.rateHz : sweepS * 2 + 1;
    for (int sweep = 1; sweep <= sweeps; ++sweep) {
        sweepStart_.push_back(events_.size());
        double t = spec_.minGapMs * 1e-3 + random.exponential() * meanGapS;
        while (t < sweepS) {
            const double amplitude =
                spec_.amplitudeMedianPa * std::exp(spec_.amplitudeLogSd * random.normal());
            const double peak = t + peakDelayMs_ * 1e-3;
            if (peak < sweepS) {
                events_.push_back({sweep, t, peak, spec_.sign * amplitude, rise1090Ms_, spec_.tauDecayMs});
            }
            t += spec_.minGapMs * 1e-3 + random.exponential() * meanGapS;
        }
    }
    sweepStart_.push_back(events_.size());
}

double PscSynthesizer::shape(double tMs) const {
    if (tMs <= 0) return 0.0;
    return norm_ * (std::exp(-tMs / spec_.tauDecayMs) - std::exp(-tMs / spec_.tauRiseMs));
}

void PscSynthesizer::fill(int sweep, std::int64_t first, std::span<float> out) const {
    const double dtS = spec_.intervalUs * 1e-6;
    const double sweepS = static_cast<double>(spec_.samplesPerSweep) * dtS;
    const double sweepOffsetS = (sweep - 1) * sweepS;
    const auto stream = static_cast<std::uint64_t>(sweep);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int64_t k = first + static_cast<std::int64_t>(i);
        const double t = static_cast<double>(k) * dtS;
        double v = spec_.holdingPa + spec_.noiseSdPa * counterNormal(spec_.seed, stream, k);
        if (spec_.driftPa != 0.0) {
            v += spec_.driftPa * std::sin(2.0 * std::numbers::pi * spec_.driftHz * (t + sweepOffsetS));
        }
        if (spec_.pinkNoiseSdPa != 0.0) v += spec_.pinkNoiseSdPa * pinkNoise(spec_.seed, stream, k);
        if (spec_.humPa != 0.0) {
            v += spec_.humPa * std::sin(2.0 * std::numbers::pi * spec_.humHz * (t + sweepOffsetS));
        }
        out[i] = static_cast<float>(v);
    }
    if (sweep < 1 || static_cast<std::size_t>(sweep) >= sweepStart_.size()) return;
    // Events whose shape reaches into this piece: an event has decayed to 1e-6 of its peak
    // after about 14 decay constants.
    const double lengthS = (peakDelayMs_ + 14.0 * spec_.tauDecayMs) * 1e-3;
    const double pieceStart = static_cast<double>(first) * dtS;
    const double pieceEnd = static_cast<double>(first + static_cast<std::int64_t>(out.size())) * dtS;
    auto begin =
        events_.begin() + static_cast<std::ptrdiff_t>(sweepStart_[static_cast<std::size_t>(sweep) - 1]);
    auto end = events_.begin() + static_cast<std::ptrdiff_t>(sweepStart_[static_cast<std::size_t>(sweep)]);
    auto it = std::lower_bound(begin, end, pieceStart - lengthS,
                               [](const PscEventTruth& e, double t) { return e.onsetS < t; });
    for (; it != end && it->onsetS < pieceEnd; ++it) {
        const auto from =
            std::max<std::int64_t>(first, static_cast<std::int64_t>(std::ceil(it->onsetS / dtS)));
        const auto to = std::min<std::int64_t>(first + static_cast<std::int64_t>(out.size()),
                                               static_cast<std::int64_t>((it->onsetS + lengthS) / dtS) + 1);
        for (std::int64_t k = from; k < to; ++k) {
            const double tMs = (static_cast<double>(k) * dtS - it->onsetS) * 1e3;
            out[static_cast<std::size_t>(k - first)] += static_cast<float>(it->amplitudePa * shape(tMs));
        }
    }
}

// ---- Action potentials ----------------------------------------------------------------------

SpikeSynthesizer::SpikeSynthesizer(const SpikeSynthSpec& spec) : spec_(spec) {
    const double dtS = spec_.intervalUs * 1e-6;
    const std::int64_t start = stepStartSample();
    const std::int64_t stop = std::min(spec_.samplesPerSweep, start + spec_.stepLength);
    const double widthS = spec_.spikeWidthMs * 1e-3;
    for (int channel = 0; channel < spec_.channels; ++channel) {
        SynthRandom random(spec_.seed * 1000003u + static_cast<std::uint64_t>(channel));
        for (int sweep = 1; sweep <= spec_.sweeps; ++sweep) {
            const double rate = spec_.gainHzPerPa * (stepLevelPa(sweep) - spec_.rheobasePa);
            if (rate <= 0) continue;
            const double stepStartS = static_cast<double>(start) * dtS;
            const double stepEndS = static_cast<double>(stop) * dtS;
            // A first latency of a few ms that shortens with the drive, then jittered intervals.
            double t = stepStartS + 0.003 + 0.2 / rate;
            while (t < stepEndS - 2 * widthS) {
                // Peaks lie on samples, so the sample of the peak is exact.
                const double onGrid = std::round(t / dtS) * dtS;
                spikes_.push_back({sweep, channel, onGrid});
                t += (1.0 / rate) * std::max(0.3, 1.0 + 0.05 * random.normal());
            }
        }
    }
    std::sort(spikes_.begin(), spikes_.end(), [](const SpikeTruth& a, const SpikeTruth& b) {
        return std::tie(a.channel, a.sweep, a.peakS) < std::tie(b.channel, b.sweep, b.peakS);
    });
}

double SpikeSynthesizer::stepLevelPa(int sweep) const {
    return spec_.firstStepPa + (sweep - 1) * spec_.stepIncrementPa;
}

void SpikeSynthesizer::fill(int sweep, int channel, std::int64_t first, std::span<float> out) const {
    const double dtMs = spec_.intervalUs * 1e-3;
    const double tau = std::max(spec_.membraneTauMs, 1e-3);
    const double t0 = static_cast<double>(stepStartSample()) * dtMs;
    const double t1 =
        static_cast<double>(std::min(spec_.samplesPerSweep, stepStartSample() + spec_.stepLength)) * dtMs;
    const double rMv = spec_.inputResistanceMOhm * 1e-3;  // MOhm × pA = µV
    const double drive = stepLevelPa(sweep) - spec_.holdingPa;
    auto base = [&](double tMs) {
        double g = 0.0;
        if (tMs >= t0 && tMs < t1) {
            g = 1.0 - std::exp(-(tMs - t0) / tau);
        } else if (tMs >= t1) {
            g = (1.0 - std::exp(-(t1 - t0) / tau)) * std::exp(-(tMs - t1) / tau);
        }
        return spec_.restMv + rMv * spec_.holdingPa + rMv * drive * g;
    };
    const auto stream = (static_cast<std::uint64_t>(channel) << 20) + static_cast<std::uint64_t>(sweep);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int64_t k = first + static_cast<std::int64_t>(i);
        out[i] = static_cast<float>(base(static_cast<double>(k) * dtMs) +
                                    spec_.noiseSdMv * counterNormal(spec_.seed, stream, k));
    }
    // Each spike a Gaussian bump from the membrane potential up to the peak value.
    const double sigmaMs = spec_.spikeWidthMs / 2.3548;
    const auto reach = static_cast<std::int64_t>(std::ceil(5.0 * sigmaMs / dtMs));
    for (const SpikeTruth& s : spikes_) {
        if (s.channel != channel || s.sweep != sweep) continue;
        const double peakMs = s.peakS * 1e3;
        const auto centre = static_cast<std::int64_t>(std::llround(peakMs / dtMs));
        const double height = spec_.peakMv - base(peakMs);
        const std::int64_t from = std::max(first, centre - reach);
        const std::int64_t to = std::min(first + static_cast<std::int64_t>(out.size()), centre + reach + 1);
        for (std::int64_t k = from; k < to; ++k) {
            const double x = (static_cast<double>(k - centre) * dtMs) / sigmaMs;
            out[static_cast<std::size_t>(k - first)] += static_cast<float>(height * std::exp(-0.5 * x * x));
        }
    }
}

}  // namespace ephys
