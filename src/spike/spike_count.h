// A spike-counting run: for each chosen recording, find the action potentials on every readable
// channel of every sweep, measure their latencies and amplitudes, write the output files beside
// the recording and hand back the result text (what the desktop program puts on the clipboard).
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "params/messages.h"
#include "params/progress.h"
#include "params/run_outputs.h"
#include "plot/graph_record.h"
#include "spike/spike_outputs.h"
#include "spike/spike_params.h"

namespace ephys {

inline constexpr std::string_view kSpikeDetectorCaption = "Spike Detector";

struct SpikeRunOptions {
    // Folder for the output files; empty: beside each recording.
    std::string outputDir;
    // Where the run's console lines ("RMS is ...") go; standard output when not set.
    std::function<void(std::string_view)> console;
    // Shows the F/I figure when "Do Frequencies" and "Generate F/I Plots?" are both on: called after
    // the fits, before the frequency file is closed; the run waits until it returns. Not set: no
    // figure.
    std::function<void(GraphRecord&, const std::string& recordingPath)> showFiPlots;
    // The outputs written so far in the run, which no later output replaces. Not set: those of
    // the one recording (a selection keeps its own for all its recordings).
    RunOutputs* outputs = nullptr;
    // Called by a selection run before each recording and after it (after its status message when
    // it was counted, before "Error in Spkcensus" when not): the desktop opens and closes the
    // recording's progress window there.
    std::function<void(const std::string& recordingPath)> recordingStarts;
    std::function<void()> recordingEnds;
    // Called with each sweep's row once all its channel slots are counted and the row went to the
    // outputs: the counts in memory, for callers that take them without the files.
    std::function<void(const SpikeSweepRow&)> sweepCounted;
};

// The progress of a recording that starts: its file name on the first line, no status line yet,
// 1 %.
void spikeStartProgress(ProgressRecord& progress, const std::string& path);

struct SpikeFileResult {
    bool ok = false;
    // "Ouput File: " and the output base name, or the F/I summary when frequencies are done.
    std::string resultText;
    std::vector<std::string> outputs;  // the files written
    std::vector<int> channels;         // the channel list: acquisition channels that could be read
    int sweeps = 0;
};

// The settings a run cannot work with: "Interval to Measure" and "# spikes/burst" below 1, an
// "Amount descending slope > noise" of 0. Returns the "Parameter Error" text of the first refused
// row, nothing when the settings are usable.
std::optional<std::string> spikeCheckParams(const SpikeParams& params);

// Counts the spikes of one recording and writes its outputs. Progress goes to `progress` (line 1
// the recording, line 2 the status), messages to `messages`. False when the recording could not
// be opened, its tags not read, or an output file not created or written; the outputs are then
// left as they were.
bool spikeCountFile(const SpikeParams& params, const std::string& path, ProgressRecord& progress,
                    MessageSink& messages, SpikeFileResult& result, const SpikeRunOptions& options = {});

// The count command: refuses unusable settings (false, nothing run), then runs every recording
// in order. A recording's result text goes to `onResult` (the clipboard) and, with
// `statusOnCompletion`, to a message captioned "Spike Detector"; a failed recording shows "Error in
// Spkcensus" and the run goes on. Returns the result of the last recording. `results`, when
// given, receives every recording's outcome.
bool spikeCountSelection(
    const SpikeParams& params, std::span<const std::string> paths, ProgressRecord& progress,
    MessageSink& messages, const SpikeRunOptions& options,
    const std::function<void(const std::string& path, const std::string& text)>& onResult,
    bool statusOnCompletion, std::vector<SpikeFileResult>* results = nullptr);

}  // namespace ephys
