#include "psc/hum_removal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ephys {

namespace {

// How far back the fits of the frames are averaged. Events pull a frame's fit (an event's own
// share at the mains frequency and its harmonics); at 10 to 20 events per second, averaging over
// 1.6 s still adds 0.1-0.2 pA to the median amplitude error of recordings without hum, over 5 s
// hardly anything. The mains frequency wanders by some 0.02 Hz, which turns the hum's phase by a
// tenth of a cycle in 5 s.
constexpr double kAveragedSeconds = 5.0;

// Columns of the fit: sine and cosine of each harmonic, an offset and a trend.
constexpr int kMostColumns = 2 * kHumHarmonics + 2;

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

}  // namespace

bool pscRemoveHum(const PscHumSpec& spec, std::span<float> current, PscHumWork& work) {
    const auto n = static_cast<std::ptrdiff_t>(current.size());
    if (!(spec.hz > 0.0) || !(spec.sampleIntervalMs > 0.0) || n == 0) return false;
    const double dt = spec.sampleIntervalMs / 1000.0;
    const int harmonics = usableHarmonics(spec.hz, 1.0 / dt);
    if (harmonics == 0) return false;

    // A frame that does not continue the last one starts the average afresh.
    if (!spec.continuous || !work.continued || spec.firstSample != work.continuesAt) work.frames = 0;
    work.continued = spec.continuous;
    work.continuesAt = spec.firstSample + spec.frameLength;
    const double origin = spec.continuous ? static_cast<double>(spec.firstSample) : 0.0;

    const std::ptrdiff_t from = std::clamp<std::ptrdiff_t>(spec.firstValid, 0, n);
    const std::ptrdiff_t to = std::clamp<std::ptrdiff_t>(spec.validEnd, from, n);
    // Position in the fundamental's cycle, in cycles, of buffer position 0, and its step per sample.
    const double cyclesPerSample = spec.hz * dt;
    const double startCycle = cyclesPerSample * origin - std::floor(cyclesPerSample * origin);
    // Five points per cycle of the highest harmonic are enough for the fit: the sum runs over
    // hundreds of cycles' worth of points.
    const auto stride =
        std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(1.0 / (5.0 * harmonics * cyclesPerSample)));
    if (static_cast<double>(to - from) * cyclesPerSample >= 2.0) {
        const UnitCycle& unit = unitCycle();
        const int k = 2 * harmonics + 2;
        std::array<std::array<double, kMostColumns + 1>, kMostColumns> normal{};
        std::array<double, kMostColumns> row{};
        const double middle = 0.5 * static_cast<double>(from + to);
        const double half = std::max(1.0, 0.5 * static_cast<double>(to - from));
        for (std::ptrdiff_t q = from; q < to; q += stride) {
            const double cycle = startCycle + cyclesPerSample * static_cast<double>(q);
            const auto at = static_cast<std::size_t>(std::lround((cycle - std::floor(cycle)) * kUnitPoints));
            for (int h = 0; h < harmonics; ++h) {
                const std::size_t i = (at * static_cast<std::size_t>(h + 1)) % kUnitPoints;
                row[static_cast<std::size_t>(2 * h)] = unit.sine[i];
                row[static_cast<std::size_t>(2 * h + 1)] = unit.cosine[i];
            }
            row[static_cast<std::size_t>(k - 2)] = 1.0;
            row[static_cast<std::size_t>(k - 1)] = (static_cast<double>(q) - middle) / half;
            const double y = current[static_cast<std::size_t>(q)];
            for (int i = 0; i < k; ++i) {
                for (int j = i; j < k; ++j) normal[i][j] += row[i] * row[j];
                normal[i][k] += row[i] * y;
            }
        }
        for (int i = 0; i < k; ++i)
            for (int j = 0; j < i; ++j) normal[i][j] = normal[j][i];
        std::array<double, kMostColumns> x{};
        if (solve(normal, k, x)) {
            auto& fit = work.fits[work.frames % PscHumWork::kFrames];
            fit.fill(0.0);
            std::copy_n(x.begin(), 2 * harmonics, fit.begin());
            ++work.frames;
        }
    }
    if (work.frames == 0) return false;

    // The fits of the frames that started within the last kAveragedSeconds.
    const double frameSeconds = std::max(1, spec.frameLength) * dt;
    const auto span = static_cast<std::size_t>(
        std::clamp(std::lround(kAveragedSeconds / frameSeconds), 1L, static_cast<long>(PscHumWork::kFrames)));
    const std::size_t used = std::min(work.frames, span);
    work.removed.fill(0.0);
    for (std::size_t f = 0; f < used; ++f)
        for (std::size_t i = 0; i < work.removed.size(); ++i)
            work.removed[i] += work.fits[(work.frames - 1 - f) % PscHumWork::kFrames][i];
    for (double& v : work.removed) v /= static_cast<double>(used);

    // One cycle of the averaged hum in a table, then the table, interpolated, at every position.
    const UnitCycle& unit = unitCycle();
    constexpr std::size_t kStep = kUnitPoints / kHumPoints;
    for (std::size_t j = 0; j <= kHumPoints; ++j) {
        double v = 0.0;
        for (int h = 0; h < harmonics; ++h) {
            const std::size_t i = (j * kStep * static_cast<std::size_t>(h + 1)) % kUnitPoints;
            v += work.removed[static_cast<std::size_t>(2 * h)] * unit.sine[i] +
                 work.removed[static_cast<std::size_t>(2 * h + 1)] * unit.cosine[i];
        }
        work.cycle[j] = static_cast<float>(v);
    }
    // The phase as a 32-bit fraction of a cycle, which wraps by itself: its top 8 bits pick the
    // table's point, the rest interpolate. Each position's phase is computed from the buffer's
    // start, not accumulated, so the loop has no chain from sample to sample.
    static_assert(kHumPoints == 256);
    constexpr double kTurn = 4294967296.0;  // 2^32
    const auto phase0 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(startCycle * kTurn));
    const auto increment = static_cast<std::uint32_t>(std::llround(cyclesPerSample * kTurn));
    constexpr float kFraction = 1.0f / 16777216.0f;  // 2^-24
    const float* table = work.cycle.data();
    float* values = current.data();
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        const std::uint32_t phase = phase0 + static_cast<std::uint32_t>(q) * increment;
        const std::uint32_t i = phase >> 24;
        const float frac = static_cast<float>(phase & 0xFFFFFFu) * kFraction;
        values[q] -= table[i] + frac * (table[i + 1] - table[i]);
    }
    return true;
}

double pscHumAmplitude(const PscHumWork& work) {
    return std::hypot(work.removed[0], work.removed[1]);
}

}  // namespace ephys
