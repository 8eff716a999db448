// What a spike-counting run leaves behind: the text files U (raw spike times), B (absolute times
// of a gap-free recording), M (sweep times and tags), V (summary), K (frequencies and the F/I
// fits), L (rasters, one per channel), N (ratemeter parameters) and X (latencies, one per
// channel) beside the recording, named after it, with their headings and one row per sweep.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "params/messages.h"
#include "params/run_outputs.h"
#include "spike/spike_detector.h"
#include "spike/spike_params.h"
#include "spike/spike_text.h"

namespace ephys {

// ---- Names ----------------------------------------------------------------------------------

// The recording's path (or, with an output folder, the folder and the recording's file name)
// with its last three characters replaced by "prn": the base of every output name and of the
// "Ouput File: " result text.
std::string spikePrnPath(const std::string& recordingPath, const std::string& outputDir = {});

// The recording's path without its extension (cut four characters before the end): the name the
// headings and the F/I summary show.
std::string spikeRecordingName(const std::string& recordingPath);

// The name of one output file. New format: the letter and then the channel letter go just before
// the file name's last '.' (cell.prn, 'L', 'C' gives cellLC.prn). Old format: the letter
// overwrites the character at index length - 7 and the channel letter the one at length - 12;
// a position outside the file name (a name too short for the rule) is left alone. channelLetter
// 0: none.
std::string spikeOutputName(const std::string& prnPath, char letter, char channelLetter, bool newFormat);

// ---- Bursts and ratemeter -------------------------------------------------------------------

// Start of the last burst of a sweep: the latest run of `spikesPerBurst` spikes that spans at
// most `windowMs`, searched from the end; nothing when there is none.
std::optional<float> spikeLastBurstStart(std::span<const float> latencies, int spikesPerBurst,
                                         float windowMs);

struct SpikeTagInfo {
    double seconds = 0.0;  // from the start of the recording
    std::string comment;   // as stored, trailing blanks removed
};

// The ratemeter parameter file: total duration from the largest last-burst start (4000 ms when
// there is none), then the control group before the first tag and one group per tag.
// sweepStarts holds every sweep's start in seconds (index 0 = sweep 1). Without tags only the
// four heading lines are written; a group without a sweep after its start or end time is left
// out (and with the control group, whose length every group takes, all groups are).
std::string spikeRatemeterText(float minutesAfterTag, float minutesPerGroup,
                               std::span<const SpikeTagInfo> tags, std::span<const double> sweepStarts,
                               std::optional<float> largestBurstStart);

// ---- The output files of one recording ------------------------------------------------------

struct SpikeChannelInfo {
    int number = 0;    // acquisition (physical ADC) channel
    std::string name;  // from the header, trailing blanks removed
};

struct SpikeOutputPlan {
    std::string name;     // spikeRecordingName
    std::string prnPath;  // spikePrnPath
    std::vector<SpikeChannelInfo> channels;
    bool gapFree = false;
    double sampleIntervalUs = 0.0;
    std::vector<SpikeTagInfo> tags;
};

// One sweep as the outputs see it: per channel slot the spikes, and whether the sweep of that
// channel could be read (a channel that could not has no count fields in the row).
struct SpikeSweepRow {
    int sweep = 1;
    double startSeconds = 0.0;
    double stimulus = 0.0;
    std::span<const SpikeList> spikes;
    std::span<const char> read;
};

class SpikeOutputs {
  public:
    SpikeOutputs(const SpikeParams& params, SpikeOutputPlan plan);

    // Creates every output file the settings ask for, in the order U, B, M, V, K, L (per
    // channel), N, X (per channel). On a file that cannot be created: "Error! Could not open the
    // file %s" and false; nothing is left behind. With the run's `outputs`, a file whose name an
    // earlier output of the run (or of this recording) has taken is left out, with a message
    // naming both recordings, and the recording is marked failed.
    bool open(MessageSink& messages, RunOutputs* outputs = nullptr);

    // The first heading line of each file (the name), and then the rest of the headings.
    void writeTitles();
    void writeHeadings();

    void writeSweep(const SpikeSweepRow& row);

    // Completes the files in the closing order L, K (with `fiTable` appended when given), B, U,
    // M, V, X, and last N, each renamed into place, or with `outputs` held there until the run
    // publishes the recording's outputs together. False, with a message, when one could not be
    // written; the others are still completed.
    bool finish(const std::string* fiTable, MessageSink& messages, RunOutputs* outputs = nullptr);

    // Drops every file of the run (nothing is renamed into place).
    void discard();

    // Targets of the files that open() created, in opening order.
    const std::vector<std::string>& paths() const { return paths_; }

    std::optional<float> largestBurstStart() const { return largestBurst_; }

  private:
    bool optionOn(char c) const { return c == 'Y'; }
    void optionalHeadings(std::string& out) const;
    void optionalColumns(std::string& out, const SpikeSweepRow& row) const;
    int optionalCount() const;
    void flushAll();

    const SpikeParams& p_;
    SpikeOutputPlan plan_;
    SpikeTextFile u_, b_, m_, v_, k_, n_;
    std::vector<SpikeTextFile> l_, x_;
    std::vector<std::string> paths_;
    std::vector<double> sweepStarts_;
    std::optional<float> largestBurst_;
    std::vector<double> frequencies_;  // scratch
};

}  // namespace ephys
