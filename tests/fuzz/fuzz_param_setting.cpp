// "LABEL=VALUE" settings of the batch command line on arbitrary text. Besides not crashing: a
// refused setting leaves the record as it was and says why; an accepted one leaves every limited
// row within its limits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_table.h"
#include "params/param_settings.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ephys;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::SampleRecord record;
    const ParamTable table = fuzz::sampleTable(record);
    const fuzz::SampleRecord before = record;
    std::string error;
    if (!paramApplySetting(table, text, error)) {
        check(record == before);
        check(!error.empty());
        return 0;
    }
    check(record.points >= 1 && record.points <= 100000);
    check(record.threshold >= -1000 && record.threshold <= 1000);
    check(record.polarity == 'P' || record.polarity == 'N' || record.polarity == 'B');
    check(record.verbose == 'Y' || record.verbose == 'N');
    check(record.plots == 0 || record.plots == 1);
    return 0;
}
