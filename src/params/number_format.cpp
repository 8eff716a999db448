#include "params/number_format.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "params/c_numbers.h"

namespace ephys {

namespace {

// Exact powers of ten for the prefix conversions: multiplying by 10^p for p >= 0 and dividing by
// 10^-p otherwise keeps a single rounding.
double scaleByPowerOfTen(double x, int p) {
    double factor = std::pow(10.0, std::abs(p));
    return p >= 0 ? x * factor : x / factor;
}

std::string exponentText(const DecimalDigits& d, std::size_t mantissaDigits) {
    std::string s;
    if (d.negative) s.push_back('-');
    s.push_back(d.digits[0]);
    if (mantissaDigits > 1) {
        s.push_back('.');
        s.append(d.digits, 1, mantissaDigits - 1);
    }
    s.push_back('e');
    s += std::to_string(d.exponent - 1);
    return s;
}

std::string trimmedOnce(double x, int digits) {
    const int width = digits + 6;
    if (!std::isfinite(x)) return std::isnan(x) ? "nan" : (x < 0 ? "-inf" : "inf");
    DecimalDigits d = decimalDigits(x, digits);
    const int e = d.exponent;
    const int n = static_cast<int>(d.digits.size());
    const bool exponentForm = d.negative ? (e > width - 1 || e < -3) : (e > width || e < -4);
    if (exponentForm) return exponentText(d, d.digits.size());
    std::string s = d.negative ? "-" : "";
    if (e > 0) {
        if (e >= n) {
            s += d.digits;
            s.append(static_cast<std::size_t>(e - n), '0');
        } else {
            s.append(d.digits, 0, static_cast<std::size_t>(e));
            s.push_back('.');
            s.append(d.digits, static_cast<std::size_t>(e));
        }
    } else {
        s += "0.";
        s.append(static_cast<std::size_t>(-e), '0');
        s += d.digits;
    }
    return s;
}

struct Prefix {
    std::string_view text;
    int power;
};

// The prefix a unit starts with, if any. Micro is accepted as UTF-8 or as the Latin-1 byte.
const Prefix* unitPrefix(std::string_view unit) {
    static const Prefix kPrefixes[] = {{"f", -15},   {"p", -12}, {"n", -9}, {"\xC2\xB5", -6},
                                       {"\xB5", -6}, {"m", -3},  {" ", 0},  {"k", 3},
                                       {"M", 6},     {"g", 9},   {"t", 12}};
    for (const Prefix& p : kPrefixes) {
        if (unit.substr(0, p.text.size()) == p.text) return &p;
    }
    return nullptr;
}

// The prefix text of group g (-5 femto .. 4 tera); empty for g = 0.
std::string_view groupPrefix(int g) {
    static const std::string_view kGroups[] = {"f", "p", "n", "\xC2\xB5", "m", "", "k", "M", "g", "t"};
    return kGroups[g + 5];
}

}  // namespace

std::string formatNumberTrimmed(double x, int digits) {
    if (digits < 1) digits = 1;
    const std::size_t width = static_cast<std::size_t>(digits) + 6;
    std::string s = trimmedOnce(x, digits);
    // A text that does not fit its field is made again with one significant digit fewer.
    for (int d = digits - 1; s.size() > width && d >= 1; --d) s = trimmedOnce(x, d);
    return s;
}

std::string formatNumber(double x, int digits) {
    if (std::fabs(x) < 1e-35) return "0";
    std::string s = formatNumberTrimmed(x, digits);
    if (std::size_t e = s.find('e'); e != std::string::npos) {
        std::size_t cut = e;
        while (cut > 0 && s[cut - 1] == '0') --cut;
        if (cut > 0 && s[cut - 1] == '.') --cut;
        s.erase(cut, e - cut);
    } else if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
        if (!s.empty() && s.back() == '.') s.pop_back();
    }
    return s;
}

std::string formatEngineering(std::string_view unitText, double x, int digits, double& scaled) {
    if (digits < 1) digits = 1;
    // No unit, or one that starts with a blank: the plain number.
    auto plain = [&] {
        std::string s = formatNumberTrimmed(x, digits);
        scaled = cAtof(s);
        return s;
    };
    if (unitText.empty() || unitText[0] == ' ') return plain();
    if (unitText[0] == '%') {
        std::string s = formatNumberTrimmed(100.0 * x, digits);
        scaled = cAtof(s) / 100.0;
        return s + std::string(unitText);
    }
    // A one-character unit is a base unit ("s", "A"), never a prefix on its own.
    // Built by appending: GCC 12 mistakes `literal + std::string` for an overlapping copy at -O3.
    std::string unit;
    if (unitText.size() < 2) unit.push_back(' ');
    unit.append(unitText);
    int unitPower = 0;
    if (const Prefix* p = unitPrefix(unit)) {
        unitPower = p->power;
        x = scaleByPowerOfTen(x, unitPower);
        unit.erase(0, p->text.size());
    } else if (scaled == 0.0) {
        return plain();
    }

    if (!std::isfinite(x)) return plain();
    DecimalDigits d = decimalDigits(x, digits);
    const int e = d.exponent;
    const int g = e > 0 ? (e - 1) / 3 : e / 3 - 1;
    std::string number;
    std::string text;
    if (g > 4 || g < -5) {
        number = exponentText(d, d.digits.size());
        text = number + " ";
        scaled = scaleByPowerOfTen(cAtof(number), -unitPower);
    } else {
        const std::size_t whole = static_cast<std::size_t>(e - 3 * g);
        std::string body = d.digits.substr(0, whole);
        if (body.size() < whole) body.append(whole - body.size(), '0');
        if (d.digits.size() > whole) body.append(".").append(d.digits, whole);
        if (d.negative) number.push_back('-');
        number.append(body);
        text = number + " " + std::string(groupPrefix(g));
        scaled = scaleByPowerOfTen(cAtof(number), 3 * g - unitPower);
    }
    return text + unit;
}

std::string engineeringUnit(std::string_view unit, double x) {
    double scaled = 0.0;
    std::string s = formatEngineering(unit, x, 1, scaled);
    std::size_t i = 0;
    while (i < s.size() && std::string_view("0123456789 -.Ee").find(s[i]) != std::string_view::npos) ++i;
    return s.substr(i);
}

std::string formatFixedWidth(double x) {
    constexpr std::size_t kWidth = 9;
    if (!std::isfinite(x)) return std::string(kWidth - 3, ' ') + (std::isnan(x) ? "nan" : "inf");
    if (x == 0.0) return "    0.000";
    const DecimalDigits d = decimalDigits(x, 7);
    const std::string sign = d.negative ? "-" : "";
    std::string s;
    if (d.exponent >= 1 && d.exponent <= 4) {
        s = formatFixed(x, 3);
    } else if (d.exponent == 0) {
        s = sign + "0." + d.digits.substr(0, 3);
    } else if (d.exponent == 5) {
        s = sign + d.digits.substr(0, 5) + "." + d.digits.substr(5, 2) + " ";
    }
    if (!s.empty() && s.size() <= kWidth) return std::string(kWidth - s.size(), ' ') + s;
    // Exponent notation with as many significant digits as fit in the field.
    for (std::size_t mantissa = 7; mantissa >= 1; --mantissa) {
        s = exponentText(decimalDigits(x, static_cast<int>(mantissa)), mantissa);
        if (s.size() <= kWidth) break;
    }
    return std::string(kWidth - std::min(kWidth, s.size()), ' ') + s;
}

}  // namespace ephys
