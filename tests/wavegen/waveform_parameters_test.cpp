#include "wavegen/waveform_parameters.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "params/param_files.h"
#include "params/profile_file.h"

namespace ephys {
namespace {

TEST(WaveTable, TwelveRowsOnOnePageEachWithItsOwnFieldAndLabel) {
    WaveformParameters p;
    ParamTable table;
    CapturedMessages messages;
    waveBuildParamTable(p, table, messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(table.rows.size(), 12u);
    EXPECT_EQ(table.rowCapacity, 20u);
    EXPECT_EQ(table.pageSizes, std::vector<int>{12});
    EXPECT_EQ(table.pageNames, std::vector<std::string>{"Parameters"});

    const auto* begin = reinterpret_cast<const char*>(&p);
    std::set<const void*> fields;
    std::set<std::string> labels;
    for (const ParamRow& r : table.rows) {
        EXPECT_FALSE(r.endsPage()) << r.label;
        EXPECT_EQ(r.hasLimits(), r.kind() != PK_CHOICE) << r.label;
        const auto* field = r.kind() == PK_INT     ? static_cast<const void*>(&r.integer())
                            : r.kind() == PK_FLOAT ? static_cast<const void*>(&r.real())
                                                   : static_cast<const void*>(&r.letter());
        EXPECT_TRUE(field >= begin && field < begin + sizeof(p)) << r.label;
        EXPECT_TRUE(fields.insert(field).second) << "shared field: " << r.label;
        std::string key = r.label;
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(labels.insert(key).second) << r.label;
    }

    const ParamRow& dc = table.rows[6];
    EXPECT_STREQ(dc.label, "DC current step (pA)");
    EXPECT_EQ(std::make_pair(dc.minValue, dc.maxValue), std::make_pair(-100000.0, 100000.0));
    const ParamRow& samples = table.rows[1];
    EXPECT_STREQ(samples.label, "Number of Samples");
    EXPECT_EQ(samples.kind(), PK_INT);
    EXPECT_EQ(std::make_pair(samples.minValue, samples.maxValue), std::make_pair(10.0, 10000000.0));
    const ParamRow& waveform = table.rows[11];
    EXPECT_STREQ(waveform.label, "Waveform:Noise,Chirp,RevChirp,Sine,Pulse");
    EXPECT_STREQ(waveform.keys, "NCRSP");
    EXPECT_EQ(waveform.letter(), 'P');
}

TEST(WaveTable, DefaultAndChangedValuesSurviveAParameterFile) {
    const WaveformParameters defaults;
    const WaveformParameters changed{250, 4096, 12.5f, 90, 0.5f, 3, -20, 125.5f, 0, 0.25f, 450, 'S'};
    for (const WaveformParameters& start : {defaults, changed}) {
        WaveformParameters source = start;
        WaveformParameters loaded;
        ParamTable sourceTable, loadedTable;
        CapturedMessages messages;
        waveBuildParamTable(source, sourceTable, messages);
        waveBuildParamTable(loaded, loadedTable, messages);
        ProfileFile file;
        EXPECT_EQ(paramSave(kParametersSection, sourceTable, file), 12);
        paramLoad(kParametersSection, loadedTable, file);
        // Field by field, so that two rows swapping fields shows up.
        EXPECT_EQ(loaded.sampleInterval, start.sampleInterval);
        EXPECT_EQ(loaded.sampleCount, start.sampleCount);
        EXPECT_EQ(loaded.stepOn, start.stepOn);
        EXPECT_EQ(loaded.stepOff, start.stepOff);
        EXPECT_EQ(loaded.pulseDuration, start.pulseDuration);
        EXPECT_EQ(loaded.pulseCount, start.pulseCount);
        EXPECT_EQ(loaded.dcStep, start.dcStep);
        EXPECT_EQ(loaded.amplitude, start.amplitude);
        EXPECT_EQ(loaded.noiseFilterHz, start.noiseFilterHz);
        EXPECT_EQ(loaded.chirpStartHz, start.chirpStartHz);
        EXPECT_EQ(loaded.chirpEndHz, start.chirpEndHz);
        EXPECT_EQ(loaded.waveform, start.waveform);
    }
}

}  // namespace
}  // namespace ephys
