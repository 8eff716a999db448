// Text helpers of the spike detector's outputs: printf-style appending (always in the "C"
// number format the programs set at start-up) and an output file that is written under a
// temporary name and renamed into place only when it is complete.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ephys {

// Appends the printf-formatted text to `out`.
void appendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The printf-formatted text.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One output file. create() makes a temporary file beside the target; the text is buffered and
// written as it grows; publish() flushes it to disk and renames it onto the target. A file that
// is discarded, or whose writing failed, leaves the target as it was.
class SpikeTextFile {
  public:
    SpikeTextFile() = default;
    ~SpikeTextFile();
    SpikeTextFile(const SpikeTextFile&) = delete;
    SpikeTextFile& operator=(const SpikeTextFile&) = delete;
    SpikeTextFile(SpikeTextFile&& other) noexcept;
    SpikeTextFile& operator=(SpikeTextFile&& other) noexcept;

    // False when the temporary file cannot be made, or when the target exists and could not be
    // written over (a folder, or a file without write permission).
    bool create(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // The text being built; flush() hands it to the file when it has grown.
    std::string& text() { return buffer_; }
    void put(std::string_view bytes) { buffer_.append(bytes); }
    void maybeFlush() {
        if (buffer_.size() >= kFlushSize) flush();
    }

    // Writes everything and renames the file into place. False (temporary file removed) when any
    // write, the sync or the rename failed.
    bool publish();
    // Removes the temporary file; the target is not touched.
    void discard();

  private:
    static constexpr std::size_t kFlushSize = 1 << 16;
    void flush();
    int fd_ = -1;
    bool failed_ = false;
    std::string path_;
    std::string tempPath_;
    std::string buffer_;
};

}  // namespace ephys
