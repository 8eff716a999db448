#include "psc/psc_parameters.h"

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

const void* fieldOf(const ParamRow& r) {
    switch (r.kind()) {
        case PK_TEXT:
            return &r.text();
        case PK_INT:
            return &r.integer();
        case PK_FLOAT:
            return &r.real();
        default:
            return &r.letter();
    }
}

bool sameValue(const ParamRow& a, const ParamRow& b) {
    switch (a.kind()) {
        case PK_TEXT:
            return a.text() == b.text();
        case PK_INT:
            return a.integer() == b.integer();
        case PK_FLOAT:
            return a.real() == b.real();
        default:
            return a.letter() == b.letter();
    }
}

class PscTable : public ::testing::Test {
  protected:
    void SetUp() override { pscBuildParamTable(p, table, messages); }

    // Exact match, trailing blanks included.
    const ParamRow& row(const char* label) {
        for (const ParamRow& r : table.rows)
            if (std::strcmp(r.label, label) == 0) return r;
        ADD_FAILURE() << "no row labelled \"" << label << '"';
        return table.rows.front();
    }

    PscParameters p;
    ParamTable table;
    CapturedMessages messages;
};

TEST_F(PscTable, FillsSevenPagesWithOneFieldAndOneLabelPerRow) {
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(table.rows.size(), 58u);
    EXPECT_EQ(table.pageSizes, (std::vector<int>{11, 10, 4, 8, 10, 10, 5}));
    EXPECT_EQ(table.pageNames, (std::vector<std::string>{"Input", "Detect", "Reject", "Inverted events",
                                                         "Sweep Mode", "Output", "Scaling"}));
    const auto* begin = reinterpret_cast<const char*>(&p);
    std::set<const void*> fields;
    std::set<std::string> labels;  // parameter files match labels without regard to case
    for (const ParamRow& r : table.rows) {
        const auto* field = static_cast<const char*>(fieldOf(r));
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

TEST_F(PscTable, RowsCarryDocumentedKindsLimitsAndDefaults) {
    struct Expected {
        const char* label;
        std::uint32_t kind;
        bool limits;
        double min, max, value;
    };
    const Expected cases[] = {
        {"Channel number", PK_INT, true, 0, 15, 0},
        {"Frame length (samples)", PK_INT, true, 64, 30000, 2048},
        {"# of 256pt/blocks to export", PK_INT, true, 1, 100, 4},
        {"Diff. trigger ([+-]pa/ms)", PK_FLOAT, true, -100, 100, 1},
        {"% trig. level to mark event start", PK_FLOAT, true, 0.1, 99.9, 20},
        {"PSC decay complete (pA) ", PK_FLOAT, true, 0.01, 1000, 1},
        {"Events must be larger than X pA", PK_FLOAT, true, 0, 200, 0.1f},
        {"Half width > (negative for <)", PK_FLOAT, true, -200, 200, 0},
        {"Trigger delay (ms)", PK_FLOAT, true, 0, 20000, 500},
        {"Gain for float pt. abf files?", PK_FLOAT, false, 0, 0, 0},
        {"Maximum Current (pA)", PK_FLOAT, false, 0, 0, 78},
        {"Maximum dI/dt (pA/ms)", PK_FLOAT, false, 0, 0, 5},
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
    EXPECT_EQ(row("Individual traces ").letter(), 'Y');
    EXPECT_EQ(row("Axes").letter(), 'N');
    EXPECT_STREQ(row("Automatic Vertical Scaling:All,One,Ten,Full,Same").keys, "AOTFS");
    EXPECT_EQ(row("Automatic Vertical Scaling:All,One,Ten,Full,Same").letter(), 'T');
    EXPECT_STREQ(row("Threshold: Percent Pk,Detect percent,Abs.").keys, "PDA");
}

TEST_F(PscTable, OnlyTheDocumentedRowsStartUnset) {
    std::set<std::string> unset;
    for (const ParamRow& r : table.rows) {
        if (r.kind() != PK_YESNO && r.kind() != PK_CHOICE) continue;
        if (r.letter() == '\0') {
            unset.insert(r.label);
        } else if (r.kind() == PK_YESNO) {
            EXPECT_TRUE(r.letter() == 'Y' || r.letter() == 'N') << r.label;
        }
    }
    EXPECT_EQ(unset, (std::set<std::string>{"Use First Crossing for HW ?", "Output raster file?",
                                            "Output raster of peak time rather than onset?",
                                            "Output Rasters w/ Epis?", "Over write output files",
                                            "Threshold: Percent Pk,Detect percent,Abs."}));
}

TEST_F(PscTable, LookalikeRowsEditTheirOwnFields) {
    row("Duration of trigger (ms)").real() = 7.0f;
    row("Trigger duration (ms)").real() = 9.0f;
    row("Maximum dI/dt (pA/ms)").real() = 11.0f;
    row("Minimum Current (pA)").real() = -3.0f;
    row("Frame length (samples)").integer() = 4096;
    row("Frames").text() = "3..4";
    EXPECT_EQ(p.durationOfTrigger, 7.0f);
    EXPECT_EQ(p.triggerDuration, 9.0f);
    EXPECT_EQ(p.maxValues[kDidtTrace], 11.0f);
    EXPECT_EQ(p.minValues[kCurrentTrace], -3.0f);
    EXPECT_EQ(p.frameLengthSetting, 4096);
    EXPECT_EQ(p.frames, "3..4");
}

TEST_F(PscTable, FramesLimitsFollowTheRecording) {
    const ParamRow& frames = table.rows[kPscFramesRow];
    EXPECT_STREQ(frames.label, "Frames");
    EXPECT_EQ(frames.flags, PK_TEXT | PF_LIMITS);
    EXPECT_EQ(std::make_pair(frames.minValue, frames.maxValue), std::make_pair(78.0, 78.0));
    pscSetFramesLimits(table, 120);
    EXPECT_EQ(std::make_pair(frames.minValue, frames.maxValue), std::make_pair(1.0, 120.0));

    PscParameters opened;  // the limits come from the record, not from constants
    opened.firstFrame = 2;
    opened.lastFrame = 9;
    ParamTable other;
    pscBuildParamTable(opened, other, messages);
    EXPECT_EQ(std::make_pair(other.rows[0].minValue, other.rows[0].maxValue), std::make_pair(2.0, 9.0));
}

TEST_F(PscTable, ValuesSurviveAParameterFile) {
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed values" : "defaults");
        PscParameters loaded;
        ParamTable loadedTable;
        pscBuildParamTable(loaded, loadedTable, messages);
        for (std::size_t i = 0; changed && i < table.rows.size(); ++i) {
            const ParamRow& r = table.rows[i];
            switch (r.kind()) {  // values unlike any default that keep their 4-digit text form
                case PK_TEXT:
                    r.text() = "2..5,9";
                    break;
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
            EXPECT_FALSE(sameValue(r, loadedTable.rows[i])) << r.label;
        }
        ProfileFile file;
        EXPECT_EQ(paramSave(kParametersSection, table, file), 58);
        paramLoad(kParametersSection, loadedTable, file);
        if (!changed)  // boxes never set are written, and so read back, as unticked
            p.firstCrossingHalfWidth = p.outputRaster = p.rasterPeakTime = p.outputRasterEpisodes =
                p.overwriteOutputs = 'N';
        for (std::size_t i = 0; i < table.rows.size(); ++i)
            EXPECT_TRUE(sameValue(table.rows[i], loadedTable.rows[i]))
                << table.rows[i].label << " read back as " << paramFormatValue(loadedTable, i);
    }
}

}  // namespace
}  // namespace ephys
