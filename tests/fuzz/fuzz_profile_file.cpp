// The ini-file reader on arbitrary text. Besides not crashing: writing a profile out and reading
// it again gives the same value for every key of every section, and any value that was set reads
// back as it was set.
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

// A value as it reads back once set: line breaks become blanks.
std::string asSet(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
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
            check(profile.get(section, key) == reread.get(section, key));
        }
    }

    // Section and key names taken from the input itself, so that lookups hit what is there.
    const std::size_t split = text.find('\n');
    const std::string_view first = text.substr(0, std::min<std::size_t>(split, 40));
    for (std::string_view section : {std::string_view("Parameters"), std::string_view("General"), first}) {
        (void)profile.hasSection(section);
        for (std::string_view key : {std::string_view("Frames"), first}) (void)profile.get(section, key);
    }

    // A value taken from the input (blanks, quotes and carriage returns included) reads back as
    // it was set, before and after writing the profile out.
    profile.set("General", "Fuzzed", first);
    check(profile.get("General", "Fuzzed") == asSet(first));
    check(ephys::ProfileFile::parse(profile.text()).get("General", "Fuzzed") == asSet(first));
    profile.remove("General", "Fuzzed");
    (void)profile.text();
    return 0;
}
