#include "psc/scan_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "abf/abf_error.h"
#include "abf/abf_file.h"
#include "psc/psc_outputs.h"
#include "psc/recording_frames.h"

namespace ephys {

namespace {

void paddedItem(std::string& text, std::string_view key, std::string_view number) {
    text.append(key).append(" ").append(number);
    if (number.size() < 12) text.append(12 - number.size(), ' ');
    text.append("\\");
}

void numberItem(std::string& text, std::string_view key, double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 5);
    paddedItem(text, key,
               ec == std::errc() ? std::string_view(buffer, static_cast<std::size_t>(end - buffer))
                                 : std::string_view("0"));
}

// Whole numbers in full: below 100000 the same text as five significant digits give.
void wholeItem(std::string& text, std::string_view key, int value) {
    char buffer[16];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    paddedItem(text, key,
               ec == std::errc() ? std::string_view(buffer, static_cast<std::size_t>(end - buffer))
                                 : std::string_view("0"));
}

void textItem(std::string& text, std::string_view key, std::string_view value) {
    text.append(key).append(value).append("\\");
}

void putFloat(ScanBlock& block, std::size_t offset, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// The recording opened again for its samples. Positions count sample points (all channels).
class RecordingSamples {
  public:
    // Opens the recording; when it cannot be opened, says so with the recording module's reason.
    bool open(const std::string& path, const PscParameters& p, MessageSink& messages) {
        AbfHeader header;
        int pieceLength = 0;
        // The recording was analysed a moment ago; it has gone or turned unreadable since.
        if (!pscOpenRecording(file_, path, header, pieceLength, "Error opening file", messages)) return false;
        const int channels = std::max(1, p.channelCount);
        channel_ = p.channelNumber >= 0 && p.channelNumber < channels ? p.channelNumber : 0;
        floatData_ = header.dataFormat == kAbfFloatData;
        // The frames of the recording, never beyond its data.
        points_ = std::min<std::int64_t>(
            static_cast<std::int64_t>(std::max(0, p.frameLength)) * std::max(0, p.frameCount),
            header.actualAcqLength / std::max<int>(1, header.adcNumChannels));
        return true;
    }

    // `length` samples of the analysed channel from sample point `first` on; positions before the
    // data take its first sample, positions after it its last one. Stored floats are brought to pA
    // by `toPicoampere` and then counted in units of `scale`.
    void trace(std::int64_t first, std::size_t length, float toPicoampere, float scale,
               std::vector<std::int16_t>& out) {
        out.assign(length, 0);
        if (points_ <= 0 || length == 0) return;
        const std::int64_t last = first + static_cast<std::int64_t>(length) - 1;
        const std::int64_t lo = std::clamp<std::int64_t>(first, 0, points_ - 1);
        std::int64_t hi = std::clamp<std::int64_t>(last, 0, points_ - 1);
        const std::int64_t count = hi - lo + 1;
        // A failed read leaves the trace at 0, as positions outside the recording are.
        std::int64_t got = 0;
        if (!floatData_) {
            counts_.resize(static_cast<std::size_t>(count));
            got = file_.readPoints(channel_, lo, count, counts_).valueOr(0);
        } else {
            values_.resize(static_cast<std::size_t>(count));
            got = file_.readPointsScaled(channel_, lo, count, toPicoampere, 0.0f, values_).valueOr(0);
        }
        if (got <= 0) return;
        hi = lo + got - 1;
        for (std::size_t k = 0; k < length; ++k) {
            const auto at = static_cast<std::size_t>(
                std::clamp<std::int64_t>(first + static_cast<std::int64_t>(k), lo, hi) - lo);
            if (!floatData_) {
                out[k] = counts_[at];
            } else {
                const float units = std::trunc(values_[at] / scale);
                out[k] = std::isnan(units)
                             ? std::int16_t{0}
                             : static_cast<std::int16_t>(std::clamp(units, -32768.0f, 32767.0f));
            }
        }
    }

  private:
    AbfFile file_;
    bool floatData_ = false;
    int channel_ = 0;
    std::int64_t points_ = 0;
    std::vector<std::int16_t> counts_;
    std::vector<float> values_;
};

// The nearest sample point to a time (halves go up).
std::int64_t nearestSample(float timeMs, float sampleInterval) {
    if (sampleInterval <= 0.0f) return 0;
    const double q = std::floor(static_cast<double>(timeMs / sampleInterval) + 0.5);
    if (!std::isfinite(q)) return 0;
    constexpr double kLimit = 4.0e18;
    return static_cast<std::int64_t>(std::clamp(q, -kLimit, kLimit));
}

}  // namespace

std::string pscScanUnits(std::string_view channelTitle) {
    const std::size_t open = channelTitle.find('(');
    if (open == std::string_view::npos || open + 1 >= channelTitle.size()) return std::string(channelTitle);
    const std::string_view rest = channelTitle.substr(open + 1);
    return std::string(rest.substr(0, rest.find(')')));
}

ScanBlock pscScanHeader(float sampleIntervalMs, float adcRange, float scale, std::string_view units,
                        int blocksPerEvent, int eventCount, std::int32_t fullScaleCount) {
    std::string text;
    numberItem(text, "DT=", sampleIntervalMs);
    numberItem(text, "BC=", scale);
    numberItem(text, "GC=", 10);
    numberItem(text, "IZC=", fullScaleCount);
    numberItem(text, "AD=", adcRange);
    numberItem(text, "PT=", 10);
    numberItem(text, "TL=", 10);
    textItem(text, "TU=", "ms");
    textItem(text, "CU=", units);
    numberItem(text, "NC=", 1);
    numberItem(text, "NRQ=", 1);
    // The event count is whole: five significant digits would turn 100000 events and more into
    // a rounded power of ten, and the file's readers take it as the number of records that follow.
    wholeItem(text, "NF=", eventCount);
    numberItem(text, "NBF=", 0);
    numberItem(text, "NBA=", 1);
    numberItem(text, "NBD=", blocksPerEvent);
    numberItem(text, "IFC=", 9);
    textItem(text, "ID= ", "");
    ScanBlock block{};
    std::memcpy(block.data(), text.data(), std::min(text.size(), block.size()));
    return block;
}

bool pscExportScan(const std::string& recordingName, const std::string& outputDir, const PscEventTable& table,
                   PscParameters& p, const AbfHeader& header, ProgressRecord& progress, MessageSink& messages,
                   RunOutputs* outputs) {
    std::string path = pscOutputPaths(recordingName, outputDir).scanPath;
    if (outputs != nullptr && !outputs->isFree(path, messages)) return false;
    const std::string derived = path;
    bool replaces = false;
    if (!pscSaveNameCheck(path, kPscScanFilesDescription, p.overwriteOutputs != 'Y', messages, &replaces))
        return false;
    if (outputs != nullptr && path != derived && !outputs->isFree(path, messages)) return false;
    auto failed = [&] {
        if (outputs != nullptr) outputs->markFailed();
        return false;
    };

    RecordingSamples recording;
    if (!recording.open(recordingName, p, messages)) return failed();
    PscOutputFile file;
    if (!file.create(path, replaces ? OutputFile::Existing::Replace : OutputFile::Existing::Keep)) {
        messages.errorBox(kScanOpenError);
        return failed();
    }
    if (outputs != nullptr) outputs->take(path);

    // Float samples are in the channel's units; the frames read them in pA by this factor.
    const float toPicoampere = p.floatData != 0 ? p.channelScale : 1.0f;
    if (p.floatData != 0) p.channelScale = kScanFloatScale;
    const int count = std::max(table.count(), 0);
    const int blocks = std::max(0, p.exportBlocks);
    const ScanBlock head = pscScanHeader(p.sampleInterval, header.adcRange, p.channelScale,
                                         pscScanUnits(p.channelTitle), blocks, count, header.adcResolution);
    file.write(std::string_view(reinterpret_cast<const char*>(head.data()), head.size()));

    progress.line1 = "Exporting Scan File";
    const std::size_t length = static_cast<std::size_t>(blocks) * kScanBlockSamples;
    ScanBlock record{};
    std::vector<std::int16_t> samples;
    std::string trace;
    int shown = 0;
    for (int i = 1; i <= count && !file.failed(); ++i) {
        const int i0 = i - 1;
        const int percent = static_cast<int>(static_cast<double>(i0) * 100.0 / count + 0.9);
        if (percent > shown) {
            shown = percent;
            char line[64];
            std::snprintf(line, sizeof line, "Writing Scan record %7ld of %7ld.", static_cast<long>(i0),
                          static_cast<long>(count));
            progress.line2 = line;
            progress.percent = percent;
            progressUpdate(progress);
        }

        const auto row = static_cast<std::size_t>(i);
        const char* typeText = nullptr;
        switch (table.eventType[row]) {
            case '1':
                typeText = "SPONT   ";
                break;
            case '2':
                typeText = "EVOKED  ";
                break;
            case '3':
                typeText = "ACCEPTED";
                break;
            default:
                break;  // another type keeps the previous text
        }
        if (typeText != nullptr) std::memcpy(record.data(), typeText, 9);
        putFloat(record, 14, static_cast<float>(i));
        putFloat(record, 18, table.at(kEventTime, row) / 1000.0f);
        putFloat(record, 22, table.at(kRiseTime, row));
        putFloat(record, 30, table.at(kAmplitude, row));
        putFloat(record, 34, table.at(kCharge, row));
        putFloat(record, 118, table.at(kHalfWidth, row));
        putFloat(record, 122, table.at(kWidth10, row));
        putFloat(record, 126, table.at(kWidth75, row));
        file.write(std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));

        const std::int64_t first = nearestSample(table.at(kSampleTime, row), p.sampleInterval) -
                                   static_cast<std::int64_t>(length / 10);
        recording.trace(first, length, toPicoampere, p.channelScale, samples);
        trace.resize(length * 2);
        for (std::size_t k = 0; k < length; ++k) {
            const auto u = static_cast<std::uint16_t>(samples[k]);
            trace[2 * k] = static_cast<char>(u & 0xFF);
            trace[2 * k + 1] = static_cast<char>(u >> 8);
        }
        file.write(trace);

        if (progress.pressedButton.load() == kProgressCancel) break;
    }

    auto report = [&messages, path](const OutputFile& f) {
        if (f.error() == EEXIST)
            messages.errorBox(std::string(kScanWriteError)
                                  .append(": ")
                                  .append(path)
                                  .append(" was made meanwhile by another program; it is kept"));
        else
            messages.errorBox(std::string(kScanWriteError)
                                  .append(": ")
                                  .append(path)
                                  .append(": ")
                                  .append(std::strerror(f.error() != 0 ? f.error() : EIO)));
    };
    // Within a run the file waits, complete, until the recording's outputs are all written.
    if (outputs != nullptr ? !file.finish() : !file.publish()) {
        report(file);
        return failed();
    }
    if (outputs != nullptr) outputs->hold(std::move(file), report);
    return true;
}

}  // namespace ephys
