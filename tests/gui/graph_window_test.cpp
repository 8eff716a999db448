// The graph window on the offscreen platform: closing by itself, the right button, the popup
// commands, repainting at a new size, and the figure written without a window.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QPrinterInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <string>
#include <vector>

#include "plot/graph_record.h"
#include "shell/graph_window.h"
#include "shell/qt_canvas.h"

using namespace ephys;

namespace {

// Two sub-plots with points and a fitted line.
struct Figure {
    std::vector<float> x1{1, 2, 3}, y1{10, 25, 30}, fit1{12, 20, 28};
    std::vector<float> x2{0, 1, 2, 3, 4}, y2{5, 3, 4, 1, 2};
    GraphRecord record;
    Figure() {
        graphCreate(record, "Figure", 2, nullptr);
        graphAddSeries(record, 1, 3, x1, "Stimulus current", y1, "Frequency (Hz)", "first", "M", "", "", 0, 0,
                       0, 0, 1, 1);
        graphAddFitLine(record, 1, fit1, "fit", "L");
        graphAddSeries(record, 2, 5, x2, "Time", y2, "V", "second", "LM", "", "", 0, 0, 0, 0, 1, 1);
    }
};

GraphWindow* findGraphWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* g = qobject_cast<GraphWindow*>(w); g != nullptr && g->isVisible()) return g;
    return nullptr;
}

QAction* command(GraphWindow& window, const char* id) {
    return window.popupMenu()->findChild<QAction*>(QString::fromLatin1(id));
}

// Pixels that are not the white background.
int inkedPixels(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int n = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            if ((rgb.pixel(x, y) & 0xffffff) != 0xffffff) ++n;
    return n;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

}  // namespace

class GraphWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void closesByItselfAfterTheAutoCloseTime() {
        Figure fig;
        bool seen = false;
        QTimer::singleShot(50, [&] {
            GraphWindow* w = findGraphWindow();
            seen = w != nullptr;
            if (w) {
                QCOMPARE(w->objectName(), QStringLiteral("WinPlotQV"));
                QCOMPARE(w->windowTitle(), QStringLiteral("Figure"));
                QCOMPARE(w->geometry(), QRect(200, 200, 800, 500));
            }
        });
        QElapsedTimer clock;
        clock.start();
        const int result = graphShow(fig.record, 400);
        QVERIFY(seen);
        QCOMPARE(result, 0);
        QVERIFY(clock.elapsed() >= 350);
        QVERIFY(findGraphWindow() == nullptr);
    }

    void aRightButtonPressKeepsItOpen() {
        Figure fig;
        GraphWindow window(fig.record, 200);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.autoClosePending());
        QTest::mousePress(&window, Qt::RightButton, {}, QPoint(100, 100));
        QVERIFY(!window.autoClosePending());
        QTest::qWait(400);
        QVERIFY(window.isVisible());
        QVERIFY(!window.isClosed());
        // The release opens the popup menu with the four commands.
        QTest::mouseRelease(&window, Qt::RightButton, {}, QPoint(100, 100));
        QTRY_VERIFY(window.popupMenu()->isVisible());
        const QList<QAction*> actions = window.popupMenu()->actions();
        QCOMPARE(actions.size(), 4);
        QCOMPARE(actions[0]->text(), QStringLiteral("&Stop Plotting"));
        QCOMPARE(actions[0]->objectName(), QStringLiteral("99"));
        QCOMPARE(actions[1]->text(), QStringLiteral("&Copy"));
        QCOMPARE(actions[1]->objectName(), QStringLiteral("98"));
        QCOMPARE(actions[2]->text(), QStringLiteral("&Print"));
        QCOMPARE(actions[2]->objectName(), QStringLiteral("97"));
        QCOMPARE(actions[3]->text(), QStringLiteral("&Write Plot File"));
        QCOMPARE(actions[3]->objectName(), QStringLiteral("96"));
        window.popupMenu()->hide();
        window.close();
    }

    void stopPlottingReturns99AndMenuTextsReplaceTheLabels() {
        Figure fig;
        fig.record.menuTexts[0] = "Halt";
        fig.record.menuTexts[2] = "Druck\xe9";  // not UTF-8: shown as Latin-1
        fig.record.height = 700;
        QString stopText, copyText, printText;
        QRect geometry;
        QTimer::singleShot(50, [&] {
            GraphWindow* w = findGraphWindow();
            if (!w) return;
            geometry = w->geometry();
            stopText = command(*w, "99")->text();
            copyText = command(*w, "98")->text();
            printText = command(*w, "97")->text();
            command(*w, "99")->trigger();
        });
        QCOMPARE(graphShow(fig.record, 0), 99);
        QCOMPARE(stopText, QStringLiteral("Halt"));
        QCOMPARE(copyText, QStringLiteral("&Copy"));
        QCOMPARE(printText, QString::fromUtf8("Druck\xc3\xa9"));
        QCOMPARE(geometry, QRect(200, 200, 800, 700));
        // The caller's record is not changed by the window.
        QCOMPARE(fig.record.result, 0);
    }

    void resizingRedrawsAtTheNewSize() {
        Figure fig;
        GraphWindow window(fig.record, 0);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage before = window.grab().toImage();
        QCOMPARE(before.size(), QSize(800, 500));
        QVERIFY(inkedPixels(before) > 500);

        window.resize(400, 300);
        QTRY_COMPARE(window.size(), QSize(400, 300));
        const QImage after = window.grab().toImage();
        QCOMPARE(after.size(), QSize(400, 300));
        QVERIFY(inkedPixels(after) > 200);
        // The same figure, not a cut of the old one: the window's picture equals a fresh drawing.
        QCOMPARE(after.convertToFormat(QImage::Format_RGB32),
                 window.renderImage(400, 300).convertToFormat(QImage::Format_RGB32));

        // With drawing disabled the window is only cleared.
        fig.record.drawEnabled = 0;
        window.update();
        QCOMPARE(inkedPixels(window.grab().toImage()), 0);
        window.close();
    }

    void writePlotFileUsesTheChooser() {
        Figure fig;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string path = dir.filePath(QStringLiteral("figure.txt")).toStdString();
        GraphWindow window(fig.record, 0);
        std::string offered;
        window.setFileChooser([&](QWidget*, const std::string& name) {
            offered = name;
            return std::string();  // cancelled
        });
        command(window, "96")->trigger();
        QCOMPARE(offered, std::string("plotfile.TXT"));
        QVERIFY(!QFile::exists(QString::fromStdString(path)));

        window.setFileChooser([&](QWidget*, const std::string&) { return path; });
        command(window, "96")->trigger();
        QCOMPARE(readAll(QString::fromStdString(path)).toStdString(), graphPlotFileText(fig.record));
    }

    void copyPutsSvgAndAnImageOnTheClipboard() {
        Figure fig;
        GraphWindow window(fig.record, 0);
        window.resize(600, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        command(window, "98")->trigger();
        QVERIFY(window.isEnabled());
        const QMimeData* mime = QApplication::clipboard()->mimeData();
        QVERIFY(mime != nullptr);
        const QByteArray svg = mime->data(QStringLiteral("image/svg+xml"));
        QVERIFY(svg.contains("<svg"));
        QVERIFY(svg.contains("Spktal Graph output"));
        QVERIFY(svg.contains("viewBox=\"0 0 600 400\""));
        QVERIFY(mime->hasImage());
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        QCOMPARE(image.size(), QSize(600, 400));
        QVERIFY(inkedPixels(image) > 200);
        window.close();
    }

    void printWithoutADefaultPrinterDoesNothing() {
        if (!QPrinterInfo::defaultPrinter().isNull()) QSKIP("a default printer is installed here");
        Figure fig;
        GraphWindow window(fig.record, 0);
        command(window, "97")->trigger();
        QVERIFY(window.isEnabled());
        QVERIFY(!window.isClosed());
    }

    void theQPainterCanvasAlignsTextAndDrawsExclusiveOr() {
        // Ink rows and columns of one text drawn at (100, 100) with the given alignment.
        auto inkBox = [](PlotHAlign h, PlotVAlign v, int angle) {
            const QImage image = plotRenderImage(200, 200, [&](PlotCanvas& c) {
                c.setFont("Arial", 20, angle);
                c.setTextColor({0, 0, 0});
                c.text(100, 100, "Hg", h, v);
            });
            QRect box;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if ((image.pixel(x, y) & 0xffffff) != 0xffffff) box |= QRect(x, y, 1, 1);
            return box;
        };
        const QRect topLeft = inkBox(PlotHAlign::Left, PlotVAlign::Top, 0);
        QVERIFY(!topLeft.isEmpty());
        QVERIFY(topLeft.top() >= 100 && topLeft.left() >= 100);
        const QRect bottomRight = inkBox(PlotHAlign::Right, PlotVAlign::Bottom, 0);
        QVERIFY(bottomRight.bottom() < 100 && bottomRight.right() < 100);
        const QRect centred = inkBox(PlotHAlign::Center, PlotVAlign::Top, 0);
        QVERIFY(centred.left() < 100 && centred.right() > 100);
        // Turned 90 degrees counter-clockwise, the text runs upwards from the point.
        const QRect upwards = inkBox(PlotHAlign::Left, PlotVAlign::Top, 900);
        QVERIFY(upwards.bottom() <= 100 && upwards.height() > upwards.width());

        // Exclusive-or on an image: the same line twice leaves the background.
        const QImage twice = plotRenderImage(50, 50, [](PlotCanvas& c) {
            auto& qc = static_cast<QPainterCanvas&>(c);
            QVERIFY(qc.supportsXor());
            c.setPen({255, 0, 0}, 3, kPenSolid);
            c.setMix(PlotMix::Xor);
            c.line(5, 25, 45, 25);
            c.line(5, 25, 45, 25);
        });
        QCOMPARE(inkedPixels(twice), 0);
        const QImage once = plotRenderImage(50, 50, [](PlotCanvas& c) {
            c.setPen({255, 0, 0}, 3, kPenSolid);
            c.setMix(PlotMix::Xor);
            c.line(5, 25, 45, 25);
        });
        QVERIFY(inkedPixels(once) > 40);
    }

    void imagesAreWrittenWithoutAWindow() {
        Figure fig;
        fig.record.pageTitle = "Cell 7";
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string base = dir.filePath(QStringLiteral("fi")).toStdString();
        std::string error;
        QVERIFY2(graphWriteImages(fig.record, base, 640, 480, &error), error.c_str());
        const QByteArray svg = readAll(QString::fromStdString(base + ".svg"));
        QVERIFY(svg.contains("<svg"));
        QVERIFY(svg.contains("Cell 7"));
        QVERIFY(svg.contains("Stimulus current"));
        QImage png;
        QVERIFY(png.load(QString::fromStdString(base + ".png"), "PNG"));
        QCOMPARE(png.size(), QSize(640, 480));
        QVERIFY(inkedPixels(png) > 200);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);

        QVERIFY(!graphWriteImages(fig.record, dir.filePath(QStringLiteral("no/such/dir/fi")).toStdString(),
                                  640, 480, &error));
        QVERIFY(!error.empty());
    }
};

QTEST_MAIN(GraphWindowTest)
#include "graph_window_test.moc"
