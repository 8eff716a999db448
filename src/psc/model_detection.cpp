#include "psc/model_detection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ephys {

namespace {

// Smoothing of the deconvolved trace, in rise time constants: three passes of a running mean,
// close to a Gaussian of this SD. The wide trace finds events at low signal-to-noise ratios; the
// middle and narrow ones separate events whose onsets lie closer than the wide smoothing can
// resolve (two onsets must lie some 2 SDs apart to give two peaks). Measured on synthetic
// recordings (bench/psc_detector_accuracy.sh): a wide SD of 2 to 4 rise constants keeps precision
// above 0.99 at SNR 1.5 to 4 in white noise, wider ones lose events in 1/f noise; the middle trace
// finds most pairs 1 to 3 ms apart that the other two merge.
constexpr double kWideRises = 3.0;
constexpr double kMiddleRises = 1.0;
constexpr double kNarrowRises = 0.6;
// A peak of a finer trace counts where the wide trace reaches this fraction of the threshold: the
// finer traces have more, and more independent, noise peaks. At 0.5 a minute of 1/f noise gives
// about one event, at 0.6 none in most minutes.
constexpr float kConfirmFraction = 0.6f;
// Two peaks of a detection trace closer than this are one event (rise time constants).
constexpr double kSeparationRises = 1.6;
// Two peaks are one event too when the trace between them does not fall below kDipFraction of
// the smaller one and kDipSds noise SDs under it: a noisy top, not two events. The absolute part
// matters where the events are slower than the template: their deconvolution leaves a plateau
// after the onset's peak, whose noise would otherwise be split into further events.
constexpr float kDipFraction = 0.95f;
constexpr float kDipSds = 2.0f;
// Beyond this many smoothing SDs of the previous peak, a peak must rise above the dip before it by
// the threshold itself: the previous event's own peak has long fallen there, so only a plateau
// (the deconvolution of events slower than the template) keeps the dip high, and its noise peaks
// are not events. Events slower than the template by a factor of two are then listed once each
// (precision 0.97 instead of 0.67), at a cost of 0.1 % of the recall of overlapping events.
constexpr double kNearSds = 8.0;
// Smallest noise SD a trace is given, so that a noise-free trace does not turn its rounding
// errors into events.
constexpr float kNoiseFloor = 1e-3f;
// Template length of the sliding fit, in decay time constants.
constexpr double kTemplateDecays = 3.0;

struct Kinetics {
    double a = 0.0;     // decay factor per sample, exp(-dt / decay)
    double b = 0.0;     // rise factor per sample, exp(-dt / rise)
    double peak = 1.0;  // peak of a^n - b^n over continuous n
    double riseSamples = 1.0;
};

Kinetics kinetics(const PscModelSpec& spec) {
    const double dt = std::max(static_cast<double>(spec.sampleIntervalMs), 1e-6);
    const double decay = std::max(static_cast<double>(spec.decayMs), dt);
    // Equal constants would make the difference of exponentials vanish: keep them apart.
    double rise = std::max(static_cast<double>(spec.riseMs), dt * 0.01);
    if (rise >= decay * 0.99) rise = decay * 0.99;
    Kinetics k;
    k.a = std::exp(-dt / decay);
    k.b = std::exp(-dt / rise);
    const double tPeak = decay * rise / (decay - rise) * std::log(decay / rise);
    k.peak = std::exp(-tPeak / decay) - std::exp(-tPeak / rise);
    k.riseSamples = rise / dt;
    return k;
}

// Running mean of width 2 * half + 1 of `in` into `out`, shorter at the ends.
void runningMean(std::span<const float> in, std::span<float> out, int half) {
    const auto n = static_cast<std::ptrdiff_t>(in.size());
    const auto h = static_cast<std::ptrdiff_t>(half);
    auto at = [&](std::ptrdiff_t i) { return static_cast<double>(in[static_cast<std::size_t>(i)]); };
    auto put = [&](std::ptrdiff_t i, double v) { out[static_cast<std::size_t>(i)] = static_cast<float>(v); };
    if (2 * h + 1 > n) {
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            double sum = 0.0;
            const std::ptrdiff_t from = std::max<std::ptrdiff_t>(i - h, 0), to = std::min(i + h + 1, n);
            for (std::ptrdiff_t j = from; j < to; ++j) sum += at(j);
            put(i, sum / static_cast<double>(to - from));
        }
        return;
    }
    // The ends: windows cut by the trace's bounds.
    double sum = 0.0;
    for (std::ptrdiff_t j = 0; j < h; ++j) sum += at(j);
    for (std::ptrdiff_t i = 0; i <= h; ++i) {
        sum += at(i + h);
        put(i, sum / static_cast<double>(i + h + 1));
    }
    // The interior: the whole window, one sample in and one out. The interior is cut into four
    // runs whose sums are carried side by side: one sum carried through it all waits for each
    // addition to finish, and this loop is most of the deconvolution's time.
    const double width = 1.0 / static_cast<double>(2 * h + 1);
    const std::ptrdiff_t first = h + 1, end = n - h;
    constexpr int kRuns = 4;
    const std::ptrdiff_t run = (end - first) / kRuns;
    // Each run's sum is in single precision, started from its window summed in double: over a
    // run of a few thousand samples it drifts by far less than the trace's resolution.
    std::array<float, kRuns> sums{};
    for (int r = 0; r < kRuns; ++r) {
        // The window before the run's first sample.
        const std::ptrdiff_t start = first + r * run;
        double window = 0.0;
        for (std::ptrdiff_t j = start - h - 1; j < start + h; ++j) window += at(j);
        sums[static_cast<std::size_t>(r)] = static_cast<float>(window);
    }
    const auto w = static_cast<float>(width);
    const float* x = in.data();
    float* y = out.data();
    for (std::ptrdiff_t k = 0; k < run; ++k) {
        for (int r = 0; r < kRuns; ++r) {
            const std::ptrdiff_t i = first + r * run + k;
            float& s = sums[static_cast<std::size_t>(r)];
            s += x[i + h] - x[i - h - 1];
            y[i] = s * w;
        }
    }
    // What the four runs leave over, carried on from the last run's sum.
    sum = 0.0;
    for (std::ptrdiff_t j = first + kRuns * run - h - 1; j < first + kRuns * run + h; ++j) sum += at(j);
    for (std::ptrdiff_t i = first + kRuns * run; i < end; ++i) {
        sum += at(i + h) - at(i - h - 1);
        put(i, sum * width);
    }
    for (std::ptrdiff_t i = std::max(end, first); i < n; ++i) {
        sum -= at(i - h - 1);
        put(i, sum / static_cast<double>(n - (i - h)));
    }
}

// `in` smoothed into `out` by three running means of about the given SD (samples).
void smooth(std::span<const float> in, std::span<float> out, double sd, std::vector<float>& temp) {
    // Three running means of width m have a variance of 3 (m^2 - 1) / 12 samples^2.
    const int half = std::max(0, static_cast<int>(std::lround((std::sqrt(4.0 * sd * sd + 1.0) - 1.0) / 2.0)));
    temp.resize(in.size());
    runningMean(in, out, half);
    runningMean(out, temp, half);
    runningMean(temp, out, half);
}

// Of the 2048 samples after the frame, the deconvolution looks at this many decay time constants
// (at least 256 samples): the events there only end the searches of the frame's last event,
// which has decayed long before.
constexpr double kTailDecays = 8.0;

// Buffer positions the deconvolution works on: the frame, the samples before it and the part of
// the samples after it that kTailDecays keeps, with room for the smoothing at its end.
std::ptrdiff_t processedLength(const PscModelSpec& spec, const PscFrameBuffers& b,
                               std::ptrdiff_t* listedEnd) {
    const double dt = static_cast<double>(spec.sampleIntervalMs);
    const auto tail =
        std::max<std::ptrdiff_t>(256, std::lround(kTailDecays * static_cast<double>(spec.decayMs) / dt));
    const std::ptrdiff_t end = kFrameLead + b.frameLength + tail;
    if (listedEnd != nullptr) *listedEnd = end;
    const double wide = kWideRises * static_cast<double>(spec.riseMs) / dt;
    const auto room = static_cast<std::ptrdiff_t>(std::lround(4.0 * wide)) + 8;
    return std::min(static_cast<std::ptrdiff_t>(b.bufferLength()), end + room);
}

// Buffer positions [first, end) that hold recorded samples (for the deconvolution, only those it
// lists events in).
std::pair<std::ptrdiff_t, std::ptrdiff_t> validRange(const PscModelSpec& spec, const PscFrameBuffers& b) {
    auto n = static_cast<std::ptrdiff_t>(b.bufferLength());
    if (spec.kind == PscDetectorKind::Deconvolution) {
        std::ptrdiff_t listedEnd = n;
        processedLength(spec, b, &listedEnd);
        n = std::min(n, listedEnd);
    }
    const std::ptrdiff_t from = std::clamp<std::ptrdiff_t>(spec.firstValid + kFrameLead, 0, n);
    const std::ptrdiff_t to = std::clamp<std::ptrdiff_t>(
        static_cast<std::ptrdiff_t>(std::min(spec.validEnd, b.endIndex())) + kFrameLead, from, n);
    return {from, to};
}

// Median of values (reordered).
float median(std::span<float> values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Every kNoiseStride-th sample of a smoothed trace is enough for its median and its noise level:
// neighbouring values of the trace are alike (at 20 kHz the narrow trace's values are correlated
// over some 10 samples, the wide one's over 50), and the level is averaged over 16 frames.
constexpr std::ptrdiff_t kNoiseStride = 32;

// Brings a trace to noise SDs in the events' direction: its median is the zero; the scale is the root mean
// square of the noise SDs (1.4826 x the median absolute deviation) of this frame and the frames before it in
// `history`.
void normalise(std::span<float> trace, float sign, std::ptrdiff_t from, std::ptrdiff_t to,
               std::vector<float>& temp, std::span<float> history, std::size_t frames) {
    temp.clear();
    for (std::ptrdiff_t q = from; q < to; q += kNoiseStride)
        temp.push_back(trace[static_cast<std::size_t>(q)]);
    if (temp.size() < 8) {
        std::fill(trace.begin(), trace.end(), 0.0f);
        return;
    }
    const float centre = median(temp);
    for (float& v : temp) v = std::fabs(v - centre);
    history[frames % history.size()] = 1.4826f * median(temp);
    const std::size_t used = std::min(frames + 1, history.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < used; ++i) sum += static_cast<double>(history[i]) * history[i];
    const auto noise = static_cast<float>(std::sqrt(sum / static_cast<double>(used)));
    const float scale = sign / std::max(noise, kNoiseFloor);
    for (float& v : trace) v = (v - centre) * scale;
}

// The current deconvolved by the event: an event of amplitude A whose first sample after the
// onset is sample q + 1 becomes the value A at q and 0 elsewhere (the inverse of the two-pole
// filter whose impulse response the event is).
void deconvolve(const Kinetics& k, std::span<const float> x, std::vector<float>& out) {
    const std::size_t n = x.size();
    out.assign(n, 0.0f);
    const double c1 = k.a + k.b;
    const double c2 = k.a * k.b;
    const double gain = k.peak / (k.a - k.b);
    for (std::size_t q = 1; q + 1 < n; ++q) {
        const double v = static_cast<double>(x[q + 1]) - c1 * static_cast<double>(x[q]) +
                         c2 * static_cast<double>(x[q - 1]);
        out[q] = static_cast<float>(gain * v);
    }
    if (n >= 2) {
        out[0] = out[1];
        out[n - 1] = out[n - 2];
    }
}

void deconvolutionScore(const PscModelSpec& spec, const PscFrameBuffers& buffers, PscModelWork& w) {
    const Kinetics k = kinetics(spec);
    const std::ptrdiff_t length = processedLength(spec, buffers, nullptr);
    deconvolve(k, std::span<const float>(buffers.currentData).first(static_cast<std::size_t>(length)), w.raw);
    w.score.resize(w.raw.size());
    w.fine.resize(w.raw.size());
    w.middle.resize(w.raw.size());
    smooth(w.raw, w.score, kWideRises * k.riseSamples, w.temp);
    smooth(w.raw, w.fine, kNarrowRises * k.riseSamples, w.temp);
    smooth(w.raw, w.middle, kMiddleRises * k.riseSamples, w.temp);
    const auto [from, to] = validRange(spec, buffers);
    if (to - from < 16) {
        // Nothing recorded in this buffer: no noise level, no events.
        std::fill(w.score.begin(), w.score.end(), 0.0f);
        std::fill(w.fine.begin(), w.fine.end(), 0.0f);
        std::fill(w.middle.begin(), w.middle.end(), 0.0f);
        return;
    }
    normalise(w.score, spec.sign, from, to, w.temp, w.wideNoise, w.noiseFrames);
    normalise(w.fine, spec.sign, from, to, w.temp, w.fineNoise, w.noiseFrames);
    normalise(w.middle, spec.sign, from, to, w.temp, w.middleNoise, w.noiseFrames);
    ++w.noiseFrames;
}

// Peaks of trace z above the threshold within buffer positions [from, to), one per event: two
// peaks closer than `separation` samples, or without a dip between them (kDipFraction, kDipSds),
// are one event at the higher one (kNearSds: how far the trace's smoothing SD `scaleSd` reaches).
// `accept(q)` may refuse a peak.
template <typename Accept, typename Emit>
void pickPeaks(std::span<const float> z, std::ptrdiff_t from, std::ptrdiff_t to, float threshold,
               std::ptrdiff_t separation, double scaleSd, Accept accept, Emit emit) {
    const auto near = static_cast<std::ptrdiff_t>(std::lround(kNearSds * scaleSd));
    std::ptrdiff_t last = -1;
    float lastValue = 0.0f;
    float dip = std::numeric_limits<float>::infinity();  // lowest value since the last peak
    for (std::ptrdiff_t q = std::max<std::ptrdiff_t>(from, 1); q + 1 < to; ++q) {
        const float v = z[static_cast<std::size_t>(q)];
        const bool peak = v > threshold && v > z[static_cast<std::size_t>(q - 1)] &&
                          v >= z[static_cast<std::size_t>(q + 1)];
        if (!peak || !accept(q)) {
            dip = std::min(dip, v);
            continue;
        }
        const float smaller = std::min(lastValue, v);
        if (last >= 0 && (q - last <= separation || dip > kDipFraction * smaller ||
                          smaller - dip < (q - last <= near ? kDipSds : threshold))) {
            // The same event: keep its higher peak.
            if (v > lastValue) {
                last = q;
                lastValue = v;
                dip = std::numeric_limits<float>::infinity();
            }
            continue;
        }
        if (last >= 0) emit(last);
        last = q;
        lastValue = v;
        dip = std::numeric_limits<float>::infinity();
    }
    if (last >= 0) emit(last);
}

// The sliding scaled-template fit: for the template placed at every buffer position, the scale
// and offset that fit the current best, and the scale over the fit's standard error. Positions
// whose template would run past the buffer get 0.
void templateScore(const PscModelSpec& spec, const PscFrameBuffers& buffers, PscModelWork& w) {
    const Kinetics k = kinetics(spec);
    const std::span<const float> x(buffers.currentData);
    const auto n = static_cast<std::ptrdiff_t>(x.size());
    w.score.assign(x.size(), 0.0f);
    const double dt = static_cast<double>(spec.sampleIntervalMs);
    const auto length = static_cast<std::ptrdiff_t>(
        std::clamp(std::lround(kTemplateDecays * static_cast<double>(spec.decayMs) / dt), 8L, 2000L));
    if (length + 1 > n) return;
    const double m = static_cast<double>(length);
    double t1 = 0.0, t2 = 0.0;
    double aN = 1.0, bN = 1.0;
    for (std::ptrdiff_t j = 0; j < length; ++j) {
        const double h = (aN - bN) / k.peak;
        t1 += h;
        t2 += h * h;
        aN *= k.a;
        bN *= k.b;
    }
    const double denominator = t2 - t1 * t1 / m;
    // Window sums over [q, q + length): sa = sum a^j x, sb = sum b^j x, sx, sxx.
    double sa = 0.0, sb = 0.0, sx = 0.0, sxx = 0.0;
    const std::ptrdiff_t last = n - length;
    {
        double pa = 1.0, pb = 1.0;
        for (std::ptrdiff_t j = 0; j < length; ++j) {
            const double v = static_cast<double>(x[static_cast<std::size_t>(last + j)]);
            sa += pa * v;
            sb += pb * v;
            sx += v;
            sxx += v * v;
            pa *= k.a;
            pb *= k.b;
        }
    }
    const double sign = static_cast<double>(spec.sign);
    for (std::ptrdiff_t q = last;; --q) {
        const double stx = (sa - sb) / k.peak;
        const double scale = (stx - t1 * sx / m) / denominator;
        const double offset = (sx - scale * t1) / m;
        const double sse = sxx + scale * scale * t2 + m * offset * offset - 2.0 * scale * stx -
                           2.0 * offset * sx + 2.0 * scale * offset * t1;
        const double se =
            std::max(std::sqrt(std::max(sse, 0.0) / (m - 1.0)), static_cast<double>(kNoiseFloor));
        w.score[static_cast<std::size_t>(q)] = static_cast<float>(sign * scale / se);
        if (q == 0) break;
        // Slide the window one sample back.
        const double in = static_cast<double>(x[static_cast<std::size_t>(q - 1)]);
        const double out = static_cast<double>(x[static_cast<std::size_t>(q - 1 + length)]);
        sa = in + k.a * sa - aN * out;
        sb = in + k.b * sb - bN * out;
        sx += in - out;
        sxx += in * in - out * out;
    }
}

}  // namespace

bool pscParseDetector(std::string_view name, PscDetectorKind& kind) {
    if (name == "slope")
        kind = PscDetectorKind::Slope;
    else if (name == "template")
        kind = PscDetectorKind::Template;
    else if (name == "deconvolution")
        kind = PscDetectorKind::Deconvolution;
    else
        return false;
    return true;
}

std::string_view pscDetectorName(PscDetectorKind kind) {
    switch (kind) {
        case PscDetectorKind::Template:
            return "template";
        case PscDetectorKind::Deconvolution:
            return "deconvolution";
        case PscDetectorKind::Slope:
            break;
    }
    return "slope";
}

float pscDefaultThreshold(PscDetectorKind kind) {
    // Both traces are in noise SDs (the template's criterion is its scale over the fit's standard
    // error). Measured on a minute of white noise filtered at 500 Hz: the deconvolution lists one
    // event at 4 and none at 4.5; the template fit three or four at 4, one at 4.5, none at 5.
    return kind == PscDetectorKind::Template ? 5.0f : 4.5f;
}

void pscModelScore(const PscModelSpec& spec, const PscFrameBuffers& buffers, PscModelWork& work) {
    if (spec.kind == PscDetectorKind::Template)
        templateScore(spec, buffers, work);
    else
        deconvolutionScore(spec, buffers, work);
}

int pscModelScan(const PscModelSpec& spec, const PscFrameBuffers& buffers, std::span<int> list,
                 PscModelWork& work) {
    pscModelScore(spec, buffers, work);
    const float threshold = spec.threshold > 0.0f ? spec.threshold : pscDefaultThreshold(spec.kind);
    const Kinetics k = kinetics(spec);
    const auto separation = std::max<std::ptrdiff_t>(1, std::lround(kSeparationRises * k.riseSamples));
    const auto [from, to] = validRange(spec, buffers);
    const std::span<const float> wide(work.score);
    std::vector<int>& found = work.peaks;
    found.clear();
    auto any = [](std::ptrdiff_t) { return true; };
    auto keep = [&](std::ptrdiff_t q) { found.push_back(static_cast<int>(q)); };
    if (spec.kind == PscDetectorKind::Template) {
        // The template fitted to the decay of an event fits well too, scaled down: the criterion
        // has further peaks up to a decay time constant after the onset. One event per decay
        // time constant (the sliding fit does not separate closer events anyway).
        const auto decay = std::max<std::ptrdiff_t>(
            separation,
            std::lround(static_cast<double>(spec.decayMs) / static_cast<double>(spec.sampleIntervalMs)));
        pickPeaks(wide, from, to, threshold, decay, kWideRises * k.riseSamples, any, keep);
    } else {
        // Peaks of the narrow trace where the wide one sees an event too, then those of the middle
        // trace and last those of the wide trace that no finer peak stands for: each scale adds
        // the events it resolves and the finer ones miss.
        auto confirmed = [&](std::ptrdiff_t q) {
            return wide[static_cast<std::size_t>(q)] > kConfirmFraction * threshold;
        };
        auto addUnlisted = [&](std::span<const float> z, double sdRises, auto accept) {
            const std::size_t before = found.size();
            const auto reach = static_cast<int>(std::lround(sdRises * k.riseSamples * 2.0));
            pickPeaks(z, from, to, threshold, separation, sdRises * k.riseSamples, accept,
                      [&](std::ptrdiff_t q) {
                          const auto end = found.begin() + static_cast<std::ptrdiff_t>(before);
                          const auto at = std::lower_bound(found.begin(), end, static_cast<int>(q) - reach);
                          if (at == end || *at > static_cast<int>(q) + reach)
                              found.push_back(static_cast<int>(q));
                      });
            std::inplace_merge(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(before),
                               found.end());
        };
        pickPeaks(work.fine, from, to, threshold, separation, kNarrowRises * k.riseSamples, confirmed, keep);
        addUnlisted(work.middle, kMiddleRises, confirmed);
        addUnlisted(wide, kWideRises, any);
    }
    std::size_t listed = 0;
    for (const int q : found) {
        const int index = q - kFrameLead;
        if (index > 0 && index < buffers.endIndex() && listed < list.size()) list[listed++] = index;
    }
    return static_cast<int>(listed);
}

}  // namespace ephys
