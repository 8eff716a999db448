#include "params/param_settings.h"

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>

#include "params/c_numbers.h"
#include "params/number_list.h"
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

// Whether the text is one whole number for a number row: an optional '-', digits and, for a
// float row, a decimal point and a decimal exponent ("-12", ".5", "1.5e-6"). Nothing may stand
// before or after it, and an integer must fit the row's 32-bit field.
bool wholeNumber(std::string_view v, bool real) {
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t n = 0;
        for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) ++n;
        return n;
    };
    if (i < v.size() && v[i] == '-') ++i;
    std::size_t mantissa = digits();
    if (real && i < v.size() && v[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (real && i < v.size() && (v[i] == 'e' || v[i] == 'E')) {
        ++i;
        if (i < v.size() && v[i] == '-') ++i;
        if (digits() == 0) return false;
    }
    if (i != v.size()) return false;
    if (real) return true;
    const double x = cAtof(v);
    return x >= std::numeric_limits<std::int32_t>::min() && x <= std::numeric_limits<std::int32_t>::max();
}

// Whether a setting for a list row has the form of a list (digits and the list's separators, at
// least one number), so that one the caller takes and checks against each recording later is
// not empty or followed by other text. Settings for other rows pass.
bool listFormOk(const ParamTable& table, std::string_view assignment, std::string& error) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos) return true;
    const int row = table.findRow(assignment.substr(0, eq));
    if (row < 0) return true;
    const ParamRow& r = table.rows[static_cast<std::size_t>(row)];
    if (r.kind() != PK_TEXT || !r.hasLimits()) return true;
    const std::string_view value = trimmed(assignment.substr(eq + 1));
    bool digit = false, other = false;
    for (char c : value) {
        digit = digit || listCharClass(c) == 1;
        other = other || listCharClass(c) < 0;
    }
    if (digit && !other) return true;
    // The list's limits are a recording's, so the message gives none.
    error = std::string(r.label) + "\nmust be a valid list of numbers!";
    return false;
}

// Settings and parameter files are a few kilobytes; anything this large is another kind of file.
constexpr std::uintmax_t kLargestSettingsFile = 16u << 20;

// Reads a settings file or a parameter file. A missing settings file is no error (nothing is
// read); a file that cannot be read, holds binary data or, when `required`, has no [Parameters]
// section is refused with the reason in `error`.
bool readSettingsFile(const std::string& path, const char* what, bool required, ProfileFile& profile,
                      std::string& error) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (!exists && !required) return true;
    if (!exists) {
        error = "cannot read " + std::string(what) + " " + path + ": no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "cannot read " + std::string(what) + " " + path + ": not a file";
        return false;
    }
    if (std::filesystem::file_size(path, ec) > kLargestSettingsFile) {
        error = path + " is not a " + what + ": it is far too large";
        return false;
    }
    Result<ProfileFile> read = ProfileFile::load(path);
    if (!read) {
        profile = ProfileFile();
        error = "cannot read " + std::string(what) + " " + path + ": " + read.error().text();
        return false;
    }
    profile = std::move(*read);
    if (profile.holdsBinary()) {
        error = path + " is not a " + what + ": it holds binary data";
        return false;
    }
    if (required && !profile.hasSection(kParametersSection)) {
        error = path + " is not a " + what + ": it has no [" + std::string(kParametersSection) + "] section";
        return false;
    }
    return true;
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
                error = paramErrorText(r);
                return false;
            }
            r.letter() = letter;
            return true;
        }
        default: {
            // On the command line the whole value must be the number (no empty value, nothing
            // after the number); the row's own rules then check it.
            const bool number = r.kind() == PK_INT || r.kind() == PK_FLOAT;
            const bool list = r.kind() == PK_TEXT && r.hasLimits();
            if ((number && !wholeNumber(value, r.kind() == PK_FLOAT)) || (list && value.empty())) {
                error = paramErrorText(r);
                return false;
            }
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
    // Values from either file are checked by the rows' rules; the first file with a refused
    // value ends the run before anything else is applied.
    auto load = [&](const std::string& path, const char* what, bool required, ProfileFile& profile) {
        std::string error;
        if (!readSettingsFile(path, what, required, profile, error)) {
            result.outcome = BatchSettingsResult::Outcome::UsageError;
            result.message = error;
            return false;
        }
        const std::vector<RefusedParam> refused = paramLoadChecked(kParametersSection, table, profile);
        if (!refused.empty()) {
            result.outcome = BatchSettingsResult::Outcome::RefusedValue;
            result.message = paramRefusedText(table, refused, path);
            return false;
        }
        return true;
    };
    ProfileFile ini;
    if (!settings.iniFile.empty() && !load(settings.iniFile, "settings file", false, ini)) return result;
    if (!settings.paramsFile.empty() && !load(settings.paramsFile, "parameter file", true, result.paramsFile))
        return result;
    for (const std::string& setting : settings.sets) {
        std::string error;
        if (!listFormOk(table, setting, error)) {
            result.outcome = BatchSettingsResult::Outcome::RefusedValue;
            result.message = error;
            return result;
        }
        if (take && take(setting)) continue;
        if (!paramApplySetting(table, setting, error)) {
            result.outcome = BatchSettingsResult::Outcome::RefusedValue;
            result.message = error;
            return result;
        }
    }
    return result;
}

}  // namespace ephys
