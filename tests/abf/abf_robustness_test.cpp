// Damaged recordings: files cut short, with header bytes overwritten, or with single fields set to
// values no recording has. Opening must fail with a clear error or give what the file really
// holds, never read outside the file nor allocate more than the file justifies (the sanitizer
// build runs these too). The inputs are the writer's recordings of every layout, the small real
// recordings kept with the tests, and a few of the full real collection when it is there.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "abf/abf_file.h"
#include "abf/abf_stimulus.h"
#include "abf_results.h"
#include "abf_test_recordings.h"
#include "abf_test_support.h"

namespace ephys {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
Bytes bytesOf(T value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

template <typename T>
T get(const Bytes& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Paths of the writer's recordings named, then of the kept real ones, then of the collection's
// (only when it is there).
std::vector<std::string> inputs(const std::vector<std::string>& generated,
                                const std::vector<std::string>& kept,
                                const std::vector<std::string>& collection = {}) {
    std::vector<std::string> paths;
    for (const std::string& name : generated) paths.push_back(abf_test::generated(name).path);
    for (const std::string& name : kept) paths.push_back(abf_test::samplePath(name));
    if (abf_test::haveSamples())
        for (const std::string& name : collection) paths.push_back(abf_test::samplePath(name));
    return paths;
}

std::vector<std::string> allGenerated() {
    std::vector<std::string> names;
    for (const abf_test::GeneratedRecording& r : abf_test::generatedRecordings()) names.push_back(r.name);
    return names;
}

// Opens the file and, when that works, uses every operation on it, checking what must hold for
// any recording that opens. Returns the open call's error number.
int exercise(const Bytes& bytes, std::size_t size) {
    static const abf_test::ScratchFile scratch("damaged.abf");  // rewritten in place for each copy
    scratch.write(bytes, size);
    AbfFile file;
    AbfHeader h;
    int samplesPerSweep = 5000;
    int sweeps = -1;
    int error = -1;
    EXPECT_EQ((sweeps = abf_test::take(file.open(scratch.path(), h, samplesPerSweep), error)), sweeps);
    if (error != kAbfOk) {
        EXPECT_EQ(sweeps, 0);
        EXPECT_EQ(abfErrorText(error, "").rfind("Unknown", 0), std::string::npos) << error;
        return error;
    }
    const auto fileSize = static_cast<std::int64_t>(size);
    EXPECT_GE(sweeps, 1);
    EXPECT_LE(h.dataOffsetBytes + std::int64_t{h.actualAcqLength} * h.bytesPerSample, fileSize);
    EXPECT_LE(
        static_cast<std::int64_t>(h.synchArray.size() * kAbfSynchEntrySize + h.tags.size() * kAbfTagSize),
        fileSize);
    EXPECT_LE(abfSamplesPerChannel(h), h.actualAcqLength / h.adcNumChannels);
    for (int sweep : {1, sweeps}) {
        for (int k = 0; k < h.adcNumChannels; ++k) {
            std::vector<float> values;
            const int n =
                abf_test::take(file.readSweep(h.adcSamplingSeq[std::size_t(k)], sweep, values), error);
            EXPECT_TRUE(error == kAbfOk ? n == file.sweepLength(sweep) : error == kAbfErrBadScaling) << error;
            int first = 0;
            int last = 0;
            for (int e = 0; e < 10; ++e) {
                if (abfEpochBounds(h, h.adcSamplingSeq[std::size_t(k)], 0, sweep, e, first, last) == kAbfOk) {
                    EXPECT_LE(0, first);
                    EXPECT_LE(first, last);
                }
            }
        }
        abf_test::take(file.sweepStartMs(sweep), error);
        EXPECT_EQ(error, kAbfOk);
        std::vector<float> wave;
        abfStimulusWaveform(h, 0, sweep, wave);
    }
    abf_test::take(file.readTags(), error);
    EXPECT_TRUE(error == kAbfOk || error == kAbfErrReadTags);
    std::vector<std::byte> raw(64);
    abf_test::take(file.readData(h.actualAcqLength - 8, 32, raw), error);
    EXPECT_EQ(error, kAbfOk);
    return kAbfOk;
}

TEST(AbfDamaged, CutAtManyLengths) {
    for (const std::string& path : inputs(allGenerated(), abf_test::keptRecordings(),
                                          {"multichannelAbf1WithTags.abf", "File_axon_2.abf"})) {
        SCOPED_TRACE(path);
        const Bytes bytes = abf_test::readBytes(path);
        // Variable-length sweeps are known only from the synch array behind the data: such a
        // recording opens exactly when the cut leaves at least the first entry of that array.
        const bool variableLength =
            bytes[3] == '2' && bytes[512 * get<std::uint32_t>(bytes, 76)] == kAbfVariableLengthEvents;
        const std::size_t firstSynchEntryEnd =
            512 * std::size_t{get<std::uint32_t>(bytes, 316)} + get<std::uint32_t>(bytes, 320);
        std::vector<std::size_t> cuts = {0, 3, 4, 5, 511, 512, 513, 2047, 2048, 2049, 6143, 6144, 6145};
        for (std::size_t i = 1; i < 120; ++i) cuts.push_back(bytes.size() * i / 120);
        for (std::size_t back = 1; back < 700; back += 13) cuts.push_back(bytes.size() - back);
        int opened = 0;
        for (std::size_t cut : cuts) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            const int error = exercise(bytes, cut);
            opened += error == kAbfOk;
            EXPECT_TRUE(cut >= 512 || error != kAbfOk);
            if (variableLength) {
                EXPECT_EQ(error == kAbfOk, cut >= firstSynchEntryEnd) << error;
            }
        }
        // Otherwise a cut inside the data or after it leaves a recording that reads as far as it goes.
        if (!variableLength) {
            EXPECT_GT(opened, 100);
        }
    }
}

// Every byte of the first 2048 overwritten in turn, then the high byte of every 16-bit word (the
// ABF1 fields there start at even offsets), in copies that keep a few blocks of data.
TEST(AbfDamaged, HeaderBytesOverwritten) {
    for (const std::string& path :
         inputs({"episodic_v2.abf", "episodic_v1.abf", "gapfree_v1.abf", "episodic_v2_float.abf"},
                {"2018_12_09_pCLAMP11_0001.abf", "invalidDate-abf1.abf"}, {"multichannelAbf1WithTags.abf"})) {
        SCOPED_TRACE(path);
        Bytes bytes = abf_test::readBytes(path);
        const bool abf2 = bytes[3] == '2';
        const std::size_t data =
            512 * std::size_t(abf2 ? get<std::uint32_t>(bytes, 236) : get<std::uint32_t>(bytes, 40));
        bytes.resize(data + 4096);
        int failed = 0;
        for (std::size_t at = 0; at < data; at = at + 1 < 2048 ? at + 1 : (at + 1) | 1) {
            SCOPED_TRACE("byte " + std::to_string(at));
            const std::uint8_t kept = bytes[at];
            bytes[at] = (at % 4 < 2) ? static_cast<std::uint8_t>(kept ^ 0x80) : 0xFF;
            failed += exercise(bytes, bytes.size()) != kAbfOk;
            bytes[at] = kept;
            if (::testing::Test::HasFatalFailure()) return;
        }
        EXPECT_GT(failed, 0);
    }
}

struct Damage {
    const char* what;
    std::size_t offset;
    Bytes value;
    int expected;
};

void expectDamage(const Bytes& original, const std::vector<Damage>& cases, std::size_t base = 0) {
    for (const Damage& d : cases) {
        Bytes bytes = original;
        std::memcpy(bytes.data() + base + d.offset, d.value.data(), d.value.size());
        EXPECT_EQ(exercise(bytes, bytes.size()), d.expected) << d.what;
    }
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();

void abf1FieldDamage(const Bytes& original) {
    const auto channels = get<std::int16_t>(original, 120);
    ASSERT_GE(channels, 2);
    expectDamage(original,
                 {
                     {"no channels", 120, bytesOf<std::int16_t>(0), kAbfErrBadChannels},
                     {"17 channels", 120, bytesOf<std::int16_t>(17), kAbfErrBadChannels},
                     {"channel sampled twice", 412, bytesOf<std::int16_t>(0), kAbfErrBadChannels},
                     {"physical channel 16", 410, bytesOf<std::int16_t>(16), kAbfErrBadChannels},
                     {"interval 0", 122, bytesOf(0.0f), kAbfErrBadInterval},
                     {"interval NaN", 122, bytesOf(kNaN), kAbfErrBadInterval},
                     {"interval negative", 122, bytesOf(-5.0f), kAbfErrBadInterval},
                     {"version 2.5", 4, bytesOf(2.5f), kAbfErrVersion},
                     {"Microsoft binary floats", 38, bytesOf<std::int16_t>(1), kAbfErrVersion},
                     {"mode 6", 8, bytesOf<std::int16_t>(6), kAbfErrBadMode},
                     {"data pointer past the end", 40, bytesOf<std::int32_t>(1000000), kAbfErrTruncated},
                     {"data pointer negative", 40, bytesOf<std::int32_t>(-1), kAbfErrBadHeader},
                     {"data format 2", 100, bytesOf<std::int16_t>(2), kAbfErrBadHeader},
                     {"samples per sweep 0", 138, bytesOf<std::int32_t>(0), kAbfErrBadSweepLength},
                     {"samples per sweep not whole frames", 138, bytesOf<std::int32_t>(channels + 1),
                      kAbfErrBadSweepLength},
                     {"samples per sweep beyond the data", 138, bytesOf<std::int32_t>(kHuge - 3),
                      kAbfErrBadSweepLength},
                     {"negative sample count", 10, bytesOf<std::int32_t>(-5), kAbfErrBadHeader},
                     {"synch unit NaN", 130, bytesOf(kNaN), kAbfErrBadHeader},
                     {"sample count past the file", 10, bytesOf(kHuge), kAbfOk},
                     {"absurd sweep count", 16, bytesOf(kHuge), kAbfOk},
                     {"absurd synch array", 96, bytesOf(kHuge), kAbfOk},
                     {"absurd tag count", 48, bytesOf(kHuge), kAbfOk},
                 });
}

// Recordings of two or more channels (a channel may then be sampled twice).
TEST(AbfDamaged, Abf1FieldsNoRecordingHas) {
    for (const std::string& path : inputs({"episodic_v1.abf"}, {}, {"pclamp11_4ch_abf1.abf"})) {
        SCOPED_TRACE(path);
        abf1FieldDamage(abf_test::readBytes(path));
    }
}

void abf2FieldDamage(const Bytes& original) {
    ASSERT_GT(get<std::int64_t>(original, 324), 0);  // synch array entries
    const auto big = bytesOf<std::int64_t>(std::int64_t{1} << 50);
    // Section map entries at 76 + 16 x section: block, bytes per entry, count (8 bytes).
    expectDamage(original,
                 {
                     {"major version 3", 7, {3}, kAbfErrVersion},
                     {"no protocol section", 76, bytesOf<std::uint32_t>(0), kAbfErrBadHeader},
                     {"protocol past the end", 76, bytesOf<std::uint32_t>(0xFFFFFF), kAbfErrTruncated},
                     {"no ADC entries", 100, bytesOf<std::int64_t>(0), kAbfErrBadChannels},
                     {"17 ADC entries", 100, bytesOf<std::int64_t>(17), kAbfErrBadChannels},
                     {"ADC entries too small", 96, bytesOf<std::uint32_t>(10), kAbfErrBadHeader},
                     {"ADC section past the end", 92, bytesOf<std::uint32_t>(0xFFFFFF), kAbfErrTruncated},
                     {"data past the end", 236, bytesOf<std::uint32_t>(0xFFFFFF), kAbfErrTruncated},
                     {"no data", 244, bytesOf<std::int64_t>(0), kAbfErrNoData},
                     {"absurd data count", 244, big, kAbfOk},
                     {"4-byte entries for 16-bit data", 240, bytesOf<std::uint32_t>(4), kAbfErrBadHeader},
                     {"absurd strings section", 224, bytesOf<std::uint32_t>(0xFFFFFFFF), kAbfOk},
                     {"absurd string count", 228, big, kAbfOk},
                     {"absurd DAC count", 116, big, kAbfOk},
                     {"absurd epoch count", 164, big, kAbfOk},
                     {"absurd synch count", 324, big, kAbfOk},
                 });
    expectDamage(original,
                 {
                     {"interval 0", 2, bytesOf(0.0f), kAbfErrBadInterval},
                     {"interval NaN", 2, bytesOf(kNaN), kAbfErrBadInterval},
                     {"mode 9", 0, bytesOf<std::int16_t>(9), kAbfErrBadMode},
                     {"variable-length events from the synch array", 0, bytesOf<std::int16_t>(1), kAbfOk},
                     {"samples per sweep negative", 22, bytesOf<std::int32_t>(-2000), kAbfErrBadSweepLength},
                     {"ADC resolution 0", 118, bytesOf<std::int32_t>(0), kAbfOk},  // scaling refuses
                 },
                 512 * get<std::uint32_t>(original, 76));
    expectDamage(original,
                 {
                     {"physical channel 16", 0, bytesOf<std::int16_t>(16), kAbfErrBadChannels},
                     {"physical channel -1", 0, bytesOf<std::int16_t>(-1), kAbfErrBadChannels},
                     {"instrument scale factor 0", 40, bytesOf(0.0f), kAbfOk},  // scaling refuses
                 },
                 512 * get<std::uint32_t>(original, 92));
    Bytes events = original;  // variable-length events need their synch array
    events[512 * get<std::uint32_t>(original, 76)] = kAbfVariableLengthEvents;
    std::memset(events.data() + 316, 0, 4);
    EXPECT_EQ(exercise(events, events.size()), kAbfErrNoSynch);
}

// Recordings of 16-bit samples with a synch array.
TEST(AbfDamaged, Abf2FieldsNoRecordingHas) {
    for (const std::string& path : inputs({"episodic_v2.abf"}, {"2018_12_09_pCLAMP11_0001.abf"})) {
        SCOPED_TRACE(path);
        abf2FieldDamage(abf_test::readBytes(path));
    }
}

// Gains of 0 (a writer that left them out) give a scaling error, not a division by zero.
TEST(AbfDamaged, ScalingRefusesUnusableGains) {
    AbfHeader h;
    abfResetHeader(h);
    h.adcNumChannels = 1;
    h.adcSamplingSeq[0] = 0;
    float scale = 0.0f;
    float offset = 0.0f;
    auto scaling = [&] { return abfChannelScaling(h, 0, scale, offset); };
    h.telegraphAdditGain[0] = 0.0f;  // counts only when telegraphed
    EXPECT_EQ(scaling(), kAbfOk);
    h.telegraphEnable[0] = 1;
    EXPECT_EQ(scaling(), kAbfErrBadScaling);
    abfResetHeader(h);
    h.adcNumChannels = 1;
    h.adcSamplingSeq[0] = 0;
    h.instrumentScaleFactor[0] = 0.0f;
    EXPECT_EQ(scaling(), kAbfErrBadScaling);
    h.instrumentScaleFactor[0] = 1.0f;
    h.adcResolution = 0;
    EXPECT_EQ(scaling(), kAbfErrBadScaling);
    h.adcResolution = 32768;
    h.instrumentOffset[0] = kNaN;
    EXPECT_EQ(scaling(), kAbfErrBadScaling);
}

// A file that ends inside its data reads as far as it goes and says how much of the header's
// recording is there: whole sweeps and a sweep in part, or samples of gap-free data.
TEST(AbfDamaged, DataCutShortIsReadAsFarAsItGoesAndNamed) {
    for (const std::string& path : inputs(allGenerated(), abf_test::keptRecordings())) {
        SCOPED_TRACE(path);
        AbfFile file;
        AbfHeader h;
        int samples = 0;
        int sweeps = 0;
        int error = -1;
        ASSERT_GT((sweeps = abf_test::take(file.open(path, h, samples), error)), 0);
        EXPECT_FALSE(file.isShort());
        EXPECT_EQ(file.shortRecordingText(), "");
    }
    struct Cut {
        const char* name;
        std::int64_t frames;  // whole frames of all channels kept
        int extraBytes;
        int sweeps;  // sweeps the reader gives
        const char* says;
    };
    const std::vector<Cut> cuts = {
        {"episodic_v2.abf", 4 * 2000, 0, 4, "it holds 4 of the 10 sweeps in its header"},
        {"episodic_v2.abf", 4 * 2000 + 1000, 1, 5,
         "it holds 4 whole sweeps and part of sweep 5 of the 10 sweeps in its header"},
        {"episodic_v1.abf", 3 * 5000 + 1, 5, 4,
         "it holds 3 whole sweeps and part of sweep 4 of the 8 sweeps in its header"},
        {"gapfree_v2.abf", 10000, 2, 3, "it holds 10000 of the 18500 samples per channel in its header"},
    };
    for (const Cut& c : cuts) {
        SCOPED_TRACE(std::string(c.name) + " cut after " + std::to_string(c.frames) + " frames");
        const abf_test::GeneratedRecording& r = abf_test::generated(c.name);
        const Bytes bytes = abf_test::readBytes(r.path);
        const bool abf2 = bytes[3] == '2';
        const std::size_t data =
            512 * std::size_t(abf2 ? get<std::uint32_t>(bytes, 236) : get<std::uint32_t>(bytes, 40));
        abf_test::ScratchFile scratch("cut.abf");
        scratch.write(
            bytes, data + std::size_t(c.frames) * std::size_t(r.channels()) * 2 + std::size_t(c.extraBytes));
        AbfFile file;
        AbfHeader h;
        int samples = 4000;
        int sweeps = 0;
        int error = -1;
        ASSERT_EQ((sweeps = abf_test::take(file.open(scratch.path(), h, samples), error)), c.sweeps) << error;
        EXPECT_TRUE(file.isShort());
        EXPECT_EQ(file.shortRecordingText(), "File '" + scratch.path() +
                                                 "' is shorter than its header says: " + c.says +
                                                 "; it is analysed as far as it goes.");
    }
}

// Tags follow the data: a file cut inside the tag table gives the tags that are there.
TEST(AbfDamaged, TagTableCutShort) {
    for (const char* name : {"gapfree_v1.abf", "gapfree_v2.abf"}) {
        SCOPED_TRACE(name);
        const abf_test::GeneratedRecording& r = abf_test::generated(name);
        const Bytes bytes = abf_test::readBytes(r.path);
        const std::size_t tagsAt =
            512 * get<std::uint32_t>(bytes, r.spec.version == AbfFileVersion::V1 ? 44 : 252);
        ASSERT_GT(tagsAt, 0u);
        abf_test::ScratchFile scratch("tags.abf");
        scratch.write(bytes, tagsAt + 2 * kAbfTagSize + 10);
        AbfFile file;
        AbfHeader h;
        int samples = std::numeric_limits<int>::max();
        int error = -1;
        ASSERT_EQ(abf_test::take(file.open(scratch.path(), h, samples), error), 1);
        EXPECT_EQ(h.numTagEntries, static_cast<int>(r.spec.tags.size()));
        EXPECT_EQ(static_cast<std::size_t>(h.tagSectionPtr) * 512, tagsAt);
        const Result<std::vector<AbfTag>> tags = file.readTags();
        ASSERT_FALSE(tags);
        EXPECT_EQ(tags.error().code, kAbfErrReadTags);
        EXPECT_EQ(tags.error().text(),
                  "File '" + scratch.path() + "' holds fewer tags than its header announces.");
        // The tags that are there stay in the header.
        const std::vector<AbfTag>& read = file.header().tags;
        ASSERT_EQ(read.size(), 2u);
        EXPECT_EQ(abfTagComment(read[0]), r.spec.tags[0].comment);
        EXPECT_EQ(abfTagComment(read[1]), r.spec.tags[1].comment);
    }
}

}  // namespace
}  // namespace ephys
