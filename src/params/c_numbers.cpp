#include "params/c_numbers.h"

#include <locale.h>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace ephys {

namespace {

locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::int32_t cAtoi(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= kLimit) value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

double cAtof(std::string_view text) {
    // The classic decimal syntax only: [blanks][sign]digits[.digits][(e|E)[sign]digits]. Texts
    // such as "nan", "inf" or "0x1p3" read as 0 (or as far as their decimal part goes), so a
    // parameter never becomes a NaN from a file.
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t mantissaDigits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissaDigits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0) return 0.0;
    std::size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        std::size_t expStart = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j > expStart) end = j;
    }
    std::string number(text.substr(start, end - start));
    locale_t loc = cLocale();
    if (loc == static_cast<locale_t>(nullptr)) return std::strtod(number.c_str(), nullptr);
    return strtod_l(number.c_str(), nullptr, loc);
}

DecimalDigits decimalDigits(double x, int digits) {
    DecimalDigits result;
    if (digits < 1) digits = 1;
    if (digits > 40) digits = 40;
    result.negative = std::signbit(x) && x != 0.0;
    if (!std::isfinite(x)) {
        // ecvt has no digits for these; keep the text recognisable.
        result.digits = std::isnan(x) ? "nan" : "inf";
        result.exponent = 1;
        return result;
    }
    if (x == 0.0) {
        result.digits.assign(static_cast<std::size_t>(digits), '0');
        result.exponent = 1;
        return result;
    }
    char buffer[96];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(x),
                                   std::chars_format::scientific, digits - 1);
    (void)ec;  // the buffer is large enough for 40 digits and any exponent
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    std::size_t e = text.find('e');
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') result.digits.push_back(text[i]);
    }
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);
    result.exponent = exponent + 1;
    return result;
}

std::string formatFixed(double x, int decimals) {
    char buffer[400];
    if (!std::isfinite(x)) return std::isnan(x) ? "nan" : (x < 0 ? "-inf" : "inf");
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

}  // namespace ephys
