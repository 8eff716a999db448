#include "shell/qt_canvas.h"

#include <QBuffer>
#include <QByteArray>
#include <QFontMetrics>
#include <QPaintEngine>
#include <QPoint>
#include <QPolygon>
#include <QRect>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

namespace ephys {

namespace {

QColor toQColor(PlotColor c) {
    return QColor(c.r, c.g, c.b);
}

Qt::PenStyle toQtPenStyle(int style) {
    switch (style) {
        case kPenDash:
            return Qt::DashLine;
        case kPenDot:
            return Qt::DotLine;
        case kPenDashDot:
            return Qt::DashDotLine;
        case kPenDashDotDot:
            return Qt::DashDotDotLine;
        case kPenNull:
            return Qt::NoPen;
        default:
            return Qt::SolidLine;
    }
}

QPolygon toQPolygon(std::span<const PlotIntPoint> points) {
    QPolygon polygon;
    polygon.reserve(static_cast<qsizetype>(points.size()));
    for (const PlotIntPoint& p : points) polygon.append(QPoint(p.x, p.y));
    return polygon;
}

}  // namespace

QString plotTextToQString(std::string_view text) {
    const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (!decoder.hasError()) return decoded;
    return QString::fromLatin1(bytes);
}

QPainterCanvas::QPainterCanvas(QPainter& painter) : painter_(painter) {
    const QPaintEngine* engine = painter_.paintEngine();
    xorSupported_ = engine != nullptr && engine->hasFeature(QPaintEngine::RasterOpModes);
    pen_ = QPen(Qt::black, 0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    brush_ = QBrush(Qt::black, Qt::SolidPattern);
    font_ = QFont(QStringLiteral("Arial"));
    font_.setPixelSize(12);
    textColor_ = Qt::black;
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.setFont(font_);
}

void QPainterCanvas::setPen(PlotColor color, int width, int style) {
    // Widths 0 and 1 are one pixel on the device, as with GDI pens: Qt's cosmetic pen (width 0),
    // which is also drawn far faster than a stroked 1-pixel outline (a trace of 30000 points).
    pen_ = QPen(toQColor(color), width <= 1 ? 0 : width, toQtPenStyle(style), Qt::RoundCap, Qt::RoundJoin);
    painter_.setPen(pen_);
}

void QPainterCanvas::setBrush(PlotColor color, bool hollow) {
    brush_ = hollow ? QBrush(Qt::NoBrush) : QBrush(toQColor(color), Qt::SolidPattern);
    painter_.setBrush(brush_);
}

void QPainterCanvas::setFont(std::string_view family, double pixelHeight, int angleTenths) {
    font_ = QFont(plotTextToQString(family));
    font_.setPixelSize(std::max(1, static_cast<int>(std::lround(pixelHeight))));
    angleTenths_ = angleTenths;
    painter_.setFont(font_);
}

void QPainterCanvas::setTextColor(PlotColor color) {
    textColor_ = toQColor(color);
}

void QPainterCanvas::setMix(PlotMix mix) {
    if (mix == PlotMix::Xor && xorSupported_)
        painter_.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    else
        painter_.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void QPainterCanvas::fillRect(int left, int top, int right, int bottom, PlotColor color) {
    // QRect(x, y, w, h) covers exactly [left, right) x [top, bottom).
    painter_.fillRect(QRect(left, top, right - left, bottom - top), toQColor(color));
}

void QPainterCanvas::line(int x1, int y1, int x2, int y2) {
    painter_.drawLine(x1, y1, x2, y2);
}

void QPainterCanvas::polyline(std::span<const PlotIntPoint> points) {
    if (points.size() < 2) return;
    painter_.drawPolyline(toQPolygon(points));
}

void QPainterCanvas::ellipse(int left, int top, int right, int bottom) {
    painter_.drawEllipse(QRect(left, top, right - left, bottom - top));
}

void QPainterCanvas::polygon(std::span<const PlotIntPoint> points) {
    if (points.empty()) return;
    painter_.drawPolygon(toQPolygon(points));
}

void QPainterCanvas::text(int x, int y, std::string_view text, PlotHAlign h, PlotVAlign v) {
    const QString s = plotTextToQString(text);
    const QFontMetrics metrics(font_, painter_.device());
    const int width = metrics.horizontalAdvance(s);
    int dx = 0;
    if (h == PlotHAlign::Center)
        dx = -width / 2;
    else if (h == PlotHAlign::Right)
        dx = -width;
    // Bottom: the text's bottom edge (below the descenders) at the point; Top: its top edge.
    const int baseline = v == PlotVAlign::Bottom ? -metrics.descent() : metrics.ascent();

    painter_.save();
    painter_.setPen(QPen(textColor_));
    painter_.translate(x, y);
    // Angles count counter-clockwise; Qt's rotation turns clockwise on a y-down surface.
    if (angleTenths_ != 0) painter_.rotate(-angleTenths_ / 10.0);
    painter_.drawText(QPoint(dx, baseline), s);
    painter_.restore();
}

PlotTextSize QPainterCanvas::textExtent(std::string_view text) {
    const QFontMetrics metrics(font_, painter_.device());
    return {metrics.horizontalAdvance(plotTextToQString(text)), metrics.height()};
}

QImage plotRenderImage(int width, int height, const std::function<void(PlotCanvas&)>& draw,
                       QColor background) {
    QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    QPainterCanvas canvas(painter);
    if (draw) draw(canvas);
    painter.end();
    return image;
}

bool plotWriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) *error = file.errorString().toStdString();
        return false;
    }
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size())) {
        if (error) *error = file.errorString().toStdString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error) *error = file.errorString().toStdString();
        return false;
    }
    return true;
}

bool plotWritePng(const QImage& image, const std::string& path, std::string* error) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        if (error) *error = "the image could not be encoded as PNG";
        return false;
    }
    return plotWriteFileAtomically(
        path, std::string_view(png.constData(), static_cast<std::size_t>(png.size())), error);
}

}  // namespace ephys
