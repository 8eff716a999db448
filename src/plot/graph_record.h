// The data behind a graph window: series of x/y values with their labels, styles and axis
// limits, fitted lines, and the sub-plot each belongs to. The window keeps no drawing commands;
// every paint, copy and print replays the whole figure from this record through the plotting
// library, and the record's numbers can be exported as a tab-separated text file.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plot/plot_device.h"

namespace ephys {

// One data series. The value arrays belong to the caller, who keeps them alive (and in place)
// until the record is destroyed.
struct GraphSeries {
    int plotNumber = 1;  // sub-plot, 1-based
    int pointCount = 0;
    std::span<const float> xValues;
    std::span<const float> yValues;
    std::string xLabel;
    std::string yLabel;
    std::string legend;
    std::string style;                                         // style letters of plotSeries
    std::string styleExtra1, styleExtra2;                      // kept with the series, not used in drawing
    float xMin = 0.0f, xMax = 0.0f, yMin = 0.0f, yMax = 0.0f;  // fixed limits
    int xAuto = 0, yAuto = 0;  // 1 or more: scale that axis to the data instead
};

// A fitted line: y values drawn against the x values (and over the point count) of the last data
// series of its sub-plot. The values belong to the caller, as for a series.
struct GraphFitLine {
    int plotNumber = 1;
    std::span<const float> yValues;
    std::string legend;
    std::string style;
};

// The per-series and per-fit tables are vectors, so a record may hold any number of sub-plots,
// series and fitted lines; neither the replay nor the plot-file export has a fixed limit.
struct GraphRecord {
    std::array<std::string, 3> menuTexts;  // replace the first three popup items when not empty
    std::string title;                     // window caption
    std::vector<GraphSeries> series;
    std::string pageTitle;  // drawn across the top when not empty
    int plotCount = 0;
    int multiPlot = 0;  // set by the show operation
    std::vector<GraphFitLine> fits;
    PlotDevice* device = nullptr;             // the drawing context, owned by the caller; may be null
    int result = 0;                           // 99 after "&Stop Plotting"
    int x = 0, y = 0, width = 0, height = 0;  // window geometry; 0 or less: 200, 200, 800, 500
    int drawEnabled = 1;                      // 0: a repaint only clears
    int quitOnDestroy = 0;

    int seriesCount() const { return static_cast<int>(series.size()); }
    int fitCount() const { return static_cast<int>(fits.size()); }
};

inline constexpr int kGraphStopPlotting = 99;
inline constexpr int kGraphCopy = 98;
inline constexpr int kGraphPrint = 97;
inline constexpr int kGraphWritePlotFile = 96;

// Starts an empty record: title, sub-plot count and device; drawing enabled.
void graphCreate(GraphRecord& record, std::string_view title, int plotCount, PlotDevice* device);

// Appends one series; the texts are copied, the value arrays referenced. The point count is
// limited to the values the two arrays hold.
void graphAddSeries(GraphRecord& record, int plotNumber, int pointCount, std::span<const float> xValues,
                    std::string_view xLabel, std::span<const float> yValues, std::string_view yLabel,
                    std::string_view legend, std::string_view style, std::string_view styleExtra1,
                    std::string_view styleExtra2, float xMin, float xMax, float yMin, float yMax, int xAuto,
                    int yAuto);

// Appends one fitted line to a sub-plot.
void graphAddFitLine(GraphRecord& record, int plotNumber, std::span<const float> yValues,
                     std::string_view legend, std::string_view style);

// Forgets everything the record holds (not the caller's value arrays).
void graphDestroy(GraphRecord& record);

// Draws the whole figure on the device: clear, then (when drawing is enabled) every sub-plot with
// its axes, series and fitted lines, then the page title.
void graphReplay(const GraphRecord& record, PlotDevice& device);

// The tab-separated plot file: the page title line, a heading, and one row per point up to the
// largest point count; values "%.3g", missing ones as empty fields.
std::string graphPlotFileText(const GraphRecord& record);

// Writes the plot file (through a temporary file renamed onto `path`). False when it could not
// be written; an existing file is then left as it was.
bool graphWritePlotFile(const GraphRecord& record, const std::string& path);

// The plot file's default name: the page title, or "plotfile", followed by ".TXT".
std::string graphDefaultPlotFileName(const GraphRecord& record);

}  // namespace ephys
