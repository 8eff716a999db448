#include "params/number_list.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

#include "params/c_numbers.h"

namespace ephys {

int listCharClass(char c) {
    if (c >= '0' && c <= '9') return 1;
    switch (c) {
        case ',':
        case '.':
        case 'Q':
        case 'q':
        case 'X':
        case 'x':
        case '\0':
            return 0;
        default:
            return -1;
    }
}

int findint(std::string_view text, std::size_t& rest) {
    std::size_t i = 0;
    while (i < text.size() && listCharClass(text[i]) == 0) ++i;
    if (i < text.size() && listCharClass(text[i]) < 0) return 0;
    std::size_t end = i;
    while (end < text.size() && listCharClass(text[end]) == 1) ++end;
    rest = end;
    return cAtoi(text.substr(i, end - i));
}

namespace {

std::string trimBlanks(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return std::string(s.substr(b, e - b));
}

// Completes an open end: text whose last digit is followed only by ".." (blanks around it
// ignored) gets the upper limit appended.
void completeOpenEnd(std::string& text, int maxValue) {
    std::size_t lastDigit = text.find_last_of("0123456789");
    if (lastDigit == std::string::npos) return;
    if (trimBlanks(std::string_view(text).substr(lastDigit + 1)) != "..") return;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += std::to_string(maxValue);
}

// The list itself: every element in order, or nothing when the text is not a valid list.
std::optional<std::vector<std::int32_t>> readList(std::string_view text, int minValue, int maxValue) {
    std::int64_t step = 1;
    std::size_t q = text.find('Q');
    if (q != std::string_view::npos) {
        step = cAtoi(text.substr(q + 1));
        // A step below 1 cannot walk a range; such a list is refused rather than guessed at.
        if (step < 1) return std::nullopt;
        text = text.substr(0, q);
    }
    const std::size_t capacity =
        static_cast<std::size_t>(std::max<std::int64_t>(0, std::int64_t{maxValue} - minValue) + 21);
    auto inRange = [&](std::int64_t n) { return n >= minValue && n <= maxValue; };

    std::vector<std::int32_t> list;
    std::size_t pos = 0;
    std::int64_t n = findint(text, pos);
    if (!inRange(n)) return std::nullopt;
    list.push_back(static_cast<std::int32_t>(n));
    std::int64_t rangeStart = n;
    bool excluding = false;

    for (;;) {
        std::size_t next = pos;
        while (next < text.size() && listCharClass(text[next]) == 0) ++next;
        if (next >= text.size()) break;
        if (listCharClass(text[next]) < 0) return std::nullopt;
        std::string separator = trimBlanks(text.substr(pos, next - pos));
        std::size_t rest = 0;
        n = findint(text.substr(pos), rest);
        pos += rest;
        if (!inRange(n)) return std::nullopt;
        if (std::size_t x = separator.find('X'); x != std::string::npos) {
            separator.erase(x, 1);
            excluding = true;
        }
        if (separator == ",") {
            if (excluding) {
                std::erase(list, static_cast<std::int32_t>(n));
            } else {
                if (list.size() >= capacity) return std::nullopt;
                list.push_back(static_cast<std::int32_t>(n));
            }
            rangeStart = n;
        } else if (separator == "..") {
            if (n == rangeStart) continue;
            const std::int64_t direction = n > rangeStart ? 1 : -1;
            const std::int64_t stride = step * direction;
            const std::int64_t steps = (n - rangeStart) / stride;  // whole steps that stay within n
            if (excluding) {
                const std::int64_t lo = std::min(rangeStart, n), hi = std::max(rangeStart, n);
                std::erase_if(list, [&](std::int32_t v) {
                    if (v == rangeStart || v < lo || v > hi) return false;
                    return (v - rangeStart) % stride == 0;
                });
            } else {
                if (steps < 0 || list.size() + static_cast<std::size_t>(steps) > capacity)
                    return std::nullopt;
                for (std::int64_t k = 1; k <= steps; ++k) {
                    list.push_back(static_cast<std::int32_t>(rangeStart + k * stride));
                }
            }
        } else {
            return std::nullopt;
        }
    }
    return list;
}

}  // namespace

std::optional<std::vector<std::int32_t>> expandNumberList(std::string& text, int minValue, int maxValue) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    completeOpenEnd(text, maxValue);
    return readList(text, minValue, maxValue);
}

int parseNumberList(std::string& text, int& index, int minValue, int maxValue) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (index == 0) completeOpenEnd(text, maxValue);
    auto list = readList(text, minValue, maxValue);
    if (!list) return 0;
    if (index >= 1) {
        index = static_cast<std::size_t>(index) <= list->size() ? (*list)[static_cast<std::size_t>(index) - 1]
                                                                : 0;
    }
    return static_cast<int>(list->size());
}

}  // namespace ephys
