#include "psc/recording_frames.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "abf/abf_error.h"
#include "abf/abf_file.h"

namespace ephys {

namespace {

// The 20 samples at the frame's start whose mean "Auto Shift Baseline" takes as zero.
constexpr int kBaselineSamples = 20;

// The loops below work in blocks of a fixed count with unaliased pointers, so that the compiler
// uses vector instructions at -O2; each element is computed exactly as in a plain loop.
constexpr std::int64_t kBlock = 8;

void subtract(float* values, std::int64_t n, float amount) {
    std::int64_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (std::int64_t j = 0; j < kBlock; ++j) values[i + j] -= amount;
    }
    for (; i < n; ++i) values[i] -= amount;
}

// d[q] = (c[q] - c[q - w]) / window for q in [w, n).
void slope(const float* __restrict c, float* __restrict d, std::size_t w, std::size_t n, float window) {
    std::size_t q = w;
    for (; q + kBlock <= n; q += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) d[q + j] = (c[q + j] - c[q + j - w]) / window;
    }
    for (; q < n; ++q) d[q] = (c[q] - c[q - w]) / window;
}

}  // namespace

std::string pscBaseName(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

void pscBuildTimeMap(PscParameters& p, const AbfHeader& header) {
    p.timeMapLength = header.actualAcqLength;
    p.timeMap.clear();
    if (header.synchArray.empty() || header.operationMode == kAbfEpisodic) {
        p.timeMap.shrink_to_fit();
        return;
    }
    // One pair per run: the index of its first sample and that sample's acquisition position.
    std::int64_t first = 0;
    for (const AbfSynchEntry& run : header.synchArray) {
        if (first >= p.timeMapLength) break;
        if (run.length <= 0) continue;
        p.timeMap.push_back(static_cast<std::int32_t>(first));
        p.timeMap.push_back(static_cast<std::int32_t>(run.start));
        first += run.length;
    }
    p.timeMap.shrink_to_fit();
}

std::int64_t pscTimeMapEntry(const PscParameters& p, std::int64_t index) {
    const std::size_t runs = p.timeMap.size() / 2;
    if (runs == 0) return index;
    // The last run that starts at or before the index (the first run for an index before it).
    std::size_t lo = 0;
    std::size_t hi = runs;
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (p.timeMap[2 * mid] <= index) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return static_cast<std::int64_t>(p.timeMap[2 * lo + 1]) + (index - p.timeMap[2 * lo]);
}

void pscRecordingError(MessageSink& messages, std::string_view heading, const Error& error) {
    messages.show(MessageKind::PlainError, kPlainErrorCaption,
                  std::string(heading).append("\n").append(error.text()).append("\n"));
}

bool pscOpenRecording(AbfFile& file, const std::string& fileName, AbfHeader& header, int& samplesPerSweep,
                      std::string_view heading, MessageSink& messages) {
    abfResetHeader(header);
    const Result<int> opened = file.open(fileName, header, samplesPerSweep);
    // The fixed message, and in the same box the file and the recording module's reason.
    if (!opened) pscRecordingError(messages, heading, opened.error());
    return opened.ok();
}

bool GetInfo(PscParameters& p, const std::string& fileName, MessageSink& messages) {
    AbfHeader header;
    AbfFile file;
    int samplesPerSweep = p.frameLengthSetting;
    if (!pscOpenRecording(file, fileName, header, samplesPerSweep, "Error opening file in GetInfo", messages))
        return false;
    const int sweeps = file.sweepCount();

    const int channels = std::max<int>(1, header.adcNumChannels);
    p.channelCount = channels;
    p.baseName = pscBaseName(fileName);

    // A frame length below one sample (an unchecked value from a settings file) takes the
    // recording's own piece length, as the library does for such a request.
    if (p.frameLengthSetting < 1) p.frameLengthSetting = std::max(1, samplesPerSweep);
    p.frameLength = p.frameLengthSetting;
    p.framesAreEpisodes = 0;
    const std::int64_t samplesPerChannel = header.actualAcqLength / channels;
    std::int64_t frameCount = 0;
    if (header.operationMode == kAbfEpisodic) {
        if (p.overrideFrameLength == 'Y') {
            // Episodes cut into frames of the requested length, shorter episodes taken whole.
            const int perEpisode = header.numSamplesPerEpisode / channels;
            if (perEpisode < p.frameLength) {
                p.frameLengthSetting = perEpisode;
                p.frameLength = perEpisode;
            }
            frameCount = p.frameLength > 0 ? header.actualAcqLength / p.frameLength / channels : 0;
        } else {
            p.framesAreEpisodes = 1;
            p.frameLengthSetting = samplesPerSweep;
            p.frameLength = samplesPerSweep;
            frameCount = sweeps;
        }
    } else {
        // Continuous data: pieces of the frame length, the last one partial.
        frameCount = (samplesPerChannel + p.frameLength - 1) / p.frameLength;
    }

    p.sampleInterval = header.adcSequenceInterval / 1000.0f;
    p.frameDuration = static_cast<float>(p.frameLength) * p.sampleInterval;
    p.bufferLength = p.frameLength + kFrameLead + kFrameTail;
    p.frameCount = static_cast<std::int32_t>(frameCount);
    p.frames = "1.." + std::to_string(p.frameCount);
    p.firstFrame = 1;
    p.lastFrame = p.frameCount;
    p.dataOffset = header.dataOffsetBytes;
    pscBuildTimeMap(p, header);
    return true;
}

int pscSetupChannel(const AbfHeader& header, PscParameters& p) {
    if (p.channelNumber < 0 || p.channelNumber >= header.adcNumChannels) p.channelNumber = 0;
    const int physical = header.adcSamplingSeq[static_cast<std::size_t>(p.channelNumber)];

    float scale = 1.0f;
    float offset = 0.0f;
    const int scaling = abfChannelScaling(header, physical, scale, offset);
    if (scaling != kAbfOk) {
        scale = 1.0f;
        offset = 0.0f;
    }
    // The unit text up to its first blank ("deg C" reads "deg").
    std::string units = abfChannelUnits(header, physical);
    if (const std::size_t blank = units.find(' '); blank != std::string::npos) units.erase(blank);
    if (units == "nA") {
        // Currents are in pA throughout; the offset is in the channel's units as well.
        units = "pA";
        scale *= 1000.0f;
        offset *= 1000.0f;
    }
    p.channelScale = scale;
    p.channelOffset = offset;
    p.channelUnits = units;
    const std::string name = abfChannelName(header, physical);
    p.channelTitle = name + " (" + units + ")";
    p.derivativeTitle = name + " (" + units + "/ms)";
    p.floatData = header.dataFormat != kAbfInt16Data ? 1 : 0;
    return scaling;
}

int pscDifferentiationSamples(const PscParameters& p) {
    const float w = p.diffWindow / p.sampleInterval + 0.5f;
    // Also guards a window or interval that is not a usable number.
    if (!(w >= 1.0f)) return 1;
    return static_cast<int>(std::min(w, 1e9f));
}

void pscDifferentiate(PscFrameBuffers& buffers, const PscParameters& p) {
    const std::size_t n = std::min(buffers.currentData.size(), buffers.didtData.size());
    const std::size_t w = static_cast<std::size_t>(pscDifferentiationSamples(p));
    const float window = static_cast<float>(w) * p.sampleInterval;
    float* d = buffers.didtData.data();
    std::fill(d, d + std::min(w, n), 0.0f);
    slope(buffers.currentData.data(), d, w, n, window);
}

PscHumSpec pscHumSpecOf(const PscParameters& p, const PscFrameBuffers& buffers, int frameNumber) {
    PscHumSpec spec;
    spec.hz = p.humHz;
    spec.sampleIntervalMs = p.sampleInterval;
    spec.frameLength = buffers.frameLength;
    // Recorded samples of the frame's buffer, up to the recording's last sample.
    const std::int64_t start = static_cast<std::int64_t>(frameNumber - 1) * buffers.frameLength;
    const std::int64_t recorded = p.timeMapLength / std::max<std::int64_t>(p.channelCount, 1);
    spec.firstValid = static_cast<int>(std::max<std::int64_t>(-start, buffers.firstIndex())) + kFrameLead;
    spec.validEnd =
        static_cast<int>(std::clamp<std::int64_t>(recorded - start, 0, buffers.endIndex())) + kFrameLead;
    // The frames of a continuous recording follow each other sample by sample; an episode's
    // phase starts afresh.
    spec.firstSample = start - kFrameLead;
    spec.continuous = p.framesAreEpisodes == 0;
    return spec;
}

int pscReadFrame(const AbfHeader& header, PscParameters& p, int frameNumber, PscFrameBuffers& buffers,
                 PscFrameReader& reader) {
    const auto length = static_cast<std::int64_t>(buffers.currentData.size());
    float* current = buffers.currentData.data();
    const int channels = std::max<int>(1, header.adcNumChannels);
    const int position = std::clamp<int>(p.channelNumber, 0, channels - 1);

    // Per-channel index of the sample at buffer position 0; positions before the data section
    // are not read.
    const std::int64_t firstSample = static_cast<std::int64_t>(frameNumber - 1) * p.frameLength - kFrameLead;
    const std::int64_t lead = firstSample < 0 ? std::min(-firstSample, length) : 0;
    const std::int64_t wanted = length - lead;

    // The analysed channel in pA: counts scaled by the channel's scale and offset, stored floats
    // (in the channel's units) by its scale alone.
    std::int64_t got = 0;
    if (reader.recording != nullptr) {
        // A failed read gives a frame of zeros, as a frame past the data does.
        got = reader.recording
                  ->readPointsScaled(position, firstSample + lead, wanted, p.channelScale, p.channelOffset,
                                     std::span<float>(current + lead, static_cast<std::size_t>(wanted)))
                  .valueOr(0);
    }

    if (got == 0) {
        std::fill(current, current + length, 0.0f);
    } else {
        // Before the data: its first sample (frame 1's 200 leading positions). After its end:
        // the last sample read.
        std::fill(current, current + lead, current[lead]);
        std::fill(current + lead + got, current + length, current[lead + got - 1]);
    }

    if (p.autoShiftBaseline == 'Y') {
        double sum = 0.0;
        const std::int64_t end = std::min<std::int64_t>(kFrameLead + kBaselineSamples, length);
        for (std::int64_t q = kFrameLead; q < end; ++q) sum += current[q];
        if (end > kFrameLead) {
            const auto mean = static_cast<float>(sum / static_cast<double>(end - kFrameLead));
            subtract(current, length, mean);
        }
    }

    if (p.filterHz > 0.0f) {
        // The autoscaling pass looks at the first frameLength positions only.
        const std::int64_t span =
            p.autoscalingPass != 0 ? std::min<std::int64_t>(p.frameLength, length) : length;
        gaussianFilter(std::span<float>(current, static_cast<std::size_t>(span)), p.filterHz,
                       p.sampleInterval * 1000.0f, reader.taps);
    }

    // The mains hum of the frame is fitted here, beside the filtering, for the model detectors
    // to take it out: each frame's fit is its own.
    buffers.hum = p.detector != PscDetectorKind::Slope && p.humHz != 0.0f
                      ? pscFitHumFrame(pscHumSpecOf(p, buffers, frameNumber), buffers.currentData)
                      : PscHumFit{};

    pscDifferentiate(buffers, p);
    return static_cast<int>(got);
}

}  // namespace ephys
