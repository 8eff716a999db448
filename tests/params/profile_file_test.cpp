#include "params/profile_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ephys {
namespace {

namespace fs = std::filesystem;

TEST(ProfileFileTest, LookupIgnoresCaseBlanksQuotesAndLaterDuplicates) {
    auto p = ProfileFile::parse(
        "\xEF\xBB\xBFtop=0\r\n[Parameters]\r\n  Gain \t=  \" 2.5 \" "
        "\r\nbare\r\ngain=9\r\n[parameters]\r\nx=1");
    EXPECT_EQ(p.get("PARAMETERS", "gAIN"), " 2.5 ");
    EXPECT_EQ(p.get(" parameters ", "x"), std::nullopt);  // second [parameters] is ignored
    EXPECT_EQ(p.get("Parameters", "bare"), std::nullopt);
    EXPECT_FALSE(p.hasSection("top"));
    EXPECT_FALSE(ProfileFile::parse("a=1\n").get("", "a"));
    // Parameter labels may start with '#': only ';' starts a comment.
    EXPECT_EQ(ProfileFile::parse("[P]\n# spikes/burst=7\n;x=1\n").get("p", "# SPIKES/BURST"), "7");
    EXPECT_EQ(ProfileFile::parse("[P]\n;x=1\n").get("P", ";x"), std::nullopt);
    EXPECT_EQ(p.text(), "top=0\n[Parameters]\n  Gain \t=  \" 2.5 \" \nbare\ngain=9\n[parameters]\nx=1\n");

    // Two byte-order marks: the section still starts the file, before and after a save.
    auto twice = ProfileFile::parse("\xEF\xBB\xBF\xEF\xBB\xBF[P]\niy=/h\n");
    EXPECT_EQ(twice.get("P", "iy"), "/h");
    EXPECT_EQ(ProfileFile::parse(twice.text()).get("P", "iy"), "/h");
}

TEST(ProfileFileTest, CarriageReturnsBeforeALineEndBelongToIt) {
    // A file that went through two CR LF conversions ends its lines CR CR LF; the value is the
    // same as in the plain CR LF file, and the file is written back with LF line ends.
    auto p = ProfileFile::parse("[P]\r\r\nk=v\r\r\nq= 2 \r\r\r\nmid=a\rb\r\r\nlast=x\r\r");
    EXPECT_EQ(p.get("P", "k"), "v");
    EXPECT_EQ(p.get("P", "q"), "2");
    EXPECT_EQ(p.get("P", "mid"), "a\rb") << "a carriage return inside a line is part of it";
    EXPECT_EQ(p.get("P", "last"), "x");
    EXPECT_EQ(p.text(), "[P]\nk=v\nq= 2 \nmid=a\rb\nlast=x\n");
    EXPECT_EQ(ProfileFile::parse(p.text()).get("P", "k"), "v");
}

TEST(ProfileFileTest, ValuesReadBackAsTheyWereSet) {
    // Blanks at either end and enclosing double quotes are dropped by the reader, so such a value
    // is written within quotes; any other value is written as it stands.
    for (const std::string value :
         {" lead", "trail\t", "\"quoted\"", "  ", "\"", "\"x\" ", "\"\"", "a \"b\" c", "plain", ""}) {
        ProfileFile p;
        p.set("S", "k", value);
        EXPECT_EQ(p.get("S", "k"), value) << '[' << value << ']';
        EXPECT_EQ(ProfileFile::parse(p.text()).get("S", "k"), value) << '[' << value << ']';
        p.set("S", "k", value);  // replacing in place as well
        EXPECT_EQ(p.get("S", "k"), value) << '[' << value << ']';
    }
    ProfileFile p;
    p.set("S", "plain", "1..5, 7");
    p.set("S", "padded", " 1..5 ");
    EXPECT_EQ(p.text(), "[S]\nplain=1..5, 7\npadded=\" 1..5 \"\n");
}

TEST(ProfileFileTest, BinaryDataIsToldFromText) {
    // Settings text: tabs, CR LF, Latin-1 and UTF-8 micro signs, an old end-of-file mark.
    EXPECT_FALSE(ProfileFile::parse("[P]\r\nUnit\t=\xB5s\r\nunit2=\xC2\xB5s\r\n\x1A").holdsBinary());
    EXPECT_FALSE(ProfileFile::parse("").holdsBinary());
    EXPECT_TRUE(ProfileFile::parse(std::string("[Parameters]\nA=1\0\0\0\n", 20)).holdsBinary());
    EXPECT_TRUE(ProfileFile::parse("ABF \x02\x01[Parameters]\nA=1\n").holdsBinary());
    EXPECT_TRUE(ProfileFile::parse("[Parameters]\nA=1\x7F\n").holdsBinary());
}

TEST(ProfileFileTest, SetKeepsOtherLinesAndPlacesNewKeysInTheirSection) {
    auto p = ProfileFile::parse("; note\n\x01\x7f junk\n[A]\nKey = old\nkey=dup\n# c\n\n[B]\nz=1\n");
    p.set("a", "KEY", "new\r\nline");
    p.set("A", "added", "2");
    EXPECT_FALSE(p.get("Parameters", "k"));
    p.set("Parameters", "k", "v");
    EXPECT_EQ(p.text(),
              "; note\n\x01\x7f junk\n[A]\nKey = new  line\nkey=dup\nadded=2\n# c\n\n[B]\nz=1\n"
              "\n[Parameters]\nk=v\n");
    EXPECT_EQ(p.get("Parameters", "k"), "v");
    p.remove("A", "key");
    EXPECT_EQ(p.get("A", "key"), std::nullopt);
    EXPECT_EQ(p.get("A", "added"), "2");
    EXPECT_EQ(ProfileFile().text(), "");
}

class ProfileFileDiskTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::path(testing::TempDir()) / "profile_file_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir_;
};

TEST_F(ProfileFileDiskTest, SavesAndLoadsLongLinesWithoutLeavingTemporaryFiles) {
    const std::string path = (dir_ / "a.ini").string();
    const Result<ProfileFile> missing = ProfileFile::load(path);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->text(), "");

    const std::string big(1 << 20, 'x');
    auto p = ProfileFile::parse(std::string("[S]\nnul=a\0b\n", 12));
    p.set("S", "big", big);
    const mode_t oldMask = umask(027);
    const Result<void> saved = p.save(path);
    umask(oldMask);
    ASSERT_TRUE(saved) << saved.error().text();
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));  // a new file gets 0666 less the umask
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    const Result<ProfileFile> back = ProfileFile::load(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->get("s", "BIG"), big);
    EXPECT_EQ(back->get("S", "nul"), std::string("a\0b", 3));

    const Result<ProfileFile> folder = ProfileFile::load(dir_.string());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().code, EISDIR);
    EXPECT_EQ(folder.error().file, dir_.string());
    EXPECT_EQ(folder.error().text(),
              "Cannot read " + dir_.string() + ": " + std::generic_category().message(EISDIR));
}

TEST_F(ProfileFileDiskTest, FailedSaveReportsAndKeepsTheOldFile) {
    const fs::path file = dir_ / "plain";
    std::ofstream(file, std::ios::binary) << "[S]\r\nk=old\r\n";
    const auto p = ProfileFile::parse("[S]\nk=new\n");
    for (const fs::path& bad : {file / "x.ini", dir_ / "missing" / "x.ini"}) {
        const Result<void> saved = p.save(bad.string());
        ASSERT_FALSE(saved);
        EXPECT_NE(saved.error().text().find(bad.string()), std::string::npos) << saved.error().text();
    }
    fs::create_directory(dir_ / "sub");  // the rename over a folder fails after the temporary file exists
    const Result<void> overFolder = p.save((dir_ / "sub").string());
    ASSERT_FALSE(overFolder);
    EXPECT_NE(overFolder.error().code, 0);
    EXPECT_FALSE(overFolder.error().text().empty());
    EXPECT_EQ(read(file), "[S]\r\nk=old\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(ProfileFileDiskTest, SaveThroughSymlinkReplacesTargetAndKeepsItsMode) {
    const fs::path target = dir_ / "real.ini", link = dir_ / "link.ini";
    std::ofstream(target) << "[S]\nk=1\n";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.ini", link);
    Result<ProfileFile> p = ProfileFile::load(link.string());
    ASSERT_TRUE(p);
    p->set("S", "k", "2");
    const Result<void> saved = p->save(link.string());
    ASSERT_TRUE(saved) << saved.error().text();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(target), "[S]\nk=2\n");
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
}  // namespace ephys
