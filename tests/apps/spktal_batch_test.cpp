// spktal --batch as users run it: on an abfsynth recording (where the outputs go, the result text
// on standard output, refused settings, failing recordings, the settings file) and on the real
// current-clamp recordings, whose counts are checked against an independent count of the
// threshold crossings in the chosen current step.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../abf/abf_results.h"
#include "abf/abf_file.h"
#include "abf/abf_header.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

// Counting inside the synthetic step (epoch A).
const std::string kStep =
    " --no-ini --quiet --set \"Stimulus Epoch for counting=A\" --set \"Max Spike Duration (ms)=3\"" +
    std::string(" --set \"New Output Name Format=Y\"");

class SpktalBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "spktal-batch.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "config");
        ASSERT_EQ(
            std::system((std::string(ABFSYNTH_PROGRAM) + " --kind spikes --out " + path("cell.abf") +
                         " --sweeps 6 --channels 2 --first-step -50 --step-increment 50 --step-length 0.5"
                         " --rheobase 50 --gain 0.5 --seed 3 >/dev/null 2>&1")
                            .c_str()),
            0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs spktal in the test's folder with its own settings folder; returns the exit status.
    int run(const std::string& arguments) {
        const std::string command = "cd " + dir_.string() + " && XDG_CONFIG_HOME=" + path("config") + " " +
                                    SPKTAL_PROGRAM + " " + arguments + " >stdout.txt 2>stderr.txt";
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string output() const { return read(path("stdout.txt")); }
    std::string errors() const { return read(path("stderr.txt")); }
    static std::vector<std::string> split(const std::string& text, char separator) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string cell; std::getline(in, cell, separator);) out.push_back(cell);
        return out;
    }
    bool anyOutputs() const {
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().extension() == ".prn") return true;
        return false;
    }
    fs::path dir_;
};

TEST_F(SpktalBatch, ResultTextOnStandardOutputAndTheOutputsBesideOrInAFolder) {
    ASSERT_EQ(run("--batch" + kStep + " cell.abf"), 0) << errors();
    EXPECT_EQ(output(), "Ouput File: cell.prn\n");
    EXPECT_TRUE(errors().empty()) << errors();
    for (const char* name : {"cellV.prn", "cellXA.prn", "cellXB.prn"})
        EXPECT_TRUE(fs::exists(path(name))) << name;

    // With frequencies the F/I summary is the result text; the synthesizer fires 0.5 Hz per pA
    // above its rheobase of 50 pA. The slope method adds its noise lines.
    ASSERT_EQ(run("--batch --output-dir out --set \"Do Frequencies=1\" --set \"Detection method=R\"" + kStep +
                  " cell.abf"),
              0)
        << errors();
    EXPECT_TRUE(fs::exists(path("out/cellK.prn")));
    const std::vector<std::string> out = split(output(), '\n');
    ASSERT_EQ(out.size(), 8u) << output();
    EXPECT_EQ(out[0].rfind("RMS is ", 0) + out[1].rfind("RMS is ", 0), 0u) << output();
    EXPECT_EQ(out[2] + "|" + out[3] + "|" + out[4], "File: cell||Intrvl\tF/I slp\tX int\tR sq");
    for (std::size_t k = 5; k < 8; ++k) {
        const std::vector<std::string> c = split(out[k], '\t');
        ASSERT_EQ(c.size(), 4u);
        EXPECT_NEAR(std::stod(c[1]), 0.5, 0.15) << out[k];
        EXPECT_NEAR(std::stod(c[2]), 50.0, 20.0) << out[k];
    }
}

TEST_F(SpktalBatch, FiPlotsAreWrittenAsSvgAndPngBesideTheOutputs) {
    const std::string fi = "--batch --set \"Do Frequencies=1\" --set \"Generate F/I Plots?=Y\"" + kStep;
    // Without a display (batch mode runs on servers too).
    ASSERT_EQ(run("--output-dir out " + fi + " cell.abf"), 0) << errors();
    EXPECT_TRUE(errors().empty()) << errors();
    const std::string svg = read(path("out/cell_FI.svg"));
    ASSERT_FALSE(svg.empty());
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_EQ(svg.substr(svg.find_last_not_of(" \n") - 5, 6), "</svg>");
    for (const char* text :
         {"Frequency (Hz)", "Stimulus current", "first Intvl", "middle Intvl", "last Intvl", "f/I slope"})
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    const std::string png = read(path("out/cell_FI.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");

    // Without "Generate F/I Plots?" no figure; a folder that cannot take the figure fails the run.
    fs::remove_all(path("out"));
    ASSERT_EQ(run("--output-dir out --batch --set \"Do Frequencies=1\"" + kStep + " cell.abf"), 0);
    EXPECT_FALSE(fs::exists(path("out/cell_FI.svg")));
    fs::create_directory(path("out/cell_FI.svg"));  // a folder where the figure should go
    EXPECT_EQ(run("--output-dir out " + fi + " cell.abf"), 1);
    EXPECT_NE(errors().find("F/I plots"), std::string::npos) << errors();
}

TEST_F(SpktalBatch, RefusedValuesBadUsageAndFailingRecordings) {
    EXPECT_EQ(run("--batch --no-ini --set \"Interval to Measure=0\" cell.abf"), 2);
    EXPECT_EQ(errors(),
              "Parameter Error: Interval to Measure\nmust be an integer between 1 and 2147483647!\n");
    for (const char* arguments :
         {"--set \"# spikes/burst=-3\" cell.abf", "--set \"First Channel (0-15)=16\" cell.abf",
          "--set \"No such row=1\" cell.abf", "--set \"Spike Polarity=X\" cell.abf", "",
          "--params missing.ini cell.abf", "--no-such-option cell.abf"})
        EXPECT_EQ(run(std::string("--batch --no-ini ") + arguments), 2) << arguments;
    EXPECT_EQ(run("--help"), 0);  // the options, without opening a window
    EXPECT_NE(output().find("--batch"), std::string::npos);
    EXPECT_FALSE(anyOutputs());

    // Each recording that cannot be opened gets one more line, naming it with the reason.
    auto openFailure = [](const std::string& line) {
        return "Error: Error opening file\n" + line + "\nError: Error in Spkcensus\n";
    };
    EXPECT_EQ(run("--batch" + kStep + " missing.abf"), 1);
    EXPECT_EQ(errors(), openFailure("File 'missing.abf' was not found."));
    EXPECT_TRUE(output().empty()) << output();

    std::ofstream(path("notes.abf")) << "not a recording\n";
    std::ofstream(path("cut.abf"), std::ios::binary) << read(path("cell.abf")).substr(0, 1000);
    EXPECT_EQ(run("--batch" + kStep + " notes.abf missing.abf cut.abf cell.abf"), 1);
    EXPECT_EQ(errors(), openFailure("File 'notes.abf' is not an ABF file.") +
                            openFailure("File 'missing.abf' was not found.") +
                            openFailure("File 'cut.abf' is truncated."));
    EXPECT_EQ(output(), "Ouput File: cell.prn\n");
    EXPECT_TRUE(fs::exists(path("cellV.prn")));
    EXPECT_FALSE(fs::exists(path("cutV.prn")));
}

TEST_F(SpktalBatch, ARecordingWhoseOutputsAreNotWrittenFails) {
    // 40 sweeps: the latency files take some 4 kB each.
    ASSERT_EQ(std::system((std::string(ABFSYNTH_PROGRAM) + " --kind spikes --out " + path("long.abf") +
                           " --sweeps 40 --channels 2 --first-step -50 --step-increment 10 --step-length 0.5"
                           " --rheobase 50 --gain 0.5 --seed 3 >/dev/null 2>&1")
                              .c_str()),
              0);
    // A disk that fills up after one block (512 or 1024 bytes, by the shell); writes past it fail
    // instead of ending the program.
    const std::string command = "cd " + dir_.string() +
                                " && trap '' XFSZ && ulimit -f 1 && XDG_CONFIG_HOME=" + path("config") + " " +
                                SPKTAL_PROGRAM + " --batch" + kStep + " long.abf >stdout.txt 2>stderr.txt";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1) << errors();
    EXPECT_EQ(output().find("Ouput File"), std::string::npos) << output();
    EXPECT_NE(errors().find("Error! Could not write the file"), std::string::npos) << errors();
}

TEST_F(SpktalBatch, OutputsOfOneNameAreWrittenOnce) {
    ASSERT_EQ(run("--batch --output-dir new" + kStep + " cell.abf"), 0) << errors();
    // Old name format and a name too short for the channel letter: both channels' latency files
    // are cXll.prn. The first channel's is written, the second's is not, and the recording fails.
    EXPECT_EQ(run("--batch" + kStep + " --set \"New Output Name Format=N\" cell.abf"), 1) << errors();
    EXPECT_NE(errors().find("cXll.prn is already an output of cell.abf"), std::string::npos) << errors();
    EXPECT_EQ(output().find("Ouput File"), std::string::npos) << output();
    EXPECT_EQ(read(path("cXll.prn")), read(path("new/cellXA.prn")));
    EXPECT_EQ(read(path("cVll.prn")), read(path("new/cellV.prn")));
}

TEST_F(SpktalBatch, SettingsFileThenParameterFileThenSetAndTheSettingsFileIsNeverWritten) {
    const std::string batch = "--batch --quiet --set \"New Output Name Format=Y\" ";
    ASSERT_EQ(run(batch + "cell.abf"), 0) << errors();
    EXPECT_TRUE(fs::is_empty(path("config")));  // none is made
    fs::remove(path("cellV.prn"));

    const std::string ini = path("config/SPKTAL.ini");
    std::ofstream(ini) << "[General]\nFont=Arial\n[Parameters]\nSummary Output (V)=0\n";
    const std::string before = read(ini);
    ASSERT_EQ(run(batch + "cell.abf"), 0) << errors();
    EXPECT_FALSE(fs::exists(path("cellV.prn")));

    std::ofstream(path("mine.ini")) << "[Parameters]\nSummary Output (V)=1\nRaw Data Output (U)=1\n";
    ASSERT_EQ(run(batch + "--params mine.ini --set \"Raw Data Output (U)=no\" cell.abf"), 0);
    EXPECT_TRUE(fs::exists(path("cellV.prn")));
    EXPECT_FALSE(fs::exists(path("cellU.prn")));
    fs::remove(path("cellV.prn"));

    ASSERT_EQ(run(batch + "--no-ini cell.abf"), 0) << errors();
    EXPECT_TRUE(fs::exists(path("cellV.prn")));
    EXPECT_EQ(read(ini), before);
}

TEST_F(SpktalBatch, MalformedNumbersAndFileValuesOutsideTheirRowsAreRefused) {
    // On the command line the whole value must be the number.
    for (const char* value : {"", "--5", "1.5.5", "1e", "1e999", "5x"}) {
        EXPECT_EQ(run("--batch" + kStep + " --set \"Onset of spike counting (ms)=" + value + "\" cell.abf"),
                  2)
            << value;
        EXPECT_EQ(errors(),
                  "Parameter Error: Onset of spike counting (ms)\nmust be a number between 0 and 100000!\n")
            << value;
    }
    EXPECT_EQ(run("--batch" + kStep + " --set \"First Channel (0-15)=1e999\" cell.abf"), 2);

    // A parameter file or settings file value is checked like a typed one.
    std::ofstream(path("big.ini")) << "[Parameters]\nGap Free Frame Length (samples)=1000000000\n";
    EXPECT_EQ(run("--batch" + kStep + " --params big.ini cell.abf"), 2);
    EXPECT_EQ(errors(),
              "Parameter Error: Read from big.ini:\nGap Free Frame Length (samples)=1000000000\n"
              "must be an integer between 100 and 100000!\n");
    std::ofstream(path("config/SPKTAL.ini")) << "[Parameters]\nMax Spike Duration (ms)=51\n";
    EXPECT_EQ(run("--batch --quiet --set \"Stimulus Epoch for counting=A\" cell.abf"), 2);
    EXPECT_NE(errors().find("Max Spike Duration (ms)=51\nmust be a number between 0 and 50!"),
              std::string::npos)
        << errors();
    fs::remove(path("config/SPKTAL.ini"));

    // A recording or a file without a [Parameters] section is no parameter file.
    EXPECT_EQ(run("--batch" + kStep + " --params cell.abf cell.abf"), 2);
    EXPECT_EQ(errors(), "spktal: cell.abf is not a parameter file: it holds binary data\n");
    std::ofstream(path("notes.txt")) << "Max Spike Duration (ms)=2\n";
    EXPECT_EQ(run("--batch" + kStep + " --params notes.txt cell.abf"), 2);
    EXPECT_NE(errors().find("notes.txt is not a parameter file"), std::string::npos) << errors();
    EXPECT_FALSE(anyOutputs());
}

// ---- The real recordings ----------------------------------------------------------------------

// The independent count: every excursion above -25 mV that comes back below -28 mV, counted when
// its highest sample lies inside the step epoch; and the step's level in each sweep.
void countCrossings(const std::string& file, int epoch, std::vector<int>& counts,
                    std::vector<double>& levels) {
    AbfFile abf;
    AbfHeader header;
    int samples = 0, sweeps = 0, error = 0;
    ASSERT_GT((sweeps = abf_test::take(abf.open(file, header, samples), error)), 0) << file;
    const auto& epochs = header.dacs[0].epochs;
    for (int sweep = 1; sweep <= sweeps; ++sweep) {
        // After the holding stretch of 1/64 of the sweep and the epochs before it.
        int first = samples / 64;
        for (int e = 0; e < epoch; ++e)
            first += epochs[e].initDuration + (sweep - 1) * epochs[e].durationIncrement;
        const int last =
            first + epochs[epoch].initDuration + (sweep - 1) * epochs[epoch].durationIncrement - 1;
        levels.push_back(epochs[epoch].initLevel +
                         static_cast<float>(sweep - 1) * epochs[epoch].levelIncrement);
        std::vector<float> mv;
        abf_test::take(abf.readSweep(header.adcSamplingSeq[0], sweep, mv), error);
        int count = 0;
        bool above = false;
        int peak = 0;
        for (int i = 0; i + 2 < static_cast<int>(mv.size()); ++i) {
            if (!above && mv[i] > -25.0f) above = true, peak = i;
            if (!above) continue;
            if (mv[i] >= mv[peak]) peak = i;
            if (mv[i] < -28.0f) above = false, count += peak >= first && peak <= last ? 1 : 0;
        }
        counts.push_back(count);
    }
}

class RealRecordings : public SpktalBatch,
                       public ::testing::WithParamInterface<std::pair<const char*, char>> {};

TEST_P(RealRecordings, CountsInTheStepAgreeWithAnIndependentCount) {
    const fs::path recording = fs::path(EPHYS_ABF_SAMPLES_DIR) / GetParam().first;
    if (!fs::exists(recording)) GTEST_SKIP() << recording << " not found; skipped";
    const char epoch = GetParam().second;
    ASSERT_EQ(
        run("--batch --no-ini --quiet --output-dir out --set \"New Output Name Format=Y\" --set \"Stimuli "
            "Output (pA)=Y\" --set \"Max Spike Duration (ms)=50\" --set \"Do Frequencies=Y\" --set "
            "\"Stimulus "
            "Epoch for counting=" +
            std::string(1, epoch) + "\" " + recording.string()),
        0)
        << errors();
    std::vector<int> counts;
    std::vector<double> levels;
    countCrossings(recording.string(), epoch - 'A', counts, levels);
    const std::vector<std::string> rows =
        split(read(path("out/" + recording.stem().string() + "V.prn")), '\n');
    ASSERT_EQ(rows.size(), 3 + counts.size());
    int hyperpolarised = 0, weakest = -1, strongest = 0;
    for (std::size_t s = 0; s < counts.size(); ++s) {
        const std::vector<std::string> c = split(rows[3 + s], '\t');
        EXPECT_EQ(std::stod(c.at(1)), levels[s]) << "sweep " << s + 1;
        const int count = c.size() > 2 && !c[2].empty() ? std::stoi(c[2]) : 0;
        EXPECT_EQ(count, counts[s]) << "sweep " << s + 1;
        if (levels[s] < 0) hyperpolarised += count;
        if (levels[s] > 0 && weakest < 0) weakest = count;
        strongest = count;
    }
    EXPECT_EQ(hyperpolarised, 0);
    EXPECT_GT(strongest, weakest);
    // The frequency summary shows a rising F/I relation.
    const std::vector<std::string> out = split(output(), '\n');
    ASSERT_EQ(out.size(), 6u) << output();
    EXPECT_EQ(out[0], "File: " + (recording.parent_path() / recording.stem()).string());
    EXPECT_GT(std::stod(split(out[3], '\t').at(1)), 0.0) << out[3];
}

INSTANTIATE_TEST_SUITE_P(CurrentClamp, RealRecordings,
                         ::testing::Values(std::pair{"2019_07_24_0055_fsi.abf", 'B'},
                                           std::pair{"18711001.abf", 'C'}),
                         [](const auto& info) { return info.param.second == 'B' ? "Fsi" : "Steps"; });

}  // namespace
}  // namespace ephys
