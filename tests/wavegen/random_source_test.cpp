#include "wavegen/random_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

namespace ephys {
namespace {

// The minimal-standard sequence x(k+1) = 16807 x(k) mod (2^31 - 1), worked out with a plain
// 64-bit product instead of the generator's factorised arithmetic.
std::int64_t lehmer(std::int64_t x) {
    return x * 16807 % 2147483647;
}

// The shuffled generator as its definition reads: the table holds x(40 - k) at index k after
// the 40 warm-up steps from `start`, the last output is x(40); each draw takes the next x, picks
// the entry at index last / 2^26, hands it out (scaled by 2^-31, as a float, at most
// 1 - 2^-23) and puts the new x in its place.
struct ReferenceUniform {
    std::array<std::int64_t, 32> table{};
    std::int64_t x = 0, last = 0;

    explicit ReferenceUniform(std::int64_t start) {
        x = start;
        for (int k = 39; k >= 0; --k) {
            x = lehmer(x);
            if (k < 32) table[static_cast<std::size_t>(k)] = x;
        }
        last = table[0];
    }
    float next() {
        x = lehmer(x);
        const auto j = static_cast<std::size_t>(last / 67108864);
        last = table[j];
        table[j] = x;
        const auto u = static_cast<float>(static_cast<double>(last) / 2147483648.0);
        return std::min(u, 1.0f - std::ldexp(1.0f, -23));
    }
};

TEST(WaveRandom, RecurrenceIsTheMinimalStandardOneFromStateOne) {
    // Park and Miller's published values: 16807, 282475249, 1622650073 for the first three
    // steps from 1 and 1043618065 for the 10000th. The first draw spends 40 steps on the table
    // and one on itself, each further draw one.
    EXPECT_EQ(lehmer(1), 16807);
    EXPECT_EQ(lehmer(lehmer(1)), 282475249);
    EXPECT_EQ(lehmer(lehmer(lehmer(1))), 1622650073);

    WaveRandom r;
    r.seed = 31415;  // any positive seed word: the first use of a program run starts from 1
    for (int draw = 0; draw < 9960; ++draw) waveUniform(r);
    EXPECT_EQ(r.seed, 1043618065);
}

TEST(WaveRandom, UniformDeviatesFollowTheShuffledSequence) {
    WaveRandom r;
    r.seed = 12345;
    ReferenceUniform ref(1);
    for (int i = 0; i < 2000; ++i) {
        const float u = waveUniform(r);
        ASSERT_EQ(u, ref.next()) << "draw " << i;
        ASSERT_GT(u, 0.0f);
        ASSERT_LT(u, 1.0f);
    }

    // A new positive seed word later in the program run restarts the recurrence from it but
    // keeps the table and the last output.
    r.seed = 777;
    ref.x = 777;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(waveUniform(r), ref.next()) << "after reseeding, draw " << i;

    // A seed word of 0 or below fills the table again, from -seed.
    r.seed = -5;
    ReferenceUniform fromFive(5);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(waveUniform(r), fromFive.next()) << "after -5, draw " << i;
    r.seed = 0;
    ReferenceUniform fromOne(1);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(waveUniform(r), fromOne.next()) << "after 0, draw " << i;
}

TEST(WaveRandom, LargestDeviateStaysBelowOne) {
    // The table entry handed out decides the value. 2^31 - 2^8 gives 1 - 2^-23 exactly, the
    // largest value allowed; 2^31 - 2^7 gives 1 - 2^-24 and 2^31 - 2 rounds to 1 as a float:
    // both are held at 1 - 2^-23.
    const float largest = 1.0f - std::ldexp(1.0f, -23);
    for (std::int32_t entry : {2147483392, 2147483520, 2147483646}) {
        WaveRandom r;
        r.seed = 1;
        r.lastOutput = 1;
        r.shuffle.fill(entry);
        EXPECT_EQ(waveUniform(r), largest) << entry;
    }
    WaveRandom r;
    r.seed = 1;
    r.lastOutput = 1;
    r.shuffle.fill(1073741824);  // 2^30
    EXPECT_EQ(waveUniform(r), 0.5f);
}

TEST(WaveRandom, NormalDeviatesArePolarBoxMullerPairs) {
    WaveRandom r;
    r.seed = 1;
    ReferenceUniform ref(1);
    for (int pair = 0; pair < 500; ++pair) {
        // x, y and s are 32-bit floats; the rest is worked out in double here.
        float x, y, s;
        do {
            x = 2.0f * ref.next() - 1.0f;
            y = 2.0f * ref.next() - 1.0f;
            s = x * x + y * y;
        } while (!(s > 0.0f && s < 1.0f));
        const double f = std::sqrt(-2.0 * std::log(static_cast<double>(s)) / s);
        const float first = waveNormal(r);
        EXPECT_TRUE(r.hasSpare);
        const std::int32_t seedBetween = r.seed;
        const float second = waveNormal(r);
        EXPECT_FALSE(r.hasSpare);
        EXPECT_EQ(r.seed, seedBetween) << "the spare must not draw";
        ASSERT_NEAR(first, y * f, 2e-6 * std::fabs(y * f) + 1e-6) << "pair " << pair;
        ASSERT_NEAR(second, x * f, 2e-6 * std::fabs(x * f) + 1e-6) << "pair " << pair;
    }
}

TEST(WaveRandom, ResetForgetsTableAndSpare) {
    // The same seed word after a reset gives the same deviates, whatever came before.
    WaveRandom r;
    r.seed = 99;
    std::vector<float> runs[2];
    for (auto& run : runs) {
        waveNormal(r);  // leaves a spare behind
        waveRandomReset(r);
        EXPECT_FALSE(r.hasSpare);
        r.seed = 4242;
        for (int i = 0; i < 50; ++i) run.push_back(waveNormal(r));
    }
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(WaveRandom, ClockSeedTakesLowSixteenBitsOfTheSecondsAndTheMilliseconds) {
    using namespace std::chrono;
    const auto at = [](long long seconds, int millis) {
        return system_clock::time_point(duration_cast<system_clock::duration>(seconds * 1s + millis * 1ms));
    };
    EXPECT_EQ(waveClockSeed(at(5, 250)), 5250);
    EXPECT_EQ(waveClockSeed(at(3 * 65536 + 5, 250)), 5250);
    EXPECT_EQ(waveClockSeed(at(65535, 999)), 65535999);
    EXPECT_EQ(waveClockSeed(at(1700000000, 1)), (1700000000 % 65536) * 1000 + 1);
}

}  // namespace
}  // namespace ephys
