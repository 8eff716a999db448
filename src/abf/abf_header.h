// The header of an ABF recording with named fields, filled the same way from ABF 1.x and ABF 2.x
// files, and the operations that need nothing but the header: channel lookup and scaling, sample
// times, tag times and the texts stored in the header.
//
// Arrays of ADC values are indexed by the physical ADC channel (0..15), as in the ABF1 header. The
// k-th interleaved channel of the data section is physical channel adcSamplingSeq[k].
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ephys {

inline constexpr int kAbfBlockSize = 512;         // every section pointer counts blocks of this size
inline constexpr int kAbfAdcCount = 16;           // physical ADC channels
inline constexpr int kAbfDacCount = 8;            // DAC outputs kept (ABF1 files describe 4)
inline constexpr int kAbfEpochCount = 50;         // epochs per DAC, A = 0 (ABF1 files have 10)
inline constexpr int kAbfChannelNameLength = 10;  // blank padded, no terminator
inline constexpr int kAbfUnitsLength = 8;         // blank padded, no terminator
inline constexpr int kAbfTagCommentLength = 56;   // blank padded, no terminator
inline constexpr int kAbfTagSize = 64;            // bytes of one stored tag
inline constexpr int kAbfSynchEntrySize = 8;      // bytes of one stored synch entry

// nOperationMode
inline constexpr std::int16_t kAbfVariableLengthEvents = 1;
inline constexpr std::int16_t kAbfFixedLengthEvents = 2;  // "oscilloscope, loss free"
inline constexpr std::int16_t kAbfGapFree = 3;
inline constexpr std::int16_t kAbfHighSpeedOscilloscope = 4;
inline constexpr std::int16_t kAbfEpisodic = 5;

// nDataFormat
inline constexpr std::int16_t kAbfInt16Data = 0;
inline constexpr std::int16_t kAbfFloatData = 1;

// nEpochType
inline constexpr std::int16_t kAbfEpochOff = 0;
inline constexpr std::int16_t kAbfEpochStep = 1;
inline constexpr std::int16_t kAbfEpochRamp = 2;
inline constexpr std::int16_t kAbfEpochPulseTrain = 3;
inline constexpr std::int16_t kAbfEpochTriangleTrain = 4;
inline constexpr std::int16_t kAbfEpochCosineTrain = 5;
inline constexpr std::int16_t kAbfEpochBiphasicTrain = 7;

// nWaveformSource
inline constexpr std::int16_t kAbfWaveformNone = 0;
inline constexpr std::int16_t kAbfWaveformEpochs = 1;
inline constexpr std::int16_t kAbfWaveformDacFile = 2;

// One epoch of a DAC's epoch table. Levels are in the DAC's user units, durations and train
// timings in per-channel samples; the increments apply once per sweep.
struct AbfEpoch {
    std::int16_t type = kAbfEpochOff;
    float initLevel = 0.0f;
    float levelIncrement = 0.0f;
    std::int32_t initDuration = 0;
    std::int32_t durationIncrement = 0;
    std::int32_t pulsePeriod = 0;
    std::int32_t pulseWidth = 0;
};

// One analog output.
struct AbfDac {
    std::array<char, kAbfChannelNameLength> name{};
    std::array<char, kAbfUnitsLength> units{};
    float scaleFactor = 1.0f;   // user units per volt
    float holdingLevel = 0.0f;  // user units
    std::int16_t waveformEnable = 0;
    std::int16_t waveformSource = kAbfWaveformNone;
    std::int16_t interEpisodeLevel = 0;  // 0 holding level between sweeps, 1 last epoch level
    std::array<AbfEpoch, kAbfEpochCount> epochs{};
};

// Start (in synch time units) and length (stored values of all channels) of one sweep.
struct AbfSynchEntry {
    std::int64_t start = 0;
    std::int64_t length = 0;
};

// One 64-byte tag as stored: time in synch time units, blank-padded 8-bit comment, type
// (0 time tag, 1 comment, 2 external, 3 voice; 4 has been seen for a "new file" tag).
struct AbfTag {
    std::int32_t time = 0;
    std::array<char, kAbfTagCommentLength> comment{};
    std::int16_t type = 0;
    std::int16_t voiceTagNumber = 0;
};

struct AbfHeader {
    // 1 or 2 for the file's format; 0 before a file was opened.
    int abfMajorVersion = 0;
    // ABF1: fFileVersionNumber / fHeaderVersionNumber. ABF2: major + minor / 100 for both.
    float fileVersion = 2.06f;
    float headerVersion = 2.06f;
    // ABF2: the four version bytes major, minor, bugfix, build. ABF1: major 1, minor from the
    // version number's two decimals (1.83 gives 1, 83, 0, 0).
    std::array<std::uint8_t, 4> versionParts{};
    std::int16_t operationMode = kAbfEpisodic;
    std::int16_t fileType = 1;
    // Stored values (all channels together) of the data section that the file really holds:
    // ABF1 lActualAcqLength, ABF2 the data section's entry count, cut to whole frames present.
    std::int32_t actualAcqLength = 0;
    std::int32_t storedAcqLength = 0;  // the same as the header states it
    // After opening: the number of sweeps the open call reports (for gap-free data the number of
    // pieces). storedEpisodes keeps lActualEpisodes as the file holds it.
    std::int32_t actualEpisodes = 0;
    std::int32_t storedEpisodes = 0;
    std::int32_t fileStartDate = 0;    // as stored (ABF 1.3: YYMMDD, later YYYYMMDD)
    std::int64_t fileStartTimeMs = 0;  // ms after midnight
    std::int32_t dataSectionPtr = 0;   // blocks
    std::int64_t dataOffsetBytes = 0;  // dataSectionPtr x 512
    std::int32_t bytesPerSample = 2;   // 2 for int16 data, 4 for float32 data
    std::int32_t tagSectionPtr = 0;    // blocks
    std::int32_t numTagEntries = 0;
    std::int32_t synchArrayPtr = 0;  // blocks, 0 = none
    std::int32_t synchArraySize = 0;
    std::int16_t dataFormat = kAbfInt16Data;
    std::int16_t adcNumChannels = 0;
    float adcSequenceInterval = 0.0f;  // µs between two samples of one channel
    float synchTimeUnit = 0.0f;        // µs per synch/tag tick; 0: ticks count stored values
    // Stored values of one sweep, all channels together. After opening gap-free data: the longest
    // piece x channels; variable-length event data: the longest sweep. storedSamplesPerEpisode
    // keeps lNumSamplesPerEpisode as stored.
    std::int32_t numSamplesPerEpisode = 0;
    std::int32_t storedSamplesPerEpisode = 0;
    std::int32_t episodesPerRun = 0;
    float episodeStartToStart = 0.0f;    // s, 0 = as soon as possible
    float adcRange = 10.0f;              // volts at positive full scale
    std::int32_t adcResolution = 32768;  // counts at positive full scale
    float dacRange = 10.0f;
    std::int32_t dacResolution = 32768;

    // Physical channel of each interleaved position, -1 after the last one.
    std::array<std::int16_t, kAbfAdcCount> adcSamplingSeq{};
    // By physical channel.
    std::array<std::array<char, kAbfChannelNameLength>, kAbfAdcCount> adcChannelName{};
    std::array<std::array<char, kAbfUnitsLength>, kAbfAdcCount> adcUnits{};
    std::array<float, kAbfAdcCount> instrumentScaleFactor{};  // V at the ADC per user unit
    std::array<float, kAbfAdcCount> instrumentOffset{};       // user units at 0 V
    std::array<float, kAbfAdcCount> signalGain{};
    std::array<float, kAbfAdcCount> signalOffset{};
    std::array<float, kAbfAdcCount> adcProgrammableGain{};
    std::array<std::int16_t, kAbfAdcCount> telegraphEnable{};
    std::array<float, kAbfAdcCount> telegraphAdditGain{};

    std::int16_t activeDacChannel = 0;
    // Nonzero when DAC 1 has its epoch waveform enabled.
    std::int16_t stimulusChannelSwitch = 0;
    std::array<AbfDac, kAbfDacCount> dacs{};

    // The synch array and the tags that the file holds (at most synchArraySize / numTagEntries).
    std::vector<AbfSynchEntry> synchArray;
    std::vector<AbfTag> tags;
};

// Defaults before opening: no file, sampling sequence empty, blank names, unit gains.
void abfResetHeader(AbfHeader& header);

// Interleaved position of a physical channel, or -1 when the recording does not sample it.
int abfChannelPosition(const AbfHeader& header, int physicalChannel);

// Raw sample to user units: value = raw x scale + offset, with every gain of the channel
// (instrument scale factor, signal gain, programmable gain, telegraph gain when telegraphed, ADC
// range and resolution). Float recordings store user units: scale 1, offset 0. Returns 0 or an
// error number (channel not sampled, unusable gains).
int abfChannelScaling(const AbfHeader& header, int physicalChannel, float& scale, float& offset);

// Time of each sample of a sweep in ms from the sweep start: index x per-channel interval.
void abfSampleTimesMs(const AbfHeader& header, std::span<double> times);

// µs per tick of synch and tag times. A stored unit of 0 means the ticks count stored values of
// all channels together: the per-channel interval divided by the channel count.
double abfSynchTickUs(const AbfHeader& header);

// Time of a tag in seconds: time x unit x 1e-6.
double abfTagSeconds(const AbfHeader& header, const AbfTag& tag);

// Per-channel samples of one sweep of an episodic file (numSamplesPerEpisode / channels).
int abfSamplesPerChannel(const AbfHeader& header);

// Stored 8-bit (Latin-1) text without trailing blanks and NULs, as UTF-8.
std::string abfText(std::span<const char> stored);
std::string abfChannelName(const AbfHeader& header, int physicalChannel);
std::string abfChannelUnits(const AbfHeader& header, int physicalChannel);
std::string abfTagComment(const AbfTag& tag);

// The operation mode's name ("gap-free", "episodic stimulation (fixed-length sweeps)", ...);
// "unknown" for a mode no recording has.
const char* abfModeName(int operationMode);
// The file's version as written: "1.83" for ABF 1, the four parts "2.0.0.0" for ABF 2.
std::string abfVersionText(const AbfHeader& header);

}  // namespace ephys
