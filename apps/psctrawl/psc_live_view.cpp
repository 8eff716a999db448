#include "psctrawl/psc_live_view.h"

#include <algorithm>

#include <QImage>
#include <QPainter>

#include "psc/run_driver.h"
#include "shell/display_surface.h"
#include "shell/qt_canvas.h"

namespace ephys {

PscLiveView::PscLiveView(DisplaySurface& surface, PscParameters& params)
    : surface_(surface), params_(params), live_(device_, params) {
    device_.repaintWindow = [this] { surface_.requestRepaint(); };
}

void PscLiveView::attach(PscRun& run) {
    run.display = this;
    run.startDisplay = [this](PscParameters& p) { paint([this, &p] { pscDisplayStart(device_, p); }); };
    run.drawFrame = [this](const PscFrameBuffers& buffers, PscParameters& p) {
        // With the display switched off a frame only clears the window; once it is white, the
        // frames after it have nothing to change, and skipping them keeps a long recording fast.
        if (p.enableSweepDisplay != 'Y') {
            if (blank_) return;
            paint([this, &buffers, &p] { live_.drawFrame(buffers, p, true); });
            blank_ = true;
            return;
        }
        paint([this, &buffers, &p] { live_.drawFrame(buffers, p, true); });
    };
}

void PscLiveView::paint(const std::function<void()>& step) {
    surface_.withImage([&](QImage& image) {
        // The window may have been resized since the last step: the device follows the image.
        if (image.width() != device_.deviceWidth || image.height() != device_.deviceHeight)
            followResize(image.width(), image.height());
        QPainter painter(&image);
        QPainterCanvas canvas(painter);
        device_.canvas = &canvas;
        blank_ = false;
        // A new canvas knows none of the device's pens, brushes and fonts yet.
        plotReleaseObjects(device_);
        step();
        device_.canvas = nullptr;
    });
    surface_.requestRepaint();
}

void PscLiveView::followResize(int width, int height) {
    const float sx = static_cast<float>(width) / static_cast<float>(std::max(device_.deviceWidth, 1));
    const float sy = static_cast<float>(height) / static_cast<float>(std::max(device_.deviceHeight, 1));
    device_.scaleX *= sx;
    device_.offsetX *= sx;
    device_.scaleY *= sy;
    device_.offsetY *= sy;
    for (std::size_t i = 0; i < params_.traceScaleY.size(); ++i) {
        params_.traceScaleY[i] *= sy;
        params_.traceOffsetY[i] *= sy;
    }
    plotSetDeviceSize(device_, width, height);
}

void PscLiveView::frameStart(int frameNumber, int frameLength, float triggerLevel) {
    paint([&] { live_.frameStart(frameNumber, frameLength, triggerLevel); });
}
void PscLiveView::blankedTrigger(int triggerIndex, int offendingIndex) {
    paint([&] { live_.blankedTrigger(triggerIndex, offendingIndex); });
}
void PscLiveView::carriedBaseline(float valuePa) {
    paint([&] { live_.carriedBaseline(valuePa); });
}
void PscLiveView::eventBaseline(int initialType, int fromIndex, int onsetIndex, float baselinePa) {
    paint([&] { live_.eventBaseline(initialType, fromIndex, onsetIndex, baselinePa); });
}
void PscLiveView::postInversion(int offendingIndex, int slopePeakIndex) {
    paint([&] { live_.postInversion(offendingIndex, slopePeakIndex); });
}
void PscLiveView::preInversion(int offendingIndex, int slopePeakIndex, int onsetIndex) {
    paint([&] { live_.preInversion(offendingIndex, slopePeakIndex, onsetIndex); });
}
void PscLiveView::spikeletFound(int inversionIndex) {
    paint([&] { live_.spikeletFound(inversionIndex); });
}
void PscLiveView::spikeletFailed(int windowEndIndex) {
    paint([&] { live_.spikeletFailed(windowEndIndex); });
}
void PscLiveView::eventShape(const PscEventShape& shape) {
    paint([&] { live_.eventShape(shape); });
}
void PscLiveView::triggerMark(int finalType, int onsetIndex, int triggerIndex, float triggerLevel,
                              float durationMs, bool showDuration) {
    paint([&] {
        live_.triggerMark(finalType, onsetIndex, triggerIndex, triggerLevel, durationMs, showDuration);
    });
}
void PscLiveView::label(std::string_view text, int onsetIndex, int triggerInFrame, bool rightAligned) {
    paint([&] { live_.label(text, onsetIndex, triggerInFrame, rightAligned); });
}

}  // namespace ephys
