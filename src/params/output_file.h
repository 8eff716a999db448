// An output file that is either complete or not there: the text goes to a temporary file beside
// the target, which is flushed to the disk and renamed onto the target only when everything was
// written. A failed or abandoned output leaves the target as it was.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ephys {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    // Creates the temporary file for `path`. False when it cannot be made, or when `path` exists
    // and could not be written over (a folder, or a file without write permission).
    bool create(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }

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
    // a file there). False, with the temporary file removed, when anything failed.
    bool publish();
    // Removes the temporary file; the target is not touched.
    void discard();

  private:
    static constexpr std::size_t kFlushSize = 1 << 16;
    bool flush();

    int fd_ = -1;
    bool failed_ = false;
    std::string path_;
    std::string tempPath_;
    std::string buffer_;
};

}  // namespace ephys
