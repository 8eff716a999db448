// psctrawl --batch under faults: a run killed at any moment leaves every recording's outputs
// either all as they were or all new, and its temporary files go at the next run in that folder;
// two runs at once into one folder never write an output over the other's or mix two.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kBatch = "--batch --quiet --no-ini --set \"Diff. trigger ([+-]pa/ms)=-4\" ";

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The outputs in a folder by name (recordings and the programs' own files left out).
std::map<std::string, std::string> outputs(const fs::path& dir,
                                           std::vector<std::string>* temporaries = nullptr) {
    std::map<std::string, std::string> out;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.find(".ephys-tmp-") != std::string::npos) {
            if (temporaries != nullptr) temporaries->push_back(name);
            continue;
        }
        const std::string ext = e.path().extension().string();
        if (e.is_regular_file() && ext != ".abf" && ext != ".csv" && ext != ".txt")
            out[name] = read(e.path());
    }
    return out;
}

class OutputFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "output-faults.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "config");
        fs::create_directory(dir_ / "work");
        for (int i = 0; i < kRecordings; ++i) {
            const std::string name = "cellno_" + std::to_string(i) + ".abf";
            recordings_ += " " + name;
            ASSERT_EQ(std::system((std::string(ABFSYNTH_PROGRAM) + " --seed " + std::to_string(i + 1) +
                                   " --rate 20 --duration 10 --out " + (dir_ / "work" / name).string() +
                                   " >/dev/null")
                                      .c_str()),
                      0);
        }
    }
    void TearDown() override { fs::remove_all(dir_); }

    // psctrawl in `folder` with its own settings folder; its process id, not waited for.
    pid_t start(const fs::path& folder, const std::string& arguments, const std::string& log) {
        const std::string command = "cd '" + folder.string() + "' && exec env XDG_CONFIG_HOME='" +
                                    (dir_ / "config").string() + "' " + PSCTRAWL_PROGRAM + " " + arguments +
                                    " >'" + (dir_ / (log + ".out")).string() + "' 2>'" +
                                    (dir_ / (log + ".err")).string() + "'";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    }
    static int wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int run(const fs::path& folder, const std::string& arguments) {
        return wait(start(folder, arguments, "run"));
    }

    static constexpr int kRecordings = 4;
    fs::path dir_;
    std::string recordings_;
};

TEST_F(OutputFaults, AKilledRunLeavesWholeSetsAndItsLeftoversGoNextTime) {
    // Long scan records make the outputs take a while to write.
    const std::string heavy = kBatch + "--set \"# of 256pt/blocks to export=100\" ";
    fs::create_directory(dir_ / "ref");
    for (const fs::directory_entry& e : fs::directory_iterator(dir_ / "work"))
        fs::copy_file(e.path(), dir_ / "ref" / e.path().filename());
    ASSERT_EQ(run(dir_ / "ref", heavy + recordings_), 0) << read(dir_ / "run.err");
    const std::map<std::string, std::string> fresh = outputs(dir_ / "ref");
    // The earlier set: another trigger, other tables.
    ASSERT_EQ(run(dir_ / "work", heavy + "--set \"Diff. trigger ([+-]pa/ms)=-7\"" + recordings_), 0);
    const std::map<std::string, std::string> earlier = outputs(dir_ / "work");
    ASSERT_EQ(earlier.size(), fresh.size());
    ASSERT_EQ(fresh.size(), 3u * kRecordings);  // event table, statistics, scan file

    // Killed at later and later moments until a kill leaves temporary files behind.
    std::vector<std::string> leftovers;
    for (int trial = 0; trial < 40 && leftovers.empty(); ++trial) {
        const pid_t pid = start(dir_ / "work", heavy + "--overwrite" + recordings_, "killed");
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * trial));
        ::kill(pid, SIGKILL);
        wait(pid);
        const std::map<std::string, std::string> now = outputs(dir_ / "work", &leftovers);
        // Each recording's outputs are all earlier ones or all fresh ones, never a mix.
        ASSERT_EQ(now.size(), fresh.size());
        for (int i = 0; i < kRecordings; ++i) {
            int asBefore = 0, asNew = 0;
            const std::string mark = std::string("_").append(std::to_string(i));
            for (const auto& [name, text] : fresh) {
                // CELLNO_i.PRN, CELLNS_i.PRN (the statistics) and cellno_id.sca.
                if (name.find(mark) == std::string::npos) continue;
                asBefore += now.at(name) == earlier.at(name);
                asNew += now.at(name) == text;
            }
            EXPECT_TRUE(asBefore == 0 || asNew == 0) << "recording " << i << " trial " << trial;
            EXPECT_EQ(asBefore + asNew, 3) << "recording " << i << " trial " << trial;
        }
    }
    ASSERT_FALSE(leftovers.empty()) << "no kill came while outputs were being written";

    // The next run in the folder removes them.
    EXPECT_EQ(run(dir_ / "work", kBatch + "--overwrite cellno_0.abf"), 0) << read(dir_ / "run.err");
    std::vector<std::string> after;
    outputs(dir_ / "work", &after);
    EXPECT_TRUE(after.empty()) << after.front();
}

TEST_F(OutputFaults, TwoRunsAtOnceNeverReplaceOrMixEachOthersOutputs) {
    fs::create_directory(dir_ / "ref");
    for (const fs::directory_entry& e : fs::directory_iterator(dir_ / "work"))
        fs::copy_file(e.path(), dir_ / "ref" / e.path().filename());
    ASSERT_EQ(run(dir_ / "ref", kBatch + recordings_), 0) << read(dir_ / "run.err");
    const std::map<std::string, std::string> alone = outputs(dir_ / "ref");

    for (int trial = 0; trial < 3; ++trial) {
        for (const auto& [name, text] : alone) fs::remove(dir_ / "work" / name);
        const pid_t a = start(dir_ / "work", kBatch + recordings_, "a");
        const pid_t b = start(dir_ / "work", kBatch + recordings_, "b");
        const int statusA = wait(a), statusB = wait(b);
        // Every output is there once, whole, from one of the runs; the run that found an output
        // already written by the other says so and fails.
        std::vector<std::string> leftovers;
        EXPECT_EQ(outputs(dir_ / "work", &leftovers), alone) << "trial " << trial;
        EXPECT_TRUE(leftovers.empty());
        EXPECT_TRUE(statusA == 1 || statusB == 1) << statusA << " " << statusB;
        EXPECT_TRUE(statusA <= 1 && statusB <= 1) << statusA << " " << statusB;
        const std::string said = read(dir_ / (statusA == 1 ? "a.err" : "b.err"));
        EXPECT_TRUE(said.find("Skipped") != std::string::npos || said.find("meanwhile") != std::string::npos)
            << said;
    }
}

}  // namespace
