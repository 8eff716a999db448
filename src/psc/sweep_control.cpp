#include "psc/sweep_control.h"

#include <cstdio>

namespace ephys {

void pscLabelStepButtons(const PscParameters& p, ProgressRecord& progress) {
    const bool traces = p.individualTraces == 'Y';
    progress.extraCaptions[2] = p.individualEvents == 'Y' && !traces ? "&Epis off" : "&Epis on";
    progress.extraCaptions[1] = traces ? "&Swps off" : "&Swps on";
}

std::string pscFrameEventLine(const PscParameters& p, int frame, int eventCount) {
    std::string prefix;
    if (p.individualTraces == 'Y') prefix = "Trace Mode: ";
    if (p.individualEvents == 'Y') prefix = "Episode Mode: ";
    char text[96];
    std::snprintf(text, sizeof text, "Frame #%3d, Event#%d", frame, eventCount + 1);
    return prefix + text;
}

int pscSweepControl(bool mayWait, PscParameters& p, ProgressRecord& progress) {
    if (progress.pressedButton.load() == kPscButtonDisplay) {
        p.enableSweepDisplay = p.enableSweepDisplay == 'Y' ? 'N' : 'Y';
        progress.pressedButton.store(0);
    }
    if (p.enableSweepDisplay != 'Y') return 0;
    const bool waits =
        mayWait && (p.individualTraces == 'Y' || p.individualEvents == 'Y') && progress.buttonEvent;
    int result = 0;
    for (;;) {
        if (waits) progress.buttonEvent->wait();
        const int button = progress.pressedButton.load();
        bool stop = !waits;
        if (button == kPscButtonOk) {
            progress.pressedButton.store(0);
            stop = true;
        } else if (button == kProgressCancel) {
            stop = true;
        } else if (button == kPscButtonSweeps) {
            result = 1;
            if (p.individualTraces == 'N') {
                p.individualTraces = 'Y';
                p.individualEvents = 'N';
            } else {
                p.individualTraces = 'N';
            }
        } else if (button == kPscButtonEpisodes) {
            result = 1;
            if (p.individualEvents == 'N') {
                p.individualEvents = 'Y';
                p.individualTraces = 'N';
            } else {
                p.individualEvents = 'N';
            }
        } else if (button == kPscButtonDisplay) {
            // Display toggled while paused: take it at once.
            p.enableSweepDisplay = p.enableSweepDisplay == 'Y' ? 'N' : 'Y';
            progress.pressedButton.store(0);
            if (p.enableSweepDisplay != 'Y') stop = true;
        }
        if (result == 1) {
            if (progress.pressedButton.load() != kProgressCancel) progress.pressedButton.store(0);
            pscLabelStepButtons(p, progress);
            ++progress.focusRequests;
            progressLayoutButtons(progress);
            return 1;
        }
        if (stop) return result;
    }
}

}  // namespace ephys
