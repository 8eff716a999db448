#include "abf_access.h"

#include <algorithm>
#include <utility>

#include "abf/abf_error.h"
#include "abf/abf_file.h"

namespace ephys::py_ephys {

namespace {

// The reader reports a failure as an Error carrying the number, the file and the readable
// reason; the module raises it with that reason.
template <typename T>
T valueOf(Result<T> result) {
    if (!result) throw RecordingError(result.error().text());
    return std::move(result).value();
}

}  // namespace

RecordingReader::RecordingReader(const std::string& path) : file_(std::make_unique<AbfFile>()) {
    RecordingLayout& r = layout_;
    r.path = path;
    abfResetHeader(r.header);
    int samplesPerSweep = 0;
    const int sweeps = valueOf(file_->open(path, r.header, samplesPerSweep));
    const AbfHeader& h = r.header;
    const int channels = h.adcNumChannels;
    if (file_->isShort()) r.shortText = file_->shortRecordingText();
    for (int pos = 0; pos < channels; ++pos) {
        const int physical = h.adcSamplingSeq[static_cast<std::size_t>(pos)];
        float scale = 1.0f, offset = 0.0f;
        if (const int error = abfChannelScaling(h, physical, scale, offset); error != kAbfOk)
            throw RecordingError(abfError(error, path).text());
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
        r.sweepStartMs.push_back(valueOf(file_->sweepStartMs(s)));
    }
}

RecordingReader::~RecordingReader() = default;

std::int64_t RecordingReader::read(int position, int sweep, std::span<float> out) {
    const RecordingLayout& r = layout_;
    const auto s = static_cast<std::size_t>(sweep);
    const auto p = static_cast<std::size_t>(position);
    const std::int64_t n = std::min<std::int64_t>(r.sweepLength[s], static_cast<std::int64_t>(out.size()));
    return valueOf(file_->readPointsScaled(position, r.sweepFirstPoint[s], n, r.scale[p], r.offset[p], out));
}

}  // namespace ephys::py_ephys
