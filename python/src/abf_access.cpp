#include "abf_access.h"

#include <algorithm>
#include <utility>

#include "abf/abf_error.h"
#include "abf/abf_file.h"

namespace ephys::py_ephys {

namespace {

[[noreturn]] void fail(int code, const std::string& path) {
    throw RecordingError(abfOpenFailureLine(code, path));
}

// The reader's calls, for either form of its error reports: the error number through an
// out-parameter, or a result that carries the number and the reason. Callers see a value or a
// RecordingError.
template <typename File>
int openFile(File& file, const std::string& path, AbfHeader& header, int& samplesPerSweep) {
    if constexpr (requires(File & f, AbfHeader & h, int& n) { f.open(path, h, n).ok(); }) {
        auto opened = file.open(path, header, samplesPerSweep);
        if (!opened.ok()) throw RecordingError(opened.error().text());
        return *opened;
    } else {
        int sweeps = 0, error = kAbfOk;
        if (file.open(path, header, samplesPerSweep, sweeps, error) == 0) fail(error, path);
        return sweeps;
    }
}

template <typename File>
double sweepStart(const File& file, int sweep, const std::string& path) {
    if constexpr (requires(const File& f) { f.sweepStartMs(sweep).ok(); }) {
        auto start = file.sweepStartMs(sweep);
        if (!start.ok()) throw RecordingError(start.error().text());
        return *start;
    } else {
        int error = kAbfOk;
        const double ms = file.sweepStartMs(sweep, error);
        if (error != kAbfOk) fail(error, path);
        return ms;
    }
}

template <typename File>
std::int64_t readScaled(File& file, int position, std::int64_t first, std::int64_t count, float scale,
                        float offset, std::span<float> out, const std::string& path) {
    if constexpr (requires(File & f) {
                      f.readPointsScaled(position, first, count, scale, offset, out).ok();
                  }) {
        auto got = file.readPointsScaled(position, first, count, scale, offset, out);
        if (!got.ok()) throw RecordingError(got.error().text());
        return *got;
    } else {
        int error = kAbfOk;
        const std::int64_t got = file.readPointsScaled(position, first, count, scale, offset, out, error);
        if (error != kAbfOk) fail(error, path);
        return got;
    }
}

}  // namespace

RecordingReader::RecordingReader(const std::string& path) : file_(std::make_unique<AbfFile>()) {
    RecordingLayout& r = layout_;
    r.path = path;
    abfResetHeader(r.header);
    int samplesPerSweep = 0;
    const int sweeps = openFile(*file_, path, r.header, samplesPerSweep);
    const AbfHeader& h = r.header;
    const int channels = h.adcNumChannels;
    if (file_->isShort()) r.shortText = file_->shortRecordingText();
    for (int pos = 0; pos < channels; ++pos) {
        const int physical = h.adcSamplingSeq[static_cast<std::size_t>(pos)];
        float scale = 1.0f, offset = 0.0f;
        if (const int error = abfChannelScaling(h, physical, scale, offset); error != kAbfOk)
            fail(error, path);
        r.physical.push_back(physical);
        r.scale.push_back(scale);
        r.offset.push_back(offset);
    }
    if (h.operationMode == kAbfGapFree) {
        // One sweep of every sample, however the reader cuts gap-free data into pieces.
        r.sweeps = 1;
        r.sweepFirstPoint = {0};
        r.sweepLength = {channels > 0 ? h.actualAcqLength / channels : 0};
        r.sweepStartMs = {0.0};
        return;
    }
    r.sweeps = sweeps;
    for (int s = 1; s <= sweeps; ++s) {
        r.sweepFirstPoint.push_back(file_->sweepFirstValue(s) / std::max(1, channels));
        r.sweepLength.push_back(file_->sweepLength(s));
        r.sweepStartMs.push_back(sweepStart(*file_, s, path));
    }
}

RecordingReader::~RecordingReader() = default;

std::int64_t RecordingReader::read(int position, int sweep, std::span<float> out) {
    const RecordingLayout& r = layout_;
    const auto s = static_cast<std::size_t>(sweep);
    const auto p = static_cast<std::size_t>(position);
    const std::int64_t n = std::min<std::int64_t>(r.sweepLength[s], static_cast<std::int64_t>(out.size()));
    return readScaled(*file_, position, r.sweepFirstPoint[s], n, r.scale[p], r.offset[p], out, r.path);
}

}  // namespace ephys::py_ephys
