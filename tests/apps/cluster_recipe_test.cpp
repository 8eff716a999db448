// The recipes of docs/cluster.md as a lab runs them, on three recordings made by abfsynth: the GNU
// parallel line exactly as the page gives it, and the Slurm array script run as one array task
// would be. Their outputs must be those of one plain batch run, byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every file of a folder by name, with its bytes.
std::map<std::string, std::string> contents(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(folder)) return files;
    for (const fs::directory_entry& e : fs::directory_iterator(folder))
        files[e.path().filename().string()] = read(e.path());
    return files;
}

// The first line of the page's shell blocks that starts with `start`.
std::string recipeLine(const std::string& start) {
    std::istringstream page(read(fs::path(EPHYS_SOURCE_DIR) / "docs/cluster.md"));
    bool inBlock = false;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock;
            continue;
        }
        if (inBlock && line.rfind(start, 0) == 0) return line;
    }
    return {};
}

class ClusterRecipe : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cluster-recipe.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "data/day 2");
        // Three recordings, one with a blank in its folder's name, and the lab's parameter file.
        const char* made[] = {"--seed 11 --duration 3 --out data/a.abf",
                              "--seed 12 --duration 2 --out data/b.abf",
                              "--seed 13 --duration 3 --out 'data/day 2/c.abf'"};
        for (const char* args : made) ASSERT_EQ(shell(std::string(ABFSYNTH_PROGRAM) + " " + args), 0) << args;
        std::ofstream(dir_ / "lab.prm") << "[Parameters]\nDiff. trigger ([+-]pa/ms)=-4\n";
        std::ofstream(dir_ / "recordings.txt") << "data/a.abf\ndata/b.abf\ndata/day 2/c.abf\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A command in the scratch folder with psctrawl on the PATH and settings of its own.
    int shell(const std::string& command, const std::string& out = "stdout.txt") {
        const std::string programs = fs::path(PSCTRAWL_PROGRAM).parent_path().string();
        const std::string line = "cd '" + dir_.string() + "' && export XDG_CONFIG_HOME='" +
                                 (dir_ / "config").string() + "' PATH='" + programs + "':\"$PATH\" && (" +
                                 command + ") >" + out + " 2>stderr.txt";
        const int raw = std::system(line.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string errors() const { return read(dir_ / "stderr.txt"); }
    // The plain batch run the recipes are held against.
    void plainRun() {
        ASSERT_EQ(shell("psctrawl --batch --quiet --params lab.prm --output-dir plain data/a.abf data/b.abf "
                        "'data/day 2/c.abf'",
                        "plain.txt"),
                  0)
            << errors();
        ASSERT_GE(contents(dir_ / "plain").size(), 9u);  // event table, statistics, scan file each
    }
    fs::path dir_;
};

TEST_F(ClusterRecipe, TheGnuParallelLineWritesWhatOneBatchRunWrites) {
    if (std::system("parallel --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "GNU parallel is not installed";
    const std::string recipe = recipeLine("parallel ");
    ASSERT_FALSE(recipe.empty()) << "docs/cluster.md has no parallel line";
    plainRun();
    ASSERT_EQ(shell("mkdir -p results && " + recipe), 0) << recipe << "\n" << errors();
    EXPECT_EQ(contents(dir_ / "results"), contents(dir_ / "plain"));
    // The result texts in the list's order, as one run prints them.
    EXPECT_EQ(read(dir_ / "stdout.txt"), read(dir_ / "plain.txt"));
}

TEST_F(ClusterRecipe, EachSlurmArrayTaskAnalysesItsLineOfTheList) {
    plainRun();
    const std::string script = (fs::path(EPHYS_SOURCE_DIR) / "scripts/slurm-psctrawl.sh").string();
    // Tasks 1 to 3 as Slurm would start them, each a process of its own.
    for (int task = 1; task <= 3; ++task)
        ASSERT_EQ(shell("SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " '" + script +
                        "' recordings.txt --params lab.prm --output-dir results"),
                  0)
            << "task " << task << "\n"
            << errors();
    EXPECT_EQ(contents(dir_ / "results"), contents(dir_ / "plain"));

    // Without --output-dir the outputs go beside the recording.
    ASSERT_EQ(shell("SLURM_ARRAY_TASK_ID=3 '" + script + "' recordings.txt --params lab.prm"), 0) << errors();
    EXPECT_EQ(read(dir_ / "data/day 2/C.PRN"), read(dir_ / "plain/C.PRN"));

    // A task past the list's end, or no array task at all, is refused and names the reason.
    EXPECT_EQ(shell("SLURM_ARRAY_TASK_ID=4 '" + script + "' recordings.txt"), 2);
    EXPECT_NE(errors().find("has no recording 4"), std::string::npos) << errors();
    EXPECT_EQ(shell("env -u SLURM_ARRAY_TASK_ID '" + script + "' recordings.txt"), 2);
    EXPECT_NE(errors().find("SLURM_ARRAY_TASK_ID"), std::string::npos) << errors();
}

}  // namespace
