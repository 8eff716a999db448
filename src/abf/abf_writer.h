// Writing ABF recordings with known contents: the synthetic recordings of the tests, the
// benchmarks and the demo. Version 2 files (2.0 layout: file header, section map, protocol, ADC,
// DAC, EpochPerDAC, Epoch, strings, data, synch array and tag sections) and, for int16 data,
// version 1.83 files (6144-byte header).
//
// A recording is described by an AbfWriteSpec. AbfWriter writes it as a stream: open() writes
// everything that precedes the samples, the write calls append samples (whole sample points of
// all channels, in pieces of any size, sweep after sweep), finish() writes the synch and tag
// sections behind the data and moves the file into place. Apart from a 4 MiB output buffer
// nothing of the recording is held in memory.
//
// Files as written:
// - int16 samples are stored as given; the ADC fields are set so that the usual scaling
//   (fADCRange / (lADCResolution × fInstrumentScaleFactor × gains), plus fInstrumentOffset −
//   fSignalOffset) gives value = raw × scale + offset for the channel's scale and offset. Float32
//   samples are stored as the values; the same fields still describe the channel's scale.
// - Synch and tag times count per-channel sample intervals (fSynchTimeUnit = the interval), so
//   tag times given in samples are exact and readers that take a tag tick as one sample interval
//   (neo does) agree with those that use the unit.
// - Sweep s of an episodic file starts s × episode start-to-start after the first (or where the
//   previous one ended, or at the given start times); the synch array holds these starts.
// - Epochs: a sweep of N samples per channel begins with N / 64 samples at the holding level,
//   then the enabled epochs in table order; the writer refuses tables that do not fit a sweep.
// - The creator name goes into the strings section: neo finds those strings only behind a name
//   that begins with the name of one of the vendor's programs, and the vendor's library takes at
//   most 16 characters; hence the default "Clampex (ephys)".
//
// All writing goes through an output file (params/output_file.h): a temporary file beside the
// target, renamed onto the target only by a successful finish(). Every failure removes the
// temporary file, so a target either is complete or is not touched (one a killed process leaves
// is removed by the next output made in that folder). An existing target is replaced only when
// AbfWriteOptions::overwrite is set; without it the rename itself refuses to replace a file that
// appeared meanwhile.
//
// Errors are reported as a Result (params/result.h) whose Error has the number kAbfErrWrite, the
// target's path and the message as its reason. No exception leaves these functions; running out
// of memory is reported as an error as well.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "params/result.h"

namespace ephys {

enum class AbfWriteMode : std::int16_t {
    GapFree = 3,   // one continuous recording
    Episodic = 5,  // sweeps of equal length (episodic stimulation)
};

enum class AbfSampleFormat : std::int16_t {
    Int16 = 0,    // raw ADC counts; value = raw × scale + offset
    Float32 = 1,  // values in the channel's units
};

enum class AbfFileVersion {
    V2,  // "ABF2" signature, version 2.0.0.0, section map
    V1,  // "ABF " signature, version 1.83, 6144-byte header
};

struct AbfWriteChannel {
    int physicalAdc = 0;  // 0..15, each at most once per recording
    std::string name;     // at most 10 characters
    std::string units;    // at most 8 characters (may be empty)
    double scale = 1.0;   // value per ADC count: value = raw × scale + offset (finite, not 0)
    double offset = 0.0;  // value of raw count 0
};

struct AbfWriteTag {
    double time = 0.0;           // seconds from the start of the recording,
    bool timeInSamples = false;  // or per-channel sample intervals when this is set
    std::string comment;         // at most 56 characters
    int type = 1;                // 0 time tag, 1 comment, 2 external, 3 voice
};

enum class AbfEpochType : std::int16_t {
    Disabled = 0,
    Step = 1,
    Ramp = 2,
};

// One epoch of a DAC's waveform. Levels are in the DAC's units, durations in per-channel
// samples; sweep s (from 0) has level initLevel + s × levelIncrement and duration
// initDuration + s × durationIncrement. Disabled epochs are not stored and take no time.
struct AbfWriteEpoch {
    AbfEpochType type = AbfEpochType::Step;
    double initLevel = 0.0;
    double levelIncrement = 0.0;
    std::int32_t initDuration = 0;
    std::int32_t durationIncrement = 0;
};

struct AbfWriteDac {
    std::string name;                   // at most 10 characters; empty: "Cmd <n>"
    std::string units = "mV";           // at most 8 characters
    double holdingLevel = 0.0;          // in the DAC's units
    bool returnToHolding = true;        // after the last epoch: holding level (true) or last level
    std::vector<AbfWriteEpoch> epochs;  // epochs A, B, ... (at most 10); none: no waveform
};

struct AbfWriteSpec {
    AbfFileVersion version = AbfFileVersion::V2;
    AbfWriteMode mode = AbfWriteMode::Episodic;
    AbfSampleFormat format = AbfSampleFormat::Int16;
    double sampleIntervalUs = 50.0;  // per channel: time between two samples of one channel

    // Episodic: sweepCount sweeps of samplesPerSweep samples per channel.
    std::int32_t sweepCount = 1;
    std::int64_t samplesPerSweep = 0;
    // Gap-free: the length of the recording in samples per channel.
    std::int64_t totalSamples = 0;

    std::vector<AbfWriteChannel> channels;  // 1..16, in storage (interleave) order

    // Episodic timing. Sweep s starts at s × episodeStartToStartS; 0 means each sweep starts
    // where the previous one ended. sweepStartsS, when not empty, gives every sweep's start in
    // seconds instead (one per sweep, not decreasing, sweeps may not overlap).
    double episodeStartToStartS = 0.0;
    std::vector<double> sweepStartsS;

    std::vector<AbfWriteTag> tags;
    std::array<AbfWriteDac, 2> dacs;  // DAC 0 and DAC 1 (epoch tables for episodic files only)

    std::string comment;       // file comment, may be empty
    std::string protocolPath;  // may be empty
    std::string creator = "Clampex (ephys)";

    // Start of the recording: date as YYYYMMDD and milliseconds after midnight. A date of 0
    // takes the local date and time of open().
    std::uint32_t startDate = 0;
    std::uint32_t startTimeMs = 0;
};

struct AbfWriteOptions {
    bool overwrite = false;  // replace an existing file of the same name
    bool syncToDisk = true;  // flush the file to the disk before it is renamed into place
};

// Checks a description: success when it can be written, else an error whose reason says why
// (the reason alone, naming no file).
Result<void> abfCheckWriteSpec(const AbfWriteSpec& spec);

// Per-channel samples that a description holds (sweeps × samples per sweep, or the gap-free
// length).
std::int64_t abfWriteSamplesPerChannel(const AbfWriteSpec& spec);

// Raw count for a value: nearest count to (value − offset) / scale, clamped to the int16 range
// (NaN gives 0). This is how float values are stored in an int16 file.
std::int16_t abfQuantize(double value, const AbfWriteChannel& channel);

class AbfWriter {
  public:
    AbfWriter();
    ~AbfWriter();  // an unfinished file is abandoned: its temporary file is removed
    AbfWriter(AbfWriter&&) noexcept;
    AbfWriter& operator=(AbfWriter&&) noexcept;
    AbfWriter(const AbfWriter&) = delete;
    AbfWriter& operator=(const AbfWriter&) = delete;

    // Checks the description, creates the temporary file and writes everything up to the data.
    Result<void> open(const std::string& path, const AbfWriteSpec& spec, const AbfWriteOptions& options = {});

    // Appends samples. Interleaved: whole frames, channel by channel for each sample point
    // (size a multiple of the channel count). Per channel: one span per channel, all of equal
    // length. int16 samples are raw counts and need an int16 file; float samples are values in
    // the channel's units (quantized with abfQuantize for an int16 file). Writing more samples
    // than the description holds is an error. Any error abandons the file; later calls give the
    // same error again.
    Result<void> writeInterleaved(std::span<const std::int16_t> frames);
    Result<void> writeInterleaved(std::span<const float> frames);
    Result<void> writeChannels(std::span<const std::span<const std::int16_t>> channels);
    Result<void> writeChannels(std::span<const std::span<const float>> channels);

    // Checks that every sample was written, writes the synch and tag sections behind the data,
    // and renames the file into place. The writer is closed afterwards, whatever the result.
    Result<void> finish();

    // Abandons the file (removes the temporary file). Does nothing when no file is open.
    void abort();

    bool isOpen() const;
    // Per-channel samples written, and float values clamped to the int16 range, since open()
    // (kept after finish() or a failure until the next open()).
    std::int64_t samplesWritten() const;
    std::int64_t clippedSamples() const;

  private:
    struct State;
    template <typename F>
    Result<void> call(F&& f);
    // The Error for the message in error_.
    Error failure() const;
    std::unique_ptr<State> state_;
    std::string target_;  // the path of the last open()
    std::string error_;   // the last failure's message, empty after a successful open()
    std::int64_t written_ = 0;
    std::int64_t clipped_ = 0;
};

// Whole recordings in one call. channels[c] holds every sample of channel c (sweeps one after
// the other).
Result<void> writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                          const std::vector<std::vector<std::int16_t>>& channels,
                          const AbfWriteOptions& options = {});
Result<void> writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                          const std::vector<std::vector<float>>& channels,
                          const AbfWriteOptions& options = {});

}  // namespace ephys
