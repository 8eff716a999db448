// Where the fields of an ABF file lie: byte offsets of the ABF1 header, of the ABF2 file header
// and section map, and of the entries of the ABF2 sections. The reader and the writer both take
// every offset from here. All values are little-endian; text fields are 8-bit, blank padded.
//
// ABF1 offsets count from the start of the file, ABF2 file-header offsets likewise; the offsets of
// ABF2 section fields count from the start of their entry. Arrays give the offset of element 0;
// element k lies k × the element's size further on (2 for i16, 4 for i32 and f32, the field's
// width for text).
#pragma once

#include <cstddef>

namespace ephys::abf_layout {

// ---- ABF1: one fixed header --------------------------------------------------------------------
namespace abf1 {

inline constexpr std::size_t kOldHeaderSize = 2048;  // ABF 1.3 and earlier
inline constexpr std::size_t kHeaderSize = 6144;     // ABF 1.6 and later: extended groups from 2048

// File identity and structure.
inline constexpr std::size_t kSignature = 0;             // c4 "ABF "
inline constexpr std::size_t kFileVersionNumber = 4;     // f32
inline constexpr std::size_t kOperationMode = 8;         // i16
inline constexpr std::size_t kActualAcqLength = 10;      // i32, stored values of all channels
inline constexpr std::size_t kActualEpisodes = 16;       // i32
inline constexpr std::size_t kFileStartDate = 20;        // i32, YYMMDD (1.3) or YYYYMMDD
inline constexpr std::size_t kFileStartTime = 24;        // i32, seconds after midnight
inline constexpr std::size_t kHeaderVersionNumber = 32;  // f32
inline constexpr std::size_t kFileType = 36;             // i16
inline constexpr std::size_t kMSBinFormat = 38;          // i16, 1: old Microsoft binary floats
inline constexpr std::size_t kDataSectionPtr = 40;       // i32 block
inline constexpr std::size_t kTagSectionPtr = 44;        // i32 block
inline constexpr std::size_t kNumTagEntries = 48;        // i32
inline constexpr std::size_t kSynchArrayPtr = 92;        // i32 block, 0: none
inline constexpr std::size_t kSynchArraySize = 96;       // i32 entries
inline constexpr std::size_t kDataFormat = 100;          // i16

// Acquisition and timing.
inline constexpr std::size_t kAdcNumChannels = 120;        // i16
inline constexpr std::size_t kAdcSampleInterval = 122;     // f32 µs between stored values (all channels)
inline constexpr std::size_t kSynchTimeUnit = 130;         // f32 µs per tick, 0: ticks count samples
inline constexpr std::size_t kSecondsPerRun = 134;         // f32
inline constexpr std::size_t kNumSamplesPerEpisode = 138;  // i32, stored values of all channels
inline constexpr std::size_t kEpisodesPerRun = 146;        // i32, requested sweeps
inline constexpr std::size_t kRunsPerTrial = 150;          // i32
inline constexpr std::size_t kNumberOfTrials = 154;        // i32
inline constexpr std::size_t kEpisodeStartToStart = 178;   // f32 seconds
inline constexpr std::size_t kAverageCount = 190;          // i32

// Hardware and environment.
inline constexpr std::size_t kAdcRange = 244;        // f32 volts
inline constexpr std::size_t kDacRange = 248;        // f32 volts
inline constexpr std::size_t kAdcResolution = 252;   // i32 counts
inline constexpr std::size_t kDacResolution = 256;   // i32 counts
inline constexpr std::size_t kExperimentType = 260;  // i16
inline constexpr std::size_t kCreatorInfo = 294;     // c16
inline constexpr std::size_t kCreatorInfoLength = 16;
inline constexpr std::size_t kOldFileComment = 310;  // c56, superseded by kFileComment
inline constexpr std::size_t kOldFileCommentLength = 56;
inline constexpr std::size_t kFileStartMillisecs = 366;  // i16

// Per physical ADC channel (16 elements).
inline constexpr std::size_t kAdcPtoLChannelMap = 378;        // i16 ×16
inline constexpr std::size_t kAdcSamplingSeq = 410;           // i16 ×16, storage order, −1 padded
inline constexpr std::size_t kAdcChannelName = 442;           // c10 ×16
inline constexpr std::size_t kAdcUnits = 602;                 // c8 ×16
inline constexpr std::size_t kAdcProgrammableGain = 730;      // f32 ×16
inline constexpr std::size_t kAdcDisplayAmplification = 794;  // f32 ×16
inline constexpr std::size_t kInstrumentScaleFactor = 922;    // f32 ×16, V at the ADC per unit
inline constexpr std::size_t kInstrumentOffset = 986;         // f32 ×16
inline constexpr std::size_t kSignalGain = 1050;              // f32 ×16
inline constexpr std::size_t kSignalOffset = 1114;            // f32 ×16
inline constexpr std::size_t kSignalLowpassFilter = 1178;     // f32 ×16, Hz

// Per DAC (4 elements).
inline constexpr std::size_t kDacCount = 4;
inline constexpr std::size_t kDacChannelName = 1306;   // c10 ×4
inline constexpr std::size_t kDacChannelUnits = 1346;  // c8 ×4
inline constexpr std::size_t kDacScaleFactor = 1378;   // f32 ×4, units per volt
inline constexpr std::size_t kDacHoldingLevel = 1394;  // f32 ×4

// The old single-DAC waveform (the only one in 2048-byte headers), for nActiveDACChannel.
inline constexpr std::size_t kOldWaveformSource = 1438;     // i16
inline constexpr std::size_t kActiveDacChannel = 1440;      // i16
inline constexpr std::size_t kOldInterEpisodeLevel = 1442;  // i16
inline constexpr std::size_t kOldEpochType = 1444;          // i16 ×10
inline constexpr std::size_t kOldEpochInitLevel = 1464;     // f32 ×10
inline constexpr std::size_t kOldEpochLevelInc = 1504;      // f32 ×10
inline constexpr std::size_t kOldEpochInitDuration = 1544;  // i16 ×10
inline constexpr std::size_t kOldEpochDurationInc = 1564;   // i16 ×10

inline constexpr std::size_t kHeaderSizeField = 2034;  // i32 lHeaderSize (not reliable in files)

// The extended per-DAC waveform of 6144-byte headers: DAC 0 and 1, element dac × 10 + epoch.
inline constexpr std::size_t kWaveformDacs = 2;
inline constexpr std::size_t kEpochsPerDac = 10;
inline constexpr std::size_t kEpochPulsePeriod = 2136;   // i32 ×20
inline constexpr std::size_t kEpochPulseWidth = 2216;    // i32 ×20
inline constexpr std::size_t kWaveformEnable = 2296;     // i16 ×2
inline constexpr std::size_t kWaveformSource = 2300;     // i16 ×2
inline constexpr std::size_t kInterEpisodeLevel = 2304;  // i16 ×2
inline constexpr std::size_t kEpochType = 2308;          // i16 ×20
inline constexpr std::size_t kEpochInitLevel = 2348;     // f32 ×20
inline constexpr std::size_t kEpochLevelInc = 2428;      // f32 ×20
inline constexpr std::size_t kEpochInitDuration = 2508;  // i32 ×20
inline constexpr std::size_t kEpochDurationInc = 2588;   // i32 ×20

// Extended environment, per physical ADC channel.
inline constexpr std::size_t kTelegraphEnable = 4512;     // i16 ×16
inline constexpr std::size_t kTelegraphAdditGain = 4576;  // f32 ×16
inline constexpr std::size_t kFileComment = 5154;         // c128
inline constexpr std::size_t kFileCommentLength = 128;

}  // namespace abf1

// ---- ABF2: file header, section map, sections ----------------------------------------------------
namespace abf2 {

inline constexpr std::size_t kFileInfoSize = 512;

// File header.
inline constexpr std::size_t kSignature = 0;     // c4 "ABF2"
inline constexpr std::size_t kVersionBuild = 4;  // u8; then bugfix, minor, major
inline constexpr std::size_t kVersionBugfix = 5;
inline constexpr std::size_t kVersionMinor = 6;
inline constexpr std::size_t kVersionMajor = 7;
inline constexpr std::size_t kFileInfoSizeField = 8;   // u32 uFileInfoSize
inline constexpr std::size_t kActualEpisodes = 12;     // u32, 0 for gap-free
inline constexpr std::size_t kFileStartDate = 16;      // u32 YYYYMMDD
inline constexpr std::size_t kFileStartTimeMs = 20;    // u32 ms after midnight
inline constexpr std::size_t kFileType = 28;           // u16
inline constexpr std::size_t kDataFormat = 30;         // u16
inline constexpr std::size_t kSimultaneousScan = 32;   // u16
inline constexpr std::size_t kCreatorVersion = 56;     // u32
inline constexpr std::size_t kCreatorNameIndex = 60;   // u32 string index
inline constexpr std::size_t kProtocolPathIndex = 72;  // u32 string index

// Section map: 18 entries of 16 bytes from byte 76.
inline constexpr std::size_t kSectionMap = 76;
inline constexpr std::size_t kSectionMapEntrySize = 16;
inline constexpr int kSectionCount = 18;
inline constexpr std::size_t kSectionBlock = 0;      // u32 block, 0: section absent
inline constexpr std::size_t kSectionEntrySize = 4;  // u32 bytes per entry (Strings: whole section)
inline constexpr std::size_t kSectionEntries = 8;    // i64 number of entries

// The sections, by their place in the map.
enum Section : int {
    kProtocolSection = 0,
    kAdcSection = 1,
    kDacSection = 2,
    kEpochSection = 3,
    kEpochPerDacSection = 5,
    kStringsSection = 9,
    kDataSection = 10,
    kTagSection = 11,
    kSynchArraySection = 15,
};

inline constexpr std::size_t sectionMapEntry(int section) {
    return kSectionMap + kSectionMapEntrySize * static_cast<std::size_t>(section);
}

// Protocol section: one 512-byte entry.
namespace protocol {
inline constexpr std::size_t kEntrySize = 512;
inline constexpr std::size_t kOperationMode = 0;                   // i16
inline constexpr std::size_t kAdcSequenceInterval = 2;             // f32 µs, per channel
inline constexpr std::size_t kFileCompressionRatio = 10;           // u32
inline constexpr std::size_t kSynchTimeUnit = 14;                  // f32 µs per tick
inline constexpr std::size_t kSecondsPerRun = 18;                  // f32
inline constexpr std::size_t kNumSamplesPerEpisode = 22;           // i32, stored values of all channels
inline constexpr std::size_t kEpisodesPerRun = 30;                 // i32
inline constexpr std::size_t kRunsPerTrial = 34;                   // i32
inline constexpr std::size_t kNumberOfTrials = 38;                 // i32
inline constexpr std::size_t kEpisodeStartToStart = 62;            // f32 seconds
inline constexpr std::size_t kAverageCount = 70;                   // i32
inline constexpr std::size_t kAdcRange = 110;                      // f32 volts
inline constexpr std::size_t kDacRange = 114;                      // f32 volts
inline constexpr std::size_t kAdcResolution = 118;                 // i32
inline constexpr std::size_t kDacResolution = 122;                 // i32
inline constexpr std::size_t kExperimentType = 126;                // i16
inline constexpr std::size_t kCommentsEnable = 130;                // i16
inline constexpr std::size_t kFileCommentIndex = 132;              // i32 string index
inline constexpr std::size_t kActiveDacChannel = 142;              // i16
inline constexpr std::size_t kTrialTriggerSource = 172;            // i16
inline constexpr std::size_t kDigitizerAdcs = 198;                 // i16
inline constexpr std::size_t kDigitizerDacs = 200;                 // i16
inline constexpr std::size_t kDigitizerDigitalOutputs = 202;       // i16
inline constexpr std::size_t kDigitizerSynchDigitalOutputs = 204;  // i16
// The bytes a protocol entry must have for the fields the reader takes.
inline constexpr std::size_t kReadSize = 146;
}  // namespace protocol

// ADC section: one 128-byte entry per recorded channel, in storage order.
namespace adc {
inline constexpr std::size_t kEntrySize = 128;
inline constexpr std::size_t kAdcNum = 0;                     // i16 physical channel
inline constexpr std::size_t kTelegraphEnable = 2;            // i16
inline constexpr std::size_t kTelegraphAdditGain = 6;         // f32
inline constexpr std::size_t kPtoLChannelMap = 24;            // i16
inline constexpr std::size_t kProgrammableGain = 28;          // f32
inline constexpr std::size_t kDisplayAmplification = 32;      // f32
inline constexpr std::size_t kInstrumentScaleFactor = 40;     // f32
inline constexpr std::size_t kInstrumentOffset = 44;          // f32
inline constexpr std::size_t kSignalGain = 48;                // f32
inline constexpr std::size_t kSignalOffset = 52;              // f32
inline constexpr std::size_t kSignalLowpassFilter = 56;       // f32 Hz
inline constexpr std::size_t kPostProcessLowpassFilter = 66;  // f32 Hz (written, not read)
inline constexpr std::size_t kChannelNameIndex = 74;          // i32 string index
inline constexpr std::size_t kUnitsIndex = 78;                // i32 string index
inline constexpr std::size_t kReadSize = 82;                  // through the units index
}  // namespace adc

// DAC section: one 256-byte entry per DAC.
namespace dac {
inline constexpr std::size_t kEntrySize = 256;
inline constexpr std::size_t kDacNum = 0;                   // i16
inline constexpr std::size_t kScaleFactor = 8;              // f32 units per volt
inline constexpr std::size_t kHoldingLevel = 12;            // f32
inline constexpr std::size_t kCalibrationFactor = 16;       // f32
inline constexpr std::size_t kChannelNameIndex = 24;        // i32 string index
inline constexpr std::size_t kUnitsIndex = 28;              // i32 string index
inline constexpr std::size_t kWaveformEnable = 40;          // i16
inline constexpr std::size_t kWaveformSource = 42;          // i16
inline constexpr std::size_t kInterEpisodeLevel = 44;       // i16
inline constexpr std::size_t kDacFileScale = 46;            // f32
inline constexpr std::size_t kConditBaselineDuration = 66;  // f32
inline constexpr std::size_t kConditStepDuration = 74;      // f32
inline constexpr std::size_t kConditPostTrainPeriod = 82;   // f32
inline constexpr std::size_t kLeakSubtractPolarity = 94;    // i16 (P/N)
inline constexpr std::size_t kLeakSubtractPulses = 104;     // i16 (P/N)
inline constexpr std::size_t kLeakSubtractSettling = 106;   // f32 ms (P/N)
inline constexpr std::size_t kMembraneTestSettling = 122;   // f32 ×2 ms
inline constexpr std::size_t kReadSize = 46;                // through the inter-episode level
}  // namespace dac

// EpochPerDAC section: one 48-byte entry per enabled analog epoch.
namespace epoch_per_dac {
inline constexpr std::size_t kEntrySize = 48;
inline constexpr std::size_t kEpochNum = 0;       // i16, 0 = A
inline constexpr std::size_t kDacNum = 2;         // i16
inline constexpr std::size_t kEpochType = 4;      // i16
inline constexpr std::size_t kInitLevel = 6;      // f32
inline constexpr std::size_t kLevelInc = 10;      // f32
inline constexpr std::size_t kInitDuration = 14;  // i32
inline constexpr std::size_t kDurationInc = 18;   // i32
inline constexpr std::size_t kPulsePeriod = 22;   // i32
inline constexpr std::size_t kPulseWidth = 26;    // i32
inline constexpr std::size_t kReadSize = 30;      // through the pulse width
}  // namespace epoch_per_dac

// Epoch section (digital outputs): one 32-byte entry per epoch.
namespace epoch {
inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kEpochNum = 0;  // i16
}  // namespace epoch

// Strings section: "SSCH", counts, then NUL-terminated strings back to back.
namespace strings {
inline constexpr std::size_t kSignature = 0;  // c4 "SSCH"
inline constexpr std::size_t kOne = 4;        // u32, 1
inline constexpr std::size_t kCount = 8;      // u32 strings
inline constexpr std::size_t kLongest = 12;   // u32 length of the longest string
inline constexpr std::size_t kTotal = 16;     // u32 bytes of string data
inline constexpr std::size_t kFirstString = 44;
}  // namespace strings

}  // namespace abf2

// ---- Entries shared by both versions ---------------------------------------------------------------

// Synch array entry (8 bytes).
namespace synch {
inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::size_t kStart = 0;   // ticks of fSynchTimeUnit
inline constexpr std::size_t kLength = 4;  // stored values of all channels
}  // namespace synch

// Tag entry (64 bytes).
namespace tag {
inline constexpr std::size_t kEntrySize = 64;
inline constexpr std::size_t kTime = 0;     // i32 ticks
inline constexpr std::size_t kComment = 4;  // c56
inline constexpr std::size_t kCommentLength = 56;
inline constexpr std::size_t kType = 60;            // i16
inline constexpr std::size_t kVoiceTagNumber = 62;  // i16
}  // namespace tag

}  // namespace ephys::abf_layout
