// The batch programs take file names as the file system spells them: a name with a byte that is
// not UTF-8 (as names from older systems or other locales have them) names that very file, for
// the recordings, the output folder and the recording abfsynth writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// "\xff" is never part of UTF-8.
const std::string kOdd = "\xff";

class NonUtf8Names : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "file-names.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "config");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs a command in the test's folder with its own settings folder; returns the exit status.
    int run(const std::string& command) {
        const std::string line = "cd '" + dir_.string() + "' && XDG_CONFIG_HOME=config HOME=. " + command +
                                 " >stdout.txt 2>stderr.txt";
        const int raw = std::system(line.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string errors() const { return read("stderr.txt"); }
    fs::path dir_;
};

TEST_F(NonUtf8Names, AbfsynthWritesTheRecordingNamed) {
    ASSERT_EQ(run(std::string(ABFSYNTH_PROGRAM) + " --seed 3 --duration 1 --out 'synth_" + kOdd + ".abf'"), 0)
        << errors();
    EXPECT_TRUE(fs::exists(dir_ / ("synth_" + kOdd + ".abf")));
    EXPECT_TRUE(fs::exists(dir_ / ("synth_" + kOdd + ".truth.csv")));
}

TEST_F(NonUtf8Names, PsctrawlAnalysesTheRecordingAndNamesItsOutputsAfterIt) {
    ASSERT_EQ(run(std::string(ABFSYNTH_PROGRAM) + " --seed 3 --duration 1 --out brief.abf"), 0) << errors();
    fs::rename(dir_ / "brief.abf", dir_ / ("brief_" + kOdd + ".abf"));
    ASSERT_EQ(
        run(std::string(PSCTRAWL_PROGRAM) +
            " --batch --quiet --no-ini --set \"Diff. trigger ([+-]pa/ms)=-4\" 'brief_" + kOdd + ".abf'"),
        0)
        << errors();
    EXPECT_NE(read("stdout.txt").find("brief_" + kOdd + ".abf->Done"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir_ / ("BRIEF_" + kOdd + ".PRN")));
    EXPECT_TRUE(fs::exists(dir_ / ("brief_" + kOdd + "d.sca")));

    // A parameter file and an output folder whose names are not UTF-8 either.
    std::ofstream(dir_ / ("set_" + kOdd + ".pcw")) << "[Parameters]\nDiff. trigger ([+-]pa/ms)=-4\n";
    ASSERT_EQ(run(std::string(PSCTRAWL_PROGRAM) + " --batch --quiet --no-ini --params 'set_" + kOdd +
                  ".pcw' --output-dir 'out_" + kOdd + "' 'brief_" + kOdd + ".abf'"),
              0)
        << errors();
    EXPECT_EQ(read("out_" + kOdd + "/BRIEF_" + kOdd + ".PRN"), read("BRIEF_" + kOdd + ".PRN"));
}

TEST_F(NonUtf8Names, SpktalCountsTheRecordingAndNamesItsOutputsAfterIt) {
    ASSERT_EQ(run(std::string(ABFSYNTH_PROGRAM) +
                  " --kind spikes --out cell.abf --sweeps 3 --first-step 0 --step-increment 50"
                  " --step-length 0.5 --rheobase 50 --gain 0.5 --seed 3"),
              0)
        << errors();
    fs::rename(dir_ / "cell.abf", dir_ / ("cell_" + kOdd + ".abf"));
    ASSERT_EQ(run(std::string(SPKTAL_PROGRAM) +
                  " --batch --no-ini --quiet --set \"Stimulus Epoch for counting=A\""
                  " --set \"New Output Name Format=Y\" 'cell_" +
                  kOdd + ".abf'"),
              0)
        << errors();
    EXPECT_TRUE(fs::exists(dir_ / ("cell_" + kOdd + "V.prn")));
    EXPECT_EQ(read("stdout.txt"), "Ouput File: cell_" + kOdd + ".prn\n");
}

TEST_F(NonUtf8Names, SwgWritesIntoTheFolderNamed) {
    const std::string folder = "waves_" + kOdd;
    fs::create_directory(dir_ / folder);
    ASSERT_EQ(
        run(std::string(SWG_PROGRAM) + " --batch --quiet --no-ini --seed 7 --output-dir '" + folder + "'"), 0)
        << errors();
    const std::string printed = read("stdout.txt");
    EXPECT_NE(printed.find(folder + "/"), std::string::npos) << printed;
    EXPECT_FALSE(fs::is_empty(dir_ / folder));
}

}  // namespace
