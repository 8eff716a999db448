#include "plot/recording_canvas.h"

#include <cmath>

namespace ephys {

namespace {

// Characters of a UTF-8 text: every byte that does not continue a multi-byte sequence.
int codePoints(std::string_view text) {
    int count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

}  // namespace

void RecordingCanvas::setPen(PlotColor color, int width, int style) {
    state_.penColor = color;
    state_.penWidth = width;
    state_.penStyle = style;
}

void RecordingCanvas::setBrush(PlotColor color, bool hollow) {
    state_.brushColor = color;
    state_.brushHollow = hollow;
}

void RecordingCanvas::setFont(std::string_view family, double pixelHeight, int angleTenths) {
    fontFamily = std::string(family);
    state_.fontHeight = pixelHeight;
    state_.fontAngle = angleTenths;
}

void RecordingCanvas::setTextColor(PlotColor color) {
    state_.textColor = color;
}

void RecordingCanvas::setMix(PlotMix mix) {
    state_.mix = mix;
}

void RecordingCanvas::fillRect(int left, int top, int right, int bottom, PlotColor color) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::FillRect;
    call.points = {{left, top}, {right, bottom}};
    call.fillColor = color;
    calls.push_back(std::move(call));
}

void RecordingCanvas::line(int x1, int y1, int x2, int y2) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::Line;
    call.points = {{x1, y1}, {x2, y2}};
    calls.push_back(std::move(call));
}

void RecordingCanvas::polyline(std::span<const PlotIntPoint> points) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::Polyline;
    call.points.assign(points.begin(), points.end());
    calls.push_back(std::move(call));
}

void RecordingCanvas::ellipse(int left, int top, int right, int bottom) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::Ellipse;
    call.points = {{left, top}, {right, bottom}};
    calls.push_back(std::move(call));
}

void RecordingCanvas::polygon(std::span<const PlotIntPoint> points) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::Polygon;
    call.points.assign(points.begin(), points.end());
    calls.push_back(std::move(call));
}

void RecordingCanvas::text(int x, int y, std::string_view text, PlotHAlign h, PlotVAlign v) {
    PlotCall call = state_;
    call.kind = PlotCall::Kind::Text;
    call.points = {{x, y}};
    call.text = std::string(text);
    call.hAlign = h;
    call.vAlign = v;
    calls.push_back(std::move(call));
}

PlotTextSize RecordingCanvas::textExtent(std::string_view text) {
    const double height = state_.fontHeight;
    return {static_cast<int>(std::lround(0.6 * height * codePoints(text))),
            static_cast<int>(std::lround(height))};
}

}  // namespace ephys
