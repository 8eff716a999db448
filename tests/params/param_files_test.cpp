#include "params/param_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ephys {
namespace {

namespace fs = std::filesystem;

struct Record {
    std::string frames;
    std::int32_t channel = 0;
    float duration = 1.0f;
    char polarity = 'P';
    char exportScan = 'Y';
    char unset = '\0';
    std::int32_t flag = 0;
};

ParamTable makeTable(Record& r) {
    ParamTable t;
    t.rows.push_back(paramListRow(r.frames, "Frames", 1, 78));
    t.rows.push_back(paramIntRow(r.channel, "Channel number", 0, 15));
    t.rows.push_back(paramFloatRow(r.duration, "Max Spike Duration (ms)", 0, 50));
    t.rows.push_back(paramChoiceRow(r.polarity, "PN", "Spike Polarity:Positive,Negative"));
    t.rows.push_back(paramYesNoRow(r.exportScan, "Export Scan"));
    t.rows.push_back(paramYesNoRow(r.unset, "Over write output files"));
    t.rows.push_back(paramBoolRow(r.flag, "Flag"));
    return t;
}

class TempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "paramfiles.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const fs::path& p, const std::string& text) {
        std::ofstream out(p, std::ios::binary);
        out << text;
    }
    fs::path dir_;
};

TEST(ParamFiles, WritesEveryRowByItsKind) {
    Record r;
    ParamTable t = makeTable(r);
    r.frames = "1..5";
    r.duration = 0.5f;
    r.exportScan = 'Q';
    ProfileFile profile;
    EXPECT_EQ(paramSave(kParametersSection, t, profile), 7);
    EXPECT_EQ(profile.text(),
              "[Parameters]\nFrames=1..5\nChannel number=0\nMax Spike Duration (ms)=0.5\n"
              "Spike Polarity:Positive,Negative=P\nExport Scan=0\nOver write output files=0\nFlag=0\n");
}

TEST(ParamFiles, LongTextIsCutOnWriteAndReadUpTo799Characters) {
    Record r;
    ParamTable t = makeTable(r);
    r.frames = std::string(900, '7');
    ProfileFile profile;
    paramSave(kParametersSection, t, profile);
    EXPECT_EQ(*profile.get("Parameters", "Frames"), std::string(795, '7') + "...");

    r.frames = std::string(799, '1');
    paramSave(kParametersSection, t, profile);
    EXPECT_EQ(profile.get("Parameters", "Frames")->size(), 799u) << "799 characters are written whole";

    // Reading takes a text row whole up to its 799 characters (a frame list far longer than 19
    // characters survives).
    std::string longList = "1..3,5,7,9,11,13,15,17,19,21,23,25,27,29,31,33,35,37,39..50,X44";
    profile.set("Parameters", "Frames", longList);
    r.frames.clear();
    paramLoad(kParametersSection, t, profile);
    EXPECT_EQ(r.frames, longList);

    // A hand-edited file with a longer text gives the row its first 799 characters.
    profile.set("Parameters", "Frames", std::string(799, '4') + "56789");
    paramLoad(kParametersSection, t, profile);
    EXPECT_EQ(r.frames, std::string(799, '4'));
}

TEST(ParamFiles, ReadsLikeAtoiAndAtofAndKeepsWhatIsMissing) {
    Record r;
    ParamTable t = makeTable(r);
    r.duration = 0.123456f;  // more digits than the file form: a missing key must not round it
    r.unset = '\0';
    ProfileFile profile = ProfileFile::parse(
        "[Parameters]\r\n"
        "channel NUMBER=12abc\r\n"
        "Export Scan=Y\r\n"
        "Spike Polarity:Positive,Negative=Zebra\r\n"
        "Flag=\r\n"
        "Frames=\r\n"
        "Channel number=3\r\n");
    paramLoad(kParametersSection, t, profile);
    EXPECT_EQ(r.channel, 12) << "trailing letters, case-insensitive key, the first duplicate counts";
    EXPECT_EQ(r.exportScan, 'N') << "a yes/no value reads 'Y' only from a leading 1";
    EXPECT_EQ(r.polarity, 'P') << "a letter outside the keys is not taken";
    EXPECT_EQ(r.flag, 0);
    EXPECT_EQ(r.frames, "");
    EXPECT_EQ(r.duration, 0.123456f);
    EXPECT_EQ(r.unset, '\0') << "a missing key leaves even an unset value alone";
}

TEST(ParamFiles, EmptyValuesKeepEveryKind) {
    Record r;
    ParamTable t = makeTable(r);
    r.frames = "2..4";
    r.channel = 7;
    r.duration = 3.5f;
    r.polarity = 'N';
    r.exportScan = 'Y';
    r.flag = 1;
    ProfileFile profile = ProfileFile::parse(
        "[Parameters]\nFrames=\nChannel number=\nMax Spike Duration (ms)=\n"
        "Spike Polarity:Positive,Negative=\nExport Scan=\nFlag=\n");
    paramLoad(kParametersSection, t, profile);
    EXPECT_EQ(r.frames, "2..4");
    EXPECT_EQ(r.channel, 7);
    EXPECT_EQ(r.duration, 3.5f);
    EXPECT_EQ(r.polarity, 'N');
    EXPECT_EQ(r.exportScan, 'Y');
    EXPECT_EQ(r.flag, 1);
}

TEST(ParamFiles, GarbageFilesDoNoHarm) {
    Record r;
    ParamTable t = makeTable(r);
    std::string garbage = "\x01\x02[Param\xff\n=\n===\n[Parameters\nChannel number\n";
    garbage +=
        std::string(200000, 'x') + "\n[parameters]\nMax Spike Duration (ms)=1e999\nChannel number= 4 \n";
    paramLoad(kParametersSection, t, ProfileFile::parse(garbage));
    EXPECT_EQ(r.channel, 4);
    EXPECT_GT(r.duration, 1e38f) << "an overflowing number is held at the float range";
    // A file without a [Parameters] section changes nothing.
    Record before;
    ParamTable t2 = makeTable(before);
    paramLoad(kParametersSection, t2, ProfileFile::parse("[General]\nChannel number=9\n"));
    EXPECT_EQ(before.channel, 0);
}

TEST(ParamFiles, CheckedReadingRefusesNumbersOutsideTheirRows) {
    Record r;
    ParamTable t = makeTable(r);
    std::int32_t count = 5;
    float gain = 2.0f;
    t.rows.push_back(paramIntRow(count, "Count"));
    t.rows.push_back(paramFloatRow(gain, "Gain"));
    r.frames = "1";
    ProfileFile profile = ProfileFile::parse(
        "[Parameters]\n"
        "Frames=1..500\n"
        "Channel number=16\n"
        "Max Spike Duration (ms)=-0.5\n"
        "Export Scan=1\n"
        "Count=99999999999\n"
        "Gain=1e999\n");
    std::vector<RefusedParam> refused = paramLoadChecked(kParametersSection, t, profile);
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_EQ(refused[0].row, 1u);
    EXPECT_EQ(refused[0].value, "16");
    EXPECT_EQ(refused[1].row, 2u);
    EXPECT_EQ(refused[2].row, 7u) << "an integer beyond its 32-bit field";
    EXPECT_EQ(refused[3].row, 8u) << "a float beyond its field's range";
    EXPECT_EQ(r.channel, 0);
    EXPECT_EQ(r.duration, 1.0f);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(gain, 2.0f) << "refused rows keep their values";
    EXPECT_EQ(r.exportScan, 'Y');
    EXPECT_EQ(r.frames, "1..500") << "a list is checked against each recording when it is applied";
    EXPECT_EQ(paramRefusedText(t, {refused[0], refused[1]}, "/lab/set.prm"),
              "Read from /lab/set.prm:\n"
              "Channel number=16\nmust be an integer between 0 and 15!\n"
              "Max Spike Duration (ms)=-0.5\nmust be a number between 0 and 50!");
    const std::string cut = "Read from x:\nChannel number=" + std::string(40, '9') + "...\nmust be";
    EXPECT_EQ(paramRefusedText(t, {{1, std::string(60, '9')}}, "x").substr(0, cut.size()), cut)
        << "a long value is shown cut";

    // The programs' own forms and atoi/atof reading still hold within the limits, limits
    // included.
    profile = ProfileFile::parse(
        "[Parameters]\nChannel number=12abc\nMax Spike Duration (ms)=50\nCount=-2147483648\nGain=1.5e-6\n");
    EXPECT_TRUE(paramLoadChecked(kParametersSection, t, profile).empty());
    EXPECT_EQ(r.channel, 12);
    EXPECT_EQ(r.duration, 50.0f);
    EXPECT_EQ(count, -2147483647 - 1);
    EXPECT_EQ(gain, 1.5e-6f);
}

TEST(ParamFiles, ChoiceValuesMustBeOneOfTheRowsLetters) {
    const std::string key = "Spike Polarity:Positive,Negative";
    struct Case {
        std::string value;
        char read;  // the letter the row holds afterwards; the default 'P' when refused
        bool refused;
    };
    for (const Case& c : std::vector<Case>{
             {"N", 'N', false},
             {"n", 'N', false},         // a key letter in either case, as on the command line
             {"Negative", 'N', false},  // the first character counts, as it always has
             {"Zebra", 'P', true},
             {"z", 'P', true},
             {std::string(1, '\0'), 'P', true},
             {"\x01", 'P', true},
             {"\"N\"", 'N', false},  // one pair of enclosing quotes is the file's, not the value's
             {"-", 'P', true},
         }) {
        const ProfileFile profile = ProfileFile::parse("[Parameters]\n" + key + "=" + c.value + "\n");
        Record r;
        ParamTable t = makeTable(r);
        const std::vector<RefusedParam> refused = paramLoadChecked(kParametersSection, t, profile);
        EXPECT_EQ(r.polarity, c.read) << c.value;
        ASSERT_EQ(refused.size(), c.refused ? 1u : 0u) << c.value;
        Record plain;
        ParamTable t2 = makeTable(plain);
        paramLoad(kParametersSection, t2, profile);
        EXPECT_EQ(plain.polarity, c.read) << "unchecked reading takes no other letter either: " << c.value;
        if (!c.refused) continue;
        EXPECT_EQ(refused[0].row, 3u);
        EXPECT_EQ(refused[0].value, c.value);
    }
    Record r;
    ParamTable t = makeTable(r);
    EXPECT_EQ(
        paramRefusedText(t, {{3, "Zebra"}}, "/lab/set.prm"),
        "Read from /lab/set.prm:\nSpike Polarity:Positive,Negative=Zebra\nmust be one of the letters PN!");
}

TEST(ParamFiles, TextValuesReadBackAsSaved) {
    // Blanks at either end, quotes around the text or inside it, a lone quote: what is saved is
    // what is read, also through a file on disk.
    const std::vector<std::string> texts = {" 1..5",         "1..5 ",   "\t2\t", "\"1..3\"",           "\"",
                                            "\"a\" b \"c\"", " \"x\" ", "   ",   std::string(799, ' ')};
    for (const std::string& text : texts) {
        Record r;
        ParamTable t = makeTable(r);
        r.frames = text;
        ProfileFile profile;
        paramSave(kParametersSection, t, profile);
        Record back;
        back.frames = "unchanged";
        ParamTable t2 = makeTable(back);
        paramLoad(kParametersSection, t2, ProfileFile::parse(profile.text()));
        EXPECT_EQ(back.frames, text) << '[' << text << ']';
    }
}

TEST(ParamFiles, OtherProgramsFilesSetOnlyMatchingLabels) {
    Record r;
    ParamTable t = makeTable(r);
    std::int32_t other = 5;
    float otherFloat = 2.0f;
    ParamTable foreign;
    foreign.rows.push_back(paramIntRow(other, "Channel number", 0, 15));
    foreign.rows.push_back(paramFloatRow(otherFloat, "Noise Filter (Hz)"));
    ProfileFile profile;
    paramSave(kParametersSection, foreign, profile);
    paramLoad(kParametersSection, t, profile);
    EXPECT_EQ(r.channel, 5);
    EXPECT_EQ(r.duration, 1.0f);
}

TEST_F(TempFolder, FileRoundTripKeepsOtherSections) {
    Record r;
    ParamTable t = makeTable(r);
    fs::path file = dir_ / "cell.pcw";
    write(file, "; lab notes\n[General]\nFont=Arial\n[Parameters]\nChannel number=2\n[Extra]\nk=v\n");
    r.frames = "1..10,X5";
    r.duration = 12.25f;
    r.flag = 1;
    EXPECT_EQ(paramSave(kParametersSection, t, file.string()), 7);
    std::string text = read(file);
    EXPECT_NE(text.find("; lab notes\n[General]\nFont=Arial\n[Parameters]\n"), std::string::npos);
    EXPECT_NE(text.find("[Extra]\nk=v\n"), std::string::npos);

    Record back;
    back.frames = "unchanged?";
    ParamTable t2 = makeTable(back);
    ASSERT_TRUE(paramLoad(kParametersSection, t2, file.string()));
    EXPECT_EQ(back.frames, "1..10,X5");
    EXPECT_EQ(back.duration, 12.25f);
    EXPECT_EQ(back.flag, 1);
    EXPECT_EQ(back.channel, 0);

    // A missing file leaves the whole set as it was.
    Record kept;
    kept.channel = 9;
    ParamTable t3 = makeTable(kept);
    paramLoad(kParametersSection, t3, (dir_ / "missing.pcw").string());
    EXPECT_EQ(kept.channel, 9);
}

TEST_F(TempFolder, FailedSaveReportsAndKeepsTheOldFile) {
    Record r;
    ParamTable t = makeTable(r);
    fs::path blocker = dir_ / "plain-file";
    write(blocker, "old contents\n");
    std::string error;
    EXPECT_EQ(paramSave(kParametersSection, t, (blocker / "x.ini").string(), &error), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(read(blocker), "old contents\n");

    // A settings file that exists but cannot be read is not replaced.
    fs::path folder = dir_ / "a-folder.ini";
    fs::create_directory(folder);
    error.clear();
    EXPECT_EQ(paramSave(kParametersSection, t, folder.string(), &error), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(TempFolder, FileSetupBuildsFilterAndFolder) {
    CapturedMessages messages;
    DialogRecord dialog;
    dialog.fileExtension = "skw";
    dialog.fileDescription = "SPKTAL";
    dialog.paramDirectory = (dir_ / "labparms").string();
    paramFileSetup(dialog, messages);
    EXPECT_EQ(dialog.fileFilter, "SPKTAL Files (*.SKW)");
    EXPECT_EQ(dialog.filePattern, "*.skw");
    EXPECT_TRUE(fs::is_directory(dir_ / "labparms"));
    paramFileSetup(dialog, messages);
    EXPECT_TRUE(messages.empty()) << "an existing folder is no fault";

    DialogRecord defaults;
    defaults.paramDirectory = (dir_ / "no" / "such" / "labparms").string();
    paramFileSetup(defaults, messages);
    EXPECT_EQ(defaults.fileFilter, "Param. Files (*.PRM)");
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].text, "Could not create parameter file space");
}

TEST_F(TempFolder, IniFileFollowsXdgConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string old = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (dir_ / "cfg").c_str(), 1);
    EXPECT_EQ(iniFilePath("SPKTAL"), (dir_ / "cfg" / "SPKTAL.ini").string());
    EXPECT_TRUE(fs::is_directory(dir_ / "cfg")) << "the folder is made when missing";
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(iniFilePath("SWG"), homeDirectory() + "/.config/SWG.ini");
    if (saved)
        setenv("XDG_CONFIG_HOME", old.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST(ParamFiles, SingleKeyHelpers) {
    ProfileFile p;
    profileWriteFlag(p, "General", "MessageBox", 5);
    profileWriteInt(p, "General", "Font size", -13);
    profileWriteFloat(p, "General", "Scale", 3.14159274f);
    profileWriteChar(p, "General", "MainWindow", 'H');
    EXPECT_EQ(p.text(), "[General]\nMessageBox=1\nFont size=-13\nScale=3.14159\nMainWindow=H\n");
    EXPECT_EQ(profileReadInt(p, "general", "font SIZE", 16), -13);
    EXPECT_EQ(profileReadInt(p, "General", "Missing", 16), 16);
    EXPECT_EQ(profileReadChar(p, "General", "MainWindow", 'O'), 'H');
    EXPECT_EQ(profileReadChar(p, "General", "Missing", 'O'), 'O');
    p.set("General", "Empty", "");
    EXPECT_EQ(profileReadInt(p, "General", "Empty", 4), 4);
    EXPECT_EQ(profileReadString(p, "General", "Missing", "~/lab"), "~/lab");
}

}  // namespace
}  // namespace ephys
