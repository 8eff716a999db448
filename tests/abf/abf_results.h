// Test support: a recording module result taken apart into its value and its error number, for
// checks that look at both (a count of 0 and the number of the refusal, say).
#pragma once

#include <string>
#include <utility>

#include "abf/abf_error.h"
#include "params/result.h"

namespace ephys::abf_test {

// The value of `result`, or T{} on failure; `code` gets the error number (kAbfOk on success).
template <typename T>
T take(Result<T> result, int& code) {
    code = result ? kAbfOk : result.error().code;
    return result ? std::move(*result) : T{};
}

// The error's line of a result, empty on success.
template <typename T>
std::string errorText(const Result<T>& result) {
    return result ? std::string() : result.error().text();
}

// Whether a write succeeded; `reason` gets the error's line (empty on success).
inline bool take(const Result<void>& result, std::string& reason) {
    reason = result ? std::string() : result.error().text();
    return result.ok();
}

}  // namespace ephys::abf_test
