// Settings given on a command line as "LABEL=VALUE": the batch programs' --set option.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_table.h"
#include "params/profile_file.h"

namespace ephys {

// Applies one "LABEL=VALUE" to the record behind the table. LABEL is a row's whole label or, for
// a choice row, its title before the ':', compared without regard to case. Yes/no and check-box
// rows take 1, 0, Y, N, yes or no (any case); a choice row takes one of its key letters (any
// case); numbers and lists are checked by the row's own rules, and a number must be the whole
// value (nothing empty, nothing after it: "1e", "1.5.5" and "--5" are refused). Returns false with the
// message in `error` (the "Parameter Error" text for a refused value) and leaves the record unchanged.
bool paramApplySetting(const ParamTable& table, std::string_view assignment, std::string& error);

// The settings of a batch run, applied in this order: the built-in defaults already in the
// record, the program's settings file ([Parameters], unless iniFile is empty), a parameter file,
// then each LABEL=VALUE in the order given.
struct BatchSettings {
    std::string iniFile;            // empty: start from the built-in defaults
    std::string paramsFile;         // empty: none
    std::vector<std::string> sets;  // "LABEL=VALUE"
};

struct BatchSettingsResult {
    enum class Outcome { Applied, UsageError, RefusedValue } outcome = Outcome::Applied;
    std::string message;     // for a usage error or a refused value
    ProfileFile paramsFile;  // the parameter file as read (empty without one)
};

// Applies batch settings to the record behind the table. A setting for which `take` returns
// true is left to the caller (psctrawl checks "Frames" per recording). Values from both files
// are checked by the rows' rules (paramLoadChecked). A settings file or parameter file that
// cannot be read, holds binary data or is far too large, and a parameter file without a
// [Parameters] section, are usage errors naming the file; a refused value, from a file or a
// setting, ends with its "Parameter Error" text.
BatchSettingsResult paramApplyBatchSettings(const ParamTable& table, const BatchSettings& settings,
                                            const std::function<bool(const std::string&)>& take = {});

}  // namespace ephys
