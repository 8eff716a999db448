// Profile files: the text format of the programs' ini files and of parameter files.
// "[section]" lines and "key=value" lines; section and key names are compared without regard to
// case; the first of duplicate keys (or sections) counts; every other line is kept as it stands
// and in its order when the file is written again. Reads LF and CR LF line ends (also CR CR LF:
// every carriage return before the line feed is part of the line end), writes LF.
// Saving writes a temporary file in the same folder and renames it over the old one, so a crash
// or a full disk never leaves half a file and a failed write leaves the old file intact.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/result.h"

namespace ephys {

class ProfileFile {
  public:
    ProfileFile() = default;

    // Reads a file. A missing file gives an empty profile; an unreadable one (a folder, no
    // permission) an error (code errno) whose reason is "Cannot read <path>: <the system's reason>".
    static Result<ProfileFile> load(const std::string& path);
    // Parses profile text.
    static ProfileFile parse(std::string_view text);

    // The value of a key (blanks around it removed, one pair of enclosing double quotes removed),
    // or nothing when the section or the key is missing.
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    bool hasSection(std::string_view section) const;
    // Whether the text holds bytes that no settings text has: NUL or a control character other
    // than tab, vertical tab, form feed, carriage return and the old end-of-file mark (Ctrl-Z).
    // Such a file is a recording, a picture or a damaged file, and is not read as settings.
    bool holdsBinary() const;

    // Sets a key: replaces the value of the first such key of the first such section in place,
    // or adds "key=value" after the section's last entry, or adds the section at the end of the
    // file. Line breaks in the value are written as blanks so that a value never makes new lines.
    // A value with blanks at either end, or enclosed in double quotes, is written within double
    // quotes, so that get() gives back what was set (line breaks aside).
    void set(std::string_view section, std::string_view key, std::string_view value);
    // Removes a key (every occurrence in the first such section).
    void remove(std::string_view section, std::string_view key);

    // The whole text as it would be written.
    std::string text() const;
    // Writes atomically (temporary file in the same folder, then rename). An error (code errno,
    // reason "Cannot write <path>: ...") when it could not be written; the old file is then
    // unchanged.
    Result<void> save(const std::string& path) const;

  private:
    std::vector<std::string> lines_;  // without line ends
};

}  // namespace ephys
