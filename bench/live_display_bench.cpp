// psctrawl's live display: the cost of drawing one frame (both panels, axes, zero lines,
// calibration bars, the two traces) into the main window's 1200 x 900 image through the QPainter
// canvas, for the default frame of 2048 samples and a long one of 30000; and the same drawing into
// the recording canvas, which is the plotting library's own share of it.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <random>

#include <benchmark/benchmark.h>

#include "plot/plot_device.h"
#include "plot/recording_canvas.h"
#include "psc/live_display.h"
#include "shell/qt_canvas.h"

namespace {

ephys::PscParameters parameters(int frameLength) {
    ephys::PscParameters p;
    p.sampleInterval = 0.05f;
    p.frameLength = frameLength;
    p.channelTitle = "IN 0 (pA)";
    p.derivativeTitle = "IN 0 (pA/ms)";
    p.maxValues[ephys::kCurrentTrace] = 20.0f;
    p.minValues[ephys::kCurrentTrace] = -120.0f;
    p.maxValues[ephys::kDidtTrace] = 40.0f;
    p.minValues[ephys::kDidtTrace] = -120.0f;
    p.axes = 'Y';
    p.zeroLines = 'Y';
    p.calibrationPosition = 4;
    p.enableSweepDisplay = 'Y';
    return p;
}

ephys::PscFrameBuffers noisyFrame(int frameLength) {
    ephys::PscFrameBuffers b;
    b.resize(frameLength, 0.05);
    std::mt19937 gen(7);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (float& v : b.currentData) v = -40.0f + noise(gen);
    for (float& v : b.didtData) v = noise(gen);
    return b;
}

void drawIntoImage(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    ephys::PscParameters p = parameters(length);
    const ephys::PscFrameBuffers buffers = noisyFrame(length);
    QImage image(1200, 900, QImage::Format_RGB32);
    ephys::PlotDevice device;
    ephys::plotSetDeviceSize(device, image.width(), image.height());
    ephys::PscFrameDrawing scratch;
    {
        QPainter painter(&image);
        ephys::QPainterCanvas canvas(painter);
        device.canvas = &canvas;
        ephys::pscDisplayStart(device, p);
    }
    for (auto _ : state) {
        QPainter painter(&image);
        ephys::QPainterCanvas canvas(painter);
        device.canvas = &canvas;
        ephys::plotReleaseObjects(device);
        ephys::pscDrawFrame(buffers, p, true, device, scratch);
        device.canvas = nullptr;
    }
    state.SetItemsProcessed(state.iterations() * length);
}
BENCHMARK(drawIntoImage)->Arg(2048)->Arg(30000)->Unit(benchmark::kMicrosecond);

void drawIntoRecording(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    ephys::PscParameters p = parameters(length);
    const ephys::PscFrameBuffers buffers = noisyFrame(length);
    ephys::RecordingCanvas canvas;
    ephys::PlotDevice device;
    ephys::plotSetDeviceSize(device, 1200, 900);
    device.canvas = &canvas;
    ephys::pscDisplayStart(device, p);
    ephys::PscFrameDrawing scratch;
    for (auto _ : state) {
        canvas.clear();
        ephys::pscDrawFrame(buffers, p, true, device, scratch);
        benchmark::DoNotOptimize(canvas.calls.data());
    }
    state.SetItemsProcessed(state.iterations() * length);
}
BENCHMARK(drawIntoRecording)->Arg(2048)->Arg(30000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char* argv[]) {
    // Text needs Qt's fonts, which need a GUI application; the offscreen platform needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
