#include "psc/run_driver.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"
#include "abf_results.h"
#include "psc/psc_outputs.h"
#include "synthetic_psc_file.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

// Keeps every update and lets a test press buttons from it.
struct WatchingView final : ProgressView {
    void update(const ProgressSnapshot& s) override {
        seen.push_back(s);
        if (onUpdate) onUpdate(s);
    }
    std::vector<std::string> secondLines(const std::string& firstLine) const {
        std::vector<std::string> lines;
        for (const ProgressSnapshot& s : seen)
            if (s.line1 == firstLine && !s.line2.empty()) lines.push_back(s.line2);
        return lines;
    }
    std::vector<ProgressSnapshot> seen;
    std::function<void(const ProgressSnapshot&)> onUpdate;
};

// A run in a scratch folder: outputs there without questions, frames of 256 samples as read.
struct Harness {
    std::string dir = [] {
        std::string pattern = (fs::temp_directory_path() / "psc-run-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    PscParameters p;
    ParamTable table;
    ProgressRecord progress;
    WatchingView view;
    CapturedMessages messages;
    PscRun run{p, progress, messages};

    Harness() {
        SilentMessageSink quiet;
        pscBuildParamTable(p, table, quiet);
        p.frameLengthSetting = 256;
        p.autoShiftBaseline = 'N';
        p.filterHz = 0.0f;
        p.overwriteOutputs = 'Y';
        p.exportScan = 'N';
        progress.view = &view;
        run.outputDir = dir;
        run.withButtonEvent = false;
    }
    ~Harness() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // A gap-free recording whose frame k (from 1) holds 10 k pA throughout, so the display
    // limits tell which frames a pass looked at.
    std::string staircase(const std::string& name, int frames) {
        std::vector<std::int16_t> raw(static_cast<std::size_t>(frames) * 256);
        for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::int16_t>((i / 256 + 1) * 100);
        AbfWriteSpec layout;
        layout.mode = AbfWriteMode::GapFree;
        layout.totalSamples = static_cast<std::int64_t>(raw.size());
        layout.channels = {{0, "Im", "pA", 0.1, 0.0}};
        EXPECT_TRUE(writeAbfFile(dir + "/" + name, layout, {raw}));
        return dir + "/" + name;
    }
    PscFileResult detect(const std::string& path, char letter, const std::string& frames = "") {
        EXPECT_TRUE(GetInfo(p, path, messages));
        if (!frames.empty()) p.frames = frames;
        p.autoScaling = letter;
        return pscDetectFile(run, path);
    }
    bool hasEventTable(const std::string& recording) const {
        return fs::exists(pscTextOutputPath(dir, pscOutputPaths(recording, dir).eventTableName));
    }
};

TEST(FitTimeParametersTest, WindowsAreCutToTwoHundredSamplesAndRaisedToOne) {
    PscParameters p;
    p.sampleInterval = 0.1f;
    p.diffWindow = 500.0f;
    p.averagePeakTime = 0.05f;
    p.type3Baseline = 0.001f;
    p.durationOfTrigger = 0.1f;
    p.deadTimeType1 = 0.0f;
    p.type12Baseline = 0.001f;  // not a time the detector counts in samples this way
    pscFitTimeParameters(p);
    EXPECT_FLOAT_EQ(p.diffWindow, 20.0f);
    EXPECT_EQ(pscDifferentiationSamples(p), 200);
    EXPECT_FLOAT_EQ(p.averagePeakTime, 0.1f);
    EXPECT_FLOAT_EQ(p.peakSearchTime, 3.0f);
    EXPECT_FLOAT_EQ(p.type3Baseline, 0.1f);
    EXPECT_FLOAT_EQ(p.durationOfTrigger, 0.1f);
    EXPECT_FLOAT_EQ(p.deadTimeType1, 0.1f);
    EXPECT_FLOAT_EQ(p.type12Baseline, 0.001f);
}

TEST(AutoscalingTest, LetterDecidesTheFramesScannedAndFullScaleSetsTheLimits) {
    AbfHeader header;
    abfResetHeader(header);
    header.adcResolution = 32768;
    for (auto [letter, listed, frames] : std::vector<std::tuple<char, int, int>>{
             {'O', 30, 1}, {'T', 30, 10}, {'T', 4, 4}, {'A', 30, 30}, {'S', 30, 0}, {'Q', 7, 7}}) {
        PscParameters p;
        p.autoScaling = letter;
        EXPECT_EQ(pscAutoscalingFrames(p, header, listed), frames) << letter << " of " << listed;
    }
    PscParameters full;
    full.autoScaling = 'F';
    full.channelScale = 0.1f;
    EXPECT_EQ(pscAutoscalingFrames(full, header, 30), 0);
    EXPECT_FLOAT_EQ(full.maxValues[kDidtTrace], 3276.8f);
    EXPECT_FLOAT_EQ(full.minValues[kCurrentTrace], -3276.8f);
    // Limits that are no range (a negative scale turns full scale upside down) force T.
    full.channelScale = -0.1f;
    EXPECT_EQ(pscAutoscalingFrames(full, header, 30), 10);
    EXPECT_EQ(full.autoScaling, 'T');
    PscParameters same;
    same.autoScaling = 'S';
    same.minValues[kDidtTrace] = same.maxValues[kDidtTrace];
    EXPECT_EQ(pscAutoscalingFrames(same, header, 30), 10);
}

TEST(AutoscalingTest, PassWidensTheLimitsOverTheScannedFramesInListOrder) {
    // The 200 positions before a frame hold the previous frame.
    for (auto [letter, frames, top, bottom] :
         std::vector<std::tuple<char, std::string, float, float>>{{'O', "", 10, 10},
                                                                  {'T', "", 100, 10},
                                                                  {'A', "", 300, 10},
                                                                  {'O', "5,3,1", 50, 40},
                                                                  {'A', "7..9", 90, 60}}) {
        Harness h;
        EXPECT_EQ(h.detect(h.staircase("stairs.abf", 30), letter, frames).status, 1);
        EXPECT_FLOAT_EQ(h.p.maxValues[kCurrentTrace], top) << letter << frames;
        EXPECT_FLOAT_EQ(h.p.minValues[kCurrentTrace], bottom) << letter << frames;
        EXPECT_EQ(h.p.autoScaling, 'S');
    }
    Harness same;
    same.p.maxValues[kCurrentTrace] = 78.0f;
    same.detect(same.staircase("stairs.abf", 30), 'S');
    EXPECT_TRUE(same.view.secondLines("Autoscaling").empty());
    EXPECT_FLOAT_EQ(same.p.maxValues[kCurrentTrace], 78.0f);
}

TEST(CancelTest, CancelWhileAutoscalingEndsOnlyThatPass) {
    Harness h;
    h.view.onUpdate = [&h](const ProgressSnapshot& s) {
        if (s.line1 == "Autoscaling") progressPress(h.progress, kProgressCancel);
    };
    const std::string path = h.staircase("stairs.abf", 30);
    const PscFileResult result = h.detect(path, 'A');
    EXPECT_FLOAT_EQ(h.p.maxValues[kCurrentTrace], 10.0f);  // frame 1 only
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(result.cancelled);
    EXPECT_FALSE(h.view.secondLines("Detecting").empty());
    EXPECT_TRUE(h.hasEventTable(path));
}

TEST(CancelTest, CancelWhileDetectingSkipsTheOutputsOfThatRecordingOnly) {
    Harness h;
    bool pressed = false;
    h.view.onUpdate = [&](const ProgressSnapshot& s) {
        if (s.line1 == "Detecting" && !pressed) {
            pressed = true;
            progressPress(h.progress, kProgressCancel);
        }
    };
    const std::string first = h.staircase("first.abf", 30), second = h.staircase("second.abf", 30);
    const std::vector<PscRecordingOutcome> outcomes = pscRunRecordings(h.run, h.table, {first, second});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].state, PscRecordingOutcome::State::Cancelled);
    EXPECT_EQ(outcomes[1].state, PscRecordingOutcome::State::Done);
    EXPECT_FALSE(h.hasEventTable(first));
    EXPECT_TRUE(h.hasEventTable(second));
}

TEST(RunRecordingsTest, EachRecordingIsReadAfreshAndFailuresDoNotStopTheWalk) {
    Harness h;
    std::ofstream(h.dir + "/notes.abf") << "not a recording\n";
    const std::string shortOne = h.staircase("short.abf", 5), longOne = h.staircase("long.abf", 30);
    const std::vector<PscRecordingOutcome> outcomes =
        pscRunRecordings(h.run, h.table, {h.dir + "/notes.abf", shortOne, longOne}, std::string("1..10"));
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].state, PscRecordingOutcome::State::Failed);
    EXPECT_EQ(outcomes[1].state, PscRecordingOutcome::State::Failed);
    EXPECT_EQ(outcomes[2].state, PscRecordingOutcome::State::Done);
    EXPECT_FALSE(h.hasEventTable(shortOne));
    EXPECT_TRUE(h.hasEventTable(longOne));

    const auto& m = h.messages.entries();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].text,
              "Error opening file in GetInfo\nFile '" + h.dir + "/notes.abf' is not an ABF file.\n");
    EXPECT_EQ(m[1].text, "Error in PscTrawl");
    EXPECT_EQ(m[2].caption, "Parameter Error");
    EXPECT_NE(m[2].text.find("between 1 and 5"), std::string::npos) << m[2].text;

    // The ten listed frames of the last recording, its limits, the letter T it started with.
    EXPECT_EQ(h.p.frames, "1..10");
    EXPECT_EQ(h.table.rows[kPscFramesRow].maxValue, 30.0);
    const std::vector<std::string> scanned = h.view.secondLines("Autoscaling");
    ASSERT_EQ(scanned.size(), 10u);
    EXPECT_EQ(scanned.back(), "Frame  10");
    EXPECT_EQ(h.view.secondLines("Detecting").back().rfind("Trace Mode: Frame # 10, Event#", 0), 0u);
}

// A recording that goes away after its header was read: the box names it and says why, whether
// the header cannot be read again or the samples cannot be opened after it.
TEST(RunRecordingsTest, ARecordingThatVanishesIsNamedWithTheReason) {
    Harness h;
    const std::string path = h.staircase("gone.abf", 5);
    ASSERT_TRUE(GetInfo(h.p, path, h.messages));
    const std::string expected = "Error opening file\nFile '" + path + "' was not found.\n";

    h.run.startDisplay = [&](PscParameters&) { fs::remove(path); };
    EXPECT_EQ(pscDetectFile(h.run, path).status, 0);
    ASSERT_EQ(h.messages.entries().size(), 1u);
    EXPECT_EQ(h.messages.entries()[0].caption + ": " + h.messages.entries()[0].text, "Error: " + expected);

    h.run.startDisplay = nullptr;
    EXPECT_EQ(pscDetectFile(h.run, path).status, 0);
    ASSERT_EQ(h.messages.entries().size(), 2u);
    EXPECT_EQ(h.messages.entries()[1].text, expected);
    EXPECT_FALSE(h.hasEventTable(path));
}

// Overwrites `size` bytes of an ABF2 file at `offset` into the section whose block number the
// section map keeps at byte `mapEntry` (76 protocol, 92 ADC).
void patchSection(const std::string& path, std::size_t mapEntry, std::size_t offset, const void* value,
                  std::size_t size) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::uint32_t block = 0;
    f.seekg(static_cast<std::streamoff>(mapEntry));
    f.read(reinterpret_cast<char*>(&block), sizeof block);
    f.seekp(static_cast<std::streamoff>(std::size_t{block} * 512 + offset));
    f.write(static_cast<const char*>(value), static_cast<std::streamsize>(size));
    ASSERT_TRUE(f.good()) << path;
}

// Raw counts are no currents: a recording whose channel scaling cannot be computed fails with
// the reason, whichever factor is unusable.
TEST(RunRecordingsTest, ARecordingWithoutAUsableScalingFailsWithTheReason) {
    Harness h;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float zero = 0.0f;
    const std::int32_t noCounts = 0;
    struct Patch {
        const char* what;
        std::size_t mapEntry, offset;
        const void* value;
        std::size_t size;
    };
    const std::vector<Patch> patches = {
        {"ADC range NaN", 76, 110, &nan, 4},
        {"ADC range infinite", 76, 110, &inf, 4},
        {"ADC range 0", 76, 110, &zero, 4},
        {"ADC resolution 0", 76, 118, &noCounts, 4},
        {"instrument scale factor 0", 92, 40, &zero, 4},
        {"signal gain NaN", 92, 48, &nan, 4},
    };
    for (const Patch& patch : patches) {
        SCOPED_TRACE(patch.what);
        const std::string path = h.staircase(std::string(patch.what) + ".abf", 5);
        patchSection(path, patch.mapEntry, patch.offset, patch.value, patch.size);
        h.messages.clear();
        const std::vector<PscRecordingOutcome> outcomes =
            pscRunRecordings(h.run, h.table, {path}, std::nullopt);
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].state, PscRecordingOutcome::State::Failed);
        EXPECT_FALSE(h.hasEventTable(path));
        const auto& m = h.messages.entries();
        ASSERT_EQ(m.size(), 2u);
        EXPECT_EQ(
            m[0].caption + ": " + m[0].text,
            "Error: Error opening file\nFile '" + path +
                "' has channel scaling that cannot be computed (ADC range, resolution or a gain is 0, not a "
                "number or infinite).\n");
        EXPECT_EQ(m[1].text, "Error in PscTrawl");
    }
}

// A recording that ends before its header says is analysed as far as it goes, with a warning
// that names it and how much of it there is.
TEST(RunRecordingsTest, ARecordingCutShortIsAnalysedAsFarAsItGoesWithAWarning) {
    Harness h;
    const std::string path = h.staircase("cut.abf", 30);
    std::int64_t data = 0;
    {
        AbfFile file;
        AbfHeader header;
        int samples = 0, sweeps = 0, error = 0;
        ASSERT_GT((sweeps = abf_test::take(file.open(path, header, samples), error)), 0);
        data = header.dataOffsetBytes;
    }
    fs::resize_file(path, static_cast<std::uintmax_t>(data + (12 * 256 + 50) * 2));
    const std::vector<PscRecordingOutcome> outcomes = pscRunRecordings(h.run, h.table, {path}, std::nullopt);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].state, PscRecordingOutcome::State::Done);
    EXPECT_TRUE(h.hasEventTable(path));
    EXPECT_EQ(h.p.frameCount, 13);
    const auto& m = h.messages.entries();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m[0].kind, MessageKind::Warning);
    EXPECT_EQ(m[0].caption + ": " + m[0].text,
              "PSCTRAWL: File '" + path +
                  "' is shorter than its header says: it holds 3122 of the 7680 samples per channel in its "
                  "header; it is analysed as far as it goes.");
    for (std::size_t i = 1; i < m.size(); ++i) EXPECT_NE(m[i].kind, MessageKind::Warning) << m[i].text;
}

// Events past the run's limit are not stored, and never without a word: a warning and the
// completion text name the recording time from which they were dropped. Without a limit (0)
// every event is stored.
TEST(RunRecordingsTest, EventsPastTheLimitAreNamedAndNoLimitKeepsThemAll) {
    PscSynthSpec setup;
    setup.samplesPerSweep = 4 * 20000;  // 4 s at 50 us
    setup.rateHz = 20;
    setup.minGapMs = 30;
    setup.seed = 3;

    // One run of the recording with the given limit: its outcome and the event table's lines.
    struct Run {
        PscRecordingOutcome outcome;
        std::vector<CapturedMessages::Entry> warnings;
        int tableLines = 0;
        std::string path;
    };
    auto runWith = [&](std::int32_t limit) {
        Harness h;
        Run r;
        r.path = h.dir + "/busy.abf";
        EXPECT_TRUE(writeSyntheticPscFile(r.path, setup));
        h.p.diffTrigger = -4.0f;
        h.p.maxStoredEvents = limit;
        const std::vector<PscRecordingOutcome> outcomes =
            pscRunRecordings(h.run, h.table, {r.path}, std::nullopt);
        EXPECT_EQ(outcomes.size(), 1u);
        if (!outcomes.empty()) r.outcome = outcomes[0];
        for (const auto& m : h.messages.entries())
            if (m.kind == MessageKind::Warning) r.warnings.push_back(m);
        std::ifstream in(pscTextOutputPath(h.dir, pscOutputPaths(r.path, h.dir).eventTableName));
        for (std::string line; std::getline(in, line);) ++r.tableLines;
        return r;
    };

    const Run all = runWith(0);
    ASSERT_EQ(all.outcome.state, PscRecordingOutcome::State::Done);
    EXPECT_TRUE(all.warnings.empty());

    const Run ten = runWith(10);
    ASSERT_EQ(ten.outcome.state, PscRecordingOutcome::State::Done);
    EXPECT_GT(all.tableLines, ten.tableLines + 20);  // far more than ten events in four seconds
    ASSERT_EQ(ten.warnings.size(), 1u);
    const std::string& line = ten.warnings[0].text;
    EXPECT_EQ(ten.warnings[0].caption, "PSCTRAWL");
    const std::string start = "File '" + ten.path + "': the event table is full with 10 events; events from ";
    ASSERT_EQ(line.rfind(start, 0), 0u) << line;
    const double from = std::stod(line.substr(start.size()));
    EXPECT_GT(from, 0.0);
    EXPECT_LT(from, 4.0);
    EXPECT_TRUE(line.ends_with(" s of the recording on were not stored.")) << line;
    const std::string& text = ten.outcome.completionText;
    ASSERT_GE(text.size(), line.size() + 1);
    EXPECT_EQ(text.substr(text.size() - line.size() - 1), "\n" + line);
}

TEST(ProgressTextTest, ModePrefixFollowsTheSteppingMode) {
    for (auto [traces, events, prefix] : std::vector<std::tuple<char, char, std::string>>{
             {'Y', 'Y', "Trace Mode: Frame #"}, {'N', 'Y', "Episode Mode: Frame #"}, {'N', 'N', "Frame #"}}) {
        Harness h;
        h.p.individualTraces = traces;
        h.p.individualEvents = events;
        h.p.enableSweepDisplay = 'N';
        h.detect(h.staircase("cell.abf", 30), 'S');
        const std::vector<std::string> lines = h.view.secondLines("Detecting");
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        // Frame 2 of 30 raises the percentage to 4 and is always shown.
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind(prefix + "  2, Event#", 0) == 0; }),
                  lines.end());
        // Pausing after every frame switches pausing after every event off.
        EXPECT_EQ(h.p.individualEvents, traces == 'Y' ? 'N' : events);
    }
}

}  // namespace
}  // namespace ephys
