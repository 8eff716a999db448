#include "params/param_settings.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "params/param_files.h"

namespace ephys {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// 1 for yes, 0 for no, -1 for anything else.
int yesNo(std::string_view value) {
    const std::string v = lower(trimmed(value));
    if (v == "1" || v == "y" || v == "yes") return 1;
    if (v == "0" || v == "n" || v == "no") return 0;
    return -1;
}

}  // namespace

bool paramApplySetting(const ParamTable& table, std::string_view assignment, std::string& error) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos) {
        error = "A setting must read LABEL=VALUE: " + std::string(assignment);
        return false;
    }
    std::string_view label = assignment.substr(0, eq);
    const int row = table.findRow(label);
    if (row < 0) {
        error = "No parameter is labelled \"" + std::string(label) + "\"";
        return false;
    }
    const ParamRow& r = table.rows[static_cast<std::size_t>(row)];
    // Blanks around the value are the command line's, not the value's.
    std::string value(trimmed(assignment.substr(eq + 1)));
    switch (r.kind()) {
        case PK_YESNO:
        case PK_BOOL: {
            const int v = yesNo(value);
            if (v < 0) {
                error = std::string(r.label) + "\nmust be 1, 0, Y, N, yes or no!";
                return false;
            }
            if (r.kind() == PK_YESNO) {
                r.letter() = v != 0 ? 'Y' : 'N';
            } else {
                r.integer() = v;
            }
            return true;
        }
        case PK_CHOICE: {
            std::string_view v = trimmed(value);
            const std::string_view keys = r.keys != nullptr ? r.keys : "";
            const char letter =
                v.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(v[0]))) : '\0';
            if (letter == '\0' || keys.find(letter) == std::string_view::npos) {
                error = std::string(r.label) + "\nmust be one of the letters " + std::string(keys) + "!";
                return false;
            }
            r.letter() = letter;
            return true;
        }
        default: {
            std::string checked = value;
            if (!paramCheckText(table, static_cast<std::size_t>(row), checked)) {
                error = paramErrorText(r);
                return false;
            }
            paramAcceptText(table, static_cast<std::size_t>(row), checked);
            return true;
        }
    }
}

BatchSettingsResult paramApplyBatchSettings(const ParamTable& table, const BatchSettings& settings,
                                            const std::function<bool(const std::string&)>& take) {
    BatchSettingsResult result;
    if (!settings.iniFile.empty()) paramLoad(kParametersSection, table, settings.iniFile);
    if (!settings.paramsFile.empty()) {
        std::error_code ec;
        std::string error = "no such file";
        bool readable = std::filesystem::is_regular_file(settings.paramsFile, ec);
        if (readable) result.paramsFile = ProfileFile::load(settings.paramsFile, &error, &readable);
        if (!readable) {
            result.outcome = BatchSettingsResult::Outcome::UsageError;
            result.message = "cannot read parameter file " + settings.paramsFile + ": " + error;
            return result;
        }
        paramLoad(kParametersSection, table, result.paramsFile);
    }
    for (const std::string& setting : settings.sets) {
        if (take && take(setting)) continue;
        std::string error;
        if (!paramApplySetting(table, setting, error)) {
            result.outcome = BatchSettingsResult::Outcome::RefusedValue;
            result.message = error;
            return result;
        }
    }
    return result;
}

}  // namespace ephys
