// Number conversions with the C library's rules, always in the "C" numeric locale whatever the
// user's locale: atoi, atof and the digit string of ecvt.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ephys {

// atoi: leading blanks, an optional sign, then decimal digits as far as they go; 0 when there
// are none. Values beyond the 32-bit range are clamped to it instead of overflowing.
std::int32_t cAtoi(std::string_view text);

// atof: the decimal number at the start of the text (blanks, sign, digits, point, exponent) in
// the "C" locale; 0 when there is none. "nan", "inf" and hex floats are not numbers here.
double cAtof(std::string_view text);

// The significant digits of x rounded to `digits` digits and the decimal exponent E such that
// |x| = 0.d1d2... x 10^E, as ecvt gives them. Zero gives all zeros and E = 1... like ecvt does.
struct DecimalDigits {
    std::string digits;  // exactly `digits` characters '0'..'9'
    int exponent = 0;    // E
    bool negative = false;
};
DecimalDigits decimalDigits(double x, int digits);

// printf("%.*f", decimals, x) in the "C" locale.
std::string formatFixed(double x, int decimals);

}  // namespace ephys
