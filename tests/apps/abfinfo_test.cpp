// abfinfo --json on the real recordings must give the reference values, field for field: the
// whole collection when it is there, else the recordings kept with the tests.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "abf_test_support.h"

namespace ephys {
namespace {

using abf_test::samplePath;

struct ProgramRun {
    int status = -1;
    std::string out;
};

ProgramRun runAbfinfo(const std::string& arguments) {
    ProgramRun run;
    std::string command = std::string(ABFINFO_PROGRAM) + " " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[65536];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

bool close(double got, double want) {
    return std::fabs(got - want) <= std::max(1e-6, 1e-5 * std::fabs(want));
}

void expectNumbers(const json::Value& got, const json::Value& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(close(got[i].number, want[i].number))
            << what << "[" << i << "]: " << got[i].number << " vs " << want[i].number;
    }
}

TEST(Abfinfo, JsonAgreesWithTheReferenceValues) {
    int files = 0;
    for (const auto& [name, want] : abf_test::availableReference().members) {
        SCOPED_TRACE(name);
        ProgramRun run = runAbfinfo("--json " + quoted(samplePath(name)));
        ASSERT_EQ(run.status, 0);
        const json::Value got = json::parse(run.out);
        for (const char* key : {"file", "sha256", "file_version", "operation_mode_name", "data_format"}) {
            EXPECT_EQ(got[key].text, want[key].text) << key;
        }
        for (const char* key : {"size_bytes", "abf_version", "operation_mode", "nDataFormat",
                                "data_offset_bytes", "sweeps", "channels"}) {
            EXPECT_EQ(got[key].number, want[key].number) << key;
        }
        EXPECT_TRUE(close(got["sampling_interval_us"].number, want["sampling_interval_us"].number));
        for (const char* key : {"channel_names", "channel_units"}) {
            ASSERT_EQ(got[key].size(), want[key].size());
            for (std::size_t i = 0; i < want[key].size(); ++i)
                EXPECT_EQ(got[key][i].text, want[key][i].text) << key;
        }
        expectNumbers(got["adc_physical_channels"], want["adc_physical_channels"], "physical channels");
        if (want["nDataFormat"].number == 0) {
            expectNumbers(got["scale"], want["scale"], "scale");
            expectNumbers(got["offset"], want["offset"], "offset");
        }
        if (want.has("sweep_start_s"))
            expectNumbers(got["sweep_start_s"], want["sweep_start_s"], "sweep starts");
        ASSERT_EQ(got["tags"].size(), want["tags"].size());
        for (std::size_t i = 0; i < want["tags"].size(); ++i) {
            EXPECT_TRUE(close(got["tags"][i]["time_s"].number, want["tags"][i]["time_s"].number));
            EXPECT_EQ(got["tags"][i]["comment"].text, want["tags"][i]["comment"].text);
        }
        ASSERT_EQ(got["data"].size(), want["data"].size());
        for (std::size_t c = 0; c < want["data"].size(); ++c) {
            const json::Value& gs = got["data"][c]["sweeps"];
            const json::Value& ws = want["data"][c]["sweeps"];
            ASSERT_EQ(gs.size(), ws.size());
            for (std::size_t s = 0; s < ws.size(); ++s) {
                EXPECT_EQ(gs[s]["sweep"].number, ws[s]["sweep"].number);
                EXPECT_EQ(gs[s]["n"].number, ws[s]["n"].number);
                expectNumbers(gs[s]["first5"], ws[s]["first5"], "first5");
                expectNumbers(gs[s]["last5"], ws[s]["last5"], "last5");
                for (const char* key : {"mean", "min", "max"}) {
                    EXPECT_TRUE(close(gs[s][key].number, ws[s][key].number)) << key;
                }
            }
        }
        ++files;
    }
    EXPECT_EQ(files, abf_test::haveSamples() ? 25 : 4);
}

TEST(Abfinfo, SeveralFilesMakeAnArrayAndBadFilesFail) {
    ProgramRun two = runAbfinfo("--json --no-data " + quoted(samplePath("2018_12_09_pCLAMP11_0001.abf")) +
                                " " + quoted(samplePath("File_axon_7.abf")));
    ASSERT_EQ(two.status, 0);
    const json::Value list = json::parse(two.out);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["file"].text, "2018_12_09_pCLAMP11_0001.abf");
    EXPECT_EQ(list[1]["file"].text, "File_axon_7.abf");
    EXPECT_EQ(list[1]["data_format"].text, "float32");

    ProgramRun bad = runAbfinfo(quoted((abf_test::keptDir() / "README.md").string()));
    EXPECT_EQ(bad.status, 1);
    ProgramRun none = runAbfinfo("");
    EXPECT_EQ(none.status, 2);
}

// A folder of its own under the temporary folder, removed with the test.
class ScratchFolder {
  public:
    ScratchFolder() {
        char pattern[] = "/tmp/abfinfo_test.XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

TEST(Abfinfo, ReadsRecordingsWhoseNamesAreNotUtf8) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path().empty());
    // A byte that is not UTF-8, as names from older systems or other locales have them.
    const std::string name = "rec_\xff.abf";
    const std::filesystem::path copy = folder.path() / name;
    std::filesystem::copy_file(samplePath("File_axon_7.abf"), copy);

    ProgramRun original = runAbfinfo("--json " + quoted(samplePath("File_axon_7.abf")));
    ProgramRun json = runAbfinfo("--json " + quoted(copy.string()));
    ASSERT_EQ(original.status, 0);
    ASSERT_EQ(json.status, 0);
    const json::Value want = json::parse(original.out), got = json::parse(json.out);
    EXPECT_EQ(got["file"].text, name);
    EXPECT_EQ(got["size_bytes"].number, want["size_bytes"].number);
    EXPECT_EQ(got["sha256"].text, want["sha256"].text);
    ASSERT_EQ(got["data"].size(), want["data"].size());
    EXPECT_EQ(got["data"][0]["sweeps"][0]["mean"].number, want["data"][0]["sweeps"][0]["mean"].number);

    ProgramRun text = runAbfinfo(quoted(copy.string()));
    ASSERT_EQ(text.status, 0);
    EXPECT_EQ(text.out.substr(0, text.out.find('\n')), name);
}

TEST(Abfinfo, NoDataReadsOnlyTheHeader) {
    const std::string kept = samplePath("2018_12_09_pCLAMP11_0001.abf");
    ProgramRun full = runAbfinfo("--json " + quoted(kept));
    ASSERT_EQ(full.status, 0);
    const json::Value withData = json::parse(full.out);
    EXPECT_EQ(withData["sha256"].text.size(), 64u);
    EXPECT_GT(withData["data"].size(), 0u);

    ProgramRun header = runAbfinfo("--json --no-data " + quoted(kept));
    ASSERT_EQ(header.status, 0);
    const json::Value headerOnly = json::parse(header.out);
    EXPECT_TRUE(headerOnly["sha256"].isNull());
    EXPECT_EQ(headerOnly["data"].size(), 0u);
    EXPECT_EQ(headerOnly["sweeps"].number, withData["sweeps"].number);

    // A recording followed by gigabytes that were never written (a sparse file): the header is
    // all that --no-data reads, so the size is reported and the checksum left out.
    ScratchFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::filesystem::path large = folder.path() / "large.abf";
    std::filesystem::copy_file(kept, large);
    const std::uintmax_t size = std::uintmax_t{5} << 30;
    std::filesystem::resize_file(large, size);
    ProgramRun sparse = runAbfinfo("--json --no-data " + quoted(large.string()));
    ASSERT_EQ(sparse.status, 0);
    const json::Value sparseInfo = json::parse(sparse.out);
    EXPECT_EQ(sparseInfo["size_bytes"].number, static_cast<double>(size));
    EXPECT_TRUE(sparseInfo["sha256"].isNull());
    EXPECT_EQ(sparseInfo["sweeps"].number, withData["sweeps"].number);
}

// A copy cut short is described as far as it goes, and a warning on standard error says so.
TEST(Abfinfo, ACutRecordingIsDescribedWithAWarning) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::filesystem::path cut = folder.path() / "cut.abf";
    std::filesystem::copy_file(samplePath("File_axon_7.abf"), cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) * 2 / 3);
    const std::filesystem::path said = folder.path() / "said.txt";
    const std::string command =
        std::string(ABFINFO_PROGRAM) + " " + quoted(cut.string()) + " >/dev/null 2>" + quoted(said.string());
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    std::string text;
    if (FILE* f = std::fopen(said.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    EXPECT_EQ(text.rfind("abfinfo: ", 0), 0u) << text;
    EXPECT_NE(text.find(cut.string()), std::string::npos) << text;

    // The whole recording draws no warning.
    const int whole =
        std::system((std::string(ABFINFO_PROGRAM) + " " + quoted(samplePath("File_axon_7.abf")) +
                     " >/dev/null 2>" + quoted(said.string()))
                        .c_str());
    EXPECT_EQ(WEXITSTATUS(whole), 0);
    EXPECT_EQ(std::filesystem::file_size(said), 0u);
}

}  // namespace
}  // namespace ephys
