// The record of the outputs one run has written, by recording: it keeps a later output of the run
// from replacing an earlier one, and puts a recording's outputs in place together when the
// recording is done.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "params/messages.h"
#include "params/output_file.h"

namespace ephys {

// The outputs one run has written, by recording. Within a run an output name is written once: a
// later output of the same name (of a later recording, or again of the same one) is not written
// and fails its recording.
class RunOutputs {
  public:
    // The outputs that follow are the recording's.
    void startRecording(std::string recording);
    const std::string& recording() const { return recording_; }

    // True when `path` names no output written earlier in the run. Otherwise says which two
    // recordings share the name (a plain error box), marks the current recording failed and
    // returns false: the output is to be skipped.
    bool isFree(const std::string& path, MessageSink& messages);
    // `path` is now an output of the current recording.
    void take(const std::string& path);

    // An output of the current recording was not written.
    void markFailed() { failed_ = true; }
    bool recordingFailed() const { return failed_; }

    // Keeps a finished output of the current recording until publishRecording(). `onFailure`
    // says why when it cannot be put in place then (the file tells its path and error()).
    void hold(OutputFile&& file, std::function<void(const OutputFile&)> onFailure);
    // Puts every held output in place, in the order they were held. One that cannot be (a file
    // made meanwhile under a name not to be replaced) is reported and fails the recording; the
    // others are still put in place. False when any failed.
    bool publishRecording();
    // Forgets the held outputs, removing their temporary files.
    void discardRecording() { held_.clear(); }

    // Asked by publishRecording() before anything is put in place, with this record: false drops
    // the held outputs instead and fails the recording. A run that analyses several recordings at
    // once waits here for the earlier ones and decides whether this recording's outputs may appear.
    std::function<bool(RunOutputs&)> beforePublishing;

    // For a recording analysed beside others: this record starts from the outputs `run` holds so
    // far (their names, not their held files).
    void startFrom(const RunOutputs& run) { writers_ = run.writers_; }
    // False when a name that isFree() found free for the current recording is by now an output of
    // `run`: the recording would have met it taken.
    bool agreesWith(const RunOutputs& run) const;
    // Makes the outputs of this record outputs of `run` as well.
    void addTo(RunOutputs& run) const;

  private:
    struct Held {
        OutputFile file;
        std::function<void(const OutputFile&)> onFailure;
    };
    std::string recording_;
    bool failed_ = false;
    std::vector<Held> held_;
    std::map<std::string, std::string> writers_;  // output (folder identity and name) -> recording
    std::vector<std::string> foundFree_;          // names isFree() let pass for the current recording
};

}  // namespace ephys
