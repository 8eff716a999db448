#include "psc/recording_frames.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "abf_results.h"
#include "abf_test_recordings.h"
#include "abf_test_support.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

using abf_test::generated;

struct ScratchDir {
    std::string path = [] {
        std::string pattern = (fs::temp_directory_path() / "psc-frames-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// A one-channel gap-free recording in pA, raw counts as given.
std::string writeGapFree(const ScratchDir& dir, const std::vector<std::int16_t>& raw,
                         const char* units = "pA", double scale = 1.0, double offset = 0.0,
                         double intervalUs = 50.0) {
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.sampleIntervalUs = intervalUs;
    layout.totalSamples = static_cast<std::int64_t>(raw.size());
    layout.channels = {{0, "Ipatch", units, scale, offset}};
    const std::string path = dir.path + "/rec.abf";
    EXPECT_TRUE(writeAbfFile(path, layout, {raw}));
    return path;
}

// A recording opened as a run opens it: header read, channel set up, recording open for frames.
struct OpenRecording {
    AbfHeader header;
    AbfFile file;
    PscFrameReader reader;
    PscFrameBuffers buffers;

    OpenRecording(const std::string& path, PscParameters& p) {
        CapturedMessages messages;
        EXPECT_TRUE(GetInfo(p, path, messages));
        int perSweep = p.frameLengthSetting, sweeps = 0, error = 0;
        EXPECT_GT((sweeps = abf_test::take(file.open(path, header, perSweep), error)), 0);
        pscSetupChannel(header, p);
        buffers.resize(p.frameLength, p.sampleInterval);
        reader.recording = &file;
    }
    int read(PscParameters& p, int frame) { return pscReadFrame(header, p, frame, buffers, reader); }
};

PscParameters plain(int frameLength) {
    PscParameters p;
    p.frameLengthSetting = frameLength;
    p.autoShiftBaseline = 'N';
    p.filterHz = 0.0f;
    return p;
}

TEST(GetInfoTest, ContinuousRecordingsAreCutIntoFramesWithAPartialLast) {
    struct Case {
        const char* file;
        int frameLength, channels, samples;
    };
    for (const Case& c : {Case{"gapfree_v1.abf", 1000, 1, 20500}, Case{"gapfree_v2.abf", 2000, 2, 18500}}) {
        SCOPED_TRACE(c.file);
        PscParameters p;
        p.frameLengthSetting = c.frameLength;
        CapturedMessages messages;
        ASSERT_TRUE(GetInfo(p, generated(c.file).path, messages));
        const int n = (c.samples + c.frameLength - 1) / c.frameLength;  // 21 and 10
        EXPECT_EQ(p.frameCount, n);
        EXPECT_EQ(p.frames, "1.." + std::to_string(n));
        EXPECT_EQ(p.firstFrame, 1);
        EXPECT_EQ(p.lastFrame, n);
        EXPECT_EQ(p.frameLength, c.frameLength);
        EXPECT_EQ(p.framesAreEpisodes, 0);
        EXPECT_EQ(p.channelCount, c.channels);
        EXPECT_FLOAT_EQ(p.sampleInterval, 0.1f);
        EXPECT_EQ(p.timeMapLength, c.samples * c.channels);
        EXPECT_EQ(pscTimeMapEntry(p, 12345), 12345);
        EXPECT_TRUE(messages.empty());
    }
    PscParameters p;
    CapturedMessages messages;
    const std::string path = generated("gapfree_v2.abf").path;
    ASSERT_TRUE(GetInfo(p, path, messages));
    EXPECT_EQ(p.baseName, "gapfree_v2");
    // The data section's block, from the ABF2 section map.
    const std::vector<std::uint8_t> bytes = abf_test::readBytes(path);
    std::uint32_t dataBlock = 0;
    std::memcpy(&dataBlock, bytes.data() + 236, sizeof dataBlock);
    EXPECT_EQ(p.dataOffset, 512 * static_cast<std::int64_t>(dataBlock));
}

TEST(GetInfoTest, EpisodesAreFramesUnlessTheFrameLengthIsOverridden) {
    const std::string path = generated("episodic_v1.abf").path;  // 8 episodes of 5000 samples, 3 channels
    CapturedMessages messages;
    PscParameters whole;
    ASSERT_TRUE(GetInfo(whole, path, messages));
    EXPECT_EQ(whole.framesAreEpisodes, 1);
    EXPECT_EQ(whole.frameLengthSetting, 5000);
    EXPECT_EQ(whole.frameCount, 8);
    EXPECT_EQ(pscTimeMapEntry(whole, 119999), 119999);

    PscParameters cut;
    cut.overrideFrameLength = 'Y';
    ASSERT_TRUE(GetInfo(cut, path, messages));
    EXPECT_EQ(cut.framesAreEpisodes, 0);
    EXPECT_EQ(cut.frameLength, 2048);
    EXPECT_EQ(cut.frames, "1..19");  // 40000 / 2048

    // Episodes shorter than the frame length become the frame length.
    cut.frameLengthSetting = 30000;
    ASSERT_TRUE(GetInfo(cut, generated("episodic_v2.abf").path, messages));  // 10 episodes of 2000
    EXPECT_EQ(cut.frameLengthSetting, 2000);
    EXPECT_EQ(cut.frameCount, 10);
    EXPECT_TRUE(messages.empty());
}

TEST(GetInfoTest, TimeMapFollowsTheSynchRunsCompactly) {
    // Event-driven: runs at 14479, 44979, 147479 of 3540, 70040, 16040 samples.
    PscParameters p;
    CapturedMessages messages;
    ASSERT_TRUE(GetInfo(p, abf_test::samplePath("2020_06_16_0000.abf"), messages));
    EXPECT_EQ(p.frameCount, 44);
    EXPECT_EQ(p.timeMapLength, 89620);
    EXPECT_LE(p.timeMap.size(), 6u);
    const std::vector<std::pair<int, int>> expected{{0, 14479},      {3539, 18018},   {3540, 44979},
                                                    {73579, 115018}, {73580, 147479}, {89619, 163518}};
    for (auto [index, position] : expected) EXPECT_EQ(pscTimeMapEntry(p, index), position) << index;
}

TEST(GetInfoTest, UnreadableRecordingLeavesThePreviousValues) {
    ScratchDir dir;
    PscParameters p;
    CapturedMessages messages;
    ASSERT_TRUE(GetInfo(p, generated("gapfree_v2.abf").path, messages));
    const std::string missing = dir.path + "/no such file.abf";
    EXPECT_FALSE(GetInfo(p, missing, messages));
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].caption + ": " + messages.entries()[0].text,
              "Error: Error opening file in GetInfo\nFile '" + missing + "' was not found.\n");
    EXPECT_EQ(p.frames, "1..10");  // 18500 samples in frames of 2048
    EXPECT_EQ(p.baseName, "gapfree_v2");
}

TEST(SetupChannelTest, NanoampereIsShownInPicoampereAndMissingChannelsFallBack) {
    ScratchDir dir;
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.totalSamples = 100;
    layout.channels = {{0, "Imemb", "nA", 100.0 / 32768, 0.0}, {1, "10_Vm", "mV", 1000.0 / 32768, 0.0}};
    const std::vector<std::int16_t> flat(100, 5);
    ASSERT_TRUE(writeAbfFile(dir.path + "/two.abf", layout, {flat, flat}));
    AbfFile file;
    AbfHeader header;
    int perSweep = 2048, sweeps = 0, error = 0;
    ASSERT_GT((sweeps = abf_test::take(file.open(dir.path + "/two.abf", header, perSweep), error)), 0);
    PscParameters p;
    p.channelNumber = 1;
    pscSetupChannel(header, p);
    EXPECT_EQ(p.channelTitle, "10_Vm (mV)");
    EXPECT_NEAR(p.channelScale, 0.03051758f, 1e-7);
    p.channelNumber = 2;  // the recording has two channels
    pscSetupChannel(header, p);
    EXPECT_EQ(p.channelNumber, 0);
    EXPECT_EQ(p.channelTitle, "Imemb (pA)");
    EXPECT_EQ(p.derivativeTitle, "Imemb (pA/ms)");
    EXPECT_NEAR(p.channelScale, 3.051758f, 1e-5);

    // The offset is in the channel's units too: 300 counts x 0.002 + 0.5 nA = 1100 pA.
    PscParameters q = plain(64);
    OpenRecording rec(writeGapFree(dir, {100, 200, 300, 400}, "nA", 0.002, 0.5), q);
    EXPECT_NEAR(q.channelOffset, 500.0f, 1e-2);
    rec.read(q, 1);
    EXPECT_NEAR(rec.buffers.current(2), 1100.0f, 0.05f);
}

TEST(ReadFrameTest, FramesAgreeWithTheRecordingModuleAndArePaddedAtBothEnds) {
    const std::string path = generated("gapfree_v2.abf").path;  // 18500 samples on ADC 0 and 2
    AbfFile file;
    AbfHeader header;
    int perSweep = 18500, sweeps = 0, error = 0;
    ASSERT_EQ((sweeps = abf_test::take(file.open(path, header, perSweep), error)), 1);
    std::vector<float> all;  // the current channel, position 1 (physical ADC 2), in pA
    ASSERT_EQ(abf_test::take(file.readSweep(2, 1, all), error), 18500);

    PscParameters p = plain(2048);
    p.channelNumber = 1;
    OpenRecording rec(path, p);
    EXPECT_EQ(p.frameCount, 10);
    for (int frame : {1, 5, 10}) {  // frame 10 holds the last 68 samples
        rec.read(p, frame);
        for (std::size_t q = 0; q < rec.buffers.bufferLength(); ++q) {
            const std::int64_t k = (frame - 1) * 2048 - 200 + static_cast<std::int64_t>(q);
            ASSERT_FLOAT_EQ(rec.buffers.currentData[q], all[std::clamp<std::int64_t>(k, 0, 18499)])
                << "frame " << frame << " position " << q;
        }
    }
}

TEST(ReadFrameTest, FramesShorterThanTheLeadNeverReadBeforeTheData) {
    ScratchDir dir;
    std::vector<std::int16_t> raw(1000);
    for (int i = 0; i < 1000; ++i) raw[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(10 + i);
    PscParameters p = plain(64);
    OpenRecording rec(writeGapFree(dir, raw), p);
    EXPECT_EQ(p.frameCount, 16);
    // Frame 2 would begin 136 samples before the data: those positions take its first sample.
    rec.read(p, 2);
    for (int k = -200; k <= -64; ++k) ASSERT_FLOAT_EQ(rec.buffers.current(k), 10.0f) << k;
    EXPECT_FLOAT_EQ(rec.buffers.current(0), 74.0f);
    // Frame 16 holds the last 40 samples, then their last value.
    EXPECT_EQ(rec.read(p, 16), 240);
    EXPECT_FLOAT_EQ(rec.buffers.current(39), 1009.0f);
    EXPECT_FLOAT_EQ(rec.buffers.current(2111), 1009.0f);
}

TEST(ReadFrameTest, BaselineShiftAndFilterWorkOnTheFrameAsRead) {
    ScratchDir dir;
    std::vector<std::int16_t> raw(20000);
    for (int i = 0; i < 20000; ++i)
        raw[static_cast<std::size_t>(i)] = static_cast<std::int16_t>((i / 50) % 2 ? 400 : i % 97);
    PscParameters p = plain(2048);
    OpenRecording rec(writeGapFree(dir, raw, "pA", 0.25, 7.0), p);
    for (int frame : {1, 3}) {
        rec.read(p, frame);
        const std::vector<float> asRead = rec.buffers.currentData;
        double mean = 0.0;
        for (int k = 0; k < 20; ++k) mean += rec.buffers.current(k) / 20.0;

        p.autoShiftBaseline = 'Y';
        rec.read(p, frame);
        for (std::size_t q = 0; q < asRead.size(); ++q)
            ASSERT_NEAR(rec.buffers.currentData[q], asRead[q] - mean, 1e-3);
        if (frame == 1) {
            EXPECT_FLOAT_EQ(rec.buffers.current(-200), rec.buffers.current(0));
        }

        // The filter covers the whole buffer; during the autoscaling pass only frameLength positions.
        p.autoShiftBaseline = 'N';
        p.filterHz = 500.0f;
        for (int pass : {0, 1}) {
            std::vector<float> expected = asRead;
            GaussianTaps taps;
            gaussianFilter(std::span<float>(expected.data(), pass ? 2048 : expected.size()), 500.0f, 50.0f,
                           taps);
            p.autoscalingPass = pass;
            rec.read(p, frame);
            EXPECT_EQ(rec.buffers.currentData, expected) << "pass " << pass;
        }
        p.filterHz = 0.0f;
        p.autoscalingPass = 0;
    }
}

TEST(ReadFrameTest, FloatSamplesAreTakenAsStored) {
    ScratchDir dir;
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.format = AbfSampleFormat::Float32;
    layout.totalSamples = 3000;
    layout.channels = {{0, "Im", "pA", 0.5, 3.0}};
    std::vector<float> values(3000);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.25f * static_cast<float>(i) - 100.0f;
    ASSERT_TRUE(writeAbfFile(dir.path + "/f.abf", layout, std::vector<std::vector<float>>{values}));
    PscParameters p = plain(1000);
    OpenRecording rec(dir.path + "/f.abf", p);
    EXPECT_EQ(p.floatData, 1);
    rec.read(p, 2);
    for (int k = -200; k < 2000; ++k)
        ASSERT_FLOAT_EQ(rec.buffers.current(k), values[static_cast<std::size_t>(1000 + k)]);
}

TEST(ReadFrameTest, FloatSamplesInNanoampereAreReadInPicoampere) {
    ScratchDir dir;
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.format = AbfSampleFormat::Float32;
    layout.totalSamples = 3000;
    layout.channels = {{0, "Imemb", "nA", 1.0, 0.0}};
    std::vector<float> values(3000);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.002f * static_cast<float>(i) - 1.5f;
    ASSERT_TRUE(writeAbfFile(dir.path + "/na.abf", layout, std::vector<std::vector<float>>{values}));
    PscParameters p = plain(1000);
    OpenRecording rec(dir.path + "/na.abf", p);
    EXPECT_EQ(p.channelTitle, "Imemb (pA)");
    rec.read(p, 2);
    for (int k = -200; k < 2000; ++k)
        ASSERT_FLOAT_EQ(rec.buffers.current(k), 1000.0f * values[static_cast<std::size_t>(1000 + k)]) << k;
}

TEST(DifferentiateTest, SlopeOverWholeSamplesOfTheWindowAndZerosBeforeIt) {
    PscParameters p;
    p.sampleInterval = 0.05f;
    PscFrameBuffers b;
    b.resize(256, 0.05);
    for (std::size_t q = 0; q < b.currentData.size(); ++q)
        b.currentData[q] = 0.01f * static_cast<float>(q * q);
    struct Case {
        float windowMs;
        int samples;
    };
    // 0.12 ms / 0.05 + 0.5 = 2.9 gives 2 samples; 0.13 gives 3.1, 3 samples.
    for (const Case& c : {Case{0.12f, 2}, Case{0.13f, 3}}) {
        p.diffWindow = c.windowMs;
        ASSERT_EQ(pscDifferentiationSamples(p), c.samples);
        pscDifferentiate(b, p);
        for (int q = 0; q < c.samples; ++q) EXPECT_EQ(b.didtData[static_cast<std::size_t>(q)], 0.0f);
        // (0.01 q^2 - 0.01 (q - w)^2) / (w dt) = 0.01 (2q - w) / dt
        for (int q : {c.samples, 200, 2400})
            EXPECT_NEAR(b.didtData[static_cast<std::size_t>(q)], 0.01f * (2 * q - c.samples) / 0.05f,
                        0.01f + q * 1e-4f)
                << q;
    }
}

}  // namespace
}  // namespace ephys
