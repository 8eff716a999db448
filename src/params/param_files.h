// Parameter sets in profile files: the program's ini file ([Parameters] beside the shell's
// [General]) and the parameter files the user reads and saves. Also the single-key helpers the
// shell uses for its preferences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "params/dialog_record.h"
#include "params/messages.h"
#include "params/param_table.h"
#include "params/profile_file.h"

namespace ephys {

inline constexpr std::string_view kParametersSection = "Parameters";

// Writes every row of the table (all pages) into the section of the profile; returns the number
// of rows written. A text of 800 characters or more is written as its first 795 and "...".
int paramSave(std::string_view section, const ParamTable& table, ProfileFile& profile);
// The same into a file (read, change, write atomically). Returns the number of rows written: 0
// when the file could not be written, with the reason in *error; the old file is then intact.
int paramSave(std::string_view section, const ParamTable& table, const std::string& file,
              std::string* error = nullptr);

// Reads every row back into the record; missing keys and empty values keep the current value,
// and so does a choice whose first character is none of the row's letters (in either case).
void paramLoad(std::string_view section, const ParamTable& table, const ProfileFile& profile);

// A value of a file that its row refused; the record keeps the row's current value.
struct RefusedParam {
    std::size_t row = 0;
    std::string value;  // as it stands in the file
};

// paramLoad with the rows' rules: a number is read as far as it goes, as paramLoad reads it (the
// programs' own files and "12abc" read as before), but a number outside the row's limits, or
// beyond the range its field can hold, is refused and the row keeps its current value. A choice
// whose first character is none of the row's letters is refused the same way. Lists are left to
// the run, which checks them against each recording; text and yes/no values are read as
// paramLoad reads them. Returns the refused rows in table order.
std::vector<RefusedParam> paramLoadChecked(std::string_view section, const ParamTable& table,
                                           const ProfileFile& profile);

// The text that names refused values: "Read from FILE:", then for each row "LABEL=VALUE" and its
// "must be ..." line.
std::string paramRefusedText(const ParamTable& table, const std::vector<RefusedParam>& refused,
                             std::string_view file);
// The same from a file; a missing or unreadable file leaves the whole set as it was (false).
bool paramLoad(std::string_view section, const ParamTable& table, const std::string& file);

// Builds the file-type filter from the dialog record's description and extension and creates
// the parameter folder when it is missing ("Could not create parameter file space" when its
// parent does not exist).
void paramFileSetup(DialogRecord& dialog, MessageSink& messages);

// The program's settings file: $XDG_CONFIG_HOME/<NAME>.ini, with ~/.config when XDG_CONFIG_HOME
// is unset or empty. The folder is created when it is missing.
std::string iniFilePath(std::string_view programName);

// Single keys (the shell's [General] preferences).
void profileWriteFlag(ProfileFile& profile, std::string_view section, std::string_view key, int value);
void profileWriteInt(ProfileFile& profile, std::string_view section, std::string_view key,
                     std::int32_t value);
void profileWriteFloat(ProfileFile& profile, std::string_view section, std::string_view key, float value);
void profileWriteChar(ProfileFile& profile, std::string_view section, std::string_view key, char value);
void profileWriteString(ProfileFile& profile, std::string_view section, std::string_view key,
                        std::string_view value);
// The first character of the value; `fallback` when the key is missing or empty.
char profileReadChar(const ProfileFile& profile, std::string_view section, std::string_view key,
                     char fallback);
// The value read as an integer (atoi); `fallback` when the key is missing or empty.
std::int32_t profileReadInt(const ProfileFile& profile, std::string_view section, std::string_view key,
                            std::int32_t fallback);
std::string profileReadString(const ProfileFile& profile, std::string_view section, std::string_view key,
                              std::string_view fallback);

}  // namespace ephys
