// Mutation fuzzing of the reader: recordings with random damage (bytes overwritten, header fields
// set to extreme values, files cut short) must open cleanly or fail with an error number, and
// everything a program asks of an opened recording must stay within the file. A bounded number of
// seeded iterations, so that the test is repeatable and runs under the sanitizers in every build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_stimulus.h"
#include "abf/abf_writer.h"
#include "abf_results.h"
#include "abf_test_support.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A small two-channel episodic recording with tags and an epoch table, in either version.
std::string seedRecording(const fs::path& dir, AbfFileVersion version) {
    AbfWriteSpec spec;
    spec.version = version;
    spec.mode = AbfWriteMode::Episodic;
    spec.sampleIntervalUs = 100;
    spec.sweepCount = 3;
    spec.samplesPerSweep = 640;
    spec.channels = {{0, "Im", "pA", 0.1, 0.0}, {2, "Vm", "mV", 0.01, 1.5}};
    spec.tags = {{0.01, false, "drug on", 1}, {0.1, false, "wash", 1}};
    spec.dacs[0].units = "mV";
    spec.dacs[0].epochs = {{AbfEpochType::Step, -80, 10, 100, 5}, {AbfEpochType::Ramp, 20, 0, 200, 0}};
    std::vector<std::vector<std::int16_t>> data(2, std::vector<std::int16_t>(3 * 640));
    for (std::size_t i = 0; i < data[0].size(); ++i) {
        data[0][i] = static_cast<std::int16_t>(i % 700 - 350);
        data[1][i] = static_cast<std::int16_t>(i % 97);
    }
    const fs::path path = dir / (version == AbfFileVersion::V1 ? "seed1.abf" : "seed2.abf");
    std::string error;
    EXPECT_TRUE(abf_test::take(writeAbfFile(path.string(), spec, data, {}), error)) << error;
    return readAll(path);
}

// Asks everything of a recording that the programs ask; only crashes and sanitizer reports fail.
void exercise(const std::string& path, int pieceLength, std::size_t fileBytes) {
    AbfHeader header;
    abfResetHeader(header);
    AbfFile file;
    int perSweep = pieceLength, sweeps = 0, error = 0;
    if ((sweeps = abf_test::take(file.open(path, header, perSweep), error)) == 0) {
        EXPECT_NE(error, 0);
        EXPECT_FALSE(abfErrorText(error, path).empty());
        return;
    }
    ASSERT_GT(sweeps, 0);
    (void)abf_test::take(file.readTags(), error);
    const int last = sweeps;
    for (int sweep : {1, 2, last, last + 1}) {
        (void)abf_test::take(file.sweepStartMs(sweep), error);
        for (int physical = 0; physical < 16; ++physical) {
            float scale = 0, offset = 0;
            (void)abfChannelScaling(header, physical, scale, offset);
            std::vector<float> values;
            std::vector<std::int16_t> raw;
            const int n = abf_test::take(file.readSweep(physical, sweep, values), error);
            if (n > 0) {
                EXPECT_LE(static_cast<std::size_t>(n), values.size());
            }
            (void)abf_test::take(file.readSweep(physical, sweep, raw), error);
        }
        for (int dac = 0; dac < 2; ++dac) {
            for (int epoch = 0; epoch < 10; ++epoch) {
                int first = 0, lastSample = 0;
                if (abfEpochBounds(header, header.adcSamplingSeq[0], dac, sweep, epoch, first, lastSample) ==
                    0) {
                    EXPECT_LE(first, lastSample);
                }
            }
            if (sweep <= sweeps) {
                std::vector<float> command;
                (void)abfStimulusWaveform(header, dac, sweep, command);
                // A sweep's command waveform is never longer than the file has samples.
                EXPECT_LE(command.size(), fileBytes / 2);
            }
        }
    }
    std::vector<std::byte> bytes(4096);
    (void)abf_test::take(file.readData(0, 1024, bytes), error);
    (void)abf_test::take(file.readData(std::numeric_limits<std::int64_t>::max() / 8, 16, bytes), error);
}

TEST(AbfFuzz, DamagedRecordingsNeverCrashTheReader) {
    char pattern[] = "/tmp/abffuzz.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    std::vector<std::string> seeds = {seedRecording(dir, AbfFileVersion::V2),
                                      seedRecording(dir, AbfFileVersion::V1)};
    for (const std::string& name : abf_test::keptRecordings())
        seeds.push_back(readAll(abf_test::samplePath(name)));
    if (abf_test::haveSamples()) {
        for (const char* name : {"2020_07_29_0062.abf", "05210017_vc_abf1.abf", "130618-1-12.abf"}) {
            seeds.push_back(readAll(abf_test::samplePath(name)));
        }
    }
    std::mt19937 random(20261207);
    const std::int32_t extremes[] = {0,
                                     -1,
                                     1,
                                     2,
                                     16,
                                     17,
                                     512,
                                     0x7FFFFFFF,
                                     static_cast<std::int32_t>(0x80000000),
                                     0x7F7FFFFF /* FLT_MAX */,
                                     0x7FC00000 /* NaN */,
                                     0x7F800000 /* inf */};
    const fs::path target = dir / "mutant.abf";
    constexpr int kIterations = 600;
    for (int i = 0; i < kIterations; ++i) {
        std::string bytes = seeds[static_cast<std::size_t>(i) % seeds.size()];
        const int kind = static_cast<int>(random() % 3);
        // Most of what a reader trusts lies in the first few kilobytes.
        auto offset = [&] {
            const std::size_t span =
                random() % 4 != 0 ? std::min<std::size_t>(bytes.size(), 8192) : bytes.size();
            return static_cast<std::size_t>(random()) % span;
        };
        if (kind == 0) {
            for (unsigned n = 1 + random() % 8; n > 0; --n) bytes[offset()] = static_cast<char>(random());
        } else if (kind == 1) {
            for (unsigned n = 1 + random() % 3; n > 0; --n) {
                const std::size_t at = offset() & ~std::size_t{1};
                const std::int32_t v = extremes[random() % std::size(extremes)];
                if (at + 4 <= bytes.size()) std::memcpy(bytes.data() + at, &v, 4);
            }
        } else {
            bytes.resize(static_cast<std::size_t>(random()) % bytes.size());
        }
        {
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        SCOPED_TRACE("iteration " + std::to_string(i));
        exercise(target.string(), static_cast<int>(random() % 3) * 700, bytes.size());
        if (HasFatalFailure()) break;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace ephys
