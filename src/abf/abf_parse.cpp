#include "abf/abf_parse.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "abf/abf_error.h"
#include "abf/abf_layout.h"

namespace ephys::abf_detail {

static_assert(std::endian::native == std::endian::little,
              "ABF files are little-endian; this reader copies bytes");

bool readFully(int fd, std::int64_t offset, void* buffer, std::size_t size) {
    auto* dst = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(fd, dst, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return false;
        dst += got;
        offset += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

namespace {

namespace l1 = abf_layout::abf1;
namespace l2 = abf_layout::abf2;
namespace synch_entry = abf_layout::synch;
namespace tag_entry = abf_layout::tag;

static_assert(synch_entry::kEntrySize == kAbfSynchEntrySize && tag_entry::kEntrySize == kAbfTagSize);
static_assert(tag_entry::kCommentLength == kAbfTagCommentLength);

constexpr int kAbf1EpochsPerDac = static_cast<int>(l1::kEpochsPerDac);
constexpr int kAbf1WaveformDacs = static_cast<int>(l1::kWaveformDacs);  // extended tables: DAC 0 and 1
constexpr int kAbf1Dacs = static_cast<int>(l1::kDacCount);

// Little-endian fields of a block of bytes read from the file. A field that lies (partly) past the
// block reads as 0, text as blanks.
class Bytes {
  public:
    explicit Bytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <typename T>
    T get(std::size_t offset) const {
        T value{};
        if (offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset) {
            std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        }
        return value;
    }
    std::int16_t i16(std::size_t offset) const { return get<std::int16_t>(offset); }
    std::int32_t i32(std::size_t offset) const { return get<std::int32_t>(offset); }
    std::uint32_t u32(std::size_t offset) const { return get<std::uint32_t>(offset); }
    float f32(std::size_t offset) const { return get<float>(offset); }

    // Fixed-length text; NUL padding (written by some third-party programs) becomes blanks.
    template <std::size_t N>
    void text(std::size_t offset, std::array<char, N>& out) const {
        for (std::size_t i = 0; i < N; ++i) {
            const std::size_t at = offset + i;
            const char c = at < bytes_.size() ? static_cast<char>(bytes_[at]) : ' ';
            out[i] = c == '\0' ? ' ' : c;
        }
    }
    std::size_t size() const { return bytes_.size(); }

  private:
    std::span<const std::uint8_t> bytes_;
};

// Copies a string into a fixed blank-padded field, cutting it when it is longer.
template <std::size_t N>
void setText(std::array<char, N>& out, const std::string& text) {
    out.fill(' ');
    for (std::size_t i = 0; i < N && i < text.size(); ++i) out[i] = text[i] == '\0' ? ' ' : text[i];
}

// Reads up to `size` bytes at `offset`, as many as the file holds.
std::vector<std::uint8_t> readAvailable(int fd, std::int64_t fileSize, std::int64_t offset, std::int64_t size,
                                        bool& ioError) {
    std::vector<std::uint8_t> bytes;
    if (offset < 0 || size <= 0 || offset >= fileSize) return bytes;
    const std::int64_t n = std::min(size, fileSize - offset);
    bytes.resize(static_cast<std::size_t>(n));
    if (!readFully(fd, offset, bytes.data(), bytes.size())) {
        ioError = true;
        bytes.clear();
    }
    return bytes;
}

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// Entries of a table of fixed-size records that the file really holds.
std::int64_t entriesPresent(std::int64_t fileSize, std::int64_t offset, std::int64_t count,
                            std::int64_t size) {
    if (offset <= 0 || count <= 0 || size <= 0 || offset >= fileSize) return 0;
    return std::min(count, (fileSize - offset) / size);
}

// ---------------------------------------------------------------------------------------------
// ABF1: one fixed header. Offsets are bytes from the start of the file.

int parseAbf1(int fd, std::int64_t fileSize, AbfHeader& h) {
    bool ioError = false;
    const std::vector<std::uint8_t> block = readAvailable(fd, fileSize, 0, l1::kHeaderSize, ioError);
    if (ioError) return kAbfErrReadData;
    if (block.size() < l1::kOldHeaderSize) return kAbfErrTruncated;
    const Bytes b(block);

    const float version = b.f32(l1::kFileVersionNumber);
    if (!std::isfinite(version) || version < 1.0f || version >= 2.0f) return kAbfErrVersion;
    if (b.i16(l1::kMSBinFormat) != 0) return kAbfErrVersion;  // old Microsoft binary floats

    h.abfMajorVersion = 1;
    h.fileVersion = version;
    h.headerVersion = b.f32(l1::kHeaderVersionNumber);
    h.versionParts = {1, static_cast<std::uint8_t>(std::lround((version - 1.0f) * 100.0f)), 0, 0};
    h.operationMode = b.i16(l1::kOperationMode);
    h.actualAcqLength = b.i32(l1::kActualAcqLength);
    h.storedEpisodes = b.i32(l1::kActualEpisodes);
    h.fileStartDate = b.i32(l1::kFileStartDate);
    h.fileStartTimeMs =
        static_cast<std::int64_t>(b.i32(l1::kFileStartTime)) * 1000 + b.i16(l1::kFileStartMillisecs);
    h.fileType = b.i16(l1::kFileType);
    h.dataSectionPtr = b.i32(l1::kDataSectionPtr);
    h.tagSectionPtr = b.i32(l1::kTagSectionPtr);
    h.numTagEntries = b.i32(l1::kNumTagEntries);
    h.synchArrayPtr = b.i32(l1::kSynchArrayPtr);
    h.synchArraySize = b.i32(l1::kSynchArraySize);
    h.dataFormat = b.i16(l1::kDataFormat);
    h.adcNumChannels = b.i16(l1::kAdcNumChannels);
    // fADCSampleInterval is the time between two stored values; one channel's interval is that
    // times the channel count (checked in the caller once the count is known to be sane).
    const float storedInterval = b.f32(l1::kAdcSampleInterval);
    h.adcSequenceInterval = (h.adcNumChannels > 0 && h.adcNumChannels <= kAbfAdcCount)
                                ? storedInterval * static_cast<float>(h.adcNumChannels)
                                : storedInterval;
    h.synchTimeUnit = b.f32(l1::kSynchTimeUnit);
    h.storedSamplesPerEpisode = b.i32(l1::kNumSamplesPerEpisode);
    h.numSamplesPerEpisode = h.storedSamplesPerEpisode;
    h.episodesPerRun = b.i32(l1::kEpisodesPerRun);
    h.episodeStartToStart = b.f32(l1::kEpisodeStartToStart);
    h.adcRange = b.f32(l1::kAdcRange);
    h.dacRange = b.f32(l1::kDacRange);
    h.adcResolution = b.i32(l1::kAdcResolution);
    h.dacResolution = b.i32(l1::kDacResolution);

    for (int p = 0; p < kAbfAdcCount; ++p) {
        const auto k = static_cast<std::size_t>(p);
        h.adcSamplingSeq[p] = b.i16(l1::kAdcSamplingSeq + 2 * k);
        b.text(l1::kAdcChannelName + kAbfChannelNameLength * k, h.adcChannelName[p]);
        b.text(l1::kAdcUnits + kAbfUnitsLength * k, h.adcUnits[p]);
        h.adcProgrammableGain[p] = b.f32(l1::kAdcProgrammableGain + 4 * k);
        h.instrumentScaleFactor[p] = b.f32(l1::kInstrumentScaleFactor + 4 * k);
        h.instrumentOffset[p] = b.f32(l1::kInstrumentOffset + 4 * k);
        h.signalGain[p] = b.f32(l1::kSignalGain + 4 * k);
        h.signalOffset[p] = b.f32(l1::kSignalOffset + 4 * k);
    }
    for (int d = 0; d < kAbf1Dacs; ++d) {
        const auto k = static_cast<std::size_t>(d);
        b.text(l1::kDacChannelName + kAbfChannelNameLength * k, h.dacs[d].name);
        b.text(l1::kDacChannelUnits + kAbfUnitsLength * k, h.dacs[d].units);
        h.dacs[d].scaleFactor = b.f32(l1::kDacScaleFactor + 4 * k);
        h.dacs[d].holdingLevel = b.f32(l1::kDacHoldingLevel + 4 * k);
    }
    h.activeDacChannel = b.i16(l1::kActiveDacChannel);

    // Fields past byte 2048 exist only in the 6144-byte header of ABF 1.6 and later; in older
    // files those bytes are already samples.
    const std::int64_t dataOffset = static_cast<std::int64_t>(h.dataSectionPtr) * kAbfBlockSize;
    const bool extended = version >= 1.595f && block.size() >= l1::kHeaderSize &&
                          dataOffset >= static_cast<std::int64_t>(l1::kHeaderSize);
    if (extended) {
        for (int p = 0; p < kAbfAdcCount; ++p) {
            const auto k = static_cast<std::size_t>(p);
            h.telegraphEnable[p] = b.i16(l1::kTelegraphEnable + 2 * k);
            h.telegraphAdditGain[p] = b.f32(l1::kTelegraphAdditGain + 4 * k);
        }
        for (int d = 0; d < kAbf1WaveformDacs; ++d) {
            AbfDac& dac = h.dacs[d];
            const auto k = static_cast<std::size_t>(d);
            dac.waveformEnable = b.i16(l1::kWaveformEnable + 2 * k);
            dac.waveformSource = b.i16(l1::kWaveformSource + 2 * k);
            dac.interEpisodeLevel = b.i16(l1::kInterEpisodeLevel + 2 * k);
            for (int e = 0; e < kAbf1EpochsPerDac; ++e) {
                const auto i = static_cast<std::size_t>(d * kAbf1EpochsPerDac + e);
                AbfEpoch& epoch = dac.epochs[e];
                epoch.type = b.i16(l1::kEpochType + 2 * i);
                epoch.initLevel = b.f32(l1::kEpochInitLevel + 4 * i);
                epoch.levelIncrement = b.f32(l1::kEpochLevelInc + 4 * i);
                epoch.initDuration = b.i32(l1::kEpochInitDuration + 4 * i);
                epoch.durationIncrement = b.i32(l1::kEpochDurationInc + 4 * i);
                epoch.pulsePeriod = b.i32(l1::kEpochPulsePeriod + 4 * i);
                epoch.pulseWidth = b.i32(l1::kEpochPulseWidth + 4 * i);
            }
        }
    } else if (h.activeDacChannel >= 0 && h.activeDacChannel < kAbf1Dacs) {
        // The old single-DAC epoch table, for the DAC named by nActiveDACChannel.
        AbfDac& dac = h.dacs[h.activeDacChannel];
        dac.waveformSource = b.i16(l1::kOldWaveformSource);
        dac.waveformEnable = dac.waveformSource != kAbfWaveformNone ? 1 : 0;
        dac.interEpisodeLevel = b.i16(l1::kOldInterEpisodeLevel);
        for (int e = 0; e < kAbf1EpochsPerDac; ++e) {
            const auto k = static_cast<std::size_t>(e);
            AbfEpoch& epoch = dac.epochs[e];
            epoch.type = b.i16(l1::kOldEpochType + 2 * k);
            epoch.initLevel = b.f32(l1::kOldEpochInitLevel + 4 * k);
            epoch.levelIncrement = b.f32(l1::kOldEpochLevelInc + 4 * k);
            epoch.initDuration = b.i16(l1::kOldEpochInitDuration + 2 * k);
            epoch.durationIncrement = b.i16(l1::kOldEpochDurationInc + 2 * k);
        }
    }
    return kAbfOk;
}

// ---------------------------------------------------------------------------------------------
// ABF2: a 512-byte file header with a map of sections; section offsets are from the entry start.

struct Section {
    std::int64_t block = 0;
    std::int64_t entrySize = 0;  // the Strings section: its whole length in bytes
    std::int64_t count = 0;
    std::int64_t offset() const { return block * kAbfBlockSize; }
};

Section sectionAt(const Bytes& b, l2::Section index) {
    const std::size_t at = l2::sectionMapEntry(index);
    Section s;
    s.block = b.u32(at + l2::kSectionBlock);
    s.entrySize = b.u32(at + l2::kSectionEntrySize);
    s.count = std::max<std::int64_t>(0, b.get<std::int64_t>(at + l2::kSectionEntries));
    return s;
}

// The strings section: "SSCH", counts, then NUL-terminated 8-bit strings from byte 44. String
// index k (from 1) is the k-th of them; index 0 means no string.
std::vector<std::string> readStrings(int fd, std::int64_t fileSize, const Section& s, bool& ioError) {
    std::vector<std::string> strings;
    const std::vector<std::uint8_t> bytes = readAvailable(fd, fileSize, s.offset(), s.entrySize, ioError);
    if (s.block == 0 || bytes.size() <= l2::strings::kFirstString) return strings;
    std::string current;
    for (std::size_t i = l2::strings::kFirstString;
         i < bytes.size() && static_cast<std::int64_t>(strings.size()) < s.count; ++i) {
        if (bytes[i] == 0) {
            strings.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(bytes[i]);
        }
    }
    return strings;
}

std::string stringAt(const std::vector<std::string>& strings, std::int32_t index) {
    if (index <= 0 || static_cast<std::size_t>(index) > strings.size()) return {};
    return strings[static_cast<std::size_t>(index) - 1];
}

// Record `index` of `size` bytes of a table read by readTable.
Bytes record(const std::vector<std::uint8_t>& table, std::int64_t index, std::int64_t size) {
    return Bytes(std::span<const std::uint8_t>(table).subspan(static_cast<std::size_t>(index * size),
                                                              static_cast<std::size_t>(size)));
}

// Reads a table of `count` records of at least `minSize` bytes; only the records present in the file.
std::vector<std::uint8_t> readTable(int fd, std::int64_t fileSize, const Section& s, std::size_t minSize,
                                    std::int64_t& records, bool& ioError) {
    records = 0;
    if (s.block == 0 || s.entrySize < static_cast<std::int64_t>(minSize)) return {};
    records = entriesPresent(fileSize, s.offset(), s.count, s.entrySize);
    return readAvailable(fd, fileSize, s.offset(), records * s.entrySize, ioError);
}

int parseAbf2(int fd, std::int64_t fileSize, AbfHeader& h) {
    bool ioError = false;
    const std::vector<std::uint8_t> fileInfo = readAvailable(fd, fileSize, 0, l2::kFileInfoSize, ioError);
    if (ioError) return kAbfErrReadData;
    if (fileInfo.size() < l2::kFileInfoSize) return kAbfErrTruncated;
    const Bytes b(fileInfo);

    const std::uint8_t major = fileInfo[l2::kVersionMajor];
    const std::uint8_t minor = fileInfo[l2::kVersionMinor];
    if (major != 2) return kAbfErrVersion;
    h.abfMajorVersion = 2;
    h.versionParts = {major, minor, fileInfo[l2::kVersionBugfix], fileInfo[l2::kVersionBuild]};
    h.fileVersion = static_cast<float>(major) + static_cast<float>(minor) / 100.0f;
    h.headerVersion = h.fileVersion;
    h.storedEpisodes = clampToInt32(b.u32(l2::kActualEpisodes));
    h.fileStartDate = static_cast<std::int32_t>(b.u32(l2::kFileStartDate));
    h.fileStartTimeMs = b.u32(l2::kFileStartTimeMs);
    h.fileType = b.i16(l2::kFileType);
    h.dataFormat = b.i16(l2::kDataFormat);

    // Protocol: operation mode, timing, sweep length, ADC/DAC range.
    const Section protocolSection = sectionAt(b, l2::kProtocolSection);
    if (protocolSection.block == 0) return kAbfErrBadHeader;
    const std::vector<std::uint8_t> protocolBytes =
        readAvailable(fd, fileSize, protocolSection.offset(), l2::protocol::kEntrySize, ioError);
    if (ioError) return kAbfErrReadData;
    if (protocolBytes.size() < l2::protocol::kReadSize) return kAbfErrTruncated;
    const Bytes protocol(protocolBytes);
    namespace pr = l2::protocol;
    h.operationMode = protocol.i16(pr::kOperationMode);
    h.adcSequenceInterval = protocol.f32(pr::kAdcSequenceInterval);
    h.synchTimeUnit = protocol.f32(pr::kSynchTimeUnit);
    h.storedSamplesPerEpisode = protocol.i32(pr::kNumSamplesPerEpisode);
    h.numSamplesPerEpisode = h.storedSamplesPerEpisode;
    h.episodesPerRun = protocol.i32(pr::kEpisodesPerRun);
    h.episodeStartToStart = protocol.f32(pr::kEpisodeStartToStart);
    h.adcRange = protocol.f32(pr::kAdcRange);
    h.dacRange = protocol.f32(pr::kDacRange);
    h.adcResolution = protocol.i32(pr::kAdcResolution);
    h.dacResolution = protocol.i32(pr::kDacResolution);
    h.activeDacChannel = protocol.i16(pr::kActiveDacChannel);

    const std::vector<std::string> strings =
        readStrings(fd, fileSize, sectionAt(b, l2::kStringsSection), ioError);
    if (ioError) return kAbfErrReadData;

    // ADC: one entry per recorded channel, in storage order.
    const Section adcSection = sectionAt(b, l2::kAdcSection);
    if (adcSection.count < 1 || adcSection.count > kAbfAdcCount) return kAbfErrBadChannels;
    std::int64_t adcRecords = 0;
    const std::vector<std::uint8_t> adcBytes =
        readTable(fd, fileSize, adcSection, l2::adc::kReadSize, adcRecords, ioError);
    if (ioError) return kAbfErrReadData;
    if (adcSection.entrySize < static_cast<std::int64_t>(l2::adc::kReadSize)) return kAbfErrBadHeader;
    if (adcRecords < adcSection.count) return kAbfErrTruncated;
    h.adcNumChannels = static_cast<std::int16_t>(adcSection.count);
    for (int k = 0; k < h.adcNumChannels; ++k) {
        const Bytes adc = record(adcBytes, k, adcSection.entrySize);
        namespace a = l2::adc;
        const std::int16_t p = adc.i16(a::kAdcNum);
        if (p < 0 || p >= kAbfAdcCount) return kAbfErrBadChannels;
        h.adcSamplingSeq[k] = p;
        h.telegraphEnable[p] = adc.i16(a::kTelegraphEnable);
        h.telegraphAdditGain[p] = adc.f32(a::kTelegraphAdditGain);
        h.adcProgrammableGain[p] = adc.f32(a::kProgrammableGain);
        h.instrumentScaleFactor[p] = adc.f32(a::kInstrumentScaleFactor);
        h.instrumentOffset[p] = adc.f32(a::kInstrumentOffset);
        h.signalGain[p] = adc.f32(a::kSignalGain);
        h.signalOffset[p] = adc.f32(a::kSignalOffset);
        setText(h.adcChannelName[p], stringAt(strings, adc.i32(a::kChannelNameIndex)));
        setText(h.adcUnits[p], stringAt(strings, adc.i32(a::kUnitsIndex)));
    }

    // DAC: scale, holding level, waveform switches. Not needed for the samples, so a damaged or
    // missing table only leaves the defaults.
    std::int64_t dacRecords = 0;
    const Section dacSection = sectionAt(b, l2::kDacSection);
    const std::vector<std::uint8_t> dacBytes =
        readTable(fd, fileSize, dacSection, l2::dac::kReadSize, dacRecords, ioError);
    if (ioError) return kAbfErrReadData;
    for (std::int64_t k = 0; k < dacRecords; ++k) {
        const Bytes entry = record(dacBytes, k, dacSection.entrySize);
        namespace da = l2::dac;
        const std::int16_t d = entry.i16(da::kDacNum);
        if (d < 0 || d >= kAbfDacCount) continue;
        AbfDac& dac = h.dacs[d];
        dac.scaleFactor = entry.f32(da::kScaleFactor);
        dac.holdingLevel = entry.f32(da::kHoldingLevel);
        setText(dac.name, stringAt(strings, entry.i32(da::kChannelNameIndex)));
        setText(dac.units, stringAt(strings, entry.i32(da::kUnitsIndex)));
        dac.waveformEnable = entry.i16(da::kWaveformEnable);
        dac.waveformSource = entry.i16(da::kWaveformSource);
        dac.interEpisodeLevel = entry.i16(da::kInterEpisodeLevel);
    }

    // EpochPerDAC: one entry per enabled analog epoch; missing epochs stay off.
    std::int64_t epochRecords = 0;
    const Section epochSection = sectionAt(b, l2::kEpochPerDacSection);
    const std::vector<std::uint8_t> epochBytes =
        readTable(fd, fileSize, epochSection, l2::epoch_per_dac::kReadSize, epochRecords, ioError);
    if (ioError) return kAbfErrReadData;
    for (std::int64_t k = 0; k < epochRecords; ++k) {
        const Bytes entry = record(epochBytes, k, epochSection.entrySize);
        namespace ep = l2::epoch_per_dac;
        const std::int16_t e = entry.i16(ep::kEpochNum);
        const std::int16_t d = entry.i16(ep::kDacNum);
        if (e < 0 || e >= kAbfEpochCount || d < 0 || d >= kAbfDacCount) continue;
        AbfEpoch& epoch = h.dacs[d].epochs[e];
        epoch.type = entry.i16(ep::kEpochType);
        epoch.initLevel = entry.f32(ep::kInitLevel);
        epoch.levelIncrement = entry.f32(ep::kLevelInc);
        epoch.initDuration = entry.i32(ep::kInitDuration);
        epoch.durationIncrement = entry.i32(ep::kDurationInc);
        epoch.pulsePeriod = entry.i32(ep::kPulsePeriod);
        epoch.pulseWidth = entry.i32(ep::kPulseWidth);
    }

    const Section data = sectionAt(b, l2::kDataSection);
    if (data.block > std::numeric_limits<std::int32_t>::max()) return kAbfErrBadHeader;
    h.dataSectionPtr = static_cast<std::int32_t>(data.block);
    h.actualAcqLength = clampToInt32(data.count);
    const std::int64_t expectedSize = h.dataFormat == kAbfFloatData ? 4 : 2;
    if (data.entrySize != 0 && data.entrySize != expectedSize) return kAbfErrBadHeader;

    const Section tag = sectionAt(b, l2::kTagSection);
    h.tagSectionPtr = tag.block > 0 ? clampToInt32(tag.block) : 0;
    h.numTagEntries = tag.block > 0 ? clampToInt32(tag.count) : 0;
    const Section synch = sectionAt(b, l2::kSynchArraySection);
    h.synchArrayPtr = synch.block > 0 ? clampToInt32(synch.block) : 0;
    h.synchArraySize = synch.block > 0 ? clampToInt32(synch.count) : 0;
    return kAbfOk;
}

// ---------------------------------------------------------------------------------------------
// Shared by both versions.

int checkHeader(std::int64_t fileSize, AbfHeader& h) {
    if (h.operationMode < kAbfVariableLengthEvents || h.operationMode > kAbfEpisodic) return kAbfErrBadMode;
    if (h.adcNumChannels < 1 || h.adcNumChannels > kAbfAdcCount) return kAbfErrBadChannels;
    // Only the first adcNumChannels entries count (third-party writers leave 0 in the others);
    // each must name a different physical channel.
    std::array<bool, kAbfAdcCount> seen{};
    for (int k = 0; k < kAbfAdcCount; ++k) {
        if (k >= h.adcNumChannels) {
            h.adcSamplingSeq[k] = -1;
            continue;
        }
        const int p = h.adcSamplingSeq[k];
        if (p < 0 || p >= kAbfAdcCount || seen[p]) return kAbfErrBadChannels;
        seen[p] = true;
    }
    if (!std::isfinite(h.adcSequenceInterval) || h.adcSequenceInterval <= 0.0f) return kAbfErrBadInterval;
    if (!std::isfinite(h.synchTimeUnit) || h.synchTimeUnit < 0.0f) return kAbfErrBadHeader;
    if (!std::isfinite(h.episodeStartToStart)) h.episodeStartToStart = 0.0f;
    if (h.dataFormat != kAbfInt16Data && h.dataFormat != kAbfFloatData) return kAbfErrBadHeader;
    h.bytesPerSample = h.dataFormat == kAbfFloatData ? 4 : 2;

    if (h.dataSectionPtr <= 0 || h.actualAcqLength < 0) return kAbfErrBadHeader;
    h.storedAcqLength = h.actualAcqLength;
    h.dataOffsetBytes = static_cast<std::int64_t>(h.dataSectionPtr) * kAbfBlockSize;
    if (h.dataOffsetBytes >= fileSize) return h.actualAcqLength == 0 ? kAbfErrNoData : kAbfErrTruncated;
    // Keep the whole frames that the file really holds.
    const std::int64_t present = (fileSize - h.dataOffsetBytes) / h.bytesPerSample;
    std::int64_t values = std::min<std::int64_t>(h.actualAcqLength, present);
    values -= values % h.adcNumChannels;
    if (values == 0) return h.actualAcqLength == 0 ? kAbfErrNoData : kAbfErrTruncated;
    h.actualAcqLength = static_cast<std::int32_t>(values);

    h.stimulusChannelSwitch =
        (h.dacs[1].waveformEnable != 0 && h.dacs[1].waveformSource == kAbfWaveformEpochs) ? 1 : 0;
    return kAbfOk;
}

// Synch entries and tags, as many as the file holds. ABF1 stores signed, ABF2 unsigned counts.
int readSynchAndTags(int fd, std::int64_t fileSize, AbfHeader& h) {
    bool ioError = false;
    const std::int64_t synchOffset = static_cast<std::int64_t>(h.synchArrayPtr) * kAbfBlockSize;
    const std::int64_t synchCount =
        entriesPresent(fileSize, synchOffset, h.synchArraySize, kAbfSynchEntrySize);
    const std::vector<std::uint8_t> synchBytes =
        readAvailable(fd, fileSize, synchOffset, synchCount * kAbfSynchEntrySize, ioError);
    if (ioError) return kAbfErrReadData;
    const Bytes synch(synchBytes);
    h.synchArray.resize(static_cast<std::size_t>(synchCount));
    for (std::size_t i = 0; i < h.synchArray.size(); ++i) {
        const std::size_t at = synch_entry::kEntrySize * i;
        if (h.abfMajorVersion == 1) {
            h.synchArray[i].start = synch.i32(at + synch_entry::kStart);
            h.synchArray[i].length = synch.i32(at + synch_entry::kLength);
        } else {
            h.synchArray[i].start = synch.u32(at + synch_entry::kStart);
            h.synchArray[i].length = synch.u32(at + synch_entry::kLength);
        }
    }

    const std::int64_t tagOffset = static_cast<std::int64_t>(h.tagSectionPtr) * kAbfBlockSize;
    const std::int64_t tagCount = entriesPresent(fileSize, tagOffset, h.numTagEntries, kAbfTagSize);
    const std::vector<std::uint8_t> tagBytes =
        readAvailable(fd, fileSize, tagOffset, tagCount * kAbfTagSize, ioError);
    if (ioError) return kAbfErrReadData;
    const Bytes tags(tagBytes);
    h.tags.resize(static_cast<std::size_t>(tagCount));
    for (std::size_t i = 0; i < h.tags.size(); ++i) {
        const std::size_t at = tag_entry::kEntrySize * i;
        h.tags[i].time = tags.i32(at + tag_entry::kTime);
        tags.text(at + tag_entry::kComment, h.tags[i].comment);
        h.tags[i].type = tags.i16(at + tag_entry::kType);
        h.tags[i].voiceTagNumber = tags.i16(at + tag_entry::kVoiceTagNumber);
    }
    return kAbfOk;
}

}  // namespace

int parseHeader(int fd, std::int64_t fileSize, AbfHeader& header) {
    std::uint8_t signature[4] = {};
    if (fileSize < 4) return kAbfErrNotAbf;
    if (!readFully(fd, 0, signature, sizeof signature)) return kAbfErrReadData;
    int error = kAbfErrNotAbf;
    if (std::memcmp(signature, "ABF ", 4) == 0) {
        error = parseAbf1(fd, fileSize, header);
    } else if (std::memcmp(signature, "ABF2", 4) == 0) {
        error = parseAbf2(fd, fileSize, header);
    }
    if (error != kAbfOk) return error;
    error = checkHeader(fileSize, header);
    if (error != kAbfOk) return error;
    return readSynchAndTags(fd, fileSize, header);
}

}  // namespace ephys::abf_detail
