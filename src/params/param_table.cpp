#include "params/param_table.h"

#include <cfloat>
#include <cmath>

#include "params/c_numbers.h"
#include "params/number_format.h"
#include "params/number_list.h"

namespace ephys {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// atof's double brought to a 32-bit float; magnitudes beyond the float range are held at its
// largest value instead of becoming infinite.
float narrowToFloat(double x) {
    if (std::isnan(x)) return 0.0f;
    if (x > FLT_MAX) return FLT_MAX;
    if (x < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(x);
}

ParamRow makeRow(ParamField field, std::uint32_t flags, const char* label) {
    ParamRow row;
    row.value = field;
    row.flags = flags;
    row.label = label;
    return row;
}

ParamRow withLimits(ParamRow row, double minValue, double maxValue) {
    row.flags |= PF_LIMITS;
    row.minValue = minValue;
    row.maxValue = maxValue;
    return row;
}

}  // namespace

ParamRow paramTextRow(std::string& field, const char* label, std::uint32_t extraFlags) {
    return makeRow(&field, PK_TEXT | extraFlags, label);
}
ParamRow paramListRow(std::string& field, const char* label, double minValue, double maxValue,
                      std::uint32_t extraFlags) {
    return withLimits(makeRow(&field, PK_TEXT | extraFlags, label), minValue, maxValue);
}
ParamRow paramIntRow(std::int32_t& field, const char* label, std::uint32_t extraFlags) {
    return makeRow(&field, PK_INT | extraFlags, label);
}
ParamRow paramIntRow(std::int32_t& field, const char* label, double minValue, double maxValue,
                     std::uint32_t extraFlags) {
    return withLimits(makeRow(&field, PK_INT | extraFlags, label), minValue, maxValue);
}
ParamRow paramFloatRow(float& field, const char* label, std::uint32_t extraFlags) {
    return makeRow(&field, PK_FLOAT | extraFlags, label);
}
ParamRow paramFloatRow(float& field, const char* label, double minValue, double maxValue,
                       std::uint32_t extraFlags) {
    return withLimits(makeRow(&field, PK_FLOAT | extraFlags, label), minValue, maxValue);
}
ParamRow paramChoiceRow(char& field, const char* keys, const char* label, std::uint32_t extraFlags) {
    ParamRow row = makeRow(&field, PK_CHOICE | extraFlags, label);
    row.keys = keys;
    return row;
}
ParamRow paramYesNoRow(char& field, const char* label, std::uint32_t extraFlags) {
    return makeRow(&field, PK_YESNO | extraFlags, label);
}
ParamRow paramBoolRow(std::int32_t& field, const char* label, std::uint32_t extraFlags) {
    return makeRow(&field, PK_BOOL | extraFlags, label);
}

int ParamTable::findRow(std::string_view label) const {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (equalsNoCase(rows[i].label, label)) return static_cast<int>(i);
    }
    // A choice row answers to its title alone too ("Spike Polarity" for
    // "Spike Polarity:Positive,Negative"), and a label ending in a blank ("Individual traces ")
    // to the label without it.
    auto trim = [](std::string_view s) {
        while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        return s;
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool titleMatch =
            rows[i].kind() == PK_CHOICE && equalsNoCase(paramChoiceTitle(rows[i]), trim(label));
        if (titleMatch || equalsNoCase(trim(rows[i].label), trim(label))) return static_cast<int>(i);
    }
    return -1;
}

bool paramTableFinish(ParamTable& table, const std::vector<std::string>& pageNames, MessageSink& messages) {
    bool ok = true;
    const std::size_t n = table.rows.size();
    if (n > table.rowCapacity) {
        messages.errorBox("Not enough room for dialog menu items");
        ok = false;
    }
    table.pageSizes.clear();
    int onPage = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ++onPage;
        if (table.rows[i].endsPage()) {
            table.pageSizes.push_back(onPage);
            onPage = 0;
        } else if (!table.pageSizes.empty() && i == n - 1 && onPage > 0) {
            table.pageSizes.push_back(onPage);
            onPage = 0;
        }
    }
    if (table.pageSizes.size() > table.pageCapacity) {
        messages.errorBox("Error in Dialog Preparation, pagesizes");
        ok = false;
    }
    if (table.pageSizes.empty()) table.pageSizes.push_back(static_cast<int>(n));
    table.pageNames.clear();
    for (std::size_t page = 0; page < table.pageSizes.size(); ++page) {
        std::string name = page < pageNames.size() ? pageNames[page] : std::string();
        if (name.size() > kPageNameLength) name.resize(kPageNameLength);
        table.pageNames.push_back(std::move(name));
    }
    return ok;
}

PageSpan paramPageOf(const ParamTable& table, std::size_t page) {
    PageSpan span;
    for (std::size_t p = 0; p < page && p < table.pageSizes.size(); ++p) span.firstRow += table.pageSizes[p];
    span.rowCount = page < table.pageSizes.size() ? table.pageSizes[page] : 0;
    return span;
}

std::string paramFormatValue(const ParamTable& table, std::size_t row) {
    const ParamRow& r = table.rows.at(row);
    switch (r.kind()) {
        case PK_TEXT:
            return r.text();
        case PK_INT:
            return std::to_string(r.integer());
        case PK_FLOAT:
            return formatNumber(r.real(), 4);
        case PK_CHOICE:
            return r.letter() == '\0' ? std::string() : std::string(1, r.letter());
        case PK_YESNO:
            return r.letter() == 'Y' ? "1" : "0";
        case PK_BOOL:
            return r.integer() != 0 ? "1" : "0";
        default:
            return std::string();
    }
}

void paramParseValue(const ParamTable& table, std::size_t row, std::string_view text) {
    const ParamRow& r = table.rows.at(row);
    switch (r.kind()) {
        case PK_INT:
            r.integer() = cAtoi(text);
            break;
        case PK_FLOAT:
            r.real() = narrowToFloat(cAtof(text));
            break;
        case PK_BOOL:
            r.integer() = cAtoi(text) != 0 ? 1 : 0;
            break;
        default:
            break;
    }
}

bool paramCheckText(const ParamTable& table, std::size_t row, std::string& text) {
    const ParamRow& r = table.rows.at(row);
    switch (r.kind()) {
        case PK_TEXT: {
            if (!r.hasLimits()) return true;
            // The lower limit doubles as the element index: a row whose lower limit is 0 makes a
            // count call, which completes an open end in the typed text.
            int index = static_cast<int>(r.minValue);
            return parseNumberList(text, index, static_cast<int>(r.minValue), static_cast<int>(r.maxValue)) >
                   0;
        }
        case PK_INT:
        case PK_FLOAT: {
            const std::string_view allowed = r.kind() == PK_INT ? "01234567890-Ee" : "01234567890-Ee.";
            for (char c : text) {
                if (allowed.find(c) == std::string_view::npos) return false;
            }
            double x = r.kind() == PK_INT ? static_cast<double>(cAtoi(text)) : cAtof(text);
            // A float beyond the 32-bit range cannot be stored.
            if (r.kind() == PK_FLOAT && !(std::fabs(x) <= FLT_MAX)) return false;
            if (r.hasLimits() && !(x >= r.minValue && x <= r.maxValue)) return false;
            return true;
        }
        default:
            return true;
    }
}

std::string paramErrorText(const ParamRow& row) {
    std::string text = row.label;
    if (row.kind() == PK_CHOICE) {
        text.append("\nmust be one of the letters ").append(row.keys != nullptr ? row.keys : "").append("!");
        return text;
    }
    text += "\nmust be a";
    const bool list = row.kind() == PK_TEXT && row.hasLimits();
    if (list) {
        text += " valid list of numbers ";
    } else if (row.kind() == PK_FLOAT) {
        text += " number";
    } else if (row.kind() == PK_INT) {
        text += "n integer";
    }
    if (row.hasLimits()) {
        text += " between ";
        text += formatNumber(row.minValue, 4);
        text += " and ";
        text += formatNumber(row.maxValue, 4);
    }
    text += "!";
    return text;
}

std::string paramAcceptText(const ParamTable& table, std::size_t row, std::string_view text) {
    const ParamRow& r = table.rows.at(row);
    switch (r.kind()) {
        case PK_TEXT:
            r.text() = std::string(text);
            break;
        case PK_INT:
        case PK_FLOAT:
        case PK_BOOL:
            paramParseValue(table, row, text);
            break;
        case PK_CHOICE:
            if (!text.empty()) r.letter() = text[0];
            break;
        case PK_YESNO:
            r.letter() = !text.empty() && text[0] == '1' ? 'Y' : 'N';
            break;
        default:
            break;
    }
    return paramFormatValue(table, row);
}

std::string paramChoiceTitle(const ParamRow& row) {
    std::string_view label = row.label;
    return std::string(label.substr(0, label.find(':')));
}

std::vector<std::string> paramChoiceOptions(const ParamRow& row) {
    std::vector<std::string> options;
    std::string_view label = row.label;
    std::size_t colon = label.find(':');
    if (colon == std::string_view::npos) return options;
    std::string_view rest = label.substr(colon + 1);
    for (;;) {
        std::size_t comma = rest.find(',');
        options.emplace_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
    }
    return options;
}

}  // namespace ephys
