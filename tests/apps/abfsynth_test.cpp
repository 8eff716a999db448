// abfsynth as users run it: the files it writes read back through the recording module and
// hold what its ground truth says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../abf/abf_results.h"
#include "abf/abf_file.h"
#include "abf/abf_stimulus.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

class Abfsynth : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "abfsynth.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    int run(const std::string& arguments) {
        const std::string command = std::string(ABFSYNTH_PROGRAM) + " " + arguments + " >/dev/null 2>&1";
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
    static std::vector<std::vector<double>> csv(const std::string& p) {
        std::vector<std::vector<double>> rows;
        std::istringstream in(read(p));
        std::string line;
        std::getline(in, line);  // heading
        while (std::getline(in, line)) {
            std::vector<double> row;
            std::istringstream cells(line);
            std::string cell;
            while (std::getline(cells, cell, ',')) row.push_back(std::stod(cell));
            rows.push_back(row);
        }
        return rows;
    }
    fs::path dir_;
};

TEST_F(Abfsynth, SameSeedSameFileAndNoOverwriteWithoutAsking) {
    ASSERT_EQ(run("--out " + path("a.abf") + " --duration 5 --seed 3"), 0);
    ASSERT_EQ(run("--out " + path("b.abf") + " --duration 5 --seed 3"), 0);
    ASSERT_EQ(run("--out " + path("c.abf") + " --duration 5 --seed 4"), 0);
    EXPECT_EQ(read(path("a.abf")), read(path("b.abf")));
    EXPECT_EQ(read(path("a.truth.csv")), read(path("b.truth.csv")));
    EXPECT_NE(read(path("a.abf")), read(path("c.abf")));
    const std::string before = read(path("a.abf"));
    EXPECT_EQ(run("--out " + path("a.abf") + " --duration 5 --seed 9"), 1);
    EXPECT_EQ(read(path("a.abf")), before) << "an existing recording is never replaced unasked";
    EXPECT_EQ(run("--out " + path("a.abf") + " --duration 5 --seed 9 --overwrite"), 0);
    EXPECT_EQ(run("--duration 5"), 2);
    EXPECT_EQ(run("--out " + path("x.abf") + " --kind nothing"), 2);
}

TEST_F(Abfsynth, SpikePeaksAndCurrentStepsAreWhereTheTruthSays) {
    for (const std::string variant : {"", " --format float32", " --abf1"}) {
        SCOPED_TRACE(variant);
        fs::remove(path("s.abf"));
        ASSERT_EQ(run("--kind spikes --out " + path("s.abf") + " --sweeps 6 --channels 2 --noise 0 --seed 5" +
                      variant),
                  0);
        AbfHeader header;
        abfResetHeader(header);
        AbfFile file;
        int perSweep = 0, sweeps = 0, error = 0;
        ASSERT_EQ((sweeps = abf_test::take(file.open(path("s.abf"), header, perSweep), error)), 6)
            << abfErrorText(error, "s.abf");
        const auto truth = csv(path("s.truth.csv"));
        const auto steps = csv(path("s.steps.csv"));
        ASSERT_EQ(steps.size(), 6u);
        ASSERT_FALSE(truth.empty());
        const double dt = header.adcSequenceInterval * 1e-6;
        for (int sweep = 1; sweep <= 6; ++sweep) {
            int first = 0, last = 0;
            ASSERT_EQ(abfEpochBounds(header, 0, 0, sweep, 0, first, last), 0);
            EXPECT_EQ(first, steps[static_cast<std::size_t>(sweep - 1)][2]);
            EXPECT_EQ(last - first + 1, steps[static_cast<std::size_t>(sweep - 1)][3]);
            std::vector<float> command;
            ASSERT_EQ(abfStimulusWaveform(header, 0, sweep, command), 0);
            EXPECT_FLOAT_EQ(command[static_cast<std::size_t>(first)],
                            steps[static_cast<std::size_t>(sweep - 1)][1]);
            for (int channel = 0; channel < 2; ++channel) {
                std::vector<float> v;
                ASSERT_GT(abf_test::take(file.readSweep(channel, sweep, v), error), 0);
                std::vector<double> peaks, expected;
                for (std::size_t k = 1; k + 1 < v.size(); ++k) {
                    if (v[k] > 0 && v[k] >= v[k - 1] && v[k] > v[k + 1])
                        peaks.push_back(static_cast<double>(k) * dt);
                }
                for (const auto& row : truth) {
                    if (row[0] == sweep && row[1] == channel) expected.push_back(row[2]);
                }
                ASSERT_EQ(peaks.size(), expected.size()) << "sweep " << sweep << " channel " << channel;
                for (std::size_t i = 0; i < peaks.size(); ++i) EXPECT_NEAR(peaks[i], expected[i], 1e-6);
            }
        }
    }
}

TEST_F(Abfsynth, PscPeaksStandOutOfTheNoise) {
    ASSERT_EQ(run("--out " + path("p.abf") + " --duration 20 --rate 3 --min-gap 60 --noise 1 --seed 11"), 0);
    AbfHeader header;
    abfResetHeader(header);
    AbfFile file;
    int perSweep = 1 << 30, sweeps = 0, error = 0;
    ASSERT_EQ((sweeps = abf_test::take(file.open(path("p.abf"), header, perSweep), error)), 1);
    std::vector<float> v;
    ASSERT_EQ(abf_test::take(file.readSweep(0, 1, v), error), 400000);
    const auto truth = csv(path("p.truth.csv"));
    ASSERT_GT(truth.size(), 30u);
    for (const auto& e : truth) {
        const auto k = static_cast<std::size_t>(std::llround(e[2] / 50e-6));
        ASSERT_LT(k, v.size());
        // Isolated events: the trace at the peak is the amplitude, give or take the noise.
        EXPECT_NEAR(v[k], e[3], 5.0) << "event at " << e[2] << " s";
        EXPECT_LT(e[3], 0) << "inward by default";
    }
}

}  // namespace
}  // namespace ephys
