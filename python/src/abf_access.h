// The one place where the module calls the recording module's reader (AbfFile): opening a
// recording, learning its sweeps, and reading one channel of one sweep in the recording's units.
// Every failure becomes a RecordingError whose text is the reader's reason naming the file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "abf/abf_header.h"

namespace ephys {

class AbfFile;

namespace py_ephys {

class RecordingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a recording holds, as the reader sees it. Gap-free data is one sweep of every sample.
struct RecordingLayout {
    std::string path;
    AbfHeader header;
    int sweeps = 0;
    std::vector<std::int64_t> sweepFirstPoint;  // per-channel samples before each sweep
    std::vector<std::int64_t> sweepLength;      // per-channel samples of each sweep
    std::vector<double> sweepStartMs;
    std::vector<int> physical;  // physical ADC channel of each interleaved position
    std::vector<float> scale;   // user units = stored x scale + offset, per position
    std::vector<float> offset;
    std::string shortText;  // empty unless the file ends before the data its header announces
};

class RecordingReader {
  public:
    // Opens the recording and learns its layout; RecordingError when it cannot be read.
    explicit RecordingReader(const std::string& path);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    const RecordingLayout& layout() const { return layout_; }

    // Channel at interleaved `position`, sweep `sweep` (from 0), into `out` (room for the
    // sweep's length). Returns the samples read; RecordingError on a failed read.
    std::int64_t read(int position, int sweep, std::span<float> out);

  private:
    std::unique_ptr<AbfFile> file_;
    RecordingLayout layout_;
};

}  // namespace py_ephys
}  // namespace ephys
