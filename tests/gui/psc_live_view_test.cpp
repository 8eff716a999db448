// psctrawl's live display in the main window: the worker's drawing reaches the window's image, and
// a resize keeps the picture and the marks still to come on it in register.
#include <QtTest>

#include <algorithm>
#include <cmath>

#include "params/messages.h"
#include "params/progress.h"
#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"
#include "psc/run_driver.h"
#include "psctrawl/psc_live_view.h"
#include "shell/display_surface.h"

namespace ephys {

class PscLiveViewTest : public QObject {
    Q_OBJECT

  private slots:
    void drawsIntoTheWindowImageAndFollowsAResize();
};

namespace {

// Rows of the image holding a pixel of exactly this colour in column x.
QList<int> rowsOf(const QImage& image, int x, QRgb colour) {
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y)
        if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) rows.push_back(y);
    return rows;
}

}  // namespace

void PscLiveViewTest::drawsIntoTheWindowImageAndFollowsAResize() {
    DisplaySurface surface;
    surface.resize(600, 400);
    surface.show();
    QVERIFY(QTest::qWaitForWindowExposed(&surface));

    PscParameters p;
    p.sampleInterval = 0.1f;
    p.frameLength = 1000;
    p.channelTitle = "Im (pA)";
    p.derivativeTitle = "Im (pA/ms)";
    p.maxValues[kCurrentTrace] = 50.0f;
    p.minValues[kCurrentTrace] = -150.0f;
    p.maxValues[kDidtTrace] = 50.0f;
    p.minValues[kDidtTrace] = -50.0f;
    p.calibrationPosition = 0;
    PscFrameBuffers buffers;
    buffers.resize(p.frameLength, p.sampleInterval);
    for (int i = buffers.firstIndex(); i < buffers.endIndex(); ++i) buffers.current(i) = -50.0f;

    ProgressRecord progress;
    SilentMessageSink messages;
    PscRun run(p, progress, messages);
    PscLiveView view(surface, p);
    view.attach(run);
    run.startDisplay(p);
    run.drawFrame(buffers, p);
    const float scaleBefore = p.traceScaleY[kCurrentTrace];
    const float offsetBefore = p.traceOffsetY[kCurrentTrace];
    QVERIFY(scaleBefore < 0.0f);

    // An event's baseline at -100 pA in colour 2 (type 1), from the frame's start to sample 900.
    view.eventBaseline(1, 0, 900, -100.0f);
    QImage before;
    surface.withImage([&](QImage& image) { before = image.copy(); });
    const QList<int> rowsBefore = rowsOf(before, 300, qRgb(255, 0, 0));
    QCOMPARE(rowsBefore.size(), 1);
    QCOMPARE(rowsBefore.front(), static_cast<int>(std::lround(-100.0f * scaleBefore + offsetBefore)));

    // Twice as tall: the picture is scaled, not lost, and the next mark uses the scaled panels.
    surface.resize(600, 800);
    QTRY_VERIFY(surface.height() == 800);
    QImage scaled;
    surface.withImage([&](QImage& image) { scaled = image.copy(); });
    QCOMPARE(scaled.size(), QSize(600, 800));
    // The trace at -50 pA is still there (blurred by the scaling), twice as low down.
    const int traceRow = static_cast<int>(std::lround(2.0f * (-50.0f * scaleBefore + offsetBefore)));
    int darkest = 255;
    for (int y = traceRow - 2; y <= traceRow + 2; ++y)
        darkest = std::min(darkest, qGray(scaled.pixel(300, y)));
    QVERIFY2(darkest < 160, qPrintable(QString::number(darkest)));

    view.eventBaseline(2, 0, 900, -120.0f);
    QCOMPARE(p.traceScaleY[kCurrentTrace], 2.0f * scaleBefore);
    QCOMPARE(p.traceOffsetY[kCurrentTrace], 2.0f * offsetBefore);
    QImage after;
    surface.withImage([&](QImage& image) { after = image.copy(); });
    const QList<int> rowsAfter = rowsOf(after, 300, qRgb(255, 0, 255));
    QCOMPARE(rowsAfter.size(), 1);
    QCOMPARE(rowsAfter.front(), static_cast<int>(std::lround(2.0f * (-120.0f * scaleBefore + offsetBefore))));
}

}  // namespace ephys

QTEST_MAIN(ephys::PscLiveViewTest)
#include "psc_live_view_test.moc"
