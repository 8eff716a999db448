#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "abf/abf_file.h"
#include "abf_results.h"
#include "abf_test_recordings.h"
#include "abf_test_support.h"

namespace ephys {
namespace {

using abf_test::reference;
constexpr int kWhole = std::numeric_limits<int>::max();  // gap-free: one piece for everything

// The reference lists float32 values to 7 significant digits.
::testing::AssertionResult closeTo(double actual, double expected) {
    const double diff = std::abs(actual - expected);
    if (diff <= 1e-5 * std::abs(expected) || diff <= 1e-6) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual << " differs from the reference " << expected;
}

// A real recording by its name, or any recording by its full path.
struct Opened {
    explicit Opened(const std::string& name, int requested = kWhole) : samplesPerSweep(requested) {
        abfResetHeader(header);
        (sweeps = abf_test::take(file.open(abf_test::samplePath(name), header, samplesPerSweep), error));
    }
    AbfFile file;
    AbfHeader header;
    int samplesPerSweep;
    int sweeps = 0;
    int error = -1;
};

std::string versionText(const AbfHeader& h) {
    char text[32];
    const auto& v = h.versionParts;
    if (h.abfMajorVersion == 1) std::snprintf(text, sizeof text, "%.2f", static_cast<double>(h.fileVersion));
    if (h.abfMajorVersion == 2) std::snprintf(text, sizeof text, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    return text;
}

// A sweep of a channel in user units as the detectors compute them: 16-bit samples x scale +
// offset, or the stored floats. The float read must give the same.
std::vector<float> userValues(AbfFile& file, int physical, int sweep) {
    const AbfHeader& h = file.header();
    std::vector<float> values;
    int error = -1;
    if (h.dataFormat == kAbfInt16Data) {
        std::vector<std::int16_t> raw;
        abf_test::take(file.readSweep(physical, sweep, raw), error);
        float scale = 0.0f;
        float offset = 0.0f;
        EXPECT_EQ(abfChannelScaling(h, physical, scale, offset), kAbfOk);
        for (std::int16_t r : raw) values.push_back(static_cast<float>(r) * scale + offset);
    }
    std::vector<float> direct;
    abf_test::take(file.readSweep(physical, sweep, direct), error);
    EXPECT_EQ(error, kAbfOk);
    if (h.dataFormat == kAbfInt16Data) {
        EXPECT_EQ(direct, values);
    }
    return direct;
}

void checkRecording(const json::Value& ref, Opened& o) {
    const AbfHeader& h = o.header;
    const json::Value& stored = ref["header"];
    EXPECT_EQ(h.abfMajorVersion, ref["abf_version"].asInt());
    EXPECT_EQ(versionText(h), ref["file_version"].text);
    EXPECT_EQ(h.operationMode, ref["operation_mode"].asInt());
    EXPECT_EQ(h.dataFormat, ref["nDataFormat"].asInt());
    EXPECT_EQ(h.dataOffsetBytes, ref["data_offset_bytes"].asInt());
    EXPECT_EQ(h.storedEpisodes, stored["lActualEpisodes"].asInt());
    EXPECT_EQ(h.actualAcqLength, stored["samples_all_channels"].asInt());
    EXPECT_EQ(h.storedSamplesPerEpisode, stored["lNumSamplesPerEpisode_all_channels"].asInt());
    EXPECT_TRUE(closeTo(h.synchTimeUnit, stored["fSynchTimeUnit_us"].number));
    EXPECT_EQ(h.numTagEntries, stored["lNumTagEntries"].asInt());
    EXPECT_EQ(h.synchArraySize, stored["lSynchArraySize"].asInt());
    EXPECT_EQ(o.sweeps, ref["sweeps"].asInt());
    EXPECT_EQ(h.adcNumChannels, ref["channels"].asInt());
    EXPECT_TRUE(closeTo(h.adcSequenceInterval, ref["sampling_interval_us"].number));
    const json::Value& lengths = ref["samples_per_sweep"];
    for (int s = 1; s <= o.sweeps; ++s) {
        const bool each = lengths.kind == json::Value::Kind::Array;
        EXPECT_EQ(o.file.sweepLength(s), (each ? lengths[std::size_t(s - 1)] : lengths).asInt())
            << "sweep " << s;
    }

    for (int k = 0; k < h.adcNumChannels; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        const int p = ref["adc_physical_channels"][i].asInt();
        EXPECT_EQ(h.adcSamplingSeq[i], p);
        EXPECT_EQ(abfChannelName(h, p), ref["channel_names"][i].text);
        EXPECT_EQ(abfChannelUnits(h, p), ref["channel_units"][i].text);
        float scale = 0.0f;
        float offset = 0.0f;
        ASSERT_EQ(abfChannelScaling(h, p, scale, offset), kAbfOk);
        EXPECT_TRUE(closeTo(scale, ref.has("scale") ? ref["scale"][i].number : 1.0)) << "scale of " << p;
        EXPECT_TRUE(closeTo(offset, ref.has("offset") ? ref["offset"][i].number : 0.0)) << "offset of " << p;
    }

    const json::Value noSynch;
    const json::Value& synch = ref.has("synch_array") ? ref["synch_array"] : noSynch;
    ASSERT_EQ(h.synchArray.size(), synch.size());
    for (std::size_t i = 0; i < synch.size(); ++i) {
        EXPECT_EQ(h.synchArray[i].start, static_cast<std::int64_t>(synch[i][0].number));
        EXPECT_EQ(h.synchArray[i].length, static_cast<std::int64_t>(synch[i][1].number));
    }
    int error = -1;
    for (std::size_t s = 0; ref.has("sweep_start_s") && s < ref["sweep_start_s"].size(); ++s) {
        const double ms = abf_test::take(o.file.sweepStartMs(static_cast<int>(s) + 1), error);
        EXPECT_EQ(error, kAbfOk);
        EXPECT_TRUE(closeTo(ms / 1000.0, ref["sweep_start_s"][s].number)) << "start of sweep " << s + 1;
    }
    const std::vector<AbfTag> tags = abf_test::take(o.file.readTags(), error);
    EXPECT_EQ(error, kAbfOk);
    ASSERT_EQ(tags.size(), ref["tags"].size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const json::Value& tag = ref["tags"][i];
        EXPECT_EQ(tags[i].time, tag["raw_time"].asInt());
        EXPECT_TRUE(closeTo(abfTagSeconds(h, tags[i]), tag["time_s"].number));
        EXPECT_EQ(abfTagComment(tags[i]), tag["comment"].text);
        EXPECT_EQ(tags[i].type, tag["type"].asInt());
    }

    for (const json::Value& channel : ref["data"].items) {
        const int p = ref["adc_physical_channels"][std::size_t(channel["channel"].asInt())].asInt();
        for (const json::Value& expected : channel["sweeps"].items) {
            const int sweep = expected["sweep"].asInt() + 1;  // the reference counts from 0
            SCOPED_TRACE("channel " + std::to_string(p) + ", sweep " + std::to_string(sweep));
            const std::vector<float> v = userValues(o.file, p, sweep);
            ASSERT_EQ(static_cast<int>(v.size()), expected["n"].asInt());
            for (std::size_t i = 0; i < 5; ++i) {
                EXPECT_TRUE(closeTo(v[i], expected["first5"][i].number)) << "sample " << i;
                EXPECT_TRUE(closeTo(v[v.size() - 5 + i], expected["last5"][i].number)) << "sample -" << 5 - i;
            }
            const double sum = std::accumulate(v.begin(), v.end(), 0.0);
            EXPECT_TRUE(closeTo(sum / static_cast<double>(v.size()), expected["mean"].number)) << "mean";
            EXPECT_TRUE(closeTo(*std::min_element(v.begin(), v.end()), expected["min"].number)) << "min";
            EXPECT_TRUE(closeTo(*std::max_element(v.begin(), v.end()), expected["max"].number)) << "max";
        }
    }
}

// Every recording of the collection (without it, the ones kept with the tests) against the values
// of two independent readers.
TEST(AbfReference, EveryRecordingAgreesWithTheReference) {
    int agreeing = 0;
    for (const auto& [name, ref] : abf_test::availableReference().members) {
        SCOPED_TRACE(name);
        const bool failedBefore = ::testing::Test::HasFailure();
        Opened o(name);
        ASSERT_EQ(o.error, kAbfOk) << abfErrorText(o.error, name);
        checkRecording(ref, o);
        if (!failedBefore && !::testing::Test::HasFailure()) ++agreeing;
    }
    EXPECT_EQ(agreeing, abf_test::haveSamples() ? 25 : 4);
    std::printf("%d recordings agree with reference.json\n", agreeing);
}

// Gap-free data in pieces of the requested per-channel length, the last piece the rest, each
// starting where the one before ended: ABF1 (stored in chunks of its own) and ABF2, one and two
// channels, 100 µs.
TEST(AbfGapFree, PiecesOfTheRequestedLength) {
    for (const char* name : {"gapfree_v1.abf", "gapfree_v2.abf"}) {
        SCOPED_TRACE(name);
        const abf_test::GeneratedRecording& r = abf_test::generated(name);
        const auto total = static_cast<int>(r.spec.totalSamples);  // 20500 and 18500
        const int pieces = (total + 999) / 1000;
        const int last = total - (pieces - 1) * 1000;
        Opened whole(r.path);
        Opened cut(r.path, 1000);
        ASSERT_EQ(cut.error, kAbfOk);
        EXPECT_EQ(whole.sweeps, 1);
        EXPECT_EQ(whole.file.sweepLength(1), total);
        EXPECT_EQ(cut.sweeps, pieces);
        EXPECT_EQ(cut.samplesPerSweep, 1000);
        EXPECT_EQ(cut.header.numSamplesPerEpisode, 1000 * r.channels());
        EXPECT_EQ(cut.file.sweepLength(pieces), last);
        int error = -1;
        for (int k = 0; k < r.channels(); ++k) {
            const int p = r.spec.channels[std::size_t(k)].physicalAdc;
            std::vector<std::int16_t> all;
            std::vector<std::int16_t> piece;
            ASSERT_EQ(abf_test::take(whole.file.readSweep(p, 1, all), error), total);
            EXPECT_EQ(all[12345], abf_test::generatedRaw(k, 0, 12345));
            for (int s : {1, 2, pieces / 2, pieces}) {
                ASSERT_EQ(abf_test::take(cut.file.readSweep(p, s, piece), error), s == pieces ? last : 1000);
                EXPECT_TRUE(std::equal(piece.begin(), piece.end(), all.begin() + (s - 1) * 1000))
                    << p << " " << s;
                EXPECT_DOUBLE_EQ(abf_test::take(cut.file.sweepStartMs(s), error), (s - 1) * 100.0);
            }
        }
        std::vector<std::int16_t> none;
        EXPECT_EQ(abf_test::take(cut.file.readSweep(r.spec.channels[0].physicalAdc, pieces + 1, none), error),
                  0);
        EXPECT_EQ(error, kAbfErrSweepRange);
    }
}

// Without a requested length the file's own chunk length is used and reported back; for every
// gap-free recording that gives the sections the other reader (stfio) made of it.
TEST(AbfGapFree, DefaultPiecesFollowTheStoredChunkLength) {
    EPHYS_REQUIRE_ABF_SAMPLES();
    int files = 0;
    for (const auto& [name, ref] : reference().members) {
        if (!ref.has("stfio_sections")) continue;
        SCOPED_TRACE(name);
        Opened o(name, 0);
        EXPECT_EQ(o.samplesPerSweep, ref["stfio_sections"]["samples_per_section"].asInt());
        EXPECT_EQ(o.sweeps, ref["stfio_sections"]["count"].asInt());
        EXPECT_EQ(o.file.sweepLength(o.sweeps), ref["stfio_sections"]["last_section_samples"].asInt());
        ++files;
    }
    EXPECT_EQ(files, 4);
}

TEST(AbfErrors, TextsAndRefusedFiles) {
    EXPECT_EQ(abfErrorText(12345, "a.abf"), "Unknown error number: 12345\r\n");
    EXPECT_EQ(abfErrorText(1007, ""), "Unknown error number: 1007\r\n");
    const std::pair<int, const char*> texts[] = {{kAbfErrFileNotFound, "not found"},
                                                 {kAbfErrNotAbf, "not an ABF file"},
                                                 {kAbfErrTruncated, "truncated"},
                                                 {kAbfErrSweepRange, "sweep out of range"},
                                                 {kAbfErrChannelNotSampled, "channel not sampled"}};
    for (const auto& [number, words] : texts) {
        EXPECT_NE(abfErrorText(number, "a.abf").find(words), std::string::npos) << number;
        EXPECT_NE(abfErrorText(number, "a.abf").find("a.abf"), std::string::npos) << number;
    }

    AbfFile file;
    AbfHeader h;
    int samples = 0;
    int sweeps = -1;
    int error = 0;
    EXPECT_EQ((sweeps = abf_test::take(file.open("/nonexistent/none.abf", h, samples), error)), 0);
    EXPECT_EQ(error, kAbfErrFileNotFound);
    EXPECT_EQ(sweeps, 0);
    (sweeps = abf_test::take(file.open(std::filesystem::temp_directory_path().string(), h, samples), error));
    EXPECT_EQ(error, kAbfErrOpenFile);
    abf_test::ScratchFile text("text.abf");
    const std::string content = "A text file of some length, not a recording\n";
    text.write(std::vector<std::uint8_t>(content.begin(), content.end()));
    (sweeps = abf_test::take(file.open(text.path(), h, samples), error));
    EXPECT_EQ(error, kAbfErrNotAbf);
    EXPECT_FALSE(file.isOpen());
    const Result<void> closed = file.close();
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error().code, kAbfErrNotOpen);
}

// spktal finds a recording's channels by reading sweep 1 of channels 0..15; names, units and
// gains belong to the physical channel, not to the position in the data.
TEST(AbfChannels, PhysicalChannelsOfTheSamplingSequence) {
    for (const char* name : {"episodic_v1.abf", "gapfree_v2.abf"}) {  // ADC 0, 2, 3 and ADC 0, 2
        SCOPED_TRACE(name);
        const abf_test::GeneratedRecording& r = abf_test::generated(name);
        Opened o(r.path);
        std::vector<int> sampled;
        for (const AbfWriteChannel& c : r.spec.channels) sampled.push_back(c.physicalAdc);
        std::vector<int> found;
        int error = -1;
        for (int p = -1; p <= kAbfAdcCount; ++p) {
            std::vector<std::int16_t> samples;
            const int n = abf_test::take(o.file.readSweep(p, 1, samples), error);
            if (error == kAbfOk) found.push_back(p);
            EXPECT_TRUE(error == kAbfOk ? n == r.sweepLength() : error == kAbfErrChannelNotSampled && n == 0)
                << p;
        }
        EXPECT_EQ(found, sampled);
        for (int sweep : {0, r.sweeps() + 1}) {
            std::vector<std::int16_t> samples;
            abf_test::take(o.file.readSweep(0, sweep, samples), error);
            EXPECT_EQ(error, kAbfErrSweepRange);
            abf_test::take(o.file.sweepStartMs(sweep), error);
            EXPECT_EQ(error, kAbfErrSweepRange);
        }
        float scale = 0.0f;
        float offset = 0.0f;
        EXPECT_EQ(abfChannelScaling(o.header, 1, scale, offset), kAbfErrChannelNotSampled);
        for (std::size_t k = 0; k < sampled.size(); ++k) {
            const AbfWriteChannel& c = r.spec.channels[k];
            ASSERT_EQ(abfChannelScaling(o.header, c.physicalAdc, scale, offset), kAbfOk);
            EXPECT_FLOAT_EQ(scale, static_cast<float>(c.scale)) << c.physicalAdc;
            EXPECT_NEAR(offset, c.offset, 1e-6) << c.physicalAdc;
            EXPECT_EQ(abfChannelName(o.header, c.physicalAdc), c.name);
            EXPECT_EQ(abfChannelUnits(o.header, c.physicalAdc), c.units);
            // The last sample of the last sweep, where a mix-up of positions would show.
            std::vector<std::int16_t> samples;
            ASSERT_EQ(abf_test::take(o.file.readSweep(c.physicalAdc, r.sweeps(), samples), error),
                      r.sweepLength());
            EXPECT_EQ(samples.back(),
                      abf_test::generatedRaw(static_cast<int>(k), r.sweeps() - 1, r.sweepLength() - 1));
        }
        // Sample times count per-channel intervals.
        std::vector<double> times(4);
        abfSampleTimesMs(o.header, times);
        EXPECT_DOUBLE_EQ(times[3], 3 * r.spec.sampleIntervalUs / 1000.0);
    }

    int error = -1;
    Opened floats("File_axon_7.abf");
    std::vector<std::int16_t> samples;
    EXPECT_EQ(abf_test::take(floats.file.readSweep(1, 1, samples), error), 0);
    EXPECT_EQ(error, kAbfErrDataFormat);
    Opened events("2020_06_16_0000.abf");  // variable-length sweeps: the longest one is reported
    EXPECT_EQ(events.samplesPerSweep, 70040);
}

// Names, units and gains of a real recording whose sampling sequence skips a channel.
TEST(AbfChannels, RealRecordingWithTelegraphedGain) {
    EPHYS_REQUIRE_ABF_SAMPLES();
    Opened o("190619B_0003.abf");  // sampling sequence 0, 2
    float scale = 0.0f;
    float offset = 0.0f;
    EXPECT_EQ(abfChannelScaling(o.header, 1, scale, offset), kAbfErrChannelNotSampled);
    // Physical channel 2 has instrument scale factor 1 (channel 1 has 0.0005: 2000 times larger
    // values); channel 0 was telegraphed with an additional gain of 5.
    ASSERT_EQ(abfChannelScaling(o.header, 2, scale, offset), kAbfOk);
    EXPECT_FLOAT_EQ(scale, 10.0f / 32768.0f);
    ASSERT_EQ(abfChannelScaling(o.header, 0, scale, offset), kAbfOk);
    EXPECT_FLOAT_EQ(scale, 10.0f / (32768.0f * 0.001f * 5.0f));
    std::vector<double> times(4);
    abfSampleTimesMs(o.header, times);
    EXPECT_DOUBLE_EQ(times[3], 0.3);
}

// psctrawl reads frames itself at the data section: what it reads must be what the sweep read
// gives, and the data section ends before the tags that follow it in the file.
TEST(AbfDirectData, RawFramesAgreeWithSweepReads) {
    Opened o(abf_test::generated("episodic_v1.abf").path);  // 3 channels on ADC 0, 2, 3; sweeps of 5000
    const int channels = 3;
    const std::int64_t first = o.file.sweepFirstValue(7);
    EXPECT_EQ(first, 6 * 5000 * channels);
    std::vector<std::byte> bytes(5000 * channels * 2);
    int error = -1;
    ASSERT_EQ(abf_test::take(o.file.readData(first, 5000 * channels, bytes), error), 5000 * channels);
    for (int k = 0; k < channels; ++k) {
        std::vector<std::int16_t> samples;
        ASSERT_EQ(
            abf_test::take(o.file.readSweep(o.header.adcSamplingSeq[std::size_t(k)], 7, samples), error),
            5000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            std::int16_t raw;
            std::memcpy(&raw, bytes.data() + (i * channels + std::size_t(k)) * 2, 2);
            ASSERT_EQ(raw, samples[i]) << "position " << k << " sample " << i;
        }
    }

    const std::string gapFree = abf_test::generated("gapfree_v1.abf").path;  // four tags behind the data
    Opened tagged(gapFree);
    const std::int64_t total = tagged.header.actualAcqLength;
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(gapFree));
    ASSERT_GT(size, tagged.header.dataOffsetBytes + 2 * total + 512);
    std::vector<std::byte> tail(200);
    EXPECT_EQ(abf_test::take(tagged.file.readData(total - 10, 100, tail), error), 10);
    EXPECT_EQ(abf_test::take(tagged.file.readData(total, 100, tail), error), 0);
    std::vector<std::int16_t> samples;
    ASSERT_EQ(abf_test::take(tagged.file.readSweep(0, 1, samples), error), total);
    std::int16_t last;
    std::memcpy(&last, tail.data() + 18, 2);
    EXPECT_EQ(last, samples.back());
    EXPECT_EQ(abf_test::take(tagged.file.readData(-1, 10, tail), error), 0);
    EXPECT_EQ(error, kAbfErrBadArgument);
}

TEST(AbfHandle, MovesAndCloses) {
    Opened o("2018_12_09_pCLAMP11_0001.abf");
    AbfFile moved(std::move(o.file));
    EXPECT_FALSE(o.file.isOpen());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    AbfFile other;
    other = std::move(moved);
    EXPECT_FALSE(moved.isOpen());  // NOLINT(bugprone-use-after-move)
    std::vector<std::int16_t> samples;
    int error = -1;
    EXPECT_EQ(abf_test::take(other.readSweep(0, 10, samples), error), 2000);
    EXPECT_TRUE(other.close());
    EXPECT_EQ(abf_test::take(other.readSweep(0, 1, samples), error), 0);
    EXPECT_EQ(error, kAbfErrNotOpen);
}

}  // namespace
}  // namespace ephys
