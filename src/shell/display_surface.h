// The client area of psctrawl's main window: it paints an offscreen image that the live display
// draws into from the run's worker thread. Only the GUI thread touches the widget; the image is
// shared under a mutex, and the worker asks for a repaint with requestRepaint().
#pragma once

#include <QImage>
#include <QWidget>

#include <functional>
#include <mutex>

namespace ephys {

class DisplaySurface final : public QWidget {
    Q_OBJECT

  public:
    explicit DisplaySurface(QWidget* parent = nullptr);

    // Runs `draw` on the image with the lock held (any thread). The image is as large as the
    // widget, white until something is drawn, and scaled with the widget when it is resized.
    void withImage(const std::function<void(QImage&)>& draw);
    // Schedules a repaint of the widget (any thread).
    void requestRepaint();
    // Called on the GUI thread with the new image size after every resize (the live display
    // keeps its panel layout in step with it). The image holds the old picture, scaled.
    std::function<void(QSize)> onResize;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    std::mutex mutex_;
    QImage displayImage_;
};

}  // namespace ephys
