#include "abf/abf_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <system_error>

#include "abf/abf_header.h"
#include "abf/abf_layout.h"

namespace ephys {

namespace {

namespace l1 = abf_layout::abf1;
namespace l2 = abf_layout::abf2;
namespace synch_entry = abf_layout::synch;
namespace tag_entry = abf_layout::tag;

constexpr std::int64_t kBlock = kAbfBlockSize;
constexpr int kMaxChannels = kAbfAdcCount;
constexpr int kMaxEpochs = static_cast<int>(l1::kEpochsPerDac);  // the ABF1 tables' length
constexpr int kDacEntries = 4;  // DAC entries written (the two with tables, two more at holding)

// The scaling fields that every file gets: with these, a reader's scale for int16 data is
// kAdcRange / (kAdcResolution × fInstrumentScaleFactor), and the instrument scale factor is the
// only per-channel multiplier we set.
constexpr float kAdcRange = 10.0F;
constexpr std::int32_t kAdcResolution = 32768;

// Per-channel samples in one gap-free "episode" (a chunk size only; readers that cut gap-free
// data into sections use it).
constexpr std::int64_t kGapFreeChunk = 2048;

constexpr std::size_t kBufferBytes = std::size_t{4} << 20;

std::string errnoText(int err) {
    return std::generic_category().message(err);
}

std::int64_t blocksFor(std::int64_t bytes) {
    return (bytes + kBlock - 1) / kBlock;
}

// ---- Little-endian image of a header -----------------------------------------------------

class Image {
  public:
    explicit Image(std::size_t size) : bytes_(size, 0) {}
    std::vector<std::uint8_t>& bytes() { return bytes_; }

    void u8(std::size_t at, std::uint8_t v) { bytes_.at(at) = v; }
    void i16(std::size_t at, std::int32_t v) { put(at, static_cast<std::uint16_t>(v), 2); }
    void i32(std::size_t at, std::int64_t v) { put(at, static_cast<std::uint32_t>(v), 4); }
    void i64(std::size_t at, std::int64_t v) { put(at, static_cast<std::uint64_t>(v), 8); }
    void f32(std::size_t at, double v) { put(at, std::bit_cast<std::uint32_t>(static_cast<float>(v)), 4); }
    // Text in a fixed field: the bytes, then blanks up to the field's width.
    void text(std::size_t at, const std::string& s, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            bytes_.at(at + i) = static_cast<std::uint8_t>(i < s.size() ? s[i] : ' ');
    }
    void raw(std::size_t at, const std::string& s) {
        for (std::size_t i = 0; i < s.size(); ++i) bytes_.at(at + i) = static_cast<std::uint8_t>(s[i]);
    }

  private:
    void put(std::size_t at, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::vector<std::uint8_t> bytes_;
};

// ---- What a description comes to ----------------------------------------------------------

struct Epoch {
    int number = 0;  // 0 = A, position in the DAC's table
    AbfWriteEpoch e;
};

struct Prepared {
    AbfWriteSpec spec;
    int channels = 0;
    std::int64_t perChannel = 0;             // per-channel samples in the whole file
    std::int64_t samplesPerEpisode = 0;      // stored values per sweep (gap-free: per chunk)
    std::int32_t episodes = 0;               // sweeps (ABF2 gap-free: 0)
    double synchUnitUs = 0.0;                // as stored (a float)
    std::vector<std::uint32_t> synchStarts;  // episodic only
    std::vector<std::int32_t> tagTicks;
    std::array<std::vector<Epoch>, 2> epochs;  // enabled epochs per DAC
    std::array<std::string, kDacEntries> dacNames;
    std::array<std::string, kDacEntries> dacUnits;
    std::array<double, kDacEntries> dacHolding{};
    std::uint32_t date = 0;
    std::uint32_t timeMs = 0;
    std::size_t sampleBytes = 2;
    std::int64_t dataBytes = 0;
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> tail;  // everything after the (block-padded) data
};

double secondsPerRun(const Prepared& p) {
    const double sweepS = static_cast<double>(p.spec.samplesPerSweep) * p.spec.sampleIntervalUs * 1e-6;
    if (p.spec.mode == AbfWriteMode::GapFree) {
        return static_cast<double>(p.perChannel) * p.spec.sampleIntervalUs * 1e-6;
    }
    return p.spec.sweepCount * std::max(sweepS, p.spec.episodeStartToStartS);
}

float instrumentScaleFactor(const AbfWriteChannel& c) {
    return static_cast<float>(static_cast<double>(kAdcRange) / (kAdcResolution * c.scale));
}

// ---- ABF2 -----------------------------------------------------------------------------------

struct SectionEntry {
    std::int64_t block = 0;
    std::int64_t size = 0;
    std::int64_t count = 0;
};

class StringTable {
  public:
    // Index of the text (1, 2, ...); an empty text is not stored and has index 0.
    std::int32_t add(const std::string& s) {
        if (s.empty()) return 0;
        strings_.push_back(s);
        return static_cast<std::int32_t>(strings_.size());
    }
    std::vector<std::uint8_t> section() const {
        std::size_t total = 0, longest = 0;
        for (const auto& s : strings_) {
            total += s.size() + 1;
            longest = std::max(longest, s.size());
        }
        namespace st = l2::strings;
        Image im(st::kFirstString + total);
        im.raw(st::kSignature, "SSCH");
        im.i32(st::kOne, 1);
        im.i32(st::kCount, static_cast<std::int64_t>(strings_.size()));
        im.i32(st::kLongest, static_cast<std::int64_t>(longest));
        im.i32(st::kTotal, static_cast<std::int64_t>(total));
        std::size_t at = st::kFirstString;
        for (const auto& s : strings_) {
            im.raw(at, s);
            at += s.size() + 1;
        }
        return std::move(im.bytes());
    }
    std::size_t count() const { return strings_.size(); }

  private:
    std::vector<std::string> strings_;
};

void buildAbf2(Prepared& p) {
    const AbfWriteSpec& s = p.spec;

    StringTable strings;
    const std::int32_t creatorIndex = strings.add(s.creator);
    const std::int32_t protocolIndex = strings.add(s.protocolPath);
    const std::int32_t commentIndex = strings.add(s.comment);
    std::vector<std::array<std::int32_t, 2>> adcText;
    for (const auto& c : s.channels) adcText.push_back({strings.add(c.name), strings.add(c.units)});
    std::array<std::array<std::int32_t, 2>, kDacEntries> dacText{};
    for (int d = 0; d < kDacEntries; ++d)
        dacText[d] = {strings.add(p.dacNames[d]), strings.add(p.dacUnits[d])};
    const std::vector<std::uint8_t> stringBytes = strings.section();

    std::vector<Epoch> perDac;  // EpochPerDAC entries: DAC 0's, then DAC 1's
    std::vector<int> epochNumbers;
    for (int d = 0; d < 2; ++d) {
        for (const auto& e : p.epochs[d]) {
            perDac.push_back(e);
            epochNumbers.push_back(e.number);
        }
    }
    std::sort(epochNumbers.begin(), epochNumbers.end());
    epochNumbers.erase(std::unique(epochNumbers.begin(), epochNumbers.end()), epochNumbers.end());

    // Section placement: each section starts on its own block.
    std::array<SectionEntry, l2::kSectionCount> map{};
    std::int64_t next = 1;
    auto place = [&](l2::Section section, std::size_t size, std::int64_t count, std::int64_t bytes) {
        map[section] = {next, static_cast<std::int64_t>(size), count};
        next += blocksFor(bytes);
    };
    auto bytesOf = [](std::size_t size, std::int64_t count) {
        return static_cast<std::int64_t>(size) * count;
    };
    place(l2::kProtocolSection, l2::protocol::kEntrySize, 1, bytesOf(l2::protocol::kEntrySize, 1));
    place(l2::kAdcSection, l2::adc::kEntrySize, p.channels, bytesOf(l2::adc::kEntrySize, p.channels));
    place(l2::kDacSection, l2::dac::kEntrySize, kDacEntries, bytesOf(l2::dac::kEntrySize, kDacEntries));
    const auto nPerDac = static_cast<std::int64_t>(perDac.size());
    if (nPerDac > 0) {
        place(l2::kEpochPerDacSection, l2::epoch_per_dac::kEntrySize, nPerDac,
              bytesOf(l2::epoch_per_dac::kEntrySize, nPerDac));
    }
    const auto nEpochs = static_cast<std::int64_t>(epochNumbers.size());
    if (nEpochs > 0)
        place(l2::kEpochSection, l2::epoch::kEntrySize, nEpochs, bytesOf(l2::epoch::kEntrySize, nEpochs));
    place(l2::kStringsSection, stringBytes.size(), static_cast<std::int64_t>(strings.count()),
          static_cast<std::int64_t>(stringBytes.size()));
    const std::int64_t headBlocks = next;
    place(l2::kDataSection, p.sampleBytes, p.perChannel * p.channels, p.dataBytes);
    const std::int64_t tailStart = next;
    const auto nSynch = static_cast<std::int64_t>(p.synchStarts.size());
    if (nSynch > 0) {
        place(l2::kSynchArraySection, synch_entry::kEntrySize, nSynch,
              bytesOf(synch_entry::kEntrySize, nSynch));
    }
    const auto nTags = static_cast<std::int64_t>(p.tagTicks.size());
    if (nTags > 0)
        place(l2::kTagSection, tag_entry::kEntrySize, nTags, bytesOf(tag_entry::kEntrySize, nTags));

    Image head(static_cast<std::size_t>(headBlocks * kBlock));
    auto at = [&](l2::Section section, std::int64_t entry = 0) {
        return static_cast<std::size_t>(map[section].block * kBlock + entry * map[section].size);
    };

    // File header.
    head.raw(l2::kSignature, "ABF2");
    head.u8(l2::kVersionBuild, 0);
    head.u8(l2::kVersionBugfix, 0);
    head.u8(l2::kVersionMinor, 0);
    head.u8(l2::kVersionMajor, 2);
    head.i32(l2::kFileInfoSizeField, static_cast<std::int64_t>(l2::kFileInfoSize));
    head.i32(l2::kActualEpisodes, p.episodes);
    head.i32(l2::kFileStartDate, p.date);
    head.i32(l2::kFileStartTimeMs, p.timeMs);
    head.i16(l2::kFileType, 1);  // ABF file
    head.i16(l2::kDataFormat, static_cast<std::int16_t>(s.format));
    head.i16(l2::kSimultaneousScan, 1);
    head.i32(l2::kCreatorVersion, 0x00010000);  // 0.1.0.0
    head.i32(l2::kCreatorNameIndex, creatorIndex);
    head.i32(l2::kProtocolPathIndex, protocolIndex);
    for (int k = 0; k < l2::kSectionCount; ++k) {
        const std::size_t entry = l2::sectionMapEntry(k);
        head.i32(entry + l2::kSectionBlock, map[k].block);
        head.i32(entry + l2::kSectionEntrySize, map[k].size);
        head.i64(entry + l2::kSectionEntries, map[k].count);
    }

    // Protocol.
    {
        namespace f = l2::protocol;
        const std::size_t pr = at(l2::kProtocolSection);
        head.i16(pr + f::kOperationMode, static_cast<std::int16_t>(s.mode));
        head.f32(pr + f::kAdcSequenceInterval, s.sampleIntervalUs);
        head.i32(pr + f::kFileCompressionRatio, 1);
        head.f32(pr + f::kSynchTimeUnit, p.synchUnitUs);
        head.f32(pr + f::kSecondsPerRun, secondsPerRun(p));
        head.i32(pr + f::kNumSamplesPerEpisode, p.samplesPerEpisode);
        head.i32(pr + f::kEpisodesPerRun, s.mode == AbfWriteMode::Episodic ? s.sweepCount : 1);
        head.i32(pr + f::kRunsPerTrial, 1);
        head.i32(pr + f::kNumberOfTrials, 1);
        head.f32(pr + f::kEpisodeStartToStart, s.episodeStartToStartS);
        head.i32(pr + f::kAverageCount, 1);
        head.f32(pr + f::kAdcRange, kAdcRange);
        head.f32(pr + f::kDacRange, 10.0);
        head.i32(pr + f::kAdcResolution, kAdcResolution);
        head.i32(pr + f::kDacResolution, 32768);
        head.i16(pr + f::kExperimentType, 2);
        head.i16(pr + f::kCommentsEnable, commentIndex != 0 ? 1 : 0);
        head.i32(pr + f::kFileCommentIndex, commentIndex);
        head.i16(pr + f::kActiveDacChannel, 0);
        head.i16(pr + f::kTrialTriggerSource, -1);
        head.i16(pr + f::kDigitizerAdcs, kMaxChannels);
        head.i16(pr + f::kDigitizerDacs, kDacEntries);
        head.i16(pr + f::kDigitizerDigitalOutputs, 16);
        head.i16(pr + f::kDigitizerSynchDigitalOutputs, 8);
    }

    // ADC entries, in storage order.
    for (int k = 0; k < p.channels; ++k) {
        namespace f = l2::adc;
        const AbfWriteChannel& c = s.channels[k];
        const std::size_t a = at(l2::kAdcSection, k);
        head.i16(a + f::kAdcNum, c.physicalAdc);
        head.f32(a + f::kTelegraphAdditGain, 1.0);  // telegraph off
        head.i16(a + f::kPtoLChannelMap, c.physicalAdc);
        head.f32(a + f::kProgrammableGain, 1.0);
        head.f32(a + f::kDisplayAmplification, 1.0);
        head.f32(a + f::kInstrumentScaleFactor, instrumentScaleFactor(c));
        head.f32(a + f::kInstrumentOffset, c.offset);
        head.f32(a + f::kSignalGain, 1.0);
        head.f32(a + f::kSignalLowpassFilter, 100000.0);       // Hz: none
        head.f32(a + f::kPostProcessLowpassFilter, 100000.0);  // Hz: none
        head.i32(a + f::kChannelNameIndex, adcText[k][0]);
        head.i32(a + f::kUnitsIndex, adcText[k][1]);
    }

    // DAC entries.
    for (int d = 0; d < kDacEntries; ++d) {
        namespace f = l2::dac;
        const std::size_t a = at(l2::kDacSection, d);
        const bool waveform = d < 2 && !p.epochs[d].empty();
        head.i16(a + f::kDacNum, d);
        head.f32(a + f::kScaleFactor, 20.0);  // units per volt
        head.f32(a + f::kHoldingLevel, p.dacHolding[d]);
        head.f32(a + f::kCalibrationFactor, 1.0);
        head.i32(a + f::kChannelNameIndex, dacText[d][0]);
        head.i32(a + f::kUnitsIndex, dacText[d][1]);
        head.i16(a + f::kWaveformEnable, waveform ? 1 : 0);
        head.i16(a + f::kWaveformSource, 1);  // epoch table
        head.i16(a + f::kInterEpisodeLevel, d < 2 && !s.dacs[d].returnToHolding ? 1 : 0);
        head.f32(a + f::kDacFileScale, 1.0);
        head.f32(a + f::kConditBaselineDuration, 1.0);
        head.f32(a + f::kConditStepDuration, 1.0);
        head.f32(a + f::kConditPostTrainPeriod, 10.0);
        head.i16(a + f::kLeakSubtractPolarity, 1);
        head.i16(a + f::kLeakSubtractPulses, 4);
        head.f32(a + f::kLeakSubtractSettling, 100.0);
        head.f32(a + f::kMembraneTestSettling, 100.0);
        head.f32(a + f::kMembraneTestSettling + 4, 100.0);
    }

    // EpochPerDAC entries.
    for (std::int64_t k = 0; k < nPerDac; ++k) {
        namespace f = l2::epoch_per_dac;
        const Epoch& e = perDac[static_cast<std::size_t>(k)];
        const std::size_t a = at(l2::kEpochPerDacSection, k);
        const int dac = k < static_cast<std::int64_t>(p.epochs[0].size()) ? 0 : 1;
        head.i16(a + f::kEpochNum, e.number);
        head.i16(a + f::kDacNum, dac);
        head.i16(a + f::kEpochType, static_cast<std::int16_t>(e.e.type));
        head.f32(a + f::kInitLevel, e.e.initLevel);
        head.f32(a + f::kLevelInc, e.e.levelIncrement);
        head.i32(a + f::kInitDuration, e.e.initDuration);
        head.i32(a + f::kDurationInc, e.e.durationIncrement);
    }

    // Epoch entries (digital outputs, all off).
    for (std::int64_t k = 0; k < nEpochs; ++k)
        head.i16(at(l2::kEpochSection, k) + l2::epoch::kEpochNum, epochNumbers[static_cast<std::size_t>(k)]);

    std::copy(stringBytes.begin(), stringBytes.end(),
              head.bytes().begin() + static_cast<std::ptrdiff_t>(at(l2::kStringsSection)));

    p.head = std::move(head.bytes());

    Image tail(static_cast<std::size_t>((next - tailStart) * kBlock));
    auto tailAt = [&](l2::Section section, std::int64_t entry) {
        return static_cast<std::size_t>((map[section].block - tailStart) * kBlock +
                                        entry * map[section].size);
    };
    for (std::int64_t k = 0; k < nSynch; ++k) {
        const std::size_t a = tailAt(l2::kSynchArraySection, k);
        tail.i32(a + synch_entry::kStart, p.synchStarts[static_cast<std::size_t>(k)]);
        tail.i32(a + synch_entry::kLength, p.samplesPerEpisode);
    }
    for (std::int64_t k = 0; k < nTags; ++k) {
        const std::size_t a = tailAt(l2::kTagSection, k);
        const AbfWriteTag& t = s.tags[static_cast<std::size_t>(k)];
        tail.i32(a + tag_entry::kTime, p.tagTicks[static_cast<std::size_t>(k)]);
        tail.text(a + tag_entry::kComment, t.comment, tag_entry::kCommentLength);
        tail.i16(a + tag_entry::kType, t.type);
    }
    p.tail = std::move(tail.bytes());
}

// ---- ABF1 (1.83, 6144-byte header) -----------------------------------------------------------

void buildAbf1(Prepared& p) {
    const AbfWriteSpec& s = p.spec;
    constexpr std::int64_t headBlocks = static_cast<std::int64_t>(l1::kHeaderSize) / kBlock;
    Image head(l1::kHeaderSize);
    const std::int64_t dataBlocks = blocksFor(p.dataBytes);
    const std::int64_t synchBlock = headBlocks + dataBlocks;
    const auto nSynch = static_cast<std::int64_t>(p.synchStarts.size());
    const auto synchSize = static_cast<std::int64_t>(synch_entry::kEntrySize);
    const auto tagSize = static_cast<std::int64_t>(tag_entry::kEntrySize);
    const std::int64_t tagBlock = synchBlock + blocksFor(synchSize * nSynch);
    const auto nTags = static_cast<std::int64_t>(p.tagTicks.size());
    const std::int64_t endBlock = tagBlock + blocksFor(tagSize * nTags);

    head.raw(l1::kSignature, "ABF ");
    head.f32(l1::kFileVersionNumber, 1.83);
    head.i16(l1::kOperationMode, static_cast<std::int16_t>(s.mode));
    head.i32(l1::kActualAcqLength, p.perChannel * p.channels);
    head.i32(l1::kActualEpisodes, p.episodes);
    head.i32(l1::kFileStartDate, p.date);
    head.i32(l1::kFileStartTime, p.timeMs / 1000);
    head.f32(l1::kHeaderVersionNumber, 1.83);
    head.i16(l1::kFileType, 1);  // ABF file
    head.i32(l1::kDataSectionPtr, headBlocks);
    head.i32(l1::kTagSectionPtr, nTags > 0 ? tagBlock : 0);
    head.i32(l1::kNumTagEntries, nTags);
    head.i32(l1::kSynchArrayPtr, nSynch > 0 ? synchBlock : 0);
    head.i32(l1::kSynchArraySize, nSynch);
    head.i16(l1::kDataFormat, static_cast<std::int16_t>(s.format));
    head.i16(l1::kAdcNumChannels, p.channels);
    head.f32(l1::kAdcSampleInterval, s.sampleIntervalUs / p.channels);  // between stored values
    head.f32(l1::kSynchTimeUnit, p.synchUnitUs);
    head.f32(l1::kSecondsPerRun, secondsPerRun(p));
    head.i32(l1::kNumSamplesPerEpisode, p.samplesPerEpisode);
    head.i32(l1::kEpisodesPerRun, s.mode == AbfWriteMode::Episodic ? s.sweepCount : 1);
    head.i32(l1::kRunsPerTrial, 1);
    head.i32(l1::kNumberOfTrials, 1);
    head.f32(l1::kEpisodeStartToStart, s.episodeStartToStartS);
    head.i32(l1::kAverageCount, 1);
    head.f32(l1::kAdcRange, kAdcRange);
    head.f32(l1::kDacRange, 10.0);
    head.i32(l1::kAdcResolution, kAdcResolution);
    head.i32(l1::kDacResolution, 32768);
    head.i16(l1::kExperimentType, 2);
    head.text(l1::kCreatorInfo, s.creator.substr(0, l1::kCreatorInfoLength), l1::kCreatorInfoLength);
    head.text(l1::kOldFileComment, s.comment.substr(0, l1::kOldFileCommentLength), l1::kOldFileCommentLength);
    head.i16(l1::kFileStartMillisecs, static_cast<std::int32_t>(p.timeMs % 1000));

    constexpr std::size_t kName = kAbfChannelNameLength;
    constexpr std::size_t kUnits = kAbfUnitsLength;
    // Per physical channel: channel map, sampling sequence, names, units, gains (all 1), filters.
    for (int ch = 0; ch < kMaxChannels; ++ch) {
        const auto k = static_cast<std::size_t>(ch);
        head.i16(l1::kAdcPtoLChannelMap + 2 * k, ch);
        head.i16(l1::kAdcSamplingSeq + 2 * k, ch < p.channels ? s.channels[k].physicalAdc : -1);
        head.text(l1::kAdcChannelName + kName * k, "", kName);
        head.text(l1::kAdcUnits + kUnits * k, "", kUnits);
        head.f32(l1::kAdcProgrammableGain + 4 * k, 1.0);
        head.f32(l1::kAdcDisplayAmplification + 4 * k, 1.0);
        head.f32(l1::kInstrumentScaleFactor + 4 * k, 1.0);
        head.f32(l1::kSignalGain + 4 * k, 1.0);
        head.f32(l1::kSignalLowpassFilter + 4 * k, 100000.0);
        head.f32(l1::kTelegraphAdditGain + 4 * k, 1.0);
    }
    for (const AbfWriteChannel& c : s.channels) {
        const auto ph = static_cast<std::size_t>(c.physicalAdc);
        head.text(l1::kAdcChannelName + kName * ph, c.name, kName);
        head.text(l1::kAdcUnits + kUnits * ph, c.units, kUnits);
        head.f32(l1::kInstrumentScaleFactor + 4 * ph, instrumentScaleFactor(c));
        head.f32(l1::kInstrumentOffset + 4 * ph, c.offset);
    }
    for (int d = 0; d < kDacEntries; ++d) {
        const auto k = static_cast<std::size_t>(d);
        head.text(l1::kDacChannelName + kName * k, p.dacNames[k], kName);
        head.text(l1::kDacChannelUnits + kUnits * k, p.dacUnits[k], kUnits);
        head.f32(l1::kDacScaleFactor + 4 * k, 20.0);  // units per volt
        head.f32(l1::kDacHoldingLevel + 4 * k, p.dacHolding[k]);
    }

    // Epoch tables per DAC (extended form). Slots keep their table position; disabled slots
    // stay zero.
    for (int d = 0; d < 2; ++d) {
        const auto k = static_cast<std::size_t>(d);
        head.i16(l1::kWaveformEnable + 2 * k, p.epochs[k].empty() ? 0 : 1);
        head.i16(l1::kWaveformSource + 2 * k, 1);  // epochs
        head.i16(l1::kInterEpisodeLevel + 2 * k, s.dacs[k].returnToHolding ? 0 : 1);
        for (const Epoch& e : p.epochs[k]) {
            const auto i = static_cast<std::size_t>(d * kMaxEpochs + e.number);
            head.i16(l1::kEpochType + 2 * i, static_cast<std::int16_t>(e.e.type));
            head.f32(l1::kEpochInitLevel + 4 * i, e.e.initLevel);
            head.f32(l1::kEpochLevelInc + 4 * i, e.e.levelIncrement);
            head.i32(l1::kEpochInitDuration + 4 * i, e.e.initDuration);
            head.i32(l1::kEpochDurationInc + 4 * i, e.e.durationIncrement);
        }
    }
    // The old single-DAC form mirrors DAC 0 when its durations fit its 16-bit fields.
    bool fits = true;
    for (const Epoch& e : p.epochs[0]) {
        fits = fits && e.e.initDuration <= std::numeric_limits<std::int16_t>::max() &&
               std::abs(e.e.durationIncrement) <= std::numeric_limits<std::int16_t>::max();
    }
    if (fits && !p.epochs[0].empty()) {
        head.i16(l1::kOldWaveformSource, 1);
        head.i16(l1::kOldInterEpisodeLevel, s.dacs[0].returnToHolding ? 0 : 1);
        for (const Epoch& e : p.epochs[0]) {
            const auto i = static_cast<std::size_t>(e.number);
            head.i16(l1::kOldEpochType + 2 * i, static_cast<std::int16_t>(e.e.type));
            head.f32(l1::kOldEpochInitLevel + 4 * i, e.e.initLevel);
            head.f32(l1::kOldEpochLevelInc + 4 * i, e.e.levelIncrement);
            head.i16(l1::kOldEpochInitDuration + 2 * i, e.e.initDuration);
            head.i16(l1::kOldEpochDurationInc + 2 * i, e.e.durationIncrement);
        }
    }
    head.i32(l1::kHeaderSizeField, static_cast<std::int64_t>(l1::kHeaderSize));
    head.text(l1::kFileComment, s.comment, l1::kFileCommentLength);

    p.head = std::move(head.bytes());

    Image tail(static_cast<std::size_t>((endBlock - synchBlock) * kBlock));
    for (std::int64_t k = 0; k < nSynch; ++k) {
        const auto a = static_cast<std::size_t>(synchSize * k);
        tail.i32(a + synch_entry::kStart, p.synchStarts[static_cast<std::size_t>(k)]);
        tail.i32(a + synch_entry::kLength, p.samplesPerEpisode);
    }
    for (std::int64_t k = 0; k < nTags; ++k) {
        const auto a = static_cast<std::size_t>((tagBlock - synchBlock) * kBlock + tagSize * k);
        const AbfWriteTag& t = s.tags[static_cast<std::size_t>(k)];
        tail.i32(a + tag_entry::kTime, p.tagTicks[static_cast<std::size_t>(k)]);
        tail.text(a + tag_entry::kComment, t.comment, tag_entry::kCommentLength);
        tail.i16(a + tag_entry::kType, t.type);
    }
    p.tail = std::move(tail.bytes());
}

// ---- Checking and preparing a description ------------------------------------------------

std::string textTooLong(const std::string& what, const std::string& text, std::size_t limit) {
    return what + " '" + text + "' is longer than " + std::to_string(limit) + " characters";
}

// Fills everything but the images; returns an error text or "".
std::string prepare(const AbfWriteSpec& spec, Prepared& p) {
    p.spec = spec;
    const AbfWriteSpec& s = p.spec;
    if (s.version != AbfFileVersion::V1 && s.version != AbfFileVersion::V2) return "unknown ABF version";
    if (s.mode != AbfWriteMode::GapFree && s.mode != AbfWriteMode::Episodic) {
        return "operation mode " + std::to_string(static_cast<int>(s.mode)) + " cannot be written (3 or 5)";
    }
    if (s.format != AbfSampleFormat::Int16 && s.format != AbfSampleFormat::Float32) {
        return "unknown sample format";
    }
    if (!std::isfinite(s.sampleIntervalUs) || s.sampleIntervalUs <= 0) {
        return "the sample interval must be a positive number of microseconds";
    }
    p.channels = static_cast<int>(s.channels.size());
    if (p.channels < 1 || p.channels > kMaxChannels) {
        return "a recording has 1 to " + std::to_string(kMaxChannels) + " channels, not " +
               std::to_string(p.channels);
    }
    std::array<bool, kMaxChannels> used{};
    for (int k = 0; k < p.channels; ++k) {
        const AbfWriteChannel& c = s.channels[k];
        const std::string which = "channel " + std::to_string(k);
        if (c.physicalAdc < 0 || c.physicalAdc >= kMaxChannels) {
            return which + ": physical ADC " + std::to_string(c.physicalAdc) + " is not 0..15";
        }
        if (used[c.physicalAdc])
            return which + ": physical ADC " + std::to_string(c.physicalAdc) + " is used twice";
        used[c.physicalAdc] = true;
        if (c.name.size() > 10) return which + ": " + textTooLong("the name", c.name, 10);
        if (c.units.size() > 8) return which + ": " + textTooLong("the unit", c.units, 8);
        if (!std::isfinite(c.scale) || c.scale == 0 ||
            !std::isfinite(static_cast<double>(instrumentScaleFactor(c))) ||
            instrumentScaleFactor(c) == 0.0F) {
            return which + ": the scale must be a finite number other than 0";
        }
        if (!std::isfinite(c.offset)) return which + ": the offset must be a finite number";
    }

    const auto c64 = static_cast<std::int64_t>(p.channels);
    constexpr std::int64_t i32max = std::numeric_limits<std::int32_t>::max();
    if (s.mode == AbfWriteMode::Episodic) {
        if (s.sweepCount < 1) return "an episodic recording needs at least one sweep";
        if (s.samplesPerSweep < 1) return "an episodic recording needs at least one sample per sweep";
        if (s.samplesPerSweep > i32max / c64)
            return "a sweep of all channels holds more than 2^31 - 1 samples";
        p.perChannel = s.samplesPerSweep * s.sweepCount;
        p.samplesPerEpisode = s.samplesPerSweep * c64;
        p.episodes = s.sweepCount;
    } else {
        if (s.totalSamples < 1) return "a gap-free recording needs at least one sample";
        p.perChannel = s.totalSamples;
        const std::int64_t chunk = std::min(s.totalSamples, kGapFreeChunk);
        p.samplesPerEpisode = chunk * c64;
        // ABF1 counts the chunks as episodes; ABF2 stores 0.
        p.episodes = s.version == AbfFileVersion::V1
                         ? static_cast<std::int32_t>((s.totalSamples + chunk - 1) / chunk)
                         : 0;
    }
    // Float data in ABF1 files: no recording of the vendor's shows how readers treat them, and
    // the readers we checked disagree (one scales the stored values), so ABF1 is int16 only.
    if (s.version == AbfFileVersion::V1 && s.format != AbfSampleFormat::Int16) {
        return "ABF1 files are written with int16 samples only";
    }
    // The stored values are counted in 32 bits by ABF1 headers and by readers that turn an ABF2
    // header into that form (the project's reader among them), so ABF2 files keep the same limit.
    if (p.perChannel > i32max / c64) return "a file holds at most 2^31 - 1 samples of all channels together";
    p.sampleBytes = s.format == AbfSampleFormat::Int16 ? 2 : 4;
    p.dataBytes = p.perChannel * c64 * static_cast<std::int64_t>(p.sampleBytes);

    // Synch and tag times count ticks of one per-channel sample interval. Readers take a tick
    // as fSynchTimeUnit µs; neo takes a tag tick as one sample interval whatever the unit says,
    // so with this unit both give the same times.
    p.synchUnitUs = static_cast<float>(s.sampleIntervalUs);
    auto ticksOfSeconds = [&](double seconds) { return std::llround(seconds * 1e6 / p.synchUnitUs); };

    if (s.mode == AbfWriteMode::Episodic) {
        const std::int64_t sweepTicks = s.samplesPerSweep;
        const double sweepS = static_cast<double>(s.samplesPerSweep) * s.sampleIntervalUs * 1e-6;
        if (!std::isfinite(s.episodeStartToStartS) || s.episodeStartToStartS < 0) {
            return "the episode start-to-start time must be 0 or positive";
        }
        if (s.episodeStartToStartS > 0 && ticksOfSeconds(s.episodeStartToStartS) < sweepTicks) {
            return "the episode start-to-start time (" + std::to_string(s.episodeStartToStartS) +
                   " s) is shorter than a sweep (" + std::to_string(sweepS) + " s)";
        }
        if (!s.sweepStartsS.empty() && s.sweepStartsS.size() != static_cast<std::size_t>(s.sweepCount)) {
            return "there are " + std::to_string(s.sweepStartsS.size()) + " sweep start times for " +
                   std::to_string(s.sweepCount) + " sweeps";
        }
        for (std::int32_t k = 0; k < s.sweepCount; ++k) {
            std::int64_t t = 0;
            if (!s.sweepStartsS.empty()) {
                const double start = s.sweepStartsS[k];
                if (!std::isfinite(start) || start < 0) return "sweep start times must be 0 or positive";
                t = ticksOfSeconds(start);
            } else if (s.episodeStartToStartS > 0) {
                t = ticksOfSeconds(k * s.episodeStartToStartS);
            } else {
                t = k * sweepTicks;
            }
            if (t > std::numeric_limits<std::uint32_t>::max()) return "a sweep starts too late to be stored";
            if (k > 0 && t < p.synchStarts.back() + sweepTicks) {
                return "sweep " + std::to_string(k) + " starts before the previous sweep has ended";
            }
            p.synchStarts.push_back(static_cast<std::uint32_t>(t));
        }
    } else {
        if (!s.sweepStartsS.empty()) return "sweep start times are for episodic recordings";
    }
    if (s.creator.size() > 16) return textTooLong("the creator name", s.creator, 16);
    if (s.protocolPath.size() > 256) return textTooLong("the protocol path", s.protocolPath, 256);

    for (std::size_t k = 0; k < s.tags.size(); ++k) {
        const AbfWriteTag& t = s.tags[k];
        const std::string which = "tag " + std::to_string(k);
        if (t.comment.size() > 56) return which + ": " + textTooLong("the comment", t.comment, 56);
        if (t.type < 0 || t.type > 3) return which + ": the type must be 0 to 3";
        if (!std::isfinite(t.time) || t.time < 0) return which + ": the time must be 0 or positive";
        const double ticks = t.timeInSamples ? t.time : t.time * 1e6 / p.synchUnitUs;
        if (ticks > static_cast<double>(i32max)) return which + ": the time is too late to be stored";
        p.tagTicks.push_back(static_cast<std::int32_t>(std::llround(ticks)));
    }

    if (s.comment.size() > 128) return textTooLong("the file comment", s.comment, 128);

    for (int d = 0; d < kDacEntries; ++d) {
        p.dacNames[d] = d < 2 && !s.dacs[d].name.empty() ? s.dacs[d].name : "Cmd " + std::to_string(d);
        p.dacUnits[d] = d < 2 ? s.dacs[d].units : "mV";
        p.dacHolding[d] = d < 2 ? s.dacs[d].holdingLevel : 0.0;
    }
    for (int d = 0; d < 2; ++d) {
        const AbfWriteDac& dac = s.dacs[d];
        const std::string which = "DAC " + std::to_string(d);
        if (dac.name.size() > 10) return which + ": " + textTooLong("the name", dac.name, 10);
        if (dac.units.size() > 8) return which + ": " + textTooLong("the unit", dac.units, 8);
        if (!std::isfinite(dac.holdingLevel)) return which + ": the holding level must be a finite number";
        if (dac.epochs.size() > static_cast<std::size_t>(kMaxEpochs)) {
            return which + ": at most " + std::to_string(kMaxEpochs) + " epochs";
        }
        for (std::size_t e = 0; e < dac.epochs.size(); ++e) {
            const AbfWriteEpoch& ep = dac.epochs[e];
            const std::string epochName = which + " epoch " + std::string(1, static_cast<char>('A' + e));
            if (ep.type == AbfEpochType::Disabled) continue;
            if (ep.type != AbfEpochType::Step && ep.type != AbfEpochType::Ramp) {
                return epochName + ": the type must be step (1) or ramp (2)";
            }
            if (!std::isfinite(ep.initLevel) || !std::isfinite(ep.levelIncrement)) {
                return epochName + ": levels must be finite numbers";
            }
            if (ep.initDuration < 0) return epochName + ": the duration must be 0 or positive";
            p.epochs[d].push_back({static_cast<int>(e), ep});
        }
        if (p.epochs[d].empty()) continue;
        if (s.mode != AbfWriteMode::Episodic) return which + ": epochs need an episodic recording";
        // Every sweep's epochs must fit in the sweep after the holding stretch of 1/64 sweep.
        for (std::int32_t sweep = 0; sweep < s.sweepCount; ++sweep) {
            std::int64_t end = s.samplesPerSweep / 64;
            for (const Epoch& e : p.epochs[d]) {
                const std::int64_t length = e.e.initDuration + std::int64_t{sweep} * e.e.durationIncrement;
                if (length < 0) {
                    return which + " epoch " + std::string(1, static_cast<char>('A' + e.number)) +
                           ": the duration is negative in sweep " + std::to_string(sweep);
                }
                end += length;
            }
            if (end > s.samplesPerSweep) {
                return which + ": the epochs of sweep " + std::to_string(sweep) + " end at sample " +
                       std::to_string(end) + ", after the end of the sweep (" +
                       std::to_string(s.samplesPerSweep) + ")";
            }
        }
    }

    if (s.startDate != 0) {
        p.date = s.startDate;
        p.timeMs = s.startTimeMs;
    } else {
        const auto now = std::chrono::system_clock::now();
        const std::time_t t = std::chrono::system_clock::to_time_t(now);
        std::tm local{};
        localtime_r(&t, &local);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        p.date = static_cast<std::uint32_t>((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 +
                                            local.tm_mday);
        p.timeMs =
            static_cast<std::uint32_t>((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 + ms);
    }
    return "";
}

// ---- Output file ----------------------------------------------------------------------------

bool writeAll(int fd, const void* data, std::size_t n, std::string& error) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            error = errnoText(errno);
            return false;
        }
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

std::atomic<unsigned> tempCounter{0};

// Stores an unsigned 16- or 32-bit value little-endian.
template <typename U>
inline void store(std::uint8_t* at, U v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &v, sizeof v);
    } else {
        for (std::size_t b = 0; b < sizeof v; ++b) at[b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
}

}  // namespace

std::string abfCheckWriteSpec(const AbfWriteSpec& spec) {
    try {
        Prepared p;
        return prepare(spec, p);
    } catch (const std::exception& e) {
        return e.what();
    }
}

std::int64_t abfWriteSamplesPerChannel(const AbfWriteSpec& spec) {
    return spec.mode == AbfWriteMode::GapFree ? spec.totalSamples : spec.samplesPerSweep * spec.sweepCount;
}

namespace {

// Nearest count to x (halves away from zero), clamped to the int16 range; NaN gives 0.
inline std::int16_t nearestCount(double x, bool& clipped) {
    clipped = false;
    if (x >= 32767.5) {
        clipped = true;
        return 32767;
    }
    if (!(x > -32768.5)) {
        clipped = !std::isnan(x);
        return clipped ? -32768 : 0;
    }
    const auto magnitude = static_cast<std::int32_t>((x < 0 ? -x : x) + 0.5);
    return static_cast<std::int16_t>(x < 0 ? -magnitude : magnitude);
}

}  // namespace

std::int16_t abfQuantize(double value, const AbfWriteChannel& channel) {
    bool clipped = false;
    return nearestCount((value - channel.offset) / channel.scale, clipped);
}

struct AbfWriter::State {
    Prepared p;
    AbfWriteOptions options;
    std::string target;
    std::string temp;
    int fd = -1;
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
    std::int64_t written = 0;
    std::int64_t clipped = 0;

    ~State() { discard(); }

    void discard() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (!temp.empty()) ::unlink(temp.c_str());
        temp.clear();
    }

    bool flush(std::string& error) {
        if (used == 0) return true;
        if (!writeAll(fd, buffer.data(), used, error)) return false;
        used = 0;
        return true;
    }

    // Room for at least `bytes` bytes at the end of the buffer.
    bool room(std::size_t bytes, std::string& error) {
        if (buffer.size() - used >= bytes) return true;
        return flush(error);
    }

    // `frames` sample points; the sample of channel c at point i is get(i, c). The buffer is
    // filled channel by channel so that each channel's conversion runs as one plain loop.
    template <typename T, typename Get>
    bool appendFrames(std::int64_t frames, Get get, std::string& error) {
        const int channels = p.channels;
        const std::size_t frameBytes = p.sampleBytes * static_cast<std::size_t>(channels);
        std::int64_t i = 0;
        while (i < frames) {
            if (!room(frameBytes, error)) return false;
            const std::int64_t n =
                std::min(frames - i, static_cast<std::int64_t>((buffer.size() - used) / frameBytes));
            std::uint8_t* out = buffer.data() + used;
            for (int c = 0; c < channels; ++c) {
                if constexpr (std::is_same_v<T, std::int16_t>) {
                    for (std::int64_t k = 0; k < n; ++k) {
                        store(out + (k * channels + c) * 2, static_cast<std::uint16_t>(get(i + k, c)));
                    }
                } else if (p.spec.format == AbfSampleFormat::Float32) {
                    for (std::int64_t k = 0; k < n; ++k) {
                        store(out + (k * channels + c) * 4, std::bit_cast<std::uint32_t>(get(i + k, c)));
                    }
                } else {
                    const double offset = p.spec.channels[c].offset;
                    const double scale = p.spec.channels[c].scale;
                    std::int64_t clips = 0;
                    for (std::int64_t k = 0; k < n; ++k) {
                        bool clip = false;
                        const std::int16_t raw =
                            nearestCount((static_cast<double>(get(i + k, c)) - offset) / scale, clip);
                        store(out + (k * channels + c) * 2, static_cast<std::uint16_t>(raw));
                        clips += clip ? 1 : 0;
                    }
                    clipped += clips;
                }
            }
            used += static_cast<std::size_t>(n) * frameBytes;
            i += n;
        }
        written += frames;
        return true;
    }

    template <typename T>
    bool check(std::int64_t frames, std::string& error) {
        if (std::is_same_v<T, std::int16_t> && p.spec.format != AbfSampleFormat::Int16) {
            error = "raw int16 samples need an int16 file (give float values)";
            return false;
        }
        if (frames > p.perChannel - written) {
            error = std::to_string(frames) + " samples per channel given, more than the " +
                    std::to_string(p.perChannel - written) + " still to come";
            return false;
        }
        return true;
    }

    template <typename T>
    bool interleaved(std::span<const T> data, std::string& error) {
        std::string why;
        const auto channels = static_cast<std::size_t>(p.channels);
        const auto frames = static_cast<std::int64_t>(data.size() / channels);
        if (data.size() % channels != 0) {
            why = std::to_string(data.size()) + " interleaved samples are not whole frames of " +
                  std::to_string(channels) + " channels";
        } else if (check<T>(frames, why)) {
            bool direct = false;
            if constexpr (std::is_same_v<T, std::int16_t> && std::endian::native == std::endian::little) {
                // Large blocks of raw little-endian counts go out as they are.
                direct = data.size_bytes() >= buffer.size() / 2;
            }
            if (direct) {
                if (flush(why) && writeAll(fd, data.data(), data.size_bytes(), why)) {
                    written += frames;
                    return true;
                }
            } else if (appendFrames<T>(
                           frames,
                           [&](std::int64_t i, int c) {
                               return data[static_cast<std::size_t>(i) * channels + c];
                           },
                           why)) {
                return true;
            }
        }
        error = "Cannot write " + target + ": " + why;
        return false;
    }

    template <typename T>
    bool perChannel(std::span<const std::span<const T>> data, std::string& error) {
        std::string why;
        if (data.size() != static_cast<std::size_t>(p.channels)) {
            why = std::to_string(data.size()) + " channels given, the file has " + std::to_string(p.channels);
        } else if (std::any_of(data.begin(), data.end(),
                               [&](const auto& ch) { return ch.size() != data[0].size(); })) {
            why = "the channels are given with different lengths";
        } else if (check<T>(static_cast<std::int64_t>(data[0].size()), why) &&
                   appendFrames<T>(
                       static_cast<std::int64_t>(data[0].size()),
                       [&](std::int64_t i, int c) { return data[c][static_cast<std::size_t>(i)]; }, why)) {
            return true;
        }
        error = "Cannot write " + target + ": " + why;
        return false;
    }
};

AbfWriter::AbfWriter() = default;
AbfWriter::~AbfWriter() = default;
AbfWriter::AbfWriter(AbfWriter&&) noexcept = default;
AbfWriter& AbfWriter::operator=(AbfWriter&&) noexcept = default;

bool AbfWriter::isOpen() const {
    return state_ != nullptr;
}
const std::string& AbfWriter::error() const {
    return error_;
}
std::int64_t AbfWriter::samplesWritten() const {
    return state_ ? state_->written : written_;
}
std::int64_t AbfWriter::clippedSamples() const {
    return state_ ? state_->clipped : clipped_;
}

void AbfWriter::abort() {
    if (state_) {
        written_ = state_->written;
        clipped_ = state_->clipped;
    }
    state_.reset();
}

bool AbfWriter::open(const std::string& path, const AbfWriteSpec& spec, const AbfWriteOptions& options) {
    abort();
    error_.clear();
    written_ = 0;
    clipped_ = 0;
    if (path.empty()) {
        error_ = "Cannot write an ABF file without a name";
        return false;
    }
    try {
        auto st = std::make_unique<State>();
        st->options = options;
        st->target = path;
        if (const std::string why = prepare(spec, st->p); !why.empty()) {
            error_ = "Cannot write " + path + ": " + why;
            return false;
        }
        if (st->p.spec.version == AbfFileVersion::V2) {
            buildAbf2(st->p);
        } else {
            buildAbf1(st->p);
        }

        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                error_ = "Cannot write " + path + ": it is a folder";
                return false;
            }
            if (!options.overwrite) {
                error_ = "Cannot write " + path + ": the file exists (overwriting was not asked for)";
                return false;
            }
        }

        for (int attempt = 0; attempt < 100 && st->fd < 0; ++attempt) {
            st->temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(tempCounter++);
            st->fd = ::open(st->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (st->fd < 0 && errno != EEXIST) break;
        }
        if (st->fd < 0) {
            error_ = "Cannot write " + path + ": " + errnoText(errno);
            st->temp.clear();
            return false;
        }
        std::string why;
        if (!writeAll(st->fd, st->p.head.data(), st->p.head.size(), why)) {
            error_ = "Cannot write " + path + ": " + why;
            return false;
        }
        st->p.head = {};
        st->buffer.resize(kBufferBytes);
        state_ = std::move(st);
        return true;
    } catch (const std::bad_alloc&) {
        error_ = "Cannot write " + path + ": out of memory";
    } catch (const std::exception& e) {
        error_ = "Cannot write " + path + ": " + e.what();
    }
    return false;
}

bool AbfWriter::writeInterleaved(std::span<const std::int16_t> frames) {
    return call([&](State& st) { return st.interleaved(frames, error_); });
}
bool AbfWriter::writeInterleaved(std::span<const float> frames) {
    return call([&](State& st) { return st.interleaved(frames, error_); });
}
bool AbfWriter::writeChannels(std::span<const std::span<const std::int16_t>> channels) {
    return call([&](State& st) { return st.perChannel(channels, error_); });
}
bool AbfWriter::writeChannels(std::span<const std::span<const float>> channels) {
    return call([&](State& st) { return st.perChannel(channels, error_); });
}

template <typename F>
bool AbfWriter::call(F&& f) {
    if (!state_) {
        if (error_.empty()) error_ = "No ABF file is open for writing";
        return false;
    }
    try {
        if (f(*state_)) return true;
    } catch (const std::bad_alloc&) {
        error_ = "Cannot write " + state_->target + ": out of memory";
    } catch (const std::exception& e) {
        error_ = "Cannot write " + state_->target + ": " + e.what();
    }
    abort();
    return false;
}

bool AbfWriter::finish() {
    if (!state_) {
        if (error_.empty()) error_ = "No ABF file is open for writing";
        return false;
    }
    State& st = *state_;
    const std::string what = "Cannot write " + st.target + ": ";
    std::string why;
    if (st.written != st.p.perChannel) {
        error_ = what + "only " + std::to_string(st.written) + " of " + std::to_string(st.p.perChannel) +
                 " samples per channel were written";
        abort();
        return false;
    }
    // Pad the data to a whole block, then the closing sections.
    const std::size_t pad = static_cast<std::size_t>((kBlock - st.p.dataBytes % kBlock) % kBlock);
    bool ok = st.flush(why);
    if (ok) {
        const std::vector<std::uint8_t> zeros(pad, 0);
        ok = writeAll(st.fd, zeros.data(), zeros.size(), why) &&
             writeAll(st.fd, st.p.tail.data(), st.p.tail.size(), why);
    }
    if (ok && st.options.syncToDisk && ::fsync(st.fd) != 0) {
        why = errnoText(errno);
        ok = false;
    }
    if (::close(st.fd) != 0 && ok) {
        why = errnoText(errno);
        ok = false;
    }
    st.fd = -1;
    if (ok) {
        int rc = 0;
        if (st.options.overwrite) {
            rc = ::rename(st.temp.c_str(), st.target.c_str());
        } else {
            rc = ::renameat2(AT_FDCWD, st.temp.c_str(), AT_FDCWD, st.target.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                // File systems without the no-replace rename: a hard link fails just as well
                // when the target exists.
                rc = ::link(st.temp.c_str(), st.target.c_str());
                if (rc == 0) ::unlink(st.temp.c_str());
            }
        }
        if (rc != 0) {
            why = errno == EEXIST ? "the file exists (overwriting was not asked for)" : errnoText(errno);
            ok = false;
        } else {
            st.temp.clear();
        }
    }
    if (ok && st.options.syncToDisk) {
        const std::size_t slash = st.target.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : st.target.substr(0, slash);
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    if (!ok) error_ = what + why;
    abort();
    return ok;
}

namespace {

template <typename T>
bool writeWhole(const std::string& path, const AbfWriteSpec& spec,
                const std::vector<std::vector<T>>& channels, const AbfWriteOptions& options,
                std::string* error) {
    AbfWriter w;
    bool ok = w.open(path, spec, options);
    if (ok) {
        std::vector<std::span<const T>> spans(channels.begin(), channels.end());
        ok = w.writeChannels(std::span<const std::span<const T>>(spans)) && w.finish();
    }
    if (!ok && error != nullptr) *error = w.error();
    return ok;
}

}  // namespace

bool writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                  const std::vector<std::vector<std::int16_t>>& channels, const AbfWriteOptions& options,
                  std::string* error) {
    return writeWhole(path, spec, channels, options, error);
}

bool writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                  const std::vector<std::vector<float>>& channels, const AbfWriteOptions& options,
                  std::string* error) {
    return writeWhole(path, spec, channels, options, error);
}

}  // namespace ephys
