#include "psc/hum_removal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "params/c_numbers.h"
#include "psc/frame_buffers.h"

namespace ephys {

namespace {

// Columns of the fit: sine and cosine of each harmonic of each frequency, an offset and a trend.
constexpr int kMostColumns = 2 * kHumHarmonics * static_cast<int>(kHumMains) + 2;

// The search takes a frequency's hum out once this many frames are averaged and their mean
// stands out from their scatter: the score is the sum over the harmonics of the squared mean
// over its squared standard error. For noise alone it is half a chi-square of 6 degrees of
// freedom (mean 3), above 25 about once in 10^8 frames; on 17 minutes of white and 1/f noise
// with and without events it stayed below, and it finds 1 pA of hum in 8 pA of noise in most
// frames.
constexpr std::size_t kSearchFrames = 8;
constexpr double kSearchScore = 25.0;

// Harmonics the sampling resolves well: below a quarter of the sampling rate.
int usableHarmonics(double hz, double sampleRateHz) {
    int h = 0;
    while (h < kHumHarmonics && static_cast<double>(h + 1) * hz < sampleRateHz / 4.0) ++h;
    return h;
}

// Solves the k x k system a x = b in place (Gaussian elimination with partial pivoting). False
// when it is singular for the precision at hand.
bool solve(std::array<std::array<double, kMostColumns + 1>, kMostColumns>& a, int k,
           std::array<double, kMostColumns>& x) {
    double largest = 0.0;
    for (int i = 0; i < k; ++i) largest = std::max(largest, std::fabs(a[i][i]));
    if (!(largest > 0.0)) return false;
    for (int c = 0; c < k; ++c) {
        int pivot = c;
        for (int r = c + 1; r < k; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (!(std::fabs(a[pivot][c]) > 1e-12 * largest)) return false;
        std::swap(a[c], a[pivot]);
        for (int r = c + 1; r < k; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int j = c; j <= k; ++j) a[r][j] -= f * a[c][j];
        }
    }
    for (int r = k - 1; r >= 0; --r) {
        double v = a[r][k];
        for (int j = r + 1; j < k; ++j) v -= a[r][j] * x[j];
        x[r] = v / a[r][r];
    }
    return std::isfinite(x[0]);
}

// Sine and cosine over one cycle: the fit's columns and the hum's table are read from them, which
// is much faster than evaluating them sample by sample.
constexpr std::size_t kUnitPoints = 4096;
struct UnitCycle {
    std::array<double, kUnitPoints> sine{};
    std::array<double, kUnitPoints> cosine{};
};
const UnitCycle& unitCycle() {
    static const UnitCycle unit = [] {
        UnitCycle u;
        for (std::size_t i = 0; i < kUnitPoints; ++i) {
            const double a =
                2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(kUnitPoints);
            u.sine[i] = std::sin(a);
            u.cosine[i] = std::cos(a);
        }
        return u;
    }();
    return unit;
}

// Subtracts the hum `fit` (sine and cosine of each harmonic) from every position: one cycle of
// it in `table`, then the table, interpolated, at each position's phase.
void subtract(const PscHumWork::Fit& fit, int harmonics, double startCycle, double cyclesPerSample,
              std::span<float> current, std::array<float, kHumPoints + 1>& table) {
    const UnitCycle& unit = unitCycle();
    constexpr std::size_t kStep = kUnitPoints / kHumPoints;
    for (std::size_t j = 0; j <= kHumPoints; ++j) {
        double v = 0.0;
        for (int h = 0; h < harmonics; ++h) {
            const std::size_t i = (j * kStep * static_cast<std::size_t>(h + 1)) % kUnitPoints;
            v += fit[static_cast<std::size_t>(2 * h)] * unit.sine[i] +
                 fit[static_cast<std::size_t>(2 * h + 1)] * unit.cosine[i];
        }
        table[j] = static_cast<float>(v);
    }
    // The phase as a 32-bit fraction of a cycle, which wraps by itself: its top 8 bits pick the
    // table's point, the rest interpolate. Each position's phase is computed from the buffer's
    // start, not accumulated, so the loop has no chain from sample to sample.
    static_assert(kHumPoints == 256);
    constexpr double kTurn = 4294967296.0;  // 2^32
    const auto phase0 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(startCycle * kTurn));
    const auto increment = static_cast<std::uint32_t>(std::llround(cyclesPerSample * kTurn));
    constexpr float kFraction = 1.0f / 16777216.0f;  // 2^-24
    const float* points = table.data();
    float* values = current.data();
    const auto n = static_cast<std::ptrdiff_t>(current.size());
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        const std::uint32_t phase = phase0 + static_cast<std::uint32_t>(q) * increment;
        const std::uint32_t i = phase >> 24;
        const float frac = static_cast<float>(phase & 0xFFFFFFu) * kFraction;
        values[q] -= points[i] + frac * (points[i + 1] - points[i]);
    }
}

// The frequencies fitted and their usable harmonics: 50 and 60 Hz for the search.
struct Mains {
    std::array<double, kHumMains> hz{};
    std::array<int, kHumMains> harmonics{};
    int columns = 0;
    double highest = 0.0;  // the highest frequency fitted (Hz)
};

Mains mainsOf(const PscHumSpec& spec) {
    Mains m;
    const bool search = spec.hz == kPscHumSearch;
    if (!(search || spec.hz > 0.0) || !(spec.sampleIntervalMs > 0.0)) return m;
    if (search)
        m.hz = {50.0, 60.0};
    else
        m.hz[0] = spec.hz;
    const double rate = 1000.0 / spec.sampleIntervalMs;
    for (std::size_t c = 0; c < kHumMains; ++c) {
        m.harmonics[c] = m.hz[c] > 0.0 ? usableHarmonics(m.hz[c], rate) : 0;
        m.columns += 2 * m.harmonics[c];
        m.highest = std::max(m.highest, m.harmonics[c] * m.hz[c]);
    }
    return m;
}

// Each frequency's position in its cycle (in cycles) at buffer position 0.
std::array<double, kHumMains> startCycles(const PscHumSpec& spec, const Mains& m) {
    std::array<double, kHumMains> start{};
    const double origin = spec.continuous ? static_cast<double>(spec.firstSample) : 0.0;
    for (std::size_t c = 0; c < kHumMains; ++c) {
        const double cycles = m.hz[c] * spec.sampleIntervalMs / 1000.0 * origin;
        start[c] = cycles - std::floor(cycles);
    }
    return start;
}

}  // namespace

PscHumFit pscFitHumFrame(const PscHumSpec& spec, std::span<const float> current) {
    PscHumFit result;
    const auto n = static_cast<std::ptrdiff_t>(current.size());
    const Mains m = mainsOf(spec);
    if (m.columns == 0 || n == 0) return result;
    const double dt = spec.sampleIntervalMs / 1000.0;

    // The frame's own recorded samples, so that each frame's fit is its own; the whole buffer's
    // where a frame holds too few cycles: two of the mains frequency, four of 50 Hz for the
    // search, whose 50 and 60 Hz are told apart by their 10 Hz difference.
    const bool search = spec.hz == kPscHumSearch;
    const double lowest = search ? 50.0 : spec.hz;
    const double fewest = search ? 4.0 : 2.0;
    auto cycles = [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        return static_cast<double>(b - a) * lowest * dt;
    };
    std::ptrdiff_t from = std::clamp<std::ptrdiff_t>(spec.firstValid, 0, n);
    std::ptrdiff_t to = std::clamp<std::ptrdiff_t>(spec.validEnd, from, n);
    const std::ptrdiff_t ownFrom = std::max<std::ptrdiff_t>(from, kFrameLead);
    const std::ptrdiff_t ownTo = std::min<std::ptrdiff_t>(to, kFrameLead + std::max(0, spec.frameLength));
    if (cycles(ownFrom, ownTo) >= fewest) {
        from = ownFrom;
        to = ownTo;
    }
    if (cycles(from, to) < fewest) return result;

    // Five points per cycle of the highest harmonic are enough for the fit: the sum runs over
    // hundreds of cycles' worth of points.
    const auto stride =
        std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(1.0 / (5.0 * m.highest * dt)));
    const std::array<double, kHumMains> start = startCycles(spec, m);
    const UnitCycle& unit = unitCycle();
    const int k = m.columns + 2;
    std::array<std::array<double, kMostColumns + 1>, kMostColumns> normal{};
    std::array<double, kMostColumns> row{};
    const double middle = 0.5 * static_cast<double>(from + to);
    const double half = std::max(1.0, 0.5 * static_cast<double>(to - from));
    for (std::ptrdiff_t q = from; q < to; q += stride) {
        std::size_t column = 0;
        for (std::size_t c = 0; c < kHumMains; ++c) {
            const double cycle = start[c] + m.hz[c] * dt * static_cast<double>(q);
            const auto at = static_cast<std::size_t>(std::lround((cycle - std::floor(cycle)) * kUnitPoints));
            for (int h = 0; h < m.harmonics[c]; ++h) {
                const std::size_t i = (at * static_cast<std::size_t>(h + 1)) % kUnitPoints;
                row[column++] = unit.sine[i];
                row[column++] = unit.cosine[i];
            }
        }
        row[column++] = 1.0;
        row[column] = (static_cast<double>(q) - middle) / half;
        const double y = current[static_cast<std::size_t>(q)];
        for (int i = 0; i < k; ++i) {
            for (int j = i; j < k; ++j) normal[i][j] += row[i] * row[j];
            normal[i][k] += row[i] * y;
        }
    }
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < i; ++j) normal[i][j] = normal[j][i];
    std::array<double, kMostColumns> x{};
    if (!solve(normal, k, x)) return result;
    std::size_t column = 0;
    for (std::size_t c = 0; c < kHumMains; ++c)
        for (int i = 0; i < 2 * m.harmonics[c]; ++i)
            result.fits[c][static_cast<std::size_t>(i)] = x[column++];
    result.fitted = true;
    return result;
}

void pscAddHumFit(const PscHumSpec& spec, const PscHumFit& fit, PscHumWork& work) {
    // A frame that does not continue the last one starts the averages afresh.
    if (!spec.continuous || !work.continued || spec.firstSample != work.continuesAt) {
        work.frames = 0;
        work.found.fill(false);
    }
    work.continued = spec.continuous;
    work.continuesAt = spec.firstSample + spec.frameLength;
    if (!fit.fitted) return;
    for (std::size_t c = 0; c < kHumMains; ++c) work.fits[c][work.frames % PscHumWork::kFrames] = fit.fits[c];
    ++work.frames;
}

bool pscRemoveHum(const PscHumSpec& spec, const PscHumFit& fit, std::span<float> current, PscHumWork& work) {
    work.removedHz.fill(0.0);
    const Mains m = mainsOf(spec);
    if (m.columns == 0 || current.empty()) return false;
    pscAddHumFit(spec, fit, work);
    if (work.frames == 0) return false;
    const double dt = spec.sampleIntervalMs / 1000.0;

    // The fits of the frames that started within the last kHumAveragedSeconds.
    const double frameSeconds = std::max(1, spec.frameLength) * dt;
    const auto span = static_cast<std::size_t>(std::clamp(std::lround(kHumAveragedSeconds / frameSeconds), 1L,
                                                          static_cast<long>(PscHumWork::kFrames)));
    const std::size_t used = std::min(work.frames, span);
    auto fitOf = [&](std::size_t c, std::size_t back) -> const PscHumWork::Fit& {
        return work.fits[c][(work.frames - 1 - back) % PscHumWork::kFrames];
    };
    const std::array<double, kHumMains> start = startCycles(spec, m);
    bool any = false;
    for (std::size_t c = 0; c < kHumMains; ++c) {
        if (m.harmonics[c] == 0) continue;
        PscHumWork::Fit& mean = work.removed[c];
        mean.fill(0.0);
        for (std::size_t f = 0; f < used; ++f)
            for (std::size_t i = 0; i < mean.size(); ++i) mean[i] += fitOf(c, f)[i];
        for (double& v : mean) v /= static_cast<double>(used);
        if (spec.hz == kPscHumSearch) {
            if (used < kSearchFrames) continue;
            double score = 0.0;
            for (std::size_t h = 0; h < static_cast<std::size_t>(m.harmonics[c]); ++h) {
                double scatter = 0.0;
                for (std::size_t f = 0; f < used; ++f) {
                    const double ds = fitOf(c, f)[2 * h] - mean[2 * h];
                    const double dc = fitOf(c, f)[2 * h + 1] - mean[2 * h + 1];
                    scatter += ds * ds + dc * dc;
                }
                const double squaredError =
                    scatter / static_cast<double>(used - 1) / static_cast<double>(used);
                const double squaredMean = mean[2 * h] * mean[2 * h] + mean[2 * h + 1] * mean[2 * h + 1];
                if (squaredError > 0.0) score += squaredMean / squaredError;
            }
            // Once found, the hum is taken out while the score stays above a quarter of the
            // bar, so that a hum near the bar is not taken out of every other frame.
            work.found[c] = score > (work.found[c] ? kSearchScore / 4.0 : kSearchScore);
            if (!work.found[c]) continue;
        }
        work.removedHz[c] = m.hz[c];
        work.takenHz[c] = m.hz[c];
        ++work.framesRemoved[c];
        work.amplitudeSum[c] += std::hypot(mean[0], mean[1]);
        subtract(mean, m.harmonics[c], start[c], m.hz[c] * dt, current, work.cycle);
        any = true;
    }
    return any;
}

double pscHumAmplitude(const PscHumWork& work) {
    double sum = 0.0;
    for (std::size_t c = 0; c < kHumMains; ++c)
        if (work.removedHz[c] > 0.0) sum += std::hypot(work.removed[c][0], work.removed[c][1]);
    return sum;
}

std::string pscHumLine(const std::string& fileName, const PscHumWork& work, std::int64_t frames) {
    std::string found;
    for (std::size_t c = 0; c < kHumMains; ++c) {
        if (work.framesRemoved[c] == 0) continue;
        const double amplitude = work.amplitudeSum[c] / static_cast<double>(work.framesRemoved[c]);
        const double share = 100.0 * static_cast<double>(work.framesRemoved[c]) /
                             static_cast<double>(std::max(frames, work.framesRemoved[c]));
        if (!found.empty()) found.append("; ");
        found.append(formatFixed(amplitude, amplitude < 10.0 ? 2 : 1))
            .append(" pA at ")
            .append(formatFixed(work.takenHz[c], 0))
            .append(" Hz, with its harmonics, taken out of ")
            .append(formatFixed(share, share < 10.0 ? 1 : 0))
            .append(" % of the frames");
    }
    return found.empty() ? found : "Mains hum in " + fileName + ": " + found;
}

}  // namespace ephys
