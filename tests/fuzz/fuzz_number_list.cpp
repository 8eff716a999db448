// Frame and sweep lists on arbitrary text. The first two bytes choose the limits. Besides not
// crashing: the count call, the element calls and the whole-list call agree, and every element
// lies within the limits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "params/number_list.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Limits as the programs use them: from 0 or 1 up to a frame or sweep count.
    const int minValue = data[0] & 1;
    const int maxValue = minValue + 1 + data[1] * 40;
    const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::string counted = input;
    int index = 0;
    const int count = ephys::parseNumberList(counted, index, minValue, maxValue);
    check(count >= 0);

    std::string whole = input;
    const auto list = ephys::expandNumberList(whole, minValue, maxValue);
    check(list.has_value() == (count > 0) || (list && list->empty() && count == 0));
    if (!list) return 0;
    check(whole == counted);
    check(static_cast<int>(list->size()) == count);
    for (std::int32_t v : *list) check(v >= minValue && v <= maxValue);

    // Element calls read the completed text, as the programs do after the count call.
    const int probes = count < 8 ? count : 8;
    for (int k = 1; k <= probes; ++k) {
        for (int element : {k, count + 1 - k}) {
            std::string text = counted;
            int at = element;
            (void)ephys::parseNumberList(text, at, minValue, maxValue);
            check(at == (*list)[static_cast<std::size_t>(element - 1)]);
        }
    }
    return 0;
}
