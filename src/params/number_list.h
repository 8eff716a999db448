// Lists of frame or sweep numbers as users type them: "1..20,25,30..90Q5", "1..100,X10..20".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ephys {

// Character classes of list text: 1 digit, 0 separator (',', '.', 'Q', 'X' and the end of
// the text), -1 anything else (blanks and '-' included). Letters count after upper-casing.
int listCharClass(char c);

// The first integer of the text: separators are skipped, a character of class -1 ends the search
// with 0 and leaves `rest` unchanged; otherwise the longest run of digits is read (atoi) and `rest`
// is set just after it.
int findint(std::string_view text, std::size_t& rest);

// Reads a list of numbers, each of which must lie in [minValue, maxValue].
// The caller's text is upper-cased in place. With index 0 the call only counts and checks, and
// completes an open end: a text ending in ".." after its last number gets maxValue appended, so
// "5.." becomes "5..max" and stays so. With index k >= 1 the k-th element (from 1) is returned
// through index (0 when there is none). Returns the element count, 0 for an invalid list.
// A 'Q' ends the list and gives the range step (atoi of what follows it); a step below 1 makes
// the list invalid. After an 'X' the reader removes the numbers and ranges that follow instead
// of adding them. Ranges run up or down; duplicates are kept.
int parseNumberList(std::string& text, int& index, int minValue, int maxValue);

// The whole list at once, as the count call reads it (upper-casing and completing the text):
// the run drivers walk long frame lists with it instead of asking for each element in turn.
std::optional<std::vector<std::int32_t>> expandNumberList(std::string& text, int minValue, int maxValue);

}  // namespace ephys
