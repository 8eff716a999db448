#include "params/param_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

namespace ephys {
namespace {

struct Record {
    std::string frames = "1";
    std::int32_t first = 0;
    float onset = 100.0f;
    char method = 'T';
    char traces = 'Y';
    std::int32_t flag = 0;
};

ParamTable makeTable(Record& r) {
    ParamTable t;
    t.rows.push_back(paramListRow(r.frames, "Frames", 1, 20));
    t.rows.push_back(paramIntRow(r.first, "First Channel (0-15)", 0, 15));
    t.rows.push_back(paramFloatRow(r.onset, "Onset of spike counting (ms)", 0, 100000));
    t.rows.push_back(paramChoiceRow(r.method, "TR", "Detection method:Threshold,RMS noise"));
    t.rows.push_back(paramYesNoRow(r.traces, "Individual traces "));
    t.rows.push_back(paramBoolRow(r.flag, "Flag"));
    return t;
}

TEST(ParamSettings, AppliesValuesByTheRowsRules) {
    Record r;
    ParamTable t = makeTable(r);
    std::string error;
    EXPECT_TRUE(paramApplySetting(t, "first channel (0-15) = 7 ", error));
    EXPECT_EQ(r.first, 7);
    EXPECT_TRUE(paramApplySetting(t, "Onset of spike counting (ms)=12.5", error));
    EXPECT_EQ(r.onset, 12.5f);
    EXPECT_TRUE(paramApplySetting(t, "detection method=r", error)) << "a choice row answers to its title";
    EXPECT_EQ(r.method, 'R');
    EXPECT_TRUE(paramApplySetting(t, "Detection method:Threshold,RMS noise=T", error));
    EXPECT_EQ(r.method, 'T');
    EXPECT_TRUE(paramApplySetting(t, "Individual traces=no", error))
        << "the label's trailing blank may be left out";
    EXPECT_EQ(r.traces, 'N');
    EXPECT_TRUE(paramApplySetting(t, "individual traces =Yes", error));
    EXPECT_EQ(r.traces, 'Y');
    EXPECT_TRUE(paramApplySetting(t, "Flag=y", error));
    EXPECT_EQ(r.flag, 1);
    EXPECT_TRUE(paramApplySetting(t, "Frames=2..", error));
    EXPECT_EQ(r.frames, "2..") << "the open end is left for the run to complete against the recording";
}

TEST(ParamSettings, RefusesAndKeepsTheRecord) {
    Record r;
    ParamTable t = makeTable(r);
    std::string error;
    EXPECT_FALSE(paramApplySetting(t, "First Channel (0-15)=16", error));
    EXPECT_EQ(error, "First Channel (0-15)\nmust be an integer between 0 and 15!");
    EXPECT_EQ(r.first, 0);
    EXPECT_FALSE(paramApplySetting(t, "Frames=0..3", error));
    EXPECT_EQ(r.frames, "1");
    EXPECT_FALSE(paramApplySetting(t, "Detection method=X", error));
    EXPECT_EQ(r.method, 'T');
    EXPECT_FALSE(paramApplySetting(t, "Flag=maybe", error));
    EXPECT_FALSE(paramApplySetting(t, "No such row=1", error));
    EXPECT_NE(error.find("No such row"), std::string::npos);
    EXPECT_FALSE(paramApplySetting(t, "Flag", error));
}

}  // namespace
}  // namespace ephys

namespace ephys {
namespace {

TEST(ParamSettings, BatchOrderIsIniThenParameterFileThenEachSet) {
    char pattern[] = "/tmp/batchsettings.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string ini = dir + "/PROGRAM.ini", params = dir + "/set.prm";
    {
        ProfileFile p;
        p.set("General", "Font", "Arial");
        p.set("Parameters", "First Channel (0-15)", "3");
        p.set("Parameters", "Onset of spike counting (ms)", "7");
        ASSERT_TRUE(p.save(ini));
        ProfileFile q;
        q.set("Parameters", "Onset of spike counting (ms)", "8");
        q.set("Parameters", "Frames", "2..4");
        ASSERT_TRUE(q.save(params));
    }
    Record r;
    ParamTable t = makeTable(r);
    BatchSettings s{ini, params, {"Onset of spike counting (ms)=9", "Frames=5", "Flag=1"}};
    std::vector<std::string> taken;
    BatchSettingsResult result = paramApplyBatchSettings(t, s, [&](const std::string& setting) {
        if (setting.rfind("Frames=", 0) != 0) return false;
        taken.push_back(setting);
        return true;
    });
    EXPECT_EQ(result.outcome, BatchSettingsResult::Outcome::Applied);
    EXPECT_EQ(r.first, 3) << "from the settings file";
    EXPECT_EQ(r.onset, 9.0f) << "the last --set wins over the parameter file and the settings file";
    EXPECT_EQ(r.frames, "2..4") << "a setting the caller takes is not applied";
    EXPECT_EQ(taken, std::vector<std::string>{"Frames=5"});
    EXPECT_EQ(result.paramsFile.get("Parameters", "Frames"), "2..4");

    Record fresh;
    ParamTable t2 = makeTable(fresh);
    EXPECT_EQ(paramApplyBatchSettings(t2, {"", params, {"Flag=maybe"}}).outcome,
              BatchSettingsResult::Outcome::RefusedValue);
    EXPECT_EQ(fresh.first, 0) << "no settings file read without one";
    EXPECT_EQ(paramApplyBatchSettings(t2, {"", dir + "/missing.prm", {}}).outcome,
              BatchSettingsResult::Outcome::UsageError);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ephys
