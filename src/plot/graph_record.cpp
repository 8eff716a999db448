#include "plot/graph_record.h"

#include <algorithm>
#include <cstdio>

#include "params/output_file.h"
#include "plot/plot_axes.h"

namespace ephys {

namespace {

// Limit starts: any real value replaces them.
constexpr float kLimitStart = 1e30f;

std::string formatValue(float v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3g", static_cast<double>(v));
    return buffer;
}

std::span<const float> firstValues(std::span<const float> values, int count) {
    const std::size_t n = static_cast<std::size_t>(std::max(count, 0));
    return values.first(std::min(n, values.size()));
}

void widen(float& lo, float& hi, std::span<const float> values) {
    for (float v : values) {
        hi = std::max(hi, v);
        lo = std::min(lo, v);
    }
}

// The series and fitted lines of one sub-plot, in the order they were added.
struct SubPlot {
    std::vector<const GraphSeries*> series;
    std::vector<const GraphFitLine*> fits;
};

SubPlot subPlot(const GraphRecord& record, int p) {
    SubPlot sub;
    for (const GraphSeries& s : record.series)
        if (s.plotNumber == p) sub.series.push_back(&s);
    for (const GraphFitLine& f : record.fits)
        if (f.plotNumber == p) sub.fits.push_back(&f);
    return sub;
}

void replaySubPlot(const GraphRecord& record, PlotDevice& d, int p) {
    const SubPlot sub = subPlot(record, p);

    float xMax = -kLimitStart, yMax = -kLimitStart, xMin = kLimitStart, yMin = kLimitStart;
    for (const GraphSeries* s : sub.series) {
        if (s->xAuto >= 1) {
            widen(xMin, xMax, firstValues(s->xValues, s->pointCount));
        } else {
            xMin = s->xMin;
            xMax = s->xMax;
        }
        if (s->yAuto >= 1) {
            widen(yMin, yMax, firstValues(s->yValues, s->pointCount));
            // Fitted lines are drawn over the series' points, so they must fit in the y range too.
            for (const GraphFitLine* f : sub.fits) widen(yMin, yMax, firstValues(f->yValues, s->pointCount));
        } else {
            yMin = s->yMin;
            yMax = s->yMax;
        }
    }

    // A sub-plot without any point (an F/I series no sweep qualified for) would keep the start
    // values and draw an axis over 60 decades; it gets the empty range instead, which the axis
    // shows as -1 .. 1.
    if (xMin > xMax) xMin = xMax = 0.0f;
    if (yMin > yMax) yMin = yMax = 0.0f;

    const std::string xLabel = sub.series.empty() ? std::string() : sub.series.front()->xLabel;
    const std::string yLabel = sub.series.empty() ? std::string() : sub.series.front()->yLabel;

    plotLayoutCell(d, p, record.plotCount, static_cast<int>(sub.series.size()));
    plotAxis(d, xMin, xMax, 'X', 'N', xLabel);
    plotAxis(d, yMin, yMax, 'Y', 'N', yLabel);

    const int total = static_cast<int>(sub.series.size() + sub.fits.size());
    int place = 0;
    const auto prepare = [&d](int colour) {
        d.seriesColor = static_cast<std::uint8_t>(colour);
        plotSetColor(d, colour);
    };
    for (const GraphSeries* s : sub.series) {
        prepare(place + 1);
        const int n = std::min(
            {s->pointCount, static_cast<int>(s->xValues.size()), static_cast<int>(s->yValues.size())});
        plotSeries(d, s->xValues, s->yValues, std::max(n, 0), s->style, s->legend, total, place);
        ++place;
    }
    // A fitted line runs over the x values of the last series of its sub-plot; with no series
    // there it has nothing to be drawn against.
    const GraphSeries* last = sub.series.empty() ? nullptr : sub.series.back();
    for (const GraphFitLine* f : sub.fits) {
        if (last != nullptr) {
            prepare(place + 1);
            const int n = std::min({last->pointCount, static_cast<int>(last->xValues.size()),
                                    static_cast<int>(f->yValues.size())});
            plotSeries(d, last->xValues, f->yValues, std::max(n, 0), f->style, f->legend, total, place);
        }
        ++place;
    }
}

}  // namespace

void graphCreate(GraphRecord& record, std::string_view title, int plotCount, PlotDevice* device) {
    record = GraphRecord{};
    record.title = std::string(title);
    record.plotCount = plotCount;
    record.device = device;
    record.drawEnabled = 1;
}

void graphAddSeries(GraphRecord& record, int plotNumber, int pointCount, std::span<const float> xValues,
                    std::string_view xLabel, std::span<const float> yValues, std::string_view yLabel,
                    std::string_view legend, std::string_view style, std::string_view styleExtra1,
                    std::string_view styleExtra2, float xMin, float xMax, float yMin, float yMax, int xAuto,
                    int yAuto) {
    GraphSeries s;
    s.plotNumber = plotNumber;
    s.pointCount = std::clamp(pointCount, 0, static_cast<int>(std::min(xValues.size(), yValues.size())));
    s.xValues = xValues;
    s.yValues = yValues;
    s.xLabel = std::string(xLabel);
    s.yLabel = std::string(yLabel);
    s.legend = std::string(legend);
    s.style = std::string(style);
    s.styleExtra1 = std::string(styleExtra1);
    s.styleExtra2 = std::string(styleExtra2);
    s.xMin = xMin;
    s.xMax = xMax;
    s.yMin = yMin;
    s.yMax = yMax;
    s.xAuto = xAuto;
    s.yAuto = yAuto;
    record.series.push_back(std::move(s));
}

void graphAddFitLine(GraphRecord& record, int plotNumber, std::span<const float> yValues,
                     std::string_view legend, std::string_view style) {
    record.fits.push_back({plotNumber, yValues, std::string(legend), std::string(style)});
}

void graphDestroy(GraphRecord& record) {
    record = GraphRecord{};
}

void graphReplay(const GraphRecord& record, PlotDevice& device) {
    plotClear(device);
    if (record.drawEnabled == 0) return;
    for (int p = 1; p <= record.plotCount; ++p) replaySubPlot(record, device, p);
    if (!record.pageTitle.empty()) {
        plotSetColor(device, 0);
        plotSetTextSize(device, 12.0f);
        plotSetTextAlign(device, 1, 2);
        plotTextDevice(device, device.deviceWidth / 2, 1, record.pageTitle);
    }
}

std::string graphPlotFileText(const GraphRecord& record) {
    std::vector<SubPlot> subs;
    for (int p = 1; p <= record.plotCount; ++p) subs.push_back(subPlot(record, p));
    int rows = 0;
    for (const GraphSeries& s : record.series) rows = std::max(rows, s.pointCount);

    std::string out;
    if (!record.pageTitle.empty()) out += record.pageTitle + "\n";

    bool firstGroup = true;
    for (const SubPlot& sub : subs) {
        for (std::size_t i = 0; i < sub.series.size(); ++i) {
            const GraphSeries& s = *sub.series[i];
            if (!firstGroup) out += '\t';
            firstGroup = false;
            out += s.xLabel + "\t" + s.yLabel + "-" + s.legend;
            if (i == 0)
                for (const GraphFitLine* f : sub.fits) out += "\t" + s.yLabel + "-" + f->legend;
        }
    }
    out += '\n';

    for (int row = 0; row < rows; ++row) {
        firstGroup = true;
        for (const SubPlot& sub : subs) {
            for (std::size_t i = 0; i < sub.series.size(); ++i) {
                const GraphSeries& s = *sub.series[i];
                const bool has = row < s.pointCount;
                if (!firstGroup) out += '\t';
                firstGroup = false;
                if (has)
                    out.append(formatValue(s.xValues[static_cast<std::size_t>(row)]))
                        .append("\t")
                        .append(formatValue(s.yValues[static_cast<std::size_t>(row)]));
                else
                    out += '\t';
                if (i != 0) continue;
                // The fitted values stand beside the first series of their sub-plot, row by row.
                for (const GraphFitLine* f : sub.fits) {
                    const std::size_t r = static_cast<std::size_t>(row);
                    if (has && r < f->yValues.size())
                        out.append("\t").append(formatValue(f->yValues[r]));
                    else
                        out += '\t';
                }
            }
        }
        out += '\n';
    }
    return out;
}

bool graphWritePlotFile(const GraphRecord& record, const std::string& path) {
    OutputFile file;
    if (!file.create(path)) return false;
    file.put(graphPlotFileText(record));
    return file.publish();
}

std::string graphDefaultPlotFileName(const GraphRecord& record) {
    return (record.pageTitle.empty() ? std::string("plotfile") : record.pageTitle) + ".TXT";
}

}  // namespace ephys
