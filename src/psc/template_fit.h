// The event model's kinetics taken from the recording itself. A first pass over the listed frames
// finds events with the kinetics given so far, keeps the clearest of them (isolated: no other
// event from two decay time constants before the baseline to the end of the averaging window; the
// largest amplitudes among those), averages them aligned at their onsets with their baselines
// subtracted and in the events' direction, and fits the rise and decay time constants, the onset
// and the amplitude of the model exp(-t / decay) - exp(-t / rise) to the average by least squares.
// The frames the detector sees are low-pass filtered, so the model is filtered the same way before
// it is compared with the average: the fitted constants are the currents' own, not the filter's.
// When the fitted kinetics differ much from those the events were found with, the pass runs again
// with the fitted ones (a template far off the events' shape finds them late or splits them, and
// the averaging window follows the decay). The pass finds its events by deconvolution whichever
// model detector analyses the recording afterwards (see collectEvents for why).
//
// Only the snippets of the candidate events are kept, at most kPscTemplateCandidates of them, and a
// pass reads at most kPscTemplateMaxMinutes of frames, so an hour-long recording costs no more
// memory or time for its template than a short one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abf/abf_header.h"
#include "params/progress.h"
#include "psc/psc_parameters.h"
#include "psc/recording_frames.h"

namespace ephys {

// A pass stops once it holds this many isolated events; the largest kPscTemplateAveraged of them
// are averaged. Some 200 events bring the average's noise well below the shape's details at the
// signal-to-noise ratios of real recordings; the spare candidates let the smallest ones (and the
// noise the detector took for events among them) be left out.
inline constexpr int kPscTemplateCandidates = 400;
inline constexpr int kPscTemplateAveraged = 200;
// Fewer clear events than this make no template: the recording keeps the given kinetics.
inline constexpr int kPscTemplateMinEvents = 5;
// A pass looks at no more than this much of the listed frames (minutes), so that a recording
// with rare events does not cost a second full pass, let alone several.
inline constexpr double kPscTemplateMaxMinutes = 10.0;
// Passes at most; a further pass is run while a time constant moves by more than 5 %.
inline constexpr int kPscTemplatePasses = 4;

// The averaged event: values by sample from `lead` samples before the onset, baseline near 0 and
// the event positive.
struct PscEventAverage {
    std::vector<double> values;
    int lead = 0;
    int events = 0;  // events averaged
};

// The model fitted to an average: amplitude x shape(t - onset) + offset, the shape being the
// difference of exponentials (peak 1) filtered as the frames are.
struct PscKineticsFit {
    // false: no fit, a time constant at the end of its range, or an amplitude that does not
    // stand out of the residuals
    bool ok = false;
    double riseMs = 0.0;
    double decayMs = 0.0;
    double onsetMs = 0.0;  // relative to the average's aligned onset
    double amplitude = 0.0;
    double offset = 0.0;
    double rmsResidual = 0.0;
};

// Least-squares fit of the model to `average` (sample interval dtMs; the frames' Gaussian filter
// corner filterHz, 0: unfiltered): a coarse grid of rise and decay time constants on a log scale,
// then Nelder-Mead from the best few grid points in log rise, log decay and onset, with the
// amplitude and the offset solved exactly for each shape.
PscKineticsFit pscFitKinetics(const PscEventAverage& average, double dtMs, double filterHz);

// The model sampled as the fit compares it with an average: shape(t - onsetMs) at samples
// -lead .. count - lead - 1, filtered as the frames are. For tests and for drawing.
std::vector<double> pscModelTrace(double riseMs, double decayMs, double onsetMs, int lead, int count,
                                  double dtMs, double filterHz);

// The kinetics every recording's first pass starts from (the given --template-rise-ms and
// --template-decay-ms, or their defaults).
struct PscTemplateStart {
    float riseMs = 0.5f;
    float decayMs = 5.0f;
};

struct PscTemplateFromRecording {
    enum class State { Fitted, TooFewEvents, FitFailed, Cancelled };
    State state = State::TooFewEvents;
    float riseMs = 0.0f;  // the fitted kinetics when Fitted, the given ones otherwise
    float decayMs = 0.0f;
    int events = 0;  // clear events of the last pass
    int passes = 0;
};

// The first pass over the `frames` of the recording open in `reader`, with the settings of `p`
// fitted to this recording (GetInfo, pscSetupChannel and the time parameters done) and its model
// detector's kinetics as the start. `p` is not changed. A Cancel pressed in `progress` ends the
// pass (Cancelled) and stays pressed for the detection pass.
PscTemplateFromRecording pscTemplateFromRecording(const AbfHeader& header, const PscParameters& p,
                                                  const std::vector<std::int32_t>& frames,
                                                  PscFrameReader& reader, ProgressRecord& progress);

// The line that tells the user what the pass found: the fitted kinetics and the events they come
// from, or why the given ones stay.
std::string pscTemplateLine(const std::string& fileName, const PscTemplateFromRecording& result);

}  // namespace ephys
