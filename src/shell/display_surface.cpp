#include "shell/display_surface.h"

#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

namespace ephys {

DisplaySurface::DisplaySurface(QWidget* parent) : QWidget(parent) {
    setObjectName("displaySurface");
    setAttribute(Qt::WA_OpaquePaintEvent);
    displayImage_ = QImage(QSize(1, 1), QImage::Format_RGB32);
    displayImage_.fill(Qt::white);
}

void DisplaySurface::withImage(const std::function<void(QImage&)>& draw) {
    std::lock_guard<std::mutex> lock(mutex_);
    draw(displayImage_);
}

void DisplaySurface::requestRepaint() {
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void DisplaySurface::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    std::lock_guard<std::mutex> lock(mutex_);
    painter.fillRect(event->rect(), Qt::white);
    painter.drawImage(QPoint(0, 0), displayImage_);
}

void DisplaySurface::resizeEvent(QResizeEvent* event) {
    const QSize size = event->size().expandedTo(QSize(1, 1));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The picture is kept, scaled to the new size, until the next frame is drawn (a paused run
        // may wait long for it); the live display scales its transforms to match.
        if (displayImage_.width() > 1 && displayImage_.height() > 1) {
            displayImage_ = displayImage_.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(QImage::Format_RGB32);
        } else {
            displayImage_ = QImage(size, QImage::Format_RGB32);
            displayImage_.fill(Qt::white);
        }
    }
    if (onResize) onResize(size);
    QWidget::resizeEvent(event);
}

}  // namespace ephys
