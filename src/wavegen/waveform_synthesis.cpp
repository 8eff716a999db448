#include "wavegen/waveform_synthesis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>

#include "wavegen/atf_output.h"

namespace ephys {

namespace {

// The generator's own values of 2 pi and pi / 2.
constexpr double kTwoPi = 6.283185308;
constexpr double kHalfPi = 1.570796327;

// A sample count from a time ratio, truncated toward zero. Values no file could hold are held
// at a bound far beyond any sample index, and a ratio that is not a number counts as 0.
std::int64_t wholeSamples(float x) {
    constexpr float kBound = 4.0e18f;
    if (std::isnan(x)) return 0;
    return static_cast<std::int64_t>(std::clamp(x, -kBound, kBound));
}

float sampleTime(std::size_t i, std::int32_t intervalUs) {
    return static_cast<float>(static_cast<double>(i) * 0.001 * intervalUs);
}

void reportPercent(ProgressRecord& progress, std::size_t i, std::size_t count) {
    const int percent = static_cast<int>(static_cast<double>(i) * 100.0 / static_cast<double>(count) + 0.9);
    if (percent != progress.percent) {
        progress.percent = percent;
        progressUpdate(progress);
    }
}

void setProgressText(ProgressRecord& progress, const char* text) {
    progress.line1 = text;
    progressUpdate(progress);
}

// The pulse train: pulses of the pulse duration, one per period of the start frequency, from
// the step's start, as many as fit into the step but no more than asked for.
void makePulses(const WaveformParameters& p, std::span<float> times, std::span<float> values) {
    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) {
        times[i] = sampleTime(i, p.sampleInterval);
        values[i] = 0.0f;
    }
    const auto dt = static_cast<float>(p.sampleInterval);
    const std::int64_t length = wholeSamples(p.pulseDuration * 1000.0f / dt);
    const std::int64_t period = wholeSamples(1000000.0f / p.chirpStartHz / dt);
    const std::int64_t first = wholeSamples(p.stepOn * 1000.0f / dt);
    const std::int64_t fit = wholeSamples((p.stepOff - p.stepOn) * p.chirpStartHz / 1000.0f);
    const std::int64_t count = std::min<std::int64_t>(fit, static_cast<std::uint32_t>(p.pulseCount));
    const float level = p.amplitude + p.dcStep;
    const auto last = static_cast<std::int64_t>(n);
    // Pulses start ever later, so each sample needs setting once even where pulses overlap.
    std::int64_t setUpTo = 0;
    for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t start = k * period + first;
        if (start >= last) break;
        const std::int64_t end = std::min(start + length, last);
        for (std::int64_t i = std::max({start, setUpTo, std::int64_t{0}}); i < end; ++i) {
            values[static_cast<std::size_t>(i)] = level;
        }
        setUpTo = std::max(setUpTo, end);
        if (period <= 0) break;  // every further pulse lies on the first
    }
}

// Restores the record's frequencies when the run ends, however it ends.
class FrequenciesInForce {
  public:
    explicit FrequenciesInForce(WaveformParameters& p) : p_(p), start_(p.chirpStartHz), end_(p.chirpEndHz) {
        if (p.waveform == 'R') std::swap(p.chirpStartHz, p.chirpEndHz);
        if (p.waveform == 'S') p.chirpEndHz = p.chirpStartHz;
    }
    ~FrequenciesInForce() {
        p_.chirpStartHz = start_;
        p_.chirpEndHz = end_;
    }
    FrequenciesInForce(const FrequenciesInForce&) = delete;
    FrequenciesInForce& operator=(const FrequenciesInForce&) = delete;

  private:
    WaveformParameters& p_;
    float start_, end_;
};

}  // namespace

bool waveAllocate(std::size_t count, WaveArrays& arrays, MessageSink& messages) {
    try {
        arrays.times.resize(count);
        arrays.values.resize(count);
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    arrays = WaveArrays{};
    messages.errorBox("Not enough memory for the waveform of " + std::to_string(count) +
                      " samples; no file was written");
    return false;
}

std::optional<std::string> waveCheckParameters(const WaveformParameters& p) {
    WaveformParameters copy = p;
    ParamTable table;
    SilentMessageSink silent;
    waveBuildParamTable(copy, table, silent);
    for (const ParamRow& row : table.rows) {
        if (row.kind() == PK_CHOICE) {
            const char key = row.letter();
            if (key == '\0' || std::strchr(row.keys, key) == nullptr) {
                std::string text = row.label;
                text += "\nmust be one of the letters ";
                text += row.keys;
                text += "!";
                return text;
            }
            continue;
        }
        const double x = row.kind() == PK_INT ? static_cast<double>(row.integer()) : row.real();
        if (row.hasLimits() && !(x >= row.minValue && x <= row.maxValue)) return paramErrorText(row);
    }
    return std::nullopt;
}

void waveSynthesize(const WaveformParameters& p, WaveRandom& random, ProgressRecord& progress,
                    std::span<float> times, std::span<float> values) {
    setProgressText(progress, "Generating waveform.......");
    if (p.waveform == 'P') {
        makePulses(p, times, values);
        return;
    }
    const std::size_t n = values.size();
    const float on = p.stepOn, off = p.stepOff;
    const double start = p.chirpStartHz, end = p.chirpEndHz;
    // The sweep time: the frequency reaches f_end at "off". When the step is an instant there is
    // no time to sweep in, and the instant takes the start frequency.
    const double sweepTime = 2.0 * (static_cast<double>(off) - on) / 1000.0;
    for (std::size_t i = 0; i < n; ++i) {
        const float t = sampleTime(i, p.sampleInterval);
        times[i] = t;
        float v = 0.0f;
        if (on <= t && t <= off) {
            if (p.waveform == 'N') {
                v = waveNormal(random) * p.amplitude + p.dcStep;
            } else {
                const double tau = (static_cast<double>(t) - on) / 1000.0;
                const double sweep = sweepTime != 0.0 ? tau * (end - start) / sweepTime : 0.0;
                v = static_cast<float>(std::cos(kTwoPi * tau * (start + sweep) - kHalfPi) * p.amplitude +
                                       p.dcStep);
            }
        }
        values[i] = v;
        reportPercent(progress, i, n);
    }
}

WaveRunResult waveGenerate(WaveformParameters& p, ProgressRecord& progress, WaveState& state,
                           MessageSink& messages, const WaveRunOptions& options) {
    WaveRunResult result;
    if (std::optional<std::string> refused = waveCheckParameters(p)) {
        messages.show(MessageKind::ParameterError, kParameterErrorCaption, *refused);
        return result;
    }
    WaveArrays arrays;
    if (!waveAllocate(static_cast<std::uint32_t>(p.sampleCount), arrays, messages)) return result;

    const auto now = options.startTime.value_or(std::chrono::system_clock::now());
    WaveRandom& random = state.random;
    if (options.seed) {
        waveRandomReset(random);
        random.seed = *options.seed;
    } else {
        random.seed = waveClockSeed(now);
    }
    waveNormal(random);  // the first deviate of every run is thrown away

    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const std::string date = waveDateText(local);
    int counter = waveFindFreeCounter(options.directory, date, 0, messages);
    const std::string chosenName = waveFileName(date, counter);

    WaveOutputFile file;
    if (const Result<void> created = file.create(options.directory); !created) {
        messages.errorBox("Could not create output file " + waveJoinPath(options.directory, chosenName) +
                          ": " + created.error().text());
        return result;
    }

    {
        FrequenciesInForce inForce(p);
        waveSynthesize(p, random, progress, arrays.times, arrays.values);
        if (p.waveform == 'N' && p.noiseFilterHz != 0.0f) {
            progress.line1 = "Filtering noise.......";
            progress.percent = 0;
            progressUpdate(progress);
            if (!gaussianFilter(arrays.values, p.noiseFilterHz, static_cast<float>(p.sampleInterval),
                                state.filterTaps)) {
                messages.errorBox("Not enough memory to filter the noise; no file was written");
                return result;
            }
        }
        if (const Result<void> written = file.write(p, arrays.times, arrays.values, chosenName, progress);
            !written) {
            messages.errorBox("Could not write output file " + waveJoinPath(options.directory, chosenName) +
                              ": " + written.error().text());
            return result;
        }
    }
    if (const Result<void> named = file.publish(date, counter, messages); !named) {
        messages.errorBox("Could not name output file " + waveJoinPath(options.directory, chosenName) + ": " +
                          named.error().text());
        return result;
    }
    result.ok = true;
    result.fileName = waveFileName(date, counter);
    result.path = waveJoinPath(options.directory, result.fileName);
    return result;
}

bool waveMakeSamples(WaveformParameters& p, ProgressRecord& progress, WaveState& state, MessageSink& messages,
                     const WaveRunOptions& options, WaveArrays& arrays) {
    if (std::optional<std::string> refused = waveCheckParameters(p)) {
        messages.show(MessageKind::ParameterError, kParameterErrorCaption, *refused);
        return false;
    }
    if (!waveAllocate(static_cast<std::uint32_t>(p.sampleCount), arrays, messages)) return false;
    WaveRandom& random = state.random;
    if (options.seed) {
        waveRandomReset(random);
        random.seed = *options.seed;
    } else {
        random.seed = waveClockSeed(options.startTime.value_or(std::chrono::system_clock::now()));
    }
    waveNormal(random);  // the first deviate of every run is thrown away

    FrequenciesInForce inForce(p);
    waveSynthesize(p, random, progress, arrays.times, arrays.values);
    if (p.waveform == 'N' && p.noiseFilterHz != 0.0f) {
        progress.line1 = "Filtering noise.......";
        progress.percent = 0;
        progressUpdate(progress);
        if (!gaussianFilter(arrays.values, p.noiseFilterHz, static_cast<float>(p.sampleInterval),
                            state.filterTaps)) {
            messages.errorBox("Not enough memory to filter the noise");
            arrays = WaveArrays{};
            return false;
        }
    }
    return true;
}

}  // namespace ephys
