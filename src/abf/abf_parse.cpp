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

constexpr int kAbf1OldHeaderSize = 2048;  // ABF 1.3 and earlier
constexpr int kAbf1HeaderSize = 6144;     // ABF 1.6 and later: the extended groups follow 2048
constexpr int kAbf2FileInfoSize = 512;
constexpr int kAbf1EpochsPerDac = 10;
constexpr int kAbf1WaveformDacs = 2;  // the extended epoch tables cover DAC 0 and 1
constexpr int kAbf1Dacs = 4;

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
    const std::vector<std::uint8_t> block = readAvailable(fd, fileSize, 0, kAbf1HeaderSize, ioError);
    if (ioError) return kAbfErrReadData;
    if (block.size() < static_cast<std::size_t>(kAbf1OldHeaderSize)) return kAbfErrTruncated;
    const Bytes b(block);

    const float version = b.f32(4);
    if (!std::isfinite(version) || version < 1.0f || version >= 2.0f) return kAbfErrVersion;
    if (b.i16(38) != 0) return kAbfErrVersion;  // nMSBinFormat: old Microsoft binary floats

    h.abfMajorVersion = 1;
    h.fileVersion = version;
    h.headerVersion = b.f32(32);
    h.versionParts = {1, static_cast<std::uint8_t>(std::lround((version - 1.0f) * 100.0f)), 0, 0};
    h.operationMode = b.i16(8);
    h.actualAcqLength = b.i32(10);
    h.storedEpisodes = b.i32(16);
    h.fileStartDate = b.i32(20);
    h.fileStartTimeMs = static_cast<std::int64_t>(b.i32(24)) * 1000 + b.i16(366);
    h.fileType = b.i16(36);
    h.dataSectionPtr = b.i32(40);
    h.tagSectionPtr = b.i32(44);
    h.numTagEntries = b.i32(48);
    h.synchArrayPtr = b.i32(92);
    h.synchArraySize = b.i32(96);
    h.dataFormat = b.i16(100);
    h.adcNumChannels = b.i16(120);
    // fADCSampleInterval is the time between two stored values; one channel's interval is that
    // times the channel count (checked in the caller once the count is known to be sane).
    const float storedInterval = b.f32(122);
    h.adcSequenceInterval = (h.adcNumChannels > 0 && h.adcNumChannels <= kAbfAdcCount)
                                ? storedInterval * static_cast<float>(h.adcNumChannels)
                                : storedInterval;
    h.synchTimeUnit = b.f32(130);
    h.storedSamplesPerEpisode = b.i32(138);
    h.numSamplesPerEpisode = h.storedSamplesPerEpisode;
    h.episodesPerRun = b.i32(146);
    h.episodeStartToStart = b.f32(178);
    h.adcRange = b.f32(244);
    h.dacRange = b.f32(248);
    h.adcResolution = b.i32(252);
    h.dacResolution = b.i32(256);

    for (int p = 0; p < kAbfAdcCount; ++p) {
        h.adcSamplingSeq[p] = b.i16(410 + 2 * p);
        b.text(442 + 10 * p, h.adcChannelName[p]);
        b.text(602 + 8 * p, h.adcUnits[p]);
        h.adcProgrammableGain[p] = b.f32(730 + 4 * p);
        h.instrumentScaleFactor[p] = b.f32(922 + 4 * p);
        h.instrumentOffset[p] = b.f32(986 + 4 * p);
        h.signalGain[p] = b.f32(1050 + 4 * p);
        h.signalOffset[p] = b.f32(1114 + 4 * p);
    }
    for (int d = 0; d < kAbf1Dacs; ++d) {
        b.text(1306 + 10 * d, h.dacs[d].name);
        b.text(1346 + 8 * d, h.dacs[d].units);
        h.dacs[d].scaleFactor = b.f32(1378 + 4 * d);
        h.dacs[d].holdingLevel = b.f32(1394 + 4 * d);
    }
    h.activeDacChannel = b.i16(1440);

    // Fields past byte 2048 exist only in the 6144-byte header of ABF 1.6 and later; in older
    // files those bytes are already samples.
    const std::int64_t dataOffset = static_cast<std::int64_t>(h.dataSectionPtr) * kAbfBlockSize;
    const bool extended = version >= 1.595f && block.size() >= static_cast<std::size_t>(kAbf1HeaderSize) &&
                          dataOffset >= kAbf1HeaderSize;
    if (extended) {
        for (int p = 0; p < kAbfAdcCount; ++p) {
            h.telegraphEnable[p] = b.i16(4512 + 2 * p);
            h.telegraphAdditGain[p] = b.f32(4576 + 4 * p);
        }
        for (int d = 0; d < kAbf1WaveformDacs; ++d) {
            AbfDac& dac = h.dacs[d];
            dac.waveformEnable = b.i16(2296 + 2 * d);
            dac.waveformSource = b.i16(2300 + 2 * d);
            dac.interEpisodeLevel = b.i16(2304 + 2 * d);
            for (int e = 0; e < kAbf1EpochsPerDac; ++e) {
                const int i = d * kAbf1EpochsPerDac + e;
                AbfEpoch& epoch = dac.epochs[e];
                epoch.type = b.i16(2308 + 2 * i);
                epoch.initLevel = b.f32(2348 + 4 * i);
                epoch.levelIncrement = b.f32(2428 + 4 * i);
                epoch.initDuration = b.i32(2508 + 4 * i);
                epoch.durationIncrement = b.i32(2588 + 4 * i);
                epoch.pulsePeriod = b.i32(2136 + 4 * i);
                epoch.pulseWidth = b.i32(2216 + 4 * i);
            }
        }
    } else if (h.activeDacChannel >= 0 && h.activeDacChannel < kAbf1Dacs) {
        // The old single-DAC epoch table, for the DAC named by nActiveDACChannel.
        AbfDac& dac = h.dacs[h.activeDacChannel];
        dac.waveformSource = b.i16(1438);
        dac.waveformEnable = dac.waveformSource != kAbfWaveformNone ? 1 : 0;
        dac.interEpisodeLevel = b.i16(1442);
        for (int e = 0; e < kAbf1EpochsPerDac; ++e) {
            AbfEpoch& epoch = dac.epochs[e];
            epoch.type = b.i16(1444 + 2 * e);
            epoch.initLevel = b.f32(1464 + 4 * e);
            epoch.levelIncrement = b.f32(1504 + 4 * e);
            epoch.initDuration = b.i16(1544 + 2 * e);
            epoch.durationIncrement = b.i16(1564 + 2 * e);
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

enum SectionIndex {
    kProtocolSection = 0,
    kAdcSection = 1,
    kDacSection = 2,
    kEpochPerDacSection = 5,
    kStringsSection = 9,
    kDataSection = 10,
    kTagSection = 11,
    kSynchArraySection = 15,
};

Section sectionAt(const Bytes& b, int index) {
    const std::size_t at = 76 + 16 * static_cast<std::size_t>(index);
    Section s;
    s.block = b.u32(at);
    s.entrySize = b.u32(at + 4);
    s.count = std::max<std::int64_t>(0, b.get<std::int64_t>(at + 8));
    return s;
}

// The strings section: "SSCH", counts, then NUL-terminated 8-bit strings from byte 44. String
// index k (from 1) is the k-th of them; index 0 means no string.
std::vector<std::string> readStrings(int fd, std::int64_t fileSize, const Section& s, bool& ioError) {
    std::vector<std::string> strings;
    const std::vector<std::uint8_t> bytes = readAvailable(fd, fileSize, s.offset(), s.entrySize, ioError);
    if (s.block == 0 || bytes.size() <= 44) return strings;
    std::string current;
    for (std::size_t i = 44; i < bytes.size() && static_cast<std::int64_t>(strings.size()) < s.count; ++i) {
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
std::vector<std::uint8_t> readTable(int fd, std::int64_t fileSize, const Section& s, std::int64_t minSize,
                                    std::int64_t& records, bool& ioError) {
    records = 0;
    if (s.block == 0 || s.entrySize < minSize) return {};
    records = entriesPresent(fileSize, s.offset(), s.count, s.entrySize);
    return readAvailable(fd, fileSize, s.offset(), records * s.entrySize, ioError);
}

int parseAbf2(int fd, std::int64_t fileSize, AbfHeader& h) {
    bool ioError = false;
    const std::vector<std::uint8_t> fileInfo = readAvailable(fd, fileSize, 0, kAbf2FileInfoSize, ioError);
    if (ioError) return kAbfErrReadData;
    if (fileInfo.size() < static_cast<std::size_t>(kAbf2FileInfoSize)) return kAbfErrTruncated;
    const Bytes b(fileInfo);

    const std::uint8_t major = fileInfo[7];
    const std::uint8_t minor = fileInfo[6];
    if (major != 2) return kAbfErrVersion;
    h.abfMajorVersion = 2;
    h.versionParts = {major, minor, fileInfo[5], fileInfo[4]};
    h.fileVersion = static_cast<float>(major) + static_cast<float>(minor) / 100.0f;
    h.headerVersion = h.fileVersion;
    h.storedEpisodes = clampToInt32(b.u32(12));
    h.fileStartDate = static_cast<std::int32_t>(b.u32(16));
    h.fileStartTimeMs = b.u32(20);
    h.fileType = b.i16(28);
    h.dataFormat = b.i16(30);

    // Protocol: operation mode, timing, sweep length, ADC/DAC range.
    const Section protocolSection = sectionAt(b, kProtocolSection);
    if (protocolSection.block == 0) return kAbfErrBadHeader;
    const std::vector<std::uint8_t> protocolBytes =
        readAvailable(fd, fileSize, protocolSection.offset(), kAbfBlockSize, ioError);
    if (ioError) return kAbfErrReadData;
    if (protocolBytes.size() < 146) return kAbfErrTruncated;
    const Bytes protocol(protocolBytes);
    h.operationMode = protocol.i16(0);
    h.adcSequenceInterval = protocol.f32(2);
    h.synchTimeUnit = protocol.f32(14);
    h.storedSamplesPerEpisode = protocol.i32(22);
    h.numSamplesPerEpisode = h.storedSamplesPerEpisode;
    h.episodesPerRun = protocol.i32(30);
    h.episodeStartToStart = protocol.f32(62);
    h.adcRange = protocol.f32(110);
    h.dacRange = protocol.f32(114);
    h.adcResolution = protocol.i32(118);
    h.dacResolution = protocol.i32(122);
    h.activeDacChannel = protocol.i16(142);

    const std::vector<std::string> strings =
        readStrings(fd, fileSize, sectionAt(b, kStringsSection), ioError);
    if (ioError) return kAbfErrReadData;

    // ADC: one entry per recorded channel, in storage order.
    const Section adcSection = sectionAt(b, kAdcSection);
    if (adcSection.count < 1 || adcSection.count > kAbfAdcCount) return kAbfErrBadChannels;
    std::int64_t adcRecords = 0;
    const std::vector<std::uint8_t> adcBytes = readTable(fd, fileSize, adcSection, 82, adcRecords, ioError);
    if (ioError) return kAbfErrReadData;
    if (adcSection.entrySize < 82) return kAbfErrBadHeader;
    if (adcRecords < adcSection.count) return kAbfErrTruncated;
    h.adcNumChannels = static_cast<std::int16_t>(adcSection.count);
    for (int k = 0; k < h.adcNumChannels; ++k) {
        const Bytes adc = record(adcBytes, k, adcSection.entrySize);
        const std::int16_t p = adc.i16(0);
        if (p < 0 || p >= kAbfAdcCount) return kAbfErrBadChannels;
        h.adcSamplingSeq[k] = p;
        h.telegraphEnable[p] = adc.i16(2);
        h.telegraphAdditGain[p] = adc.f32(6);
        h.adcProgrammableGain[p] = adc.f32(28);
        h.instrumentScaleFactor[p] = adc.f32(40);
        h.instrumentOffset[p] = adc.f32(44);
        h.signalGain[p] = adc.f32(48);
        h.signalOffset[p] = adc.f32(52);
        setText(h.adcChannelName[p], stringAt(strings, adc.i32(74)));
        setText(h.adcUnits[p], stringAt(strings, adc.i32(78)));
    }

    // DAC: scale, holding level, waveform switches. Not needed for the samples, so a damaged or
    // missing table only leaves the defaults.
    std::int64_t dacRecords = 0;
    const Section dacSection = sectionAt(b, kDacSection);
    const std::vector<std::uint8_t> dacBytes = readTable(fd, fileSize, dacSection, 46, dacRecords, ioError);
    if (ioError) return kAbfErrReadData;
    for (std::int64_t k = 0; k < dacRecords; ++k) {
        const Bytes entry = record(dacBytes, k, dacSection.entrySize);
        const std::int16_t d = entry.i16(0);
        if (d < 0 || d >= kAbfDacCount) continue;
        AbfDac& dac = h.dacs[d];
        dac.scaleFactor = entry.f32(8);
        dac.holdingLevel = entry.f32(12);
        setText(dac.name, stringAt(strings, entry.i32(24)));
        setText(dac.units, stringAt(strings, entry.i32(28)));
        dac.waveformEnable = entry.i16(40);
        dac.waveformSource = entry.i16(42);
        dac.interEpisodeLevel = entry.i16(44);
    }

    // EpochPerDAC: one entry per enabled analog epoch; missing epochs stay off.
    std::int64_t epochRecords = 0;
    const Section epochSection = sectionAt(b, kEpochPerDacSection);
    const std::vector<std::uint8_t> epochBytes =
        readTable(fd, fileSize, epochSection, 30, epochRecords, ioError);
    if (ioError) return kAbfErrReadData;
    for (std::int64_t k = 0; k < epochRecords; ++k) {
        const Bytes entry = record(epochBytes, k, epochSection.entrySize);
        const std::int16_t e = entry.i16(0);
        const std::int16_t d = entry.i16(2);
        if (e < 0 || e >= kAbfEpochCount || d < 0 || d >= kAbfDacCount) continue;
        AbfEpoch& epoch = h.dacs[d].epochs[e];
        epoch.type = entry.i16(4);
        epoch.initLevel = entry.f32(6);
        epoch.levelIncrement = entry.f32(10);
        epoch.initDuration = entry.i32(14);
        epoch.durationIncrement = entry.i32(18);
        epoch.pulsePeriod = entry.i32(22);
        epoch.pulseWidth = entry.i32(26);
    }

    const Section data = sectionAt(b, kDataSection);
    if (data.block > std::numeric_limits<std::int32_t>::max()) return kAbfErrBadHeader;
    h.dataSectionPtr = static_cast<std::int32_t>(data.block);
    h.actualAcqLength = clampToInt32(data.count);
    const std::int64_t expectedSize = h.dataFormat == kAbfFloatData ? 4 : 2;
    if (data.entrySize != 0 && data.entrySize != expectedSize) return kAbfErrBadHeader;

    const Section tag = sectionAt(b, kTagSection);
    h.tagSectionPtr = tag.block > 0 ? clampToInt32(tag.block) : 0;
    h.numTagEntries = tag.block > 0 ? clampToInt32(tag.count) : 0;
    const Section synch = sectionAt(b, kSynchArraySection);
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
        if (h.abfMajorVersion == 1) {
            h.synchArray[i].start = synch.i32(8 * i);
            h.synchArray[i].length = synch.i32(8 * i + 4);
        } else {
            h.synchArray[i].start = synch.u32(8 * i);
            h.synchArray[i].length = synch.u32(8 * i + 4);
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
        const std::size_t at = kAbfTagSize * i;
        h.tags[i].time = tags.i32(at);
        tags.text(at + 4, h.tags[i].comment);
        h.tags[i].type = tags.i16(at + 60);
        h.tags[i].voiceTagNumber = tags.i16(at + 62);
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
