// Pausing and display toggles of a PSC run, driven by the progress box's buttons: "&OK",
// "&Swps on", "&Epis on", "&Display" (the four extra buttons) and "&Cancel".
#pragma once

#include <string>

#include "params/progress.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr int kPscButtonOk = kProgressExtraButton1;            // 33004
inline constexpr int kPscButtonSweeps = kProgressExtraButton1 + 1;    // 33005 "&Swps on"
inline constexpr int kPscButtonEpisodes = kProgressExtraButton1 + 2;  // 33006 "&Epis on"
inline constexpr int kPscButtonDisplay = kProgressExtraButton1 + 3;   // 33007 "&Display"

// Reacts to the last pressed button and, when allowed to wait and a single-step mode is on,
// pauses until a button is pressed. Returns 1 when the user switched between the trace mode
// ("Individual traces ") and the episode mode ("Individual events"), else 0. A Cancel stays in
// pressedButton for the caller to end the run.
int pscSweepControl(bool mayWait, PscParameters& p, ProgressRecord& progress);

// Captions of the two mode buttons after the modes: "&Swps off" while the trace mode is on,
// "&Epis off" while the episode mode is on (and the trace mode, which wins, is off); otherwise
// "&Swps on" and "&Epis on".
void pscLabelStepButtons(const PscParameters& p, ProgressRecord& progress);

// The progress box's second line during detection: "Frame #  3, Event#12", after "Trace Mode: "
// or "Episode Mode: " in the stepping modes; the event number is the count so far + 1.
std::string pscFrameEventLine(const PscParameters& p, int frame, int eventCount);

// True when the last pressed button is Cancel.
inline bool pscCancelled(const ProgressRecord& progress) {
    return progress.pressedButton.load() == kProgressCancel;
}

}  // namespace ephys
