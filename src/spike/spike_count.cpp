#include "spike/spike_count.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

#include "abf/abf_error.h"
#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "abf/abf_stimulus.h"
#include "spike/fi_fit.h"
#include "spike/fi_plots.h"
#include "spike/spike_detector.h"
#include "spike/spike_outputs.h"
#include "spike/spike_text.h"

namespace ephys {

namespace {

constexpr int kEpochsSearched = 8;  // epochs A .. H are searched for the counting onset
constexpr std::string_view kSpktalCaption = "SPKTAL";

// Stored 8-bit text up to its first NUL, trailing blanks removed; the bytes are kept as they are.
std::string storedText(const char* data, std::size_t size) {
    std::size_t end = 0;
    while (end < size && data[end] != '\0') ++end;
    while (end > 0 && data[end - 1] == ' ') --end;
    return std::string(data, end);
}

// The first sample index whose time is at least `ms`, 0 when none is.
int indexAtTime(std::span<const double> times, double ms) {
    for (std::size_t i = 0; i < times.size(); ++i)
        if (times[i] >= ms) return static_cast<int>(i);
    return 0;
}

std::string refusal(const char* label) {
    return std::string(label) + "\nmust be an integer between 1 and 2147483647!";
}

class SpikeRun {
  public:
    SpikeRun(const SpikeParams& params, const std::string& path, ProgressRecord& progress,
             MessageSink& messages, const SpikeRunOptions& options)
        : p_(params), path_(path), progress_(progress), messages_(messages), options_(options) {}

    bool run(SpikeFileResult& result);

  private:
    struct Slot {
        int channel = 0;
        float scale = 1.0f;
        float offset = 0.0f;
        int scalingError = kAbfOk;
        double slopeThreshold = 0.0;
        double completionSlope = 0.0;
    };

    void error(const std::string& text) { messages_.show(MessageKind::PlainError, kPlainErrorCaption, text); }
    // The plain error box of a recording that cannot be read: `heading`, then the error's line.
    void recordingError(std::string_view heading, const Error& reason) {
        error(std::string(heading).append("\n").append(reason.text()).append("\n"));
    }
    void console(const std::string& text) const {
        if (options_.console) {
            options_.console(text);
        } else {
            std::fputs(text.c_str(), stdout);
        }
    }
    void report(int sweep, std::string status) {
        progress_.percent = static_cast<int>(std::trunc(sweep * 100.0 / std::max(1, sweepCount_) + 0.9));
        progress_.line2 = std::move(status);
        progressUpdate(progress_);
    }

    bool open();
    void discoverChannels();
    // One channel of one sweep as 16-bit sample values in samples_; the number read, -1 on error.
    int readSweep(const Slot& slot, int sweep);
    void measureSlopeNoise();
    double slopeNoise(const Slot& slot, int firstSweep, int lastSweep);
    double stimulusLevel(int sweep);
    void countSweeps(SpikeOutputs& outputs);

    const SpikeParams& p_;
    const std::string& path_;
    ProgressRecord& progress_;
    MessageSink& messages_;
    const SpikeRunOptions& options_;

    AbfFile file_;
    AbfHeader header_;
    int samplesPerSweep_ = 0;
    int sweepCount_ = 0;
    std::vector<AbfTag> tags_;
    std::vector<double> times_;
    int onsetIndex_ = 0;
    int noiseOnsetIndex_ = 0;
    int noiseStartIndex_ = 0;
    int firstChannel_ = 0;
    int lastChannel_ = 0;
    std::vector<Slot> slots_;
    std::vector<std::int16_t> samples_;
    std::vector<float> values_;
    std::vector<float> stimulus_;
    FiSeriesSet fi_;
};

bool SpikeRun::open() {
    abfResetHeader(header_);
    samplesPerSweep_ = p_.gapFreeFrameLength;
    const Result<int> opened = file_.open(path_, header_, samplesPerSweep_);
    if (!opened) {
        sweepCount_ = 0;
        // The fixed message, and in the same box the file and the recording module's reason.
        recordingError("Error opening file", opened.error());
        return false;
    }
    sweepCount_ = *opened;
    // A recording cut short is counted as far as it goes; the tags behind its data went with the
    // rest, so those that are left are taken.
    const bool cutShort = file_.isShort();
    if (cutShort) messages_.show(MessageKind::Warning, kSpktalCaption, file_.shortRecordingText());
    const Result<std::vector<AbfTag>> tags = file_.readTags();
    if (!tags) {
        const int code = tags.error().code;
        if (code != kAbfErrNoTags && !(cutShort && code == kAbfErrReadTags)) {
            recordingError("Could not read tag array", tags.error());
            return false;
        }
    }
    tags_ = tags ? *tags : file_.header().tags;

    times_.assign(static_cast<std::size_t>(std::max(0, abfSamplesPerChannel(header_))), 0.0);
    abfSampleTimesMs(header_, times_);
    onsetIndex_ = indexAtTime(times_, p_.countingOnset);
    noiseOnsetIndex_ = p_.noisePretrigger == 'N' ? 0 : onsetIndex_;
    noiseStartIndex_ = indexAtTime(times_, p_.noiseWindowStart);

    if (header_.adcNumChannels == 1) {
        firstChannel_ = lastChannel_ = header_.adcSamplingSeq[0];
    } else {
        firstChannel_ = p_.firstChannel;
        lastChannel_ = p_.lastChannel;
    }

    try {
        samples_.reserve(static_cast<std::size_t>(std::max(0, samplesPerSweep_)) + 1);
        values_.reserve(header_.dataFormat == kAbfFloatData ? static_cast<std::size_t>(samplesPerSweep_) + 1
                                                            : 1);
    } catch (const std::bad_alloc&) {
        std::fputs("Could not allocate memory for sweeps\n", stdout);
        std::fflush(stdout);
        std::exit(1);
    }
    discoverChannels();
    // Counts without a scaling would be reported as millivolts: such a recording is refused.
    for (const Slot& slot : slots_) {
        if (slot.scalingError != kAbfOk) {
            recordingError("Error opening file", abfError(slot.scalingError, path_));
            return false;
        }
    }
    return true;
}

int SpikeRun::readSweep(const Slot& slot, int sweep) {
    if (header_.dataFormat == kAbfFloatData) {
        const Result<int> read = file_.readSweep(slot.channel, sweep, values_);
        if (!read) return -1;
        const int n = *read;
        samples_.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            samples_[static_cast<std::size_t>(i)] =
                spikeSampleFromValue(values_[static_cast<std::size_t>(i)], slot.scale, slot.offset);
        return n;
    }
    return file_.readSweep(slot.channel, sweep, samples_).valueOr(-1);
}

void SpikeRun::discoverChannels() {
    for (int channel = firstChannel_; channel <= lastChannel_; ++channel) {
        Slot slot;
        slot.channel = channel;
        if (readSweep(slot, 1) < 0) continue;
        slot.scalingError = abfChannelScaling(header_, channel, slot.scale, slot.offset);
        slots_.push_back(slot);
    }
}

double SpikeRun::slopeNoise(const Slot& slot, int firstSweep, int lastSweep) {
    double sum = 0.0;
    std::int64_t count = 0;
    for (int s = firstSweep; s <= lastSweep; ++s) {
        const int n = readSweep(slot, s);
        if (n < 0) {
            error(formatText("Error reading episode %d from channel %d\n", s, slot.channel));
            return -1.0;
        }
        const int end = noiseOnsetIndex_ != 0 ? noiseOnsetIndex_ : n;
        if (n < end) {
            error("Not enough samples to compute RMS norm\n");
            return -1.0;
        }
        const auto stop = static_cast<std::int64_t>(std::trunc(0.95 * end - 3));
        spikeAddSlopeSquares(std::span<const std::int16_t>(samples_.data(), static_cast<std::size_t>(n)),
                             noiseStartIndex_, stop, sum, count);
        report(s, formatText("Computing RMS for sweep %3d, Electrode %3d", s, slot.channel));
    }
    if (count == 0) {
        // A window that holds no slope (it starts after its end) cannot be measured either.
        error("Not enough samples to compute RMS norm\n");
        return -1.0;
    }
    const double rms = std::sqrt(sum / static_cast<double>(count));
    std::string line;
    appendFormat(line, "RMS is %.1f\n", rms * slot.scale);
    console(line);
    return rms;
}

void SpikeRun::measureSlopeNoise() {
    int first = std::min(p_.firstNoiseSweep, p_.lastNoiseSweep);
    int last = std::max(p_.firstNoiseSweep, p_.lastNoiseSweep);
    first = std::clamp(first, 1, std::max(1, sweepCount_));
    last = std::clamp(last, 1, std::max(1, sweepCount_));
    if (first != p_.firstNoiseSweep || last != p_.lastNoiseSweep) {
        std::string text;
        appendFormat(text,
                     "Noise sweeps %d to %d do not fit the recording's sweeps 1 to %d; the slope noise is "
                     "measured on sweeps %d to %d",
                     p_.firstNoiseSweep, p_.lastNoiseSweep, sweepCount_, first, last);
        messages_.show(MessageKind::Information, kSpikeDetectorCaption, text);
    }
    for (Slot& slot : slots_) {
        const double rms = slopeNoise(slot, first, last);
        slot.slopeThreshold = rms * static_cast<double>(p_.descendingSlopeFactor);
        slot.completionSlope = slot.slopeThreshold * static_cast<double>(p_.ascendingSlopeFactor) /
                               static_cast<double>(p_.descendingSlopeFactor);
        if (slot.slopeThreshold < 0.0) {
            const std::string name = storedText(
                header_.adcChannelName[static_cast<std::size_t>(slot.channel)].data(), kAbfChannelNameLength);
            std::string text;
            appendFormat(text, "error computing threshold for channel %d, name = %s\n", slot.channel,
                         name.c_str());
            error(text);
        }
    }
}

double SpikeRun::stimulusLevel(int sweep) {
    const int probe = slots_.empty() ? header_.adcSamplingSeq[0] : slots_.front().channel;
    const int countingDac = header_.stimulusChannelSwitch != 0 ? 1 : 0;
    int epoch = -1;
    int first = 0, last = 0;
    if (p_.stimulusEpoch >= 'A' && p_.stimulusEpoch <= 'F') {
        epoch = p_.stimulusEpoch - 'A';
    } else {
        for (int e = 0; e < kEpochsSearched; ++e) {
            if (abfEpochBounds(header_, probe, countingDac, sweep, e, first, last) == kAbfOk &&
                first < onsetIndex_ && last > onsetIndex_) {
                epoch = e;
                break;
            }
        }
    }
    // The level at the epoch's first sample on DAC 0; without an epoch, the holding level.
    int at = 0;
    if (epoch >= 0 && abfEpochBounds(header_, probe, 0, sweep, epoch, first, last) == kAbfOk) at = first;
    stimulus_.assign(static_cast<std::size_t>(at) + 1, 0.0f);
    abfStimulusWaveform(header_, 0, sweep, std::span<float>(stimulus_));
    return stimulus_[static_cast<std::size_t>(at)];
}

void SpikeRun::countSweeps(SpikeOutputs& outputs) {
    std::vector<SpikeList> spikes(slots_.size());
    std::vector<char> read(slots_.size(), 0);
    const int countingDac = header_.stimulusChannelSwitch != 0 ? 1 : 0;
    const int epoch = (p_.stimulusEpoch >= 'A' && p_.stimulusEpoch <= 'F') ? p_.stimulusEpoch - 'A' : -1;

    SpikeDetectorSettings settings;
    settings.method = p_.detectionMethod == 'R' ? SpikeMethod::RmsSlope : SpikeMethod::Threshold;
    settings.polarity = p_.polarity == 'N' ? -1 : 1;
    settings.threshold = p_.threshold;
    settings.hysteresis = p_.hysteresis;
    settings.maxDurationMs = p_.maxSpikeDuration;
    settings.onsetMs = p_.countingOnset;

    for (int sweep = 1; sweep <= sweepCount_; ++sweep) {
        const double startSeconds = file_.sweepStartMs(sweep).valueOr(0.0) / 1000.0;
        const double stimulus = stimulusLevel(sweep);

        for (std::size_t c = 0; c < slots_.size(); ++c) {
            const Slot& slot = slots_[c];
            spikes[c].clear();
            read[c] = 0;
            const int n = readSweep(slot, sweep);
            if (n < 0) {
                this->error(formatText("Error reading episode %d from channel %d\n", sweep, slot.channel));
                continue;
            }
            read[c] = 1;
            settings.scale = slot.scale;
            settings.offset = slot.offset;
            settings.slopeThreshold = slot.slopeThreshold;
            settings.completionSlope = slot.completionSlope;
            bool counting = true;
            settings.useEpoch = epoch >= 0;
            if (settings.useEpoch) {
                // An epoch that this sweep does not have: nothing is counted in it.
                counting = abfEpochBounds(header_, slot.channel, countingDac, sweep, epoch,
                                          settings.epochFirst, settings.epochLast) == kAbfOk;
            }
            if (counting)
                spikeDetectSweep(std::span<const std::int16_t>(samples_.data(), static_cast<std::size_t>(n)),
                                 times_, settings, spikes[c]);
            report(sweep, formatText("Episode %3d, Electrode %3d, Total Spikes %5d", sweep, slot.channel,
                                     spikes[c].count()));
        }

        if (p_.doFrequencies == 'Y')
            for (const SpikeList& list : spikes)
                fiAddSweep(fi_, stimulus, list.latencies, p_.intervalToMeasure);

        SpikeSweepRow row;
        row.sweep = sweep;
        row.startSeconds = startSeconds;
        row.stimulus = stimulus;
        row.spikes = spikes;
        row.read = read;
        outputs.writeSweep(row);
        if (options_.sweepCounted) options_.sweepCounted(row);
    }
}

bool SpikeRun::run(SpikeFileResult& result) {
    result = SpikeFileResult{};
    spikeStartProgress(progress_, path_);

    if (!open()) return false;
    result.sweeps = sweepCount_;
    for (const Slot& slot : slots_) result.channels.push_back(slot.channel);

    const std::string prnPath = spikePrnPath(path_, options_.outputDir);
    result.resultText = "Ouput File: " + prnPath;

    SpikeOutputPlan plan;
    plan.name = spikeRecordingName(path_);
    plan.prnPath = prnPath;
    for (const Slot& slot : slots_) {
        plan.channels.push_back(
            {slot.channel, storedText(header_.adcChannelName[static_cast<std::size_t>(slot.channel)].data(),
                                      kAbfChannelNameLength)});
    }
    plan.gapFree = header_.operationMode == kAbfGapFree;
    plan.sampleIntervalUs = header_.adcSequenceInterval;
    for (const AbfTag& tag : tags_)
        plan.tags.push_back(
            {abfTagSeconds(header_, tag), storedText(tag.comment.data(), tag.comment.size())});

    // No output name is written twice in a run, nor twice for one recording.
    RunOutputs ownOutputs;
    RunOutputs& runOutputs = options_.outputs != nullptr ? *options_.outputs : ownOutputs;
    runOutputs.startRecording(path_);
    SpikeOutputs outputs(p_, std::move(plan));
    if (!outputs.open(messages_, &runOutputs)) return false;
    outputs.writeTitles();
    if (p_.detectionMethod == 'R') measureSlopeNoise();
    outputs.writeHeadings();

    countSweeps(outputs);

    std::string table;
    if (p_.doFrequencies == 'Y') {
        std::array<FiFit, kFiSeriesCount> fits;
        for (int k = 0; k < kFiSeriesCount; ++k)
            fits[static_cast<std::size_t>(k)] = fiFitLine(fi_.series[static_cast<std::size_t>(k)]);
        table = fiTableText(fits);
        result.resultText = fiSummaryText(spikeRecordingName(path_), fits);
        if (p_.fiPlots == 'Y' && options_.showFiPlots) {
            FiPlot plot = fiBuildPlots(path_, fi_, fits);
            options_.showFiPlots(plot.record, path_);
        }
    }
    result.outputs = outputs.paths();
    // The recording's outputs appear together: a run killed while they are written leaves the
    // earlier ones of the same names as they were.
    const bool finished = outputs.finish(p_.doFrequencies == 'Y' ? &table : nullptr, messages_, &runOutputs);
    const bool written = runOutputs.publishRecording() && finished;

    if (!file_.close()) error("error closing file\n");
    result.ok = written && !runOutputs.recordingFailed();
    return result.ok;
}

}  // namespace

void spikeStartProgress(ProgressRecord& progress, const std::string& path) {
    progress.line1 = path.substr(fileNameStart(path));
    progress.line2.clear();
    progress.showLine1 = 1;
    progress.showLine2 = 1;
    progress.percent = 1;
    progressUpdate(progress);
}

std::optional<std::string> spikeCheckParams(const SpikeParams& params) {
    if (params.intervalToMeasure < 1) return refusal("Interval to Measure");
    if (params.spikesPerBurst < 1) return refusal("# spikes/burst");
    // The completion slope is the trigger slope scaled by ascending / descending: a descending
    // amount of 0 leaves no slope at which a spike could complete.
    if (params.descendingSlopeFactor == 0.0f)
        return std::string("Amount descending slope > noise\nmust be a number other than 0!");
    return std::nullopt;
}

bool spikeCountFile(const SpikeParams& params, const std::string& path, ProgressRecord& progress,
                    MessageSink& messages, SpikeFileResult& result, const SpikeRunOptions& options) {
    SpikeRun run(params, path, progress, messages, options);
    return run.run(result);
}

bool spikeCountSelection(
    const SpikeParams& params, std::span<const std::string> paths, ProgressRecord& progress,
    MessageSink& messages, const SpikeRunOptions& options,
    const std::function<void(const std::string& path, const std::string& text)>& onResult,
    bool statusOnCompletion, std::vector<SpikeFileResult>* results) {
    if (std::optional<std::string> refused = spikeCheckParams(params)) {
        messages.show(MessageKind::ParameterError, kParameterErrorCaption, *refused);
        return false;
    }
    // The outputs of every recording of the selection are kept apart.
    RunOutputs outputs;
    SpikeRunOptions runOptions = options;
    if (runOptions.outputs == nullptr) runOptions.outputs = &outputs;
    bool ok = false;
    for (const std::string& path : paths) {
        if (options.recordingStarts) options.recordingStarts(path);
        progress.boxOpen = 1;
        SpikeFileResult result;
        ok = spikeCountFile(params, path, progress, messages, result, runOptions);
        if (ok) {
            if (onResult) onResult(path, result.resultText);
            if (statusOnCompletion)
                messages.show(MessageKind::Information, kSpikeDetectorCaption, result.resultText);
            progress.boxOpen = 0;
            if (options.recordingEnds) options.recordingEnds();
        } else {
            progress.boxOpen = 0;
            if (options.recordingEnds) options.recordingEnds();
            messages.show(MessageKind::PlainError, kPlainErrorCaption, "Error in Spkcensus");
        }
        if (results != nullptr) results->push_back(std::move(result));
    }
    return ok;
}

}  // namespace ephys
