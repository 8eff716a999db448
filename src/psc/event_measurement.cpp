#include "psc/event_measurement.h"

#include "psc/recording_frames.h"

#include <algorithm>
#include <cstdint>

namespace ephys {

namespace {

// The four levels of an event and the two sides of each: a value lies below a level when it is on
// the baseline side of it, above when it is beyond it in the event's direction.
struct Levels {
    float s, l90, l75, l50, l10;
    explicit Levels(const PscEvent& e)
        : s(e.sign),
          l90(0.9f * e.amplitude()),
          l75(0.75f * e.amplitude()),
          l50(0.5f * e.amplitude()),
          l10(0.1f * e.amplitude()) {}
    bool below(float y, float level) const { return s * y < s * level; }
    bool above(float y, float level) const { return s * y > s * level; }
};

// Mean current over frame indices [from, to), cut at the buffer's bounds; 0 for an empty period.
float periodMean(const PscFrameBuffers& b, int from, int to) {
    from = std::max(from, b.firstIndex());
    to = std::min(to, b.endIndex());
    if (to <= from) return 0.0f;
    double sum = 0.0;
    for (int k = from; k < to; ++k) sum += b.current(k);
    return static_cast<float>(sum / (to - from));
}

}  // namespace

int pscWholePart(float x) {
    if (!(x > -2.0e9f)) return -2000000000;
    if (!(x < 2.0e9f)) return 2000000000;
    return static_cast<int>(x);
}

float pscCrossingTime(float level, float x0, float y0, float x1, float y1) {
    if (y1 == y0) return (x0 + x1) / 2.0f;
    return (level - y0) / (y1 - y0) * (x1 - x0) + x0;
}

void pscMeasureRise(const PscFrameBuffers& b, float dt, const PscEvent& e, PscEventMeasures& m) {
    const Levels lv(e);
    bool found90 = false, found75 = false, found50 = false;
    m.riseTime = -1.0f;
    const int top = std::min(e.peakIndex - 1, b.endIndex() - 2);
    for (int k = top; k >= b.firstIndex() + 1; --k) {
        const float y = b.current(k) - e.baseline;
        const float yNext = b.current(k + 1) - e.baseline;
        const float x = static_cast<float>(k) * dt;
        const float xNext = static_cast<float>(k + 1) * dt;
        // 90 %: a crossing further back replaces the one found.
        if (lv.below(y, lv.l90) && !found90) {
            found90 = true;
            m.haveRise90 = true;
            m.rise90 = pscCrossingTime(lv.l90, x, y, xNext, yNext);
        } else if (lv.above(y, lv.l90) && found90) {
            found90 = false;
        }
        // 50 % and 75 %: the crossing nearest the peak.
        if (lv.below(y, lv.l50) && !found50) {
            found50 = true;
            m.haveRise50 = true;
            m.rise50 = pscCrossingTime(lv.l50, x, y, xNext, yNext);
        }
        if (lv.below(y, lv.l75) && !found75) {
            found75 = true;
            m.haveRise75 = true;
            m.rise75 = pscCrossingTime(lv.l75, x, y, xNext, yNext);
        }
        if (lv.below(y, lv.l10)) {
            m.haveRise10 = true;
            m.rise10 = pscCrossingTime(lv.l10, x, y, xNext, yNext);
            if (m.haveRise90) m.riseTime = m.rise90 - m.rise10;
            return;
        }
    }
}

void pscMeasureDecay(const PscFrameBuffers& b, float dt, bool firstCrossing, const PscEvent& e,
                     PscEventMeasures& m) {
    const Levels lv(e);
    bool found75 = false, found50 = false, found10 = false, crossedBaseline = false;
    m.width75 = m.halfWidth = m.width10 = -1.0f;
    const int end = std::min(e.windowEnd, b.endIndex());
    for (int k = std::max(e.peakIndex, b.firstIndex() + 1); k < end; ++k) {
        const float y = b.current(k) - e.baseline;
        const float yPrev = b.current(k - 1) - e.baseline;
        const float x = static_cast<float>(k) * dt;
        const float xPrev = static_cast<float>(k - 1) * dt;
        if (lv.below(y, lv.l75) && !found75) {
            found75 = true;
            m.decay75 = pscCrossingTime(lv.l75, x, y, xPrev, yPrev);
            if (m.haveRise75) m.width75 = m.decay75 - m.rise75;
        }
        if (lv.below(y, lv.l50) && !found50) {
            found50 = true;
            m.decay50 = pscCrossingTime(lv.l50, x, y, xPrev, yPrev);
            if (m.haveRise50) m.halfWidth = m.decay50 - m.rise50;
        }
        bool last = false;
        if (lv.s * y < 0.0f) {
            // The current went past the baseline: the widths found so far are final.
            crossedBaseline = true;
            if (m.halfWidth > 0.0f) found50 = true;
            if (m.width10 > 0.0f) {
                found10 = true;
                last = true;
            }
        }
        if (lv.above(y, lv.l50) && found50 && !crossedBaseline && !firstCrossing) found50 = false;
        if (lv.below(y, lv.l10) && !found10) {
            found10 = true;
            m.decay10 = pscCrossingTime(lv.l10, x, y, xPrev, yPrev);
            if (m.haveRise10) m.width10 = m.decay10 - m.rise10;
            m.decay10Index = k;
        }
        if (lv.above(y, lv.l10) && found10 && !crossedBaseline) found10 = false;
        if (last) return;
    }
}

float pscEventCharge(const PscFrameBuffers& b, float dt, const PscEvent& e, int decay10Index) {
    const int end = std::min(e.windowEnd, b.endIndex());
    double sum = 0.0;
    int added = 0;
    for (int k = std::max(e.triggerIndex, b.firstIndex()); k < end; ++k) {
        const float y = b.current(k) - e.baseline;
        if (decay10Index != kPscNoIndex && k > decay10Index && e.sign * y > 0.0f) break;
        sum += y;
        ++added;
    }
    if (added == 0) return -1.0f;
    return static_cast<float>(sum * dt);
}

bool pscEventWanted(const PscParameters& p, int frameNumber, const PscEvent& e) {
    char exported = 'N';
    if (e.type == 1) exported = p.exportType1;
    if (e.type == 2) exported = p.exportType2;
    if (e.type == 3) exported = p.exportType3;
    if (exported != 'Y') return false;
    if (!(e.sign * e.amplitude() >= p.minAmplitude)) return false;
    const std::int64_t position = static_cast<std::int64_t>(frameNumber - 1) * p.frameLength + e.triggerIndex;
    return position < p.timeMapLength;
}

bool pscStoreEvent(PscEventTable& table, const PscParameters& p, int frameNumber, const PscEvent& e,
                   const PscEventMeasures& m) {
    if (!pscEventWanted(p, frameNumber, e)) return false;
    const float dt = p.sampleInterval;
    const int position = p.rasterPeakTime == 'Y' ? e.peakIndex : e.triggerIndex;
    const std::int64_t absolute = static_cast<std::int64_t>(frameNumber - 1) * p.frameLength + position;
    const float eventTime = static_cast<float>(pscTimeMapEntry(p, absolute)) * dt;
    const int count = table.count();
    const bool full = (p.maxStoredEvents > 0 && count >= p.maxStoredEvents) ||
                      count >= std::numeric_limits<std::int32_t>::max() - 1;
    if (full) {
        // Kept so that the run can say from when on events were not stored.
        if (table.firstUnstoredMs < 0.0f) table.firstUnstoredMs = eventTime;
        return false;
    }
    const int n = count + 1;
    const auto row = static_cast<std::size_t>(n);
    table.reserveEventRow(row);
    table.setCount(n);
    table.at(kEventTime, row) = eventTime;
    table.at(kAmplitude, row) = e.amplitude();
    table.at(kRiseTime, row) = m.riseTime;
    table.at(kHalfWidth, row) = m.halfWidth;
    table.at(kWidth10, row) = m.width10;
    table.at(kCharge, row) = m.charge;
    table.at(kBaseline, row) = e.baseline;
    table.at(kWidth75, row) = m.width75;
    table.at(kSampleTime, row) = static_cast<float>(absolute) * dt;
    table.at(kPeakTime, row) = eventTime + static_cast<float>(e.peakIndex - e.triggerIndex) * dt;
    table.eventType[row] = static_cast<char>('0' + e.type);
    return true;
}

void pscFrameMeans(const PscParameters& p, const PscFrameBuffers& b, int frameNumber, PscEventTable& table) {
    if (p.framesAreEpisodes != 1) return;
    if (frameNumber < 0 || static_cast<std::size_t>(frameNumber) >= table.columns[kEpisodePreMean].size()) {
        return;
    }
    const auto row = static_cast<std::size_t>(frameNumber);
    const float dt = p.sampleInterval;
    const int frameLength = b.frameLength;
    const float ignored = p.ignorePeriod / dt;
    const int g = ignored > 0.0f ? pscWholePart(ignored) : 0;
    int preEnd = g, responseStart = g, responseEnd = g, postStart = g, postEnd = g;
    if (p.triggerDelay > 0.0f) {
        const int d = pscWholePart(p.triggerDelay / dt);
        preEnd = d;
        responseStart = d;
        if (p.directExcitationIgnore > 0.0f) {
            const int e = pscWholePart((p.triggerDelay + p.directExcitationIgnore) / dt);
            responseStart = e;
            table.at(kEpisodeDirectMean, row) = periodMean(b, d, e);
        }
        responseEnd = frameLength;
    }
    if (p.triggerDuration > 0.0f) {
        responseEnd = pscWholePart((p.triggerDelay + p.triggerDuration + p.directExcitationIgnore) / dt);
        postStart = responseEnd;
        postEnd = frameLength;
    }
    table.at(kEpisodePreMean, row) = periodMean(b, g, preEnd);
    table.at(kEpisodeResponseMean, row) = periodMean(b, responseStart, responseEnd);
    table.at(kEpisodePostMean, row) = periodMean(b, postStart, postEnd);
}

}  // namespace ephys
