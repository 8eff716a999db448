#include "wavegen/waveform_parameters.h"

namespace ephys {

void waveBuildParamTable(WaveformParameters& p, ParamTable& table, MessageSink& messages) {
    table.rows.clear();
    table.rowCapacity = kWaveRowCapacity;
    table.pageCapacity = kWavePageCapacity;
    auto& r = table.rows;

    r.push_back(paramIntRow(p.sampleInterval, "Sample Interval (usec)", 10, 1000000));
    r.push_back(paramIntRow(p.sampleCount, "Number of Samples", 10, 10000000));
    r.push_back(paramFloatRow(p.stepOn, "Time on, current pulse (msec)", 0, 100000));
    r.push_back(paramFloatRow(p.stepOff, "Time off, current pulse (msec)", 1, 100000));
    r.push_back(paramFloatRow(p.pulseDuration, "Pulse duration (msec)", 0.01, 100000));
    r.push_back(paramIntRow(p.pulseCount, "Number of Pulses", 1, 100000));
    r.push_back(paramFloatRow(p.dcStep, "DC current step (pA)", -100000, 100000));
    r.push_back(paramFloatRow(p.amplitude, "PeakToPeak Amplitude (pA)", 0, 100000));
    r.push_back(paramFloatRow(p.noiseFilterHz, "Noise Filter (Hz)", 0, 100000));
    r.push_back(paramFloatRow(p.chirpStartHz, "Chirp Start Freq. (Hz)", 0.01, 500));
    r.push_back(paramFloatRow(p.chirpEndHz, "Chirp End Freq. (Hz)", 0.01, 500));
    r.push_back(paramChoiceRow(p.waveform, "NCRSP", "Waveform:Noise,Chirp,RevChirp,Sine,Pulse"));

    paramTableFinish(table, {"Parameters"}, messages);
}

}  // namespace ephys
