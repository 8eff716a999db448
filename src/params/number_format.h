// Numbers as the programs show and write them: the short significant-digit form of the dialogs,
// parameter files, plot labels and outputs; engineering prefixes for axis and bar units; the
// fixed-width time field of the event table.
#pragma once

#include <string>
#include <string_view>

namespace ephys {

// The engineering prefixes from femto to tera; the blank stands for no prefix and micro is the
// UTF-8 "µ". A prefix's power of ten is 3 x (its position - the blank's position).
inline constexpr std::string_view kEnginePrefixes = "fpn\xC2\xB5m kMgt";

// x rounded to `digits` significant digits in a field of digits + 6 characters, fixed notation
// where it fits (no zero removal), exponent notation ("1.500e-6") for very large or small
// magnitudes; leading and trailing blanks removed.
std::string formatNumberTrimmed(double x, int digits);

// The short form: magnitudes below 1e-35 give "0"; otherwise formatNumberTrimmed with trailing
// zeros and a trailing point removed (0.5, 12.25, 100, 1.5e-6, 12350000 for 12345678 at 4 digits).
std::string formatNumber(double x, int digits);

// x with an engineering prefix before its unit ("12.3 ms" for 0.0123 and unit "s" at 3 digits).
// A unit that starts with a prefix ("ms", "pA") takes x in that unit. `scaled` returns the value
// as printed, in the caller's unit. A unit that is empty or starts with a blank gives the plain
// number; a unit starting with '%' gives 100 x followed by the unit; a unit of two or more
// characters without a prefix ("Hz") gives the plain number unless `scaled` was non-zero on entry.
std::string formatEngineering(std::string_view unit, double x, int digits, double& scaled);

// Only the prefix and unit part of formatEngineering at 1 digit ("ms"), for axis titles; empty
// when the unit gets no prefix ("Hz").
std::string engineeringUnit(std::string_view unit, double x);

// The 9-character time field of the event table: 7 significant digits with the point in the
// sixth place. 1 s to below 10000 s: right-aligned with 3 decimals ("    1.235"); 0.1 s to below
// 1 s: "    0." and the first three decimals; 10000 s to below 100000 s: seven digits and a
// blank ("12345.67 "); otherwise exponent notation with as many digits as fit ("5.0000e-2").
std::string formatFixedWidth(double x);

}  // namespace ephys
