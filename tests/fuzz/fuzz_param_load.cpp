// Parameter files on arbitrary text: reading them into a record with one row of every kind
// leaves every choice row on one of its own letters, and saving the record and reading the saved
// file into a second record gives the same values (a line break inside a text is saved as a
// blank). An empty text is not read back: the second record keeps its own.
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

// A text as it reads back once saved: line breaks become blanks.
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
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        (void)paramFormatValue(table, row);
        const ParamRow& r = table.rows[row];
        if (r.kind() == PK_CHOICE)
            check(r.letter() != '\0' && std::string_view(r.keys).find(r.letter()) != std::string_view::npos);
    }

    ProfileFile file;
    check(paramSave(kParametersSection, table, file) == static_cast<int>(table.rows.size()));
    const ProfileFile reread = ProfileFile::parse(file.text());
    fuzz::SampleRecord again;
    const ParamTable second = fuzz::sampleTable(again);
    paramLoad(kParametersSection, second, reread);
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        const std::string saved = asSaved(paramFormatValue(table, row));
        if (!saved.empty()) check(saved == paramFormatValue(second, row));
    }
    return 0;
}
