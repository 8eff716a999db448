// The one channel through which the programs talk to the user: error boxes, warnings,
// "Parameter Error" boxes and completion texts. The desktop programs show message boxes,
// batch mode writes "Caption: text" lines to standard error, tests capture the calls.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ephys {

enum class MessageKind {
    ErrorBox,        // caption "Exiting on error"; despite the caption the program goes on
    PlainError,      // caption "Error", warning icon
    Warning,         // caption is the program name, the text names the current file
    ParameterError,  // caption "Parameter Error", a refused parameter value
    Information,     // completion texts and other plain notes
};

inline constexpr std::string_view kErrorBoxCaption = "Exiting on error";
inline constexpr std::string_view kPlainErrorCaption = "Error";
inline constexpr std::string_view kParameterErrorCaption = "Parameter Error";

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void show(MessageKind kind, std::string_view caption, std::string_view text) = 0;

    // The error box of the suite: caption "Exiting on error", an OK button, and the work goes on.
    void errorBox(std::string_view text) { show(MessageKind::ErrorBox, kErrorBoxCaption, text); }
};

// Batch mode: one "Caption: text" line per message on standard error.
class StderrMessageSink final : public MessageSink {
  public:
    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
};

// Keeps every message, for tests and for callers that want to look before they show.
class CapturedMessages final : public MessageSink {
  public:
    struct Entry {
        MessageKind kind;
        std::string caption;
        std::string text;
    };
    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    void clear() { entries_.clear(); }

  private:
    std::vector<Entry> entries_;
};

// Drops everything (for callers that have nobody to tell).
class SilentMessageSink final : public MessageSink {
  public:
    void show(MessageKind, std::string_view, std::string_view) override {}
};

}  // namespace ephys
