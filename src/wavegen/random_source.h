// The generator's random source: the minimal-standard generator of Park and Miller behind a
// Bays-Durham shuffle of 32 entries, and Gaussian deviates from it by the polar Box-Muller
// method. The whole state lives in one record that the program owns for its whole run, so the
// shuffle table and the spare deviate carry over from one waveform to the next.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace ephys {

inline constexpr int kWaveShuffleSize = 32;

struct WaveRandom {
    std::int32_t seed = 0;                                 // the seed word, advanced by every draw
    std::array<std::int32_t, kWaveShuffleSize> shuffle{};  // Bays-Durham table
    std::int32_t lastOutput = 0;                           // 0 until the first draw fills the table
    bool hasSpare = false;                                 // the second deviate of the last pair
    float spare = 0.0f;
};

// A uniform deviate in (0, 1), at most 1 - 2^-23. The first draw of a program run fills the
// table, starting from state 1 whatever positive seed word is set; a seed word of 0 or below
// refills it, from -seed (or 1).
float waveUniform(WaveRandom& random);

// A standard normal deviate. Deviates come in pairs; the second is kept for the next call.
float waveNormal(WaveRandom& random);

// Puts the source back into its state of a fresh program run and fills the table at once, as
// the first draw would; no spare deviate is held. A seed word set afterwards then starts the
// recurrence, which is what a fixed, reproducible seed needs.
void waveRandomReset(WaveRandom& random);

// The seed word of a run: the low 16 bits of the seconds of the time, times 1000, plus its
// milliseconds.
std::int32_t waveClockSeed(std::chrono::system_clock::time_point now);

}  // namespace ephys
