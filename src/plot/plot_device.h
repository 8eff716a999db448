// The lowest layer of the plotting library: one drawing context per target (a window, an image,
// a printer page, an SVG file), its world-to-device transform, the 16-colour palette, pens,
// brushes and fonts. Every operation draws through the device's canvas.
#pragma once

#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plot/plot_canvas.h"

namespace ephys {

inline constexpr std::string_view kPlotFontFamily = "Arial";

struct PlotDevice {
    std::uint8_t backgroundColor = 15;  // palette index of the background
    std::uint8_t seriesColor = 0;       // colour index of the current series' symbols
    std::uint8_t markerKind = 0;        // symbol kind of the current series (mod 10)
    std::uint8_t markerTransparent = 0;
    std::uint8_t showAxes = 1;
    std::uint8_t histogramColor = 0;
    std::uint8_t textColor = 0;
    std::uint8_t axisColor = 0;
    std::uint8_t fillTransparent = 0;
    std::uint8_t fillErase = 0;
    std::uint8_t fillShade = 0;
    std::uint8_t shadeByIndex = 0;
    std::uint8_t legendDone = 0;
    float legendEndX = 0.0f;  // device x where the last legend entry's text ends (same row)
    // Device y where the tick labels and title of the last x axis drawn below the frame end; the
    // legend rows keep clear of them. 0: no such texts.
    float xAxisTextBottom = 0.0f;
    char yAxisSide = 'L';
    char xAxisSide = 'B';
    // Plot frame in fractions of the target: left and right from the left edge, top and bottom
    // from the bottom edge.
    float frameLeft = 0.15f, frameTop = 0.93f, frameRight = 0.98f, frameBottom = 0.14f;
    float legendMargin = 0.04f;
    int textSize = 0;
    int textVertical = 0;
    int exactLimits = 0;
    int alignVertical = 0;    // 0 bottom, 1 middle, 2 top
    int alignHorizontal = 0;  // 0 left, 1 centre, 2 right

    // Current attributes; the canvas objects are made again lazily when a flag is set.
    int brushColor = 0;
    int penWidth = 0;
    int penStyle = 0;
    int penColor = 0;
    int textRGB = 0;  // palette index of the text colour
    bool penDirty = true, brushDirty = true, fontDirty = true;
    bool brushHollow = false;  // the brush leaves the inside of shapes untouched

    float textPoints = 14.0f;  // text size in points
    float fontScale = 1.0f;    // pixels per point on this target
    PlotCanvas* canvas = nullptr;
    int printing = 0;  // a printer page: text size follows the page diagonal
    PlotMix rasterOp = PlotMix::Copy;
    int deviceWidth = 800;
    int deviceHeight = 500;
    float scaleX = 1.0f, offsetX = 0.0f, offsetY = 0.0f, scaleY = 1.0f;
    float widthF = 800.0f, heightF = 500.0f;
    char xScaleKind = 'N', yScaleKind = 'N';
    int currentColor = 0;
    // The window behind the target, when there is one: told the background colour by plotClear
    // and asked to repaint (live labels, plotXY on a printer page).
    std::function<void(PlotColor)> setWindowBackground;
    std::function<void()> repaintWindow;

    // The current point of plotMoveTo / plotLineTo, in device pixels.
    PlotIntPoint currentPoint{};
};

// Palette entry of index i, taken modulo 16.
PlotColor plotPalette(int index);

// GDI rounding: add 0.5 and truncate.
int plotRound(float v);
// World to device.
int plotDeviceX(const PlotDevice& d, float x);
int plotDeviceY(const PlotDevice& d, float y);

void plotMoveTo(PlotDevice& d, float x, float y);
void plotLineTo(PlotDevice& d, float x, float y);
void plotMoveToDevice(PlotDevice& d, int x, int y);
void plotLineToDevice(PlotDevice& d, int x, int y);
// MoveTo the first point, LineTo the rest; nothing when either axis is logarithmic.
void plotPolyline(PlotDevice& d, std::span<const float> xs, std::span<const float> ys, int n);
// Shortens a device polyline without changing what a solid pen draws: a run of more than four
// points in one pixel column becomes its first, lowest, highest and last point.
void plotCollapseColumns(std::vector<PlotIntPoint>& points);
void plotSegmentDevice(PlotDevice& d, int x1, int y1, int x2, int y2);
void plotSegment(PlotDevice& d, float x1, float y1, float x2, float y2);
// Circle at a world centre with a radius in pixels.
void plotCircle(PlotDevice& d, float x, float y, float radius);
void plotCircleDevice(PlotDevice& d, int x, int y, float radius);
void plotPolygon(PlotDevice& d, int n, std::span<const float> xs, std::span<const float> ys);
void plotRect(PlotDevice& d, float x1, float y1, float x2, float y2);
// Filled polygon at device points, with the same fill rules as plotPolygon.
void plotPolygonDevice(PlotDevice& d, std::span<const PlotIntPoint> points);
void plotTextDevice(PlotDevice& d, int x, int y, std::string_view text);
void plotText(PlotDevice& d, float x, float y, std::string_view text);

void plotSetColor(PlotDevice& d, int index);
void plotSetLineStyle(PlotDevice& d, int style, int extra, int width);
void plotSetPenWidth(PlotDevice& d, float millimetres);
void plotSetTextSize(PlotDevice& d, float points);
void plotSetTextAlign(PlotDevice& d, int horizontal, int vertical);
void plotSetTextStyle(PlotDevice& d, int vertical, float sizeClass);
void plotSetFill(PlotDevice& d, int erase, int level, int transparent);
void plotSetMix(PlotDevice& d, PlotMix mode);
void plotClear(PlotDevice& d);
void plotZeroLines(PlotDevice& d, int style);
void plotLayoutCell(PlotDevice& d, int cell, int count, int legendLines);
void plotGridCell(PlotDevice& d, int cell, int count, int legendLines);
PlotTextSize plotTextExtent(PlotDevice& d, std::string_view text);
int plotTextWidth(PlotDevice& d, std::string_view text);
int plotTextHeight(PlotDevice& d, std::string_view text);
// Forgets the canvas objects so that the next drawing call makes them again.
void plotReleaseObjects(PlotDevice& d);
// Sets the target size (deviceWidth/Height and widthF/heightF).
void plotSetDeviceSize(PlotDevice& d, int width, int height);

}  // namespace ephys
