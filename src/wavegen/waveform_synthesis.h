// One run of the waveform generator: noise, chirp, reverse chirp, sine or pulse train inside the
// current step, the optional noise filter, and the new ATF file that takes the samples.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "params/messages.h"
#include "params/progress.h"
#include "signal/gaussian_filter.h"
#include "wavegen/random_source.h"
#include "wavegen/waveform_parameters.h"

namespace ephys {

// What the generator keeps for the whole program run: the random source and the filter's taps.
struct WaveState {
    WaveRandom random;
    GaussianTaps filterTaps;
};

// The working data of a run: sample times (ms) and values (pA).
struct WaveArrays {
    std::vector<float> times;
    std::vector<float> values;
};

// Allocates both arrays; when the memory is not there, says so through the error box and
// returns false with the arrays empty.
bool waveAllocate(std::size_t count, WaveArrays& arrays, MessageSink& messages);

// The "Parameter Error" text of the first setting outside its row's limits (a choice letter that
// is none of the keys included), or nothing when every setting is in range. Values read from an
// ini or parameter file are not checked on reading; this is the check before a run.
std::optional<std::string> waveCheckParameters(const WaveformParameters& p);

// Fills times and values (one entry per sample) with the waveform of `p`; the frequencies of `p`
// are those in force (swapped for RevChirp, equal for Sine). Reports "Generating waveform......."
// and the percentage, except while a pulse train is made.
void waveSynthesize(const WaveformParameters& p, WaveRandom& random, ProgressRecord& progress,
                    std::span<float> times, std::span<float> values);

struct WaveRunOptions {
    std::string directory;  // folder of the new file; empty for the current folder
    // A fixed seed word: the random source starts afresh from it (table, spare deviate and all),
    // so equal seeds give equal noise. Without one the run's seed word comes from the clock; the
    // first run of a program run still starts from state 1, because the first draw fills the
    // table from there, so the clock shows only from the second run on.
    std::optional<std::int32_t> seed;
    // The time the run starts (file date and clock seed); now when unset.
    std::optional<std::chrono::system_clock::time_point> startTime;
};

struct WaveRunResult {
    bool ok = false;
    std::string fileName;  // the name taken, "SWGMMDDYYnn.ATF"
    std::string path;      // the folder and the name
};

// One generator run. The record's frequencies are changed while the run goes on and restored
// before it returns, whatever happens. A failure (a refused setting, no memory, a file that
// cannot be made or written) is told through `messages` and leaves no file behind.
WaveRunResult waveGenerate(WaveformParameters& p, ProgressRecord& progress, WaveState& state,
                           MessageSink& messages, const WaveRunOptions& options = {});

// The samples of one run in memory, as waveGenerate makes them for its file (times in ms, values
// in pA, before the file's four-digit form): the settings checked, the random source started from
// options.seed or the clock, the first deviate thrown away, the waveform with the frequencies in
// force and the noise filter. No file is made; options.directory is not used. False, with the
// reason told through `messages`, when a setting is refused or the memory is not there.
bool waveMakeSamples(WaveformParameters& p, ProgressRecord& progress, WaveState& state, MessageSink& messages,
                     const WaveRunOptions& options, WaveArrays& arrays);

}  // namespace ephys
