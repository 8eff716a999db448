// Throughput of the Gaussian filter, in samples per second, for the narrowest filter (3 taps), a
// middling one (43) and the widest (105), over a long trace and over one psctrawl frame.
#include "signal/gaussian_filter.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr float kIntervalUs = 50.0f;

// Corner frequencies at 50 us giving sigma = 0.5, 5.4 and 14 samples: m = 1, 21 and 52.
constexpr float kCorner3Taps = 0.132505f / (0.5f * kIntervalUs * 1e-6f);
constexpr float kCorner43Taps = 0.132505f / (5.4f * kIntervalUs * 1e-6f);
constexpr float kCorner105Taps = 0.132505f / (14.0f * kIntervalUs * 1e-6f);

// A noisy current trace around a holding level, so repeated smoothing never sinks into denormals.
std::vector<float> trace(std::size_t n) {
    std::mt19937 gen(42);
    std::normal_distribution<float> noise(-50.0f, 5.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = noise(gen);
    return v;
}

void filterTrace(benchmark::State& state, float cornerHz, int wantedTaps) {
    std::vector<float> v = trace(static_cast<std::size_t>(state.range(0)));
    ephys::GaussianTaps store;
    ephys::gaussianFilter(v, cornerHz, kIntervalUs, store);
    if (2 * store.count + 1 != wantedTaps) {
        state.SkipWithError(
            ("expected " + std::to_string(wantedTaps) + " taps, got " + std::to_string(2 * store.count + 1))
                .c_str());
        return;
    }
    for (auto _ : state) {
        bool ok = ephys::gaussianFilter(v, cornerHz, kIntervalUs, store);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(v.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Gaussian3Taps(benchmark::State& state) {
    filterTrace(state, kCorner3Taps, 3);
}
void BM_Gaussian43Taps(benchmark::State& state) {
    filterTrace(state, kCorner43Taps, 43);
}
void BM_Gaussian105Taps(benchmark::State& state) {
    filterTrace(state, kCorner105Taps, 105);
}

// One psctrawl frame (2048 + 2248 samples) and a long stretch of a recording.
constexpr std::int64_t kFrame = 2048 + 2248;
constexpr std::int64_t kLong = 1000000;

BENCHMARK(BM_Gaussian3Taps)->Arg(kFrame)->Arg(kLong);
BENCHMARK(BM_Gaussian43Taps)->Arg(kFrame)->Arg(kLong);
BENCHMARK(BM_Gaussian105Taps)->Arg(kFrame)->Arg(kLong);

}  // namespace
