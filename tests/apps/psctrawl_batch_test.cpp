// psctrawl --batch as users run it, on synthetic recordings made by abfsynth: exit status, the
// event table and where it goes, overwriting, per-recording frame lists, refused values, settings;
// and on real recordings from the shared sample folder when it is there.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A trigger on falling slopes for abfsynth's inward currents (about 30 pA, 0.5 ms rise, 2 pA noise).
const std::string kBatch = "--batch --quiet --set \"Diff. trigger ([+-]pa/ms)=-4\" ";

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const fs::path& p) {
    std::vector<std::string> out;
    std::istringstream in(read(p));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// "times (sec)", the third cell of each row of an event table.
std::vector<double> eventTimes(const fs::path& p) {
    std::vector<double> times;
    const std::vector<std::string> rows = lines(p);
    for (std::size_t i = 2; i < rows.size(); ++i) {
        const std::size_t a = rows[i].find('\t'), b = rows[i].find('\t', a + 1);
        times.push_back(std::stod(rows[i].substr(b + 1)));
    }
    return times;
}

class PsctrawlBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "psctrawl-batch.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "config");
        // 20 s (196 frames of 2048 samples at 50 us) and 1 s (10 frames).
        for (const char* args : {"--out cell.abf --duration 20", "--out brief.abf --duration 1"})
            ASSERT_EQ(shell(std::string(ABFSYNTH_PROGRAM) + " --seed 3 " + args), 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int shell(const std::string& command) {
        const int raw =
            std::system(("cd " + dir_.string() + " && " + command + " >stdout.txt 2>stderr.txt").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    // psctrawl with its own settings folder.
    int run(const std::string& arguments) {
        return shell("XDG_CONFIG_HOME=" + (dir_ / "config").string() + " " + PSCTRAWL_PROGRAM + " " +
                     arguments);
    }
    std::string errors() const { return read(dir_ / "stderr.txt"); }
    // Every output of earlier runs (all but the recordings, their truths and the settings).
    void removeOutputs() {
        std::vector<fs::path> outputs;
        for (const fs::directory_entry& e : fs::directory_iterator(dir_)) {
            const std::string ext = e.path().extension().string();
            if (e.is_regular_file() && ext != ".abf" && ext != ".csv" && ext != ".ini" && ext != ".txt")
                outputs.push_back(e.path());
        }
        for (const fs::path& p : outputs) fs::remove(p);
    }
    fs::path dir_;
};

TEST_F(PsctrawlBatch, EventTableBesideTheRecordingHoldsRoughlyTheTruthsEvents) {
    ASSERT_EQ(run(kBatch + "--no-ini cell.abf"), 0) << errors();
    const std::vector<std::string> table = lines(dir_ / "CELL.PRN");
    ASSERT_GE(table.size(), 2u);
    EXPECT_EQ(table[0], "cell.PRN");
    EXPECT_EQ(table[1].rfind("\"Event #\"\t\"Event type\"\t\"times (sec)\"\t", 0), 0u) << table[1];
    const std::size_t truth = lines(dir_ / "cell.truth.csv").size() - 1, found = table.size() - 2;
    EXPECT_GT(found, truth * 7 / 10) << "truth " << truth;
    EXPECT_LT(found, truth * 13 / 10) << "truth " << truth;
    const std::vector<double> times = eventTimes(dir_ / "CELL.PRN");
    EXPECT_GE(times.front(), 0.0);
    EXPECT_LT(times.back(), 20.0);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_NE(read(dir_ / "stdout.txt").find("All Events:"), std::string::npos);
}

TEST_F(PsctrawlBatch, OutputFolderAndOverwriting) {
    ASSERT_EQ(run(kBatch + "--no-ini --output-dir results cell.abf"), 0) << errors();
    EXPECT_TRUE(fs::exists(dir_ / "results/CELL.PRN"));
    EXPECT_FALSE(fs::exists(dir_ / "CELL.PRN"));

    // An output that exists is kept, named on standard error, and the run fails.
    std::ofstream(dir_ / "results/CELL.PRN") << "older table\n";
    EXPECT_EQ(run(kBatch + "--no-ini --output-dir results cell.abf"), 1) << errors();
    EXPECT_EQ(read(dir_ / "results/CELL.PRN"), "older table\n");
    EXPECT_NE(errors().find("Skipped: results/CELL.PRN"), std::string::npos) << errors();
    EXPECT_NE(read(dir_ / "stdout.txt").find("cell.abf->Done"), std::string::npos);

    EXPECT_EQ(run(kBatch + "--no-ini --overwrite --output-dir results cell.abf"), 0) << errors();
    EXPECT_EQ(lines(dir_ / "results/CELL.PRN").at(0), "cell.PRN");
    EXPECT_EQ(errors().find("Skipped"), std::string::npos) << errors();

    // The parameter row does the same as --overwrite.
    std::ofstream(dir_ / "results/CELL.PRN") << "older table\n";
    EXPECT_EQ(run(kBatch + "--no-ini --set \"Over write output files=Y\" --output-dir results cell.abf"), 0)
        << errors();
    EXPECT_EQ(lines(dir_ / "results/CELL.PRN").at(0), "cell.PRN");
}

TEST_F(PsctrawlBatch, OneSkippedOutputAmongOthersWrittenFailsTheRun) {
    // Only the event table exists beforehand: the other outputs are written, the table is not.
    std::ofstream(dir_ / "BRIEF.PRN") << "older table\n";
    EXPECT_EQ(run(kBatch + "--no-ini brief.abf cell.abf"), 1) << errors();
    EXPECT_EQ(read(dir_ / "BRIEF.PRN"), "older table\n");
    EXPECT_TRUE(fs::exists(dir_ / "CELL.PRN"));
    EXPECT_TRUE(fs::exists(dir_ / "briefd.sca"));
    EXPECT_NE(errors().find("BRIEF.PRN"), std::string::npos) << errors();
}

TEST_F(PsctrawlBatch, ARecordingWhoseOutputsAreNotWrittenFailsWithoutDone) {
    // A disk that fills up: the 1 s recording's outputs (under 20 kB each) fit, the 20 s one's
    // scan file (some 260 kB) does not. The limit (64 blocks: 32 or 64 kB, by the shell) makes
    // writes fail instead of ending the program.
    const std::string limited = "trap '' XFSZ; ulimit -f 64; ";
    EXPECT_EQ(shell(limited + "XDG_CONFIG_HOME=" + (dir_ / "config").string() + " " + PSCTRAWL_PROGRAM + " " +
                    kBatch + "--no-ini brief.abf cell.abf"),
              1)
        << errors();
    const std::string out = read(dir_ / "stdout.txt");
    EXPECT_NE(out.find("brief.abf->Done"), std::string::npos) << out;
    EXPECT_EQ(out.find("cell.abf->Done"), std::string::npos) << out;
    // The failure names the output and the system's reason.
    EXPECT_NE(errors().find("Error writing scan file: celld.sca: File too large"), std::string::npos)
        << errors();
    EXPECT_FALSE(fs::exists(dir_ / "celld.sca"));
    removeOutputs();

    // A recording name as long as a folder allows: the event table fits, the scan file's name
    // (one character longer) does not.
    const std::string base(251, 'c');
    fs::copy_file(dir_ / "brief.abf", dir_ / (base + ".abf"));
    EXPECT_EQ(run(kBatch + "--no-ini " + base + ".abf"), 1) << errors();
    EXPECT_EQ(read(dir_ / "stdout.txt").find("->Done"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir_ / (std::string(251, 'C') + ".PRN")));
}

TEST_F(PsctrawlBatch, OutputsOfOneNameInABatchKeepTheFirstAndFailTheLater) {
    for (const char* args :
         {"--seed 4 --out rec_0011.abf --duration 1", "--seed 5 --out rec_0111.abf --duration 1"})
        ASSERT_EQ(shell(std::string(ABFSYNTH_PROGRAM) + " " + args), 0);
    // The summary of rec_0011 on its own.
    ASSERT_EQ(run(kBatch + "--no-ini --output-dir alone rec_0011.abf"), 0) << errors();
    const std::string alone = read(dir_ / "alone/REC_0S11.PRN");
    ASSERT_FALSE(alone.empty());

    // Both recordings' summaries are named REC_0S11.PRN.
    EXPECT_EQ(run(kBatch + "--no-ini rec_0011.abf rec_0111.abf"), 1) << errors();
    EXPECT_EQ(read(dir_ / "REC_0S11.PRN"), alone);
    const std::string said = errors();
    const std::size_t line = said.find("REC_0S11.PRN");
    ASSERT_NE(line, std::string::npos) << said;
    const std::string message = said.substr(line, said.find('\n', line) - line);
    EXPECT_NE(message.find("rec_0011.abf"), std::string::npos) << message;
    EXPECT_NE(message.find("rec_0111.abf"), std::string::npos) << message;
    const std::string out = read(dir_ / "stdout.txt");
    EXPECT_NE(out.find("rec_0011.abf->Done"), std::string::npos) << out;
    EXPECT_EQ(out.find("rec_0111.abf->Done"), std::string::npos) << out;
    // The outputs whose names are its own are written.
    EXPECT_TRUE(fs::exists(dir_ / "REC_0111.PRN"));
    EXPECT_TRUE(fs::exists(dir_ / "rec_0111d.sca"));
}

TEST_F(PsctrawlBatch, FramesListAppliesToEachRecordingAndFailsOnlyWhereItDoesNotFit) {
    ASSERT_EQ(run(kBatch + "--no-ini --set Frames=1..3 cell.abf"), 0) << errors();
    for (double t : eventTimes(dir_ / "CELL.PRN")) EXPECT_LT(t, 3 * 2048 * 50e-6);
    removeOutputs();

    EXPECT_EQ(run(kBatch + "--no-ini --set Frames=1..50 brief.abf cell.abf"), 1);
    EXPECT_NE(errors().find("Parameter Error"), std::string::npos) << errors();
    EXPECT_NE(errors().find("File 'brief.abf' has 10 frames."), std::string::npos) << errors();
    EXPECT_FALSE(fs::exists(dir_ / "BRIEF.PRN"));
    const std::vector<double> times = eventTimes(dir_ / "CELL.PRN");
    ASSERT_FALSE(times.empty());
    EXPECT_GT(times.back(), 3 * 2048 * 50e-6);
    EXPECT_LT(times.back(), 50 * 2048 * 50e-6);
}

TEST_F(PsctrawlBatch, RefusedValuesAndBadUsageStopBeforeAnyRecording) {
    EXPECT_EQ(run("--batch --no-ini --set \"Filtering (Hz)=20000\" cell.abf"), 2);
    EXPECT_NE(errors().find("Parameter Error"), std::string::npos) << errors();
    for (const char* bad :
         {"--batch --no-ini --set \"No such row=1\" cell.abf",
          "--batch --no-ini --set \"Export ASCII=maybe\" cell.abf", "--batch --no-ini",
          "--batch --params missing.ini cell.abf", "--batch --no-such-option cell.abf",
          // Lists that are no frame lists, whatever the recording: a step below 1.
          "--batch --no-ini --set Frames=1..3Q0 cell.abf", "--batch --no-ini --set Frames=1.5.5 cell.abf"})
        EXPECT_EQ(run(bad), 2) << bad;
    EXPECT_FALSE(fs::exists(dir_ / "CELL.PRN"));
}

TEST_F(PsctrawlBatch, TemplateFromRecordingNeedsAModelDetector) {
    for (const std::string detector : {"--detector slope ", ""}) {
        EXPECT_EQ(run(kBatch + "--no-ini " + detector + "--template-from-recording cell.abf"), 2) << detector;
        EXPECT_NE(errors().find("--template-from-recording needs --detector deconvolution or template"),
                  std::string::npos)
            << errors();
        EXPECT_FALSE(fs::exists(dir_ / "CELL.PRN"));
    }
    ASSERT_EQ(run("--help"), 0);
    EXPECT_NE(read(dir_ / "stdout.txt").find("--template-from-recording"), std::string::npos);
}

TEST_F(PsctrawlBatch, HumRemovalFindsTheEventsMainsHumHides) {
    // 10 pA of 60 Hz hum over 4 pA of white noise and 20 pA events.
    ASSERT_EQ(
        shell(std::string(ABFSYNTH_PROGRAM) +
              " --seed 5 --out hum.abf --duration 20 --rate 5 --amplitude 20 --noise 4 --hum 10 --hum-hz 60"),
        0);
    std::vector<double> truth;
    const std::vector<std::string> rows = lines(dir_ / "hum.truth.csv");
    for (std::size_t i = 1; i < rows.size(); ++i)
        truth.push_back(std::stod(rows[i].substr(rows[i].find(',') + 1)));
    ASSERT_GT(truth.size(), 60u);
    // How many true onsets have an event within 3 ms.
    auto found = [&](const std::vector<double>& times) {
        std::size_t n = 0;
        for (const double t : truth)
            n += std::any_of(times.begin(), times.end(), [&](double e) { return std::fabs(e - t) < 0.003; });
        return n;
    };
    // Inward currents: the trigger's sign gives the direction.
    const std::string detect =
        "--batch --quiet --no-ini --output-dir out --detector deconvolution "
        "--set \"Diff. trigger ([+-]pa/ms)=-3\" ";
    ASSERT_EQ(run(detect + "--hum-hz 0 hum.abf"), 0) << errors();
    const std::vector<double> hummed = eventTimes(dir_ / "out/HUM.PRN");
    EXPECT_LT(found(hummed), truth.size() / 2);

    // Given, or found by itself (the default), and said after the results.
    for (const std::string hum : {"--hum-hz 60 ", ""}) {
        ASSERT_EQ(run(detect + "--overwrite " + hum + "hum.abf"), 0) << errors();
        const std::vector<double> clean = eventTimes(dir_ / "out/HUM.PRN");
        EXPECT_GE(found(clean), truth.size() * 97 / 100) << hum;
        EXPECT_LE(clean.size(), truth.size() * 103 / 100) << hum;
        const std::string said = read(dir_ / "stdout.txt");
        // 10 pA of hum, 1 % less after the 500 Hz filter.
        EXPECT_NE(said.find("Mains hum in hum.abf: 9.9"), std::string::npos) << said;
        EXPECT_NE(said.find(" pA at 60 Hz, with its harmonics, taken out of 100 % of the frames"),
                  std::string::npos)
            << said;
    }

    // Only the model detectors take it, and only a frequency.
    for (const std::string bad :
         {"--hum-hz 50 ", "--detector slope --hum-hz 50 ", "--detector deconvolution --hum-hz -5 ",
          "--detector template --hum-hz x "}) {
        EXPECT_EQ(run(kBatch + "--no-ini " + bad + "cell.abf"), 2) << bad;
        EXPECT_NE(errors().find("--hum-hz"), std::string::npos) << errors();
    }
    EXPECT_FALSE(fs::exists(dir_ / "CELL.PRN"));
}

TEST_F(PsctrawlBatch, MalformedNumbersAndFileValuesOutsideTheirRowsAreRefused) {
    for (const char* value : {"", "--5", "1.5.5", "1e"}) {
        EXPECT_EQ(run("--batch --no-ini --set \"Filtering (Hz)=" + std::string(value) + "\" cell.abf"), 2)
            << value;
        EXPECT_EQ(errors(), "Parameter Error: Filtering (Hz)\nmust be a number between 0 and 10000!\n")
            << value;
    }
    EXPECT_EQ(run("--batch --no-ini --set \"Frame length (samples)=1e999\" cell.abf"), 2);
    for (const char* value : {"", "3abc"}) {
        EXPECT_EQ(run(kBatch + "--no-ini --set \"Frames=" + value + "\" cell.abf"), 2) << value;
        EXPECT_EQ(errors(), "Parameter Error: Frames\nmust be a valid list of numbers!\n") << value;
    }

    std::ofstream(dir_ / "blocks.prm") << "[Parameters]\n# of 256pt/blocks to export=100000\n";
    EXPECT_EQ(run(kBatch + "--no-ini --params blocks.prm cell.abf"), 2);
    EXPECT_EQ(errors(),
              "Parameter Error: Read from blocks.prm:\n# of 256pt/blocks to export=100000\n"
              "must be an integer between 1 and 100!\n");
    const fs::path ini = dir_ / "config/PSCTRAWL.ini";
    std::ofstream(ini) << "[Parameters]\nFrame length (samples)=1000000000\n";
    EXPECT_EQ(run(kBatch + "cell.abf"), 2);
    EXPECT_NE(errors().find("Frame length (samples)=1000000000\nmust be an integer between 64 and 30000!"),
              std::string::npos)
        << errors();
    std::ofstream(dir_ / "garbage.prm", std::ios::binary) << std::string("[Parameters]\nFilter\0\0\x7f", 22);
    EXPECT_EQ(run(kBatch + "--no-ini --params garbage.prm cell.abf"), 2);
    EXPECT_EQ(errors(), "psctrawl: garbage.prm is not a parameter file: it holds binary data\n");
    EXPECT_FALSE(fs::exists(dir_ / "CELL.PRN"));

    // The frame list the desktop program leaves in its settings is checked against each recording.
    std::ofstream(ini) << "[Parameters]\nFrames=1..500\nFrame length (samples)=2048\n";
    EXPECT_EQ(run(kBatch + "brief.abf"), 0) << errors();
}

// Each recording that cannot be opened gets one more line, naming it with the reason.
std::string openFailure(const std::string& line) {
    return "Error: Error opening file in GetInfo\n" + line + "\nError: Error in PscTrawl\n";
}

TEST_F(PsctrawlBatch, RecordingsThatCannotBeOpenedAreNamedWithTheReasonWhileTheOthersAreDone) {
    EXPECT_EQ(run(kBatch + "--no-ini missing.abf"), 1);
    EXPECT_EQ(errors(), openFailure("File 'missing.abf' was not found.")) << errors();

    std::ofstream(dir_ / "notes.abf") << "not a recording\n";
    std::ofstream(dir_ / "cut.abf", std::ios::binary) << read(dir_ / "brief.abf").substr(0, 1000);
    EXPECT_EQ(run(kBatch + "--no-ini notes.abf missing.abf cut.abf cell.abf"), 1);
    EXPECT_EQ(errors(), openFailure("File 'notes.abf' is not an ABF file.") +
                            openFailure("File 'missing.abf' was not found.") +
                            openFailure("File 'cut.abf' is truncated."))
        << errors();
    EXPECT_TRUE(fs::exists(dir_ / "CELL.PRN"));
    EXPECT_FALSE(fs::exists(dir_ / "CUT.PRN"));
}

TEST_F(PsctrawlBatch, SettingsFileThenParameterFileThenSetAndTheSettingsFileIsNeverWritten) {
    const fs::path ini = dir_ / "config/PSCTRAWL.ini";
    std::ofstream(ini) << "[Parameters]\nExport ASCII=0\nExport Scan=0\n";
    std::ofstream(dir_ / "mine.ini") << "[Parameters]\nExport ASCII=1\n";
    const std::string before = read(ini);
    struct Case {
        const char* options;
        bool table;
    };
    for (const Case& c :
         {Case{"", false}, Case{"--params mine.ini", true},
          Case{"--params mine.ini --set \"Export ASCII=no\"", false}, Case{"--no-ini", true}}) {
        ASSERT_EQ(run(kBatch + c.options + " cell.abf"), 0) << c.options << errors();
        EXPECT_EQ(fs::exists(dir_ / "CELL.PRN"), c.table) << c.options;
        EXPECT_EQ(fs::exists(dir_ / "celld.sca"), std::string(c.options) == "--no-ini") << c.options;
        removeOutputs();
    }
    EXPECT_EQ(read(ini), before);
}

// The cells of the rows of an event table, split at tabs.
std::vector<std::vector<std::string>> eventRows(const fs::path& p) {
    std::vector<std::vector<std::string>> rows;
    const std::vector<std::string> all = lines(p);
    for (std::size_t i = 2; i < all.size(); ++i) {
        std::vector<std::string> cells;
        std::istringstream in(all[i]);
        for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

struct RealRecording {
    const char* file;
    const char* table;     // the event table's name
    const char* settings;  // --set options
    double sign;           // expected sign of every amplitude
    bool episodic;
};

// Voltage-clamp recordings with spontaneous currents: two episodic ones with inward currents
// (falling trigger) and a gap-free one with brief positive-going events (rising trigger).
const RealRecording kRealRecordings[] = {
    {"171116sh_0020.abf", "171116SH_0020.PRN", "--set \"Diff. trigger ([+-]pa/ms)=-5\"", -1.0, true},
    {"17o05026_vc_stim.abf", "17O05026_VC_STIM.PRN", "--set \"Diff. trigger ([+-]pa/ms)=-5\"", -1.0, true},
    {"File_axon_1.abf", "FILE_AXON_1.PRN", "--set \"Diff. trigger ([+-]pa/ms)=5\"", 1.0, false},
};

TEST_F(PsctrawlBatch, RealRecordingsGiveEventsOfTheExpectedSignInTimeOrder) {
    const fs::path samples = EPHYS_ABF_SAMPLES_DIR;
    for (const RealRecording& r : kRealRecordings)
        if (!fs::exists(samples / r.file)) GTEST_SKIP() << "no " << (samples / r.file);
    for (const RealRecording& r : kRealRecordings) {
        SCOPED_TRACE(r.file);
        fs::copy_file(samples / r.file, dir_ / r.file);
        ASSERT_EQ(run("--batch --quiet --no-ini " + std::string(r.settings) + " " + r.file), 0) << errors();
        EXPECT_NE(read(dir_ / "stdout.txt").find(std::string(r.file) + "->Done"), std::string::npos);
        const std::vector<std::vector<std::string>> rows = eventRows(dir_ / r.table);
        ASSERT_GT(rows.size(), 10u);
        std::string episode;
        double previous = -1.0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::vector<std::string>& cells = rows[i];
            ASSERT_GE(cells.size(), r.episodic ? 16u : 13u) << "row " << i + 1;
            EXPECT_EQ(std::stoi(cells[0]), static_cast<int>(i + 1));
            const double amplitude = std::stod(cells[8]);
            EXPECT_GT(amplitude * r.sign, 0.0) << "row " << i + 1;
            EXPECT_LT(std::abs(amplitude), 2000.0) << "row " << i + 1;
            const double rise = std::stod(cells[4]);
            EXPECT_GT(rise, 0.0) << "row " << i + 1;
            EXPECT_LT(rise, 20.0) << "row " << i + 1;
            // Within an episode (or the whole gap-free recording) the onsets increase.
            const double time = r.episodic ? std::stod(cells[15]) : std::stod(cells[2]);
            if (r.episodic && cells[13] != episode) {
                episode = cells[13];
                previous = -1.0;
            }
            EXPECT_GT(time, previous) << "row " << i + 1;
            EXPECT_GE(time, 0.0);
            previous = time;
        }
    }
}

}  // namespace
