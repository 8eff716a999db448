// The generator's output: one new Axon Text File (ATF 1.0) per run, named "SWG" + MMDDYY + a
// counter + ".ATF" in the data folder. Lines end in CR LF, as the acquisition software reads
// them. A file is written under a temporary name in the same folder and only then given its
// name, so a failed run leaves nothing half written and an existing file is never replaced.
#pragma once

#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "params/messages.h"
#include "params/output_file.h"
#include "params/progress.h"
#include "params/result.h"
#include "wavegen/waveform_parameters.h"

namespace ephys {

inline constexpr std::string_view kWaveNamesUsedUp = "already used up 99 file names";

// MMDDYY of a local date.
std::string waveDateText(const std::tm& local);

// "SWG" + date + counter ("00" .. "99", then "100", ...) + ".ATF".
std::string waveFileName(std::string_view date, int counter);

// The folder and the name joined; an empty folder is the current one.
std::string waveJoinPath(std::string_view directory, std::string_view name);

// The name search: from `counter` on, the first name not yet present in the folder. After
// every try that leaves the counter above 99 the error box says the names are used up, and the
// search goes on. Returns the counter of the free name.
int waveFindFreeCounter(std::string_view directory, std::string_view date, int counter,
                        MessageSink& messages);

// Lines 1 to 6: the ATF signature, the header counts, the title, the comment with the levels and
// frequencies in force, the step times and the column titles.
std::string waveAtfHeader(const WaveformParameters& p);

// A time in ms as printf's "%.3f" writes it (the "C" locale, whatever the user's).
void waveAppendTime(std::string& out, float timeMs);

// One sample line: the time in ms with three decimals, a tab, the value in the short
// four-digit form, CR LF.
void waveAppendSampleLine(std::string& out, float timeMs, float value);

// A file being written under a temporary name in its folder. Dropping it without publishing
// removes the temporary file. A failure is an Error with errno as its code and the system's reason
// as its text; the caller names the file.
class WaveOutputFile {
  public:
    WaveOutputFile() = default;
    WaveOutputFile(const WaveOutputFile&) = delete;
    WaveOutputFile& operator=(const WaveOutputFile&) = delete;

    // Creates the temporary file in `directory`.
    Result<void> create(std::string_view directory);

    // Writes the header and the sample lines, reporting "Writing output file <name>..." and the
    // percentage through the progress record; then flushes the file to the disk and closes it.
    Result<void> write(const WaveformParameters& p, std::span<const float> times,
                       std::span<const float> values, std::string_view shownName, ProgressRecord& progress);

    // Gives the written file the name of `counter` unless that name has been taken meanwhile, in
    // which case the search goes on from there. On success `counter` holds the counter used.
    Result<void> publish(std::string_view date, int& counter, MessageSink& messages);

  private:
    // The error for a system error number.
    Error failure(int code) const;

    std::string directory_;
    OutputFile file_;
};

}  // namespace ephys
