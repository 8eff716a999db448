// Reading ABF recordings (ABF 1.x and 2.x): an open recording is an AbfFile handle. Sweeps are
// numbered from 1, channels are physical ADC channel numbers (0..15).
//
// How sweeps are formed:
// - episodic stimulation (mode 5) and fixed-length events (modes 2 and 4): the recording's own
//   sweeps of numSamplesPerEpisode stored values each, one after the other;
// - variable-length events (mode 1): one sweep per synch entry, stored back to back, each as long
//   as its entry says;
// - gap-free (mode 3): consecutive pieces of the per-channel sample count the caller asks for,
//   the last piece holding the rest.
//
// Every public read gives a Result (params/result.h): the value, or an Error holding the error
// number (abf_error.h), the recording's path and the readable reason naming the file
// (abfOpenFailureLine). A failure costs an allocation, a successful read none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "abf/abf_error.h"
#include "abf/abf_header.h"
#include "params/result.h"

namespace ephys {

class AbfFile {
  public:
    AbfFile() = default;
    ~AbfFile();
    AbfFile(const AbfFile&) = delete;
    AbfFile& operator=(const AbfFile&) = delete;
    AbfFile(AbfFile&& other) noexcept;
    AbfFile& operator=(AbfFile&& other) noexcept;

    // Opens a recording for reading and fills `header`. samplesPerSweep: in, the piece length in
    // per-channel samples for gap-free data (0 or less: the file's own chunk length); out, the
    // per-channel samples of one sweep (gap-free: as requested; variable-length events: the
    // longest sweep). Gives the number of sweeps (at least 1). A handle that was open is closed
    // first.
    Result<int> open(const std::string& path, AbfHeader& header, int& samplesPerSweep);

    // Closes the recording; the destructor does the same. kAbfErrNotOpen when nothing was open,
    // kAbfErrClose when the system refused.
    Result<void> close();

    bool isOpen() const { return fd_ >= 0; }
    const AbfHeader& header() const { return header_; }
    const std::string& path() const { return path_; }
    int sweepCount() const { return sweepCount_; }

    // Per-channel samples of a sweep (from 1) as stored; 0 for a sweep out of range.
    int sweepLength(int sweep) const;

    // A file that ends before the data its header announces (a copy cut short, an acquisition
    // that stopped writing) is read as far as it goes. isShort() tells whether this one does;
    // shortRecordingText() then names the file, the sweeps present and the sweeps the header
    // announces (gap-free data: samples per channel), on one line without a line end, and is
    // empty for a complete recording.
    bool isShort() const { return announcedUnits_ > presentUnits_; }
    std::string shortRecordingText() const;

    // All tags of the recording. An empty list is not an error. kAbfErrReadTags when the file
    // ends before the last tag the header announces (the tags present stay in header().tags).
    Result<std::vector<AbfTag>> readTags() const;

    // One channel of one sweep, de-interleaved. The 16-bit form needs 16-bit data
    // (kAbfErrDataFormat for float recordings); the float form gives user units for both kinds
    // (raw x scale + offset, or the stored floats). Gives the number of samples.
    Result<int> readSweep(int physicalChannel, int sweep, std::vector<std::int16_t>& samples);
    Result<int> readSweep(int physicalChannel, int sweep, std::vector<float>& values);

    // Start of a sweep in ms: the synch array where the file has one, else sweep index x episode
    // start-to-start (sweep duration when that is 0); gap-free pieces start at their position.
    Result<double> sweepStartMs(int sweep) const;

    // A stretch of one channel regardless of sweeps: `count` sample points from point `first`
    // (per-channel samples from the start of the data section) of the channel at `position` in
    // the sampling sequence (0 .. channels - 1), de-interleaved into `out` (room for `count`).
    // Reading stops at the end of the data. Gives the number of points read (0 past the end); an
    // error for a bad argument or a failed read.
    // Raw counts; int16 recordings only (kAbfErrDataFormat for float recordings).
    Result<std::int64_t> readPoints(int position, std::int64_t first, std::int64_t count,
                                    std::span<std::int16_t> out);
    // In the caller's units: int16 counts as raw x scale + offset; stored floats, which hold the
    // channel's own units, as value x scale (the offset belongs to the counts and is not added).
    Result<std::int64_t> readPointsScaled(int position, std::int64_t first, std::int64_t count, float scale,
                                          float offset, std::span<float> out);

    // Direct access to the data section: `count` stored values from multiplexed index `first`,
    // copied as stored (little-endian int16 or float32, channels interleaved). Reading stops at
    // the end of the data section. Gives the number of values copied.
    Result<std::int64_t> readData(std::int64_t first, std::int64_t count, std::span<std::byte> out) const;

    // Stored values (all channels) from the start of the data section to the first one of a sweep.
    std::int64_t sweepFirstValue(int sweep) const;

  private:
    // The error of a read: the number, this recording's name and the readable reason.
    Error failure(int code) const;
    // Reads `frames` sample points of one channel; kAbfOk or the error number.
    template <typename Out, typename Convert>
    int readChannel(int position, std::int64_t firstValue, std::int64_t frames, Out* out, Convert convert);
    // Checks a range read and cuts it to the data: the points to read, or the error number as a
    // negative value.
    std::int64_t pointsAvailable(int position, std::int64_t first, std::int64_t count,
                                 std::size_t room) const;
    // The channel's position in the sampling sequence for a read of one sweep, or the error number
    // as a negative value when the file is not open, the channel was not sampled or there is no
    // such sweep.
    int sweepReadPosition(int physicalChannel, int sweep) const;
    // One sweep of a channel into `out` (resized to the sweep) through
    // read(position, first value, frames, data), which gives kAbfOk or an error number.
    template <typename T, typename Read>
    Result<int> readWholeSweep(int physicalChannel, int sweep, std::vector<T>& out, Read read);
    void reset() noexcept;
    template <typename Raw>
    std::vector<Raw>& scratchFor() {
        if constexpr (sizeof(Raw) == 2) {
            return scratch16_;
        } else {
            return scratch32_;
        }
    }

    int fd_ = -1;
    std::string path_;
    AbfHeader header_;
    std::int64_t fileSize_ = 0;
    int sweepCount_ = 0;
    std::int64_t sweepFrames_ = 0;            // fixed-length sweeps and gap-free pieces
    std::vector<std::int64_t> sweepOffsets_;  // variable-length events: first value of each sweep
    // What the header announces and what the file holds of it: whole sweeps, or per-channel
    // samples for gap-free data; partUnit_ when one more sweep is there in part.
    std::int64_t announcedUnits_ = 0;
    std::int64_t presentUnits_ = 0;
    bool partUnit_ = false;
    std::vector<std::int16_t> scratch16_;  // one read of interleaved frames
    std::vector<float> scratch32_;
};

}  // namespace ephys
