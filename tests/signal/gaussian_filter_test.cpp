#include "signal/gaussian_filter.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace ephys {
namespace {

// Corner frequency (Hz) that gives `sigma` samples at `intervalUs`.
float cornerFor(float sigma, float intervalUs) {
    return 0.132505f / (sigma * intervalUs * 1e-6f);
}

// Plain per-sample convolution with the store's taps: float sums from the leftmost neighbour to the
// rightmost, an outside neighbour replaced by the sample being filtered.
std::vector<float> naiveFilter(const std::vector<float>& in, const GaussianTaps& taps) {
    const int n = static_cast<int>(in.size());
    const int m = taps.count;
    std::vector<float> out(in.size());
    for (int i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (int j = i - m; j <= i + m; ++j) sum += taps.a[std::abs(j - i)] * in[(j < 0 || j >= n) ? i : j];
        out[i] = sum;
    }
    return out;
}

std::vector<float> randomTrace(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(gen);
    return v;
}

double tapTotal(const GaussianTaps& t) {
    double total = t.a[0];
    for (int k = 1; k <= t.count; ++k) total += 2.0 * t.a[k];
    return total;
}

TEST(GaussianTaps, NarrowSigmaGivesThreeTapFilterWithSameVariance) {
    // 3000 Hz at 100 us: sigma = 0.132505 / 0.3 = 0.441683 samples.
    std::vector<float> v = {1.0f, 5.0f, -2.0f, 8.0f, 3.0f};
    const std::vector<float> in = v;
    GaussianTaps store;
    ASSERT_TRUE(gaussianFilter(v, 3000.0f, 100.0f, store));
    EXPECT_NEAR(store.sigma, 0.441683, 1e-6);
    ASSERT_EQ(store.count, 1);

    const double s2 = 0.132505 / 0.3 * (0.132505 / 0.3);
    auto expected = [&](double left, double centre, double right) {
        return (1.0 - s2) * centre + s2 / 2.0 * (left + right);
    };
    EXPECT_NEAR(v[0], expected(in[0], in[0], in[1]), 1e-5);  // outside neighbour = centre sample
    for (int i = 1; i < 4; ++i) EXPECT_NEAR(v[i], expected(in[i - 1], in[i], in[i + 1]), 1e-5) << i;
    EXPECT_NEAR(v[4], expected(in[3], in[4], in[4]), 1e-5);
}

TEST(GaussianTaps, FourSigmaTruncatedEachSideAtMost52SummingToOne) {
    // sigma and taps each side: 4 sigma = 21.8 gives 21, 52.8 is capped at 52, below 0.62 only one.
    const std::pair<float, int> cases[] = {{0.3f, 1},   {0.62f, 2},  {1.0f, 4},
                                           {5.45f, 21}, {13.2f, 52}, {40.0f, 52}};
    for (auto [sigma, m] : cases) {
        GaussianTaps t;
        gaussianTaps(sigma, t);
        EXPECT_EQ(t.count, m) << sigma;
        EXPECT_NEAR(tapTotal(t), 1.0, 2e-6) << sigma;
        if (sigma < 0.62f) continue;
        for (int k = 1; k <= t.count; ++k)
            EXPECT_NEAR(t.a[k] / t.a[0], std::exp(-k * k / (2.0 * sigma * sigma)), 2e-6) << sigma << " " << k;
    }
}

TEST(GaussianTaps, SameSigmaReusesStoredTapsAndNewSigmaRecomputes) {
    std::vector<float> v = randomTrace(50, 1);
    const std::vector<float> original = v;
    GaussianTaps store;
    const float corner = cornerFor(3.0f, 100.0f);
    ASSERT_TRUE(gaussianFilter(v, corner, 100.0f, store));
    const int m = store.count;
    ASSERT_GT(m, 1);

    // Turn the stored taps into the identity: a filter that recomputed them would smooth the trace.
    store.a.fill(0.0f);
    store.a[0] = 1.0f;
    v = original;
    ASSERT_TRUE(gaussianFilter(v, corner, 100.0f, store));
    EXPECT_EQ(v, original);
    EXPECT_EQ(store.count, m);

    ASSERT_TRUE(gaussianFilter(v, corner / 2.0f, 100.0f, store));
    EXPECT_GT(store.count, m);
    EXPECT_NEAR(tapTotal(store), 1.0, 2e-6);
    EXPECT_NE(v, original);
}

TEST(GaussianFilter, MatchesPlainConvolutionBitForBit) {
    unsigned seed = 10;
    for (float sigma : {0.44f, 0.7f, 1.9f, 5.45f, 13.5f}) {
        for (std::size_t n : {0u, 1u, 2u, 5u, 60u, 104u, 105u, 106u, 258u, 360u, 361u, 616u, 4296u}) {
            std::vector<float> v = randomTrace(n, ++seed);
            GaussianTaps store;
            ASSERT_TRUE(gaussianFilter(v, cornerFor(sigma, 50.0f), 50.0f, store));
            const std::vector<float> expected = naiveFilter(randomTrace(n, seed), store);
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(std::bit_cast<std::uint32_t>(v[i]), std::bit_cast<std::uint32_t>(expected[i]))
                    << "sigma " << sigma << " taps " << store.count << " n " << n << " i " << i;
        }
    }
}

TEST(GaussianFilter, ConstantTraceIsUnchangedEverywhere) {
    for (float sigma : {0.44f, 5.45f, 20.0f}) {
        for (std::size_t n : {1u, 7u, 300u, 2000u}) {
            std::vector<float> v(n, -53.25f);
            GaussianTaps store;
            ASSERT_TRUE(gaussianFilter(v, cornerFor(sigma, 100.0f), 100.0f, store));
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_NEAR(v[i], -53.25f, 53.25f * 1e-5f) << sigma << " " << i;
        }
    }
}

TEST(GaussianFilter, ImpulseResponseIsSymmetricGaussianOver52TapsEachSide) {
    const float sigma = 20.0f;  // 4 sigma = 80, capped at 52
    const int c = 200;
    std::vector<float> v(401, 0.0f);
    v[c] = 1.0f;
    GaussianTaps store;
    ASSERT_TRUE(gaussianFilter(v, cornerFor(sigma, 100.0f), 100.0f, store));
    ASSERT_EQ(store.count, 52);
    const double s = store.sigma;

    double total = v[c];
    for (int k = 1; k <= 52; ++k) {
        EXPECT_EQ(v[c - k], v[c + k]) << k;
        EXPECT_NEAR(v[c + k] / v[c], std::exp(-k * k / (2.0 * s * s)), 1e-5) << k;
        total += v[c - k] + v[c + k];
    }
    EXPECT_GT(v[c + 52], 0.0f);
    EXPECT_EQ(v[c + 53], 0.0f);
    EXPECT_EQ(v[c - 53], 0.0f);
    EXPECT_NEAR(total, 1.0, 2e-6);
}

TEST(GaussianFilter, NonPositiveCornerOrNonFiniteSigmaLeavesTraceAlone) {
    const std::vector<float> original = randomTrace(20, 3);
    for (float corner : {0.0f, -100.0f, std::nanf("")}) {
        std::vector<float> v = original;
        GaussianTaps store;
        EXPECT_TRUE(gaussianFilter(v, corner, 100.0f, store));
        EXPECT_EQ(v, original) << corner;
    }
    std::vector<float> v = original;
    GaussianTaps store;
    EXPECT_TRUE(gaussianFilter(v, 1000.0f, 0.0f, store));  // sigma infinite
    EXPECT_EQ(v, original);
}

}  // namespace
}  // namespace ephys
