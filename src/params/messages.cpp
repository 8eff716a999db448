#include "params/messages.h"

#include <cstdio>

namespace ephys {

void StderrMessageSink::show(MessageKind, std::string_view caption, std::string_view text) {
    // Multi-line texts keep their line breaks; each message ends with one line end.
    std::string line;
    line.reserve(caption.size() + text.size() + 3);
    line.append(caption).append(": ").append(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void CapturedMessages::show(MessageKind kind, std::string_view caption, std::string_view text) {
    entries_.push_back({kind, std::string(caption), std::string(text)});
}

}  // namespace ephys
