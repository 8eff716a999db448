#include "params/number_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "params/c_numbers.h"

namespace ephys {
namespace {

TEST(FormatNumber, FourSignificantDigits) {
    EXPECT_EQ(formatNumber(1e-36, 4), "0");
    EXPECT_EQ(formatNumber(-1e-36, 4), "0");
    EXPECT_EQ(formatNumber(0.0, 4), "0");
    EXPECT_EQ(formatNumber(100000, 4), "100000");
    EXPECT_EQ(formatNumber(1e9, 4), "1000000000");
    EXPECT_EQ(formatNumber(1e10, 4), "1e10");
    EXPECT_EQ(formatNumber(-1e9, 4), "-1e9") << "the negative limit is one lower";
    EXPECT_EQ(formatNumber(-1e8, 4), "-100000000");
    EXPECT_EQ(formatNumber(0.001234, 4), "0.001234");
    EXPECT_EQ(formatNumber(-0.001234, 4), "-0.001234");
    EXPECT_EQ(formatNumber(12345678, 4), "12350000");
    EXPECT_EQ(formatNumber(0.5, 4), "0.5");
    EXPECT_EQ(formatNumber(12.25, 4), "12.25");
    EXPECT_EQ(formatNumber(100, 4), "100");
    EXPECT_EQ(formatNumber(1000, 4), "1000");
    EXPECT_EQ(formatNumber(10.5, 4), "10.5");
    EXPECT_EQ(formatNumber(0.0000015, 4), "1.5e-6");
    EXPECT_EQ(formatNumber(9.99996, 4), "10") << "rounding carries into a new digit";
    EXPECT_EQ(formatNumber(0.00001234, 4), "0.00001234");
    EXPECT_EQ(formatNumber(-0.00001234, 4), "-1.234e-5");
    EXPECT_EQ(formatNumber(-0.0001234, 4), "-0.0001234");
    // Floats as the parameter records hold them.
    EXPECT_EQ(formatNumber(0.1f, 4), "0.1");
    EXPECT_EQ(formatNumber(0.01f, 4), "0.01");
    EXPECT_EQ(formatNumber(3.14159f, 6), "3.14159");
    EXPECT_EQ(formatNumber(-100000.0f, 4), "-100000");
}

TEST(FormatNumber, TrimmedKeepsItsZeros) {
    EXPECT_EQ(formatNumberTrimmed(0.0000015, 4), "1.500e-6");
    EXPECT_EQ(formatNumberTrimmed(1.5e11, 4), "1.500e11");
    EXPECT_EQ(formatNumberTrimmed(100, 4), "100.0");
    EXPECT_EQ(formatNumberTrimmed(0.5, 4), "0.5000");
    EXPECT_EQ(formatNumberTrimmed(12345678, 4), "12350000");
    EXPECT_EQ(formatNumberTrimmed(2.0, 1), "2");
    // Every result fits its field of digits + 6 characters.
    for (double x : {1e-30, -1e-30, 3.3e33, -3.3e33, -1.234567e-20, 1.0 / 3.0, -2.0 / 3.0}) {
        for (int digits = 1; digits <= 8; ++digits) {
            EXPECT_LE(formatNumberTrimmed(x, digits).size(), static_cast<std::size_t>(digits + 6))
                << x << " at " << digits << " digits";
        }
    }
}

// Switches LC_NUMERIC to a locale with a decimal comma, compiling one into a private folder when
// the machine has none installed. Returns false when no such locale can be had.
bool useDecimalCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
    }
    std::string dir = ::testing::TempDir() + "ephys-locale";
    std::string command = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(("mkdir -p " + dir).c_str()) != 0 || std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", dir.c_str(), 1);
    bool ok = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

TEST(FormatNumber, IgnoresTheUsersLocale) {
    if (!useDecimalCommaLocale()) GTEST_SKIP() << "no locale with a decimal comma available";
    ASSERT_EQ(*std::localeconv()->decimal_point, ',');
    EXPECT_EQ(formatNumber(12.25, 4), "12.25");
    EXPECT_EQ(formatNumber(1.5e-6, 4), "1.5e-6");
    EXPECT_EQ(formatFixedWidth(1.235), "    1.235");
    EXPECT_DOUBLE_EQ(cAtof("2.5"), 2.5);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(FormatEngineering, PrefixesAndScaledValues) {
    double scaled = 0;
    EXPECT_EQ(formatEngineering("s", 0.0123, 3, scaled), "12.3 ms");
    EXPECT_DOUBLE_EQ(scaled, 0.0123);
    EXPECT_EQ(formatEngineering("ms", 12.3, 3, scaled), "12.3 ms");
    EXPECT_DOUBLE_EQ(scaled, 12.3);
    EXPECT_EQ(formatEngineering("ms", 2000, 1, scaled), "2 s");
    EXPECT_DOUBLE_EQ(scaled, 2000);
    EXPECT_EQ(formatEngineering("pA", 50, 1, scaled), "50 pA");
    EXPECT_DOUBLE_EQ(scaled, 50);
    EXPECT_EQ(formatEngineering("pA", 5000, 1, scaled), "5 nA");
    EXPECT_DOUBLE_EQ(scaled, 5000);
    EXPECT_EQ(formatEngineering("mV", 0.02, 1, scaled), "20 \xC2\xB5V");
    EXPECT_EQ(formatEngineering("s", -0.0123, 3, scaled), "-12.3 ms");
    EXPECT_DOUBLE_EQ(scaled, -0.0123);
    EXPECT_EQ(formatEngineering("s", 0.1, 1, scaled), "100 ms") << "zeros fill up to the point";
    EXPECT_EQ(formatEngineering("s", 1e20, 2, scaled), "1.0e20 s") << "beyond tera the number is scientific";
    EXPECT_DOUBLE_EQ(scaled, 1e20);
    // The plain number: no unit, a unit starting with a blank, a unit without prefix.
    EXPECT_EQ(formatEngineering(" ", 3.5, 2, scaled), "3.5");
    EXPECT_DOUBLE_EQ(scaled, 3.5);
    scaled = 0;
    EXPECT_EQ(formatEngineering("Hz", 1500, 2, scaled), "1500");
    scaled = 1;
    EXPECT_EQ(formatEngineering("Hz", 1500, 2, scaled), "1.5 kHz");
    EXPECT_DOUBLE_EQ(scaled, 1500);
    EXPECT_EQ(formatEngineering("%", 0.25, 3, scaled), "25.0%");
    EXPECT_DOUBLE_EQ(scaled, 0.25);
}

TEST(FormatEngineering, UnitPartForAxisTitles) {
    EXPECT_EQ(engineeringUnit("s", 0.001), "ms");
    EXPECT_EQ(engineeringUnit("pA", 1000), "nA");
    EXPECT_EQ(engineeringUnit("mV", 1000), "V");
    EXPECT_EQ(engineeringUnit("s", 1e-6), "\xC2\xB5s");
    EXPECT_EQ(engineeringUnit("Hz", 1000), "");
    EXPECT_EQ(kEnginePrefixes, "fpn\xC2\xB5m kMgt");
}

TEST(FormatFixedWidth, TimesOfTheEventTable) {
    EXPECT_EQ(formatFixedWidth(1.235), "    1.235");
    EXPECT_EQ(formatFixedWidth(1.2356), "    1.236") << "rounded from 1 s on";
    EXPECT_EQ(formatFixedWidth(1234.5678), " 1234.568");
    EXPECT_EQ(formatFixedWidth(0.1239), "    0.123") << "cut below 1 s";
    EXPECT_EQ(formatFixedWidth(0.99999996), "    1.000");
    EXPECT_EQ(formatFixedWidth(12345.678), "12345.68 ");
    EXPECT_EQ(formatFixedWidth(9999.9996), "10000.00 ") << "the 7-digit rounding decides the range";
    EXPECT_EQ(formatFixedWidth(9999.9994), " 9999.999");
    EXPECT_EQ(formatFixedWidth(0.05), "5.0000e-2");
    EXPECT_EQ(formatFixedWidth(123456.7), "1.23457e5");
    EXPECT_EQ(formatFixedWidth(1.5e-12), "1.500e-12");
    EXPECT_EQ(formatFixedWidth(0.0), "    0.000");
    for (double t = 1e-6; t < 1e7; t *= 1.37) EXPECT_EQ(formatFixedWidth(t).size(), 9u) << t;
}

TEST(CNumbers, AtoiAndAtofReadAsFarAsTheyGo) {
    EXPECT_EQ(cAtoi("12abc"), 12);
    EXPECT_EQ(cAtoi("  -7"), -7);
    EXPECT_EQ(cAtoi("--5"), 0);
    EXPECT_EQ(cAtoi("1e3"), 1);
    EXPECT_EQ(cAtoi(""), 0);
    EXPECT_EQ(cAtoi("99999999999"), 2147483647) << "held at the 32-bit limit";
    EXPECT_EQ(cAtoi("-99999999999"), -2147483647 - 1);
    EXPECT_DOUBLE_EQ(cAtof("1e3"), 1000);
    EXPECT_DOUBLE_EQ(cAtof("2.5mV"), 2.5);
    EXPECT_DOUBLE_EQ(cAtof(" -.5"), -0.5);
    EXPECT_DOUBLE_EQ(cAtof("3e"), 3);
    EXPECT_DOUBLE_EQ(cAtof("nan"), 0);
    EXPECT_DOUBLE_EQ(cAtof("inf"), 0);
    EXPECT_DOUBLE_EQ(cAtof("0x10"), 0);
    EXPECT_DOUBLE_EQ(cAtof("abc"), 0);
}

}  // namespace
}  // namespace ephys
