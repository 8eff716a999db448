// Measurement and storage of PSC events: the interpolated crossings of the rise and the decay at
// 90, 75, 50 and 10 % of the amplitude, the rise time and the widths, the charge of isolated events,
// the decision whether an event enters the event table and its row there, and the mean currents of
// the periods of an episode. All of it works on the frame buffers of one frame, in frame indices.
#pragma once

#include <limits>

#include "psc/event_table.h"
#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr int kPscMaxStoredEvents = 63999;  // rows 1 .. 63999; row 0 holds the count
inline constexpr int kPscNoIndex = std::numeric_limits<int>::min();

// One event as the detector has found it.
struct PscEvent {
    int type = 1;          // 1 isolated, 2 cut short by the next event, 3 on a decay, 4 rejected
    int triggerIndex = 0;  // t0
    int onsetIndex = 0;
    int peakIndex = 0;
    int windowEnd = 0;      // the next trigger, or the end of the frame buffer when there is none
    float sign = 1.0f;      // +1, or -1 for a negative trigger level
    float baseline = 0.0f;  // B, pA
    float peak = 0.0f;      // P, pA: the averaged peak current
    float amplitude() const { return peak - baseline; }
};

// What is measured on an event. Times are in ms from frame index 0; -1 marks a measurement that
// could not be made.
struct PscEventMeasures {
    float riseTime = -1.0f;
    float halfWidth = -1.0f;
    float width10 = -1.0f;
    float width75 = -1.0f;
    float charge = -1.0f;
    // Crossings of the rise (nearest the peak for 75 and 50 %, the earliest 90 % crossing after
    // the 10 % one) and of the decay, with flags telling which were found.
    float rise90 = 0.0f, rise75 = 0.0f, rise50 = 0.0f, rise10 = 0.0f;
    bool haveRise90 = false, haveRise75 = false, haveRise50 = false, haveRise10 = false;
    float decay75 = 0.0f, decay50 = 0.0f, decay10 = 0.0f;
    int decay10Index = kPscNoIndex;  // the sample at which the decay went below 10 %
};

// The whole part of a sample count toward zero, kept inside the range of int (a count from a huge
// time).
int pscWholePart(float x);

// Time at which a level is crossed between (x0, y0) and (x1, y1), by linear interpolation; the
// midpoint when both values are equal.
float pscCrossingTime(float level, float x0, float y0, float x1, float y1);

// The rise side: walks back from the peak, fills the rise crossings and riseTime.
void pscMeasureRise(const PscFrameBuffers& buffers, float sampleInterval, const PscEvent& event,
                    PscEventMeasures& m);

// The decay side: walks from the peak up to the event's window end, fills the decay crossings,
// width75, halfWidth and width10. With firstCrossing false the half width ends at the last 50 %
// crossing before the current reaches the baseline, otherwise at the first.
void pscMeasureDecay(const PscFrameBuffers& buffers, float sampleInterval, bool firstCrossing,
                     const PscEvent& event, PscEventMeasures& m);

// Charge (pA.ms) of the current above the baseline from the trigger up to the window end; past
// the 10 % decay crossing the walk ends at the first sample on the event's side of the baseline.
// -1 when no sample was added.
float pscEventCharge(const PscFrameBuffers& buffers, float sampleInterval, const PscEvent& event,
                     int decay10Index);

// Whether the event goes into the table: its type is exported, its amplitude in the trigger
// direction reaches "Events must be larger than X pA", and its trigger lies within the recording.
bool pscEventWanted(const PscParameters& p, int frameNumber, const PscEvent& event);

// Stores a wanted event as the next row while there is room. True when a row was written.
bool pscStoreEvent(PscEventTable& table, const PscParameters& p, int frameNumber, const PscEvent& event,
                   const PscEventMeasures& m);

// Episodic recordings only: the mean current before the stimulus, during the direct excitation,
// during the response and after it, in the per-frame columns at row frameNumber.
void pscFrameMeans(const PscParameters& p, const PscFrameBuffers& buffers, int frameNumber,
                   PscEventTable& table);

}  // namespace ephys
