// The result files of the PSC detector for one recording: the episode summary, the two raster
// files, the statistical summary and the event table (tab-separated text with LF line ends), and
// the completion text shown after the recording. The scan file is in scan_file.h.
//
// Every output is written under a temporary name in its own folder and given its name only when
// it is complete, so an output either is whole or is not there; a failed or refused output leaves
// an older file of the same name untouched.
#pragma once

#include <string>
#include <string_view>

#include "params/messages.h"
#include "params/progress.h"
#include "params/run_outputs.h"
#include "psc/event_table.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr std::string_view kPscTextFilesDescription = "Text Files";
inline constexpr std::string_view kPscScanFilesDescription = "Scan Files";

// Where the outputs of one recording go and under which names.
//
// The event table's name is the recording's file name with everything from its last "." replaced
// by ".PRN" (".PRN" appended when the name has no "."). The episode summary, raster, raster with
// episodes and statistical summary take the event table's name with its seventh-last character
// (the third-last before ".PRN") replaced by Z, W, R and S; a name shorter than seven characters
// gets the letter in front instead, so that no derived name can fall on the event table's own.
// The names here are as derived, before the opener upper-cases them: each text output's first
// line is its name in this form.
struct PscOutputPaths {
    std::string directory;  // output folder; empty: the current directory
    std::string eventTableName;
    std::string episodeSummaryName;
    std::string rasterName;
    std::string rasterEpisodesName;
    std::string statisticsName;
    std::string scanPath;  // the folder joined with the recording's name, extension replaced by "d.sca"
};

// The folder is outputDir when it is not empty, else the recording's own folder (empty for a
// bare name: the current directory).
PscOutputPaths pscOutputPaths(std::string_view recordingName, std::string_view outputDir);

// The event-table name with its seventh-last character replaced by `letter`.
std::string pscDerivedName(std::string_view eventTableName, char letter);

// The path a text output is written to: the folder, a '/' when the folder does not end in one, and
// the name; the file-name part (after the last '/') upper-cased, the folders as they are; ".prn"
// appended when the path is longer than four characters and does not end in ".PRN".
std::string pscTextOutputPath(std::string_view directory, std::string_view name);

// The save-name check. Without `ask` it passes at once; with `ask` it passes without a question
// when no file of that path can be opened for reading, and otherwise asks through
// MessageSink::confirmSaveName (description and the text after the path's last "."), which may
// change the path. False: skip the output. `replaces`, when given, is set to whether the output
// may replace a file of its name: without `ask`, or when the question was answered yes; an
// output that passed because its name was free must find it free still when it is published.
bool pscSaveNameCheck(std::string& path, std::string_view description, bool ask, MessageSink& messages,
                      bool* replaces = nullptr);

// An output file being written under a temporary name in the folder of its final path. Dropping it
// without publish() removes the temporary file.
using PscOutputFile = OutputFile;

// The text-output opener: builds the path with pscTextOutputPath, runs the save-name check with
// "Text Files" (ask unless `overwrite` is 'Y'), creates the file and writes the name as passed in
// followed by a newline. A refusal returns false quietly; a file that cannot be created shows
// "Couldn't open the output file: <path>.   Is it open in another application?" captioned "Error"
// and returns false.
//
// With the run's `outputs`, a path that an earlier output of the run has taken is not written (the
// message names both recordings), and a file that cannot be created marks the recording failed.
bool pscOpenTextOutput(PscOutputFile& file, std::string_view directory, std::string_view name, char overwrite,
                       MessageSink& messages, RunOutputs* outputs = nullptr);

// Gives a written text output its name; when that fails the output is gone, a plain error box
// says "Couldn't write the output file: <path>." and the recording is marked failed in `outputs`.
// False then.
bool pscCloseTextOutput(PscOutputFile& file, MessageSink& messages, RunOutputs* outputs = nullptr);

// The text outputs of one recording, in this order and each when its switches say so: for
// episodic recordings the episode pass (episode summary with "Output Episode Summary?", then the
// raster file and the raster with episodes), the statistical summary ("Export Summary") and the
// event table ("Export ASCII"). The episode pass fills table.eventFrame and table.eventWindow for
// every episodic recording, written or not. When the episode summary or a raster file is refused
// or cannot be made, nothing else is written. A Cancel through the progress record ends the event
// table after the current row; the rows written so far are kept.
//
// Returns the completion text: the recording name followed by the statistical summary's groups;
// only the name when the summary file could not be made; empty when the summary was not run.
// Outputs that were not written are marked in `outputs` when given.
std::string pscExportText(const std::string& recordingName, const std::string& outputDir,
                          PscEventTable& table, PscParameters& p, ProgressRecord& progress,
                          MessageSink& messages, RunOutputs* outputs = nullptr);

}  // namespace ephys
