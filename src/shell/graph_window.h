// The graph window: a top-level window that shows a GraphRecord's sub-plots, redraws them from the
// record on every paint and resize, and offers a popup menu (right button) to stop plotting, copy
// the figure to the clipboard (SVG and PNG), print it on the default printer, and write the
// plotted numbers to a tab-separated text file.
#pragma once

#include <QImage>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

#include "plot/graph_record.h"
#include "plot/plot_device.h"

class QPainter;

namespace ephys {

class GraphWindow : public QWidget {
    Q_OBJECT

  public:
    // Asks for the plot file's name, starting with `defaultName`; empty when cancelled.
    using FileChooser = std::function<std::string(QWidget* parent, const std::string& defaultName)>;

    // Shows `record` (which must outlive the window); with autoCloseMs > 0 the window closes by
    // itself after that time unless the right button is pressed in it first.
    GraphWindow(GraphRecord& record, int autoCloseMs, QWidget* parent = nullptr);

    GraphRecord& record() { return record_; }
    QMenu* popupMenu() { return menu_; }
    bool autoClosePending() const { return autoClose_.isActive(); }
    bool isClosed() const { return closed_; }

    // Replaces the save dialog of "&Write Plot File" (tests, scripted use).
    void setFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }

    // The figure drawn at the given size on a white image.
    QImage renderImage(int width, int height) const;

    // The popup commands.
    void stopPlotting();
    void copyToClipboard();
    void print();
    void writePlotFile();

  signals:
    void closed();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // Replays the record on a painter whose target is width x height device pixels.
    void replayOn(QPainter& painter, int width, int height) const;
    std::string chooseFile(const std::string& defaultName);

    GraphRecord& record_;
    PlotDevice device_;
    QMenu* menu_ = nullptr;
    QTimer autoClose_;
    FileChooser chooser_;
    bool closed_ = false;
};

// Shows the record in a graph window and returns when the window is gone, with its result code
// (99 after "&Stop Plotting", else 0). The caller's other windows keep working meanwhile, except a
// modal window that is up (the parameter dialog of a run started from it): the graph window is
// then that window's own, takes its input (right button, popup and its commands) and holds that
// window until it is gone. With autoCloseMs > 0 the window closes by itself after that time unless
// the right button was pressed.
int graphShow(GraphRecord& record, int autoCloseMs);

// The figure without a window: basePath + ".svg" (vector) and basePath + ".png" (white
// background), each width x height pixels and each written completely or not at all. False, with
// `error` set when given, when a file could not be written.
bool graphWriteImages(const GraphRecord& record, const std::string& basePath, int width, int height,
                      std::string* error = nullptr);

}  // namespace ephys
