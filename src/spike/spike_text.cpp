#include "spike/spike_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace ephys {

namespace {

void appendFormatList(std::string& out, const char* format, va_list args) {
    char small[256];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
    } else {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

}  // namespace

void appendFormat(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    appendFormatList(out, format, args);
    va_end(args);
}

std::string formatText(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    appendFormatList(out, format, args);
    va_end(args);
    return out;
}

}  // namespace ephys
