// Writes the starting corpora of the fuzz targets into a folder, one subfolder per target:
// small recordings of every layout the ABF writer makes (a few KB each), and typical ini files,
// parameter files, frame lists and settings. Usage: fuzz_seeds FOLDER
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "abf/abf_writer.h"

namespace {

using namespace ephys;
namespace fs = std::filesystem;

bool writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

AbfWriteSpec smallSpec(AbfFileVersion version, AbfWriteMode mode, AbfSampleFormat format, int channels) {
    AbfWriteSpec spec;
    spec.version = version;
    spec.mode = mode;
    spec.format = format;
    spec.sampleIntervalUs = 100;
    spec.startDate = 20260101;
    spec.startTimeMs = 3600000;
    if (mode == AbfWriteMode::Episodic) {
        spec.sweepCount = 3;
        spec.samplesPerSweep = 128;
        spec.episodeStartToStartS = 0.5;
        spec.dacs[0].units = "mV";
        spec.dacs[0].holdingLevel = -70;
        spec.dacs[0].epochs = {{AbfEpochType::Step, -80, 10, 20, 5}, {AbfEpochType::Ramp, 20, 0, 30, 0}};
    } else {
        spec.totalSamples = 400;
    }
    spec.channels = {{0, "Im", "pA", 0.1, 0.0}};
    if (channels > 1) spec.channels.push_back({2, "Vm", "mV", 0.01, 1.5});
    spec.tags = {{0.001, false, "drug on", 1}, {12, true, "wash", 1}};
    return spec;
}

bool writeRecording(const fs::path& path, const AbfWriteSpec& spec) {
    const std::size_t n = static_cast<std::size_t>(abfWriteSamplesPerChannel(spec));
    std::vector<std::vector<float>> data(spec.channels.size(), std::vector<float>(n));
    for (std::size_t c = 0; c < data.size(); ++c)
        for (std::size_t i = 0; i < n; ++i) data[c][i] = static_cast<float>((i * (c + 3)) % 50) - 20.0f;
    const Result<void> written =
        writeAbfFile(path.string(), spec, data, {.overwrite = true, .syncToDisk = false});
    if (!written) {
        std::fprintf(stderr, "fuzz_seeds: %s: %s\n", path.c_str(), written.error().text().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
        return 2;
    }
    const fs::path root = argv[1];
    for (const char* target : {"abf_reader", "profile_file", "param_load", "number_list", "param_setting"})
        fs::create_directories(root / target);
    bool ok = true;

    const fs::path abf = root / "abf_reader";
    ok &= writeRecording(abf / "episodic_v2.abf",
                         smallSpec(AbfFileVersion::V2, AbfWriteMode::Episodic, AbfSampleFormat::Int16, 2));
    ok &= writeRecording(abf / "episodic_v1.abf",
                         smallSpec(AbfFileVersion::V1, AbfWriteMode::Episodic, AbfSampleFormat::Int16, 2));
    ok &= writeRecording(abf / "gapfree_v2.abf",
                         smallSpec(AbfFileVersion::V2, AbfWriteMode::GapFree, AbfSampleFormat::Int16, 1));
    ok &= writeRecording(abf / "gapfree_v1.abf",
                         smallSpec(AbfFileVersion::V1, AbfWriteMode::GapFree, AbfSampleFormat::Int16, 2));
    ok &= writeRecording(abf / "float_v2.abf",
                         smallSpec(AbfFileVersion::V2, AbfWriteMode::Episodic, AbfSampleFormat::Float32, 1));

    const fs::path ini = root / "profile_file";
    ok &= writeText(ini / "settings.ini",
                    "[General]\nDataDirectory=/home/lab/data\nFileTitle=\"cell 1.abf\"\n\n"
                    "[Parameters]\nFrames=1..20\r\nThreshold (pA)= 2.5 \n; a note\n[parameters]\nFrames=5\n");
    ok &= writeText(ini / "empty_sections.ini", "[]\n[A]\n=\nkey\n[B\nx=y=z\n");

    const fs::path params = root / "param_load";
    ok &=
        writeText(params / "all_rows.par",
                  "[Parameters]\nComment=slice 3, 32 C\nFrames=2..40Q2,X10\nPoints per sweep=2048\n"
                  "Smoothing passes=-3\nThreshold (pA)=-12.75\nGain=1e3\nPolarity:Positive,Negative,Both=B\n"
                  "Verbose =0\nGenerate plots?=1\n");
    ok &= writeText(params / "odd_values.par",
                    "[Parameters]\nPoints per sweep=99999999999\nThreshold (pA)=nan\nGain=1e39\n"
                    "Polarity:Positive,Negative,Both=\nFrames=..\n");

    const fs::path lists = root / "number_list";
    // Two bytes of limits, then the list.
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"range", std::string("\x01\x02") + "1..20,25,30..60Q5"},
             {"exclude", std::string("\x00\x01") + "1..30,X10..20"},
             {"open_end", std::string("\x01\x01") + "5.."},
             {"down", std::string("\x01\x03") + "90..3,x7"}})
        ok &= writeText(lists / name, text);

    const fs::path settings = root / "param_setting";
    for (const auto& [name, text] :
         std::vector<std::pair<std::string, std::string>>{{"int", "Points per sweep=512"},
                                                          {"float", "threshold (pa) = -3.5"},
                                                          {"choice", "Polarity=b"},
                                                          {"yesno", "Verbose=yes"},
                                                          {"list", "Frames=1..10,X3"},
                                                          {"text", "Comment=a=b"}})
        ok &= writeText(settings / name, text);
    return ok ? 0 : 1;
}
