#include "plot/plot_device.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ephys {

namespace {

constexpr std::array<PlotColor, 16> kPalette{{
    {0, 0, 0},
    {0, 0, 255},
    {255, 0, 0},
    {255, 0, 255},
    {0, 255, 0},
    {0, 255, 255},
    {102, 153, 41},
    {204, 204, 204},
    {128, 128, 128},
    {204, 204, 255},
    {255, 204, 204},
    {255, 204, 255},
    {204, 255, 204},
    {204, 255, 255},
    {255, 255, 0},
    {255, 255, 255},
}};

// Device coordinates far outside any target: a wild world value (a huge number, an infinity) is
// clamped here so that the conversion to int stays defined and the canvas still gets a line.
constexpr double kDeviceLimit = 1.0e8;

// Makes the pen, brush and font on the canvas match the device's attributes. Attribute changes
// only set the flags; the objects are made here, just before something is drawn with them.
void pushPen(PlotDevice& d) {
    if (d.penDirty) {
        d.canvas->setPen(plotPalette(d.penColor), d.penWidth, d.penStyle);
        d.penDirty = false;
    }
}

void pushBrush(PlotDevice& d) {
    if (d.brushDirty) {
        d.canvas->setBrush(plotPalette(d.brushColor), d.brushHollow);
        d.brushDirty = false;
    }
}

void pushFont(PlotDevice& d) {
    if (d.fontDirty) {
        d.canvas->setFont(kPlotFontFamily, static_cast<double>(d.textPoints) * d.fontScale,
                          d.textVertical != 0 ? 900 : 0);
        d.canvas->setTextColor(plotPalette(d.textRGB));
        d.fontDirty = false;
    }
}

// The brush for a filled shape: the current colour, the background colour when erasing, or none
// when the fill is transparent.
void chooseFill(PlotDevice& d) {
    int color = d.currentColor;
    bool hollow = false;
    if (d.fillTransparent != 0) {
        hollow = true;
    } else if (d.fillErase != 0) {
        color = d.backgroundColor;
    }
    if (color != d.brushColor || hollow != d.brushHollow) {
        d.brushColor = color;
        d.brushHollow = hollow;
        d.brushDirty = true;
    }
}

int clampToDevice(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::clamp(v, -kDeviceLimit, kDeviceLimit));
}

}  // namespace

PlotColor plotPalette(int index) {
    // Colour indices are never negative; the modulo keeps a stray one inside the table.
    return kPalette[static_cast<std::size_t>(((index % 16) + 16) % 16)];
}

int plotRound(float v) {
    // Truncation toward zero after adding one half, as the C cast does.
    return clampToDevice(static_cast<double>(v) + 0.5);
}

int plotDeviceX(const PlotDevice& d, float x) {
    return plotRound(x * d.scaleX + d.offsetX);
}

int plotDeviceY(const PlotDevice& d, float y) {
    return plotRound(y * d.scaleY + d.offsetY);
}

void plotMoveToDevice(PlotDevice& d, int x, int y) {
    d.currentPoint = {x, y};
}

void plotLineToDevice(PlotDevice& d, int x, int y) {
    if (d.canvas != nullptr) {
        pushPen(d);
        d.canvas->line(d.currentPoint.x, d.currentPoint.y, x, y);
    }
    d.currentPoint = {x, y};
}

void plotMoveTo(PlotDevice& d, float x, float y) {
    plotMoveToDevice(d, plotDeviceX(d, x), plotDeviceY(d, y));
}

void plotLineTo(PlotDevice& d, float x, float y) {
    plotLineToDevice(d, plotDeviceX(d, x), plotDeviceY(d, y));
}

void plotPolyline(PlotDevice& d, std::span<const float> xs, std::span<const float> ys, int n) {
    // Logarithmic data is plotted point by point by the series code, never as one polyline.
    if (d.xScaleKind == 'L' || d.yScaleKind == 'L') return;
    const std::size_t count = std::min({static_cast<std::size_t>(std::max(n, 0)), xs.size(), ys.size()});
    if (count == 0) return;
    std::vector<PlotIntPoint> points(count);
    for (std::size_t i = 0; i < count; ++i) points[i] = {plotDeviceX(d, xs[i]), plotDeviceY(d, ys[i])};
    d.currentPoint = points.back();
    if (count < 2 || d.canvas == nullptr) return;
    // A long trace puts many points in one pixel column. With a solid pen in copy mode the run
    // draws exactly what its first, lowest, highest and last points draw (the column from the
    // lowest to the highest pixel, entered and left where the run is), so only those four go to
    // the target: the same pixels, a fraction of the work and of the SVG.
    if (d.penStyle == 0 && d.rasterOp == PlotMix::Copy) plotCollapseColumns(points);
    pushPen(d);
    d.canvas->polyline(points);
}

void plotCollapseColumns(std::vector<PlotIntPoint>& points) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < points.size();) {
        std::size_t j = i;
        int low = points[i].y, high = points[i].y;
        while (j + 1 < points.size() && points[j + 1].x == points[i].x) {
            ++j;
            low = std::min(low, points[j].y);
            high = std::max(high, points[j].y);
        }
        const PlotIntPoint first = points[i], last = points[j];
        if (j - i + 1 <= 4) {
            for (std::size_t k = i; k <= j; ++k) points[out++] = points[k];
        } else {
            points[out++] = first;
            points[out++] = {first.x, low};
            points[out++] = {first.x, high};
            points[out++] = last;
        }
        i = j + 1;
    }
    points.resize(out);
}

void plotSegmentDevice(PlotDevice& d, int x1, int y1, int x2, int y2) {
    plotMoveToDevice(d, x1, y1);
    plotLineToDevice(d, x2, y2);
}

void plotSegment(PlotDevice& d, float x1, float y1, float x2, float y2) {
    plotSegmentDevice(d, plotDeviceX(d, x1), plotDeviceY(d, y1), plotDeviceX(d, x2), plotDeviceY(d, y2));
}

void plotCircleDevice(PlotDevice& d, int x, int y, float radius) {
    if (d.canvas == nullptr) return;
    chooseFill(d);
    pushPen(d);
    pushBrush(d);
    d.canvas->ellipse(plotRound(static_cast<float>(x) - radius), plotRound(static_cast<float>(y) - radius),
                      plotRound(static_cast<float>(x) + radius), plotRound(static_cast<float>(y) + radius));
}

void plotCircle(PlotDevice& d, float x, float y, float radius) {
    plotCircleDevice(d, plotDeviceX(d, x), plotDeviceY(d, y), radius);
}

void plotPolygonDevice(PlotDevice& d, std::span<const PlotIntPoint> points) {
    if (points.empty() || d.canvas == nullptr) return;
    chooseFill(d);
    pushPen(d);
    pushBrush(d);
    d.canvas->polygon(points);
}

void plotPolygon(PlotDevice& d, int n, std::span<const float> xs, std::span<const float> ys) {
    const std::size_t count = std::min({static_cast<std::size_t>(std::max(n, 0)), xs.size(), ys.size()});
    std::vector<PlotIntPoint> points(count);
    for (std::size_t i = 0; i < count; ++i) points[i] = {plotDeviceX(d, xs[i]), plotDeviceY(d, ys[i])};
    plotPolygonDevice(d, points);
}

void plotRect(PlotDevice& d, float x1, float y1, float x2, float y2) {
    const std::array<float, 5> xs{x1, x2, x2, x1, x1};
    const std::array<float, 5> ys{y1, y1, y2, y2, y1};
    plotPolygon(d, 5, xs, ys);
}

void plotTextDevice(PlotDevice& d, int x, int y, std::string_view text) {
    if (d.canvas == nullptr) return;
    pushFont(d);
    if (d.alignVertical == 1) {
        // Middle alignment is bottom alignment moved by part of the text's size.
        const PlotTextSize size = d.canvas->textExtent(text);
        if (d.textVertical != 0) {
            x += size.width / 3;
        } else {
            y += size.height / 2;
        }
    }
    PlotHAlign h = PlotHAlign::Left;
    if (d.alignHorizontal == 1) h = PlotHAlign::Center;
    if (d.alignHorizontal == 2) h = PlotHAlign::Right;
    const PlotVAlign v = d.alignVertical == 2 ? PlotVAlign::Top : PlotVAlign::Bottom;
    d.canvas->text(x, y, text, h, v);
}

void plotText(PlotDevice& d, float x, float y, std::string_view text) {
    plotTextDevice(d, plotDeviceX(d, x), plotDeviceY(d, y), text);
}

void plotSetColor(PlotDevice& d, int index) {
    d.currentColor = index;
    if (d.penColor != index) d.penDirty = true;
    if (d.brushColor != index || d.brushHollow) d.brushDirty = true;
    if (d.textRGB != index) d.fontDirty = true;
    d.penColor = index;
    d.brushColor = index;
    d.brushHollow = false;
    d.textRGB = index;
}

void plotSetLineStyle(PlotDevice& d, int style, int /*extra*/, int width) {
    if (d.penStyle != style || d.penWidth != width) d.penDirty = true;
    d.penStyle = style;
    d.penWidth = width;
}

void plotSetPenWidth(PlotDevice& d, float millimetres) {
    const int width = clampToDevice(millimetres);
    if (d.penWidth != width) d.penDirty = true;
    d.penWidth = width;
}

void plotSetTextSize(PlotDevice& d, float points) {
    if (d.textPoints != points) d.fontDirty = true;
    d.textPoints = points;
}

void plotSetTextAlign(PlotDevice& d, int horizontal, int vertical) {
    d.alignHorizontal = horizontal;
    d.alignVertical = vertical;
}

void plotSetTextStyle(PlotDevice& d, int vertical, float sizeClass) {
    d.textSize = static_cast<int>(std::clamp(sizeClass, -1000.0f, 1000.0f));
    if (d.textVertical != vertical) d.fontDirty = true;
    d.textVertical = vertical;
    float points = (sizeClass + 1.0f) * 14.0f;
    if (d.printing != 0) {
        // On a printer page the text follows the page diagonal.
        const float w = static_cast<float>(d.deviceWidth);
        const float h = static_cast<float>(d.deviceHeight);
        points = std::sqrt(w * w + h * h) / 65.0f;
    }
    plotSetTextSize(d, points);
}

void plotSetFill(PlotDevice& d, int erase, int level, int transparent) {
    d.fillErase = static_cast<std::uint8_t>(erase);
    d.fillShade = static_cast<std::uint8_t>(level);
    d.fillTransparent = static_cast<std::uint8_t>(transparent);
}

void plotSetMix(PlotDevice& d, PlotMix mode) {
    d.rasterOp = mode;
    if (d.canvas != nullptr) d.canvas->setMix(mode);
}

void plotClear(PlotDevice& d) {
    const PlotColor background = plotPalette(d.backgroundColor);
    if (d.canvas != nullptr) d.canvas->fillRect(0, 0, d.deviceWidth, d.deviceHeight, background);
    if (d.setWindowBackground) d.setWindowBackground(background);
}

void plotZeroLines(PlotDevice& d, int style) {
    if (d.penColor != d.axisColor) d.penDirty = true;
    d.penColor = d.axisColor;
    plotSetLineStyle(d, style, 0, d.penWidth);
    const float left = d.frameLeft * d.widthF;
    const float right = d.frameRight * d.widthF;
    const float top = (1.0f - d.frameTop) * d.heightF;
    const float bottom = (1.0f - d.frameBottom) * d.heightF;
    // World zero sits at the offsets of the transform.
    if (d.offsetX > left && d.offsetX < right) {
        const int x = plotRound(d.offsetX);
        plotSegmentDevice(d, x, plotRound(top), x, plotRound(bottom));
    }
    if (d.offsetY > top && d.offsetY < bottom) {
        const int y = plotRound(d.offsetY);
        plotSegmentDevice(d, plotRound(left), y, plotRound(right), y);
    }
    plotSetLineStyle(d, kPenSolid, 0, d.penWidth);
}

void plotLayoutCell(PlotDevice& d, int cell, int count, int legendLines) {
    count = std::max(count, 1);
    cell = std::clamp(cell, 1, count);
    legendLines = std::max(legendLines, 0);
    int columns = count;
    int rows = 1;
    if (count > 2) {
        columns = static_cast<int>(std::lround(std::sqrt(static_cast<double>(count))));
        rows = (count + columns - 1) / columns;
    }
    const int column = (cell - 1) % columns;
    const int row = (cell - 1) / columns;
    const int t = rows - row;
    const float c = static_cast<float>(columns);
    const float r = static_cast<float>(rows);
    d.frameLeft = static_cast<float>(column) / c + 0.15f;
    d.frameRight = static_cast<float>(column + 1) / c - 0.02f;
    d.frameTop = static_cast<float>(t) / r - 0.07f;
    d.frameBottom = static_cast<float>(t - 1) / r + 0.1f + static_cast<float>(legendLines / 3 + 1) * 0.04f;
}

void plotGridCell(PlotDevice& d, int cell, int count, int legendLines) {
    count = std::max(count, 1);
    legendLines = std::max(legendLines, 0);
    const int rows = (count - 1) / 3 + 1;
    const int columns = count <= 3 ? count : count / (rows + 1) + 1;
    const int cells = rows * columns;
    cell = ((cell - 1) % cells + cells) % cells + 1;
    const int column = (cell - 1) % columns;
    const int row = (cell - 1) / columns;
    const int t = rows - row;
    const float c = static_cast<float>(columns);
    const float r = static_cast<float>(rows);
    d.frameLeft = static_cast<float>(column) / c + 0.15f;
    d.frameRight = static_cast<float>(column + 1) / c - 0.02f;
    d.frameTop = static_cast<float>(t) / r - 0.04f;
    d.frameBottom = static_cast<float>(t - 1) / r +
                    (static_cast<float>(legendLines + 2) / 3.0f * 0.4f + 1.0f) * d.legendMargin;
}

PlotTextSize plotTextExtent(PlotDevice& d, std::string_view text) {
    if (d.canvas == nullptr) return {};
    pushFont(d);
    return d.canvas->textExtent(text);
}

int plotTextWidth(PlotDevice& d, std::string_view text) {
    return plotTextExtent(d, text).width;
}

int plotTextHeight(PlotDevice& d, std::string_view text) {
    return plotTextExtent(d, text).height;
}

void plotReleaseObjects(PlotDevice& d) {
    d.penDirty = true;
    d.brushDirty = true;
    d.fontDirty = true;
}

void plotSetDeviceSize(PlotDevice& d, int width, int height) {
    d.deviceWidth = width;
    d.deviceHeight = height;
    d.widthF = static_cast<float>(width);
    d.heightF = static_cast<float>(height);
}

}  // namespace ephys
