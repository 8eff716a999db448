// A canvas that keeps every call, for tests: they assert what was drawn, in which colour, pen
// and font. Text extents are estimated from the font height (0.6 of it per character).
#pragma once

#include <string>
#include <vector>

#include "plot/plot_canvas.h"

namespace ephys {

struct PlotCall {
    enum class Kind { FillRect, Line, Polyline, Ellipse, Polygon, Text };
    Kind kind = Kind::Line;
    std::vector<PlotIntPoint> points;  // Line: 2; FillRect and Ellipse: the two corners; else all
    std::string text;
    PlotHAlign hAlign = PlotHAlign::Left;
    PlotVAlign vAlign = PlotVAlign::Bottom;
    // The state the call was drawn with.
    PlotColor penColor{};
    int penWidth = 0;
    int penStyle = 0;
    PlotColor brushColor{};
    bool brushHollow = false;
    PlotColor textColor{};
    PlotColor fillColor{};  // FillRect only
    double fontHeight = 0.0;
    int fontAngle = 0;
    PlotMix mix = PlotMix::Copy;
};

class RecordingCanvas final : public PlotCanvas {
  public:
    void setPen(PlotColor color, int width, int style) override;
    void setBrush(PlotColor color, bool hollow) override;
    void setFont(std::string_view family, double pixelHeight, int angleTenths) override;
    void setTextColor(PlotColor color) override;
    void setMix(PlotMix mix) override;
    void fillRect(int left, int top, int right, int bottom, PlotColor color) override;
    void line(int x1, int y1, int x2, int y2) override;
    void polyline(std::span<const PlotIntPoint> points) override;
    void ellipse(int left, int top, int right, int bottom) override;
    void polygon(std::span<const PlotIntPoint> points) override;
    void text(int x, int y, std::string_view text, PlotHAlign h, PlotVAlign v) override;
    PlotTextSize textExtent(std::string_view text) override;

    std::vector<PlotCall> calls;
    std::string fontFamily;
    void clear() { calls.clear(); }

  private:
    PlotCall state_;
};

}  // namespace ephys
