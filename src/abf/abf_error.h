// Error numbers of the recording module and their texts. Numbers follow the vendor library's
// range; 1016 ("no tags") is the number the detectors accept from a tag read.
#pragma once

#include <string>

#include "params/result.h"

namespace ephys {

enum AbfError : int {
    kAbfOk = 0,
    kAbfErrNotAbf = 1001,   // signature is neither "ABF " nor "ABF2"
    kAbfErrNotOpen = 1002,  // operation on a handle without an open recording
    kAbfErrFileNotFound = 1003,
    kAbfErrOpenFile = 1004,  // exists but cannot be opened or sized
    kAbfErrBadArgument = 1005,
    kAbfErrReadData = 1006,  // the system refused a read of the file
    kAbfErrOutOfMemory = 1008,
    kAbfErrBadSynch = 1010,  // synch array unusable for variable-length sweeps
    kAbfErrSweepRange = 1011,
    kAbfErrChannelNotSampled = 1012,
    kAbfErrNoTags = 1016,
    kAbfErrReadTags = 1017,       // fewer tags in the file than the header announces
    kAbfErrNoSynch = 1018,        // variable-length sweeps without a synch array
    kAbfErrNoWaveform = 1020,     // the DAC has no epoch waveform
    kAbfErrEpochNotFound = 1021,  // epoch disabled, of no length in this sweep, or past the sweep
    kAbfErrBadHeader = 1044,      // a header value that no recording can have
    kAbfErrTruncated = 1045,      // the file ends inside its header or a section it needs
    kAbfErrVersion = 1046,        // an ABF version or float format this reader does not know
    kAbfErrDataFormat = 1047,     // 16-bit samples asked of a float recording
    kAbfErrNoData = 1048,         // the data section holds no complete frame
    kAbfErrClose = 1049,
    kAbfErrBadChannels = 1050,     // channel count not 1..16 or a bad sampling sequence
    kAbfErrBadInterval = 1051,     // sample interval 0, negative or not a number
    kAbfErrBadSweepLength = 1052,  // samples per sweep not a positive multiple of the channels
    kAbfErrBadMode = 1053,         // unknown operation mode
    kAbfErrBadScaling = 1054,      // a gain, range or resolution of 0, not a number or infinite
    kAbfErrDacFile = 1055,         // stimulus replayed from a DAC file, not rebuilt here
    kAbfErrWrite = 1056,           // a recording could not be written (the reason says why)
};

// Readable text for an error number; "Unknown error number: %d\r\n" for a number not listed above.
std::string abfErrorText(int error, const std::string& fileName);

// The line a program adds to its own text when a recording cannot be opened: the file and the
// reason, on one line without a line end ("File 'x.abf' was not found."). Unlike abfErrorText it
// names the file for an unknown error number too.
std::string abfOpenFailureLine(int error, const std::string& fileName);

// The Error of the recording module for an error number: the number, the file and
// abfOpenFailureLine as the reason.
Error abfError(int error, const std::string& fileName);

}  // namespace ephys
