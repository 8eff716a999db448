#include "spike/fi_fit.h"

#include <cmath>

#include "spike/spike_text.h"

namespace ephys {

namespace {

// Writes -0 as 0, so that no cell reads "-0.00" for a value that is exactly zero.
double unsignedZero(double x) {
    return x == 0.0 ? 0.0 : x;
}

// A value with two decimals, or `missing` for a value the fit does not have.
std::string valueText(bool has, double x, const char* missing) {
    if (!has || !std::isfinite(x)) return missing;
    return formatText("%.2f", unsignedZero(x));
}

}  // namespace

std::vector<double> fiInstantFrequencies(std::span<const float> latencies) {
    std::vector<double> f;
    if (latencies.size() < 2) return f;
    f.reserve(latencies.size() - 1);
    for (std::size_t k = 1; k < latencies.size(); ++k)
        f.push_back(1000.0 / (static_cast<double>(latencies[k]) - static_cast<double>(latencies[k - 1])));
    return f;
}

void fiAddSweep(FiSeriesSet& set, double stimulus, std::span<const float> latencies, int interval) {
    const auto q = static_cast<int>(latencies.size());
    if (q < 2) return;
    auto frequency = [&](int k) {  // F(k), k from 2
        return 1000.0 / (static_cast<double>(latencies[static_cast<std::size_t>(k - 1)]) -
                         static_cast<double>(latencies[static_cast<std::size_t>(k - 2)]));
    };
    set.series[0].push_back({stimulus, frequency(2)});
    if (interval >= 1 && q > interval) set.series[1].push_back({stimulus, frequency(interval + 1)});
    set.series[2].push_back({stimulus, frequency(q)});
}

FiFit fiFitLine(std::span<const FiPoint> points) {
    double sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (const FiPoint& pt : points) {
        sx += pt.stimulus;
        sy += pt.frequency;
        sxx += pt.stimulus * pt.stimulus;
        syy += pt.frequency * pt.frequency;
        sxy += pt.stimulus * pt.frequency;
    }
    FiFit fit;
    fit.n = static_cast<int>(points.size());
    const double n = fit.n;
    const double d = n * sxx - sx * sx;
    if (d != 0.0) {
        fit.slope = (n * sxy - sx * sy) / d;
        fit.intercept = (sxx * sy - sx * sxy) / d;
        fit.hasLine = std::isfinite(fit.slope) && std::isfinite(fit.intercept);
    }
    if (!fit.hasLine) fit.slope = fit.intercept = 0.0;
    const double c = n * sxy - sx * sy;
    const double e = n * syy - sy * sy;
    // In exact arithmetic the covariance is 0 whenever either spread is; rounding can leave it a
    // hair off 0 there, which must not turn into a division by zero.
    if (c != 0.0 && d != 0.0 && e != 0.0) {
        fit.rSquared = (c / d) * (c / e);
    } else {
        fit.rSquared = 1.0;
    }
    // A flat line never reaches frequency 0.
    if (fit.hasLine && fit.slope != 0.0) {
        const double x = -fit.intercept / fit.slope;
        fit.hasXIntercept = std::isfinite(x);
        if (fit.hasXIntercept) fit.xIntercept = unsignedZero(x);
    }
    if (!points.empty()) {
        fit.lastStimulus = points.back().stimulus;
        if (fit.hasLine) fit.fittedAtLast = fit.slope * fit.lastStimulus + fit.intercept;
    }
    return fit;
}

std::string fiTableText(const std::array<FiFit, kFiSeriesCount>& fits) {
    std::string text =
        "Interval Number\tSlope\tY Intercept\tX intercept\tR sq\tn\tLast Stim\tfit Y (last stim)\n";
    for (int k = 0; k < kFiSeriesCount; ++k) {
        const FiFit& f = fits[static_cast<std::size_t>(k)];
        // A series without points has 0 for its last stimulus and the frequency there.
        const bool fitted = f.hasLine || f.n == 0;
        appendFormat(
            text, "%d\t%s\t%s\t%s\t%s\t%d\t%s\t%s\n", k + 1, valueText(f.hasLine, f.slope, "").c_str(),
            valueText(f.hasLine, f.intercept, "").c_str(),
            valueText(f.hasXIntercept, f.xIntercept, "").c_str(), valueText(true, f.rSquared, "").c_str(),
            f.n, valueText(true, f.lastStimulus, "").c_str(), valueText(fitted, f.fittedAtLast, "").c_str());
    }
    return text;
}

std::string fiSummaryText(const std::string& name, const std::array<FiFit, kFiSeriesCount>& fits) {
    std::string text;
    appendFormat(text, "File: %s\n\nIntrvl\tF/I slp\tX int\tR sq\n", name.c_str());
    for (int k = 0; k < kFiSeriesCount; ++k) {
        const FiFit& f = fits[static_cast<std::size_t>(k)];
        appendFormat(text, "%d\t%s\t%s\t%s\n", k + 1, valueText(f.hasLine, f.slope, "none").c_str(),
                     valueText(f.hasXIntercept, f.xIntercept, "none").c_str(),
                     valueText(true, f.rSquared, "none").c_str());
    }
    return text;
}

}  // namespace ephys
