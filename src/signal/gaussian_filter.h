// The digital Gaussian low-pass filter (Colquhoun and Sigworth), applied in place to 32-bit
// float samples at a fixed interval. psctrawl filters every frame of current with it, swg its
// white noise.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace ephys {

// Most taps on each side of the centre tap.
inline constexpr int kGaussianMaxTaps = 52;

// The coefficient store, one per program, kept between calls: the taps are computed again only
// when sigma changes, so filtering every frame of a recording computes them once.
struct GaussianTaps {
    float sigma = 0.0f;                           // sigma (samples) of the last computation
    int count = 0;                                // m: taps a[1] .. a[m] on each side
    std::array<float, kGaussianMaxTaps + 1> a{};  // a[0] .. a[m]
    std::vector<float> work;                      // scratch for the filtered values, reused
};

// Brings the store up to date for sigma (samples).
void gaussianTaps(float sigma, GaussianTaps& store);

// Filters `values` in place. cornerHz is the -3 dB corner (> 0), intervalUs the sample interval
// in microseconds. Returns false, leaving the values unfiltered, when the work array cannot be
// allocated.
bool gaussianFilter(std::span<float> values, float cornerHz, float intervalUs, GaussianTaps& store);

}  // namespace ephys
