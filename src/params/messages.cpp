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

bool StderrMessageSink::confirmSaveName(std::string& path, std::string_view, std::string_view) {
    if (overwrite_) return true;
    ++skipped_;
    show(MessageKind::Information, "Skipped", path + " exists; --overwrite replaces it");
    return false;
}

void CapturedMessages::show(MessageKind kind, std::string_view caption, std::string_view text) {
    entries_.push_back({kind, std::string(caption), std::string(text)});
}

}  // namespace ephys
