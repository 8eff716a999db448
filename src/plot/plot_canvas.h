// The one small drawing interface under the plotting library. A canvas draws in device pixels
// (integers, y growing downwards) with a current pen, brush, font and mix mode. The plot device
// turns world coordinates into these calls; targets are a recording canvas (tests), an SVG canvas
// (figures written without a GUI) and, in the desktop programs, a QPainter canvas (window, image,
// printer, SVG generator).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ephys {

struct PlotColor {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const PlotColor&, const PlotColor&) = default;
};

struct PlotIntPoint {
    int x = 0, y = 0;
    friend bool operator==(const PlotIntPoint&, const PlotIntPoint&) = default;
};

struct PlotTextSize {
    int width = 0, height = 0;
};

// Pen styles: 0 solid, 1 dashed, 2 dotted, 3 dash-dot, 4 dash-dot-dot, 5 none.
inline constexpr int kPenSolid = 0;
inline constexpr int kPenDash = 1;
inline constexpr int kPenDot = 2;
inline constexpr int kPenDashDot = 3;
inline constexpr int kPenDashDotDot = 4;
inline constexpr int kPenNull = 5;

// Mix modes: copy, or exclusive-or (drawing the same thing twice erases it) where the target
// supports it; targets that cannot draw exclusive-or draw in copy mode.
enum class PlotMix { Copy, Xor };

// Text alignment relative to the reference point, along the text's own direction.
enum class PlotHAlign { Left, Center, Right };
enum class PlotVAlign { Bottom, Top };

class PlotCanvas {
  public:
    virtual ~PlotCanvas() = default;

    // Pen for lines and outlines; width 0 is the thinnest line the target draws.
    virtual void setPen(PlotColor color, int width, int style) = 0;
    // Brush for the inside of ellipses and polygons; hollow leaves the inside untouched.
    virtual void setBrush(PlotColor color, bool hollow) = 0;
    // Font: family, height in pixels, angle in tenths of a degree counter-clockwise (0 or 900).
    virtual void setFont(std::string_view family, double pixelHeight, int angleTenths) = 0;
    virtual void setTextColor(PlotColor color) = 0;
    virtual void setMix(PlotMix mix) = 0;

    // Fills the rectangle [left, right) x [top, bottom) with the colour, pen and brush untouched.
    virtual void fillRect(int left, int top, int right, int bottom, PlotColor color) = 0;
    virtual void line(int x1, int y1, int x2, int y2) = 0;
    virtual void polyline(std::span<const PlotIntPoint> points) = 0;
    // Ellipse inscribed in the box: outline in the pen, inside in the brush.
    virtual void ellipse(int left, int top, int right, int bottom) = 0;
    // Closed polygon: outline in the pen, inside in the brush.
    virtual void polygon(std::span<const PlotIntPoint> points) = 0;
    // Text at the point in the current font, colour and angle.
    virtual void text(int x, int y, std::string_view text, PlotHAlign h, PlotVAlign v) = 0;
    // Width and height of a text in the current font (unrotated).
    virtual PlotTextSize textExtent(std::string_view text) = 0;
};

}  // namespace ephys
