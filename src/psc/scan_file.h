// The scan file of a recording: raw 512-byte blocks for event-browsing programs. One header block
// of "KEY value\" items, then per event one record block (type, number, time and measurements as
// little-endian float32) followed by its trace, "# of 256pt/blocks to export" blocks of 256
// signed 16-bit samples of the analysed channel with a tenth of the trace before the event.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "abf/abf_header.h"
#include "params/messages.h"
#include "params/progress.h"
#include "params/run_outputs.h"
#include "psc/event_table.h"
#include "psc/psc_parameters.h"

namespace ephys {

inline constexpr std::size_t kScanBlockSize = 512;
inline constexpr std::size_t kScanBlockSamples = 256;
// The ADC unit that float recordings are brought to in the scan file (pA per unit).
inline constexpr float kScanFloatScale = 0.0189198f;

inline constexpr std::string_view kScanOpenError = "Couldn't open Scan output file";
inline constexpr std::string_view kScanWriteError = "Error writing scan file";

using ScanBlock = std::array<std::uint8_t, kScanBlockSize>;

// The units text of a channel title: what stands between "(" and ")" ("IN 0 (pA)" gives "pA"),
// or the whole title when it has no "(" with something after it.
std::string pscScanUnits(std::string_view channelTitle);

// The header block: DT (sample interval, ms), BC (scale, pA per ADC unit), GC 10, IZC (the ADC's
// full-scale count), AD (the ADC range, V), PT 10, TL 10, TU ms, CU (units), NC 1, NRQ 1, NF (event
// count), NBF 0, NBA 1, NBD (blocks per event), IFC 9, "ID= "; zero bytes after the last item.
// A number is written as the key, a blank, the value with 5 significant digits ("%.5g")
// left-aligned in 12 characters and a backslash; a text as the key, the text and a backslash.
ScanBlock pscScanHeader(float sampleIntervalMs, float adcRange, float scale, std::string_view units,
                        int blocksPerEvent, int eventCount, std::int32_t fullScaleCount);

// The scan file of a recording (the caller asks "Export Scan"), named by pscOutputPaths' scan
// path in the output folder (the recording's own folder when outputDir is empty): the save-name
// check with "Scan Files" (ask unless "Over write output files" is Y), the header, then each
// event's record and trace read from the recording. Float recordings get channelScale 0.0189198
// first (kept in `p`) and their samples are stored as their value in pA (the stored value times
// the channelScale they had: 1000 for nA) / channelScale, truncated toward zero (clamped to 16
// bits). Positions outside the recording's data take its first or last sample. A
// Cancel through the progress record ends the file after the current event.
//
// Returns true when a scan file was written. A refusal writes nothing; a recording that cannot be
// opened again shows "Error opening file" (caption "Error"); a file that cannot be made shows
// "Couldn't open Scan output file" in the error box; a write that fails shows "Error writing scan
// file" and leaves no file. With the run's `outputs`, a scan path an earlier output of the run has
// taken is not written, and every failure marks the recording failed.
bool pscExportScan(const std::string& recordingName, const std::string& outputDir, const PscEventTable& table,
                   PscParameters& p, const AbfHeader& header, ProgressRecord& progress, MessageSink& messages,
                   RunOutputs* outputs = nullptr);

}  // namespace ephys
