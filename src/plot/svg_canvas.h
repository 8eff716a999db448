// A canvas that writes SVG, in plain C++: figures from batch runs, no GUI needed. Text extents
// are estimated from the font height, as a browser's Arial would be close to.
#pragma once

#include <sstream>
#include <string>

#include "plot/plot_canvas.h"

namespace ephys {

class SvgCanvas final : public PlotCanvas {
  public:
    SvgCanvas(int width, int height);
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

    // The whole document so far, closed.
    std::string document() const;

  private:
    std::string strokeAttributes() const;
    std::string fillAttribute() const;

    int width_, height_;
    std::ostringstream body_;
    PlotColor pen_{}, brush_{}, text_{};
    int penWidth_ = 0, penStyle_ = 0;
    bool hollow_ = false;
    std::string family_ = "Arial";
    double fontHeight_ = 12.0;
    int angle_ = 0;
};

}  // namespace ephys
