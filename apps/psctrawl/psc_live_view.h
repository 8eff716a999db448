// psctrawl's live display in its main window. The run's worker thread draws each frame and the
// detector's marks into the main window's offscreen image (DisplaySurface) through the plotting
// library; the GUI thread only paints that image. Every drawing step takes the image's lock for
// just that step, so the window stays responsive while the run pauses between frames or events.
#pragma once

#include <atomic>
#include <functional>

#include "plot/plot_device.h"
#include "psc/live_display.h"
#include "psc/psc_display.h"

namespace ephys {

class DisplaySurface;
struct PscRun;

class PscLiveView final : public PscDisplay {
  public:
    PscLiveView(DisplaySurface& surface, PscParameters& params);

    // Hooks the display into a run: the frame drawing at the start of each recording and before
    // each frame, and the detector's marks.
    void attach(PscRun& run);

    void frameStart(int frameNumber, int frameLength, float triggerLevel) override;
    void blankedTrigger(int triggerIndex, int offendingIndex) override;
    void carriedBaseline(float valuePa) override;
    void eventBaseline(int initialType, int fromIndex, int onsetIndex, float baselinePa) override;
    void postInversion(int offendingIndex, int slopePeakIndex) override;
    void preInversion(int offendingIndex, int slopePeakIndex, int onsetIndex) override;
    void spikeletFound(int inversionIndex) override;
    void spikeletFailed(int windowEndIndex) override;
    void eventShape(const PscEventShape& shape) override;
    void triggerMark(int finalType, int onsetIndex, int triggerIndex, float triggerLevel, float durationMs,
                     bool showDuration) override;
    void label(std::string_view text, int onsetIndex, int triggerInFrame, bool rightAligned) override;

  private:
    // Runs one drawing step on the image with the lock held, then asks for a repaint.
    void paint(const std::function<void()>& step);

    // The window was resized and its image scaled with it: the transforms follow, so that the marks
    // still to come for this frame land on the scaled picture.
    void followResize(int width, int height);

    DisplaySurface& surface_;
    PscParameters& params_;
    PlotDevice device_;
    PscLiveDisplay live_;
    bool blank_ = false;  // the image holds nothing but the cleared window (worker thread only)
};

}  // namespace ephys
