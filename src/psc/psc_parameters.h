// The PSC detector's parameter record and its parameter table. The settings (PscSettings: the 58
// rows the tabbed dialog edits and the parameter files keep, and the batch-only event limit) are
// kept apart from the run state of the current recording, which has no row and is never saved:
// its layout (PscRecordingLayout), the detector's carried state (PscDetectorState) and the live
// display's transforms (PscDisplayState). PscParameters, the record a run works on, is all four.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "params/messages.h"
#include "params/param_table.h"
#include "psc/hum_removal.h"
#include "psc/model_detection.h"

namespace ephys {

// Trace slots of the display limits and the saved vertical transforms.
inline constexpr std::size_t kCurrentTrace = 0;
inline constexpr std::size_t kDidtTrace = 1;
inline constexpr std::size_t kMaxTraces = 16;

// Row capacity and page capacity of psctrawl's table (the table fills both).
inline constexpr std::size_t kPscRowCapacity = 58;
inline constexpr std::size_t kPscPageCapacity = 7;
// The "Frames" row, whose limits follow the opened recording.
inline constexpr std::size_t kPscFramesRow = 0;

// Yes/no fields hold 'Y' or 'N'; the zero character means "never set" (shown unticked, saved as
// unticked). Choice fields hold the key letter of the chosen option, or the zero character.
struct PscSettings {
    char autoScaling = 'T';       // "Automatic Vertical Scaling:All,One,Ten,Full,Same"
    char axes = 'N';              // "Axes"
    char individualTraces = 'Y';  // "Individual traces "

    float diffTrigger = 1.0f;               // "Diff. trigger ([+-]pa/ms)", signed
    float filterHz = 500.0f;                // "Filtering (Hz)"
    float negTransientThreshold = 0.0f;     // "Neg. trans. blank thresh. (pA/ms)"
    float triggerLevelPercent = 20.0f;      // "% trig. level to mark event start"
    std::int32_t calibrationPosition = 15;  // "Cal. pos. (1..25)"
    float diffWindow = 2.0f;                // "Differentiation window (ms)"

    char exportType1 = 'Y';    // "Export Type 1?"
    char exportType2 = 'Y';    // "Export Type 2?"
    char exportType3 = 'Y';    // "Export Type 3?"
    char exportScan = 'Y';     // "Export Scan"
    char exportAscii = 'Y';    // "Export ASCII"
    char exportSummary = 'Y';  // "Export Summary"
    char zeroLines = 'Y';      // "Zero Lines?"

    float averagePeakTime = 1.0f;            // "Average peak over X time (ms)"
    char enableSweepDisplay = 'Y';           // "Enable Sweep Display"
    float peakSearchTime = 3.0f;             // "Search for peak over X time (ms)"
    float type3Baseline = 2.0f;              // "Type III baseline (ms)"
    float durationOfTrigger = 2.0f;          // "Duration of trigger (ms)"
    float deadTimeType1 = 0.0f;              // "Dead time for type I (ms)"
    float decayComplete = 1.0f;              // "PSC decay complete (pA) "
    float type12Baseline = 10.0f;            // "Type I or II baseline (ms)"
    char individualEvents = 'Y';             // "Individual events"
    std::int32_t frameLengthSetting = 2048;  // "Frame length (samples)"
    std::int32_t exportBlocks = 4;           // "# of 256pt/blocks to export"
    float blankBefore = 0.0f;                // "Blank event Xms before trans."
    float blankAfter = 0.0f;                 // "Blank event Xms after trans."
    float estimatedTau = 40.0f;              // "Estimated Tau d,w (ms)"
    float minAmplitude = 0.1f;               // "Events must be larger than X pA"
    char liveStats = 'Y';                    // "Enable live stats"
    float triggerDelay = 500.0f;             // "Trigger delay (ms)"
    float triggerDuration = 0.0f;            // "Trigger duration (ms)"
    float ignorePeriod = 100.0f;             // "Period to Ignore (ms)"
    char overrideFrameLength = 'N';          // "Override Frame Length (~gap free)?"
    char outputEpisodeSummary = 'N';         // "Output Episode Summary?"
    char autoShiftBaseline = 'Y';            // "Auto Shift Baseline"
    float maxPscDuration = 0.0f;             // "Max. PSC duration (ms, else: type I)"
    float halfWidthCriterion = 0.0f;         // "Half width > (negative for <)"
    float spikeletInvertTime = 0.0f;         // "dI/dt invert time for spikelets (ms)"
    float preBumpInvertedAmplitude = 0.0f;   // "Pre-bump inverted amplitude"
    float postRejectWindow = 0.0f;           // "Post-rej when inverted within (ms)"
    float preRejectWindow = 0.0f;            // "Pre-rej when inverted within (ms)"

    // Limits of the "Frames" list: 1 and the recording's frame count once a recording is read.
    std::int32_t firstFrame = 78;
    std::int32_t lastFrame = 78;

    // Display limits per trace. Slot kCurrentTrace holds "Maximum Current (pA)" and
    // "Minimum Current (pA)", slot kDidtTrace "Maximum dI/dt (pA/ms)" and "Minimum dI/dt (pA/ms)";
    // the autoscaling pass widens every slot.
    std::array<float, kMaxTraces> maxValues{78.0f, 5.0f};
    std::array<float, kMaxTraces> minValues{0.0f, 0.0f};

    std::string frames;  // "Frames": list of frame numbers to analyse

    // Events one recording stores at most (the event table's 63999 rows); 0: no limit. Only the
    // batch command line changes it; it is no row of the parameter table.
    std::int32_t maxStoredEvents = 63999;

    // The detector that lists the events: the slope trigger, or a model detector with the event's
    // kinetics and its threshold (0: the detector's default). Run options beside the table: the
    // batch command line and the desktop program's own settings set them; no row holds them.
    PscDetectorKind detector = PscDetectorKind::Slope;
    float templateRiseMs = 0.5f;
    float templateDecayMs = 5.0f;
    float detectionThreshold = 0.0f;
    // Mains frequency whose hum the model detectors take out of each frame first: 0 none,
    // kPscHumSearch (the default) 50 or 60 Hz where found.
    float humHz = static_cast<float>(kPscHumSearch);

    char outputRaster = '\0';             // "Output raster file?"
    char rasterPeakTime = '\0';           // "Output raster of peak time rather than onset?"
    char outputRasterEpisodes = '\0';     // "Output Rasters w/ Epis?"
    float directExcitationIgnore = 0.0f;  // "Direct Exc. period to ignore (ms)"
    float floatFileGain = 0.0f;           // "Gain for float pt. abf files?" (kept, not used)
    char overwriteOutputs = '\0';         // "Over write output files"
    char invertedThresholdMode = '\0';    // "Threshold: Percent Pk,Detect percent,Abs."
    std::int32_t channelNumber = 0;       // "Channel number": position in the sampling sequence

    char firstCrossingHalfWidth = '\0';  // "Use First Crossing for HW ?"; anything but 'N' is yes
};

// The recording being analysed and its frames, as the header and the frame settings give them.
struct PscRecordingLayout {
    std::string fileName;                // the recording as the user chose it
    std::int32_t recordingInfoRead = 0;  // 1: the header of the single chosen file is already read
    std::int32_t framesAreEpisodes = 0;  // 1: the recording's episodes are the frames
    std::int32_t frameLength = 0;        // samples per frame in this run
    float frameDuration = 0.0f;          // ms, frameLength × sampleInterval
    std::int32_t bufferLength = 0;       // frameLength + 200 before + 2048 after
    float sampleInterval = 0.0f;         // ms between two samples of one channel
    std::int32_t frameCount = 0;
    std::string baseName;       // file name without folder and extension
    float channelScale = 1.0f;  // pA = raw × channelScale + channelOffset
    float channelOffset = 0.0f;
    std::int32_t floatData = 0;         // 1: samples are 32-bit floats, else 16-bit integers
    std::string channelUnits;           // unit text of the analysed channel
    std::string channelTitle;           // "name (units)", the current axis title
    std::string derivativeTitle;        // "name (units/ms)", the dI/dt axis title
    std::int64_t dataOffset = 0;        // byte offset of the first sample
    std::int32_t channelCount = 0;      // interleaved channels
    std::vector<std::int32_t> timeMap;  // acquisition position of every acquired sample
    std::int32_t timeMapLength = 0;     // samples acquired (all channels together)
};

// The detector's state, carried from frame to frame of one recording and started afresh for each.
struct PscDetectorState {
    std::int32_t detectorStarted = 0;  // 0 at the start of every run; set on the first frame
    std::int32_t autoscalingPass = 0;  // 1 while the autoscaling pass runs
    float carriedBaseline = 1e30f;     // 1e30: no baseline yet
    std::int32_t baselineValid = 1;    // set: the next event starts as type 1
    std::int32_t triggerState = 0;     // 0 idle, 1 beyond the level, 2 confirmed, 3 falling back
    PscModelWork modelWork;            // scratch of the model detectors, reused frame after frame
    PscHumWork humWork;                // the hum fits of the last frames (with humHz)
};

// The live display's traces and the vertical transform of each trace's panel, saved after its
// axis is drawn.
struct PscDisplayState {
    std::int32_t traceCount = 2;  // current and dI/dt
    std::array<float, 2> traceScaleY{};
    std::array<float, 2> traceOffsetY{};
};

// What a run works on: the settings and the run state of the current recording.
struct PscParameters : PscSettings, PscRecordingLayout, PscDetectorState, PscDisplayState {};

// Fills the table with the 58 rows in display order on the pages "Input", "Detect", "Reject",
// "Inverted events", "Sweep Mode", "Output" and "Scaling". The "Frames" row takes its limits
// from the record's first and last frame.
void pscBuildParamTable(PscSettings& p, ParamTable& table, MessageSink& messages);

// A recording of frameCount frames was read: "Frames" then accepts 1 .. frameCount.
void pscSetFramesLimits(ParamTable& table, int frameCount);

}  // namespace ephys
