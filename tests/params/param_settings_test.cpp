#include "params/param_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

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

TEST(ParamSettings, NumbersMustBeTheWholeValue) {
    Record r;
    ParamTable t = makeTable(r);
    std::string error;
    for (const char* value :
         {"", " ", "--5", "1.5.5", "1e", "1e999", "5-", "1 2", "7.0", "+3", "2147483648"}) {
        EXPECT_FALSE(paramApplySetting(t, std::string("First Channel (0-15)=") + value, error)) << value;
        EXPECT_EQ(error, "First Channel (0-15)\nmust be an integer between 0 and 15!") << value;
    }
    for (const char* value : {"", "--5", "1.5.5", "1e", "1e-", "1e999", "5-", ".", "-", "1e5e"}) {
        EXPECT_FALSE(paramApplySetting(t, std::string("Onset of spike counting (ms)=") + value, error))
            << value;
        EXPECT_EQ(error, "Onset of spike counting (ms)\nmust be a number between 0 and 100000!") << value;
    }
    EXPECT_FALSE(paramApplySetting(t, "Frames=", error));
    EXPECT_FALSE(paramApplySetting(t, "Frames=3abc", error));
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.onset, 100.0f);
    EXPECT_EQ(r.frames, "1") << "nothing refused reached the record";

    // Whole numbers in every form the dialog takes.
    for (const auto& [value, expected] : std::vector<std::pair<const char*, float>>{
             {".5", 0.5f}, {"5.", 5.0f}, {"1.5e-1", 0.15f}, {"1E2", 100.0f}, {"-0", 0.0f}}) {
        EXPECT_TRUE(paramApplySetting(t, std::string("Onset of spike counting (ms)=") + value, error))
            << value;
        EXPECT_EQ(r.onset, expected) << value;
    }
    EXPECT_TRUE(paramApplySetting(t, "First Channel (0-15)=-0", error));
    EXPECT_TRUE(paramApplySetting(t, "First Channel (0-15)=015", error));
    EXPECT_EQ(r.first, 15);
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

TEST(ParamSettings, AListTheCallerTakesMustStillBeAList) {
    for (const char* value : {"", "  ", "3abc", "1, 2", ",.."}) {
        Record r;
        ParamTable t = makeTable(r);
        bool taken = false;
        const BatchSettingsResult result =
            paramApplyBatchSettings(t, {"", "", {std::string("Frames=") + value}}, [&](const std::string&) {
                taken = true;
                return true;
            });
        EXPECT_EQ(result.outcome, BatchSettingsResult::Outcome::RefusedValue) << value;
        EXPECT_EQ(result.message, "Frames\nmust be a valid list of numbers!") << value;
        EXPECT_FALSE(taken) << value;
    }
    Record r;
    ParamTable t = makeTable(r);
    std::vector<std::string> taken;
    const BatchSettingsResult result = paramApplyBatchSettings(
        t, {"", "", {"Frames=2..", "Frames=1..500,X7Q2"}}, [&](const std::string& setting) {
            taken.push_back(setting);
            return true;
        });
    EXPECT_EQ(result.outcome, BatchSettingsResult::Outcome::Applied);
    EXPECT_EQ(taken.size(), 2u) << "lists beyond today's limits are the recording's to check";
}

TEST(ParamSettings, BatchRefusesFileValuesOutsideTheirRowsAndFilesThatAreNotSettings) {
    char pattern[] = "/tmp/batchfiles.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    auto write = [&](const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        return path;
    };
    const std::string good = write("good.prm", "[Parameters]\nFirst Channel (0-15)=12abc\n");
    const std::string high = write("high.prm", "[Parameters]\nFirst Channel (0-15)=100000\n");
    const std::string letter = write("letter.prm", "[Parameters]\nDetection method:Threshold,RMS noise=X\n");
    const std::string binary = write("cell.abf", std::string("[Parameters]\nFlag=1\n\0\0\x80?ABF", 27));
    const std::string noSection = write("notes.txt", "First Channel (0-15)=3\n");
    using Outcome = BatchSettingsResult::Outcome;
    struct Case {
        std::string ini, params;
        Outcome outcome;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {"", good, Outcome::Applied, ""},
             {dir + "/absent.ini", "", Outcome::Applied, ""},
             {"", high, Outcome::RefusedValue,
              "Read from " + high + ":\nFirst Channel (0-15)=100000\nmust be an integer between 0 and 15!"},
             {high, good, Outcome::RefusedValue, "Read from " + high + ":"},
             {"", letter, Outcome::RefusedValue,
              "Read from " + letter +
                  ":\nDetection method:Threshold,RMS noise=X\nmust be one of the letters TR!"},
             {"", binary, Outcome::UsageError, binary + " is not a parameter file: it holds binary data"},
             {binary, "", Outcome::UsageError, binary + " is not a settings file: it holds binary data"},
             {"", noSection, Outcome::UsageError,
              noSection + " is not a parameter file: it has no [Parameters] section"},
             {"", dir, Outcome::UsageError, "cannot read parameter file " + dir + ": not a file"},
         }) {
        Record r;
        ParamTable t = makeTable(r);
        const BatchSettingsResult result = paramApplyBatchSettings(t, {c.ini, c.params, {}});
        EXPECT_EQ(result.outcome, c.outcome) << c.ini << " " << c.params;
        EXPECT_EQ(result.message.substr(0, c.message.size()), c.message) << c.ini << " " << c.params;
        EXPECT_EQ(r.flag, 0) << "nothing is read from a binary file";
        if (c.params == good && c.outcome == Outcome::Applied) {
            EXPECT_EQ(r.first, 12) << "the programs' own reading of numbers";
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ephys
