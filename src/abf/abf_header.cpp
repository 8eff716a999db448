#include "abf/abf_header.h"

#include <cmath>
#include <cstddef>
#include <cstdio>

#include "abf/abf_error.h"

namespace ephys {

void abfResetHeader(AbfHeader& header) {
    header = AbfHeader{};
    header.adcSamplingSeq.fill(-1);
    for (auto& name : header.adcChannelName) name.fill(' ');
    for (auto& units : header.adcUnits) units.fill(' ');
    header.instrumentScaleFactor.fill(1.0f);
    header.signalGain.fill(1.0f);
    header.adcProgrammableGain.fill(1.0f);
    header.telegraphAdditGain.fill(1.0f);
    for (auto& dac : header.dacs) {
        dac.name.fill(' ');
        dac.units.fill(' ');
    }
}

int abfChannelPosition(const AbfHeader& header, int physicalChannel) {
    if (physicalChannel < 0 || physicalChannel >= kAbfAdcCount) return -1;
    const int count = header.adcNumChannels;
    for (int k = 0; k < count && k < kAbfAdcCount; ++k) {
        if (header.adcSamplingSeq[k] == physicalChannel) return k;
    }
    return -1;
}

int abfChannelScaling(const AbfHeader& header, int physicalChannel, float& scale, float& offset) {
    scale = 1.0f;
    offset = 0.0f;
    if (abfChannelPosition(header, physicalChannel) < 0) return kAbfErrChannelNotSampled;
    if (header.dataFormat != kAbfInt16Data) return kAbfOk;  // floats hold user units

    const int p = physicalChannel;
    float gain = header.instrumentScaleFactor[p] * header.signalGain[p] * header.adcProgrammableGain[p];
    // The additional gain means something only when the amplifier telegraphed it; files with the
    // telegraph off may hold 0 there.
    if (header.telegraphEnable[p] != 0) gain *= header.telegraphAdditGain[p];
    const float counts = static_cast<float>(header.adcResolution) * gain;
    if (header.adcResolution <= 0 || counts == 0.0f || !std::isfinite(counts)) return kAbfErrBadScaling;
    const float fullScale = header.adcRange / counts;
    const float shift = header.instrumentOffset[p] - header.signalOffset[p];
    if (!std::isfinite(fullScale) || fullScale == 0.0f || !std::isfinite(shift)) return kAbfErrBadScaling;
    scale = fullScale;
    offset = shift;
    return kAbfOk;
}

double abfSynchTickUs(const AbfHeader& header) {
    if (header.synchTimeUnit != 0.0f) return header.synchTimeUnit;
    if (header.adcNumChannels <= 0) return header.adcSequenceInterval;
    return static_cast<double>(header.adcSequenceInterval) / header.adcNumChannels;
}

void abfSampleTimesMs(const AbfHeader& header, std::span<double> times) {
    const double intervalMs = static_cast<double>(header.adcSequenceInterval) / 1000.0;
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = static_cast<double>(i) * intervalMs;
}

double abfTagSeconds(const AbfHeader& header, const AbfTag& tag) {
    return static_cast<double>(tag.time) * abfSynchTickUs(header) * 1e-6;
}

int abfSamplesPerChannel(const AbfHeader& header) {
    if (header.adcNumChannels <= 0) return 0;
    return header.numSamplesPerEpisode / header.adcNumChannels;
}

std::string abfText(std::span<const char> stored) {
    std::size_t end = stored.size();
    while (end > 0 && (stored[end - 1] == ' ' || stored[end - 1] == '\0')) --end;
    std::string text;
    text.reserve(end);
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(stored[i]);
        if (c == 0) {
            text += ' ';
        } else if (c < 0x80) {
            text += static_cast<char>(c);
        } else {  // Latin-1 to UTF-8
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::string abfChannelName(const AbfHeader& header, int physicalChannel) {
    if (physicalChannel < 0 || physicalChannel >= kAbfAdcCount) return {};
    return abfText(header.adcChannelName[physicalChannel]);
}

std::string abfChannelUnits(const AbfHeader& header, int physicalChannel) {
    if (physicalChannel < 0 || physicalChannel >= kAbfAdcCount) return {};
    return abfText(header.adcUnits[physicalChannel]);
}

std::string abfTagComment(const AbfTag& tag) {
    return abfText(tag.comment);
}

const char* abfModeName(int operationMode) {
    switch (operationMode) {
        case kAbfVariableLengthEvents:
            return "event-driven, variable-length sweeps";
        case kAbfFixedLengthEvents:
            return "oscilloscope (fixed-length events)";
        case kAbfGapFree:
            return "gap-free";
        case kAbfHighSpeedOscilloscope:
            return "high-speed oscilloscope";
        case kAbfEpisodic:
            return "episodic stimulation (fixed-length sweeps)";
        default:
            return "unknown";
    }
}

std::string abfVersionText(const AbfHeader& header) {
    char text[32];
    if (header.abfMajorVersion == 1) {
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(header.fileVersion));
    } else {
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", header.versionParts[0], header.versionParts[1],
                      header.versionParts[2], header.versionParts[3]);
    }
    return text;
}

}  // namespace ephys
