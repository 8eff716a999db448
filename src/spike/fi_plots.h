// The F/I figure: three sub-plots, one per interval series ("first", "middle", "last"), each with
// its points (frequency against stimulus current) and the fitted straight line over them; points
// that all lie at one stimulus have no line and are shown alone.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "plot/graph_record.h"
#include "spike/fi_fit.h"

namespace ephys {

inline constexpr int kFiPlotHeight = 700;

// The graph record together with the float arrays it references. The arrays are made once, at
// their final size, so moving an FiPlot keeps every reference valid; copying would not, so it is
// move-only.
struct FiPlot {
    GraphRecord record;
    // Per series k: values[3k] stimuli, values[3k + 1] frequencies, values[3k + 2] fitted frequencies.
    std::vector<std::vector<float>> values;

    FiPlot() = default;
    FiPlot(FiPlot&&) = default;
    FiPlot& operator=(FiPlot&&) = default;
    FiPlot(const FiPlot&) = delete;
    FiPlot& operator=(const FiPlot&) = delete;
};

// Series names as the legends show them: "first", "middle", "last".
extern const std::array<const char*, kFiSeriesCount> kFiSeriesNames;

// The F/I figure of a recording (`recordingPath` its full path) from the collected points and
// their fits; `device` is the plot device the window draws with (may be null).
FiPlot fiBuildPlots(const std::string& recordingPath, const FiSeriesSet& set,
                    const std::array<FiFit, kFiSeriesCount>& fits, PlotDevice* device = nullptr);

}  // namespace ephys
