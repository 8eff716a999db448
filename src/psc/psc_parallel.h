// psctrawl's batch recordings analysed several at once, each on a worker thread with a copy of
// the parameter record, with the outcome, outputs and messages of pscRunRecordings one after the
// other. A recording starts from the settings the one before it leaves (the settings fitted to a
// recording stay for the next, as in a run one after the other); the worker takes them as soon as
// that recording's detection pass starts, and a recording that started from other settings than
// the earlier one finally left is analysed again after it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "params/messages.h"
#include "psc/psc_parameters.h"
#include "psc/run_driver.h"

namespace ephys {

struct PscParallelOptions {
    int jobs = 2;
    // The answer of the run's message sink to a save-name question (batch: --overwrite).
    bool saveAnswer = false;
    // One line on standard error per finished recording.
    bool showProgress = true;
    // Sets up each worker's run as the batch run is set up (output folder, further outputs).
    std::function<void(PscRun&)> configure;
};

// Runs `files` as pscRunRecordings does with a run whose record is `params`, `options.jobs` at a
// time; what the recordings say goes to `messages` in list order. Returns the outcomes in list
// order.
std::vector<PscRecordingOutcome> pscRunRecordingsParallel(const PscParameters& params,
                                                          const std::vector<std::string>& files,
                                                          const std::optional<std::string>& frames,
                                                          MessageSink& messages,
                                                          const PscParallelOptions& options);

}  // namespace ephys
