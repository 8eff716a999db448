// An output file that is either complete or not there, the one way every program and tool saves
// a file (outputs, settings, waveforms, recordings): the bytes go to a temporary file beside the
// target, which is flushed to the disk and renamed onto the target only when everything was
// written. A failed or abandoned output leaves the target as it was.
//
// Temporary files are named ".<name>.ephys-tmp-<process id>-<n>" and locked while they are
// written. A run that was killed leaves its temporary files behind; the next output made in that
// folder removes those of a process that is gone and that nobody holds locked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ephys {

// Moves `from` to `to` unless `to` exists, in one step, so that a file another program puts there
// meanwhile is never replaced. False with errno EEXIST when the name is taken. Where the file
// system has no such rename, a hard link to the new name does the same.
bool renameNoReplace(const std::string& from, const std::string& to);

// Where the file name of a path starts (after its last '/').
std::size_t fileNameStart(std::string_view path);
// The folder of a path: "." for a bare name, "/" for a name in the root.
std::string folderOf(std::string_view path);

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
    struct Options {
        Existing existing = Existing::Replace;
        // A file that is there is replaced only when it could have been written over (not a
        // folder, not without write permission); off, any file is replaced.
        bool onlyWritable = true;
        bool keepMode = false;    // a replaced file's permissions carry over to the new one
        bool syncData = true;     // the bytes reach the disk before the rename
        bool syncFolder = false;  // and the rename itself after it
    };

    // Creates the temporary file for `path`. False when it cannot be made, or when `path` exists
    // and may not be written over.
    bool create(const std::string& path, Existing existing = Existing::Replace);
    bool create(const std::string& path, const Options& options);
    // Another name to publish under (a name found taken by publish() with Existing::Keep).
    void retarget(std::string path) { path_ = std::move(path); }
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
    // False when the rename failed; with Existing::Keep and the name taken (error() EEXIST) the
    // file stays finished, so that it can be retargeted and moved again.
    bool moveIntoPlace();
    bool finished() const { return finished_; }
    // Removes the temporary file; the target is not touched.
    void discard();

  private:
    static constexpr std::size_t kFlushSize = 1 << 16;
    bool flush();
    bool writeNow(std::string_view bytes);

    void fail(int error);

    int fd_ = -1;
    bool failed_ = false;
    bool finished_ = false;
    int error_ = 0;
    Options options_;
    int keptMode_ = -1;  // the replaced file's permissions, when they carry over
    std::string path_;
    std::string tempPath_;
    std::string buffer_;
};

}  // namespace ephys
