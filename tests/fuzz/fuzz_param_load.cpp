// Parameter files on arbitrary text: reading them into a record with one row of every kind, then
// saving the record and reading the saved file into a second record gives the same values (a
// line break inside a text is saved as a blank).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_table.h"
#include "params/param_files.h"
#include "params/profile_file.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

std::string asSaved(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ephys;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::SampleRecord record;
    const ParamTable table = fuzz::sampleTable(record);
    paramLoad(kParametersSection, table, ProfileFile::parse(text));
    for (std::size_t row = 0; row < table.rows.size(); ++row) (void)paramFormatValue(table, row);

    ProfileFile saved;
    check(paramSave(kParametersSection, table, saved) == static_cast<int>(table.rows.size()));
    const ProfileFile reread = ProfileFile::parse(saved.text());
    fuzz::SampleRecord again;
    const ParamTable second = fuzz::sampleTable(again);
    paramLoad(kParametersSection, second, reread);
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        // A choice letter NUL (from a file with NUL bytes) is shown and saved as no choice, which
        // reads back as the default.
        if (table.rows[row].kind() == PK_CHOICE && table.rows[row].letter() == '\0') continue;
        check(asSaved(paramFormatValue(table, row)) == paramFormatValue(second, row));
    }
    return 0;
}
