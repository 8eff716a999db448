#include "abf/abf_header_image.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "abf/abf_layout.h"

namespace ephys::abf_detail {

namespace {

namespace l1 = abf_layout::abf1;
namespace l2 = abf_layout::abf2;
namespace synch_entry = abf_layout::synch;
namespace tag_entry = abf_layout::tag;

constexpr std::int64_t kBlock = kWriteBlock;
constexpr int kMaxChannels = kAbfAdcCount;
constexpr int kMaxEpochs = static_cast<int>(l1::kEpochsPerDac);  // the ABF1 tables' length
constexpr int kDacEntries = kWrittenDacs;

// The scaling fields that every file gets: with these, a reader's scale for int16 data is
// kAdcRange / (kAdcResolution × fInstrumentScaleFactor), and the instrument scale factor is the
// only per-channel multiplier we set.
constexpr float kAdcRange = 10.0F;
constexpr std::int32_t kAdcResolution = 32768;

// Per-channel samples in one gap-free "episode" (a chunk size only; readers that cut gap-free
// data into sections use it).
constexpr std::int64_t kGapFreeChunk = 2048;

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

}  // namespace

// ---- Checking and preparing a description ------------------------------------------------

std::string textTooLong(const std::string& what, const std::string& text, std::size_t limit) {
    return what + " '" + text + "' is longer than " + std::to_string(limit) + " characters";
}

std::string prepareDescription(const AbfWriteSpec& spec, Prepared& p) {
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

void buildImages(Prepared& p) {
    if (p.spec.version == AbfFileVersion::V2) {
        buildAbf2(p);
    } else {
        buildAbf1(p);
    }
}

}  // namespace ephys::abf_detail
