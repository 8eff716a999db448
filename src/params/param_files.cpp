#include "params/param_files.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "params/c_numbers.h"
#include "params/number_format.h"

namespace ephys {

namespace {

// Text rows are written whole up to this length; longer ones are cut and marked with "...".
constexpr std::size_t kWrittenTextLimit = 800;
constexpr std::size_t kWrittenTextKeep = 795;

std::string savedValue(const ParamTable& table, std::size_t row) {
    const ParamRow& r = table.rows[row];
    switch (r.kind()) {
        case PK_TEXT: {
            const std::string& text = r.text();
            if (text.size() >= kWrittenTextLimit) return text.substr(0, kWrittenTextKeep) + "...";
            return text;
        }
        case PK_CHOICE:
            return r.letter() == '\0' ? std::string() : std::string(1, r.letter());
        default:
            return paramFormatValue(table, row);
    }
}

// A refused value is shown up to this length in the message that names it.
constexpr std::size_t kShownValueLength = 40;

// The key letter of a choice row that a value read from a file names: its first character,
// as the programs have always read it, compared with the row's letters without regard to case
// (as on the command line). NUL when it names none of them.
char choiceLetter(const ParamRow& row, std::string_view value) {
    if (value.empty() || value[0] == '\0' || row.keys == nullptr) return '\0';
    const std::string_view keys = row.keys;
    if (keys.find(value[0]) != std::string_view::npos) return value[0];
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
    for (char key : keys) {
        if (key == upper || key == lower) return key;
    }
    return '\0';
}

// Stores a value read from a file by the row's kind. Numbers are not checked here; a choice row
// takes only one of its own letters and otherwise keeps its value.
void loadValue(const ParamTable& table, std::size_t row, const std::string& value) {
    const ParamRow& r = table.rows[row];
    switch (r.kind()) {
        case PK_TEXT:
            // A text row holds at most kParamTextLength characters, as when it is typed.
            r.text() = value.substr(0, kParamTextLength);
            break;
        case PK_INT:
        case PK_FLOAT:
        case PK_BOOL:
            paramParseValue(table, row, value);
            break;
        case PK_CHOICE:
            if (const char letter = choiceLetter(r, value); letter != '\0') r.letter() = letter;
            break;
        case PK_YESNO:
            r.letter() = value[0] == '1' ? 'Y' : 'N';
            break;
        default:
            break;
    }
}

// The integer at the start of the text as atoi finds it ([blanks][sign]digits), without atoi's
// clamping, so that a value beyond the 32-bit range is seen as such.
double leadingInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    double value = 0.0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10.0 + (text[i] - '0');
    return negative ? -value : value;
}

// Whether a value read from a file as paramLoad reads it is one the row takes: a number within
// the range of its field and, with limits, within them; a choice that names one of the row's
// letters. Other kinds are not checked here.
bool fileValueFits(const ParamRow& row, std::string_view value) {
    double x = 0.0;
    switch (row.kind()) {
        case PK_CHOICE:
            return choiceLetter(row, value) != '\0';
        case PK_INT:
            x = leadingInteger(value);
            if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
                return false;
            break;
        case PK_FLOAT:
            x = cAtof(value);
            if (!(std::fabs(x) <= std::numeric_limits<float>::max())) return false;
            break;
        default:
            return true;
    }
    return !row.hasLimits() || (x >= row.minValue && x <= row.maxValue);
}

}  // namespace

int paramSave(std::string_view section, const ParamTable& table, ProfileFile& profile) {
    int written = 0;
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        profile.set(section, table.rows[row].label, savedValue(table, row));
        ++written;
    }
    return written;
}

int paramSave(std::string_view section, const ParamTable& table, const std::string& file,
              std::string* error) {
    Result<ProfileFile> profile = ProfileFile::load(file);
    // A file that exists but cannot be read is not replaced: its other content would be lost.
    if (!profile) {
        if (error) *error = profile.error().text();
        return 0;
    }
    int written = paramSave(section, table, *profile);
    const Result<void> saved = profile->save(file);
    if (!saved && error) *error = saved.error().text();
    return saved ? written : 0;
}

void paramLoad(std::string_view section, const ParamTable& table, const ProfileFile& profile) {
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        // A missing key or an empty value keeps the current value exactly as it is.
        std::optional<std::string> value = profile.get(section, table.rows[row].label);
        if (value && !value->empty()) loadValue(table, row, *value);
    }
}

std::vector<RefusedParam> paramLoadChecked(std::string_view section, const ParamTable& table,
                                           const ProfileFile& profile) {
    std::vector<RefusedParam> refused;
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        std::optional<std::string> value = profile.get(section, table.rows[row].label);
        if (!value || value->empty()) continue;
        if (!fileValueFits(table.rows[row], *value)) {
            refused.push_back({row, std::move(*value)});
            continue;
        }
        loadValue(table, row, *value);
    }
    return refused;
}

std::string paramRefusedText(const ParamTable& table, const std::vector<RefusedParam>& refused,
                             std::string_view file) {
    // Built by appending: GCC 12 mistakes `literal + std::string` for an overlapping copy at -O3.
    std::string text = "Read from ";
    text.append(file).append(":");
    for (const RefusedParam& r : refused) {
        const ParamRow& row = table.rows.at(r.row);
        // The row's own message with the value read put after its label.
        const std::string message = paramErrorText(row);
        const std::size_t label = std::string_view(row.label).size();
        std::string value = r.value;
        if (value.size() > kShownValueLength) value.replace(kShownValueLength, std::string::npos, "...");
        text.append("\n").append(row.label).append("=").append(value).append(message, label);
    }
    return text;
}

bool paramLoad(std::string_view section, const ParamTable& table, const std::string& file) {
    const Result<ProfileFile> profile = ProfileFile::load(file);
    if (!profile) return false;
    paramLoad(section, table, *profile);
    return true;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

std::string defaultParamDirectory() {
    return homeDirectory() + "/labparms";
}

std::string iniFilePath(std::string_view programName) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string folder = xdg != nullptr && *xdg != '\0' ? std::string(xdg) : homeDirectory() + "/.config";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder + "/" + std::string(programName) + ".ini";
}

void paramFileSetup(DialogRecord& dialog, MessageSink& messages) {
    std::string upper = dialog.fileExtension, lower = dialog.fileExtension;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    dialog.fileFilter = dialog.fileDescription + " Files (*." + upper + ")";
    dialog.filePattern = "*." + lower;
    if (dialog.paramDirectory.empty()) dialog.paramDirectory = defaultParamDirectory();
    // Only a missing parent is worth a message; an existing folder is the usual case.
    if (::mkdir(dialog.paramDirectory.c_str(), 0777) != 0 && errno == ENOENT) {
        messages.errorBox("Could not create parameter file space");
    }
}

void profileWriteFlag(ProfileFile& profile, std::string_view section, std::string_view key, int value) {
    profile.set(section, key, value != 0 ? "1" : "0");
}

void profileWriteInt(ProfileFile& profile, std::string_view section, std::string_view key,
                     std::int32_t value) {
    profile.set(section, key, std::to_string(value));
}

void profileWriteFloat(ProfileFile& profile, std::string_view section, std::string_view key, float value) {
    profile.set(section, key, formatNumber(value, 6));
}

void profileWriteChar(ProfileFile& profile, std::string_view section, std::string_view key, char value) {
    profile.set(section, key, value == '\0' ? std::string() : std::string(1, value));
}

void profileWriteString(ProfileFile& profile, std::string_view section, std::string_view key,
                        std::string_view value) {
    profile.set(section, key, value);
}

char profileReadChar(const ProfileFile& profile, std::string_view section, std::string_view key,
                     char fallback) {
    std::optional<std::string> value = profile.get(section, key);
    return value && !value->empty() ? (*value)[0] : fallback;
}

std::int32_t profileReadInt(const ProfileFile& profile, std::string_view section, std::string_view key,
                            std::int32_t fallback) {
    std::optional<std::string> value = profile.get(section, key);
    return value && !value->empty() ? cAtoi(*value) : fallback;
}

std::string profileReadString(const ProfileFile& profile, std::string_view section, std::string_view key,
                              std::string_view fallback) {
    std::optional<std::string> value = profile.get(section, key);
    return value ? *value : std::string(fallback);
}

}  // namespace ephys
