// Tests of the ABF writer: the bytes it puts in ABF2 and ABF1 files, how it fails, and files read
// back with the project's own reader.
#include "abf/abf_writer.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "abf/abf_error.h"
#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "abf/abf_stimulus.h"
#include "abf_results.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---- Helpers -----------------------------------------------------------------------------------

std::uint32_t u32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at)) | static_cast<std::uint32_t>(b.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(b.at(at + 2)) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}
std::int32_t i32(const Bytes& b, std::size_t at) {
    return static_cast<std::int32_t>(u32(b, at));
}
std::int16_t i16(const Bytes& b, std::size_t at) {
    return static_cast<std::int16_t>(b.at(at) | b.at(at + 1) << 8);
}
float f32(const Bytes& b, std::size_t at) {
    return std::bit_cast<float>(u32(b, at));
}
std::int64_t i64(const Bytes& b, std::size_t at) {
    return static_cast<std::int64_t>(u32(b, at)) | static_cast<std::int64_t>(u32(b, at + 4)) << 32;
}
std::string text(const Bytes& b, std::size_t at, std::size_t n) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One entry of the ABF2 section map.
struct Section {
    std::int64_t block, size, count;
    std::size_t offset() const { return static_cast<std::size_t>(block * 512); }
    std::size_t at(std::int64_t entry) const { return static_cast<std::size_t>(block * 512 + entry * size); }
};
enum {
    kProtocol = 0,
    kAdc = 1,
    kDac = 2,
    kEpoch = 3,
    kEpochPerDac = 5,
    kStrings = 9,
    kData = 10,
    kTag = 11,
    kSynch = 15
};

Section section(const Bytes& b, int k) {
    return {u32(b, 76 + 16 * k), u32(b, 80 + 16 * k), i64(b, 84 + 16 * k)};
}

// The strings of an ABF2 strings section, index 1 first (index 0 is "no string").
std::vector<std::string> strings(const Bytes& b) {
    const Section s = section(b, kStrings);
    std::vector<std::string> out{""};
    std::size_t at = s.offset() + 44;
    for (std::int64_t k = 0; k < s.count; ++k) {
        std::string one;
        while (b.at(at) != 0) one += static_cast<char>(b.at(at++));
        ++at;
        out.push_back(one);
    }
    return out;
}

// A folder of its own for each test, removed afterwards.
class AbfWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("abf_writer_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
};

// A sample that differs between channels, sweeps and positions, with both signs.
std::int16_t rawAt(int channel, std::int64_t k) {
    return static_cast<std::int16_t>((k * 37 + channel * 5000) % 60001 - 30000);
}

std::vector<std::vector<std::int16_t>> rawData(int channels, std::int64_t n) {
    std::vector<std::vector<std::int16_t>> d(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        for (std::int64_t k = 0; k < n; ++k) d[static_cast<std::size_t>(c)].push_back(rawAt(c, k));
    }
    return d;
}

// Three channels on ADCs 0, 2 and 3; four sweeps of 2000 samples, 1 s apart; two tags; epochs
// on both DACs (epoch B of DAC 0 disabled).
AbfWriteSpec episodicSpec() {
    AbfWriteSpec s;
    s.mode = AbfWriteMode::Episodic;
    s.sampleIntervalUs = 50;
    s.sweepCount = 4;
    s.samplesPerSweep = 2000;
    s.episodeStartToStartS = 1.0;
    s.channels = {
        {0, "IN 0", "pA", 0.1, 0.0}, {2, "Vm 2", "mV", 0.01, -5.0}, {3, "Temp probe", "", 0.002, 2.5}};
    s.tags = {{0.5, false, "drug on", 1}, {30000, true, "sample tag", 0}};
    s.dacs[0].holdingLevel = -70;
    s.dacs[0].epochs = {{AbfEpochType::Step, -80, 10, 300, 50},
                        {AbfEpochType::Disabled, 5, 0, 100, 0},
                        {AbfEpochType::Ramp, -40, -5, 400, 0}};
    s.dacs[1].name = "Stim";
    s.dacs[1].units = "pA";
    s.dacs[1].holdingLevel = 10;
    s.dacs[1].epochs = {{AbfEpochType::Step, 100, 20, 500, -100}};
    s.startDate = 20240315;
    s.startTimeMs = 45296789;
    return s;
}

AbfWriteSpec gapFreeSpec(int channels, std::int64_t samples) {
    AbfWriteSpec s;
    s.mode = AbfWriteMode::GapFree;
    s.sampleIntervalUs = 100;
    s.totalSamples = samples;
    for (int c = 0; c < channels; ++c) s.channels.push_back({c, "IN " + std::to_string(c), "pA", 0.05, 0.0});
    s.startDate = 20240101;
    return s;
}

const AbfWriteOptions kNoSync{.overwrite = false, .syncToDisk = false};

// ---- ABF2 bytes ----------------------------------------------------------------------------------

TEST_F(AbfWriterTest, Abf2HeaderAndSectionMapDescribeTheFile) {
    std::string error;
    ASSERT_TRUE(abf_test::take(writeAbfFile(path("a.abf"), episodicSpec(), rawData(3, 8000), kNoSync), error))
        << error;
    const Bytes b = readFile(path("a.abf"));
    EXPECT_EQ(text(b, 0, 4), "ABF2");
    EXPECT_EQ((std::vector<int>{b[4], b[5], b[6], b[7], i16(b, 30)}), (std::vector<int>{0, 0, 0, 2, 0}));
    EXPECT_EQ((std::vector<std::uint32_t>{u32(b, 8), u32(b, 12), u32(b, 16), u32(b, 20)}),
              (std::vector<std::uint32_t>{512, 4, 20240315, 45296789}));
    EXPECT_EQ(b.size() % 512, 0u);

    // Every section lies inside the file behind the file header, and no two overlap.
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const int k : {kProtocol, kAdc, kDac, kEpoch, kEpochPerDac, kStrings, kData, kTag, kSynch}) {
        const Section s = section(b, k);
        const std::int64_t bytes = k == kStrings ? s.size : s.size * s.count;
        ASSERT_TRUE(s.block > 0 && bytes > 0) << "section " << k;
        spans.emplace_back(s.offset(), s.offset() + static_cast<std::size_t>(bytes));
        EXPECT_LE(spans.back().second, b.size()) << "section " << k;
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_LE(spans[i - 1].second, spans[i].first) << i;

    const std::size_t pr = section(b, kProtocol).offset();
    EXPECT_EQ(i16(b, pr), 5);
    EXPECT_FLOAT_EQ(f32(b, pr + 2), 50.0F);
    EXPECT_EQ(i32(b, pr + 22), 2000 * 3);  // values per sweep, all channels
    EXPECT_FLOAT_EQ(f32(b, pr + 62), 1.0F);
    EXPECT_EQ(section(b, kData).count, 8000 * 3);
}

TEST_F(AbfWriterTest, Abf2DataSectionHoldsTheInterleavedSamples) {
    // int16 given per channel in uneven pieces: stored raw, channel by channel per sample point.
    const auto data = rawData(3, 8000);
    AbfWriter w;
    {
        const Result<void> done = w.open(path("i.abf"), episodicSpec(), kNoSync);
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    for (const auto& [from, to] :
         std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {1, 2001}, {2001, 8000}}) {
        std::vector<std::span<const std::int16_t>> piece;
        for (const auto& ch : data) piece.emplace_back(ch.data() + from, to - from);
        {
            const Result<void> done = w.writeChannels(piece);
            ASSERT_TRUE(done) << abf_test::errorText(done);
        }
    }
    {
        const Result<void> done = w.finish();
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    Bytes b = readFile(path("i.abf"));
    const Section d = section(b, kData);
    EXPECT_EQ(d.size, 2);
    for (std::int64_t k = 0; k < 8000; ++k) {
        for (int c = 0; c < 3; ++c) ASSERT_EQ(i16(b, d.at(k * 3 + c)), rawAt(c, k)) << k << " " << c;
    }

    // float32 given interleaved: stored as the values, four bytes each; gap-free has no synch.
    AbfWriteSpec spec = gapFreeSpec(2, 1000);
    spec.format = AbfSampleFormat::Float32;
    std::vector<float> frames;
    for (int k = 0; k < 1000; ++k)
        frames.insert(frames.end(), {k * 0.25F - 100.0F, -1e-3F * static_cast<float>(k)});
    {
        const Result<void> done = w.open(path("f.abf"), spec, kNoSync);
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    ASSERT_TRUE(w.writeInterleaved(std::span<const float>(frames).first(602)));
    ASSERT_TRUE(w.writeInterleaved(std::span<const float>(frames).subspan(602)));
    {
        const Result<void> done = w.finish();
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    b = readFile(path("f.abf"));
    const Section fd = section(b, kData);
    EXPECT_EQ(
        (std::vector<std::int64_t>{i16(b, 30), fd.size, fd.count, section(b, kSynch).block, u32(b, 12)}),
        (std::vector<std::int64_t>{1, 4, 2000, 0, 0}));
    for (std::size_t k = 0; k < frames.size(); ++k)
        ASSERT_EQ(f32(b, fd.at(static_cast<std::int64_t>(k))), frames[k]);
}

TEST_F(AbfWriterTest, Abf2ChannelDacAndEpochEntries) {
    const AbfWriteSpec spec = episodicSpec();
    ASSERT_TRUE(writeAbfFile(path("a.abf"), spec, rawData(3, 8000), kNoSync));
    const Bytes b = readFile(path("a.abf"));
    const std::vector<std::string> str = strings(b);
    const std::size_t pr = section(b, kProtocol).offset();
    EXPECT_EQ(str.at(u32(b, 60)), spec.creator);

    // ADC entries: physical channel, name and unit through the strings (index 0: no unit), and
    // the scaling that the usual formula over every gain field gives.
    for (int k = 0; k < 3; ++k) {
        const AbfWriteChannel& c = spec.channels[static_cast<std::size_t>(k)];
        const std::size_t a = section(b, kAdc).at(k);
        EXPECT_EQ(i16(b, a), c.physicalAdc);
        EXPECT_EQ(str.at(u32(b, a + 74)), c.name);
        EXPECT_EQ(str.at(u32(b, a + 78)), c.units);
        const double telegraph = i16(b, a + 2) != 0 ? f32(b, a + 6) : 1.0;
        const double gain = f32(b, a + 40) * f32(b, a + 48) * f32(b, a + 28) * telegraph;
        EXPECT_NEAR(f32(b, pr + 110) / (i32(b, pr + 118) * gain), c.scale, 1e-6 * c.scale) << k;
        EXPECT_NEAR(f32(b, a + 44) - f32(b, a + 52), c.offset, 1e-6) << k;
    }
    EXPECT_EQ(u32(b, section(b, kAdc).at(2) + 78), 0u);

    // DAC entries: names, units, holding levels, waveform switches.
    const Section dac = section(b, kDac);
    EXPECT_EQ((std::vector<std::string>{str.at(u32(b, dac.at(0) + 24)), str.at(u32(b, dac.at(1) + 24)),
                                        str.at(u32(b, dac.at(1) + 28))}),
              (std::vector<std::string>{"Cmd 0", "Stim", "pA"}));
    EXPECT_EQ((std::vector<float>{f32(b, dac.at(0) + 12), f32(b, dac.at(1) + 12)}),
              (std::vector<float>{-70, 10}));
    EXPECT_EQ((std::vector<int>{i16(b, dac.at(0) + 40), i16(b, dac.at(1) + 40), i16(b, dac.at(2) + 40)}),
              (std::vector<int>{1, 1, 0}));

    // EpochPerDAC: the enabled epochs only (DAC 0: A and C, B is disabled; DAC 1: A).
    const Section per = section(b, kEpochPerDac);
    ASSERT_EQ(per.size, 48);
    ASSERT_EQ(per.count, 3);
    const std::vector<std::vector<double>> want{
        {0, 0, 1, -80, 10, 300, 50}, {2, 0, 2, -40, -5, 400, 0}, {0, 1, 1, 100, 20, 500, -100}};
    for (int k = 0; k < 3; ++k) {
        const std::size_t a = per.at(k);
        EXPECT_EQ(
            (std::vector<double>{static_cast<double>(i16(b, a)), static_cast<double>(i16(b, a + 2)),
                                 static_cast<double>(i16(b, a + 4)), f32(b, a + 6), f32(b, a + 10),
                                 static_cast<double>(i32(b, a + 14)), static_cast<double>(i32(b, a + 18))}),
            want[static_cast<std::size_t>(k)]);
    }
    EXPECT_EQ(section(b, kEpoch).count, 2);  // epochs A and C
}

TEST_F(AbfWriterTest, Abf2TagAndSynchRecords) {
    AbfWriteSpec spec = episodicSpec();
    spec.sweepStartsS = {0.0, 0.25, 2.0, 2.1};
    ASSERT_TRUE(writeAbfFile(path("a.abf"), spec, rawData(3, 8000), kNoSync));
    const Bytes b = readFile(path("a.abf"));
    const double unitUs = f32(b, section(b, kProtocol).offset() + 14);

    const Section tag = section(b, kTag);
    ASSERT_EQ(tag.count, 2);
    EXPECT_DOUBLE_EQ(i32(b, tag.at(0)) * unitUs * 1e-6, 0.5);
    EXPECT_DOUBLE_EQ(i32(b, tag.at(1)) * unitUs * 1e-6, 30000 * 50e-6);  // given in samples
    EXPECT_EQ(text(b, tag.at(0) + 4, 56), "drug on" + std::string(49, ' '));
    EXPECT_EQ((std::vector<int>{i16(b, tag.at(0) + 60), i16(b, tag.at(1) + 60)}), (std::vector<int>{1, 0}));

    const Section synch = section(b, kSynch);
    ASSERT_EQ(synch.count, 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(u32(b, synch.at(k)) * unitUs * 1e-6, spec.sweepStartsS[static_cast<std::size_t>(k)],
                    1e-9);
        EXPECT_EQ(u32(b, synch.at(k) + 4), 6000u) << k;  // values of all channels
    }
}

// ---- ABF1 bytes (the reader checks the rest of the ABF1 files below) ----------------------------

TEST_F(AbfWriterTest, Abf1HeaderLayout) {
    AbfWriteSpec spec = episodicSpec();
    spec.version = AbfFileVersion::V1;
    ASSERT_TRUE(writeAbfFile(path("a.abf"), spec, rawData(3, 8000), kNoSync));
    const Bytes b = readFile(path("a.abf"));
    EXPECT_EQ(text(b, 0, 4), "ABF ");
    EXPECT_FLOAT_EQ(f32(b, 4), 1.83F);
    EXPECT_EQ((std::vector<int>{i32(b, 40), i32(b, 10), i16(b, 120), i32(b, 138)}),
              (std::vector<int>{12, 24000, 3, 6000}));  // data block, values, channels, values per sweep
    EXPECT_FLOAT_EQ(f32(b, 122) * 3, 50.0F);            // interval between stored values
    EXPECT_EQ((std::vector<int>{i16(b, 410), i16(b, 412), i16(b, 414), i16(b, 416)}),
              (std::vector<int>{0, 2, 3, -1}));
    EXPECT_EQ(text(b, 442 + 2 * 10, 10), "Vm 2      ");  // by physical channel
    EXPECT_EQ(i16(b, 6144), rawAt(0, 0));
    EXPECT_EQ(i16(b, 6144 + 2), rawAt(1, 0));
}

// ---- Failures ----------------------------------------------------------------------------------

TEST_F(AbfWriterTest, NeverOverwritesUnlessAsked) {
    const AbfWriteSpec spec = gapFreeSpec(1, 100);
    const auto data = rawData(1, 100);
    { std::ofstream(path("x.abf")) << "precious"; }
    std::string error;
    EXPECT_FALSE(abf_test::take(writeAbfFile(path("x.abf"), spec, data, kNoSync), error));
    EXPECT_NE(error.find("x.abf"), std::string::npos) << error;
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_EQ(text(readFile(path("x.abf")), 0, 8), "precious");

    // A file that appears while the writer is busy is not replaced either.
    AbfWriter w;
    ASSERT_TRUE(w.open(path("y.abf"), spec, kNoSync));
    ASSERT_TRUE(w.writeChannels(std::vector<std::span<const std::int16_t>>{data[0]}));
    { std::ofstream(path("y.abf")) << "arrived"; }
    EXPECT_FALSE(w.finish());
    EXPECT_EQ(text(readFile(path("y.abf")), 0, 7), "arrived");
    EXPECT_EQ(files(), (std::vector<std::string>{"x.abf", "y.abf"}));

    AbfWriteOptions replace = kNoSync;
    replace.overwrite = true;
    ASSERT_TRUE(abf_test::take(writeAbfFile(path("x.abf"), spec, data, replace), error)) << error;
    EXPECT_EQ(text(readFile(path("x.abf")), 0, 4), "ABF2");
    EXPECT_EQ(files(), (std::vector<std::string>{"x.abf", "y.abf"}));
}

TEST_F(AbfWriterTest, FailedWritesLeaveNothingBehind) {
    const AbfWriteSpec spec = gapFreeSpec(2, 1000);
    const auto data = rawData(2, 1000);
    std::string error;

    EXPECT_FALSE(abf_test::take(writeAbfFile(path("no/such/folder/a.abf"), spec, data, kNoSync), error));
    EXPECT_NE(error.find("no/such/folder/a.abf"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    // Too few samples: finish refuses.
    AbfWriter w;
    ASSERT_TRUE(w.open(path("short.abf"), spec, kNoSync));
    ASSERT_TRUE(w.writeInterleaved(std::vector<std::int16_t>(1998, 7)));
    const Result<void> finished = w.finish();
    ASSERT_FALSE(finished);
    EXPECT_NE(finished.error().text().find("999 of 1000"), std::string::npos) << finished.error().text();
    EXPECT_EQ(finished.error().file, path("short.abf"));

    // Too many samples, broken frames, a wrong channel count, raw counts for a float file.
    ASSERT_TRUE(w.open(path("long.abf"), spec, kNoSync));
    EXPECT_FALSE(w.writeInterleaved(std::vector<std::int16_t>(2002, 7)));
    EXPECT_FALSE(w.isOpen());
    EXPECT_FALSE(w.writeInterleaved(std::vector<std::int16_t>(2, 7)));  // the write was abandoned
    ASSERT_TRUE(w.open(path("odd.abf"), spec, kNoSync));
    EXPECT_FALSE(w.writeInterleaved(std::vector<std::int16_t>(3, 7)));
    ASSERT_TRUE(w.open(path("one.abf"), spec, kNoSync));
    EXPECT_FALSE(w.writeChannels(std::vector<std::span<const std::int16_t>>{data[0]}));
    AbfWriteSpec fspec = spec;
    fspec.format = AbfSampleFormat::Float32;
    ASSERT_TRUE(w.open(path("float.abf"), fspec, kNoSync));
    EXPECT_FALSE(w.writeInterleaved(std::vector<std::int16_t>(2, 7)));

    // A writer dropped half way.
    {
        AbfWriter dropped;
        ASSERT_TRUE(dropped.open(path("dropped.abf"), spec, kNoSync));
        ASSERT_TRUE(dropped.writeInterleaved(std::vector<std::int16_t>(1000, 7)));
    }
    EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(AbfWriterTest, RefusesDescriptionsItCannotWrite) {
    struct Case {
        const char* what;
        void (*change)(AbfWriteSpec&);
        const char* message;
    };
    const Case cases[] = {
        {"no channel", [](AbfWriteSpec& s) { s.channels.clear(); }, "1 to 16 channels"},
        {"long name", [](AbfWriteSpec& s) { s.channels[0].name = "ABCDEFGHIJK"; }, "longer than 10"},
        {"ADC twice", [](AbfWriteSpec& s) { s.channels[1].physicalAdc = 0; }, "used twice"},
        {"scale 0", [](AbfWriteSpec& s) { s.channels[2].scale = 0; }, "scale"},
        {"interval", [](AbfWriteSpec& s) { s.sampleIntervalUs = 0; }, "interval"},
        {"long comment", [](AbfWriteSpec& s) { s.tags[0].comment = std::string(57, 'x'); }, "longer than 56"},
        {"epochs too long", [](AbfWriteSpec& s) { s.dacs[0].epochs[2].initDuration = 1550; },
         "epochs of sweep 3 end at sample 2031"},
        {"duration < 0", [](AbfWriteSpec& s) { s.dacs[1].epochs[0].durationIncrement = -200; },
         "negative in sweep 3"},
        {"start-to-start", [](AbfWriteSpec& s) { s.episodeStartToStartS = 0.05; }, "shorter than a sweep"},
        {"overlap",
         [](AbfWriteSpec& s) {
             s.sweepStartsS = {0, 1, 1.05, 3};
         },
         "sweep 2 starts before"},
        {"ABF1 floats",
         [](AbfWriteSpec& s) {
             s.version = AbfFileVersion::V1;
             s.format = AbfSampleFormat::Float32;
         },
         "int16 samples only"},
        {"creator", [](AbfWriteSpec& s) { s.creator = "a name of many letters"; }, "longer than 16"},
    };
    EXPECT_TRUE(abfCheckWriteSpec(episodicSpec()));
    for (const Case& c : cases) {
        AbfWriteSpec s = episodicSpec();
        c.change(s);
        const std::string why = abf_test::errorText(abfCheckWriteSpec(s));
        EXPECT_NE(why.find(c.message), std::string::npos) << c.what << ": " << why;
        AbfWriter w;
        const Result<void> opened = w.open(path("a.abf"), s, kNoSync);
        EXPECT_FALSE(opened) << c.what;
        EXPECT_NE(abf_test::errorText(opened).find(c.message), std::string::npos) << c.what;
    }
    EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(AbfWriterTest, FloatValuesInInt16FilesAreRoundedAndClamped) {
    const AbfWriteChannel ch{0, "IN 0", "pA", 0.5, 10.0};
    EXPECT_EQ(abfQuantize(10.0, ch), 0);
    EXPECT_EQ(abfQuantize(10.74, ch), 1);
    EXPECT_EQ(abfQuantize(10.76, ch), 2);
    EXPECT_EQ(abfQuantize(9.76, ch), 0);
    EXPECT_EQ(abfQuantize(9.74, ch), -1);
    EXPECT_EQ(abfQuantize(1e9, ch), 32767);
    EXPECT_EQ(abfQuantize(-1e9, ch), -32768);
    EXPECT_EQ(abfQuantize(std::nan(""), ch), 0);

    AbfWriteSpec spec = gapFreeSpec(1, 5);
    spec.channels[0] = ch;
    AbfWriter w;
    ASSERT_TRUE(w.open(path("q.abf"), spec, kNoSync));
    const std::vector<float> values{10.0F, -7.0F, 16393.5F, 20000.0F, -1e6F};
    ASSERT_TRUE(w.writeInterleaved(values));
    EXPECT_EQ(w.clippedSamples(), 2);  // 20000 and -1e6 are outside the int16 range at this scale
    {
        const Result<void> done = w.finish();
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    const Bytes b = readFile(path("q.abf"));
    const Section d = section(b, kData);
    EXPECT_EQ((std::vector<int>{i16(b, d.at(0)), i16(b, d.at(1)), i16(b, d.at(2)), i16(b, d.at(3)),
                                i16(b, d.at(4))}),
              (std::vector<int>{0, -34, 32767, 32767, -32768}));
}

TEST_F(AbfWriterTest, LongStreamsCrossTheOutputBufferIntact) {
    // 3 × 800 000 samples (4.8 MB, more than the writer's 4 MiB buffer) in pieces of odd sizes,
    // through the per-channel and the interleaved paths, pieces straddling the buffer's end.
    constexpr std::int64_t n = 800'000;
    const AbfWriteSpec spec = gapFreeSpec(3, n);
    std::vector<std::int16_t> all;  // interleaved, as the file must hold them
    for (std::int64_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) all.push_back(rawAt(c, i));
    }
    AbfWriter w;
    ASSERT_TRUE(w.open(path("long.abf"), spec, kNoSync));
    std::int64_t k = 0;
    for (int piece = 0; k < n; ++piece) {
        const std::int64_t len = std::min<std::int64_t>(n - k, piece % 2 == 0 ? 100'003 : 700'001);
        if (piece % 2 == 0) {
            std::vector<std::vector<std::int16_t>> ch(3);
            for (int c = 0; c < 3; ++c) {
                for (std::int64_t i = 0; i < len; ++i)
                    ch[static_cast<std::size_t>(c)].push_back(rawAt(c, k + i));
            }
            ASSERT_TRUE(w.writeChannels(std::vector<std::span<const std::int16_t>>(ch.begin(), ch.end())));
        } else {
            ASSERT_TRUE(w.writeInterleaved(std::span<const std::int16_t>(all).subspan(
                static_cast<std::size_t>(k * 3), static_cast<std::size_t>(len * 3))));
        }
        k += len;
        EXPECT_EQ(w.samplesWritten(), k);
    }
    {
        const Result<void> done = w.finish();
        ASSERT_TRUE(done) << abf_test::errorText(done);
    }
    const Bytes b = readFile(path("long.abf"));
    const Section d = section(b, kData);
    ASSERT_EQ(d.count, 3 * n);
    ASSERT_LE(d.at(3 * n), b.size());
    std::vector<std::int16_t> stored(static_cast<std::size_t>(3 * n));
    for (std::size_t i = 0; i < stored.size(); ++i) {
        stored[i] = static_cast<std::int16_t>(b[d.offset() + 2 * i] | b[d.offset() + 2 * i + 1] << 8);
    }
    EXPECT_TRUE(stored == all);
}

// ---- Read back with the project's reader ------------------------------------------------------

struct Opened {
    AbfFile file;
    AbfHeader header;
    int samplesPerSweep = 0;
    int sweeps = 0;
};

void openFile(const std::string& path, Opened& o, int pieceLength = 0) {
    int error = 0;
    o.samplesPerSweep = pieceLength;
    o.sweeps = abf_test::take(o.file.open(path, o.header, o.samplesPerSweep), error);
    ASSERT_EQ(error, kAbfOk) << abfErrorText(error, path);
}

// Header, channels and tags of a file read back, against the description it was written from.
void expectDescription(Opened& o, const AbfWriteSpec& spec) {
    EXPECT_EQ(o.header.abfMajorVersion, spec.version == AbfFileVersion::V2 ? 2 : 1);
    EXPECT_EQ(o.header.operationMode, static_cast<int>(spec.mode));
    EXPECT_EQ(o.header.dataFormat, static_cast<int>(spec.format));
    EXPECT_EQ(o.header.adcNumChannels, static_cast<int>(spec.channels.size()));
    EXPECT_FLOAT_EQ(o.header.adcSequenceInterval, static_cast<float>(spec.sampleIntervalUs));
    for (std::size_t k = 0; k < spec.channels.size(); ++k) {
        const AbfWriteChannel& c = spec.channels[k];
        EXPECT_EQ(o.header.adcSamplingSeq[k], c.physicalAdc);
        EXPECT_EQ(abfChannelName(o.header, c.physicalAdc), c.name);
        EXPECT_EQ(abfChannelUnits(o.header, c.physicalAdc), c.units);
        float scale = 0, offset = 0;
        ASSERT_EQ(abfChannelScaling(o.header, c.physicalAdc, scale, offset), kAbfOk);
        if (spec.format == AbfSampleFormat::Int16) {
            EXPECT_NEAR(scale, c.scale, 1e-6 * c.scale) << k;
            EXPECT_NEAR(offset, c.offset, 1e-6) << k;
        }
    }
    int error = 0;
    const std::vector<AbfTag> tags = abf_test::take(o.file.readTags(), error);
    ASSERT_EQ(error, kAbfOk);
    ASSERT_EQ(tags.size(), spec.tags.size());
    for (std::size_t k = 0; k < tags.size(); ++k) {
        const AbfWriteTag& t = spec.tags[k];
        const double seconds = t.timeInSamples ? t.time * spec.sampleIntervalUs * 1e-6 : t.time;
        EXPECT_NEAR(abfTagSeconds(o.header, tags[k]), seconds, 1e-9) << k;
        EXPECT_EQ(abfTagComment(tags[k]), t.comment);
        EXPECT_EQ(tags[k].type, t.type);
    }
}

TEST_F(AbfWriterTest, EpisodicRecordingReadsBackWithTheReader) {
    for (const AbfFileVersion version : {AbfFileVersion::V2, AbfFileVersion::V1}) {
        SCOPED_TRACE(version == AbfFileVersion::V2 ? "ABF2" : "ABF1");
        AbfWriteSpec spec = episodicSpec();
        spec.version = version;
        const std::string file = path(version == AbfFileVersion::V2 ? "e2.abf" : "e1.abf");
        ASSERT_TRUE(writeAbfFile(file, spec, rawData(3, 8000), kNoSync));
        Opened o;
        openFile(file, o);
        EXPECT_EQ(o.sweeps, 4);
        EXPECT_EQ(o.samplesPerSweep, 2000);
        expectDescription(o, spec);
        ASSERT_TRUE(abfHasEpochWaveform(o.header, 0) && abfHasEpochWaveform(o.header, 1));
        for (int s = 0; s < 4; ++s) {
            int error = 0;
            EXPECT_NEAR(abf_test::take(o.file.sweepStartMs(s + 1), error), s * 1000.0, 1e-6);
            for (int position = 0; position < 3; ++position) {
                std::vector<std::int16_t> raw;
                const int adc = spec.channels[static_cast<std::size_t>(position)].physicalAdc;
                ASSERT_EQ(abf_test::take(o.file.readSweep(adc, s + 1, raw), error), 2000)
                    << abfErrorText(error, file);
                for (int i = 0; i < 2000; ++i) {
                    ASSERT_EQ(raw[static_cast<std::size_t>(i)], rawAt(position, s * 2000 + i))
                        << s << " " << i;
                }
            }

            // Holding stretch of 2000 / 64 = 31 samples, then the enabled epochs in order.
            const int aEnd = 31 + 300 + 50 * s;
            int first = 0, last = 0;
            ASSERT_EQ(abfEpochBounds(o.header, 0, 0, s + 1, 0, first, last), kAbfOk);
            EXPECT_EQ(std::make_pair(first, last), std::make_pair(31, aEnd - 1));
            EXPECT_EQ(abfEpochBounds(o.header, 0, 0, s + 1, 1, first, last), kAbfErrEpochNotFound);
            ASSERT_EQ(abfEpochBounds(o.header, 2, 0, s + 1, 2, first, last), kAbfOk);
            EXPECT_EQ(std::make_pair(first, last), std::make_pair(aEnd, aEnd + 399));

            std::vector<float> w0, w1;
            ASSERT_EQ(abfStimulusWaveform(o.header, 0, s + 1, w0), kAbfOk);
            ASSERT_EQ(w0.size(), 2000u);
            const float levelA = -80.0F + 10.0F * s, levelC = -40.0F - 5.0F * s;
            EXPECT_EQ((std::vector<float>{w0[30], w0[31], w0[static_cast<std::size_t>(aEnd - 1)]}),
                      (std::vector<float>{-70, levelA, levelA}));
            // The ramp runs from epoch A's level to C's, then the holding level returns.
            EXPECT_NEAR(w0[static_cast<std::size_t>(aEnd + 399)], levelC,
                        std::abs(levelC - levelA) / 399 + 1e-4);
            EXPECT_EQ((std::vector<float>{w0[static_cast<std::size_t>(aEnd + 400)], w0[1999]}),
                      (std::vector<float>{-70, -70}));
            ASSERT_EQ(abfStimulusWaveform(o.header, 1, s + 1, w1), kAbfOk);
            const auto bEnd = static_cast<std::size_t>(31 + 500 - 100 * s);
            EXPECT_EQ((std::vector<float>{w1[30], w1[31], w1[bEnd - 1], w1[bEnd]}),
                      (std::vector<float>{10, 100.0F + 20.0F * s, 100.0F + 20.0F * s, 10}));
        }
    }
}

// Recordings without a synch array (ABF 1.3 files, files written by other programs) place their
// sweeps by the episode start-to-start time alone. The writer always adds a synch array, so it is
// taken out of the written file here; the time must then come back from the header field, which
// lies where the format documentation puts it (ABF1 byte 178, ABF2 protocol byte 62).
TEST_F(AbfWriterTest, SweepStartsWithoutSynchArrayFollowTheStartToStartTime) {
    for (const AbfFileVersion version : {AbfFileVersion::V1, AbfFileVersion::V2}) {
        const bool v1 = version == AbfFileVersion::V1;
        SCOPED_TRACE(v1 ? "ABF1" : "ABF2");
        AbfWriteSpec spec;
        spec.version = version;
        spec.mode = AbfWriteMode::Episodic;
        spec.sampleIntervalUs = 100;
        spec.sweepCount = 3;
        spec.samplesPerSweep = 1000;      // 0.1 s per sweep
        spec.episodeStartToStartS = 2.5;  // neither the sweep length nor a neighbouring field's value
        spec.channels = {{0, "IN 0", "pA", 0.1, 0.0}, {1, "IN 1", "mV", 0.01, 0.0}};
        spec.startDate = 20240101;
        const std::string file = path(v1 ? "nosynch1.abf" : "nosynch2.abf");
        ASSERT_TRUE(writeAbfFile(file, spec, rawData(2, 3000), kNoSync));

        Bytes b = readFile(file);
        const std::size_t startToStart = v1 ? 178 : section(b, kProtocol).offset() + 62;
        EXPECT_FLOAT_EQ(f32(b, startToStart), 2.5F);
        // Without the synch array: ABF1 pointer and count at 92 and 96; ABF2 map entry 15.
        const std::size_t synchFields = v1 ? 92 : 76 + 16 * kSynch;
        ASSERT_NE(u32(b, synchFields), 0u);
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(synchFields), v1 ? 8 : 16, std::uint8_t{0});
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
            ASSERT_TRUE(out.good());
        }

        Opened o;
        openFile(file, o);
        ASSERT_EQ(o.sweeps, 3);
        EXPECT_TRUE(o.header.synchArray.empty());
        EXPECT_FLOAT_EQ(o.header.episodeStartToStart, 2.5F);
        for (int sweep = 1; sweep <= 3; ++sweep) {
            int error = 0;
            EXPECT_NEAR(abf_test::take(o.file.sweepStartMs(sweep), error), (sweep - 1) * 2500.0, 1e-6)
                << sweep;
            EXPECT_EQ(error, kAbfOk);
        }
    }
}

// Stretches of one channel read regardless of sweeps: across sweep boundaries, cut at the end of
// the data, in counts or in the caller's units.
TEST_F(AbfWriterTest, RangeReadsOfOneChannelCrossSweepsAndStopAtTheEnd) {
    AbfWriteSpec spec = episodicSpec();  // 3 channels, 4 sweeps of 2000
    ASSERT_TRUE(writeAbfFile(path("r.abf"), spec, rawData(3, 8000), kNoSync));
    Opened o;
    openFile(path("r.abf"), o);
    int error = 0;

    std::vector<std::int16_t> counts(40);
    ASSERT_EQ(abf_test::take(o.file.readPoints(1, 1980, 40, counts), error), 40);  // sweeps 1 and 2
    EXPECT_EQ(error, kAbfOk);
    for (int k = 0; k < 40; ++k) ASSERT_EQ(counts[static_cast<std::size_t>(k)], rawAt(1, 1980 + k)) << k;
    EXPECT_EQ(abf_test::take(o.file.readPoints(2, 7990, 40, counts), error), 10);
    EXPECT_EQ(counts[9], rawAt(2, 7999));
    EXPECT_EQ(abf_test::take(o.file.readPoints(0, 8000, 40, counts), error), 0);
    EXPECT_EQ(error, kAbfOk);

    std::vector<float> values(5);
    ASSERT_EQ(abf_test::take(o.file.readPointsScaled(2, 4321, 5, 0.5F, -3.0F, values), error), 5);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(values[static_cast<std::size_t>(k)], static_cast<float>(rawAt(2, 4321 + k)) * 0.5F - 3.0F);
    }

    // Refused: a channel position the recording does not have, a negative start, too little room.
    for (const auto& [position, first, count] : {std::tuple{3, 0, 5}, {-1, 0, 5}, {0, -1, 5}, {0, 0, 6}}) {
        EXPECT_EQ(abf_test::take(o.file.readPointsScaled(position, first, count, 1.0F, 0.0F, values), error),
                  0);
        EXPECT_EQ(error, kAbfErrBadArgument) << position << " " << first << " " << count;
    }

    // Float recordings: counts are refused, values take the factor and never the offset.
    AbfWriteSpec floats = gapFreeSpec(2, 3000);
    floats.format = AbfSampleFormat::Float32;
    std::vector<std::vector<float>> stored(2, std::vector<float>(3000));
    for (std::size_t k = 0; k < 3000; ++k) {
        stored[0][k] = static_cast<float>(k) * 0.25F;
        stored[1][k] = -static_cast<float>(k) * 0.125F;
    }
    ASSERT_TRUE(writeAbfFile(path("f.abf"), floats, stored, kNoSync));
    Opened f;
    openFile(path("f.abf"), f);
    EXPECT_EQ(abf_test::take(f.file.readPoints(0, 0, 5, counts), error), 0);
    EXPECT_EQ(error, kAbfErrDataFormat);
    ASSERT_EQ(abf_test::take(f.file.readPointsScaled(1, 2995, 5, 1000.0F, 7.0F, values), error), 5);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(values[k], stored[1][2995 + k] * 1000.0F) << k;
}

TEST_F(AbfWriterTest, GapFreeFloatRecordingReadsBackWithTheReader) {
    AbfWriteSpec spec = gapFreeSpec(1, 50'000);
    spec.format = AbfSampleFormat::Float32;
    spec.channels[0] = {5, "Vm", "mV", 0.01, -65.0};
    spec.tags = {{1.25, false, "start", 1}, {40'000, true, "", 2}};
    std::vector<float> v(50'000);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = static_cast<float>(-65.0 + 20.0 * std::sin(k * 1e-3));
    ASSERT_TRUE(writeAbfFile(path("g.abf"), spec, std::vector<std::vector<float>>{v}, kNoSync));
    Opened o;
    openFile(path("g.abf"), o, 20'000);
    EXPECT_EQ(o.sweeps, 3);  // pieces of 20000, 20000 and 10000
    expectDescription(o, spec);
    std::vector<float> all, piece;
    for (int s = 1; s <= o.sweeps; ++s) {
        int error = 0;
        ASSERT_GT(abf_test::take(o.file.readSweep(5, s, piece), error), 0) << abfErrorText(error, "g.abf");
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, v);
}

}  // namespace
}  // namespace ephys
