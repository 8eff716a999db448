// The plotting library's canvas over a QPainter: one class for every Qt target (a widget being
// painted, a QImage, a QPrinter page, a QSvgGenerator). Coordinates are the painter's, taken as
// device pixels.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QString>

#include <functional>
#include <string>
#include <string_view>

#include "plot/plot_canvas.h"

namespace ephys {

// Text bytes as the GUI shows them: UTF-8, or Latin-1 when the bytes are not valid UTF-8.
QString plotTextToQString(std::string_view text);

class QPainterCanvas final : public PlotCanvas {
  public:
    // The painter must be active and outlive the canvas.
    explicit QPainterCanvas(QPainter& painter);

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

    // Whether exclusive-or drawing reaches this target (raster targets); elsewhere Xor draws as copy.
    bool supportsXor() const { return xorSupported_; }

  private:
    QPainter& painter_;
    QPen pen_;
    QBrush brush_;
    QFont font_;
    QColor textColor_;
    int angleTenths_ = 0;
    bool xorSupported_ = false;
};

// An image of the given size, filled with `background`, with `draw` run on a canvas over it.
QImage plotRenderImage(int width, int height, const std::function<void(PlotCanvas&)>& draw,
                       QColor background = Qt::white);

// Writes bytes to `path` through a temporary file renamed onto it when complete. False, with
// `error` set when given, when anything failed; an existing file is then left as it was.
bool plotWriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// The image as PNG, written as above.
bool plotWritePng(const QImage& image, const std::string& path, std::string* error = nullptr);

}  // namespace ephys
