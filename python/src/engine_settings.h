// What the three engine bindings share: settings given as a dict of row labels and values, the
// messages of a run, and the progress of a run reported to a Python callback.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/messages.h"
#include "params/param_settings.h"
#include "params/param_table.h"
#include "params/progress.h"

namespace ephys::py_ephys {

namespace py = pybind11;

// {label: value} as the batch programs' "LABEL=VALUE" settings, in the dict's order. True and
// False become Y and N; numbers are written as Python writes them (a point, never a comma).
std::vector<std::string> settingAssignments(const py::object& settings);

// Applies the settings as a batch program does with --no-ini: built-in defaults, then the
// parameter file (when given), then each setting. A setting for which `take` returns true is left
// to the caller. Returns what was applied (with the parameter file as read). Raises ValueError with the
// program's text for a refused value or an unreadable parameter file.
BatchSettingsResult applySettings(const ParamTable& table, const py::object& settings,
                                  const std::optional<std::string>& paramsFile,
                                  const std::function<bool(const std::string&)>& take = {});

// The messages of a run, kept until the run is over (the run goes on without the interpreter's
// lock): errors become the exception's text, warnings become Python warnings.
class RunMessages final : public MessageSink {
  public:
    explicit RunMessages(bool overwrite = false) : overwrite_(overwrite) {}
    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
    bool confirmSaveName(std::string& path, std::string_view description,
                         std::string_view extension) override;

    // The lines of the error texts, joined by "\n"; `leaveOut` lines (the programs' headings over
    // the reason) and empty lines are skipped.
    std::string errors(const std::vector<std::string_view>& leaveOut = {}) const;
    // Issues every warning and note as a Python warning (needs the interpreter's lock).
    void warn() const;

  private:
    struct Entry {
        MessageKind kind;
        std::string caption;
        std::string text;
    };
    std::vector<Entry> entries_;
    bool overwrite_;
};

// Shows a run's progress through a Python callable progress(percent, line1, line2). A callback
// that returns False, or raises, presses the run's Cancel; the exception is raised again when the
// run is over (rethrow()).
class CallbackProgress final : public ProgressView {
  public:
    CallbackProgress(py::object callback, ProgressRecord& record);
    void update(const ProgressSnapshot& snapshot) override;
    bool cancelled() const { return cancelled_; }
    // Raises what the callback raised, if it did (needs the interpreter's lock).
    void rethrow();

  private:
    py::object callback_;
    ProgressRecord& record_;
    bool cancelled_ = false;
    std::optional<py::error_already_set> error_;
};

// Text without trailing line ends and blanks.
std::string trimmed(std::string_view text);

}  // namespace ephys::py_ephys
