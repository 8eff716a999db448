// An output file that is either complete or not there: the text goes to a temporary file beside
// the target, which is flushed to the disk and renamed onto the target only when everything was
// written. A failed or abandoned output leaves the target as it was. Beside it, the record of the
// outputs one run has written, which keeps a later output of the run from replacing an earlier one
// and puts a recording's outputs in place together when the recording is done.
//
// Temporary files are named ".<name>.ephys-tmp-<process id>-<n>" and locked while they are
// written. A run that was killed leaves its temporary files behind; the next output made in that
// folder removes those of a process that is gone and that nobody holds locked.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/messages.h"

namespace ephys {

// Moves `from` to `to` unless `to` exists, in one step, so that a file another program puts there
// meanwhile is never replaced. False with errno EEXIST when the name is taken. Where the file
// system has no such rename, a hard link to the new name does the same.
bool renameNoReplace(const std::string& from, const std::string& to);

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    // What publish() does when a file of the target's name is there by then.
    enum class Existing { Replace, Keep };

    // Creates the temporary file for `path`. False when it cannot be made, or when `path` exists
    // and could not be written over (a folder, or a file without write permission).
    bool create(const std::string& path, Existing existing = Existing::Replace);
    bool isOpen() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }
    // The system's reason (errno) for the first failure; EEXIST when publish() kept a file that
    // appeared under the target's name. 0 while all goes well.
    int error() const { return error_; }

    // Appends bytes (buffered). False once anything failed; later writes are dropped.
    bool write(std::string_view bytes);
    // The text being built, for callers that format into it; maybeFlush() hands it to the file
    // when it has grown.
    std::string& text() { return buffer_; }
    void put(std::string_view bytes) { buffer_.append(bytes); }
    void maybeFlush() {
        if (buffer_.size() >= kFlushSize) flush();
    }

    // Writes what is buffered, flushes the file to the disk and moves it onto its path (replacing
    // a file there unless created with Existing::Keep). False, with the temporary file removed,
    // when anything failed.
    bool publish() { return finish() && moveIntoPlace(); }
    // The two steps of publish(): everything on the disk under the temporary name, then the
    // rename. Between them the file is complete and still invisible under its own name.
    bool finish();
    bool moveIntoPlace();
    bool finished() const { return finished_; }
    // Removes the temporary file; the target is not touched.
    void discard();

  private:
    static constexpr std::size_t kFlushSize = 1 << 16;
    bool flush();

    void fail(int error);

    int fd_ = -1;
    bool failed_ = false;
    bool finished_ = false;
    int error_ = 0;
    Existing existing_ = Existing::Replace;
    std::string path_;
    std::string tempPath_;
    std::string buffer_;
};

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

  private:
    struct Held {
        OutputFile file;
        std::function<void(const OutputFile&)> onFailure;
    };
    std::string recording_;
    bool failed_ = false;
    std::vector<Held> held_;
    std::map<std::string, std::string> writers_;  // output (folder identity and name) -> recording
};

}  // namespace ephys
