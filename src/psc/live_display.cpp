#include "psc/live_display.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "params/number_format.h"
#include "plot/plot_axes.h"

namespace ephys {

namespace {

// Palette indices of the marks that do not follow an event type.
constexpr int kTraceColor = 0;      // traces and calibration bars
constexpr int kReferenceColor = 8;  // trigger level and carried baseline: grey, behind the events
constexpr int kSlopeMarkColor = 1;  // blanked triggers and inverted slopes
constexpr int kSpikeletFailColor = 6;

// Gap between two panels, in fractions of the window height.
constexpr float kPanelGap = 0.13f;
constexpr float kNarrowPanelGap = 0.015f;  // with more than 7 panels

// Text of the panels (tick labels, titles) and of the detector's notes: horizontal, size class
// -0.3 (9.8 points). Calibration labels are written a size larger.
constexpr float kFrameTextClass = -0.3f;
constexpr float kLabelPoints = 15.0f;
constexpr int kLabelStep = 30;  // pixels between the label lines under the frame's top

float wholePart(double x) {
    return static_cast<float>(std::trunc(x));
}

// The unit of an axis title: the text between "(" and ")", or the whole title without "(".
std::string_view titleUnit(std::string_view title) {
    const std::size_t open = title.find('(');
    if (open == std::string_view::npos) return title;
    std::string_view unit = title.substr(open + 1);
    const std::size_t close = unit.find(')');
    return close == std::string_view::npos ? unit : unit.substr(0, close);
}

// World y of a height fraction (from the bottom) of the target, through the current transform.
float worldYOfFraction(const PlotDevice& d, float fraction) {
    const float device = (1.0f - fraction) * d.heightF;
    return (device - d.offsetY) / d.scaleY;
}

// Zero lines of one panel, dashed in the axis colour: time 0 when it lies strictly inside the time
// range, value 0 when it lies strictly inside the display limits.
void drawZeroLines(PlotDevice& d, float t0, float t1, float min, float max) {
    const bool vertical = t0 < 0.0f && 0.0f < t1;
    const bool horizontal = min < 0.0f && 0.0f < max;
    if (!vertical && !horizontal) return;
    plotSetColor(d, d.axisColor);
    plotSetLineStyle(d, kPenDash, 0, 0);
    const int left = plotRound(d.frameLeft * d.widthF);
    const int right = plotRound(d.frameRight * d.widthF);
    const int top = plotRound((1.0f - d.frameTop) * d.heightF);
    const int bottom = plotRound((1.0f - d.frameBottom) * d.heightF);
    if (vertical) {
        const int x = plotDeviceX(d, 0.0f);
        plotSegmentDevice(d, x, top, x, bottom);
    }
    if (horizontal) {
        const int y = plotDeviceY(d, 0.0f);
        plotSegmentDevice(d, left, y, right, y);
    }
    plotSetLineStyle(d, kPenSolid, 0, 0);
}

// The calibration bar of one panel: a horizontal arm of a fifth of the time range and a vertical
// arm of a fifth of the display range, with round lengths, at one of 25 places (4 columns across
// the time range, rows a fifth of 0.95 of the panel height apart from its top).
void drawCalibrationBar(PlotDevice& d, int position, float t0, float t1, float min, float max,
                        std::string_view title) {
    double xLength = 0.0;
    const std::string xLabel = formatEngineering("ms", (t1 - t0) / 5.0, 1, xLength);
    double yLength = 0.0;
    const std::string yLabel = formatEngineering(titleUnit(title), (max - min) / 5.0, 1, yLength);

    const int column = (position - 1) % 4;
    const int row = (position - 1) / 4;
    const double left = t0 + column * static_cast<double>(t1 - t0) / 4.0;
    const float x0 = wholePart(left);
    const float x1 = wholePart(left + xLength);
    const float yTop = worldYOfFraction(d, d.frameTop);
    const float yBottom = worldYOfFraction(d, d.frameBottom);
    const double step = 0.95 * (yTop - yBottom) / 5.0;
    const float y0 = wholePart(yTop - row * step - yLength);
    const float yEnd = static_cast<float>(y0 + yLength);

    const float xs[3] = {x0, x1, x1};
    const float ys[3] = {y0, y0, yEnd};
    plotSetColor(d, kTraceColor);
    plotPolyline(d, xs, ys, 3);

    plotSetTextAlign(d, 1, 2);
    plotSetTextStyle(d, 0, 0.0f);
    plotText(d, static_cast<float>(x0 + xLength / 2.0), static_cast<float>(y0 - yLength / 5.0), xLabel);
    plotSetTextStyle(d, 1, 0.0f);
    plotText(d, static_cast<float>(x1 + xLength / 20.0), static_cast<float>(y0 + yLength / 2.0), yLabel);
    // Horizontal again, at the panels' size, so that the axes of the next panel look like these.
    plotSetTextStyle(d, 0, kFrameTextClass);
}

}  // namespace

void pscDisplayStart(PlotDevice& device, PscParameters& p) {
    plotLayoutCell(device, 1, 1, 0);
    device.showAxes = p.axes == 'Y' ? 1 : 0;
}

void pscDrawFrame(const PscFrameBuffers& b, PscParameters& p, bool clear, PlotDevice& d,
                  PscFrameDrawing& scratch) {
    d.frameLeft = 0.13f;
    d.backgroundColor = 15;
    d.textColor = 0;
    d.axisColor = 0;
    const float top = d.frameTop;
    const float bottom = d.frameBottom;
    const std::uint8_t showAxes = d.showAxes;
    if (clear) plotClear(d);

    const int n = std::clamp(p.traceCount, 1, static_cast<int>(p.traceScaleY.size()));
    const float h = top - bottom;
    const float gap = n > 7 ? kNarrowPanelGap : kPanelGap;
    const float panel = (h - static_cast<float>(n - 1) * gap) / static_cast<float>(n);
    if (p.axes == 'N') d.showAxes = 0;
    // Both panels' axes in the text style the frame ends with, the first frame of a file included.
    plotSetTextStyle(d, 0, kFrameTextClass);

    const int length = std::clamp(b.frameLength, 0, static_cast<int>(b.frameTimes.size()));
    const float t0 = length > 0 ? wholePart(b.frameTimes[0]) : 0.0f;
    const float t1 = length > 0 ? wholePart(b.frameTimes[static_cast<std::size_t>(length - 1)]) : 0.0f;
    if (p.enableSweepDisplay == 'Y') {
        scratch.times.resize(static_cast<std::size_t>(length));
        for (std::size_t k = 0; k < scratch.times.size(); ++k)
            scratch.times[k] = static_cast<float>(b.frameTimes[k]);
    }

    for (int i = n - 1; i >= 0; --i) {
        d.frameBottom = static_cast<float>(n - i - 1) * h / static_cast<float>(n) + bottom;
        d.frameTop = d.frameBottom + panel;
        if (p.enableSweepDisplay != 'Y') continue;
        const auto trace = static_cast<std::size_t>(i);
        const bool current = trace == kCurrentTrace;
        const float max = p.maxValues[trace];
        const float min = p.minValues[trace];
        const std::string& title = current ? p.channelTitle : p.derivativeTitle;

        if (i == n - 1) plotAxis(d, t0, t1, 'X', 'N', "TIME (ms)");
        plotAxis(d, min, max, 'Y', 'N', title);
        if (p.zeroLines == 'Y') drawZeroLines(d, t0, t1, min, max);
        p.traceScaleY[trace] = d.scaleY;
        p.traceOffsetY[trace] = d.offsetY;

        const std::vector<float>& data = current ? b.currentData : b.didtData;
        const std::span<const float> values(data.data() + kFrameLead, static_cast<std::size_t>(length));
        plotSetColor(d, kTraceColor);
        plotPolyline(d, scratch.times, values, length);

        if (p.calibrationPosition > 0) drawCalibrationBar(d, p.calibrationPosition, t0, t1, min, max, title);
    }

    plotSetTextStyle(d, 0, kFrameTextClass);
    plotSetTextAlign(d, 0, 0);
    d.frameTop = top;
    d.frameBottom = bottom;
    d.showAxes = showAxes;
}

void pscDrawFrame(const PscFrameBuffers& buffers, PscParameters& p, bool clear, PlotDevice& device) {
    PscFrameDrawing scratch;
    pscDrawFrame(buffers, p, clear, device, scratch);
}

void PscLiveDisplay::drawFrame(const PscFrameBuffers& buffers, PscParameters& p, bool clear) {
    buffers_ = &buffers;
    frameLength_ = buffers.frameLength;
    pscDrawFrame(buffers, p, clear, d_, scratch_);
}

int PscLiveDisplay::xOfMs(double ms) const {
    return plotDeviceX(d_, static_cast<float>(ms));
}

int PscLiveDisplay::xOfIndex(int frameIndex) const {
    return xOfMs(frameIndex * static_cast<double>(p_.sampleInterval));
}

int PscLiveDisplay::yOf(std::size_t trace, float value) const {
    return plotRound(value * p_.traceScaleY[trace] + p_.traceOffsetY[trace]);
}

int PscLiveDisplay::frameLeftPx() const {
    return plotRound(d_.frameLeft * d_.widthF);
}
int PscLiveDisplay::frameRightPx() const {
    return plotRound(d_.frameRight * d_.widthF);
}
int PscLiveDisplay::frameTopPx() const {
    return plotRound((1.0f - d_.frameTop) * d_.heightF);
}
int PscLiveDisplay::frameBottomPx() const {
    return plotRound((1.0f - d_.frameBottom) * d_.heightF);
}

bool PscLiveDisplay::inFrame(int frameIndex) const {
    return frameIndex >= 0 && frameIndex < frameLength_;
}

void PscLiveDisplay::slopeCircle(int frameIndex, float radius) {
    if (buffers_ == nullptr || !inFrame(frameIndex) || frameIndex >= buffers_->frameLength) return;
    plotSetFill(d_, 0, 0, 1);
    plotCircleDevice(d_, xOfIndex(frameIndex), yOf(kDidtTrace, buffers_->didt(frameIndex)), radius);
}

void PscLiveDisplay::horizontal(std::size_t trace, float value, int x1, int x2) {
    const int y = yOf(trace, value);
    plotSegmentDevice(d_, x1, y, x2, y);
}

void PscLiveDisplay::frameStart(int /*frameNumber*/, int frameLength, float triggerLevel) {
    frameLength_ = frameLength;
    plotSetColor(d_, kReferenceColor);
    horizontal(kDidtTrace, triggerLevel, frameLeftPx(), frameRightPx());
}

void PscLiveDisplay::blankedTrigger(int triggerIndex, int offendingIndex) {
    if (buffers_ == nullptr || !inFrame(triggerIndex) || !inFrame(offendingIndex)) return;
    plotSetColor(d_, kSlopeMarkColor);
    const int xt = xOfIndex(triggerIndex);
    const int yt = yOf(kDidtTrace, buffers_->didt(triggerIndex));
    const int xo = xOfIndex(offendingIndex);
    const int yo = yOf(kDidtTrace, buffers_->didt(offendingIndex));
    plotSegmentDevice(d_, xo, yo, xt, yt);
    plotSegmentDevice(d_, xt - 5, yt - 7, xt + 5, yt + 7);
    plotSegmentDevice(d_, xt - 5, yt + 7, xt + 5, yt - 7);
    plotSetFill(d_, 0, 0, 1);
    plotCircleDevice(d_, xo, yo, 5.0f);
}

void PscLiveDisplay::carriedBaseline(float valuePa) {
    plotSetColor(d_, kReferenceColor);
    horizontal(kCurrentTrace, valuePa, frameLeftPx(), frameRightPx());
}

void PscLiveDisplay::eventBaseline(int initialType, int fromIndex, int onsetIndex, float baselinePa) {
    plotSetColor(d_, initialType + 1);
    horizontal(kCurrentTrace, baselinePa, xOfIndex(std::max(fromIndex, 0)), xOfIndex(onsetIndex));
}

void PscLiveDisplay::postInversion(int offendingIndex, int slopePeakIndex) {
    plotSetColor(d_, kSlopeMarkColor);
    slopeCircle(offendingIndex, 5.0f);
    slopeCircle(slopePeakIndex, 5.0f);
}

void PscLiveDisplay::preInversion(int offendingIndex, int slopePeakIndex, int onsetIndex) {
    plotSetColor(d_, kSlopeMarkColor);
    slopeCircle(offendingIndex, 6.0f);
    slopeCircle(slopePeakIndex, 5.0f);
    plotTextDevice(d_, xOfIndex(onsetIndex), frameTopPx() + kLabelStep, "PreInvThrReject");
}

void PscLiveDisplay::spikeletFound(int inversionIndex) {
    plotSetColor(d_, kSlopeMarkColor);
    slopeCircle(inversionIndex, 5.0f);
}

void PscLiveDisplay::spikeletFailed(int windowEndIndex) {
    plotSetColor(d_, kSpikeletFailColor);
    slopeCircle(windowEndIndex, 5.0f);
}

void PscLiveDisplay::eventShape(const PscEventShape& s) {
    plotSetColor(d_, s.finalType + 1);
    const int windowRight = plotRound(d_.widthF);
    if (s.width10Ms > 0.0f) {
        const int decay = xOfMs(s.decay10Ms);
        if (decay < windowRight) horizontal(kCurrentTrace, s.level10, decay, xOfMs(s.rise10Ms));
    }
    if (s.halfWidthMs > 0.0f) {
        const int decay = xOfMs(s.decay50Ms);
        if (decay < windowRight) horizontal(kCurrentTrace, s.level50, decay, xOfMs(s.rise50Ms));
    }
    horizontal(kCurrentTrace, s.peak, xOfIndex(s.averageFrom), xOfIndex(s.averageTo));

    plotSetLineStyle(d_, kPenDash, 0, 0);
    const int xPeak = xOfIndex(s.peakIndex);
    plotSegmentDevice(d_, xPeak, yOf(kCurrentTrace, s.baseline), xPeak, yOf(kCurrentTrace, s.peak));
    horizontal(kCurrentTrace, s.baseline, xPeak, xOfIndex(s.onsetIndex));
    plotSetLineStyle(d_, kPenSolid, 0, 0);
}

void PscLiveDisplay::triggerMark(int finalType, int onsetIndex, int triggerIndex, float triggerLevel,
                                 float durationMs, bool showDuration) {
    plotSetColor(d_, finalType + 1);
    const int x = xOfIndex(onsetIndex);
    plotSegmentDevice(d_, x, frameTopPx(), x, frameBottomPx());
    if (!showDuration) return;
    const double start = triggerIndex * static_cast<double>(p_.sampleInterval);
    const int end = xOfMs(start + durationMs);
    horizontal(kDidtTrace, triggerLevel, xOfMs(start), end);
    plotSegmentDevice(d_, end, yOf(kDidtTrace, 0.0f), end, yOf(kDidtTrace, 2.0f * triggerLevel));
}

void PscLiveDisplay::label(std::string_view text, int onsetIndex, int triggerInFrame, bool rightAligned) {
    // In the colour of the event's trigger mark, drawn just before.
    plotSetTextSize(d_, kLabelPoints);
    plotSetTextAlign(d_, rightAligned ? 2 : 0, 1);
    plotTextDevice(d_, xOfIndex(onsetIndex), frameTopPx() + (triggerInFrame + 2) * kLabelStep, text);
    // Back to the frame's text style for the marks that follow.
    plotSetTextStyle(d_, 0, kFrameTextClass);
    plotSetTextAlign(d_, 0, 0);
    if (d_.repaintWindow) d_.repaintWindow();
}

}  // namespace ephys
