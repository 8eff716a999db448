#include "abf/abf_error.h"

#include <cstdio>

namespace ephys {

namespace {

const char* errorDescription(int error) {
    switch (error) {
        case kAbfOk:
            return "no error";
        case kAbfErrNotAbf:
            return "is not an ABF file";
        case kAbfErrNotOpen:
            return "is not open";
        case kAbfErrFileNotFound:
            return "was not found";
        case kAbfErrOpenFile:
            return "cannot be opened";
        case kAbfErrBadArgument:
            return "was asked with an invalid argument";
        case kAbfErrReadData:
            return "could not be read";
        case kAbfErrOutOfMemory:
            return "needs more memory than is available";
        case kAbfErrBadSynch:
            return "has a damaged synch array";
        case kAbfErrSweepRange:
            return "has no sweep of that number (sweep out of range)";
        case kAbfErrChannelNotSampled:
            return "did not sample that channel (channel not sampled)";
        case kAbfErrNoTags:
            return "has no tags";
        case kAbfErrReadTags:
            return "holds fewer tags than its header announces";
        case kAbfErrNoSynch:
            return "has variable-length sweeps but no synch array";
        case kAbfErrNoWaveform:
            return "has no epoch waveform on that DAC";
        case kAbfErrEpochNotFound:
            return "has no such epoch in that sweep (disabled or empty)";
        case kAbfErrBadHeader:
            return "has a damaged header";
        case kAbfErrTruncated:
            return "is truncated";
        case kAbfErrVersion:
            return "has an ABF version or number format that is not supported";
        case kAbfErrDataFormat:
            return "stores 32-bit float samples, not 16-bit samples";
        case kAbfErrNoData:
            return "holds no samples";
        case kAbfErrClose:
            return "could not be closed";
        case kAbfErrBadChannels:
            return "has an invalid channel count or sampling sequence";
        case kAbfErrBadInterval:
            return "has an invalid sample interval";
        case kAbfErrBadSweepLength:
            return "has an invalid number of samples per sweep";
        case kAbfErrBadMode:
            return "has an unknown operation mode";
        case kAbfErrBadScaling:
            return "has channel scaling that cannot be computed (ADC range, resolution or a gain is 0, not a "
                   "number or infinite)";
        case kAbfErrDacFile:
            return "takes that stimulus from a DAC file, which cannot be rebuilt";
        case kAbfErrWrite:
            return "could not be written";
        default:
            return nullptr;
    }
}

}  // namespace

namespace {

std::string recordingName(const std::string& fileName) {
    return fileName.empty() ? std::string("The recording") : "File '" + fileName + "'";
}

}  // namespace

std::string abfErrorText(int error, const std::string& fileName) {
    const char* what = errorDescription(error);
    if (what == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "Unknown error number: %d\r\n", error);
        return text;
    }
    return recordingName(fileName) + " " + what + ".";
}

std::string abfOpenFailureLine(int error, const std::string& fileName) {
    if (errorDescription(error) != nullptr && error != kAbfOk) return abfErrorText(error, fileName);
    return recordingName(fileName) + " cannot be opened (error number " + std::to_string(error) + ").";
}

Error abfError(int error, const std::string& fileName) {
    return Error{error, fileName, abfOpenFailureLine(error, fileName)};
}

}  // namespace ephys
