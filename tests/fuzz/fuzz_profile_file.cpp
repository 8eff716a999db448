// The ini-file reader on arbitrary text. Besides not crashing: writing a profile out and reading
// it again gives the same value for every key of every section, and a value that was set reads
// back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "params/profile_file.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// A carriage return that ends a line's text is written before the line end, where the reader
// takes it for part of a CR LF line end (and then drops the blanks before it): values are
// compared without carriage returns and blanks at their end.
std::optional<std::string> withoutEndingCr(std::optional<std::string> value) {
    while (value && !value->empty() &&
           (value->back() == '\r' || value->back() == ' ' || value->back() == '\t'))
        value->pop_back();
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ephys::ProfileFile profile = ephys::ProfileFile::parse(text);
    const std::string written = profile.text();
    const ephys::ProfileFile reread = ephys::ProfileFile::parse(written);
    std::string_view section;
    for (std::string_view rest = written; !rest.empty();) {
        const std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        if (line.starts_with('[') && line.find(']') != std::string_view::npos) {
            section = line.substr(1, line.find(']') - 1);
        } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
            const std::string_view key = line.substr(0, eq);
            check(withoutEndingCr(profile.get(section, key)) == withoutEndingCr(reread.get(section, key)));
        }
    }

    // Section and key names taken from the input itself, so that lookups hit what is there.
    const std::size_t split = text.find('\n');
    const std::string_view first = text.substr(0, std::min<std::size_t>(split, 40));
    for (std::string_view section : {std::string_view("Parameters"), std::string_view("General"), first}) {
        (void)profile.hasSection(section);
        for (std::string_view key : {std::string_view("Frames"), first}) (void)profile.get(section, key);
    }

    profile.set("General", "Fuzzed", "value");
    const auto value = profile.get("General", "Fuzzed");
    check(value.has_value());
    profile.remove("General", "Fuzzed");
    (void)profile.text();
    return 0;
}
