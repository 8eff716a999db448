// Synthetic recordings with known contents, for tests, benchmarks and the demo: postsynaptic
// currents in voltage clamp and action potentials in current clamp, with their ground truth.
// Every number comes from a seeded generator of the project's own, so a seed gives the same
// recording on every machine.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ephys {

// A small, fully specified random source (SplitMix64 seeding a xoshiro256** state).
class SynthRandom {
  public:
    explicit SynthRandom(std::uint64_t seed);
    std::uint64_t next();
    double uniform();      // [0, 1)
    double uniformOpen();  // (0, 1)
    double normal();       // mean 0, SD 1
    double exponential();  // mean 1

  private:
    std::uint64_t s_[4];
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

// ---- Postsynaptic currents ------------------------------------------------------------------

struct PscSynthSpec {
    double intervalUs = 50.0;                   // per-channel sample interval
    std::int64_t samplesPerSweep = 20 * 20000;  // gap-free: the whole recording
    int sweeps = 1;                             // 1 and gapFree: one continuous recording
    bool gapFree = true;
    double rateHz = 5.0;  // mean event rate (Poisson)
    double tauRiseMs = 0.5;
    double tauDecayMs = 5.0;
    double amplitudeMedianPa = 30.0;  // log-normal amplitudes: median and SD of the log
    double amplitudeLogSd = 0.3;
    int sign = -1;           // -1 inward (negative) currents, +1 outward
    double noiseSdPa = 2.0;  // white Gaussian noise
    double driftPa = 0.0;    // slow sinusoidal drift: amplitude and frequency
    double driftHz = 0.1;
    // Pink (1/f) noise of this SD, from about 0.3 Hz (at 20 kHz sampling) up to the sampling
    // rate, beside the white noise; and mains hum, a sine of this amplitude and frequency.
    double pinkNoiseSdPa = 0.0;
    double humPa = 0.0;
    double humHz = 50.0;
    double holdingPa = 0.0;  // constant offset
    double minGapMs = 0.0;   // no two onsets closer than this (0: pure Poisson)
    std::uint64_t seed = 1;
};

struct PscEventTruth {
    int sweep = 1;        // from 1
    double onsetS = 0.0;  // from the start of the sweep
    double peakS = 0.0;
    double amplitudePa = 0.0;  // signed peak deflection from the baseline
    double rise1090Ms = 0.0;   // 10-90 % rise time of the event's shape
    double tauDecayMs = 0.0;
};

// Makes the event list on construction; samples are produced in pieces of any size, so an
// hour-long recording never has to be held in memory.
class PscSynthesizer {
  public:
    explicit PscSynthesizer(const PscSynthSpec& spec);
    const std::vector<PscEventTruth>& events() const { return events_; }
    // Values (pA) of samples [first, first + out.size()) of one sweep.
    void fill(int sweep, std::int64_t first, std::span<float> out) const;
    // Peak time after onset (ms) and 10-90 % rise time (ms) of the normalised shape.
    double peakDelayMs() const { return peakDelayMs_; }

  private:
    double shape(double tMs) const;  // normalised to a peak of 1
    PscSynthSpec spec_;
    double norm_ = 1.0;
    double peakDelayMs_ = 0.0;
    double rise1090Ms_ = 0.0;
    std::vector<PscEventTruth> events_;
    std::vector<std::size_t> sweepStart_;  // index of each sweep's first event
};

// ---- Action potentials ----------------------------------------------------------------------

struct SpikeSynthSpec {
    double intervalUs = 50.0;
    std::int64_t samplesPerSweep = 20000;
    int sweeps = 10;
    int channels = 1;
    // The current step of every sweep is epoch A of DAC 0: it starts after the holding stretch
    // of samplesPerSweep / 64 samples, as the acquisition software places the first epoch.
    double holdingPa = 0.0;
    std::int64_t stepLength = 10000;
    double firstStepPa = -50.0;
    double stepIncrementPa = 25.0;
    double restMv = -65.0;
    double inputResistanceMOhm = 100.0;  // steady deflection = R × I
    double membraneTauMs = 10.0;
    double rheobasePa = 50.0;   // spikes start above this current
    double gainHzPerPa = 0.5;   // firing rate growth above the rheobase
    double peakMv = 30.0;       // spike peak
    double spikeWidthMs = 0.8;  // full width of the spike shape
    double noiseSdMv = 0.3;
    std::uint64_t seed = 1;
};

struct SpikeTruth {
    int sweep = 1;
    int channel = 0;  // position among the recorded channels
    double peakS = 0.0;
};

class SpikeSynthesizer {
  public:
    explicit SpikeSynthesizer(const SpikeSynthSpec& spec);
    const std::vector<SpikeTruth>& spikes() const { return spikes_; }
    double stepLevelPa(int sweep) const;
    std::int64_t stepStartSample() const { return spec_.samplesPerSweep / 64; }
    // Values (mV) of samples [first, first + out.size()) of one sweep and channel.
    void fill(int sweep, int channel, std::int64_t first, std::span<float> out) const;

  private:
    SpikeSynthSpec spec_;
    std::vector<SpikeTruth> spikes_;
};

}  // namespace ephys
