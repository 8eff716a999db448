#include "psc/event_detection.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "params/c_numbers.h"
#include "psc/event_measurement.h"
#include "psc/recording_frames.h"
#include "psc/sweep_control.h"

namespace ephys {

namespace {

// Mean current over frame indices [from, to), which the caller keeps inside the buffer.
float meanCurrent(const PscFrameBuffers& b, int from, int to) {
    double sum = 0.0;
    for (int k = from; k < to; ++k) sum += b.current(k);
    return static_cast<float>(sum / (to - from));
}

// The first sample around a confirmed trigger whose slope goes the opposite way beyond the
// blanking threshold, or kPscNoIndex.
int blankingHit(const PscParameters& p, const PscFrameBuffers& b, float s, int start) {
    const float dt = p.sampleInterval;
    const int from = std::max(pscRound(static_cast<float>(start) - p.blankBefore / dt), 0);
    const int to = std::min(pscRound(static_cast<float>(start) + p.blankAfter / dt), b.endIndex());
    for (int i = from; i < to; ++i) {
        if (-s * b.didt(i) > p.negTransientThreshold) return i;
    }
    return kPscNoIndex;
}

// Everything one frame's per-trigger analysis needs.
struct FrameWork {
    PscParameters& p;
    PscEventTable& table;
    const PscFrameBuffers& b;
    int frameNumber;
    PscDisplay* display;
    ProgressRecord& progress;
    const PscSampleCounts& n;
    std::span<const int> triggers;  // all listed triggers, those past the frame included
    bool model = false;             // the triggers are onsets listed by a model detector

    PscDisplay* shown() const {
        return display != nullptr && p.enableSweepDisplay == 'Y' ? display : nullptr;
    }
    bool inFrame(int k) const { return k >= 0 && k < b.frameLength; }
};

// Onset of the event triggered at t0: the sample where the slope last fell below the start level
// before the trigger (the sample after it when the slope was inverted there).
int findOnset(const FrameWork& w, int t0) {
    const float s = w.n.sign;
    const float level = w.p.diffTrigger * w.p.triggerLevelPercent / 100.0f * s;
    int onset = kPscNoIndex;
    const int low = std::max(t0 - 2 * w.n.type3Base, w.b.firstIndex() - 1);
    for (int k = std::min(t0 + 1, w.b.endIndex() - 1); k > low; --k) {
        const float x = s * w.b.didt(k);
        if (x < level) {
            onset = (x < 0.0f && level >= 0.0f) ? k + 1 : k;
            break;
        }
    }
    if (onset == kPscNoIndex || onset == 0) onset = std::max(t0 - w.n.diff, w.b.firstIndex());
    return onset;
}

// Inverted-slope tests around the slope peak. False when the event is rejected.
bool passesInversionTests(const FrameWork& w, int slopePeak, float peakSlope, int onset) {
    const PscParameters& p = w.p;
    const float s = w.n.sign;
    const float dt = p.sampleInterval;
    const float amount = p.preBumpInvertedAmplitude;
    float limit = amount / 100.0f * s * peakSlope;
    if (p.invertedThresholdMode == 'D') limit = amount / 100.0f * s * p.diffTrigger;
    if (p.invertedThresholdMode == 'A') limit = amount;
    auto inverted = [&](int i) { return -s * w.b.didt(i) > limit; };
    PscDisplay* d = w.shown();
    const int from = std::max(slopePeak, 0);
    const int end = w.b.endIndex();
    bool keep = true;
    if (p.postRejectWindow != 0.0f) {
        const int to = std::min(pscRound(static_cast<float>(slopePeak) + p.postRejectWindow / dt), end);
        for (int i = from; i < to; ++i) {
            if (inverted(i)) {
                keep = false;
                if (d) d->postInversion(i, slopePeak);
                break;
            }
        }
    }
    if (p.preRejectWindow != 0.0f && keep) {
        const int to =
            std::max(pscRound(static_cast<float>(slopePeak) - p.preRejectWindow / dt), w.b.firstIndex() - 1);
        for (int i = std::min(from, end - 1); i > to; --i) {
            if (inverted(i)) {
                keep = false;
                if (d) d->preInversion(i, slopePeak, onset);
                break;
            }
        }
    }
    if (p.spikeletInvertTime != 0.0f) {
        // Only events whose slope inverts soon after its peak are kept.
        keep = false;
        const int stop = pscRound(static_cast<float>(slopePeak) + p.spikeletInvertTime / dt);
        for (int i = from; i < std::min(stop, end); ++i) {
            if (inverted(i)) {
                keep = true;
                if (d) d->spikeletFound(i);
                break;
            }
        }
        if (!keep && d) d->spikeletFailed(stop);
    }
    return keep;
}

// Analyses listed trigger j. False when the user cancelled the run during the pause after it.
bool analyseTrigger(FrameWork& w, int j) {
    PscParameters& p = w.p;
    const PscFrameBuffers& b = w.b;
    const PscSampleCounts& n = w.n;
    const float s = n.sign;
    const float dt = p.sampleInterval;
    const int first = b.firstIndex();
    const int end = b.endIndex();
    const int t0 = w.triggers[static_cast<std::size_t>(j)];
    const bool hasNext = static_cast<std::size_t>(j) + 1 < w.triggers.size();
    const int next = hasNext ? w.triggers[static_cast<std::size_t>(j) + 1] : end;

    PscEvent e;
    e.triggerIndex = t0;
    e.windowEnd = std::min(next, end);
    e.sign = s;

    // Type: isolated unless the previous event has not decayed; far enough from the previous
    // trigger it is isolated anyway.
    int type = p.baselineValid != 0 ? 1 : 3;
    if (p.maxPscDuration != 0.0f && j >= 1 &&
        static_cast<float>(t0 - w.triggers[static_cast<std::size_t>(j) - 1]) * dt > p.maxPscDuration) {
        type = 1;
    }
    const int initialType = type;

    // A model detector lists the onsets themselves.
    const int onset = w.model ? t0 : findOnset(w, t0);
    e.onsetIndex = onset;

    // Baseline before the onset; an empty window (a baseline time of less than half a sample)
    // takes the current at the onset.
    const int baseSamples = type == 3 ? n.type3Base : n.type12Base;
    const int b0 = std::max(onset - baseSamples, first);
    e.baseline = b0 + 1 <= onset ? meanCurrent(b, b0 + 1, onset + 1) : b.current(onset);
    if (type == 1) p.carriedBaseline = e.baseline;
    if (PscDisplay* d = w.shown()) d->eventBaseline(initialType, std::max(b0 + 1, 0), onset, e.baseline);

    // Peak of the averaged current and of the slope, from N_diff before the trigger.
    float peak = -s * 1e30f;
    float peakSlope = -s * 1e30f;
    int peakIndex = t0;
    int slopePeak = t0;
    for (int m = -n.diff; m < n.peak; ++m) {
        const int k = t0 + m;
        if (k < first) continue;
        if (k >= end) break;
        const float a = pscPeakAverage(b, k, n.average);
        if (s * a > s * peak) {
            peak = a;
            peakIndex = k;
        }
        if (s * b.didt(k) > s * peakSlope) {
            peakSlope = b.didt(k);
            slopePeak = k;
        }
        if (hasNext && k == next - n.average) break;
    }
    e.peak = peak;
    e.peakIndex = peakIndex;

    // Decay: complete when the averaged current comes back within "PSC decay complete" of the
    // carried baseline after the dead time; a next trigger before that makes the event type 2.
    const int decayAverage = std::max(n.average, 1);
    int decay = 0;
    for (int k = peakIndex; k < end - decayAverage; ++k) {
        const float a = meanCurrent(b, k, k + decayAverage);
        if (s * (a - p.carriedBaseline) < p.decayComplete) decay = 1;
        if (decay == 1 && k - t0 > n.dead) decay = 2;
        if (hasNext && k > next) {
            if (type != 3) type = 2;
            decay = 3;
            p.baselineValid = 0;
        }
        if (decay == 2) {
            p.baselineValid = 1;
            const int to = std::min(next, end);
            if (k < to) {
                const float after = meanCurrent(b, k, to);
                if (after != 0.0f) p.carriedBaseline = after;
            }
        }
        if (decay >= 2) break;
    }

    e.type = type;
    PscEventMeasures m;
    pscMeasureRise(b, dt, e, m);
    pscMeasureDecay(b, dt, p.firstCrossingHalfWidth != 'N', e, m);

    if (p.preBumpInvertedAmplitude != 0.0f &&
        (p.spikeletInvertTime != 0.0f || p.postRejectWindow != 0.0f || p.preRejectWindow != 0.0f)) {
        if (!passesInversionTests(w, slopePeak, peakSlope, onset)) type = 4;
    }

    m.charge = type == 1 ? pscEventCharge(b, dt, e, m.decay10Index) : -1.0f;

    // A half width of -1 could not be measured (nor can one that is not a number); any other
    // value, 0 and below included, is held against the limit.
    const float h = p.halfWidthCriterion;
    if (h != 0.0f) {
        if (m.halfWidth == -1.0f || std::isnan(m.halfWidth)) type = 4;
        if (h > 0.0f && m.halfWidth < h) type = 4;
        if (h < 0.0f && m.halfWidth > -h) type = 4;
    }
    e.type = type;

    if (PscDisplay* d = w.shown()) {
        const int half = n.average / 2;
        if (w.inFrame(peakIndex - half) && w.inFrame(peakIndex + half)) {
            PscEventShape shape;
            shape.finalType = type;
            shape.baseline = e.baseline;
            shape.peak = e.peak;
            shape.peakIndex = peakIndex;
            shape.onsetIndex = onset;
            shape.averageFrom = peakIndex - half;
            shape.averageTo = peakIndex + half;
            shape.level10 = e.baseline + 0.1f * e.amplitude();
            shape.level50 = e.baseline + 0.5f * e.amplitude();
            shape.rise10Ms = m.rise10;
            shape.decay10Ms = m.decay10;
            shape.rise50Ms = m.rise50;
            shape.decay50Ms = m.decay50;
            shape.width10Ms = m.width10;
            shape.halfWidthMs = m.halfWidth;
            d->eventShape(shape);
        }
        d->triggerMark(type, onset, t0, p.diffTrigger, p.durationOfTrigger, w.inFrame(t0 + n.diff));
    }

    const bool stored = pscStoreEvent(w.table, p, w.frameNumber, e, m);

    // The label shows the event just stored; an event that was not stored gets none.
    PscDisplay* d = w.shown();
    if (stored && d != nullptr && p.liveStats == 'Y') {
        std::array<char, 400> text;
        const bool right = 2 * t0 >= b.frameLength;
        d->label(pscEventLabel(w.table, right, text), onset, j, right);
    }

    if (p.individualEvents == 'Y' && p.enableSweepDisplay == 'Y') {
        // A run with buttons waits here: the second line names this frame, not the last one.
        if (w.progress.buttonEvent) {
            w.progress.line2 = pscFrameEventLine(p, w.frameNumber, w.table.count());
            progressUpdate(w.progress);
        }
        if (pscSweepControl(true, p, w.progress) == 1) progressUpdate(w.progress);
        if (pscCancelled(w.progress)) return false;
    }
    return true;
}

}  // namespace

PscModelSpec pscModelSpecOf(const PscParameters& p) {
    PscModelSpec spec;
    spec.kind = p.detector;
    spec.riseMs = p.templateRiseMs;
    spec.decayMs = p.templateDecayMs;
    spec.sign = p.diffTrigger < 0.0f ? -1.0f : 1.0f;
    spec.threshold = p.detectionThreshold;
    spec.sampleIntervalMs = p.sampleInterval;
    return spec;
}

int pscRound(float x) {
    return pscWholePart(x + 0.5f);
}

PscSampleCounts pscSampleCounts(const PscParameters& p) {
    const float dt = p.sampleInterval;
    PscSampleCounts n;
    n.sign = p.diffTrigger < 0.0f ? -1.0f : 1.0f;
    n.trigger = pscWholePart(p.durationOfTrigger / dt);
    n.diff = pscWholePart(p.diffWindow / dt + 1.5f);
    n.type3Base = pscRound(p.type3Baseline / dt);
    n.type12Base = pscRound(p.type12Baseline / dt);
    n.average = pscRound(p.averagePeakTime / dt);
    n.peak = pscRound(p.peakSearchTime / dt);
    n.dead = pscRound(p.deadTimeType1 / dt);
    return n;
}

int pscScanTriggers(PscParameters& p, const PscFrameBuffers& b, const PscSampleCounts& n, std::span<int> list,
                    PscDisplay* display, MessageSink& messages) {
    const float s = n.sign;
    const float level = s * p.diffTrigger;
    const double rearm = 0.8 * level;
    auto inFrame = [&](int k) { return k >= 0 && k < b.frameLength; };
    int& state = p.triggerState;
    // A slope already beyond the level when the buffer begins counts from its first sample.
    int start = b.firstIndex();
    std::size_t listed = 0;
    for (int k = b.firstIndex(); k < b.endIndex(); ++k) {
        const float x = s * b.didt(k);
        if (state == 3 && x < rearm) state = 0;
        if (x > level) {
            if (state == 0) {
                start = k;
                state = 1;
            }
            if (state == 1 && k - start >= n.trigger) state = 2;
        } else if (state == 1) {
            state = 0;
        }
        if (state != 2) continue;
        if (listed == list.size()) {
            messages.errorBox("Not enough room in detection array!");
            state = 3;
            continue;
        }
        const int offending = blankingHit(p, b, s, start);
        if (offending != kPscNoIndex) {
            if (display != nullptr && inFrame(start) && inFrame(offending))
                display->blankedTrigger(start, offending);
            state = 0;
            continue;
        }
        if (start > 0) list[listed++] = start;
        state = 3;
    }
    return static_cast<int>(listed);
}

float pscPeakAverage(const PscFrameBuffers& b, int k, int nAvg) {
    const int half = nAvg / 2;
    double sum = 0.0;
    int used = 0;
    for (int i = k - half; i <= k + half; ++i) {
        if (i <= b.firstIndex() || i >= b.endIndex()) continue;
        sum += b.current(i);
        ++used;
    }
    return used > 0 ? static_cast<float>(sum / used) : b.current(k);
}

std::string pscUnstoredEventsLine(const std::string& fileName, const PscEventTable& table) {
    if (table.firstUnstoredMs < 0.0f) return {};
    return "File '" + fileName + "': the event table is full with " + std::to_string(table.count()) +
           " events; events from " + formatFixed(static_cast<double>(table.firstUnstoredMs) / 1000.0, 3) +
           " s of the recording on were not stored.";
}

std::string_view pscEventLabel(const PscEventTable& table, bool rightAligned, std::span<char> out) {
    if (out.empty()) return {};
    const auto row = static_cast<std::size_t>(std::max(table.count(), 0));
    char body[360];
    std::snprintf(
        body, sizeof body, "#%.0f:Type%c,%.3fs,%.0fpA,%.1frs,%.1fwd,%.1fw90",
        static_cast<double>(table.at(kEventTime, 0)), table.eventType[row],
        static_cast<double>(table.at(kEventTime, row) / 1000.0f),
        static_cast<double>(table.at(kAmplitude, row)), static_cast<double>(table.at(kRiseTime, row)),
        static_cast<double>(table.at(kHalfWidth, row)), static_cast<double>(table.at(kWidth10, row)));
    const int length = std::snprintf(out.data(), out.size(), rightAligned ? "%s>" : "<%s", body);
    if (length < 0) return {};
    return {out.data(), std::min(static_cast<std::size_t>(length), out.size() - 1)};
}

void pscDetectFrame(PscParameters& p, PscEventTable& table, PscFrameBuffers& buffers, int frameNumber,
                    PscDisplay* display, ProgressRecord& progress, MessageSink& messages) {
    if (p.detectorStarted == 0) {
        p.carriedBaseline = 1e30f;
        p.baselineValid = 1;
        p.triggerState = 0;
        p.modelWork.noiseFrames = 0;
        p.detectorStarted = 1;
    }
    if (frameNumber == 1) p.triggerState = 0;

    const PscSampleCounts n = pscSampleCounts(p);
    auto shown = [&]() { return display != nullptr && p.enableSweepDisplay == 'Y' ? display : nullptr; };
    if (PscDisplay* d = shown()) d->frameStart(frameNumber, buffers.frameLength, p.diffTrigger);

    std::array<int, kPscMaxTriggers> triggers;
    const bool model = p.detector != PscDetectorKind::Slope;
    int listed = 0;
    if (model) {
        PscModelSpec spec = pscModelSpecOf(p);
        // Recorded samples of this frame's buffer: the frame's own and its neighbours', up to
        // the recording's last sample.
        const std::int64_t start = static_cast<std::int64_t>(frameNumber - 1) * buffers.frameLength;
        const std::int64_t recorded = p.timeMapLength / std::max<std::int64_t>(p.channelCount, 1);
        spec.firstValid = static_cast<int>(std::max<std::int64_t>(-start, buffers.firstIndex()));
        spec.validEnd = static_cast<int>(std::clamp<std::int64_t>(recorded - start, 0, buffers.endIndex()));
        if (p.humHz != 0.0f &&
            pscRemoveHum(pscHumSpecOf(p, buffers, frameNumber), buffers.hum, buffers.currentData, p.humWork))
            pscDifferentiate(buffers, p);
        listed = pscModelScan(spec, buffers, triggers, p.modelWork);
        p.triggerState = 0;
    } else {
        listed = pscScanTriggers(p, buffers, n, triggers, shown(), messages);
    }
    if (PscDisplay* d = shown(); d != nullptr && p.carriedBaseline < 1e29f)
        d->carriedBaseline(p.carriedBaseline);

    // Triggers past the frame are analysed with the next frame; here they only end the searches
    // of the last event of this frame.
    int working = listed;
    for (int j = 0; j < listed; ++j) {
        if (triggers[static_cast<std::size_t>(j)] > buffers.frameLength - 1) {
            working = j;
            break;
        }
    }
    if (working == 0) {
        p.triggerState = 0;
        p.baselineValid = 1;
    }
    FrameWork work{
        p,       table,    buffers, frameNumber,
        display, progress, n,       std::span<const int>(triggers.data(), static_cast<std::size_t>(listed)),
        model};
    for (int j = 0; j < working; ++j) {
        if (!analyseTrigger(work, j)) break;
    }
    pscFrameMeans(p, buffers, frameNumber, table);
}

}  // namespace ephys
