#include "psc/template_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "params/c_numbers.h"
#include "psc/event_detection.h"
#include "psc/frame_buffers.h"
#include "psc/model_detection.h"
#include "psc/sweep_control.h"
#include "signal/gaussian_filter.h"

namespace ephys {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The averaging window: from the baseline before the onset (at least 3 ms, or two rise time
// constants) to six decay time constants after it, where the event has fallen to 0.25 % of its
// peak. No other event may start from two decay time constants before the baseline to the end
// of the window: the tail of an earlier event would tilt the baseline, a later one add a bump.
constexpr double kLeadMs = 3.0;
constexpr double kLeadRises = 2.0;
constexpr double kWindowDecays = 6.0;
constexpr double kQuietDecaysBefore = 2.0;
// A further pass runs while a fitted time constant differs from the pass's by more than this
// factor.
constexpr double kSettledRatio = 1.05;

// Smallest ratio of the fitted amplitude to the residuals' RMS that counts as an event.
constexpr double kClearAmplitude = 5.0;

// Ranges of the fitted time constants. The shortest rise is half a sample interval (a faster
// rise is a step at this sampling); the longest decay a few times the window, past which the
// average cannot tell it from a baseline shift. A fit that ends at a range's end is no fit.
struct FitRange {
    double riseMin, riseMax, decayMin, decayMax, onsetMin, onsetMax;
};

// Peak of exp(-t / decay) - exp(-t / rise), for the shape's scaling to a peak of 1.
double modelPeak(double rise, double decay) {
    const double tPeak = decay * rise / (decay - rise) * std::log(decay / rise);
    return std::exp(-tPeak / decay) - std::exp(-tPeak / rise);
}

// The model's shape, sampled and filtered, in `out` (count values from sample -lead). The
// filter's reach is added at both ends before filtering, so the kept samples are filtered as the
// inside of a frame is.
class ModelSampler {
  public:
    ModelSampler(int lead, int count, double dtMs, double filterHz)
        : lead_(lead), count_(count), dt_(dtMs), filterHz_(filterHz) {}

    void sample(double rise, double decay, double onset, std::vector<double>& out) {
        const int margin = filterHz_ > 0.0 ? kGaussianMaxTaps + 1 : 0;
        const std::size_t n = static_cast<std::size_t>(count_ + 2 * margin);
        trace_.resize(n);
        const double scale = 1.0 / modelPeak(rise, decay);
        for (std::size_t i = 0; i < n; ++i) {
            const double t = (static_cast<double>(i) - margin - lead_) * dt_ - onset;
            trace_[i] =
                t > 0.0 ? static_cast<float>(scale * (std::exp(-t / decay) - std::exp(-t / rise))) : 0.0f;
        }
        if (margin > 0)
            gaussianFilter(trace_, static_cast<float>(filterHz_), static_cast<float>(dt_ * 1000.0), taps_);
        out.resize(static_cast<std::size_t>(count_));
        for (int i = 0; i < count_; ++i)
            out[static_cast<std::size_t>(i)] = trace_[static_cast<std::size_t>(i + margin)];
    }

  private:
    int lead_, count_;
    double dt_, filterHz_;
    std::vector<float> trace_;
    GaussianTaps taps_;
};

// Sum of squared residuals of y against amplitude x g + offset, both solved by least squares.
// An amplitude that is not positive (the shape upside down) counts as the offset alone.
struct LinearFit {
    double sse = kInfinity, amplitude = 0.0, offset = 0.0;
};

LinearFit linearFit(const std::vector<double>& y, const std::vector<double>& g) {
    const auto n = static_cast<double>(y.size());
    double sg = 0.0, sgg = 0.0, sy = 0.0, sgy = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        sg += g[i];
        sgg += g[i] * g[i];
        sy += y[i];
        sgy += g[i] * y[i];
    }
    LinearFit f;
    const double det = n * sgg - sg * sg;
    if (det > 0.0) {
        f.amplitude = (n * sgy - sg * sy) / det;
        f.offset = (sy - f.amplitude * sg) / n;
    }
    if (!(f.amplitude > 0.0)) {
        f.amplitude = 0.0;
        f.offset = sy / n;
    }
    double sse = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double r = y[i] - f.amplitude * g[i] - f.offset;
        sse += r * r;
    }
    f.sse = sse;
    return f;
}

using Point = std::array<double, 3>;  // log rise, log decay, onset (ms)

// Nelder-Mead minimisation of `f` from `start` with the initial steps `step`.
template <typename F>
std::pair<Point, double> nelderMead(F f, const Point& start, const Point& step, int maxEvaluations) {
    constexpr std::size_t kDims = 3;
    std::array<Point, kDims + 1> x{};
    std::array<double, kDims + 1> v{};
    x[0] = start;
    for (std::size_t i = 0; i < kDims; ++i) {
        x[i + 1] = start;
        x[i + 1][i] += step[i];
    }
    for (std::size_t i = 0; i <= kDims; ++i) v[i] = f(x[i]);
    int evaluations = static_cast<int>(kDims + 1);
    auto along = [](const Point& from, const Point& to, double t) {
        Point p{};
        for (std::size_t i = 0; i < kDims; ++i) p[i] = from[i] + t * (to[i] - from[i]);
        return p;
    };
    while (evaluations < maxEvaluations) {
        // Order best to worst.
        std::array<std::size_t, kDims + 1> order{0, 1, 2, 3};
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
        std::array<Point, kDims + 1> xs{};
        std::array<double, kDims + 1> vs{};
        for (std::size_t i = 0; i <= kDims; ++i) {
            xs[i] = x[order[i]];
            vs[i] = v[order[i]];
        }
        x = xs;
        v = vs;
        double spread = 0.0;
        for (std::size_t i = 1; i <= kDims; ++i)
            for (std::size_t d = 0; d < kDims; ++d) spread = std::max(spread, std::fabs(x[i][d] - x[0][d]));
        if (std::isfinite(v[kDims]) && v[kDims] - v[0] <= 1e-10 * std::fabs(v[0]) && spread < 1e-5) break;

        Point centre{};
        for (std::size_t i = 0; i < kDims; ++i)
            for (std::size_t d = 0; d < kDims; ++d) centre[d] += x[i][d] / static_cast<double>(kDims);
        const Point reflected = along(centre, x[kDims], -1.0);
        const double vr = f(reflected);
        ++evaluations;
        if (vr < v[0]) {
            const Point expanded = along(centre, x[kDims], -2.0);
            const double ve = f(expanded);
            ++evaluations;
            if (ve < vr) {
                x[kDims] = expanded;
                v[kDims] = ve;
            } else {
                x[kDims] = reflected;
                v[kDims] = vr;
            }
            continue;
        }
        if (vr < v[kDims - 1]) {
            x[kDims] = reflected;
            v[kDims] = vr;
            continue;
        }
        // Contract towards the better of the worst point and its reflection.
        const bool outside = vr < v[kDims];
        const Point contracted = along(centre, outside ? reflected : x[kDims], 0.5);
        const double vc = f(contracted);
        ++evaluations;
        if (vc < std::min(vr, v[kDims])) {
            x[kDims] = contracted;
            v[kDims] = vc;
            continue;
        }
        // Shrink towards the best point.
        for (std::size_t i = 1; i <= kDims; ++i) {
            x[i] = along(x[0], x[i], 0.5);
            v[i] = f(x[i]);
            ++evaluations;
        }
    }
    const auto best = static_cast<std::size_t>(std::min_element(v.begin(), v.end()) - v.begin());
    return {x[best], v[best]};
}

}  // namespace

std::vector<double> pscModelTrace(double riseMs, double decayMs, double onsetMs, int lead, int count,
                                  double dtMs, double filterHz) {
    std::vector<double> out;
    if (count <= 0 || !(dtMs > 0.0) || !(riseMs > 0.0) || !(decayMs > riseMs)) return out;
    ModelSampler sampler(lead, count, dtMs, filterHz);
    sampler.sample(riseMs, decayMs, onsetMs, out);
    return out;
}

PscKineticsFit pscFitKinetics(const PscEventAverage& average, double dtMs, double filterHz) {
    PscKineticsFit result;
    const int count = static_cast<int>(average.values.size());
    const int lead = average.lead;
    if (count < 8 || lead < 0 || lead >= count || !(dtMs > 0.0)) return result;
    for (const double y : average.values)
        if (!std::isfinite(y)) return result;

    const double windowMs = (count - lead) * dtMs;
    FitRange range{};
    range.riseMin = 0.5 * dtMs;
    range.riseMax = std::max(windowMs / 2.0, range.riseMin * 4.0);
    range.decayMin = 2.0 * dtMs;
    range.decayMax = std::min(1000.0, 5.0 * windowMs);
    range.onsetMin = -lead * dtMs;
    range.onsetMax = std::max(lead * dtMs, 1.0);

    ModelSampler sampler(lead, count, dtMs, filterHz);
    std::vector<double> shape;
    auto cost = [&](const Point& x) {
        const double rise = std::exp(x[0]), decay = std::exp(x[1]);
        if (!(rise >= range.riseMin && rise <= range.riseMax && decay >= range.decayMin &&
              decay <= range.decayMax && x[2] >= range.onsetMin && x[2] <= range.onsetMax))
            return kInfinity;
        // Equal constants leave no shape; the rise must stay the faster one.
        if (!(rise < 0.95 * decay)) return kInfinity;
        sampler.sample(rise, decay, x[2], shape);
        return linearFit(average.values, shape).sse;
    };

    // The coarse grid: rise and decay on a log scale over their ranges, the onset where the
    // events were aligned.
    constexpr int kRiseSteps = 14, kDecaySteps = 18;
    std::vector<std::pair<double, Point>> grid;
    for (int i = 0; i < kRiseSteps; ++i) {
        const double lr = std::log(range.riseMin) +
                          (std::log(range.riseMax) - std::log(range.riseMin)) * (i + 0.5) / kRiseSteps;
        for (int j = 0; j < kDecaySteps; ++j) {
            const double ld = std::log(range.decayMin) +
                              (std::log(range.decayMax) - std::log(range.decayMin)) * (j + 0.5) / kDecaySteps;
            const Point x{lr, ld, 0.0};
            const double c = cost(x);
            if (std::isfinite(c)) grid.emplace_back(c, x);
        }
    }
    if (grid.empty()) return result;
    std::sort(grid.begin(), grid.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    // Refinement from the three best grid points, each run twice (a restart from where the first
    // run stopped gets Nelder-Mead out of a collapsed simplex).
    const Point step{0.3, 0.3, std::max(2.0 * dtMs, 0.2)};
    Point best{};
    double bestCost = kInfinity;
    for (std::size_t k = 0; k < std::min<std::size_t>(3, grid.size()); ++k) {
        auto [x, c] = nelderMead(cost, grid[k].second, step, 600);
        std::tie(x, c) = nelderMead(cost, x, Point{0.05, 0.05, dtMs}, 400);
        if (c < bestCost) {
            bestCost = c;
            best = x;
        }
    }
    if (!std::isfinite(bestCost)) return result;

    result.riseMs = std::exp(best[0]);
    result.decayMs = std::exp(best[1]);
    result.onsetMs = best[2];
    sampler.sample(result.riseMs, result.decayMs, result.onsetMs, shape);
    const LinearFit linear = linearFit(average.values, shape);
    result.amplitude = linear.amplitude;
    result.offset = linear.offset;
    result.rmsResidual = std::sqrt(linear.sse / count);
    auto atEnd = [](double v, double lo, double hi) { return v < lo * 1.02 || v > hi / 1.02; };
    // The event must stand well out of what the model leaves unexplained: an average of noise
    // alone fits some small bump too.
    result.ok = linear.amplitude > kClearAmplitude * result.rmsResidual &&
                !atEnd(result.riseMs, range.riseMin, range.riseMax) &&
                !atEnd(result.decayMs, range.decayMin, range.decayMax) &&
                result.riseMs < 0.95 * result.decayMs;
    return result;
}

namespace {

struct Kinetics {
    double rise = 0.5;
    double decay = 5.0;
};

struct Snippet {
    float amplitude = 0.0f;
    std::vector<float> values;  // lead + window samples, baseline 0, event positive
};

struct Pass {
    PscEventAverage average;
    bool cancelled = false;
};

// One pass over the frames: the isolated events found with kinetics `k`, and the average of the
// largest of them.
Pass collectEvents(const AbfHeader& header, PscParameters& q, const std::vector<std::int32_t>& frames,
                   PscFrameReader& reader, ProgressRecord& progress, const Kinetics& k) {
    Pass pass;
    const double dt = static_cast<double>(q.sampleInterval);
    const int frameLength = q.frameLength;
    if (!(dt > 0.0) || frameLength < 1) return pass;
    const int lead = std::clamp(static_cast<int>(std::lround(std::max(kLeadMs, kLeadRises * k.rise) / dt)), 4,
                                kFrameLead - 1);
    const int window =
        std::clamp(static_cast<int>(std::lround(kWindowDecays * k.decay / dt)), 8, kFrameTail - 1);
    const std::int64_t quietBefore = lead + std::lround(kQuietDecaysBefore * k.decay / dt);
    const int width = lead + window;
    const bool episodes = q.framesAreEpisodes != 0;
    const std::int64_t recorded = q.timeMapLength / std::max<std::int64_t>(q.channelCount, 1);
    const auto maxSamples = static_cast<std::int64_t>(kPscTemplateMaxMinutes * 60000.0 / dt);
    const std::int64_t total = std::max<std::int64_t>(
        1, std::min(maxSamples, static_cast<std::int64_t>(frames.size()) * frameLength));

    // The events are found by the deconvolution whichever model detector analyses the recording:
    // the sliding template fit lists one event per decay time constant, so an event with another
    // close behind it (or before it) would pass for an isolated one, its neighbour in its baseline
    // or its decay, and its onset comes late while the template is still far from the events.
    PscModelSpec spec = pscModelSpecOf(q);
    spec.kind = PscDetectorKind::Deconvolution;
    if (q.detector != PscDetectorKind::Deconvolution) spec.threshold = 0.0f;
    spec.riseMs = static_cast<float>(k.rise);
    spec.decayMs = static_cast<float>(k.decay);
    PscModelWork work;
    PscHumWork hum;
    PscFrameBuffers buffers;
    buffers.resize(frameLength, dt);
    std::vector<int> list(static_cast<std::size_t>(kPscMaxTriggers));

    // Onsets of the frames scanned since the last break in the list, in increasing order; an
    // event waits in `pending` until the frames after it show whether another one starts in its
    // window.
    std::vector<std::int64_t> onsets;
    struct Pending {
        std::size_t index;  // in onsets
        Snippet snippet;
    };
    std::vector<Pending> pending;
    std::vector<Snippet> kept;
    std::int64_t knownFrom = 0;  // onsets are known from this sample on
    int previous = -1;
    std::int64_t scanned = 0;
    int shownPercent = -1;

    auto settle = [&](std::int64_t knownUntil, bool all) {
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            Pending& e = pending[i];
            const std::int64_t onset = onsets[e.index];
            if (!all && onset + window >= knownUntil) {
                if (waiting != i) pending[waiting] = std::move(e);
                ++waiting;
                continue;
            }
            const bool quietAfter = e.index + 1 == onsets.size() || onsets[e.index + 1] > onset + window;
            if (quietAfter && static_cast<int>(kept.size()) < kPscTemplateCandidates)
                kept.push_back(std::move(e.snippet));
        }
        pending.resize(waiting);
    };

    for (const std::int32_t frame : frames) {
        if (static_cast<int>(kept.size()) >= kPscTemplateCandidates || scanned >= maxSamples) break;
        const std::int64_t start = static_cast<std::int64_t>(frame - 1) * frameLength;
        if (episodes || frame != previous + 1) {
            // The frames before are not this one's neighbours: their onsets say nothing here.
            pending.clear();
            onsets.clear();
            knownFrom = start;
        }
        previous = frame;
        scanned += frameLength;
        pscReadFrame(header, q, frame, buffers, reader);
        // The events are found, and averaged, on the current without the mains hum, as the
        // detection will see it.
        if (q.humHz != 0.0f)
            pscRemoveHum(pscHumSpecOf(q, buffers, frame), buffers.hum, buffers.currentData, hum);
        spec.firstValid = static_cast<int>(std::max<std::int64_t>(-start, buffers.firstIndex()));
        spec.validEnd = static_cast<int>(std::clamp<std::int64_t>(recorded - start, 0, buffers.endIndex()));
        const int listed = pscModelScan(spec, buffers, list, work);

        // The frame's own onsets (those past it belong to the next frame) and the events among
        // them whose window lies in recorded samples of this buffer.
        const int ownEnd = episodes ? std::min(frameLength, spec.validEnd) : spec.validEnd;
        for (int j = 0; j < listed; ++j) {
            const int at = list[static_cast<std::size_t>(j)];
            if (at >= frameLength) break;
            const std::int64_t onset = start + at;
            onsets.push_back(onset);
            const std::size_t index = onsets.size() - 1;
            if (at - lead < spec.firstValid || at + window > ownEnd || onset - quietBefore < knownFrom)
                continue;
            if (index > 0 && onsets[index - 1] >= onset - quietBefore) continue;
            Snippet s;
            s.values.resize(static_cast<std::size_t>(width));
            double baseline = 0.0;
            for (int i = -lead; i < 0; ++i) baseline += buffers.current(at + i);
            baseline /= lead;
            float peak = -std::numeric_limits<float>::infinity();
            for (int i = 0; i < width; ++i) {
                const auto v = static_cast<float>(spec.sign * (buffers.current(at - lead + i) - baseline));
                s.values[static_cast<std::size_t>(i)] = v;
                if (i >= lead) peak = std::max(peak, v);
            }
            s.amplitude = peak;
            pending.push_back({index, std::move(s)});
        }
        // Onsets are known up to the frame's end; an episode's events end with it.
        settle(start + frameLength, episodes);

        const double done = std::max(static_cast<double>(kept.size()) / kPscTemplateCandidates,
                                     static_cast<double>(scanned) / static_cast<double>(total));
        const int percent = std::min(100, static_cast<int>(100.0 * done));
        if (percent / 10 != shownPercent / 10) {
            shownPercent = percent;
            progress.percent = percent;
            progressUpdate(progress);
        }
        if (pscCancelled(progress)) {
            pass.cancelled = true;
            return pass;
        }
    }
    // The last frame's events are settled with the onsets listed so far; events whose windows
    // reach past the last scanned frame are left out (the frame after is not known).
    const std::int64_t end = previous > 0 ? static_cast<std::int64_t>(previous) * frameLength : 0;
    settle(end, false);

    // The largest events, those clearest above the noise; the smallest candidates, among them the
    // noise the detector took for events, are left out.
    std::sort(kept.begin(), kept.end(),
              [](const Snippet& a, const Snippet& b) { return a.amplitude > b.amplitude; });
    const std::size_t used = std::min<std::size_t>(kept.size(), kPscTemplateAveraged);
    pass.average.lead = lead;
    pass.average.events = static_cast<int>(used);
    pass.average.values.assign(static_cast<std::size_t>(width), 0.0);
    for (std::size_t e = 0; e < used; ++e)
        for (std::size_t i = 0; i < pass.average.values.size(); ++i)
            pass.average.values[i] += kept[e].values[i];
    if (used > 0)
        for (double& v : pass.average.values) v /= static_cast<double>(used);
    return pass;
}

std::string ms(double value) {
    return formatFixed(value, value < 10.0 ? 2 : 1);
}

}  // namespace

PscTemplateFromRecording pscTemplateFromRecording(const AbfHeader& header, const PscParameters& p,
                                                  const std::vector<std::int32_t>& frames,
                                                  PscFrameReader& reader, ProgressRecord& progress) {
    PscTemplateFromRecording result;
    result.riseMs = p.templateRiseMs;
    result.decayMs = p.templateDecayMs;
    // Reading frames changes nothing in the record but wants it writable; the pass works on a copy.
    PscParameters q = p;
    static_cast<PscDetectorState&>(q) = PscDetectorState{};
    progress.line1 = "Fitting the template";
    progress.line2.clear();
    progress.percent = 0;
    progressUpdate(progress);

    Kinetics k{p.templateRiseMs, p.templateDecayMs};
    bool fitted = false;
    for (int pass = 1; pass <= kPscTemplatePasses; ++pass) {
        const Pass found = collectEvents(header, q, frames, reader, progress, k);
        result.passes = pass;
        if (found.cancelled) {
            result.state = PscTemplateFromRecording::State::Cancelled;
            break;
        }
        // A later pass that finds too little keeps the earlier pass's kinetics.
        if (found.average.events < kPscTemplateMinEvents) {
            if (!fitted) {
                result.state = PscTemplateFromRecording::State::TooFewEvents;
                result.events = found.average.events;
            }
            break;
        }
        const PscKineticsFit fit = pscFitKinetics(found.average, static_cast<double>(p.sampleInterval),
                                                  static_cast<double>(p.filterHz));
        if (!fit.ok) {
            if (!fitted) {
                result.state = PscTemplateFromRecording::State::FitFailed;
                result.events = found.average.events;
            }
            break;
        }
        fitted = true;
        result.state = PscTemplateFromRecording::State::Fitted;
        result.riseMs = static_cast<float>(fit.riseMs);
        result.decayMs = static_cast<float>(fit.decayMs);
        result.events = found.average.events;
        const bool settled = std::fabs(std::log(fit.riseMs / k.rise)) < std::log(kSettledRatio) &&
                             std::fabs(std::log(fit.decayMs / k.decay)) < std::log(kSettledRatio);
        k = Kinetics{fit.riseMs, fit.decayMs};
        if (settled) break;
    }
    return result;
}

std::string pscTemplateLine(const std::string& fileName, const PscTemplateFromRecording& r) {
    std::string line = "Template from " + fileName + ": ";
    const std::string given = "rise " + ms(r.riseMs) + " ms, decay " + ms(r.decayMs) + " ms";
    switch (r.state) {
        case PscTemplateFromRecording::State::Fitted:
            return line.append(given).append(" from ").append(std::to_string(r.events)).append(" events");
        case PscTemplateFromRecording::State::TooFewEvents:
            return line.append("too few clear events (")
                .append(std::to_string(r.events))
                .append(" of ")
                .append(std::to_string(kPscTemplateMinEvents))
                .append(" needed); the given kinetics stay: ")
                .append(given);
        case PscTemplateFromRecording::State::FitFailed:
            return line.append("the model could not be fitted to the average of ")
                .append(std::to_string(r.events))
                .append(" events; the given kinetics stay: ")
                .append(given);
        case PscTemplateFromRecording::State::Cancelled:
            break;
    }
    return line.append("cancelled; the given kinetics stay: ").append(given);
}

}  // namespace ephys
