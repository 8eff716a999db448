// psctrawl and spktal --batch with --jobs: several recordings analysed at once must leave the
// same output files, byte for byte, the same standard output and the same messages as one
// recording after the other, also when recordings fail or two of them want one output name.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Every file under `folder` by its path below it, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) files[fs::relative(e.path(), folder).string()] = read(e.path());
    return files;
}

// What a batch run leaves behind.
struct RunResult {
    int status = -1;
    std::string out, err;
    std::map<std::string, std::string> outputs;
};

class BatchJobs : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "batch-jobs.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "config");
    }
    void TearDown() override { fs::remove_all(dir_); }

    int shell(const std::string& command) {
        const int raw =
            std::system(("cd " + dir_.string() + " && " + command + " >stdout.txt 2>stderr.txt").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    void synth(const std::string& arguments) {
        ASSERT_EQ(shell(std::string(ABFSYNTH_PROGRAM) + " " + arguments), 0) << read(dir_ / "stderr.txt");
    }
    // Runs `program` with its outputs in the fresh folder `outputDir` and takes what it left there.
    RunResult run(const std::string& program, const std::string& outputDir, const std::string& arguments) {
        RunResult r;
        fs::create_directories(dir_ / outputDir);
        r.status = shell("XDG_CONFIG_HOME=" + (dir_ / "config").string() + " " + program +
                         " --batch --no-ini " + "--output-dir " + outputDir + " " + arguments);
        r.out = read(dir_ / "stdout.txt");
        r.err = read(dir_ / "stderr.txt");
        r.outputs = filesUnder(dir_ / outputDir);
        return r;
    }
    // The run with --jobs 1 and with --jobs 2 leave the same behind; returns the first. Each starts
    // with an empty output folder "out", then `prepare` (given the folder).
    RunResult sameWithTwoJobs(const std::string& program, const std::string& arguments,
                              const std::function<void(const fs::path&)>& prepare = {}) {
        const auto fresh = [&] {
            fs::remove_all(dir_ / "out");
            fs::create_directories(dir_ / "out");
            if (prepare) prepare(dir_ / "out");
        };
        fresh();
        const RunResult one = run(program, "out", "--jobs 1 " + arguments);
        fresh();
        const RunResult two = run(program, "out", "--jobs 2 " + arguments);
        EXPECT_EQ(one.status, two.status) << two.err;
        EXPECT_EQ(one.out, two.out);
        EXPECT_EQ(one.err, two.err);
        EXPECT_EQ(one.outputs.size(), two.outputs.size());
        for (const auto& [name, bytes] : one.outputs) {
            const auto it = two.outputs.find(name);
            if (it == two.outputs.end()) {
                ADD_FAILURE() << name << " missing with --jobs 2";
                continue;
            }
            EXPECT_TRUE(it->second == bytes) << name << " differs with --jobs 2";
        }
        return one;
    }
    fs::path dir_;
};

// A trigger on falling slopes for abfsynth's inward currents.
const std::string kPsc = "--quiet --set \"Diff. trigger ([+-]pa/ms)=-4\" ";

TEST_F(BatchJobs, PsctrawlOutputsOfMixedRecordingsAreThoseOfOneAfterTheOther) {
    // Gap-free, episodic (its sweep length becomes the frame length of the recordings after it),
    // another sample interval (the fitted time settings carry over), float samples, and a
    // recording long enough that later ones finish first.
    synth("--seed 1 --duration 12 --out long.abf");
    synth("--seed 2 --sweeps 6 --sweep-length 0.4 --out episodes.abf");
    synth("--seed 3 --duration 2 --interval 100 --out slow.abf");
    synth("--seed 4 --duration 2 --format float32 --out floats.abf");
    synth("--seed 5 --duration 1 --out brief.abf");
    const RunResult r =
        sameWithTwoJobs(PSCTRAWL_PROGRAM, kPsc +
                                              "--set \"Dead time for type I (ms)=0\" "
                                              "long.abf episodes.abf slow.abf floats.abf brief.abf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.outputs.contains("SLOW.PRN"));
    EXPECT_TRUE(r.outputs.contains("EPISODES.PRN"));
    EXPECT_NE(r.out.find("brief.abf->Done"), std::string::npos) << r.out;
}

TEST_F(BatchJobs, PsctrawlFailuresAndASharedOutputNameFollowTheListOrder) {
    // Two recordings of one name in two folders: the second in the list must fail even though it
    // is done long before the first.
    fs::create_directories(dir_ / "day1");
    fs::create_directories(dir_ / "day2");
    synth("--seed 1 --duration 12 --out day1/cell.abf");
    synth("--seed 2 --duration 1 --out day2/cell.abf");
    synth("--seed 3 --duration 1 --out other.abf");
    synth("--seed 4 --duration 1 --out blocked.abf");
    // An output that cannot be written: a folder has its name.
    const RunResult r = sameWithTwoJobs(
        PSCTRAWL_PROGRAM, kPsc + "--overwrite day1/cell.abf missing.abf day2/cell.abf blocked.abf other.abf",
        [](const fs::path& out) { fs::create_directories(out / "BLOCKED.PRN"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is already an output of day1/cell.abf in this run; the output of day2/cell.abf"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("missing.abf"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Couldn't open the output file: out/BLOCKED.PRN"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("blocked.abf->Done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("day1/cell.abf->Done"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("day2/cell.abf->Done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("other.abf->Done"), std::string::npos) << r.out;
    // The table of the name is the first recording's (12 s of events, not 1 s).
    const RunResult alone = run(PSCTRAWL_PROGRAM, "alone", kPsc + "day1/cell.abf");
    EXPECT_EQ(r.outputs.at("CELL.PRN"), alone.outputs.at("CELL.PRN"));
}

TEST_F(BatchJobs, PsctrawlTemplateFromRecordingFitsEachRecordingOnItsOwn) {
    // Slow events, fast events and noise alone: each recording's first pass starts from the given
    // kinetics, whatever the recording before it was fitted to, with one job or two.
    synth("--seed 1 --duration 30 --rate 10 --amplitude 20 --noise 4 --rise 2 --decay 20 --out slow.abf");
    synth("--seed 2 --duration 30 --rate 10 --amplitude 20 --noise 4 --rise 0.3 --decay 3 --out fast.abf");
    synth("--seed 3 --duration 5 --rate 0 --out quiet.abf");
    const RunResult r =
        sameWithTwoJobs(PSCTRAWL_PROGRAM,
                        "--quiet --set \"Diff. trigger ([+-]pa/ms)=-1\" --detector deconvolution "
                        "--template-from-recording slow.abf fast.abf quiet.abf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("quiet.abf->Done"), std::string::npos) << r.out;
    double rise = 0.0, decay = 0.0;
    const std::size_t slow = r.err.find("PSCTRAWL: Template from slow.abf: rise ");
    ASSERT_NE(slow, std::string::npos) << r.err;
    ASSERT_EQ(std::sscanf(r.err.c_str() + slow, "PSCTRAWL: Template from slow.abf: rise %lf ms, decay %lf",
                          &rise, &decay),
              2);
    EXPECT_NEAR(rise, 2.0, 0.3);
    EXPECT_NEAR(decay, 20.0, 3.0);
    const std::size_t fast = r.err.find("PSCTRAWL: Template from fast.abf: rise ");
    ASSERT_NE(fast, std::string::npos) << r.err;
    ASSERT_EQ(std::sscanf(r.err.c_str() + fast, "PSCTRAWL: Template from fast.abf: rise %lf ms, decay %lf",
                          &rise, &decay),
              2);
    EXPECT_NEAR(rise, 0.3, 0.05);
    EXPECT_NEAR(decay, 3.0, 0.45);
    EXPECT_LT(slow, fast);
    EXPECT_NE(r.err.find("PSCTRAWL: Template from quiet.abf: too few clear events ("), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("needed); the given kinetics stay: rise 0.50 ms, decay 5.00 ms"), std::string::npos)
        << r.err;
}

TEST_F(BatchJobs, JobsValuesAndProgressLines) {
    synth("--seed 1 --duration 1 --out a.abf");
    synth("--seed 2 --duration 1 --out b.abf");
    for (const char* bad : {"-1", "x", "1.5", "2x", "''", "99999999999"}) {
        EXPECT_EQ(run(PSCTRAWL_PROGRAM, "bad", std::string("--jobs ") + bad + " a.abf").status, 2) << bad;
        EXPECT_EQ(run(SPKTAL_PROGRAM, "bad", std::string("--jobs ") + bad + " a.abf").status, 2) << bad;
    }
    EXPECT_TRUE(filesUnder(dir_ / "bad").empty());
    // 0: one job per core; more jobs than recordings are fine.
    EXPECT_EQ(run(PSCTRAWL_PROGRAM, "zero", "--quiet --jobs 0 a.abf b.abf").status, 0);
    const RunResult many = run(PSCTRAWL_PROGRAM, "many", "--jobs 8 a.abf b.abf missing.abf");
    EXPECT_EQ(many.status, 1);
    // One progress line per recording, in list order, and no other progress.
    EXPECT_NE(many.err.find(" 33 % Recording 1 of 3 done: a.abf\n"), std::string::npos) << many.err;
    EXPECT_NE(many.err.find(" 66 % Recording 2 of 3 done: b.abf\n"), std::string::npos) << many.err;
    EXPECT_NE(many.err.find("100 % Recording 3 of 3 failed: missing.abf\n"), std::string::npos) << many.err;
    EXPECT_EQ(many.err.find("Detecting"), std::string::npos) << many.err;
}

TEST_F(BatchJobs, SpktalOutputsResultTextsAndFailuresAreThoseOfOneAfterTheOther) {
    fs::create_directories(dir_ / "day1");
    fs::create_directories(dir_ / "day2");
    const std::string cell = " --kind spikes --step-length 0.5 --rheobase 50 --gain 0.5 --first-step -50";
    synth("--seed 1 --sweeps 12 --channels 2 --step-increment 25" + cell + " --out day1/cell.abf");
    synth("--seed 2 --sweeps 3 --step-increment 50" + cell + " --out day2/cell.abf");
    synth("--seed 3 --sweeps 5 --step-increment 40" + cell + " --out b.abf");
    synth("--seed 4 --sweeps 4 --step-increment 60 --format float32" + cell + " --out c.abf");
    const std::string settings =
        "--quiet --set \"Stimulus Epoch for counting=A\" --set \"Max Spike Duration (ms)=3\" "
        "--set \"New Output Name Format=Y\" --set \"Do Frequencies=1\" --set \"Detection method=R\" "
        "--set \"Generate F/I Plots?=Y\" ";
    const RunResult r =
        sameWithTwoJobs(SPKTAL_PROGRAM, settings + "day1/cell.abf b.abf missing.abf day2/cell.abf c.abf");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is already an output of day1/cell.abf in this run"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("File: b"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("File: c"), std::string::npos) << r.out;
    EXPECT_TRUE(r.outputs.contains("cellV.prn"));
    EXPECT_TRUE(r.outputs.contains("cV.prn"));
    EXPECT_TRUE(r.outputs.contains("c_FI.svg"));
    EXPECT_TRUE(r.outputs.contains("b_FI.png"));
}

}  // namespace
