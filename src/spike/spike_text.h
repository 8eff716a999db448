// Text helpers of the spike detector's outputs: printf-style appending (always in the "C"
// number format the programs set at start-up) and an output file that is written under a
// temporary name and renamed into place only when it is complete.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "params/output_file.h"

namespace ephys {

// Appends the printf-formatted text to `out`.
void appendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The printf-formatted text.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One output file. create() makes a temporary file beside the target; the text is buffered and
// written as it grows; publish() flushes it to disk and renames it onto the target. A file that
// is discarded, or whose writing failed, leaves the target as it was.
using SpikeTextFile = OutputFile;

}  // namespace ephys
