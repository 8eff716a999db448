// Several recordings of one batch run analysed at once, with the outcome of analysing them one
// after the other. Each recording is analysed on a worker thread with its own record of outputs
// and a buffer for what it says; its outputs are put in place only when every earlier recording
// of the list is done, and only when it met the same output names taken as it would have met
// one after the other. When it did not (a name an earlier recording wrote, or a setting an
// earlier recording changed), its held outputs are dropped and the recording is analysed again
// after the earlier ones, exactly as a run one after the other does. What the recordings say is
// handed back on the calling thread in list order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "params/messages.h"
#include "params/param_table.h"
#include "params/run_outputs.h"

namespace ephys {

// The jobs a "--jobs" value stands for: 0 is one per core (at least one).
int parallelJobCount(int requested);

// The progress line of a recording of a run with several jobs, written when the recording is
// final: the share of the run's recordings that are, and whether this one was done or failed.
std::string parallelProgressLine(std::size_t finished, std::size_t count, std::string_view recording,
                                 bool done);

// What one recording says, kept until it is said in the run's order: its messages, its answers to
// save-name questions and whatever else must happen in its place (a line on standard output, a
// figure drawn by the calling thread).
class RecordingMessages final : public MessageSink {
  public:
    // `saveAnswer`: the answer to every save-name question, the one the run's own sink gives.
    explicit RecordingMessages(bool saveAnswer) : saveAnswer_(saveAnswer) {}

    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
    bool confirmSaveName(std::string& path, std::string_view description,
                         std::string_view extension) override;
    // Done by replay() in its place among the messages.
    void later(std::function<void()> action);

    // Says everything to `target` in the order it was said here (save-name questions are asked of
    // `target` again, so that it counts and reports them as its own).
    void replay(MessageSink& target);

  private:
    struct Entry {
        enum class Kind { Message, SaveName, Action } what = Kind::Message;
        MessageKind kind = MessageKind::Information;
        std::string caption;  // save-name questions: the description
        std::string text;     // save-name questions: the path
        std::string extension;
        std::function<void()> action;
    };
    bool saveAnswer_;
    std::vector<Entry> entries_;
};

// The recording being analysed by one attempt, as the analysing code sees it.
struct RecordingAttempt {
    explicit RecordingAttempt(bool saveAnswer) : messages(saveAnswer) {}
    std::size_t index = 0;
    // True when the earlier recordings are all done and this attempt runs after them, as a run one
    // after the other would (a repeat after a first attempt that did not agree).
    bool afterEarlier = false;
    // The recording's outputs: they start from the run's outputs so far and are put in place
    // through publishRecording(), which waits for the earlier recordings.
    RunOutputs outputs;
    RecordingMessages messages;
    // Set by the run: the attempt's outputs were dropped, the recording is analysed again.
    bool dropped = false;
    bool settled = false;
};

struct ParallelRecordingsPlan {
    std::size_t count = 0;  // recordings, analysed in list order 0 .. count - 1
    int jobs = 2;           // worker threads (at most one per recording)
    bool saveAnswer = false;
    // Analyses a recording on a worker thread; may be called again for the same recording.
    std::function<void(RecordingAttempt&)> analyse;
    // Asked when the earlier recordings are done, before the attempt's outputs are put in place:
    // false when the attempt did not start from what the earlier recordings left (it is then
    // repeated). Not set: always true.
    std::function<bool(const RecordingAttempt&)> startedAlike;
    // Called on the calling thread, in list order, once a recording is final and what it said
    // has been said to `target`.
    std::function<void(std::size_t index)> committed;
};

// Runs the plan and returns when every recording is committed. An exception thrown while a
// recording is analysed is thrown again here, in that recording's turn.
void runParallelRecordings(const ParallelRecordingsPlan& plan, MessageSink& target);

// True when every row of `a` holds the same value as the same row of `b` (tables of one program,
// built over two parameter records; floats compared bit for bit).
bool paramSameValues(const ParamTable& a, const ParamTable& b);

}  // namespace ephys
