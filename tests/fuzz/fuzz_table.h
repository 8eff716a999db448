// A parameter record with one row of every kind, for the parameter-file and setting fuzzers.
#pragma once

#include <cstdint>
#include <string>

#include "params/param_table.h"

namespace ephys::fuzz {

struct SampleRecord {
    std::string comment = "control";
    std::string frames = "1..20";
    std::int32_t points = 100;
    std::int32_t unlimited = 7;
    float threshold = 2.5f;
    float gain = 1.0f;
    char polarity = 'N';
    char verbose = 'Y';
    std::int32_t plots = 1;

    bool operator==(const SampleRecord&) const = default;
};

// The rows point into `record`, which must outlive the table.
inline ParamTable sampleTable(SampleRecord& record) {
    ParamTable table;
    table.rows = {
        paramTextRow(record.comment, "Comment"),
        paramListRow(record.frames, "Frames", 1, 78),
        paramIntRow(record.points, "Points per sweep", 1, 100000),
        paramIntRow(record.unlimited, "Smoothing passes"),
        paramFloatRow(record.threshold, "Threshold (pA)", -1000, 1000),
        paramFloatRow(record.gain, "Gain"),
        paramChoiceRow(record.polarity, "PNB", "Polarity:Positive,Negative,Both"),
        paramYesNoRow(record.verbose, "Verbose "),
        paramBoolRow(record.plots, "Generate plots?", PF_PAGE_END),
    };
    table.pageSizes = {static_cast<int>(table.rows.size())};
    table.pageNames = {"Sample"};
    return table;
}

}  // namespace ephys::fuzz
