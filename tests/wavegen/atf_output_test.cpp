#include "wavegen/atf_output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "wave_test_support.h"
#include "wavegen/waveform_synthesis.h"

namespace ephys {
namespace {

using test::crlfLines;
using test::readWhole;
using test::ScratchFolder;

// Noon of a local date, the start of a run whose files are named after that date.
std::chrono::system_clock::time_point localNoon(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

WaveRunResult run(WaveformParameters& p, const std::string& folder, MessageSink& messages,
                  std::optional<std::int32_t> seed = 1234, ProgressRecord* progress = nullptr) {
    static WaveState state;
    ProgressRecord quiet;
    WaveRunOptions options;
    options.directory = folder;
    options.seed = seed;
    options.startTime = localNoon(2024, 3, 5);
    return waveGenerate(p, progress != nullptr ? *progress : quiet, state, messages, options);
}

// The value column of the sample lines (line 7 on).
std::vector<double> sampleValues(const std::vector<std::string>& lines) {
    std::vector<double> values;
    for (std::size_t i = 6; i < lines.size(); ++i)
        values.push_back(std::stod(lines[i].substr(lines[i].find('\t') + 1)));
    return values;
}

TEST(WaveFileName, DateCounterAndExtension) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    EXPECT_EQ(waveDateText(tm), "030524");
    tm.tm_year = 2000 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 31;
    EXPECT_EQ(waveDateText(tm), "123100");

    EXPECT_EQ(waveFileName("030524", 0), "SWG03052400.ATF");
    EXPECT_EQ(waveFileName("030524", 7), "SWG03052407.ATF");
    EXPECT_EQ(waveFileName("030524", 99), "SWG03052499.ATF");
    EXPECT_EQ(waveFileName("030524", 100), "SWG030524100.ATF");
    EXPECT_EQ(waveJoinPath("", "A.ATF"), "A.ATF");
    EXPECT_EQ(waveJoinPath("/d/", "A.ATF"), "/d/A.ATF");
    EXPECT_EQ(waveJoinPath("/d", "A.ATF"), "/d/A.ATF");
}

TEST(WaveFileName, SearchTakesTheFirstFreeNameAndComplainsPastNinetyNine) {
    ScratchFolder folder;
    CapturedMessages messages;
    EXPECT_EQ(waveFindFreeCounter(folder.path(), "030524", 0, messages), 0);
    std::ofstream(folder.file("SWG03052400.ATF")).put('x');
    std::ofstream(folder.file("SWG03052401.ATF")).put('x');
    std::ofstream(folder.file("SWG03052403.ATF")).put('x');
    std::ofstream(folder.file("SWG04052400.ATF")).put('x');  // another day's name is no obstacle
    EXPECT_EQ(waveFindFreeCounter(folder.path(), "030524", 0, messages), 2);
    EXPECT_TRUE(messages.empty());

    // With 00 .. 99 taken the try of 99 moves the counter to 100, and the free 100 is another
    // try with the counter above 99: two messages. One more taken name, one more message.
    for (int k = 0; k < 100; ++k) std::ofstream(folder.file(waveFileName("030524", k))).put('x');
    EXPECT_EQ(waveFindFreeCounter(folder.path(), "030524", 0, messages), 100);
    ASSERT_EQ(messages.entries().size(), 2u);
    EXPECT_EQ(messages.entries()[0].kind, MessageKind::ErrorBox);
    EXPECT_EQ(messages.entries()[0].text, "already used up 99 file names");
    messages.clear();
    std::ofstream(folder.file("SWG030524100.ATF")).put('x');
    EXPECT_EQ(waveFindFreeCounter(folder.path(), "030524", 0, messages), 101);
    EXPECT_EQ(messages.entries().size(), 3u);
}

TEST(WaveAtf, SampleLineIsThreeDecimalsTabShortValueCrLf) {
    std::string s;
    waveAppendSampleLine(s, 204.7f, -12.3456f);
    waveAppendSampleLine(s, 0.05f, 0.0f);
    waveAppendSampleLine(s, 1234.5f, 1e-36f);
    waveAppendSampleLine(s, 999999.9f, 1234567.0f);
    waveAppendSampleLine(s, 3.0f, 0.0001234f);
    // 999999.9 is 999999.875 as a float.
    EXPECT_EQ(s, "204.700\t-12.35\r\n0.050\t0\r\n1234.500\t0\r\n999999.875\t1235000\r\n3.000\t0.0001234\r\n");
}

TEST(WaveAtf, TimeColumnIsPrintfsThreeDecimals) {
    auto printfText = [](float t) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", static_cast<double>(t));
        return std::string(text);
    };
    auto ours = [](float t) {
        std::string s;
        waveAppendTime(s, t);
        return s;
    };
    // Halfway cases that a float holds exactly (1/16 and its odd multiples, x 1000 ends in .5)
    // round to even, as printf does; tiny negatives keep their sign.
    EXPECT_EQ(ours(0.0625f), "0.062");
    EXPECT_EQ(ours(0.1875f), "0.188");
    EXPECT_EQ(ours(-0.0001f), "-0.000");
    for (float t : {0.0f, 0.0005f, 1.0005f, 0.0625f, 2.4375f, 204.7f, 999999.875f, 16777216.0f, 3.0e9f,
                    1.0e13f, -0.0625f, -12.3456f, 1.0e20f}) {
        EXPECT_EQ(ours(t), printfText(t)) << t;
    }
    // The times of every sample interval a run can have, over a long stretch of samples.
    for (std::int32_t interval : {10, 37, 100, 999, 1000000}) {
        for (std::size_t i = 0; i < 1000000; i += 13) {
            const auto t = static_cast<float>(static_cast<double>(i) * 0.001 * interval);
            ASSERT_EQ(ours(t), printfText(t)) << "interval " << interval << ", sample " << i;
        }
    }
}

TEST(WaveAtf, FirstSixLinesOfEachWaveform) {
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    p.sampleInterval = 1000;
    p.sampleCount = 120;
    p.stepOn = 10.25f;
    p.stepOff = 90.0f;
    p.dcStep = 12.5f;
    p.amplitude = 250.0f;
    p.noiseFilterHz = 0.0f;
    p.chirpStartHz = 40.0f;
    p.chirpEndHz = 160.0f;
    const std::string chirpTitle = "\"Chirp current trace generated by SWG\"";
    struct Case {
        char waveform;
        std::string title, comment;
    } cases[] = {
        {'N', "\"White noise trace generated by SWG\"",
         "\"Comment=DC = 12.5 pA, RMS noise = 250 pA, filtered at 0 Hz\""},
        {'C', chirpTitle, "\"Comment=DC = 12.5 pA, Chirp ampl. = 250 pA, Start = 40 Hz, End  = 160 Hz\""},
        {'R', chirpTitle, "\"Comment=DC = 12.5 pA, Chirp ampl. = 250 pA, Start = 160 Hz, End  = 40 Hz\""},
        {'S', chirpTitle, "\"Comment=DC = 12.5 pA, Chirp ampl. = 250 pA, Start = 40 Hz, End  = 40 Hz\""},
        {'P', "\"Pulse train generated by SWG\"",
         "\"Comment=DC = 12.5 pA, Chirp ampl. = 250 pA, Start = 40 Hz, End  = 160 Hz\""},
    };
    int counter = 0;
    for (const Case& c : cases) {
        p.waveform = c.waveform;
        const WaveRunResult result = run(p, folder.path(), messages);
        ASSERT_TRUE(result.ok) << c.waveform;
        const std::string name = waveFileName("030524", counter++);
        EXPECT_EQ(result.fileName, name);
        EXPECT_EQ(result.path, folder.file(name));
        const std::string text = readWhole(result.path);
        const std::string expected = "ATF\t1.0\r\n3\t2\r\n" + c.title + "\r\n" + c.comment +
                                     "\r\n\"Current step on at 10.25 ms, off at 90 ms\"\r\n"
                                     "\"Time (ms)\"\t\"Amplitude (pA)\"\r\n0.000\t";
        EXPECT_EQ(text.substr(0, expected.size()), expected) << c.waveform;
        // The record's frequencies are back as they were.
        EXPECT_EQ(p.chirpStartHz, 40.0f);
        EXPECT_EQ(p.chirpEndHz, 160.0f);
    }
    EXPECT_TRUE(messages.empty());
}

TEST(WaveAtf, DefaultPulseFileLineByLine) {
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    const WaveRunResult result = run(p, folder.path(), messages);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"SWG03052400.ATF"});  // no temporary left

    const std::string text = readWhole(result.path);
    int bare = 0;
    const std::vector<std::string> lines = crlfLines(text, &bare);
    EXPECT_EQ(bare, 0);
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
    ASSERT_EQ(lines.size(), 6u + 2048u);
    EXPECT_EQ(lines[5], "\"Time (ms)\"\t\"Amplitude (pA)\"");
    for (int i = 0; i < 2048; ++i) {
        const bool inPulse = i >= 100 && i < 600 && (i - 100) % 100 < 20;
        const std::string expected =
            std::to_string(i / 10) + "." + std::to_string(i % 10) + "00\t" + (inPulse ? "500" : "0");
        ASSERT_EQ(lines[6 + static_cast<std::size_t>(i)], expected) << "sample " << i;
    }
    EXPECT_EQ(lines.back(), "204.700\t0");

    // The next run of the day in the same folder takes the next counter.
    const WaveRunResult second = run(p, folder.path(), messages);
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(second.fileName, "SWG03052401.ATF");
    EXPECT_EQ(readWhole(result.path), text);  // the first file is untouched
    EXPECT_TRUE(messages.empty());
}

TEST(WaveAtf, NoiseFilterSpreadsOneSampleAcrossTheStepEdges) {
    // 3000 Hz at 100 us: sigma = 0.132505 / 0.3 samples, below 0.62, so the three-tap filter
    // out[i] = (1 - sigma^2) in[i] + sigma^2 / 2 (in[i-1] + in[i+1]).
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    p.waveform = 'N';
    p.noiseFilterHz = 0.0f;
    const std::vector<double> raw =
        sampleValues(crlfLines(readWhole(run(p, folder.path(), messages, 77).path)));
    p.noiseFilterHz = 3000.0f;
    const std::vector<double> filtered =
        sampleValues(crlfLines(readWhole(run(p, folder.path(), messages, 77).path)));
    ASSERT_EQ(raw.size(), 2048u);
    ASSERT_EQ(filtered.size(), 2048u);

    EXPECT_EQ(raw[99], 0.0);
    EXPECT_NE(raw[100], 0.0);
    EXPECT_NE(raw[1100], 0.0);
    EXPECT_EQ(raw[1101], 0.0);
    EXPECT_EQ(filtered[98], 0.0);
    EXPECT_NE(filtered[99], 0.0);
    EXPECT_NE(filtered[1101], 0.0);
    EXPECT_EQ(filtered[1102], 0.0);

    const double sigma = 0.132505 / 0.3;
    const double side = sigma * sigma / 2.0, centre = 1.0 - sigma * sigma;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        // The file holds four significant digits of each value.
        ASSERT_NEAR(filtered[i], centre * raw[i] + side * (raw[i - 1] + raw[i + 1]), 1.5) << "sample " << i;
    }
    EXPECT_TRUE(messages.empty());
}

TEST(WaveAtf, FixedSeedRepeatsTheNoiseAndTheClockSeedRunsOn) {
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    p.waveform = 'N';
    auto dataOf = [&](std::optional<std::int32_t> seed) {
        const std::string text = readWhole(run(p, folder.path(), messages, seed).path);
        return text.substr(text.find("\"Time (ms)\""));
    };
    const std::string first = dataOf(42);
    EXPECT_EQ(dataOf(42), first);
    EXPECT_NE(dataOf(43), first);
    // A run throws its first deviate away: the step takes the deviates from the second on.
    p.noiseFilterHz = 0.0f;
    p.amplitude = 1000.0f;
    const std::vector<double> values =
        sampleValues(crlfLines(readWhole(run(p, folder.path(), messages, 42).path)));
    WaveRandom expected;
    waveRandomReset(expected);
    expected.seed = 42;
    waveNormal(expected);
    for (std::size_t i = 100; i < 110; ++i) {
        const double z = 1000.0 * waveNormal(expected);
        EXPECT_NEAR(values[i], z, 5e-4 * std::fabs(z) + 1e-3) << "sample " << i;
    }
    // Two runs seeded from the clock (the same start time, so the same seed word) still differ:
    // the table and the spare deviate carry over from run to run.
    EXPECT_NE(dataOf(std::nullopt), dataOf(std::nullopt));
}

TEST(WaveAtf, ReverseChirpSlowsDownFromTheEndFrequency) {
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    p.waveform = 'R';
    p.sampleInterval = 20;
    p.sampleCount = 6000;
    p.chirpStartHz = 100.0f;
    p.chirpEndHz = 200.0f;
    const std::vector<double> v = sampleValues(crlfLines(readWhole(run(p, folder.path(), messages).path)));
    // Swapped, the phase is 2 pi (200 tau - 500 tau^2): crossing k lies at
    // tau = (200 - sqrt(200^2 - 1000 k)) / 1000, so half periods grow from 2.55 ms to 4.66 ms.
    std::vector<double> crossings;
    for (std::size_t i = 502; i < 5500; ++i) {  // past the start at 0
        if ((v[i - 1] < 0.0) != (v[i] < 0.0)) crossings.push_back(i * 0.02);
    }
    ASSERT_EQ(crossings.size(), 29u);
    EXPECT_NEAR(crossings[1] - crossings[0], 2.55, 0.05);
    EXPECT_NEAR(crossings[28] - crossings[27], 4.66, 0.05);
    EXPECT_EQ(p.chirpStartHz, 100.0f);
    EXPECT_EQ(p.chirpEndHz, 200.0f);
}

TEST(WaveAtf, StepOfNoLengthWritesNoInfinityOrNan) {
    ScratchFolder folder;
    CapturedMessages messages;
    WaveformParameters p;
    p.waveform = 'C';
    p.stepOn = 10.0f;
    p.stepOff = 10.0f;
    p.dcStep = 50.0f;
    const std::vector<std::string> lines = crlfLines(readWhole(run(p, folder.path(), messages).path));
    ASSERT_EQ(lines.size(), 6u + 2048u);
    EXPECT_EQ(lines[4], "\"Current step on at 10 ms, off at 10 ms\"");
    EXPECT_EQ(lines[6 + 99], "9.900\t0");
    EXPECT_EQ(lines[6 + 100], "10.000\t50");
    EXPECT_EQ(lines[6 + 101], "10.100\t0");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("nan"), std::string::npos) << line;
        EXPECT_EQ(line.find("inf"), std::string::npos) << line;
    }
}

TEST(WaveAtf, ProgressOfANoiseRun) {
    ScratchFolder folder;
    CapturedMessages messages;
    test::RecordingProgressView view;
    ProgressRecord progress;
    progress.view = &view;
    WaveformParameters p;
    p.waveform = 'N';
    ASSERT_TRUE(run(p, folder.path(), messages, 5, &progress).ok);

    std::vector<std::string> texts;
    std::vector<int> writing;
    for (const ProgressSnapshot& s : view.seen) {
        if (texts.empty() || texts.back() != s.line1) texts.push_back(s.line1);
        if (s.line1.starts_with("Writing")) writing.push_back(s.percent);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Generating waveform.......", "Filtering noise.......",
                                               "Writing output file SWG03052400.ATF..."}));
    // The filter starts at 0 %; writing 2048 lines reports 0 (the text) and then 1 .. 100.
    std::vector<int> expected{0};
    for (int k = 1; k <= 100; ++k) expected.push_back(k);
    EXPECT_EQ(writing, expected);
}

TEST(WaveAtf, FolderThatCannotTakeAFile) {
    ScratchFolder folder;
    std::ofstream(folder.file("plain")) << "not a folder";
    for (const std::string& target : {folder.file("missing"), folder.file("plain")}) {
        CapturedMessages messages;
        WaveformParameters p;
        p.waveform = 'R';
        const WaveRunResult result = run(p, target, messages);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.fileName.empty());
        ASSERT_EQ(messages.entries().size(), 1u);
        EXPECT_EQ(messages.entries()[0].kind, MessageKind::ErrorBox);
        EXPECT_TRUE(messages.entries()[0].text.starts_with("Could not create output file " + target +
                                                           "/SWG03052400.ATF: "))
            << messages.entries()[0].text;
        EXPECT_EQ(p.chirpStartHz, 100.0f);
        EXPECT_EQ(p.chirpEndHz, 200.0f);
    }
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"plain"});
}

TEST(WaveAtf, RefusedSettingsWriteNothing) {
    ScratchFolder folder;
    WaveformParameters p;
    p.sampleInterval = 5;
    CapturedMessages messages;
    EXPECT_FALSE(run(p, folder.path(), messages).ok);
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].kind, MessageKind::ParameterError);
    EXPECT_EQ(messages.entries()[0].text,
              "Sample Interval (usec)\nmust be an integer between 10 and 1000000!");

    p = {};
    p.waveform = 'x';
    messages.clear();
    EXPECT_FALSE(run(p, folder.path(), messages).ok);
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].text,
              "Waveform:Noise,Chirp,RevChirp,Sine,Pulse\nmust be one of the letters NCRSP!");

    p = {};
    p.chirpStartHz = 0.0f;  // a value from a settings file is not checked on reading
    messages.clear();
    EXPECT_FALSE(run(p, folder.path(), messages).ok);
    EXPECT_EQ(messages.entries().size(), 1u);
    EXPECT_TRUE(folder.entries().empty());
}

// The rest run in a child process whose limits make the system refuse the file or the memory.
TEST(WaveAtfDeathTest, DiskFullWhileWritingLeavesNothingBehind) {
    ScratchFolder folder;
    auto child = [&] {
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        CapturedMessages messages;
        WaveformParameters p;
        const bool failed = !run(p, folder.path(), messages).ok;
        const bool told = messages.entries().size() == 1 &&
                          messages.entries()[0].text.starts_with("Could not write output file ");
        std::fprintf(stderr, "%s\n", messages.empty() ? "" : messages.entries()[0].text.c_str());
        std::exit(failed && told && folder.entries().empty() ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "Could not write output file .*File too large");
    EXPECT_TRUE(folder.entries().empty());
}

TEST(WaveAtfDeathTest, NoMemoryForTheArraysIsSaid) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves far more address space than any limit here allows";
#else
    ScratchFolder folder;
    auto child = [&] {
        // Room for the program as it stands and 16 MB more: less than one array of 10^7 floats.
        long pages = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        const rlim_t bytes =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (16u << 20);
        const rlimit limit{bytes, bytes};
        ::setrlimit(RLIMIT_AS, &limit);
        CapturedMessages messages;
        WaveformParameters p;
        p.sampleCount = 10000000;
        const bool failed = !run(p, folder.path(), messages).ok;
        std::fprintf(stderr, "%s\n", messages.empty() ? "" : messages.entries()[0].text.c_str());
        std::exit(failed && messages.entries().size() == 1 && folder.entries().empty() ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0),
                "Not enough memory for the waveform of 10000000 samples; no file was written");
#endif
}

}  // namespace
}  // namespace ephys
