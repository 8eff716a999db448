// What every program's command line has in common: its exit statuses, the line that refuses bad
// usage, and numbers read and written the C way.
#pragma once

#include <clocale>
#include <cstdio>
#include <string_view>

namespace ephys {

// Exit statuses: all done; a recording (or output) failed; bad usage or a refused parameter value.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// "program: text" on standard error.
inline void printUsageError(std::string_view program, std::string_view text) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(program.size()), program.data(),
                 static_cast<int>(text.size()), text.data());
}

// Numbers are read and written the C way whatever the user's locale. Call it once the application
// object exists: Qt's application object sets the user's locale when it is made.
inline void useCNumbers() {
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace ephys
