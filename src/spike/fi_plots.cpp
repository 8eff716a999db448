#include "spike/fi_plots.h"

#include <cstdio>

namespace ephys {

const std::array<const char*, kFiSeriesCount> kFiSeriesNames = {"first", "middle", "last"};

namespace {

std::string formatText(const char* format, const char* text) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, text);
    return buffer;
}

std::string formatSlope(double slope) {
    char buffer[512];  // room for the widest double
    std::snprintf(buffer, sizeof buffer, "f/I slope %0.2f", slope);
    return buffer;
}

}  // namespace

FiPlot fiBuildPlots(const std::string& recordingPath, const FiSeriesSet& set,
                    const std::array<FiFit, kFiSeriesCount>& fits, PlotDevice* device) {
    FiPlot plot;
    graphCreate(plot.record, "F/I plots for file " + recordingPath, kFiSeriesCount, device);
    plot.record.height = kFiPlotHeight;

    // All arrays first, so that none moves once the record refers to it.
    plot.values.resize(3 * kFiSeriesCount);
    for (int k = 0; k < kFiSeriesCount; ++k) {
        const std::vector<FiPoint>& points = set.series[static_cast<std::size_t>(k)];
        const FiFit& fit = fits[static_cast<std::size_t>(k)];
        std::vector<float>& xs = plot.values[static_cast<std::size_t>(3 * k)];
        std::vector<float>& ys = plot.values[static_cast<std::size_t>(3 * k + 1)];
        std::vector<float>& fitted = plot.values[static_cast<std::size_t>(3 * k + 2)];
        for (const FiPoint& p : points) {
            xs.push_back(static_cast<float>(p.stimulus));
            ys.push_back(static_cast<float>(p.frequency));
            if (fit.hasLine) fitted.push_back(static_cast<float>(fit.slope * p.stimulus + fit.intercept));
        }
    }

    for (int k = 0; k < kFiSeriesCount; ++k) {
        const std::vector<float>& xs = plot.values[static_cast<std::size_t>(3 * k)];
        const std::vector<float>& ys = plot.values[static_cast<std::size_t>(3 * k + 1)];
        const std::vector<float>& fitted = plot.values[static_cast<std::size_t>(3 * k + 2)];
        const int plotNumber = k + 1;
        graphAddSeries(plot.record, plotNumber, static_cast<int>(xs.size()), xs, "Stimulus current", ys,
                       "Frequency (Hz)", formatText("%s Intvl", kFiSeriesNames[static_cast<std::size_t>(k)]),
                       "M", "", "", 0.0f, 0.0f, 0.0f, 0.0f, 1, 1);
        // Points at a single stimulus have no line through them: they are shown alone.
        const FiFit& fit = fits[static_cast<std::size_t>(k)];
        if (fit.hasLine) graphAddFitLine(plot.record, plotNumber, fitted, formatSlope(fit.slope), "L");
    }
    return plot;
}

}  // namespace ephys
