#include "wavegen/random_source.h"

#include <cmath>

namespace ephys {

namespace {

// Park and Miller's multiplier and modulus, with Schrage's factorisation m = a q + r, which keeps
// a x mod m inside 32 bits.
constexpr std::int32_t kMultiplier = 16807;
constexpr std::int32_t kModulus = 2147483647;
constexpr std::int32_t kQuotient = 127773;
constexpr std::int32_t kRemainder = 2836;
// Dividing an output by this gives a table index 0 .. 31.
constexpr std::int32_t kIndexDivisor = 67108864;  // 2^26
// Scale of an output to (0, 1) and the largest value handed out.
constexpr double kScale = 1.0 / 2147483648.0;         // 2^-31
constexpr float kLargest = 1.0f - 1.0f / 8388608.0f;  // 1 - 2^-23
constexpr int kWarmUp = 8;                            // steps before the table is filled

std::int32_t step(std::int32_t x) {
    const std::int32_t k = x / kQuotient;
    x = kMultiplier * (x - k * kQuotient) - kRemainder * k;
    if (x < 0) x += kModulus;
    return x;
}

void fillTable(WaveRandom& r) {
    r.seed = -r.seed < 1 ? 1 : -r.seed;
    for (int j = kWaveShuffleSize + kWarmUp - 1; j >= 0; --j) {
        r.seed = step(r.seed);
        if (j < kWaveShuffleSize) r.shuffle[static_cast<std::size_t>(j)] = r.seed;
    }
    r.lastOutput = r.shuffle[0];
}

}  // namespace

float waveUniform(WaveRandom& r) {
    if (r.seed <= 0 || r.lastOutput == 0) fillTable(r);
    r.seed = step(r.seed);
    const auto j = static_cast<std::size_t>(r.lastOutput / kIndexDivisor);
    r.lastOutput = r.shuffle[j];
    r.shuffle[j] = r.seed;
    const auto x = static_cast<float>(static_cast<double>(r.lastOutput) * kScale);
    return x > kLargest ? kLargest : x;
}

float waveNormal(WaveRandom& r) {
    if (r.hasSpare) {
        r.hasSpare = false;
        return r.spare;
    }
    float x, y, s;
    do {
        x = 2.0f * waveUniform(r) - 1.0f;
        y = 2.0f * waveUniform(r) - 1.0f;
        s = x * x + y * y;
    } while (!(s > 0.0f && s < 1.0f));
    const auto f = static_cast<float>(std::sqrt(-2.0 * std::log(static_cast<double>(s)) / s));
    r.spare = x * f;
    r.hasSpare = true;
    return y * f;
}

void waveRandomReset(WaveRandom& r) {
    r = WaveRandom{};
    fillTable(r);
}

std::int32_t waveClockSeed(std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    auto seconds = ms / 1000, millis = ms % 1000;
    if (millis < 0) {  // a time before 1970: floor, not truncation
        millis += 1000;
        seconds -= 1;
    }
    return static_cast<std::int32_t>(seconds & 0xFFFF) * 1000 + static_cast<std::int32_t>(millis);
}

}  // namespace ephys
