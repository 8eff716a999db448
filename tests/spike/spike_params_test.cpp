#include "spike/spike_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "params/param_files.h"
#include "params/profile_file.h"

namespace ephys {
namespace {

class SpikeTable : public ::testing::Test {
  protected:
    void SetUp() override { spikeBuildParamTable(p, table, messages); }

    const ParamRow& row(const char* label) {
        for (const ParamRow& r : table.rows)
            if (std::strcmp(r.label, label) == 0) return r;
        ADD_FAILURE() << "no row labelled \"" << label << '"';
        return table.rows.front();
    }

    SpikeParams p;
    ParamTable table;
    CapturedMessages messages;
};

TEST_F(SpikeTable, FillsFourPagesWithOneFieldAndOneLabelPerRow) {
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(table.rows.size(), 36u);
    EXPECT_EQ(table.pageCapacity, 6u);
    EXPECT_EQ(table.pageSizes, (std::vector<int>{8, 9, 9, 10}));
    EXPECT_EQ(table.pageNames,
              (std::vector<std::string>{"Main", "Intracellular", "Output", "Extracellular"}));
    const auto* begin = reinterpret_cast<const char*>(&p);
    std::set<const void*> fields;
    std::set<std::string> labels;
    for (const ParamRow& r : table.rows) {
        const auto* field = r.kind() == PK_INT     ? static_cast<const void*>(&r.integer())
                            : r.kind() == PK_FLOAT ? static_cast<const void*>(&r.real())
                                                   : static_cast<const void*>(&r.letter());
        EXPECT_TRUE(field >= begin && field < begin + sizeof(p)) << r.label;
        EXPECT_TRUE(fields.insert(field).second) << "shared field: " << r.label;
        std::string key = r.label;
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(labels.insert(key).second) << r.label;
        if (r.kind() == PK_CHOICE) {
            const std::string options = std::strchr(r.label, ':');
            EXPECT_EQ(std::strlen(r.keys), 1 + std::count(options.begin(), options.end(), ',')) << r.label;
        }
    }
}

TEST_F(SpikeTable, RowsCarryDocumentedKindsLimitsAndDefaults) {
    struct Expected {
        const char* label;
        std::uint32_t kind;
        bool limits;
        double min, max, value;
    };
    const Expected cases[] = {
        {"Last Channel (0-15)", PK_INT, true, 0, 15, 15},
        {"Gap Free Frame Length (samples)", PK_INT, true, 100, 100000, 16384},
        {"Spike detection threshold (mV)", PK_FLOAT, true, -60, 50, -25},
        {"Detection Hysteresis (mV)", PK_FLOAT, true, -60, 50, -28},
        {"Interval to Measure", PK_INT, false, 0, 0, 5},
        {"# spikes/burst", PK_INT, false, 0, 0, 5},
        {"Last Noise Sweep", PK_INT, false, 0, 0, 10},
        {"Minutes per group", PK_FLOAT, false, 0, 0, 3},
    };
    for (const Expected& e : cases) {
        SCOPED_TRACE(e.label);
        const ParamRow& r = row(e.label);
        EXPECT_EQ(r.kind(), e.kind);
        ASSERT_EQ(r.hasLimits(), e.limits);
        if (e.limits) {
            EXPECT_EQ(std::make_pair(r.minValue, r.maxValue), std::make_pair(e.min, e.max));
        }
        EXPECT_EQ(e.kind == PK_INT ? r.integer() : r.real(), static_cast<float>(e.value));
    }
    EXPECT_STREQ(row("Stimulus Epoch for counting:A,B,C,D,E,F,None").keys, "ABCDEFN");
    EXPECT_EQ(row("Stimulus Epoch for counting:A,B,C,D,E,F,None").letter(), 'N');
    EXPECT_EQ(row("Summary Output (V)").letter(), 'Y');
    EXPECT_EQ(row("Generate F/I Plots?").letter(), '\0');
    row("Amount ascending slope > noise").real() = 6.0f;  // not its descending twin
    EXPECT_EQ(p.ascendingSlopeFactor, 6.0f);
    EXPECT_EQ(p.descendingSlopeFactor, 3.0f);
}

TEST_F(SpikeTable, ValuesSurviveAParameterFile) {
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed values" : "defaults");
        SpikeParams loaded;
        ParamTable loadedTable;
        spikeBuildParamTable(loaded, loadedTable, messages);
        for (std::size_t i = 0; changed && i < table.rows.size(); ++i) {
            const ParamRow& r = table.rows[i];
            switch (r.kind()) {
                case PK_INT:
                    r.integer() = 1000 + static_cast<std::int32_t>(i);
                    break;
                case PK_FLOAT:
                    r.real() = -0.25f * static_cast<float>(i + 1);
                    break;
                case PK_YESNO:
                    r.letter() = r.letter() == 'Y' ? 'N' : 'Y';
                    break;
                default:
                    r.letter() = r.letter() == r.keys[0] ? r.keys[1] : r.keys[0];
            }
        }
        ProfileFile file;
        EXPECT_EQ(paramSave(kParametersSection, table, file), 36);
        paramLoad(kParametersSection, loadedTable, file);
        if (!changed) p.fiPlots = 'N';  // never set is written as unticked
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            const ParamRow &a = table.rows[i], &b = loadedTable.rows[i];
            EXPECT_TRUE(a.kind() == PK_INT     ? a.integer() == b.integer()
                        : a.kind() == PK_FLOAT ? a.real() == b.real()
                                               : a.letter() == b.letter())
                << a.label << " read back as " << paramFormatValue(loadedTable, i);
        }
        EXPECT_EQ(loaded.threshold, changed ? -2.5f : -25.0f);
    }
}

}  // namespace
}  // namespace ephys
