// spktal's batch recordings counted several at once (batch --jobs), each on a worker thread, with
// the outcome, outputs, messages and result texts of spikeCountSelection one after the other.
// The settings are the same for every recording; what a recording prints, and its F/I figure, are
// handed to the calling thread and done there in list order.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "params/messages.h"
#include "spike/spike_count.h"
#include "spike/spike_params.h"

namespace ephys {

struct SpikeParallelOptions {
    int jobs = 2;
    // The answer of the run's message sink to a save-name question.
    bool saveAnswer = false;
    // One line on standard error per finished recording.
    bool showProgress = true;
};

// Counts `paths` as spikeCountSelection(params, paths, ..., onResult, false, &results) does, with
// `jobs` recordings at a time. `runOptions.console`, `runOptions.showFiPlots` and `onResult` are
// called on the calling thread, in list order, in their places among the recording's messages.
// Returns each recording's outcome in list order.
std::vector<SpikeFileResult> spikeCountParallel(
    const SpikeParams& params, std::span<const std::string> paths, MessageSink& messages,
    const SpikeRunOptions& runOptions,
    const std::function<void(const std::string& path, const std::string& text)>& onResult,
    const SpikeParallelOptions& options);

}  // namespace ephys
