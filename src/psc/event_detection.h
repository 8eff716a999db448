// The PSC detector: finds the postsynaptic currents of one frame. It scans the dI/dt for slopes
// beyond the trigger level that last the trigger duration, rejects triggers next to fast opposite
// transients, and for every trigger inside the frame finds the onset, the baseline, the peak and
// the decay, types the event (1 isolated, 2 cut short by the next event, 3 riding on a decay,
// 4 rejected by its inverted slopes or its half width), measures and stores it, draws it and, in
// the event-by-event mode, pauses after it.
// With a model detector chosen (PscParameters::detector, psc/model_detection.h) the onsets it
// lists take the place of the triggers, and each is measured from its onset on in the same way.
//
// The detector's carried state lives in PscParameters (carriedBaseline, baselineValid,
// triggerState) and links the events of consecutive frames. The run driver clears
// detectorStarted at the start of every recording; the detector then starts afresh.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "params/messages.h"
#include "params/progress.h"
#include "psc/event_table.h"
#include "psc/frame_buffers.h"
#include "psc/psc_display.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr int kPscMaxTriggers = 6000;  // triggers listed per frame

// Sample counts derived from the time parameters (the sample interval is dt).
struct PscSampleCounts {
    float sign = 1.0f;   // s: +1, or -1 for a negative "Diff. trigger ([+-]pa/ms)"
    int trigger = 0;     // N_trig: whole part of "Duration of trigger (ms)" / dt
    int diff = 0;        // N_diff: rnd("Differentiation window (ms)" / dt) + 1
    int type3Base = 0;   // N_b3: "Type III baseline (ms)"
    int type12Base = 0;  // N_b12: "Type I or II baseline (ms)"
    int average = 0;     // N_avg: "Average peak over X time (ms)"
    int peak = 0;        // N_peak: "Search for peak over X time (ms)"
    int dead = 0;        // N_dead: "Dead time for type I (ms)"
};

// The model detector's settings of a run: kinetics, threshold, and the direction of the events
// from the sign of "Diff. trigger ([+-]pa/ms)".
PscModelSpec pscModelSpecOf(const PscParameters& p);

// rnd(x): the whole part of x + 0.5, truncated toward zero (also for negative x).
int pscRound(float x);

PscSampleCounts pscSampleCounts(const PscParameters& p);

// The trigger scan over the whole frame buffer (frame indices -200 .. frameLength + 2047),
// continuing from p.triggerState. Writes the trigger frame indices in increasing order to `list`
// and returns how many were listed; a confirmed trigger that finds the list full is reported
// ("Not enough room in detection array!") and not listed. Blanked triggers are shown on `display`
// when it is not null.
int pscScanTriggers(PscParameters& p, const PscFrameBuffers& buffers, const PscSampleCounts& n,
                    std::span<int> list, PscDisplay* display, MessageSink& messages);

// Mean current around frame index k for the peak search: the samples k - nAvg/2 .. k + nAvg/2
// (integer division, so an even nAvg takes nAvg + 1 samples), only those after the buffer's first
// position, divided by the number of samples used.
float pscPeakAverage(const PscFrameBuffers& buffers, int frameIndex, int nAvg);

// The live label of the newest stored event, "#n:Typet,time s,amplitude pA,rise rs,half width wd,
// width10 w90", with "<" in front, or ">" behind for a right-aligned label. Written into `out`.
std::string_view pscEventLabel(const PscEventTable& table, bool rightAligned, std::span<char> out);

// The line that says a recording had more events than the run stores: the file, the events kept
// and the recording time from which events were not stored. Empty when every event was stored.
std::string pscUnstoredEventsLine(const std::string& fileName, const PscEventTable& table);

// Detects, measures and stores the events of one frame (frame number from 1), then the per-frame
// means of episodic recordings. `display` may be null; it is used only while "Enable Sweep Display"
// is Y. Nothing is allocated while the event table has room (a lifted cap grows it).
void pscDetectFrame(PscParameters& p, PscEventTable& table, PscFrameBuffers& buffers, int frameNumber,
                    PscDisplay* display, ProgressRecord& progress, MessageSink& messages);

}  // namespace ephys
