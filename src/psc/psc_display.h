// What the PSC detector shows while it works: the marks of the live display, in the detector's own
// terms (frame indices, values in pA and pA/ms, event types). The drawing of the two panels turns
// them into lines, circles and text; with no display attached (batch mode) nothing is drawn and
// nothing is paid for, since every call has an empty default body.
//
// The detector calls a display only while "Enable Sweep Display" is Y. A frame index counts samples
// from the frame's first sample; x(k) is the time k x sampleInterval. The detector has already
// applied every condition that the rules state in frame indices (a blanked trigger is reported only
// when it and its transient lie inside the frame, the event shape only when the peak averaging
// window does, ...); what remains for the drawing is pixel geometry. Single-sample marks (circles)
// are drawn only when their sample lies inside the frame, 0 .. frameLength - 1.
//
// Colours by event type: type + 1, so 2 for type 1, 3 for type 2, 4 for type 3 and 5 for a rejected
// event (type 4); blanked triggers and inverted-slope hits in colour 1; failed spikelet tests in 6.
#pragma once

#include <string_view>

namespace ephys {

// The measured shape of one event, drawn on the current panel in colour finalType + 1.
struct PscEventShape {
    int finalType = 1;      // 1, 2, 3, or 4 for a rejected event
    float baseline = 0.0f;  // B, pA
    float peak = 0.0f;      // P, pA: the averaged peak current
    int peakIndex = 0;      // frame index of the peak
    int onsetIndex = 0;     // frame index of the onset
    int averageFrom = 0;    // the peak averaging window, frame indices, both ends included
    int averageTo = 0;
    float level10 = 0.0f;    // pA: B + 10 % of the amplitude
    float level50 = 0.0f;    // pA: B + 50 % of the amplitude
    float rise10Ms = 0.0f;   // crossing times in ms from frame index 0
    float decay10Ms = 0.0f;  // (meaningful when width10Ms > 0)
    float rise50Ms = 0.0f;
    float decay50Ms = 0.0f;  // (meaningful when halfWidthMs > 0)
    float width10Ms = -1.0f;
    float halfWidthMs = -1.0f;
};

class PscDisplay {
  public:
    virtual ~PscDisplay() = default;

    // A frame's detection begins: a horizontal line at the trigger level (pA/ms, signed) across
    // the dI/dt panel.
    virtual void frameStart(int /*frameNumber*/, int /*frameLength*/, float /*triggerLevel*/) {}

    // A confirmed trigger was rejected because the dI/dt at offendingIndex went the opposite way
    // beyond the blanking threshold: a line on the dI/dt panel from the offending sample to the
    // trigger, a cross (+-5 by +-7 pixels) at the trigger, a circle of 5 pixels at the offending
    // sample, all in colour 1. Both indices lie inside the frame.
    virtual void blankedTrigger(int /*triggerIndex*/, int /*offendingIndex*/) {}

    // After the trigger scan, when a baseline is carried: a horizontal line at that current across
    // the current panel.
    virtual void carriedBaseline(float /*valuePa*/) {}

    // An event's baseline B, in colour initialType + 1, on the current panel from the first sample
    // of its baseline window (at least frame index 0) to the onset.
    virtual void eventBaseline(int /*initialType*/, int /*fromIndex*/, int /*onsetIndex*/,
                               float /*baselinePa*/) {}

    // Inverted slopes around an event's slope peak, on the dI/dt panel.
    // Post-rejection: circles of 5 pixels at the offending sample and at the slope peak, colour 1.
    virtual void postInversion(int /*offendingIndex*/, int /*slopePeakIndex*/) {}
    // Pre-rejection: a circle of 6 pixels at the offending sample and one of 5 at the slope peak,
    // colour 1, and the text "PreInvThrReject" 30 pixels below the top of the plot frame at the
    // onset's time.
    virtual void preInversion(int /*offendingIndex*/, int /*slopePeakIndex*/, int /*onsetIndex*/) {}
    // The spikelet test found its inversion: a circle of 5 pixels there, colour 1.
    virtual void spikeletFound(int /*inversionIndex*/) {}
    // The spikelet test found none: a circle of 5 pixels in colour 6 at the end of its window.
    virtual void spikeletFailed(int /*windowEndIndex*/) {}

    // The event's peak and widths, called only when the peak averaging window lies inside the frame:
    // the 10 % line from decay10Ms back to rise10Ms (when width10Ms > 0 and the decay crossing's
    // pixel lies left of the window's right edge), the same at 50 % (when halfWidthMs > 0), the peak
    // value over the averaging window; then dashed: a vertical line at the peak from B to P and a
    // horizontal line at B from the peak back to the onset.
    virtual void eventShape(const PscEventShape& /*shape*/) {}

    // The trigger, in colour finalType + 1: a vertical line at the onset over the whole plot frame;
    // with showDuration, a horizontal line on the dI/dt panel at the trigger level from the trigger
    // to the trigger plus durationMs, and at that end a vertical line from 0 to twice the level.
    virtual void triggerMark(int /*finalType*/, int /*onsetIndex*/, int /*triggerIndex*/,
                             float /*triggerLevel*/, float /*durationMs*/, bool /*showDuration*/) {}

    // The measurements of the newest stored event, ready to print (15-point text, vertically
    // centred) at the onset's time, (triggerInFrame + 2) x 30 pixels below the top of the plot frame;
    // right-aligned for a trigger in the second half of the frame, else left-aligned. The window is
    // repainted at once.
    virtual void label(std::string_view /*text*/, int /*onsetIndex*/, int /*triggerInFrame*/,
                       bool /*rightAligned*/) {}
};

}  // namespace ephys
