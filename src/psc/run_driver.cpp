#include "psc/run_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "abf/abf_error.h"
#include "abf/abf_file.h"
#include "params/number_list.h"
#include "psc/event_detection.h"
#include "psc/event_table.h"
#include "psc/frame_pipeline.h"
#include "psc/psc_outputs.h"
#include "psc/scan_file.h"
#include "psc/sweep_control.h"

namespace ephys {

namespace {

constexpr float kNoMaximum = -1e30f;
constexpr float kNoMinimum = 1e30f;
// Frames the autoscaling letters O and T look at.
constexpr int kScaleOneFrames = 1;
constexpr int kScaleTenFrames = 10;

// The percentage shown for the k-th of `count` frames (k from 0).
int framePercent(int k, int count) {
    return static_cast<int>(static_cast<float>(k) * 100.0f / static_cast<float>(count) + 0.9f);
}

std::string formatted(const char* format, int a) {
    char text[64];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

void widen(float& maximum, float& minimum, const std::vector<float>& values, int count) {
    const auto end =
        values.begin() + std::min<std::ptrdiff_t>(count, static_cast<std::ptrdiff_t>(values.size()));
    for (auto it = values.begin(); it != end; ++it) {
        maximum = std::max(maximum, *it);
        minimum = std::min(minimum, *it);
    }
}

// Reads the first `count` listed frames and widens the display limits of the current and its
// dI/dt to what their frames hold. A Cancel ends the pass early and is taken back.
void autoscalingPass(PscRun& run, const AbfHeader& header, const std::vector<std::int32_t>& frames, int count,
                     PscFrameBuffers& buffers) {
    PscParameters& p = run.params;
    ProgressRecord& progress = run.progress;
    p.autoscalingPass = 1;
    progress.line1 = "Autoscaling";
    progress.showCancel = 1;
    p.maxValues.fill(kNoMaximum);
    p.minValues.fill(kNoMinimum);
    int shown = -1;
    for (int k = 0; k < count; ++k) {
        const int frame = frames[static_cast<std::size_t>(k)];
        pscReadFrame(header, p, frame, buffers, run.reader);
        widen(p.maxValues[kCurrentTrace], p.minValues[kCurrentTrace], buffers.currentData, p.frameLength);
        widen(p.maxValues[kDidtTrace], p.minValues[kDidtTrace], buffers.didtData, p.frameLength);
        const int percent = framePercent(k, count);
        if (percent > shown) {
            shown = percent;
            progress.percent = percent;
            progress.line2 = formatted("Frame %3d", frame);
            progressUpdate(progress);
        }
        if (pscCancelled(progress)) {
            progress.pressedButton.store(0);
            break;
        }
    }
    p.autoScaling = 'S';
    p.autoscalingPass = 0;
}

// The model detectors take the mains hum out of each frame with the average of the fits of the
// last 5 s. The fits of the first 5 s of a continuous recording are made before its detection
// starts, so that its first frames are cleaned with an average too (and, where the hum is looked
// for, cleaned at all: the search needs several frames to tell hum from noise).
void seedHum(PscRun& run, const AbfHeader& header, const std::vector<std::int32_t>& frames,
             PscFrameBuffers& buffers) {
    PscParameters& p = run.params;
    p.humWork = PscHumWork{};
    if (p.detector == PscDetectorKind::Slope || p.humHz == 0.0f || p.framesAreEpisodes != 0 || frames.empty())
        return;
    const double frameSeconds = static_cast<double>(buffers.frameLength) * p.sampleInterval / 1000.0;
    const auto count = static_cast<std::size_t>(
        std::min<double>(static_cast<double>(frames.size()), std::ceil(kHumAveragedSeconds / frameSeconds)));
    for (std::size_t k = 0; k < count; ++k) {
        // Only the frames that follow the first one sample by sample.
        if (frames[k] != frames.front() + static_cast<std::int32_t>(k)) break;
        pscReadFrame(header, p, frames[k], buffers, run.reader);
        pscAddHumFit(pscHumSpecOf(p, buffers, frames[k]), buffers.hum, p.humWork);
    }
    // The detection's first frame continues from here.
    p.humWork.continuesAt = pscHumSpecOf(p, buffers, frames.front()).firstSample;
}

// Reads, shows and analyses every listed frame. Returns false when Cancel ended the pass.
bool detectionPass(PscRun& run, const AbfHeader& header, const std::vector<std::int32_t>& frames,
                   PscFrameBuffers& buffers, PscEventTable& table) {
    PscParameters& p = run.params;
    ProgressRecord& progress = run.progress;
    progress.line1 = "Detecting";
    progress.line2.clear();
    progress.hasExtraButtons = 1;
    progressLayoutButtons(progress);
    pscSweepControl(false, p, progress);
    progress.percent = 0;
    progressUpdate(progress);
    // The two single-step modes exclude each other; pausing after every frame wins.
    if (p.individualTraces == 'Y') p.individualEvents = 'N';
    if (run.detectionStarts) run.detectionStarts(p);

    const int count = static_cast<int>(frames.size());
    int shownPercent = 0;
    int shownEvents = table.count();
    bool cancelled = false;
    // With nothing drawn and no pausing (batch), the frames are read and filtered on a second
    // core while the detector works.
    std::optional<PscFramePipeline> pipeline;
    if (run.pipelineFrames && !run.drawFrame && run.display == nullptr && !progress.buttonEvent &&
        count > 1 && PscFramePipeline::slotsFor(buffers.bufferLength()) > 0)
        pipeline.emplace(header, p, frames, run.reader, buffers);
    for (int k = 0; k < count; ++k) {
        const int frame = frames[static_cast<std::size_t>(k)];
        PscFrameBuffers* frameBuffers = &buffers;
        if (pipeline) {
            frameBuffers = &pipeline->next();
        } else {
            pscReadFrame(header, p, frame, buffers, run.reader);
        }
        if (run.drawFrame) run.drawFrame(*frameBuffers, p);
        pscDetectFrame(p, table, *frameBuffers, frame, run.display, progress, run.messages);
        const int percent = framePercent(k, count);
        if (percent > shownPercent || table.count() != shownEvents) {
            shownPercent = percent;
            shownEvents = table.count();
            progress.percent = percent;
            progress.line2 = pscFrameEventLine(p, frame, table.count());
            progressUpdate(progress);
        }
        // A switch of the stepping mode shows at the next frame whatever the percentage.
        if (pscSweepControl(p.individualTraces == 'Y', p, progress) == 1) shownPercent = -1;
        if (pscCancelled(progress)) {
            cancelled = true;
            break;
        }
    }
    progress.hasExtraButtons = 0;
    progressLayoutButtons(progress);
    return !cancelled;
}

}  // namespace

void pscFitTimeParameters(PscParameters& p) {
    const float dt = p.sampleInterval;
    if (!(dt > 0.0f)) return;
    const float longestWindow = 200.0f * dt;
    if (p.diffWindow > longestWindow) p.diffWindow = longestWindow;
    for (float* t : {&p.averagePeakTime, &p.diffWindow, &p.peakSearchTime, &p.type3Baseline,
                     &p.durationOfTrigger, &p.deadTimeType1}) {
        if (*t < dt) *t = dt;
    }
}

int pscAutoscalingFrames(PscParameters& p, const AbfHeader& header, int listed) {
    if (p.autoScaling == 'F') {
        const float fullScale = static_cast<float>(header.adcResolution) * p.channelScale;
        p.maxValues[kCurrentTrace] = fullScale;
        p.maxValues[kDidtTrace] = fullScale;
        p.minValues[kCurrentTrace] = -fullScale;
        p.minValues[kDidtTrace] = -fullScale;
    }
    if (!(p.maxValues[kCurrentTrace] > p.minValues[kCurrentTrace]) ||
        !(p.maxValues[kDidtTrace] > p.minValues[kDidtTrace])) {
        p.autoScaling = 'T';
    }
    int frames = 0;
    switch (p.autoScaling) {
        case 'F':
        case 'S':
            return 0;
        case 'O':
            frames = kScaleOneFrames;
            break;
        case 'T':
            frames = kScaleTenFrames;
            break;
        default:
            frames = listed;
            break;
    }
    return std::clamp(frames, 0, std::max(0, listed));
}

PscFileResult pscDetectFile(PscRun& run, const std::string& fileName) {
    PscParameters& p = run.params;
    ProgressRecord& progress = run.progress;
    MessageSink& messages = run.messages;
    PscFileResult result;

    PscEventTable table;
    table.reserveFrames(p.frameCount);

    AbfHeader header;
    AbfFile file;
    int samplesPerSweep = p.frameLengthSetting;
    if (!pscOpenRecording(file, fileName, header, samplesPerSweep, "Error opening file", messages))
        return result;
    p.fileName = fileName;

    // Raw counts cannot be taken for currents: a channel without a usable scaling fails the
    // recording.
    if (const int scaling = pscSetupChannel(header, p); scaling != kAbfOk) {
        pscRecordingError(messages, "Error opening file", abfError(scaling, fileName));
        return result;
    }
    // A recording cut short is analysed as far as it goes, and the user is told so.
    if (file.isShort()) messages.show(MessageKind::Warning, "PSCTRAWL", file.shortRecordingText());
    p.traceCount = 2;
    if (p.frameLengthSetting < 1) p.frameLengthSetting = std::max(1, samplesPerSweep);
    p.frameLength = p.frameLengthSetting;
    p.bufferLength = p.frameLength + kFrameLead + kFrameTail;
    PscFrameBuffers buffers;
    buffers.resize(p.frameLength, static_cast<double>(p.sampleInterval));
    table.setCount(0);
    // The detector starts every recording afresh.
    static_cast<PscDetectorState&>(p) = PscDetectorState{};

    const std::vector<std::int32_t> frames =
        expandNumberList(p.frames, 1, p.frameCount).value_or(std::vector<std::int32_t>{});
    const int listed = static_cast<int>(frames.size());

    pscFitTimeParameters(p);
    if (run.startDisplay) run.startDisplay(p);
    const int scaleFrames = pscAutoscalingFrames(p, header, listed);

    progress.pressedButton.store(0);
    if (!file.close()) messages.show(MessageKind::PlainError, kPlainErrorCaption, "error closing file\n");
    // The recording opened again for the passes over its frames. The header was read a moment
    // ago; a failure here means the file has gone or turned unreadable since.
    AbfFile data;
    AbfHeader dataHeader;
    int dataPieceLength = 0;
    if (!pscOpenRecording(data, fileName, dataHeader, dataPieceLength, "Error opening file", messages))
        return result;
    run.reader.recording = &data;

    if (run.templateFromRecording && p.detector != PscDetectorKind::Slope) {
        p.templateRiseMs = run.templateFromRecording->riseMs;
        p.templateDecayMs = run.templateFromRecording->decayMs;
        const PscTemplateFromRecording fitted =
            pscTemplateFromRecording(header, p, frames, run.reader, progress);
        p.templateRiseMs = fitted.riseMs;
        p.templateDecayMs = fitted.decayMs;
        // Too few clear events is no failure of the recording: it is analysed with the given kinetics.
        messages.show(fitted.state == PscTemplateFromRecording::State::Fitted ? MessageKind::Information
                                                                              : MessageKind::Warning,
                      "PSCTRAWL", pscTemplateLine(fileName, fitted));
    }
    if (scaleFrames > 0) autoscalingPass(run, header, frames, scaleFrames, buffers);
    seedHum(run, header, frames, buffers);
    const bool completed = detectionPass(run, header, frames, buffers, table);
    run.reader.recording = nullptr;
    (void)data.close();  // read only: nothing of the run is lost when the system refuses
    // Events past the table's capacity are never dropped without a word.
    const std::string unstored = pscUnstoredEventsLine(fileName, table);
    if (!unstored.empty()) messages.show(MessageKind::Warning, "PSCTRAWL", unstored);

    result.status = 1;
    result.cancelled = !completed;
    if (completed) {
        run.outputs.startRecording(fileName);
        result.completionText =
            pscExportText(fileName, run.outputDir, table, p, progress, messages, &run.outputs);
        if (run.moreOutputs) run.moreOutputs(run, fileName, table);
        if (p.exportScan == 'Y')
            pscExportScan(fileName, run.outputDir, table, p, header, progress, messages, &run.outputs);
        // The recording's outputs appear together: a run killed while they are written leaves
        // the earlier ones of the same names as they were.
        run.outputs.publishRecording();
        result.outputsWritten = !run.outputs.recordingFailed();
        if (run.eventsDetected) run.eventsDetected(table, p);
    }
    if (!unstored.empty() && !result.completionText.empty()) result.completionText += "\n" + unstored;
    // What the model detectors took out of the current is said with the results.
    if (p.detector != PscDetectorKind::Slope && completed) {
        const std::string hum = pscHumLine(fileName, p.humWork, static_cast<std::int64_t>(frames.size()));
        if (!hum.empty()) result.completionText.append(result.completionText.empty() ? "" : "\n").append(hum);
    }
    return result;
}

std::vector<PscRecordingOutcome> pscRunRecordings(PscRun& run, ParamTable& table,
                                                  const std::vector<std::string>& files,
                                                  const std::optional<std::string>& frames) {
    PscParameters& p = run.params;
    ProgressRecord& progress = run.progress;
    MessageSink& messages = run.messages;
    std::vector<PscRecordingOutcome> outcomes;
    // A single recording whose header the file choice has read keeps that reading and its letter.
    const bool headerRead = files.size() == 1 && p.recordingInfoRead == 1;
    progress.showLine1 = 1;
    progress.showLine2 = 1;

    for (const std::string& fileName : files) {
        PscRecordingOutcome outcome;
        outcome.fileName = fileName;
        try {
            bool ready = true;
            if (!headerRead) {
                p.autoScaling = 'T';
                p.recordingInfoRead = 0;
                ready = GetInfo(p, fileName, messages);
            }
            if (ready) {
                pscSetFramesLimits(table, p.frameCount);
                if (frames) {
                    std::string list = *frames;
                    if (!paramCheckText(table, kPscFramesRow, list)) {
                        // The row's text, and the recording whose frames the list does not fit.
                        messages.show(MessageKind::ParameterError, kParameterErrorCaption,
                                      paramErrorText(table.rows[kPscFramesRow])
                                          .append("\nFile '")
                                          .append(fileName)
                                          .append("' has ")
                                          .append(std::to_string(p.frameCount))
                                          .append(" frames."));
                        outcomes.push_back(std::move(outcome));
                        continue;
                    }
                    p.frames = list;
                }
                progress.showCancel = 1;
                if (run.withButtonEvent) progress.buttonEvent = std::make_shared<AutoResetEvent>();
                const PscFileResult result = pscDetectFile(run, fileName);
                progress.buttonEvent.reset();
                ready = result.status != 0 && result.outputsWritten;
                if (ready) {
                    outcome.state = result.cancelled ? PscRecordingOutcome::State::Cancelled
                                                     : PscRecordingOutcome::State::Done;
                    outcome.completionText = result.completionText;
                }
            }
            if (!ready) messages.show(MessageKind::PlainError, kPlainErrorCaption, "Error in PscTrawl");
        } catch (const std::bad_alloc&) {
            progress.buttonEvent.reset();
            progress.hasExtraButtons = 0;
            p.autoscalingPass = 0;
            run.reader.recording = nullptr;
            messages.errorBox("Out of memory for " + fileName);
            outcome.state = PscRecordingOutcome::State::Failed;
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

}  // namespace ephys
