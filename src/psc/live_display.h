// psctrawl's live display: each analysed frame as two stacked panels, the current above and its
// dI/dt below, drawn through the plotting library into the main window's plot device, and the
// detector's marks on them (trigger level, baselines, event shapes coloured by event type, blanked
// and rejected triggers, the label of the newest stored event).
//
// The frame is drawn once before the detector looks at it; the panels' vertical transforms are
// saved in PscParameters (traceScaleY, traceOffsetY), so the marks can be placed on either panel
// whichever one the device's transform was last set for. Times on the horizontal axis are
// frame-relative, in ms (frame index x sampleInterval), the same times the detector measures in.
#pragma once

#include <string_view>
#include <vector>

#include "plot/plot_device.h"
#include "psc/frame_buffers.h"
#include "psc/psc_display.h"
#include "psc/psc_parameters.h"

namespace ephys {

// Reusable memory of the frame drawing: the time of every frame sample as a float, kept from
// frame to frame so that drawing a frame allocates nothing once the longest frame was seen.
struct PscFrameDrawing {
    std::vector<float> times;
};

// At the start of each recording: one plot cell filling the window; axes drawn when "Axes" = Y.
void pscDisplayStart(PlotDevice& device, PscParameters& p);

// Draws one frame: the current in the upper panel, its dI/dt in the lower one (drawn first), their
// axes (time axis on the lower panel only), zero lines and calibration bars, and saves each
// panel's vertical transform in p. With clear the window is cleared first. With "Enable Sweep
// Display" other than Y only the clear is done. The frame fractions of the device are restored.
void pscDrawFrame(const PscFrameBuffers& buffers, PscParameters& p, bool clear, PlotDevice& device,
                  PscFrameDrawing& scratch);
// The same with memory of its own for this one frame.
void pscDrawFrame(const PscFrameBuffers& buffers, PscParameters& p, bool clear, PlotDevice& device);

// The detector's marks drawn on the panels of the last frame drawn. Values are placed through the
// panel transforms saved in the parameters, times through the device's horizontal transform.
class PscLiveDisplay final : public PscDisplay {
  public:
    PscLiveDisplay(PlotDevice& device, const PscParameters& params) : d_(device), p_(params) {}

    // Draws the frame (pscDrawFrame) and takes its buffers as the ones the marks refer to.
    void drawFrame(const PscFrameBuffers& buffers, PscParameters& p, bool clear);
    // The buffers of the frame being analysed (the dI/dt values of the slope marks come from them);
    // without buffers the marks that need a sample value are left out.
    void setFrameBuffers(const PscFrameBuffers* buffers) { buffers_ = buffers; }

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
    int xOfMs(double ms) const;
    int xOfIndex(int frameIndex) const;
    int yOf(std::size_t trace, float value) const;
    int frameLeftPx() const;
    int frameRightPx() const;
    int frameTopPx() const;
    int frameBottomPx() const;
    bool inFrame(int frameIndex) const;
    // A circle around the dI/dt at a frame index inside the frame, in the current colour.
    void slopeCircle(int frameIndex, float radius);
    void horizontal(std::size_t trace, float value, int x1, int x2);

    PlotDevice& d_;
    const PscParameters& p_;
    const PscFrameBuffers* buffers_ = nullptr;
    int frameLength_ = 0;
    PscFrameDrawing scratch_;
};

}  // namespace ephys
