#include "psc/psc_parameters.h"

namespace ephys {

void pscBuildParamTable(PscSettings& p, ParamTable& table, MessageSink& messages) {
    table.rows.clear();
    table.rowCapacity = kPscRowCapacity;
    table.pageCapacity = kPscPageCapacity;
    auto& r = table.rows;
    r.reserve(kPscRowCapacity);

    // Input
    r.push_back(paramListRow(p.frames, "Frames", p.firstFrame, p.lastFrame));
    r.push_back(paramIntRow(p.channelNumber, "Channel number", 0, 15));
    r.push_back(paramYesNoRow(p.axes, "Axes"));
    r.push_back(paramIntRow(p.calibrationPosition, "Cal. pos. (1..25)", 0, 25));
    r.push_back(paramYesNoRow(p.enableSweepDisplay, "Enable Sweep Display"));
    r.push_back(paramYesNoRow(p.individualTraces, "Individual traces "));
    r.push_back(paramYesNoRow(p.individualEvents, "Individual events"));
    r.push_back(paramYesNoRow(p.liveStats, "Enable live stats"));
    r.push_back(paramYesNoRow(p.zeroLines, "Zero Lines?"));
    r.push_back(paramIntRow(p.frameLengthSetting, "Frame length (samples)", 64, 30000));
    r.push_back(paramFloatRow(p.filterHz, "Filtering (Hz)", 0, 10000, PF_PAGE_END));

    // Detect
    r.push_back(paramFloatRow(p.diffWindow, "Differentiation window (ms)", 0.01, 200));
    r.push_back(paramFloatRow(p.diffTrigger, "Diff. trigger ([+-]pa/ms)", -100, 100));
    r.push_back(paramFloatRow(p.durationOfTrigger, "Duration of trigger (ms)", 0.01, 100));
    r.push_back(paramFloatRow(p.triggerLevelPercent, "% trig. level to mark event start", 0.1, 99.9));
    r.push_back(paramFloatRow(p.peakSearchTime, "Search for peak over X time (ms)", 0.001, 500));
    r.push_back(paramFloatRow(p.averagePeakTime, "Average peak over X time (ms)", 0.001, 100));
    r.push_back(paramFloatRow(p.maxPscDuration, "Max. PSC duration (ms, else: type I)", 0, 2000));
    r.push_back(paramFloatRow(p.decayComplete, "PSC decay complete (pA) ", 0.01, 1000));
    r.push_back(paramFloatRow(p.deadTimeType1, "Dead time for type I (ms)", 0, 2000));
    r.push_back(paramYesNoRow(p.firstCrossingHalfWidth, "Use First Crossing for HW ?", PF_PAGE_END));

    // Reject
    r.push_back(paramFloatRow(p.type12Baseline, "Type I or II baseline (ms)", 0.001, 20));
    r.push_back(paramFloatRow(p.type3Baseline, "Type III baseline (ms)", 0.001, 20));
    r.push_back(paramFloatRow(p.minAmplitude, "Events must be larger than X pA", 0, 200));
    r.push_back(paramFloatRow(p.halfWidthCriterion, "Half width > (negative for <)", -200, 200, PF_PAGE_END));

    // Inverted events
    r.push_back(paramFloatRow(p.spikeletInvertTime, "dI/dt invert time for spikelets (ms)", 0, 200));
    r.push_back(paramFloatRow(p.preBumpInvertedAmplitude, "Pre-bump inverted amplitude", 0, 2000));
    r.push_back(paramChoiceRow(p.invertedThresholdMode, "PDA", "Threshold: Percent Pk,Detect percent,Abs."));
    r.push_back(paramFloatRow(p.postRejectWindow, "Post-rej when inverted within (ms)", 0, 2000));
    r.push_back(paramFloatRow(p.preRejectWindow, "Pre-rej when inverted within (ms)", 0, 2000));
    r.push_back(paramFloatRow(p.negTransientThreshold, "Neg. trans. blank thresh. (pA/ms)", 0, 1000));
    r.push_back(paramFloatRow(p.blankBefore, "Blank event Xms before trans.", 0, 500));
    r.push_back(paramFloatRow(p.blankAfter, "Blank event Xms after trans.", 0, 500, PF_PAGE_END));

    // Sweep Mode
    r.push_back(paramYesNoRow(p.overrideFrameLength, "Override Frame Length (~gap free)?"));
    r.push_back(paramYesNoRow(p.outputEpisodeSummary, "Output Episode Summary?"));
    r.push_back(paramYesNoRow(p.outputRaster, "Output raster file?"));
    r.push_back(paramYesNoRow(p.rasterPeakTime, "Output raster of peak time rather than onset?"));
    r.push_back(paramYesNoRow(p.outputRasterEpisodes, "Output Rasters w/ Epis?"));
    r.push_back(paramFloatRow(p.estimatedTau, "Estimated Tau d,w (ms)", 0, 20000));
    r.push_back(paramFloatRow(p.ignorePeriod, "Period to Ignore (ms)", 0, 20000));
    r.push_back(paramFloatRow(p.triggerDelay, "Trigger delay (ms)", 0, 20000));
    r.push_back(paramFloatRow(p.directExcitationIgnore, "Direct Exc. period to ignore (ms)", 0, 20000));
    r.push_back(paramFloatRow(p.triggerDuration, "Trigger duration (ms)", 0, 20000, PF_PAGE_END));

    // Output
    r.push_back(paramFloatRow(p.floatFileGain, "Gain for float pt. abf files?"));
    r.push_back(paramIntRow(p.exportBlocks, "# of 256pt/blocks to export", 1, 100));
    r.push_back(paramYesNoRow(p.exportType1, "Export Type 1?"));
    r.push_back(paramYesNoRow(p.exportType2, "Export Type 2?"));
    r.push_back(paramYesNoRow(p.exportType3, "Export Type 3?"));
    r.push_back(paramYesNoRow(p.exportScan, "Export Scan"));
    r.push_back(paramYesNoRow(p.exportAscii, "Export ASCII"));
    r.push_back(paramYesNoRow(p.exportSummary, "Export Summary"));
    r.push_back(paramYesNoRow(p.overwriteOutputs, "Over write output files"));
    r.push_back(paramYesNoRow(p.autoShiftBaseline, "Auto Shift Baseline", PF_PAGE_END));

    // Scaling
    r.push_back(paramChoiceRow(p.autoScaling, "AOTFS", "Automatic Vertical Scaling:All,One,Ten,Full,Same"));
    r.push_back(paramFloatRow(p.maxValues[kCurrentTrace], "Maximum Current (pA)"));
    r.push_back(paramFloatRow(p.minValues[kCurrentTrace], "Minimum Current (pA)"));
    r.push_back(paramFloatRow(p.maxValues[kDidtTrace], "Maximum dI/dt (pA/ms)"));
    r.push_back(paramFloatRow(p.minValues[kDidtTrace], "Minimum dI/dt (pA/ms)"));

    paramTableFinish(
        table, {"Input", "Detect", "Reject", "Inverted events", "Sweep Mode", "Output", "Scaling"}, messages);
}

void pscSetFramesLimits(ParamTable& table, int frameCount) {
    ParamRow& row = table.rows.at(kPscFramesRow);
    row.minValue = 1;
    row.maxValue = frameCount;
}

}  // namespace ephys
