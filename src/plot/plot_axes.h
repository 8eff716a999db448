// The middle layer of the plotting library: axes with round-numbered ticks that set the device's
// world-to-device transform, data series as lines, symbols, error bars or histogram steps with a
// legend, and a one-call XY plot.
#pragma once

#include <span>
#include <string_view>

#include "plot/plot_device.h"

namespace ephys {

// One axis: 'X' horizontal, 'Y' or 'A' vertical; scale 'N' linear, 'M' linear with the tick count
// in the label's first character, 'L' logarithmic.
void plotAxis(PlotDevice& d, float min, float max, char axisLetter, char scaleLetter, std::string_view label);

// One series of n points; for style E the errors follow the n values in ys (ys[n + i]).
void plotSeries(PlotDevice& d, std::span<const float> xs, std::span<const float> ys, int n,
                std::string_view style, std::string_view legend, int seriesCount, int seriesIndex);

// One sub-plot of a grid: layout, background, both axes, one series.
void plotXY(PlotDevice& d, int cell, int count, int n, std::span<const float> xs, std::string_view xLabel,
            std::span<const float> ys, std::string_view yLabel, std::string_view style);

// The symbol radius in pixels for the current frame and target height.
float plotSymbolSize(const PlotDevice& d);

}  // namespace ephys
