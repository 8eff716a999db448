// The digital Gaussian low-pass filter of Colquhoun and Sigworth ("Fitting and statistical
// analysis of single-channel records", 1995): a symmetric FIR filter whose taps sample a Gaussian
// of standard deviation sigma = 0.132505 / (fc * dt) samples, fc the -3 dB corner and dt the
// sample interval. Everything is 32-bit float so that a filtered trace comes out the same, bit for
// bit, on every machine; the project builds with -ffp-contract=off for the same reason.
#include "signal/gaussian_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

namespace ephys {

namespace {

// Below this sigma the sampled Gaussian is too narrow to be worth its taps: the filter becomes
// the three-tap binomial approximation with the same variance.
constexpr float kNarrowSigma = 0.62f;

// Outputs computed together in the interior. The partial sums of one block stay in the first-level
// cache while the taps are added in, and a fixed length lets the compiler vectorise the inner loops
// without a scalar remainder.
constexpr std::ptrdiff_t kBlock = 256;

// Adds up outputs out[0 .. Len) whose neighbours in[-m .. Len - 1 + m] all lie inside the trace.
// For each output the terms go in from the leftmost neighbour to the rightmost, exactly as in the
// plain per-sample loop, so working across outputs does not change a single bit of the result.
// Four taps go in per pass over the block, which spares three of every four loads and stores of the
// partial sums without reordering anything.
template <std::ptrdiff_t Len>
[[gnu::always_inline]] inline void convolveBlock(const float* in, float* out, const float* a, int m) {
    auto tap = [a](int d) { return a[d < 0 ? -d : d]; };
    float acc[Len];
    for (std::ptrdiff_t i = 0; i < Len; ++i) acc[i] = 0.0f;
    int d = -m;
    for (; d + 3 <= m; d += 4) {
        const float c0 = tap(d), c1 = tap(d + 1), c2 = tap(d + 2), c3 = tap(d + 3);
        const float* src = in + d;
        for (std::ptrdiff_t i = 0; i < Len; ++i)
            acc[i] = acc[i] + c0 * src[i] + c1 * src[i + 1] + c2 * src[i + 2] + c3 * src[i + 3];
    }
    for (; d <= m; ++d) {
        const float c = tap(d);
        const float* src = in + d;
        for (std::ptrdiff_t i = 0; i < Len; ++i) acc[i] += c * src[i];
    }
    for (std::ptrdiff_t i = 0; i < Len; ++i) out[i] = acc[i];
}

// The interior of a trace, block by block. Built twice, for AVX2 and for any x86-64, and picked at
// load time: the wider registers nearly halve the time of the widest filters, and as nothing is
// fused or reordered (no FMA, same order of additions) both give the same bits.
#if defined(__x86_64__) && !defined(__clang__)
[[gnu::target_clones("avx2", "default")]]
#endif
void convolveInterior(const float* in, float* out, const float* a, int m, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    std::ptrdiff_t start = lo;
    for (; start + kBlock <= hi; start += kBlock) convolveBlock<kBlock>(in + start, out + start, a, m);
    // The last block is laid to end at `hi`: it computes a few outputs again, to the same
    // values, instead of leaving the remainder to a slower loop.
    if (start < hi) convolveBlock<kBlock>(in + hi - kBlock, out + hi - kBlock, a, m);
}

// Outputs out[from .. to) of a trace of n samples, any of whose neighbours may lie outside it: such
// a neighbour is replaced by the sample being filtered, not by the end sample, so a step close to
// an end is not smeared into it. Used for the ends and for traces too short for a block. The taps
// go in one at a time across the whole range, again in the per-sample order.
void convolveRange(const float* in, std::ptrdiff_t n, float* out, std::ptrdiff_t from, std::ptrdiff_t to,
                   const float* a, int m) {
    for (std::ptrdiff_t i = from; i < to; ++i) out[i] = 0.0f;
    for (int d = -m; d <= m; ++d) {
        const float c = a[d < 0 ? -d : d];
        const std::ptrdiff_t inLo = std::clamp<std::ptrdiff_t>(-d, from, to);     // below: before the start
        const std::ptrdiff_t inHi = std::clamp<std::ptrdiff_t>(n - d, inLo, to);  // from here: past the end
        for (std::ptrdiff_t i = from; i < inLo; ++i) out[i] += c * in[i];
        for (std::ptrdiff_t i = inLo; i < inHi; ++i) out[i] += c * in[i + d];
        for (std::ptrdiff_t i = inHi; i < to; ++i) out[i] += c * in[i];
    }
}

}  // namespace

void gaussianTaps(float sigma, GaussianTaps& store) {
    if (sigma == store.sigma) return;
    store.sigma = sigma;
    auto& a = store.a;
    if (sigma >= kNarrowSigma) {
        // Four standard deviations each side, truncated, and never more than the store holds.
        const float reach = std::min(4.0f * sigma, static_cast<float>(kGaussianMaxTaps));
        const int m = std::max(1, static_cast<int>(reach));
        const float twoVariance = 2.0f * sigma * sigma;
        a[0] = 1.0f;
        for (int k = 1; k <= m; ++k) {
            const float arg = -static_cast<float>(k * k) / twoVariance;
            a[k] = static_cast<float>(std::exp(static_cast<double>(arg)));
        }
        // Half the centre tap plus one side is half the total weight: scale to unit gain at DC.
        float half = 0.5f;
        for (int k = 1; k <= m; ++k) half += a[k];
        const float total = 2.0f * half;
        for (int k = 0; k <= m; ++k) a[k] /= total;
        store.count = m;
    } else {
        a[1] = sigma * sigma / 2.0f;
        a[0] = 1.0f - 2.0f * a[1];
        store.count = 1;
    }
}

bool gaussianFilter(std::span<float> values, float cornerHz, float intervalUs, GaussianTaps& store) {
    if (!(cornerHz > 0.0f)) return true;
    const float sigma = 0.132505f / (cornerHz * intervalUs / 1000000.0f);
    // A zero sigma is the identity filter; leaving the trace alone also keeps a fresh store, whose
    // sigma is zero and which holds no taps, from being taken as up to date.
    if (!std::isfinite(sigma) || sigma == 0.0f) return true;

    gaussianTaps(sigma, store);
    const auto n = static_cast<std::ptrdiff_t>(values.size());
    if (n == 0) return true;
    const int m = store.count;
    const float* a = store.a.data();

    // The work array stays with the store, so filtering frame after frame allocates nothing.
    try {
        if (store.work.size() < values.size()) store.work.resize(values.size());
    } catch (const std::bad_alloc&) {
        return false;
    }

    const float* in = values.data();
    float* out = store.work.data();
    const std::ptrdiff_t lo = m;      // first output whose neighbours all lie inside
    const std::ptrdiff_t hi = n - m;  // one past the last
    if (hi - lo < kBlock) {
        convolveRange(in, n, out, 0, n, a, m);
    } else {
        convolveRange(in, n, out, 0, lo, a, m);
        convolveInterior(in, out, a, m, lo, hi);
        convolveRange(in, n, out, hi, n, a, m);
    }
    std::copy(out, out + n, values.data());
    return true;
}

}  // namespace ephys
