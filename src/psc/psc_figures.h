// The events figure of a recording, drawn from its stored events: the average event over the
// individual events in grey, histograms of amplitude, 10-90 % rise time and inter-event interval,
// and amplitude against recording time. The figure is drawn through the plotting library on any
// canvas: as SVG here, as PNG by the desktop layer. Axis titles are the event table's.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "params/messages.h"
#include "params/run_outputs.h"
#include "plot/plot_device.h"
#include "psc/event_table.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr int kPscFigureWidth = 1000;
inline constexpr int kPscFigureHeight = 1100;
// Individual events drawn in grey behind the average, at most; spread evenly over the recording.
inline constexpr int kPscFigureTraces = 40;
// Bins of a histogram, at most.
inline constexpr int kPscHistogramBins = 50;

inline constexpr std::string_view kPscFigureSuffix = "_events";

// Equal bins from the smallest to the largest value (the largest in the last bin): ceil(sqrt(n))
// bins, at most kPscHistogramBins. All values equal: one bin of width 1 around them. No values
// (or none that is a finite number): no bins.
struct PscHistogram {
    float low = 0.0f;    // left edge of the first bin
    float width = 0.0f;  // bin width
    std::vector<int> counts;
    float high() const { return low + width * static_cast<float>(counts.size()); }
};
PscHistogram pscHistogram(std::span<const float> values);

struct PscEventsFigure {
    std::string recordingName;  // as given on the command line
    std::string currentTitle;   // the analysed channel's title, e.g. "IN 0 (pA)"
    int eventCount = 0;
    // Per stored event, in table order: amplitude (pA), times (sec); 10-90 rise time (ms) of the
    // events where it was measured; interval (sec) to the previous event, from the second on.
    std::vector<float> amplitudes;
    std::vector<float> times;
    std::vector<float> riseTimes;
    std::vector<float> intervals;
    // The average event: times in ms from each event's onset, and the mean of the events'
    // baseline-subtracted traces; `averaged` events went into it. `traces` holds the events
    // drawn in grey (sample times as traceTimes).
    std::vector<float> traceTimes;
    std::vector<float> average;
    int averaged = 0;
    std::vector<std::vector<float>> traces;
};

// The figure's values from the event table; the traces are left for pscEventsFigureTraces.
PscEventsFigure pscEventsFigureValues(const std::string& recordingName, const PscEventTable& table,
                                      const PscParameters& p);

// Each stored event's trace, read from the recording again: "# of 256pt/blocks to export" x 256
// samples of the analysed channel in pA, a tenth of them before the event's onset (as the scan
// file's traces), filtered with the run's Gaussian filter ("Filtering (Hz)") over the trace and
// 52 samples on each side, and taken relative to the mean of its part before the onset. Positions
// outside the recording take its first or last sample. `p` holds the channel set up for the
// recording (pscSetupChannel), before the scan file changes the scale of float recordings.
// False, with the reason in `error`, when the recording cannot be opened.
bool pscEventsFigureTraces(PscEventsFigure& figure, const std::string& recordingPath,
                           const PscEventTable& table, const PscParameters& p, std::string& error);

// A device for one drawing of the figure on `canvas`: white background, 14-pixel text.
PlotDevice pscFigureDevice(PlotCanvas& canvas, int width, int height);

// Draws the figure: the recording's name and event count across the top, then in two columns
// the average event and amplitude over time, the amplitude and rise-time histograms, the
// interval histogram and a short legend.
void pscDrawEventsFigure(PlotDevice& d, const PscEventsFigure& figure);

// The figure as an SVG document.
std::string pscEventsFigureSvg(const PscEventsFigure& figure, int width = kPscFigureWidth,
                               int height = kPscFigureHeight);

// Where the figure of a recording goes: the output folder (outputDir, or the recording's own
// folder when that is empty), the recording's name without its folder and extension, "_events"
// and `extension` (".svg", ".png").
std::string pscFigurePath(std::string_view recordingName, std::string_view outputDir,
                          std::string_view extension);

// Writes one figure file as an output of the recording, as the text outputs are written: a name
// an earlier recording of the run has taken is not written, an existing file is kept unless
// `overwrite` is 'Y' (through the save-name check with "Figure Files"), and the file is held in
// `outputs` until the recording's outputs are put in place together. A file that cannot be made
// or written says so ("Couldn't write the figure file: <path>: <reason>", caption "Error") and
// marks the recording failed. False when the figure was not written.
bool pscWriteFigureFile(const std::string& path, std::string_view bytes, char overwrite,
                        MessageSink& messages, RunOutputs& outputs);

}  // namespace ephys
