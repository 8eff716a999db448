#include "shell/graph_window.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QClipboard>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSvgGenerator>

#include <algorithm>
#include <array>

#include "plot/svg_canvas.h"
#include "shell/qt_canvas.h"

namespace ephys {

namespace {

constexpr int kDefaultX = 200, kDefaultY = 200, kDefaultWidth = 800, kDefaultHeight = 500;

// Clipboard figure: 2:1, as 200 mm x 100 mm.
constexpr int kClipboardWidth = 2000, kClipboardHeight = 1000;

// A drawing context for one replay on one target: the window's settings, text sized from the
// target's dimensions, and no window behind it to repaint. Every replay starts from this same
// state, with the text style a finished replay leaves behind (size class 0), so that the first
// sub-plot's axis texts match the others' and every paint, copy and print draws the same figure.
PlotDevice targetDevice(const PlotDevice& base, PlotCanvas& canvas, int width, int height) {
    PlotDevice d = base;
    d.canvas = &canvas;
    d.printing = 1;
    d.setWindowBackground = nullptr;
    d.repaintWindow = nullptr;
    plotSetDeviceSize(d, width, height);
    plotReleaseObjects(d);
    plotSetTextStyle(d, 0, 0.0f);
    return d;
}

}  // namespace

GraphWindow::GraphWindow(GraphRecord& record, int autoCloseMs, QWidget* parent)
    : QWidget(parent, Qt::Window), record_(record) {
    setObjectName(QStringLiteral("WinPlotQV"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Closing the figure ends its own show, never the program, even when it was the last window.
    setAttribute(Qt::WA_QuitOnClose, false);
    if (record_.device != nullptr) device_ = *record_.device;
    device_.printing = 1;  // text sizes follow the window's dimensions
    device_.repaintWindow = nullptr;
    device_.canvas = nullptr;

    const int x = record_.x > 0 ? record_.x : kDefaultX;
    const int y = record_.y > 0 ? record_.y : kDefaultY;
    const int w = record_.width > 0 ? record_.width : kDefaultWidth;
    const int h = record_.height > 0 ? record_.height : kDefaultHeight;
    setGeometry(x, y, w, h);
    setWindowTitle(plotTextToQString(record_.title));

    menu_ = new QMenu(this);
    static constexpr std::array<const char*, 4> kLabels = {"&Stop Plotting", "&Copy", "&Print",
                                                           "&Write Plot File"};
    static constexpr std::array<int, 4> kCommands = {kGraphStopPlotting, kGraphCopy, kGraphPrint,
                                                     kGraphWritePlotFile};
    for (std::size_t i = 0; i < kLabels.size(); ++i) {
        QString label = QString::fromLatin1(kLabels[i]);
        if (i < record_.menuTexts.size() && !record_.menuTexts[i].empty())
            label = plotTextToQString(record_.menuTexts[i]);
        QAction* action = menu_->addAction(label);
        action->setObjectName(QString::number(kCommands[i]));
        const int command = kCommands[i];
        connect(action, &QAction::triggered, this, [this, command] {
            switch (command) {
                case kGraphStopPlotting:
                    stopPlotting();
                    break;
                case kGraphCopy:
                    copyToClipboard();
                    break;
                case kGraphPrint:
                    print();
                    break;
                default:
                    writePlotFile();
                    break;
            }
        });
    }

    autoClose_.setSingleShot(true);
    connect(&autoClose_, &QTimer::timeout, this, &QWidget::close);
    if (autoCloseMs > 0) autoClose_.start(autoCloseMs);
}

void GraphWindow::replayOn(QPainter& painter, int width, int height) const {
    QPainterCanvas canvas(painter);
    PlotDevice d = targetDevice(device_, canvas, width, height);
    graphReplay(record_, d);
}

QImage GraphWindow::renderImage(int width, int height) const {
    return plotRenderImage(width, height, [&](PlotCanvas& canvas) {
        PlotDevice d = targetDevice(device_, canvas, width, height);
        graphReplay(record_, d);
    });
}

void GraphWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    replayOn(painter, width(), height());
}

void GraphWindow::resizeEvent(QResizeEvent* event) {
    // The whole grid is drawn again at the new client size.
    plotSetDeviceSize(device_, width(), height());
    update();
    QWidget::resizeEvent(event);
}

void GraphWindow::mousePressEvent(QMouseEvent* event) {
    // A right-button press keeps the window: it stays until the user closes it.
    if (event->button() == Qt::RightButton) autoClose_.stop();
    QWidget::mousePressEvent(event);
}

void GraphWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) menu_->popup(event->globalPosition().toPoint());
    QWidget::mouseReleaseEvent(event);
}

void GraphWindow::closeEvent(QCloseEvent* event) {
    autoClose_.stop();
    QWidget::closeEvent(event);
    if (!closed_) {
        closed_ = true;
        emit closed();
    }
}

void GraphWindow::stopPlotting() {
    record_.result = kGraphStopPlotting;
    close();
}

void GraphWindow::copyToClipboard() {
    setEnabled(false);
    const int w = std::max(width(), 1), h = std::max(height(), 1);

    // Vector: the replay at the window's size in a 2:1 document.
    QByteArray svg;
    {
        QBuffer buffer(&svg);
        buffer.open(QIODevice::WriteOnly);
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(QSize(kClipboardWidth, kClipboardHeight));
        generator.setViewBox(QRect(0, 0, w, h));
        generator.setTitle(windowTitle());
        generator.setDescription(QStringLiteral("Spktal Graph output"));
        QPainter painter(&generator);
        replayOn(painter, w, h);
    }

    auto* mime = new QMimeData;  // the clipboard takes ownership
    mime->setData(QStringLiteral("image/svg+xml"), svg);
    mime->setImageData(renderImage(w, h));
    QApplication::clipboard()->setMimeData(mime);
    setEnabled(true);
}

void GraphWindow::print() {
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) return;  // no default printer: nothing to do, as without a printer context
    setEnabled(false);
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setDocName(QStringLiteral("Graph Window: Printing"));
    QPainter painter;
    if (painter.begin(&printer)) {
        // The figure fills the top half of the page.
        replayOn(painter, printer.width(), printer.height() / 2);
        painter.end();
    }
    setEnabled(true);
}

std::string GraphWindow::chooseFile(const std::string& defaultName) {
    if (chooser_) return chooser_(this, defaultName);
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("Tab Separated Text Files (*.txt)"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(plotTextToQString(defaultName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front().toStdString();
}

void GraphWindow::writePlotFile() {
    const std::string path = chooseFile(graphDefaultPlotFileName(record_));
    if (path.empty()) return;
    if (!graphWritePlotFile(record_, path))
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("The plot file could not be written:\n") + plotTextToQString(path));
}

int graphShow(GraphRecord& record, int autoCloseMs) {
    // The window works on a copy, as its own record for as long as it is shown.
    GraphRecord shown = record;
    shown.multiPlot = 1;
    shown.result = 0;
    shown.quitOnDestroy = 1;

    // Under a modal window (the parameter dialog a run was started from) a window of its own
    // would get no input at all: the figure then belongs to that window and holds it instead.
    QWidget* modal = QApplication::activeModalWidget();
    GraphWindow window(shown, autoCloseMs, modal);
    if (modal != nullptr) window.setWindowModality(Qt::WindowModal);
    QEventLoop loop;
    QObject::connect(&window, &GraphWindow::closed, &loop, &QEventLoop::quit);
    window.show();
    window.setWindowTitle(plotTextToQString(shown.title));
    if (!window.isClosed()) loop.exec();
    return shown.result;
}

bool graphWriteImages(const GraphRecord& record, const std::string& basePath, int width, int height,
                      std::string* error) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    const PlotDevice base = record.device != nullptr ? *record.device : PlotDevice{};

    SvgCanvas svg(width, height);
    {
        PlotDevice d = targetDevice(base, svg, width, height);
        graphReplay(record, d);
    }
    if (!plotWriteFileAtomically(basePath + ".svg", svg.document(), error)) return false;

    const QImage image = plotRenderImage(width, height, [&](PlotCanvas& canvas) {
        PlotDevice d = targetDevice(base, canvas, width, height);
        graphReplay(record, d);
    });
    return plotWritePng(image, basePath + ".png", error);
}

}  // namespace ephys
