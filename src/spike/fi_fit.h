// Frequency/current (F/I) relations: for every sweep and channel the instantaneous frequency of
// the first, the measured and the last inter-spike interval against the sweep's stimulus, one
// least-squares line through each series, the fit table of the frequency file and the short
// summary that becomes the run's result text.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

namespace ephys {

// The three series: 1 "first", 2 "middle", 3 "last".
inline constexpr int kFiSeriesCount = 3;

struct FiPoint {
    double stimulus = 0.0;   // pA
    double frequency = 0.0;  // Hz
};

// Every point is kept, however many sweeps and channels the recording has.
struct FiSeriesSet {
    std::array<std::vector<FiPoint>, kFiSeriesCount> series;
};

// A series whose points all lie at one stimulus (or that has none) has no line: no slope and no
// intercepts. A flat line (slope 0) has no X intercept.
struct FiFit {
    bool hasLine = false;
    double slope = 0.0;
    double intercept = 0.0;  // frequency at stimulus 0
    bool hasXIntercept = false;
    double xIntercept = 0.0;  // stimulus at frequency 0
    double rSquared = 0.0;
    int n = 0;
    double lastStimulus = 0.0;  // the stimulus of the series' last point (0 without points)
    double fittedAtLast = 0.0;  // the line's frequency there (0 without points or line)
};

// Instantaneous frequencies F(k) = 1000 / (t_k - t_(k-1)) Hz for k = 2 .. q of latencies in ms;
// element 0 is F(2).
std::vector<double> fiInstantFrequencies(std::span<const float> latencies);

// Adds one channel's sweep: F(2) to "first" and F(q) to "last" when there are at least two
// spikes, F(m + 1) to "middle" when there are more than m (m = "Interval to Measure", >= 1).
void fiAddSweep(FiSeriesSet& set, double stimulus, std::span<const float> latencies, int interval);

// The least-squares line frequency = slope x stimulus + intercept. A zero determinant (no points,
// or all at one stimulus) gives no line; a zero covariance gives R sq 1.
FiFit fiFitLine(std::span<const FiPoint> points);

// The fit table appended to the frequency file: a heading and one row per series. What a fit does
// not have (slope and intercepts without a line, the X intercept of a flat line, the fitted
// frequency of points without a line) is an empty cell.
std::string fiTableText(const std::array<FiFit, kFiSeriesCount>& fits);

// The result text: "File: <name>", then slope, X intercept and R sq of each series; a value the
// fit does not have reads "none".
std::string fiSummaryText(const std::string& name, const std::array<FiFit, kFiSeriesCount>& fits);

}  // namespace ephys
