#include "engine_settings.h"

#include <utility>

namespace ephys::py_ephys {

std::string trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    while (!text.empty() && (text.front() == '\n' || text.front() == '\r')) text.remove_prefix(1);
    return std::string(text);
}

std::vector<std::string> settingAssignments(const py::object& settings) {
    std::vector<std::string> sets;
    if (settings.is_none()) return sets;
    if (!py::isinstance<py::dict>(settings))
        throw py::type_error("settings must be a dict {row label: value}");
    for (const auto& [key, value] : settings.cast<py::dict>()) {
        std::string text;
        if (py::isinstance<py::bool_>(value)) {
            text = value.cast<bool>() ? "Y" : "N";
        } else {
            text = py::str(value).cast<std::string>();
        }
        sets.push_back(py::str(key).cast<std::string>().append("=").append(text));
    }
    return sets;
}

BatchSettingsResult applySettings(const ParamTable& table, const py::object& settings,
                                  const std::optional<std::string>& paramsFile,
                                  const std::function<bool(const std::string&)>& take) {
    BatchSettings batch;
    batch.paramsFile = paramsFile.value_or(std::string());
    batch.sets = settingAssignments(settings);
    const BatchSettingsResult applied = paramApplyBatchSettings(table, batch, take);
    if (applied.outcome != BatchSettingsResult::Outcome::Applied)
        throw py::value_error(trimmed(applied.message));
    return applied;
}

void RunMessages::show(MessageKind kind, std::string_view caption, std::string_view text) {
    entries_.push_back({kind, std::string(caption), std::string(text)});
}

bool RunMessages::confirmSaveName(std::string& path, std::string_view, std::string_view) {
    if (!overwrite_) show(MessageKind::Warning, "ephys", "Not replaced, it exists: " + path);
    return overwrite_;
}

std::string RunMessages::errors(const std::vector<std::string_view>& leaveOut) const {
    std::string out;
    for (const Entry& e : entries_) {
        if (e.kind == MessageKind::Warning || e.kind == MessageKind::Information) continue;
        std::string_view rest = e.text;
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string line = trimmed(rest.substr(0, end));
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            bool skip = line.empty();
            for (std::string_view s : leaveOut) skip = skip || line == s;
            if (skip) continue;
            if (!out.empty()) out.push_back('\n');
            out.append(line);
        }
    }
    return out;
}

void RunMessages::warn() const {
    for (const Entry& e : entries_) {
        if (e.kind != MessageKind::Warning && e.kind != MessageKind::Information) continue;
        const std::string text = trimmed(e.text);
        if (!text.empty()) PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1);
    }
}

CallbackProgress::CallbackProgress(py::object callback, ProgressRecord& record)
    : callback_(std::move(callback)), record_(record) {}

void CallbackProgress::update(const ProgressSnapshot& snapshot) {
    if (callback_.is_none() || cancelled_) return;
    py::gil_scoped_acquire gil;
    try {
        const py::object answer = callback_(snapshot.percent, snapshot.line1, snapshot.line2);
        if (!answer.is_none() && !answer.cast<bool>()) {
            cancelled_ = true;
            progressPress(record_, kProgressCancel);
        }
    } catch (py::error_already_set& e) {
        error_.emplace(std::move(e));
        cancelled_ = true;
        progressPress(record_, kProgressCancel);
    }
}

void CallbackProgress::rethrow() {
    if (error_) {
        py::error_already_set e = std::move(*error_);
        error_.reset();
        throw e;
    }
}

}  // namespace ephys::py_ephys
