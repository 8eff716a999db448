// The output files of a run, byte for byte, on small hand-made recordings whose every spike is
// known; their names in both formats; the ratemeter groups that are not well defined.
#include "spike/spike_outputs.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../abf/abf_results.h"
#include "abf/abf_writer.h"
#include "params/messages.h"
#include "params/progress.h"
#include "spike/spike_count.h"
#include "spike_test_support.h"

namespace ephys {
namespace {

using spike_test::listFiles;
using spike_test::readText;
using spike_test::runOn;
using spike_test::RunOutcome;
using spike_test::TempDir;

TEST(SpikeOutputNames, LettersStayInTheFileName) {
    EXPECT_EQ(spikePrnPath("/data/in/cell.ABF", "/tmp/out/"), "/tmp/out/cell.prn");
    EXPECT_EQ(spikeOutputName("/data/v.1/cellprn", 'X', 'A', true), "/data/v.1/cellXAprn");  // no extension
    // Old format, a name too short for the index rule: the folder keeps its characters.
    EXPECT_EQ(spikeOutputName("/lab/cell.prn", 'X', 'A', false), "/lab/cXll.prn");
    EXPECT_EQ(spikeOutputName("/Data/18711001.prn", 'L', 'C', false), "/Data/C8711L01.prn");
}

constexpr const char* kRatemeterHead =
    "\"total duration (ms)\",\"Autocorr. Bin width (ms)\",\"Ratemeter bin width (ms)\"\n";

TEST(SpikeRatemeter, WhatIsNotDefinedIsLeftOut) {
    const std::vector<double> starts = {0, 30, 60, 90};
    auto groups = [](const std::string& text) { return text.substr(text.find("\"Control\"")); };
    // Control: end 40, start -20: sweeps 1 .. 3 (length 2). "a": end 530, start 470, and "b":
    // end 630, start 570: no sweep after either. "c", the last: 4 - 2.
    const std::vector<SpikeTagInfo> tags = {{10.0, "a"}, {500.0, "b"}, {600.0, "c"}};
    EXPECT_EQ(groups(spikeRatemeterText(0.5f, 1, tags, starts, std::nullopt)),
              "\"Control\",1,3\n\"c\",2,4\n");
    // No sweep after the control group's end: its length, and so every group, is undefined.
    const std::vector<SpikeTagInfo> late = {{100.0, "x"}};
    const std::string none = spikeRatemeterText(1, 3, late, starts, std::nullopt);
    EXPECT_EQ(none.find("\"Control\""), std::string::npos);
    // Without tags only the four heading lines. D = 4000 without a burst: 500 x trunc(6.4 + 0.9);
    // D = 2000: 500 x trunc(3.2 + 0.9).
    const std::string tail =
        ",                  10,                    50\n\"Number of Groups\"\n-1\n"
        "\"GROUP\",\"First sweep #\",\"Last sweep #\"\n";
    EXPECT_EQ(spikeRatemeterText(1, 3, {}, starts, std::nullopt), kRatemeterHead + ("3500" + tail));
    EXPECT_EQ(spikeRatemeterText(1, 3, {}, starts, 2000.0f), kRatemeterHead + ("2000" + tail));
}

// ---- A small recording, every output file ---------------------------------------------------

// Raw values of a spike whose peak is sample p: it crosses -25 mV one sample before its peak and
// falls below -28 mV two samples after it (0.1 mV per count).
void putSpike(std::vector<std::int16_t>& y, std::size_t sweepStart, std::size_t p) {
    y[sweepStart + p - 1] = -100;
    y[sweepStart + p] = 200;
    y[sweepStart + p + 1] = -100;
    y[sweepStart + p + 2] = -500;
}

constexpr std::size_t kSweep = 640;  // 64 ms at 100 us; the step (epoch A) starts at sample 10

// Two channels on ADCs 0 and 2; three sweeps 1 s apart; step of 0, 50, 100 pA; two tags.
// Peaks (sample): sweep 1: ch0 -, ch2 100. Sweep 2: ch0 100, 150; ch2 15 (before the onset), 300.
// Sweep 3: ch0 100, 140, 200, 230; ch2 -.
void writeSmallRecording(const std::string& path, AbfFileVersion version = AbfFileVersion::V2) {
    AbfWriteSpec layout;
    layout.version = version;
    layout.mode = AbfWriteMode::Episodic;
    layout.sampleIntervalUs = 100;
    layout.sweepCount = 3;
    layout.samplesPerSweep = kSweep;
    layout.episodeStartToStartS = 1.0;
    layout.startDate = 20260101;
    layout.channels = {{0, "Vm1", "mV", 0.1, 0.0}, {2, "Vm2", "mV", 0.1, 0.0}};
    layout.tags = {{0.5, false, "first tag", 1}, {1.5, false, "second", 1}};
    layout.dacs[0].units = "pA";
    layout.dacs[0].epochs = {{AbfEpochType::Step, 0.0, 50.0, 600, 0}};
    std::vector<std::vector<std::int16_t>> ch(2, std::vector<std::int16_t>(3 * kSweep, -600));
    putSpike(ch[1], 0, 100);
    putSpike(ch[0], kSweep, 100);
    putSpike(ch[0], kSweep, 150);
    putSpike(ch[1], kSweep, 15);
    putSpike(ch[1], kSweep, 300);
    for (std::size_t p : {100, 140, 200, 230}) putSpike(ch[0], 2 * kSweep, p);
    std::string error;
    ASSERT_TRUE(abf_test::take(writeAbfFile(path, layout, ch, {}), error)) << error;
}

SpikeParams everythingOn() {
    SpikeParams p;
    p.countingOnset = 2.0f;
    p.episodeTimes = 'Y';
    p.stimuliOutput = 'Y';
    p.doFrequencies = 'Y';
    p.intervalToMeasure = 2;
    p.doRasters = 'Y';
    p.rasterOffset = 0.5f;
    p.rawDataOutput = 'Y';
    p.exportAmplitudes = 'Y';
    p.tagfileOutput = 'Y';
    p.ratemeterOutput = 'Y';
    p.minutesAfterTag = 0.01f;  // 0.6 s
    p.minutesPerGroup = 0.02f;  // 1.2 s
    p.lastSpikeInSummary = 'Y';
    p.lastBurstInSummary = 'Y';
    p.spikesPerBurst = 2;
    p.burstWindow = 5.0f;
    p.newNameFormat = 'Y';
    return p;
}

class SmallRecording : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        writeSmallRecording(dir_.file("cell.abf"));
        name_ = dir_.file("cell");
    }
    std::string out(const std::string& file) const { return readText(dir_.file(file)); }
    TempDir dir_;
    std::string name_;
};

TEST_F(SmallRecording, EveryFileAsTheRulesLayItOut) {
    RunOutcome run;
    runOn(run, everythingOn(), dir_.file("cell.abf"));
    ASSERT_TRUE(run.ok);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(listFiles(dir_.path()),
              (std::vector<std::string>{"cell.abf", "cellK.prn", "cellLA.prn", "cellLC.prn", "cellM.prn",
                                        "cellN.prn", "cellU.prn", "cellV.prn", "cellXA.prn", "cellXC.prn"}));
    const std::string q = "\"" + name_ + "\"";

    EXPECT_EQ(
        out("cellU.prn"),
        q + "\n2,\"with amplitudes\",\"Spikes bigger than\",-25.0,-25.0,\"Vm1\",\"Vm2\"\n"
            "\"Sweep #\",\"Total Spikes Vm1\",\"Total Spikes Vm2\",\"Spike Times Vm1...\",\"Spike Times "
            "Vm2...\",\"Amplitudes Vm1...\",\"Amplitudes Vm2...\",\n"
            "1,0,1,8.00,20.0,\n"
            "2,2,1,8.00,13.00,20.0,20.0,28.00,20.0,\n"
            "3,4,0,8.00,12.00,18.00,21.00,20.0,20.0,20.0,20.0,\n");

    EXPECT_EQ(
        out("cellV.prn"),
        q + "\n2\t\"with amplitudes\"\t\"Spikes bigger than\"\t-25.0\t-25.0\t\"Vm1\"\t\"Vm2\"\n"
            "\"Sweep #\"\t\"epi time (sec)\"\t\"stimulus (pA)\"\t\"N, Vm1\"\t\"N, Vm2\"\t\"last, Vm1\"\t"
            "\"last, Vm2\"\t\"last burst, Vm1\"\t\"last burst, Vm2\"\t\n"
            "1\t0.00\t0\t\t1\t0.0\t8.0\t0.0\t0.0\t\n"
            "2\t1.00\t50\t2\t1\t13.0\t28.0\t8.0\t0.0\t\n"
            "3\t2.00\t100\t4\t\t21.0\t0.0\t18.0\t0.0\t\n");

    EXPECT_EQ(
        out("cellM.prn"),
        q + "\n\"epi or tag #\",\"episode time (sec)\",\"tag time (sec)\",\"tag comment\",\"stimulus\"\n"
            "1,0.00,0.5,\"first tag\",0\n"
            "2,1.00,1.5,\"second\",50\n"
            "3,2.00,,,100\n");

    const std::string kHead =
        "\"Sweep #\"\t\"epi time (sec)\"\t\"stimulus (pA)\"\t\"Number of Spikes\"\t\"Initial Freq (Hz)\"\t"
        "\"Interval #2 Freq (Hz)\"\t\"Final Freq (Hz)\"\t\"Latencies...., paired next lines are "
        "instantaneous "
        "frequencies\"\n";
    const std::string tabs8 = "\t\t\t\t\t\t\t\t";  // six, and one for each optional column
    EXPECT_EQ(out("cellK.prn"),
              q + "\t\"Vm1\"\n" + kHead + "\"Vm2\"\n" + kHead + "1\t0.00\t0\t\t1\t" + "\t\t\t\n" + tabs8 +
                  "\t\t\t8.0\t\n" + tabs8 + "\n" + "2\t1.00\t50\t2\t1\t" + "200.00\t\t200.00\t8.0\t13.0\t\n" +
                  tabs8 + "200.00\t" + "\t\t\t28.0\t\n" + tabs8 + "\n" + "3\t2.00\t100\t4\t\t" +
                  "250.00\t166.67\t333.33\t8.0\t12.0\t18.0\t21.0\t\n" + tabs8 + "250.00\t166.67\t333.33\t" +
                  "\t\t\t\n" + tabs8 + "\n" +
                  "Interval Number\tSlope\tY Intercept\tX intercept\tR sq\tn\tLast Stim\tfit Y (last stim)\n"
                  "1\t1.00\t150.00\t-150.00\t1.00\t2\t100.00\t250.00\n"
                  "2\t\t\t\t1.00\t1\t100.00\t\n"
                  "3\t2.67\t66.67\t-25.00\t1.00\t2\t100.00\t333.33\n");

    const std::string rasterHead =
        "\"Sweep #\"\t\"epi time (sec)\"\t\"stimulus (pA)\"\t\"Number of Spikes\"\t\"Latencies...., paired "
        "next "
        "lines vertical offsets for raster plots\"\n";
    EXPECT_EQ(out("cellLA.prn"),
              q + "\t\"Vm1\"\n" + rasterHead +
                  "1\t0.00\t0\t\t\n\t\t\t\t\n"
                  "2\t1.00\t50\t2\t8.0\t13.0\t\n\t\t\t\t1.0\t1.0\t\n"
                  "3\t2.00\t100\t4\t8.0\t12.0\t18.0\t21.0\t\n\t\t\t\t1.5\t1.5\t1.5\t1.5\t\n");
    EXPECT_EQ(out("cellLC.prn"), q + "\t\"Vm2\"\n" + rasterHead +
                                     "1\t0.00\t0\t1\t8.0\t\n\t\t\t\t0.5\t\n"
                                     "2\t1.00\t50\t1\t28.0\t\n\t\t\t\t1.0\t\n"
                                     "3\t2.00\t100\t\t\n\t\t\t\t\n");

    const std::string latencyHead = "\n\"Sweep #\"\t\"Number of Spikes\"\t\"Latencies...\"";
    EXPECT_EQ(out("cellXA.prn"), q + "\t\"Vm1\"" + latencyHead +
                                     "\n1\t0\t\n2\t2\t8.00\t13.00\t\n3\t4\t8.00\t12.00\t18.00\t21.00\t");
    EXPECT_EQ(out("cellXC.prn"), q + "\t\"Vm2\"" + latencyHead + "\n1\t1\t8.00\t\n2\t1\t28.00\t\n3\t0\t");

    // Largest last burst 18 ms: 500 x trunc(0.0288 + 0.9) = 0. Control group: tag 1 at 0.5 s,
    // end 1.1 s, start -0.1 s: sweeps 1 .. 3; "first tag": end 2.1 s, start 0.9 s: sweep 2.
    EXPECT_EQ(out("cellN.prn"),
              std::string(kRatemeterHead) +
                  "0,                  10,                    50\n\"Number of Groups\"\n-1\n"
                  "\"GROUP\",\"First sweep #\",\"Last sweep #\"\n"
                  "\"Control\",1,3\n\"first tag\",2,4\n\"second\",1,3\n");

    EXPECT_EQ(run.result.resultText, "File: " + name_ +
                                         "\n\nIntrvl\tF/I slp\tX int\tR sq\n"
                                         "1\t1.00\t-150.00\t1.00\n"
                                         "2\tnone\tnone\t1.00\n"
                                         "3\t2.67\t-25.00\t1.00\n");
    EXPECT_EQ(run.result.channels, (std::vector<int>{0, 2}));
    EXPECT_EQ(run.result.outputs.size(), 9u);
}

TEST(SpikeOutputFiles, OldNameFormatWithChannelLetters) {
    TempDir d;
    writeSmallRecording(d.file("c0705001.abf"), AbfFileVersion::V1);
    SpikeParams p;
    p.doRasters = 'Y';
    RunOutcome run;
    runOn(run, p, d.file("c0705001.abf"));
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(listFiles(d.path()),
              (std::vector<std::string>{"A0705L01.prn", "A0705X01.prn", "C0705L01.prn", "C0705X01.prn",
                                        "c0705001.abf", "c0705V01.prn"}));
}

TEST(SpikeGapFree, AbsoluteTimesFileEvenWithEveryOtherOutputOff) {
    TempDir dir;
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.sampleIntervalUs = 100;
    layout.totalSamples = 1000;
    layout.startDate = 20260101;
    layout.channels = {{0, "Vm", "mV", 0.1, 0.0}};
    std::vector<std::vector<std::int16_t>> ch(1, std::vector<std::int16_t>(1000, -600));
    for (std::size_t p : {50, 450, 900}) putSpike(ch[0], 0, p);
    std::string error;
    ASSERT_TRUE(abf_test::take(writeAbfFile(dir.file("cell.abf"), layout, ch, {}), error)) << error;

    SpikeParams p;
    p.countingOnset = 0.0f;
    p.gapFreeFrameLength = 400;  // frames of 400, 400 and 200 samples, 40 ms apart
    p.summaryOutput = 'N';
    p.channelOutputs = 'N';
    p.newNameFormat = 'Y';
    RunOutcome run;
    runOn(run, p, dir.file("cell.abf"));
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.result.sweeps, 3);
    EXPECT_EQ(listFiles(dir.path()), (std::vector<std::string>{"cell.abf", "cellB.prn"}));
    EXPECT_EQ(readText(dir.file("cellB.prn")), "\"" + dir.file("cell") + "\"\n5.00\n45.00\n90.00\n");
}

TEST_F(SmallRecording, AFileThatCannotBeCreatedLeavesNothingBehind) {
    SpikeParams p = everythingOn();
    std::filesystem::create_directory(dir_.file("cellV.prn"));  // a folder where the summary goes
    RunOutcome run;
    runOn(run, p, dir_.file("cell.abf"));
    EXPECT_FALSE(run.ok);
    ASSERT_EQ(run.messages.entries().size(), 1u);
    EXPECT_EQ(run.messages.entries()[0].caption, "Error");
    EXPECT_EQ(run.messages.entries()[0].text, "Error! Could not open the file " + dir_.file("cellV.prn"));
    // U and M were made before it; neither they nor a temporary file stay.
    EXPECT_EQ(listFiles(dir_.path()), (std::vector<std::string>{"cell.abf", "cellV.prn"}));
}

}  // namespace
}  // namespace ephys
