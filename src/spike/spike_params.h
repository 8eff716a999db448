// spktal's parameter record and its parameter table: 36 settings of a spike-counting run on the
// pages "Main", "Intracellular", "Output" and "Extracellular".
#pragma once

#include <cstddef>
#include <cstdint>

#include "params/messages.h"
#include "params/param_table.h"

namespace ephys {

inline constexpr std::size_t kSpikeRowCapacity = 58;
inline constexpr std::size_t kSpikePageCapacity = 6;

// Yes/no fields hold 'Y' or 'N'; choice fields the key letter of the chosen option.
struct SpikeParams {
    // Main
    char detectionMethod = 'T';               // "Detection method:Threshold,RMS noise"
    char polarity = 'P';                      // "Spike Polarity:Positive,Negative"
    std::int32_t firstChannel = 0;            // "First Channel (0-15)"
    std::int32_t lastChannel = 15;            // "Last Channel (0-15)"
    float countingOnset = 100.0f;             // "Onset of spike counting (ms)"
    float maxSpikeDuration = 1.0f;            // "Max Spike Duration (ms)"
    std::int32_t gapFreeFrameLength = 16384;  // "Gap Free Frame Length (samples)"
    char exportAmplitudes = 'N';              // "Export Amplitudes"

    // Intracellular
    char stimulusEpoch = 'N';            // "Stimulus Epoch for counting:A,B,C,D,E,F,None"
    float threshold = -25.0f;            // "Spike detection threshold (mV)"
    float hysteresis = -28.0f;           // "Detection Hysteresis (mV)"
    char stimuliOutput = 'N';            // "Stimuli Output (pA)"
    char episodeTimes = 'N';             // "Episode Times (s)"
    char doFrequencies = 'N';            // "Do Frequencies"
    std::int32_t intervalToMeasure = 5;  // "Interval to Measure"
    char doRasters = 'N';                // "Do Rasters"
    float rasterOffset = 1.0f;           // "Vertical offset for Rasters"

    // Output
    char fiPlots = '\0';           // "Generate F/I Plots?"; never set counts as off
    char rawDataOutput = 'N';      // "Raw Data Output (U)"
    char summaryOutput = 'Y';      // "Summary Output (V)"
    char channelOutputs = 'Y';     // "Individual Channel Outputs (X)"
    char tagfileOutput = 'N';      // "Tagfile Output (M)"
    char ratemeterOutput = 'N';    // "Parameters for Ratemeter (N)"
    float minutesAfterTag = 1.0f;  // "Minutes After Tag in Group"
    float minutesPerGroup = 3.0f;  // "Minutes per group"
    char newNameFormat = 'N';      // "New Output Name Format"

    // Extracellular
    float descendingSlopeFactor = 3.0f;  // "Amount descending slope > noise"
    float ascendingSlopeFactor = 3.0f;   // "Amount ascending slope > noise"
    char lastSpikeInSummary = 'N';       // "Last Spike in summary"
    char lastBurstInSummary = 'N';       // "Last Burst in summary"
    std::int32_t spikesPerBurst = 5;     // "# spikes/burst"
    float burstWindow = 50.0f;           // "Burst Window (ms)"
    std::int32_t firstNoiseSweep = 1;    // "First Noise Sweep"
    std::int32_t lastNoiseSweep = 10;    // "Last Noise Sweep"
    char noisePretrigger = 'Y';          // "Noise: Use Pretrigger Period"
    float noiseWindowStart = 0.0f;       // "Start of Noise Window (ms)"
};

// Fills the table with the 36 rows in display order and cuts it into its four pages.
void spikeBuildParamTable(SpikeParams& p, ParamTable& table, MessageSink& messages);

}  // namespace ephys
