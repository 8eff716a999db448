#include "psc/psc_figures.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "abf/abf_file.h"
#include "plot/plot_axes.h"
#include "plot/svg_canvas.h"
#include "psc/frame_buffers.h"
#include "psc/psc_outputs.h"
#include "psc/recording_frames.h"
#include "signal/gaussian_filter.h"

namespace ephys {

namespace {

// Samples read beyond each end of a trace so that the filter sees the trace's neighbourhood, as
// it does within a frame: the widest Gaussian has this many taps on each side.
constexpr std::int64_t kFilterMargin = kGaussianMaxTaps;

// Palette indices.
constexpr int kBlack = 0;
constexpr int kBlue = 1;
constexpr int kGrey = 8;  // text about the grey traces: light grey is hard to read
constexpr int kLightGrey = 7;
constexpr int kLightBlue = 9;

// Layout: three rows of two panels under the page title, in fractions of the figure.
constexpr int kRows = 3;
constexpr float kTitleBand = 0.05f;    // page title
constexpr float kHeadingBand = 0.03f;  // panel heading above each frame
constexpr float kAxisBand = 0.095f;    // tick labels and axis title below each frame
constexpr float kLeftBand = 0.10f;     // tick labels and axis title left of each frame
constexpr float kRightGap = 0.03f;

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string counted(int n, const char* one, const char* many) {
    return std::to_string(n).append(" ").append(n == 1 ? one : many);
}

// Frame of panel `cell` (1..6: left to right, top to bottom); returns the cell's top (fraction
// from the bottom) for its heading.
float placePanel(PlotDevice& d, int cell) {
    const int row = (cell - 1) / 2;
    const int column = (cell - 1) % 2;
    const float rowHeight = (1.0f - kTitleBand) / static_cast<float>(kRows);
    const float cellTop = 1.0f - kTitleBand - static_cast<float>(row) * rowHeight;
    d.frameLeft = static_cast<float>(column) / 2.0f + kLeftBand;
    d.frameRight = static_cast<float>(column + 1) / 2.0f - kRightGap;
    d.frameTop = cellTop - kHeadingBand;
    d.frameBottom = cellTop - rowHeight + kAxisBand;
    return cellTop;
}

void heading(PlotDevice& d, float cellTop, const std::string& text) {
    plotSetColor(d, kBlack);
    plotSetTextAlign(d, 1, 2);
    const float centre = (d.frameLeft + d.frameRight) / 2.0f * d.widthF;
    plotTextDevice(d, plotRound(centre), plotRound((1.0f - cellTop) * d.heightF + 2.0f), text);
}

// The x and y range of a set of values with some room, for an axis.
std::pair<float, float> rangeOf(std::span<const float> values, bool withZero) {
    float lo = withZero ? 0.0f : values.empty() ? 0.0f : values.front();
    float hi = lo;
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return {lo, hi};
}

void noEvents(PlotDevice& d, std::string_view xTitle, std::string_view yTitle) {
    plotAxis(d, 0.0f, 1.0f, 'X', 'N', xTitle);
    plotAxis(d, 0.0f, 1.0f, 'Y', 'N', yTitle);
    plotSetColor(d, kBlack);
    plotSetTextAlign(d, 1, 1);
    plotText(d, 0.5f, 0.5f, "no events");
}

void drawHistogram(PlotDevice& d, std::span<const float> values, std::string_view xTitle) {
    const PscHistogram h = pscHistogram(values);
    if (h.counts.empty()) {
        noEvents(d, xTitle, "Events");
        return;
    }
    const int most = *std::max_element(h.counts.begin(), h.counts.end());
    plotAxis(d, h.low, h.high(), 'X', 'N', xTitle);
    plotAxis(d, 0.0f, static_cast<float>(std::max(most, 5)), 'Y', 'N', "Events");
    // Bars filled light blue and outlined in blue; empty bins draw nothing.
    plotSetColor(d, kLightBlue);
    d.penColor = kBlue;
    d.penDirty = true;
    plotSetFill(d, 0, 0, 0);
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        if (h.counts[i] == 0) continue;
        const float x0 = h.low + h.width * static_cast<float>(i);
        plotRect(d, x0, 0.0f, x0 + h.width, static_cast<float>(h.counts[i]));
    }
}

void drawAverage(PlotDevice& d, const PscEventsFigure& f) {
    const std::string yTitle = f.currentTitle.empty() ? std::string("current (pA)") : f.currentTitle;
    if (f.average.empty() || f.traceTimes.size() < 2) {
        noEvents(d, "time (ms)", yTitle);
        return;
    }
    float lo = 0.0f, hi = 0.0f;
    std::vector<const std::vector<float>*> all{&f.average};
    for (const std::vector<float>& t : f.traces) all.push_back(&t);
    for (const std::vector<float>* t : all) {
        const auto [a, b] = rangeOf(*t, true);
        lo = std::min(lo, a);
        hi = std::max(hi, b);
    }
    plotAxis(d, f.traceTimes.front(), f.traceTimes.back(), 'X', 'N', "time (ms)");
    plotAxis(d, lo, hi, 'Y', 'N', yTitle);
    const int n = static_cast<int>(f.traceTimes.size());
    plotSetColor(d, kLightGrey);
    plotSetLineStyle(d, kPenSolid, 0, 1);
    for (const std::vector<float>& t : f.traces) plotPolyline(d, f.traceTimes, t, n);
    plotZeroLines(d, kPenDot);
    plotSetColor(d, kBlack);
    plotSetLineStyle(d, kPenSolid, 0, 2);
    plotPolyline(d, f.traceTimes, f.average, n);
    plotSetLineStyle(d, kPenSolid, 0, 1);
}

void drawAmplitudeOverTime(PlotDevice& d, const PscEventsFigure& f) {
    if (f.times.empty()) {
        noEvents(d, "times (sec)", "amplitude (pA)");
        return;
    }
    const auto [t0, t1] = rangeOf(f.times, true);
    const auto [a0, a1] = rangeOf(f.amplitudes, true);
    plotAxis(d, t0, t1, 'X', 'N', "times (sec)");
    plotAxis(d, a0, a1, 'Y', 'N', "amplitude (pA)");
    plotSetColor(d, kBlue);
    plotSetFill(d, 0, 0, 0);
    // One dot per 2-pixel cell: thousands of events in one place draw once.
    std::set<std::pair<int, int>> drawn;
    const std::size_t n = std::min(f.times.size(), f.amplitudes.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(f.times[i]) || !std::isfinite(f.amplitudes[i])) continue;
        const int x = plotDeviceX(d, f.times[i]);
        const int y = plotDeviceY(d, f.amplitudes[i]);
        if (!drawn.insert({x / 2, y / 2}).second) continue;
        plotCircleDevice(d, x, y, 1.5f);
    }
}

void drawLegend(PlotDevice& d, const PscEventsFigure& f) {
    const float left = d.frameLeft * d.widthF;
    float y = (1.0f - d.frameTop) * d.heightF;
    const float line = 1.6f * static_cast<float>(plotTextHeight(d, "A"));
    plotSetTextAlign(d, 0, 2);
    auto say = [&](int color, const std::string& text) {
        plotSetColor(d, color);
        plotTextDevice(d, plotRound(left), plotRound(y), text);
        y += line;
    };
    say(kBlack, counted(f.eventCount, "event stored", "events stored"));
    if (f.averaged > 0) {
        say(kBlack, "black: average of " + counted(f.averaged, "event", "events"));
        say(kGrey, "grey: " + std::to_string(f.traces.size()) + " of them, spread over the recording");
    }
    if (!f.amplitudes.empty()) {
        double sum = 0.0;
        for (float a : f.amplitudes) sum += a;
        say(kBlack, formatted("mean amplitude (pA): %.4g", sum / static_cast<double>(f.amplitudes.size())));
    }
    if (!f.riseTimes.empty()) {
        double sum = 0.0;
        for (float r : f.riseTimes) sum += r;
        say(kBlack,
            formatted("mean 10-90 rise time (ms): %.4g", sum / static_cast<double>(f.riseTimes.size())));
    }
    if (!f.times.empty() && f.times.back() > f.times.front()) {
        const double span = static_cast<double>(f.times.back()) - static_cast<double>(f.times.front());
        say(kBlack, formatted("mean rate (Hz): %.4g", static_cast<double>(f.eventCount - 1) / span));
    }
}

// The nearest sample to a time (halves go up).
std::int64_t nearestSample(float timeMs, float sampleInterval) {
    if (!(sampleInterval > 0.0f)) return 0;
    const double q = std::floor(static_cast<double>(timeMs / sampleInterval) + 0.5);
    if (!std::isfinite(q)) return 0;
    constexpr double kLimit = 4.0e18;
    return static_cast<std::int64_t>(std::clamp(q, -kLimit, kLimit));
}

}  // namespace

PscHistogram pscHistogram(std::span<const float> values) {
    PscHistogram h;
    std::vector<float> finite;
    finite.reserve(values.size());
    for (float v : values)
        if (std::isfinite(v)) finite.push_back(v);
    if (finite.empty()) return h;
    const auto [lo, hi] = std::minmax_element(finite.begin(), finite.end());
    int bins = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(finite.size()))));
    bins = std::clamp(bins, 1, kPscHistogramBins);
    if (!(*hi > *lo)) {
        h.low = *lo - 0.5f;
        h.width = 1.0f;
        h.counts.assign(1, static_cast<int>(finite.size()));
        return h;
    }
    h.low = *lo;
    h.width = (*hi - *lo) / static_cast<float>(bins);
    h.counts.assign(static_cast<std::size_t>(bins), 0);
    for (float v : finite) {
        const auto bin = static_cast<int>((v - h.low) / h.width);
        ++h.counts[static_cast<std::size_t>(std::clamp(bin, 0, bins - 1))];
    }
    return h;
}

PscEventsFigure pscEventsFigureValues(const std::string& recordingName, const PscEventTable& table,
                                      const PscParameters& p) {
    PscEventsFigure f;
    f.recordingName = recordingName;
    f.currentTitle = p.channelTitle;
    f.eventCount = std::max(table.count(), 0);
    const auto n = static_cast<std::size_t>(f.eventCount);
    f.amplitudes.reserve(n);
    f.times.reserve(n);
    for (std::size_t row = 1; row <= n; ++row) {
        f.amplitudes.push_back(table.at(kAmplitude, row));
        f.times.push_back(table.at(kEventTime, row) / 1000.0f);
        // -1: not measured.
        if (table.at(kRiseTime, row) >= 0.0f) f.riseTimes.push_back(table.at(kRiseTime, row));
        if (row > 1)
            f.intervals.push_back((table.at(kEventTime, row) - table.at(kEventTime, row - 1)) / 1000.0f);
    }
    return f;
}

bool pscEventsFigureTraces(PscEventsFigure& figure, const std::string& recordingPath,
                           const PscEventTable& table, const PscParameters& p, std::string& error) {
    figure.traceTimes.clear();
    figure.average.clear();
    figure.traces.clear();
    figure.averaged = 0;

    const std::int64_t length = static_cast<std::int64_t>(std::max(1, p.exportBlocks)) * 256;
    const std::int64_t before = length / 10;
    const float dt = p.sampleInterval;
    figure.traceTimes.resize(static_cast<std::size_t>(length));
    for (std::int64_t k = 0; k < length; ++k)
        figure.traceTimes[static_cast<std::size_t>(k)] = static_cast<float>(k - before) * dt;
    const int count = std::max(table.count(), 0);
    if (count == 0) return true;

    AbfFile file;
    AbfHeader header;
    int pieceLength = p.frameLengthSetting;
    const Result<int> opened = file.open(recordingPath, header, pieceLength);
    if (!opened) {
        error = opened.error().text();
        return false;
    }
    const int channels = std::max<int>(1, header.adcNumChannels);
    const int position = std::clamp<int>(p.channelNumber, 0, channels - 1);
    // The frames of the recording, never beyond its data.
    const std::int64_t points = std::min<std::int64_t>(
        static_cast<std::int64_t>(std::max(0, p.frameLength)) * std::max(0, p.frameCount),
        header.actualAcqLength / channels);
    if (points <= 0) return true;

    // The events drawn in grey: evenly spread over the table's rows.
    const int shown = std::min(count, kPscFigureTraces);
    std::vector<int> shownRows;
    for (int j = 0; j < shown; ++j)
        shownRows.push_back(1 + static_cast<int>(static_cast<std::int64_t>(j) * count / shown));

    const std::int64_t span = length + 2 * kFilterMargin;
    std::vector<float> window(static_cast<std::size_t>(span));
    std::vector<float> read(static_cast<std::size_t>(span));
    std::vector<double> sum(static_cast<std::size_t>(length), 0.0);
    GaussianTaps taps;
    std::size_t nextShown = 0;
    for (int i = 1; i <= count; ++i) {
        const auto row = static_cast<std::size_t>(i);
        const std::int64_t first = nearestSample(table.at(kSampleTime, row), dt) - before - kFilterMargin;
        const std::int64_t lo = std::clamp<std::int64_t>(first, 0, points - 1);
        const std::int64_t hi = std::clamp<std::int64_t>(first + span - 1, 0, points - 1);
        const Result<std::int64_t> got =
            file.readPointsScaled(position, lo, hi - lo + 1, p.channelScale, p.channelOffset,
                                  std::span<float>(read.data(), static_cast<std::size_t>(hi - lo + 1)));
        if (!got || *got <= 0) continue;
        const std::int64_t last = lo + *got - 1;
        for (std::int64_t k = 0; k < span; ++k)
            window[static_cast<std::size_t>(k)] =
                read[static_cast<std::size_t>(std::clamp<std::int64_t>(first + k, lo, last) - lo)];
        if (p.filterHz > 0.0f) gaussianFilter(window, p.filterHz, dt * 1000.0f, taps);

        const float* trace = window.data() + kFilterMargin;
        double baseline = 0.0;
        const std::int64_t baselineSamples = std::max<std::int64_t>(before, 1);
        for (std::int64_t k = 0; k < baselineSamples; ++k) baseline += trace[k];
        baseline /= static_cast<double>(baselineSamples);
        for (std::int64_t k = 0; k < length; ++k) sum[static_cast<std::size_t>(k)] += trace[k] - baseline;
        ++figure.averaged;

        while (nextShown < shownRows.size() && shownRows[nextShown] < i) ++nextShown;
        if (nextShown < shownRows.size() && shownRows[nextShown] == i) {
            std::vector<float>& t = figure.traces.emplace_back(static_cast<std::size_t>(length));
            for (std::int64_t k = 0; k < length; ++k)
                t[static_cast<std::size_t>(k)] = static_cast<float>(trace[k] - baseline);
            ++nextShown;
        }
    }
    if (figure.averaged > 0) {
        figure.average.resize(static_cast<std::size_t>(length));
        for (std::size_t k = 0; k < sum.size(); ++k)
            figure.average[k] = static_cast<float>(sum[k] / figure.averaged);
    }
    return true;
}

PlotDevice pscFigureDevice(PlotCanvas& canvas, int width, int height) {
    PlotDevice d;
    d.canvas = &canvas;
    d.printing = 0;
    d.fontScale = 1.0f;
    plotSetDeviceSize(d, std::max(width, 1), std::max(height, 1));
    plotReleaseObjects(d);
    plotSetTextStyle(d, 0, 0.0f);
    return d;
}

void pscDrawEventsFigure(PlotDevice& d, const PscEventsFigure& f) {
    plotClear(d);
    plotSetTextStyle(d, 0, 0.0f);
    plotSetColor(d, kBlack);
    plotSetTextAlign(d, 1, 2);
    plotTextDevice(
        d, d.deviceWidth / 2, plotRound(0.012f * d.heightF),
        std::string(f.recordingName).append(": ").append(counted(f.eventCount, "event", "events")));

    float top = placePanel(d, 1);
    heading(d, top, "Average event");
    drawAverage(d, f);

    top = placePanel(d, 2);
    heading(d, top, "Amplitude over recording time");
    drawAmplitudeOverTime(d, f);

    top = placePanel(d, 3);
    heading(d, top, "Amplitude");
    drawHistogram(d, f.amplitudes, "amplitude (pA)");

    top = placePanel(d, 4);
    heading(d, top, "10-90 rise time");
    drawHistogram(d, f.riseTimes, "10-90 rise time (ms)");

    top = placePanel(d, 5);
    heading(d, top, "Inter-event interval");
    drawHistogram(d, f.intervals, "interval (sec)");

    placePanel(d, 6);
    drawLegend(d, f);
}

std::string pscEventsFigureSvg(const PscEventsFigure& figure, int width, int height) {
    SvgCanvas svg(std::max(width, 1), std::max(height, 1));
    PlotDevice d = pscFigureDevice(svg, width, height);
    pscDrawEventsFigure(d, figure);
    return svg.document();
}

std::string pscFigurePath(std::string_view recordingName, std::string_view outputDir,
                          std::string_view extension) {
    std::string path = pscOutputPaths(recordingName, outputDir).directory;
    if (!path.empty() && path.back() != '/') path.push_back('/');
    return path.append(pscBaseName(std::string(recordingName))).append(kPscFigureSuffix).append(extension);
}

bool pscWriteFigureFile(const std::string& path, std::string_view bytes, char overwrite,
                        MessageSink& messages, RunOutputs& outputs) {
    if (!outputs.isFree(path, messages)) return false;
    std::string target = path;
    bool replaces = false;
    if (!pscSaveNameCheck(target, "Figure Files", overwrite != 'Y', messages, &replaces)) return false;
    if (target != path && !outputs.isFree(target, messages)) return false;
    auto report = [&messages](const OutputFile& f) {
        std::string text = "Couldn't write the figure file: ";
        text.append(f.path()).append(": ");
        if (f.error() == EEXIST)
            text.append("a file of that name was made meanwhile; it is kept");
        else
            text.append(std::strerror(f.error() != 0 ? f.error() : EIO));
        messages.show(MessageKind::PlainError, kPlainErrorCaption, text);
    };
    OutputFile file;
    if (!file.create(target, replaces ? OutputFile::Existing::Replace : OutputFile::Existing::Keep)) {
        report(file);
        outputs.markFailed();
        return false;
    }
    outputs.take(target);
    file.write(bytes);
    if (!file.finish()) {
        report(file);
        outputs.markFailed();
        return false;
    }
    outputs.hold(std::move(file), report);
    return true;
}

}  // namespace ephys
