// The parameter table: one descriptor row per setting of a program's parameter record, in the
// order the settings are shown. The dialog, the checks and the parameter files need nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "params/messages.h"

namespace ephys {

// Kinds (the low 6 bits of the flags); each fixes the type of the record field a row points at.
inline constexpr std::uint32_t PK_TEXT = 1;    // text (a list of numbers with PF_LIMITS)
inline constexpr std::uint32_t PK_INT = 2;     // 32-bit signed integer
inline constexpr std::uint32_t PK_FLOAT = 4;   // 32-bit float
inline constexpr std::uint32_t PK_CHOICE = 8;  // one key letter
inline constexpr std::uint32_t PK_YESNO = 16;  // 'Y' or 'N'
inline constexpr std::uint32_t PK_BOOL = 32;   // 32-bit int, 0 or 1
inline constexpr std::uint32_t PK_KIND_MASK = 0x3F;
// Flag bits.
inline constexpr std::uint32_t PF_LIMITS = 0x40;     // value (or every list element) in [min, max]
inline constexpr std::uint32_t PF_PAGE_END = 0x200;  // last row of its tab page

// Longest text a text row takes from the dialog and writes whole to a parameter file.
inline constexpr std::size_t kParamTextLength = 799;
// Longest page name.
inline constexpr std::size_t kPageNameLength = 50;

// The record field a row shows and edits: std::string for PK_TEXT, int32 for PK_INT and PK_BOOL,
// float for PK_FLOAT, char for PK_CHOICE and PK_YESNO.
using ParamField = std::variant<std::monostate, std::string*, std::int32_t*, float*, char*>;

struct ParamRow {
    ParamField value;
    const char* keys = nullptr;  // choice rows: one key letter per option, in option order
    std::uint32_t flags = 0;
    const char* label = "";
    double maxValue = 0.0;  // used only with PF_LIMITS; the upper limit comes first
    double minValue = 0.0;

    std::uint32_t kind() const { return flags & PK_KIND_MASK; }
    bool hasLimits() const { return (flags & PF_LIMITS) != 0; }
    bool endsPage() const { return (flags & PF_PAGE_END) != 0; }

    // Typed access to the record field; the kind decides which one is valid.
    std::string& text() const { return *std::get<std::string*>(value); }
    std::int32_t& integer() const { return *std::get<std::int32_t*>(value); }
    float& real() const { return *std::get<float*>(value); }
    char& letter() const { return *std::get<char*>(value); }
};

// Row builders for the programs' tables.
ParamRow paramTextRow(std::string& field, const char* label, std::uint32_t extraFlags = 0);
ParamRow paramListRow(std::string& field, const char* label, double minValue, double maxValue,
                      std::uint32_t extraFlags = 0);
ParamRow paramIntRow(std::int32_t& field, const char* label, std::uint32_t extraFlags = 0);
ParamRow paramIntRow(std::int32_t& field, const char* label, double minValue, double maxValue,
                     std::uint32_t extraFlags = 0);
ParamRow paramFloatRow(float& field, const char* label, std::uint32_t extraFlags = 0);
ParamRow paramFloatRow(float& field, const char* label, double minValue, double maxValue,
                       std::uint32_t extraFlags = 0);
ParamRow paramChoiceRow(char& field, const char* keys, const char* label, std::uint32_t extraFlags = 0);
ParamRow paramYesNoRow(char& field, const char* label, std::uint32_t extraFlags = 0);
ParamRow paramBoolRow(std::int32_t& field, const char* label, std::uint32_t extraFlags = 0);

// A program's table: its rows, the page sizes and the page names. The capacities are the
// program's own (psctrawl and spktal 58 rows, swg 20; psctrawl 7 pages, spktal 6, swg 1).
struct ParamTable {
    std::vector<ParamRow> rows;
    std::size_t rowCapacity = 58;
    std::size_t pageCapacity = 7;
    std::vector<int> pageSizes;          // rows on each page, filled by paramTableFinish
    std::vector<std::string> pageNames;  // at most kPageNameLength characters each

    std::size_t pageCount() const { return pageSizes.size(); }
    // The row with this label (compared without regard to case), or -1.
    int findRow(std::string_view label) const;
};

// Checks the capacity, cuts the rows into pages and copies the page names. Reports
// "Not enough room for dialog menu items" and "Error in Dialog Preparation, pagesizes" through
// the error box. Returns false when either was reported.
bool paramTableFinish(ParamTable& table, const std::vector<std::string>& pageNames, MessageSink& messages);

// The first row of a page and the number of rows on it.
struct PageSpan {
    int firstRow = 0;
    int rowCount = 0;
};
PageSpan paramPageOf(const ParamTable& table, std::size_t page);

// The row's current value as text: the text itself, decimal for PK_INT, formatNumber(x, 4) for
// PK_FLOAT, "1"/"0" for PK_YESNO and PK_BOOL, the key letter for PK_CHOICE (empty when unset).
std::string paramFormatValue(const ParamTable& table, std::size_t row);

// Stores the value read from text: atoi for PK_INT, atof narrowed to float for PK_FLOAT, 1 or 0
// for PK_BOOL. No checks; other kinds are left to the caller.
void paramParseValue(const ParamTable& table, std::size_t row, std::string_view text);

// Whether text typed into a row's edit box is acceptable, without changing the record. For a
// list row whose lower limit is 0 the check completes an open end ".." in `text`.
bool paramCheckText(const ParamTable& table, std::size_t row, std::string& text);

// The "Parameter Error" text of a row; for a choice row it names the row's key letters.
std::string paramErrorText(const ParamRow& row);

// Accepting checked text: numeric rows are parsed into the record and formatted again (10.50
// becomes 10.5); text rows are copied as typed. Returns the canonical text for the edit box.
std::string paramAcceptText(const ParamTable& table, std::size_t row, std::string_view text);

// The row's choice captions: the text after the first ':' of the label split at every ','.
std::string paramChoiceTitle(const ParamRow& row);
std::vector<std::string> paramChoiceOptions(const ParamRow& row);

}  // namespace ephys
