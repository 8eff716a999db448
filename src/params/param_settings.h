// Settings given on a command line as "LABEL=VALUE": the batch programs' --set option.
#pragma once

#include <string>
#include <string_view>

#include "params/param_table.h"

namespace ephys {

// Applies one "LABEL=VALUE" to the record behind the table. LABEL is a row's whole label or, for
// a choice row, its title before the ':', compared without regard to case. Yes/no and check-box
// rows take 1, 0, Y, N, yes or no (any case); a choice row takes one of its key letters (any
// case); numbers and lists are checked by the row's own rules. Returns false with the message in
// `error` (the "Parameter Error" text for a refused value) and leaves the record unchanged.
bool paramApplySetting(const ParamTable& table, std::string_view assignment, std::string& error);

}  // namespace ephys
