// swg's parameter record and its parameter table: twelve settings on a single page (the dialog
// shows no tabs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "params/messages.h"
#include "params/param_table.h"

namespace ephys {

inline constexpr std::size_t kWaveRowCapacity = 20;
inline constexpr std::size_t kWavePageCapacity = 1;

struct WaveformParameters {
    std::int32_t sampleInterval = 100;  // "Sample Interval (usec)"
    std::int32_t sampleCount = 2048;    // "Number of Samples" (used as unsigned)
    float stepOn = 10.0f;               // "Time on, current pulse (msec)"
    float stepOff = 110.0f;             // "Time off, current pulse (msec)"
    float pulseDuration = 2.0f;         // "Pulse duration (msec)"
    std::int32_t pulseCount = 5;        // "Number of Pulses" (used as unsigned)
    float dcStep = 0.0f;                // "DC current step (pA)"
    float amplitude = 500.0f;           // "PeakToPeak Amplitude (pA)"
    float noiseFilterHz = 3000.0f;      // "Noise Filter (Hz)"; 0 leaves the noise unfiltered
    float chirpStartHz = 100.0f;        // "Chirp Start Freq. (Hz)"; also sine and pulse rate
    float chirpEndHz = 200.0f;          // "Chirp End Freq. (Hz)"
    char waveform = 'P';                // "Waveform:Noise,Chirp,RevChirp,Sine,Pulse"
};

// Fills the table with the twelve rows in display order, all on one page named "Parameters".
void waveBuildParamTable(WaveformParameters& p, ParamTable& table, MessageSink& messages);

}  // namespace ephys
