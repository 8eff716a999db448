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

    // An output file may not be replaced without asking: the desktop programs ask with a save
    // dialog (which may change `path`), batch mode answers from its overwrite setting. True to
    // write the file, false to skip it. `description` and `extension` describe the file kind
    // ("Text Files", "PRN").
    virtual bool confirmSaveName(std::string& path, std::string_view description,
                                 std::string_view extension) {
        (void)path;
        (void)description;
        (void)extension;
        return false;
    }
};

// Batch mode: one "Caption: text" line per message on standard error.
class StderrMessageSink final : public MessageSink {
  public:
    explicit StderrMessageSink(bool overwrite = false) : overwrite_(overwrite) {}
    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
    // Replaces an existing output only when batch mode was told to (--overwrite); otherwise the
    // output is skipped with a note and counted.
    bool confirmSaveName(std::string& path, std::string_view description,
                         std::string_view extension) override;
    // Outputs left unwritten because they existed; batch mode fails the run when any was.
    int skippedOutputs() const { return skipped_; }

  private:
    bool overwrite_;
    int skipped_ = 0;
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
    bool confirmSaveName(std::string& path, std::string_view, std::string_view) override {
        saveQuestions.push_back(path);
        return saveAnswer;
    }
    const std::vector<Entry>& entries() const { return entries_; }
    bool saveAnswer = true;                  // the answer to every save-name question
    std::vector<std::string> saveQuestions;  // the paths asked about
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
