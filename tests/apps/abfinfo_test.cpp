// abfinfo --json on the real recordings must give the reference values, field for field: the
// whole collection when it is there, else the recordings kept with the tests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

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

}  // namespace
}  // namespace ephys
