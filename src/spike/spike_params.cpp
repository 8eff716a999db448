#include "spike/spike_params.h"

namespace ephys {

void spikeBuildParamTable(SpikeParams& p, ParamTable& table, MessageSink& messages) {
    table.rows.clear();
    table.rowCapacity = kSpikeRowCapacity;
    table.pageCapacity = kSpikePageCapacity;
    auto& r = table.rows;

    // Main
    r.push_back(paramChoiceRow(p.detectionMethod, "TR", "Detection method:Threshold,RMS noise"));
    r.push_back(paramChoiceRow(p.polarity, "PN", "Spike Polarity:Positive,Negative"));
    r.push_back(paramIntRow(p.firstChannel, "First Channel (0-15)", 0, 15));
    r.push_back(paramIntRow(p.lastChannel, "Last Channel (0-15)", 0, 15));
    r.push_back(paramFloatRow(p.countingOnset, "Onset of spike counting (ms)", 0, 100000));
    r.push_back(paramFloatRow(p.maxSpikeDuration, "Max Spike Duration (ms)", 0, 50));
    r.push_back(paramIntRow(p.gapFreeFrameLength, "Gap Free Frame Length (samples)", 100, 100000));
    r.push_back(paramYesNoRow(p.exportAmplitudes, "Export Amplitudes", PF_PAGE_END));

    // Intracellular
    r.push_back(paramChoiceRow(p.stimulusEpoch, "ABCDEFN", "Stimulus Epoch for counting:A,B,C,D,E,F,None"));
    r.push_back(paramFloatRow(p.threshold, "Spike detection threshold (mV)", -60, 50));
    r.push_back(paramFloatRow(p.hysteresis, "Detection Hysteresis (mV)", -60, 50));
    r.push_back(paramYesNoRow(p.stimuliOutput, "Stimuli Output (pA)"));
    r.push_back(paramYesNoRow(p.episodeTimes, "Episode Times (s)"));
    r.push_back(paramYesNoRow(p.doFrequencies, "Do Frequencies"));
    r.push_back(paramIntRow(p.intervalToMeasure, "Interval to Measure"));
    r.push_back(paramYesNoRow(p.doRasters, "Do Rasters"));
    r.push_back(paramFloatRow(p.rasterOffset, "Vertical offset for Rasters", PF_PAGE_END));

    // Output
    r.push_back(paramYesNoRow(p.fiPlots, "Generate F/I Plots?"));
    r.push_back(paramYesNoRow(p.rawDataOutput, "Raw Data Output (U)"));
    r.push_back(paramYesNoRow(p.summaryOutput, "Summary Output (V)"));
    r.push_back(paramYesNoRow(p.channelOutputs, "Individual Channel Outputs (X)"));
    r.push_back(paramYesNoRow(p.tagfileOutput, "Tagfile Output (M)"));
    r.push_back(paramYesNoRow(p.ratemeterOutput, "Parameters for Ratemeter (N)"));
    r.push_back(paramFloatRow(p.minutesAfterTag, "Minutes After Tag in Group"));
    r.push_back(paramFloatRow(p.minutesPerGroup, "Minutes per group"));
    r.push_back(paramYesNoRow(p.newNameFormat, "New Output Name Format", PF_PAGE_END));

    // Extracellular
    r.push_back(paramFloatRow(p.descendingSlopeFactor, "Amount descending slope > noise"));
    r.push_back(paramFloatRow(p.ascendingSlopeFactor, "Amount ascending slope > noise"));
    r.push_back(paramYesNoRow(p.lastSpikeInSummary, "Last Spike in summary"));
    r.push_back(paramYesNoRow(p.lastBurstInSummary, "Last Burst in summary"));
    r.push_back(paramIntRow(p.spikesPerBurst, "# spikes/burst"));
    r.push_back(paramFloatRow(p.burstWindow, "Burst Window (ms)"));
    r.push_back(paramIntRow(p.firstNoiseSweep, "First Noise Sweep"));
    r.push_back(paramIntRow(p.lastNoiseSweep, "Last Noise Sweep"));
    r.push_back(paramYesNoRow(p.noisePretrigger, "Noise: Use Pretrigger Period"));
    r.push_back(paramFloatRow(p.noiseWindowStart, "Start of Noise Window (ms)"));

    paramTableFinish(table, {"Main", "Intracellular", "Output", "Extracellular"}, messages);
}

}  // namespace ephys
