#include "params/run_outputs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ephys {
namespace {

namespace fs = std::filesystem;

class Folder {
  public:
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "output_file_XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The id of a process that has ended.
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// A run holds its recording's outputs complete but out of sight until it publishes them all;
// nothing of them is left when it drops them instead.
TEST(RunOutputsTest, ARecordingsOutputsAppearTogether) {
    Folder dir;
    writeFile(dir / "a.txt", "old a");
    writeFile(dir / "b.txt", "old b");
    RunOutputs run;
    run.startRecording("cell.abf");
    for (const char* name : {"a.txt", "b.txt"}) {
        OutputFile file;
        ASSERT_TRUE(file.create(dir / name));
        file.write(std::string("new ") + name);
        ASSERT_TRUE(file.finish());
        run.hold(std::move(file), nullptr);
    }
    EXPECT_EQ(readFile(dir / "a.txt"), "old a");  // the earlier set stays whole meanwhile
    EXPECT_EQ(readFile(dir / "b.txt"), "old b");
    EXPECT_TRUE(run.publishRecording());
    EXPECT_EQ(readFile(dir / "a.txt"), "new a.txt");
    EXPECT_EQ(readFile(dir / "b.txt"), "new b.txt");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.txt", "b.txt"}));

    // One output whose name was taken meanwhile is reported and fails the recording; the other
    // still appears.
    run.startRecording("next.abf");
    std::vector<std::string> reported;
    for (const char* name : {"c.txt", "d.txt"}) {
        OutputFile file;
        ASSERT_TRUE(file.create(dir / name, OutputFile::Existing::Keep));
        file.write("new");
        ASSERT_TRUE(file.finish());
        run.hold(std::move(file), [&](const OutputFile& f) {
            reported.push_back(f.path() + (f.error() == EEXIST ? " taken" : " other"));
        });
    }
    writeFile(dir / "c.txt", "another program's");
    EXPECT_FALSE(run.publishRecording());
    EXPECT_TRUE(run.recordingFailed());
    EXPECT_EQ(reported, std::vector<std::string>{dir / "c.txt taken"});
    EXPECT_EQ(readFile(dir / "c.txt"), "another program's");
    EXPECT_EQ(readFile(dir / "d.txt"), "new");

    run.startRecording("dropped.abf");
    OutputFile file;
    ASSERT_TRUE(file.create(dir / "e.txt"));
    ASSERT_TRUE(file.finish());
    run.hold(std::move(file), nullptr);
    run.discardRecording();
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
}

// The first output made in a folder removes the temporary files a killed run left there: only
// those named as ours, of a process that has ended, and that no one holds locked.
TEST(OutputFileTest, LeftoversOfEndedRunsAreRemovedAndNothingElse) {
    Folder dir;
    const std::string ended = std::to_string(endedProcess());
    const std::string running = std::to_string(::getppid());
    const std::vector<std::string> stale = {".CELL.PRN.ephys-tmp-" + ended + "-0",
                                            ".celld.sca.ephys-tmp-" + ended + "-17"};
    const std::vector<std::string> kept = {
        ".CELL.PRN.ephys-tmp-" + running + "-0",  // a run still going
        ".locked.PRN.ephys-tmp-" + ended + "-1",  // held by a run elsewhere
        "CELL.PRN.ephys-tmp-" + ended + "-2",     // not hidden: not ours
        ".CELL.PRN.ephys-tmp-" + ended + "-",     // no counter
        ".CELL.PRN.ephys-tmp-" + ended + "x-3",   // not a process id
        ".CELL.PRN.tmp-" + ended + "-4",          // another program's
    };
    for (const auto& name : stale) writeFile(dir / name, "partial");
    for (const auto& name : kept) writeFile(dir / name, "partial");
    fs::create_directory(dir / (".folder.ephys-tmp-" + ended + "-5"));  // not a file
    const int locked = ::open((dir / kept[1]).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(locked, 0);
    ASSERT_EQ(::flock(locked, LOCK_EX), 0);

    OutputFile file;
    ASSERT_TRUE(file.create(dir / "CELL.PRN"));
    ::close(locked);
    const std::vector<std::string> names = dir.names();
    for (const auto& name : stale) EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
    for (const auto& name : kept) EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
    EXPECT_TRUE(fs::is_directory(dir / (".folder.ephys-tmp-" + ended + "-5")));

    // Its own temporary file is locked while it is written, so no other run takes it for a
    // leftover.
    const auto own = std::find_if(names.begin(), names.end(), [](const std::string& n) {
        return n.starts_with(".CELL.PRN.ephys-tmp-" + std::to_string(::getpid()) + "-");
    });
    ASSERT_NE(own, names.end());
    const int probe = ::open((dir / *own).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
    EXPECT_TRUE(file.publish());
    EXPECT_TRUE(fs::exists(dir / "CELL.PRN"));
}

}  // namespace
}  // namespace ephys
