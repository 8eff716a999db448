// Internal to the recording module: decoding the stored header of an ABF1 or ABF2 file into
// AbfHeader, and bounded reads of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abf/abf_header.h"

namespace ephys::abf_detail {

// Reads exactly `size` bytes at `offset`; false on a read error or when the file ends first.
bool readFully(int fd, std::int64_t offset, void* buffer, std::size_t size);

// Fills `header` (reset beforehand) from the open file of `fileSize` bytes: every stored field,
// the synch entries and tags present in the file, actualAcqLength cut to the whole frames the file
// holds. Checks what every later operation relies on (mode, channels, sampling sequence, interval,
// data format, data section inside the file). Returns 0 or an error number.
int parseHeader(int fd, std::int64_t fileSize, AbfHeader& header);

}  // namespace ephys::abf_detail
