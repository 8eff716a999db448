// psctrawl's live display rendered through the QPainter canvas: a synthetic frame with events of
// every type, its panels, axes, calibration bars, event marks and labels in a 1200 x 900 image.
// With EPHYS_SCREENSHOT_DIR set the image is kept there as psctrawl_frame.png.
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>
#include <random>
#include <string>

#include "params/messages.h"
#include "params/progress.h"
#include "plot/plot_device.h"
#include "psc/event_detection.h"
#include "psc/live_display.h"
#include "psc/recording_frames.h"
#include "shell/qt_canvas.h"

namespace ephys {
namespace {

constexpr double kDt = 0.1;    // ms per sample
constexpr int kLength = 4000;  // a frame of 400 ms

// An inward current from onset t0 (ms): difference of exponentials scaled to peak at `amplitude`.
double psc(double t, double t0, double amplitude, double tauRise, double tauDecay) {
    if (t <= t0) return 0.0;
    const double tPeak = tauRise * tauDecay / (tauDecay - tauRise) * std::log(tauDecay / tauRise);
    const double norm = std::exp(-tPeak / tauDecay) - std::exp(-tPeak / tauRise);
    return amplitude * (std::exp(-(t - t0) / tauDecay) - std::exp(-(t - t0) / tauRise)) / norm;
}

}  // namespace

class LiveDisplayRenderTest : public QObject {
    Q_OBJECT

  private slots:
    void rendersAFrameWithEveryEventType();
};

void LiveDisplayRenderTest::rendersAFrameWithEveryEventType() {
    PscParameters p;
    p.sampleInterval = static_cast<float>(kDt);
    p.frameLength = kLength;
    p.channelTitle = "IN 0 (pA)";
    p.derivativeTitle = "IN 0 (pA/ms)";
    p.maxValues[kCurrentTrace] = 20.0f;
    p.minValues[kCurrentTrace] = -120.0f;
    p.maxValues[kDidtTrace] = 40.0f;
    p.minValues[kDidtTrace] = -120.0f;
    p.axes = 'Y';
    p.zeroLines = 'Y';
    p.calibrationPosition = 4;
    p.diffTrigger = -15.0f;
    p.diffWindow = 0.5f;
    p.durationOfTrigger = 0.3f;
    p.averagePeakTime = 0.5f;
    p.peakSearchTime = 5.0f;
    p.type3Baseline = 1.0f;
    p.type12Baseline = 5.0f;
    p.deadTimeType1 = 0.1f;
    p.decayComplete = 3.0f;
    p.halfWidthCriterion = 2.0f;  // faster events are rejected
    p.individualEvents = 'N';
    p.timeMapLength = 1000000;

    PscFrameBuffers b;
    b.resize(kLength, kDt);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.8);
    for (int k = b.firstIndex(); k < b.endIndex(); ++k) {
        const double t = k * kDt;
        double i = noise(random);
        i += psc(t, 40.0, -80.0, 0.5, 8.0);   // isolated: type 1
        i += psc(t, 150.0, -60.0, 0.5, 8.0);  // a pair: types 2 and 3
        i += psc(t, 162.0, -70.0, 0.5, 8.0);
        i += psc(t, 250.0, -90.0, 0.5, 8.0);  // type 1, second half
        i += psc(t, 330.0, -70.0, 0.2, 0.8);  // too narrow: rejected
        b.current(k) = static_cast<float>(i);
    }
    pscDifferentiate(b, p);

    QImage image(1200, 900, QImage::Format_RGB32);
    image.fill(Qt::white);
    PscEventTable table;
    {
        QPainter painter(&image);
        QPainterCanvas canvas(painter);
        PlotDevice d;
        d.canvas = &canvas;
        d.fontScale = 96.0f / 72.0f;
        plotSetDeviceSize(d, image.width(), image.height());
        PscLiveDisplay live(d, p);
        ProgressRecord progress;
        CapturedMessages messages;
        pscDisplayStart(d, p);
        live.drawFrame(b, p, true);  // a previous frame leaves the detector's text style behind
        live.drawFrame(b, p, true);
        pscDetectFrame(p, table, b, 1, &live, progress, messages);
    }
    if (const QByteArray dir = qgetenv("EPHYS_SCREENSHOT_DIR"); !dir.isEmpty()) {
        std::string error;
        QVERIFY2(plotWritePng(image, dir.toStdString() + "/psctrawl_frame.png", &error), error.c_str());
    }

    QCOMPARE(table.count(), 4);
    QCOMPARE(std::string(&table.eventType[1], static_cast<std::size_t>(table.count())), std::string("1231"));

    // Count the pixels of the trace colour and of the four event colours.
    auto count = [&](QRgb colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) n += (line[x] & 0xFFFFFF) == (colour & 0xFFFFFF);
        }
        return n;
    };
    QVERIFY(count(qRgb(0, 0, 0)) > 5000);     // traces, axes, text
    QVERIFY(count(qRgb(255, 0, 0)) > 500);    // type 1: colour 2
    QVERIFY(count(qRgb(255, 0, 255)) > 500);  // type 2: colour 3
    QVERIFY(count(qRgb(0, 255, 0)) > 500);    // type 3: colour 4
    QVERIFY(count(qRgb(0, 255, 255)) > 500);  // rejected: colour 5
}

}  // namespace ephys

QTEST_MAIN(ephys::LiveDisplayRenderTest)
#include "live_display_render_test.moc"
