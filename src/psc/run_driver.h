// The PSC run: from the chosen recordings to their outputs. For each recording the header is read
// and the frames laid out, the time parameters are brought onto the sample grid, an optional
// autoscaling pass sets the display limits, and the detection pass reads, detects and measures
// every listed frame; then the outputs are written. Progress, pausing and Cancel go through the
// progress record; messages through the message sink.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "abf/abf_header.h"
#include "params/messages.h"
#include "params/param_table.h"
#include "params/progress.h"
#include "params/run_outputs.h"
#include "psc/event_table.h"
#include "psc/frame_buffers.h"
#include "psc/psc_display.h"
#include "psc/psc_parameters.h"
#include "psc/recording_frames.h"
#include "psc/template_fit.h"

namespace ephys {

struct PscEventTable;

// What the recordings of one run share.
struct PscRun {
    PscRun(PscParameters& parameters, ProgressRecord& progressRecord, MessageSink& messageSink)
        : params(parameters), progress(progressRecord), messages(messageSink) {}

    PscParameters& params;
    ProgressRecord& progress;
    MessageSink& messages;

    // The detector's marks; none in batch mode.
    PscDisplay* display = nullptr;
    // The live display's own drawing, when there is one: at the start of each recording, and for
    // each frame of the detection pass before the detector looks at it.
    std::function<void(PscParameters&)> startDisplay;
    std::function<void(const PscFrameBuffers&, PscParameters&)> drawFrame;
    // Called as the detection pass of a recording starts. The settings are fitted to the
    // recording by then and the pass changes none of them, so the record holds the settings the
    // next recording of the run starts from: batch --jobs starts that one from them at once.
    std::function<void(const PscParameters&)> detectionStarts;
    // Further outputs of a recording, written after its text outputs and before its scan file
    // (which changes the scale of float recordings in the record), and put in place together
    // with them: batch --figures writes the events figure here. An output not written marks the
    // recording failed in `outputs`.
    std::function<void(PscRun&, const std::string&, const PscEventTable&)> moreOutputs;
    // Called with each recording's event table when its detection pass ran to the end and its
    // outputs are done (the episode pass has given every event its frame and window): the events
    // in memory, for callers that take them without the files.
    std::function<void(const PscEventTable&, const PscParameters&)> eventsDetected;

    // Batch --template-from-recording: before the detection pass of each recording, a first pass
    // fits the model detector's kinetics to the recording's own clearest events, starting from
    // these (every recording starts from them again), and says what it found. None: the kinetics
    // stay as the record holds them.
    std::optional<PscTemplateStart> templateFromRecording;

    // Folder for the outputs; empty: beside each recording.
    std::string outputDir;
    // With a button event the run can pause (single-step modes) and be woken by the progress
    // box's buttons. Batch mode has no buttons and runs without one, so it never waits.
    bool withButtonEvent = true;
    // A run without a live display and without a button event reads and filters the next frames
    // on a second core while the detector works on the current one; false: frame by frame.
    bool pipelineFrames = true;

    // Read buffer and filter taps, kept for the whole run.
    PscFrameReader reader;
    // The outputs written so far in the run; none of them is replaced by a later recording's.
    RunOutputs outputs;
};

// The result of one recording.
struct PscFileResult {
    int status = 0;              // 1 done (also when cancelled), 0 the recording could not be opened
    bool cancelled = false;      // Cancel ended the detection pass: no outputs were written
    bool outputsWritten = true;  // false: an output was asked for and not written
    std::string completionText;
};

// Brings the time parameters onto the sample grid of the current recording; the changes stay in
// the record. "Differentiation window (ms)" is at most 200 samples; it and "Average peak over X
// time (ms)", "Search for peak over X time (ms)", "Type III baseline (ms)", "Duration of trigger
// (ms)" and "Dead time for type I (ms)" are at least one sample.
void pscFitTimeParameters(PscParameters& p);

// Decides the autoscaling pass from "Automatic Vertical Scaling:All,One,Ten,Full,Same" and returns
// how many of the `listed` frames it scans (0: no pass). F sets the display limits to plus and
// minus the recording's full-scale value; limits whose maximum is not above their minimum turn the
// letter into T. O scans 1 frame, T 10, S none, A and any other letter all listed frames.
int pscAutoscalingFrames(PscParameters& p, const AbfHeader& header, int listed);

// One recording from opening to outputs. GetInfo must have been called for it.
PscFileResult pscDetectFile(PscRun& run, const std::string& fileName);

// The outcome of one recording of a walk. A recording one of whose outputs was not written has
// failed.
struct PscRecordingOutcome {
    enum class State { Done, Cancelled, Failed };
    std::string fileName;
    State state = State::Failed;
    std::string completionText;  // from the outputs, when done
};

// Runs the recordings one after the other. Each starts with scaling letter T and its header read
// (a single recording whose header the file choice has already read, recordingInfoRead = 1, keeps
// both). `frames`, when given, is the "Frames" list for every recording, checked against that
// recording's 1 .. frame count once its header is read; a list it refuses is that recording's
// failure. A recording that fails does not stop the walk.
std::vector<PscRecordingOutcome> pscRunRecordings(PscRun& run, ParamTable& table,
                                                  const std::vector<std::string>& files,
                                                  const std::optional<std::string>& frames = std::nullopt);

}  // namespace ephys
