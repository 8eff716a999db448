#include "psc/psc_outputs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "abf_results.h"
#include "psc/recording_frames.h"
#include "psc/scan_file.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "psc_outputs_XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
    const std::string& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Event {
    char type;
    float time, amplitude, rise, halfWidth, width10, charge, width75;
    float baseline = 0.0f;
    float peakTime = 0.0f;
    float sampleTime = 0.0f;
};

void fill(PscEventTable& table, const std::vector<Event>& events) {
    table.setCount(static_cast<int>(events.size()));
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        const std::size_t r = i + 1;
        table.eventType[r] = e.type;
        table.at(kEventTime, r) = e.time;
        table.at(kAmplitude, r) = e.amplitude;
        table.at(kRiseTime, r) = e.rise;
        table.at(kHalfWidth, r) = e.halfWidth;
        table.at(kWidth10, r) = e.width10;
        table.at(kCharge, r) = e.charge;
        table.at(kWidth75, r) = e.width75;
        table.at(kBaseline, r) = e.baseline;
        table.at(kPeakTime, r) = e.peakTime;
        table.at(kSampleTime, r) = e.sampleTime;
    }
}

// Only the outputs a test names are switched on.
PscParameters quietParameters() {
    PscParameters p;
    p.exportAscii = 'N';
    p.exportSummary = 'N';
    p.exportScan = 'N';
    p.overwriteOutputs = 'Y';
    return p;
}

// Four events of a continuous recording, one per special case of the event table:
// 1: every cell filled; 2: rise time, 25 % and half width not measured, no charge;
// 3: no charge and amplitude 0, 90 % width 0; 4: amplitude 0 with a charge, half width 0.
std::vector<Event> fourEvents() {
    return {
        {'1', 50.0f, -20.0f, 1.25f, 3.5f, 7.0f, -70.0f, 1.5f},
        {'2', 1235.0f, -12.0f, -1.0f, -1.0f, 5.0f, -1.0f, -1.0f},
        {'3', 12345678.0f, 0.0f, 0.8f, 2.0f, 0.0f, -1.0f, 0.0f},
        {'1', 12400000.0f, 0.0f, 2.75f, 0.0f, 4.0f, 5.0f, -1.0f},
    };
}

constexpr std::string_view kTableTitles =
    "\"Event #\"\t\"Event type\"\t\"times (sec)\"\t\"interval (sec)\"\t\"10-90 rise time (ms)\"\t"
    "\"25%-width (ms)\"\t\"half-width (ms)\"\t\"90% width (ms)\"\t\"amplitude (pA)\"\t\"Cum. Prob.\"\t"
    "\"Charge(fC)\"\t\"wtdtau(ms)\"\t\"decay ratio\"";

TEST(PscOutputNames, DerivedFromTheRecordingName) {
    PscOutputPaths a = pscOutputPaths("/data/My Cells/cell_0012.abf", "");
    EXPECT_EQ(a.directory, "/data/My Cells/");
    EXPECT_EQ(a.eventTableName, "cell_0012.PRN");
    EXPECT_EQ(a.episodeSummaryName + a.rasterName + a.rasterEpisodesName + a.statisticsName,
              "cell_0Z12.PRNcell_0W12.PRNcell_0R12.PRNcell_0S12.PRN");
    EXPECT_EQ(a.scanPath, "/data/My Cells/cell_0012d.sca");
    // Only the file-name part is upper-cased.
    EXPECT_EQ(pscTextOutputPath(a.directory, a.episodeSummaryName), "/data/My Cells/CELL_0Z12.PRN");

    PscOutputPaths b = pscOutputPaths("ABCDEFGH.abf", "/out/Run1");
    EXPECT_EQ(b.directory, "/out/Run1");
    EXPECT_EQ(b.episodeSummaryName, "ABCDEZGH.PRN");
    EXPECT_EQ(b.scanPath, "/out/Run1/ABCDEFGHd.sca");
    EXPECT_EQ(pscTextOutputPath(b.directory, b.eventTableName), "/out/Run1/ABCDEFGH.PRN");

    // The last "." of the file name counts, not one in a folder; no "." appends.
    EXPECT_EQ(pscOutputPaths("v1.2/trace", "").scanPath, "v1.2/traced.sca");
    EXPECT_EQ(pscOutputPaths("a.b.abf", "").eventTableName, "a.b.PRN");

    // A name too short for the seventh-last character gets the letter in front.
    EXPECT_EQ(pscDerivedName("ab.PRN", 'S') + pscDerivedName("abc.PRN", 'S'), "Sab.PRNSbc.PRN");

    // ".prn" is appended to anything longer than four characters that does not end in ".PRN".
    EXPECT_EQ(pscTextOutputPath("", "notes.txt"), "NOTES.TXT.prn");
    EXPECT_EQ(pscTextOutputPath("dir/", "x.prn"), "dir/X.PRN");
}

TEST(PscEventTableOutput, RowsOfAContinuousRecording) {
    TempDir dir;
    PscEventTable table;
    fill(table, fourEvents());
    PscParameters p = quietParameters();
    p.exportAscii = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    EXPECT_EQ(pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages), "");

    const std::string head = "cell_0012.PRN\n" + std::string(kTableTitles) + "\n";
    const std::string row1 = "1\t1\t5.0000e-2\t\t1.25\t1.5\t3.5\t7\t-20\t0.25\t-70\t3.5\t0.5\n";
    EXPECT_EQ(readFile(dir / "CELL_0012.PRN"), head + row1 +
                                                   "2\t2\t    1.235\t1.185\t-1\t\t\t5\t-12\t0.5\t\t\t\n"
                                                   "3\t3\t12345.68 \t12340\t0.8\t0\t2\t0\t0\t0.75\t\t\t\n"
                                                   "4\t1\t12400.00 \t54.32\t2.75\t\t0\t4\t0\t1\t5\t \t0\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"CELL_0012.PRN"});  // no temporary file left
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(progress.line1, "Exporting Ascii File");
    EXPECT_EQ(progress.line2, "Writing summary record       4 of       4.");

    // Cancel ends the table after the current row.
    progress.pressedButton = kProgressCancel;
    pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages);
    EXPECT_EQ(readFile(dir / "CELL_0012.PRN"), head + row1);
    EXPECT_EQ(progress.line2, "Writing summary record       1 of       4.");
}

TEST(PscStatisticalSummary, FileAndCompletionText) {
    TempDir dir;
    PscEventTable table;
    fill(table, fourEvents());
    PscParameters p = quietParameters();
    p.exportSummary = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    const std::string name = dir / "cell_0012.abf";
    const std::string text = pscExportText(name, "", table, p, progress, messages);

    // All events: amplitude -20, -12, 0, 0; rise 1.25, 0.8, 2.75 (-1 left out); half width 3.5, 2, 0;
    // 90 % width 7, 5, 0, 4. Type 1 has two events: means only.
    EXPECT_EQ(text,
              name +
                  "\n\nAll Events:"
                  "\n\tAmplitude (pA) -8 +/- 9.8 (sd), 4.9 (se), n = 4"
                  "\n\tRise time (ms) 1.6 +/- 1.02 (sd), 0.589 (se), n = 3"
                  "\n\tHalf Width (ms) 1.83 +/- 1.76 (sd), 1.01 (se), n = 3"
                  "\n\t90% Width (ms) 4 +/- 2.94 (sd), 1.47 (se), n = 4"
                  "\n\nType 1 events only:"
                  "\n\tAmplitude (pA) -10\n\tRise time (ms) 2\n\tHalf Width (ms) 1.75\n\t90% Width (ms) 5.5"
                  "\n\nType 2 events only:\n\tAmplitude (pA) -12\n\t90% Width (ms) 5"
                  "\n\nType 3 events only:"
                  "\n\tAmplitude (pA) 0\n\tRise time (ms) 0.8\n\tHalf Width (ms) 2\n\t90% Width (ms) 0");
    EXPECT_EQ(
        readFile(dir / "CELL_0S12.PRN"),
        "cell_0S12.PRN\n\t\tMean\tSD\tSE\tN\nAll Events:"
        "\n\tAmplitude (pA)\t-8\t9.8\t4.9\t4"
        "\n\tRise time (ms)\t1.6\t1.02\t0.589\t3"
        "\n\tHalf Width (ms)\t1.83\t1.76\t1.01\t3"
        "\n\t90% Width (ms)\t4\t2.94\t1.47\t4"
        "\nType 1 events only:"
        "\n\tAmplitude (pA)\t-10\t\n\tRise time (ms)\t2\t\n\tHalf Width (ms)\t1.75\t\n\t90% Width (ms)\t5.5\t"
        "\nType 2 events only:\n\tAmplitude (pA)\t-12\t\n\t90% Width (ms)\t5\t"
        "\nType 3 events only:"
        "\n\tAmplitude (pA)\t0\t\n\tRise time (ms)\t0.8\t\n\tHalf Width (ms)\t2\t\n\t90% Width (ms)\t0\t");

    // Without events every group still has its line.
    PscEventTable empty;
    EXPECT_EQ(
        pscExportText("empty.abf", dir.path(), empty, p, progress, messages),
        "empty.abf\n\nAll Events:\n\nType 1 events only:\n\nType 2 events only:\n\nType 3 events only:");
    EXPECT_EQ(readFile(dir / "EMSTY.PRN"),
              "emSty.PRN\n\t\tMean\tSD\tSE\tN\nAll Events:\nType 1 events only:"
              "\nType 2 events only:\nType 3 events only:");
}

// An episodic recording of three 1000 ms frames: Pre 100..400 ms, triggered 400..600 ms, Post
// 600..1000 ms, estimated tau 40 ms.
struct EpisodicCase {
    PscEventTable table;
    PscParameters p = quietParameters();

    EpisodicCase() {
        p.framesAreEpisodes = 1;
        p.frameCount = 3;
        p.frameDuration = 1000.0f;
        p.ignorePeriod = 100.0f;
        p.triggerDelay = 400.0f;
        p.triggerDuration = 200.0f;
        p.estimatedTau = 40.0f;
        // type, time, amplitude, rise, half width, 90 % width, charge, 25 % width, baseline, peak time
        fill(table, {
                        {'1', 50.0f, -10.0f, 1.0f, 2.0f, 5.0f, -1.0f, 1.0f, -5.0f, 52.0f},      // ignored
                        {'1', 200.0f, -20.0f, 2.0f, 4.0f, 5.0f, -1.0f, 1.0f, -4.0f, 203.0f},    // Pre
                        {'3', 300.0f, -30.0f, -1.0f, -1.0f, 5.0f, -1.0f, 1.0f, -100.0f, 0.0f},  // Pre
                        {'2', 450.0f, -40.0f, 3.0f, 6.0f, 5.0f, -1.0f, 1.0f, -6.0f, 0.0f},      // triggered
                        {'1', 700.0f, -50.0f, 1.5f, 0.0f, 5.0f, -1.0f, 1.0f, -8.0f, 0.0f},      // Post
                        {'2', 1500.0f, -60.0f, 2.0f, 3.0f, 5.0f, -1.0f, 1.0f, -2.0f, 0.0f},     // frame 2
                    });
        const float means[4][4] = {{0, 0, 0, 0}, {-3, -15, -7, -9}, {-1, -11, -2, 0}, {2, 1, 0, 1}};
        for (int f = 1; f <= 3; ++f) {
            table.at(kEpisodePreMean, f) = means[f][0];
            table.at(kEpisodeResponseMean, f) = means[f][1];
            table.at(kEpisodePostMean, f) = means[f][2];
            table.at(kEpisodeDirectMean, f) = means[f][3];
        }
    }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(PscEpisodeSummary, HeaderRowsAndFrameRows) {
    TempDir dir;
    EpisodicCase c;
    c.p.outputEpisodeSummary = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    pscExportText(dir / "ep_0003.abf", "", c.table, c.p, progress, messages);
    const std::vector<std::string> rows = lines(readFile(dir / "EP_0Z03.PRN"));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], "ep_0Z03.PRN");
    EXPECT_EQ(rows[1],
              "\tEvents\t\t\tFreq (Hz)\t\t\tMean PSC (pA)\t\t\tBaseline(pA)\t\t\tMean current (pA)\t\t\t"
              "Net Current (pA)\t\t\tCharge(pC)\t\t\tCumulative Amp. (pA)\t\t\t"
              "PSC charge (pC)[est.tauD,w=40.0ms]\t\t\tmean psc I (pA)\t\t\tmean rise time (ms)\t\t\t"
              "mean halfwidth (ms)\t\t\tnet psc Q/I (pC/pA) or mean direct response\t\t\t"
              "first triggered event rise time, latency or amplitude (ms, pA)\t\t");
    std::string windows =
        "Episode\tPre (100 to 400; 300 ms)\ttriggered (400 to 600; 200 ms)\tPost (600 to 1000; 400 ms)";
    for (int i = 1; i < 14; ++i) windows += "\tPre\ttriggered\tPost";
    EXPECT_EQ(rows[2], windows);

    // Frame 1. Pre: two events (-20, -30), rise and baseline from the first only (a type 3 event has
    // no baseline, -1 is not a rise time); rate 1000/300. Triggered: one event, rate 5, 0.2 s.
    // Post: one event (-50), its baseline -8 together with -2 of the next frame's event: -5.
    // Q = n x mean x 0.04 / length: -6.667, -8, -5; D = -8 - (-6.667 - 5) / 2.
    EXPECT_EQ(
        rows[3],
        "1\t2\t1\t1\t6.667\t5\t2.5\t-25\t-40\t-50\t-4\t-6\t-5\t-3\t-15\t-7\t1\t-9\t-2\t0.3\t-1.8\t-0.8"
        "\t-50\t-40\t-50\t-2\t-1.6\t-2\t-6.667\t-8\t-5\t2\t3\t1.5\t4\t6\t0\t-2.167\t-0.4333\t-5\t3\t50\t-40");
    // Frame 2: only a triggered event; Pre and Post take its baseline -2 for the net current.
    EXPECT_EQ(rows[4],
              "2\t0\t1\t0\t0\t5\t0\t0\t-60\t0\t0\t-2\t0\t-1\t-11\t-2\t1\t-9\t0\t0.3\t-1.8\t0"
              "\t0\t-60\t0\t0\t-2.4\t0\t0\t-12\t0\t0\t2\t0\t0\t3\t0\t-12\t-2.4\t0\t2\t100\t-60");
    // Frame 3: no events and no baseline anywhere: B' is 0; no triggered event: -1, -1, 0.
    EXPECT_EQ(rows[5],
              "3\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t2\t1\t0\t2\t1\t0\t0.6\t0.2\t0"
              "\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t1\t-1\t-1\t0");
}

TEST(PscEpisodeSummary, RasterFilesAndTheEventTableColumns) {
    TempDir dir;
    EpisodicCase c;
    c.p.outputEpisodeSummary = 'Y';
    c.p.outputRaster = 'Y';
    c.p.outputRasterEpisodes = 'Y';
    c.p.exportAscii = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    pscExportText(dir / "ep_0003.abf", "", c.table, c.p, progress, messages);
    EXPECT_EQ(readFile(dir / "EP_0W03.PRN"), "ep_0W03.PRN\n1\t200.0\t300.0\t450.0\t700.0\n2\t500.0\n3\n");
    EXPECT_EQ(readFile(dir / "EP_0R03.PRN"),
              "ep_0R03.PRN\n200.0\t300.0\t450.0\t700.0\t\n1\t1\t1\t1\t\n500.0\t\n2\t\n\n\n");

    const std::vector<std::string> rows = lines(readFile(dir / "EP_0003.PRN"));
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[1], std::string(kTableTitles) + "\t\"Epidosde #\"\t\"Epoch #\"\t\"Event time (ms)\"");
    const char* tails[] = {"\t1\t5\t50.0",  "\t1\t1\t200.0", "\t1\t1\t300.0",
                           "\t1\t2\t450.0", "\t1\t3\t700.0", "\t2\t2\t500.0"};
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(rows[2 + i].ends_with(tails[i])) << rows[2 + i];
}

TEST(PscEpisodeSummary, WindowsWithoutTheSummary) {
    TempDir dir;
    ProgressRecord progress;
    CapturedMessages messages;
    // No episode summary: the windows are still found for the event table. Direct excitation
    // 30 ms: 410 ms is ignored, 620 ms stays triggered (Post begins after 400 + 200 + 30 ms).
    EpisodicCase d;
    d.p.directExcitationIgnore = 30.0f;
    d.p.exportAscii = 'Y';
    d.table.at(kEventTime, 2) = 410.0f;
    d.table.at(kEventTime, 3) = 620.0f;
    d.table.at(kEventTime, 4) = 640.0f;
    pscExportText(dir / "ep_0004.abf", "", d.table, d.p, progress, messages);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"EP_0004.PRN"});
    const std::vector<std::string> rows = lines(readFile(dir / "EP_0004.PRN"));
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_TRUE(rows[3].ends_with("\t1\t5\t410.0"));
    EXPECT_TRUE(rows[4].ends_with("\t1\t2\t620.0"));
    EXPECT_TRUE(rows[5].ends_with("\t1\t3\t640.0"));
}

TEST(PscEpisodeSummary, WindowsOfLengthZeroGiveZeroNotInfinity) {
    TempDir dir;
    EpisodicCase c;
    c.p.outputEpisodeSummary = 'Y';
    c.p.frameCount = 1;
    c.p.ignorePeriod = 0.0f;
    c.p.triggerDelay = 1000.0f;  // the triggered window runs from 1000 ms to the frame end
    c.p.triggerDuration = 0.0f;
    c.table.at(kEventTime, 5) = 1000.0f;  // counted in the triggered window, whose rate is 0
    c.p.outputRaster = 'Y';
    c.p.rasterPeakTime = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    pscExportText(dir / "ep_0003.abf", "", c.table, c.p, progress, messages);
    // Peak times in the raster; the event at 1500 ms lies beyond the only frame.
    EXPECT_EQ(readFile(dir / "EP_0W03.PRN"), "ep_0W03.PRN\n1\t52.0\t203.0\t0.0\t0.0\t0.0\n");
    const std::string text = readFile(dir / "EP_0Z03.PRN");
    EXPECT_EQ(text.find("inf"), std::string::npos);
    EXPECT_EQ(text.find("nan"), std::string::npos);
    const std::vector<std::string> rows = lines(text);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(rows[2].starts_with("Episode\tPre (0 to 1000; 1000 ms)\ttriggered (1000 to 1000; 0 ms)"));
    // Events: Pre 4 (50 .. 450 ms), triggered 1; Freq: Pre 4 x 1000/1000, triggered 1 x 0.
    EXPECT_TRUE(rows[3].starts_with("1\t4\t1\t0\t4\t0\t0\t")) << rows[3];
    // mean psc I: Pre -100 x 0.04 / 1 s, triggered 0 (length 0), Post 0.
    std::vector<std::string> cells;
    std::istringstream in(rows[3]);
    for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 43u);
    EXPECT_EQ(cells[28], "-4");
    EXPECT_EQ(cells[29], "0");
    EXPECT_EQ(cells[30], "0");
    // D = Q(triggered) - (Q(Pre) + Q(Post)) / 2 = 0 - (-4 + 0) / 2, times the triggered length 0.
    EXPECT_EQ(cells[37], "2");
    EXPECT_EQ(cells[38], "0");
}

// The save-name question as a dialog answers it: refused, or accepted, perhaps with another name.
class AnsweringSink final : public MessageSink {
  public:
    void show(MessageKind, std::string_view, std::string_view text) override { shown.emplace_back(text); }
    bool confirmSaveName(std::string& path, std::string_view description,
                         std::string_view extension) override {
        asked = path + "|" + std::string(description) + "|" + std::string(extension);
        if (!replacement.empty()) path = replacement;
        return answer;
    }
    bool answer = true;
    std::string replacement;
    std::string asked;
    std::vector<std::string> shown;
};

TEST(PscTextOutputOpener, SaveNameCheck) {
    TempDir dir;
    PscEventTable table;
    fill(table, fourEvents());
    PscParameters p = quietParameters();
    p.exportAscii = 'Y';
    p.overwriteOutputs = 'N';
    ProgressRecord progress;

    // A new name is written without a question.
    CapturedMessages messages;
    pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages);
    EXPECT_TRUE(messages.saveQuestions.empty());
    ASSERT_TRUE(fs::exists(dir / "CELL_0012.PRN"));

    // An existing one is asked about; a refusal leaves it as it was.
    writeFile(dir / "CELL_0012.PRN", "old");
    messages.saveAnswer = false;
    pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages);
    EXPECT_EQ(messages.saveQuestions, std::vector<std::string>{dir / "CELL_0012.PRN"});
    EXPECT_EQ(readFile(dir / "CELL_0012.PRN"), "old");

    // "Over write output files" = Y never asks.
    p.overwriteOutputs = 'Y';
    pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages);
    EXPECT_EQ(messages.saveQuestions.size(), 1u);
    EXPECT_TRUE(readFile(dir / "CELL_0012.PRN").starts_with("cell_0012.PRN\n"));

    // The answer may name another file; the first line keeps the name as passed in.
    AnsweringSink renaming;
    renaming.replacement = dir / "chosen.txt";
    p.overwriteOutputs = 'N';
    PscOutputFile file;
    ASSERT_TRUE(pscOpenTextOutput(file, dir.path(), "cell_0012.PRN", p.overwriteOutputs, renaming));
    EXPECT_EQ(renaming.asked, dir / "CELL_0012.PRN|Text Files|PRN");
    file.write("x");
    ASSERT_TRUE(pscCloseTextOutput(file, renaming));
    EXPECT_EQ(readFile(dir / "chosen.txt"), "cell_0012.PRN\nx");
    EXPECT_TRUE(renaming.shown.empty());
}

TEST(PscTextOutputOpener, RefusedEpisodeSummaryEndsTheExport) {
    TempDir dir;
    EpisodicCase c;
    c.p.outputEpisodeSummary = 'Y';
    c.p.outputRaster = 'Y';
    c.p.exportAscii = 'Y';
    c.p.exportSummary = 'Y';
    c.p.overwriteOutputs = 'N';
    writeFile(dir / "EP_0W03.PRN", "old raster");
    CapturedMessages messages;
    messages.saveAnswer = false;
    ProgressRecord progress;
    EXPECT_EQ(pscExportText(dir / "ep_0003.abf", "", c.table, c.p, progress, messages), "");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"EP_0W03.PRN"});
    EXPECT_EQ(readFile(dir / "EP_0W03.PRN"), "old raster");
}

// ---- Outputs that are not written, and outputs of one name in one run ------------------------

// Whether any message says `text`.
bool saysSomewhere(const CapturedMessages& messages, std::string_view text) {
    for (const CapturedMessages::Entry& e : messages.entries())
        if (e.text.find(text) != std::string::npos) return true;
    return false;
}

TEST(PscRunOutputs, AnOutputNameIsWrittenOnceInARunAndTheLaterRecordingFails) {
    TempDir dir;
    PscParameters p = quietParameters();
    p.exportAscii = 'Y';
    p.exportSummary = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    RunOutputs outputs;
    PscEventTable first, second;
    fill(first, fourEvents());
    fill(second, {fourEvents()[0]});

    // rec_0011 and rec_0111 share the summary's name (the seventh-last character becomes S).
    outputs.startRecording("rec_0011.abf");
    pscExportText(dir / "rec_0011.abf", "", first, p, progress, messages, &outputs);
    // A recording's outputs appear together, when the run publishes them.
    EXPECT_FALSE(fs::exists(dir / "REC_0S11.PRN"));
    EXPECT_FALSE(fs::exists(dir / "REC_0011.PRN"));
    EXPECT_TRUE(outputs.publishRecording());
    EXPECT_FALSE(outputs.recordingFailed());
    EXPECT_TRUE(messages.empty());
    const std::string summary = readFile(dir / "REC_0S11.PRN");
    ASSERT_FALSE(summary.empty());

    // Another spelling of the same folder is the same output.
    outputs.startRecording("rec_0111.abf");
    pscExportText(dir.path() + "/./rec_0111.abf", "", second, p, progress, messages, &outputs);
    EXPECT_TRUE(outputs.publishRecording());
    EXPECT_TRUE(outputs.recordingFailed());
    EXPECT_EQ(readFile(dir / "REC_0S11.PRN"), summary);
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].caption, "Error");
    EXPECT_NE(messages.entries()[0].text.find("rec_0011.abf"), std::string::npos)
        << messages.entries()[0].text;
    EXPECT_NE(messages.entries()[0].text.find("rec_0111.abf"), std::string::npos)
        << messages.entries()[0].text;
    // Its event table has a name of its own and is written.
    EXPECT_TRUE(readFile(dir / "REC_0111.PRN").starts_with("rec_0111.PRN\n"));

    // A recording that comes again in the run is refused its names.
    outputs.startRecording("rec_0011.abf");
    p.exportSummary = 'N';
    pscExportText(dir / "rec_0011.abf", "", first, p, progress, messages, &outputs);
    EXPECT_TRUE(outputs.recordingFailed());
    EXPECT_TRUE(saysSomewhere(messages, "REC_0011.PRN is already an output of rec_0011.abf"));
}

TEST(PscOutputPublishing, AFileMadeMeanwhileUnderTheNameIsKept) {
    TempDir dir;
    CapturedMessages messages;
    RunOutputs outputs;
    outputs.startRecording("cell_0012.abf");

    // The name is free when the output is opened; another program takes it before it is done.
    PscOutputFile file;
    ASSERT_TRUE(pscOpenTextOutput(file, dir.path(), "cell_0012.PRN", 'N', messages, &outputs));
    file.write("rows\n");
    writeFile(dir / "CELL_0012.PRN", "the other program's table");
    EXPECT_TRUE(pscCloseTextOutput(file, messages, &outputs));  // complete, held for the recording
    EXPECT_FALSE(outputs.publishRecording());
    EXPECT_EQ(readFile(dir / "CELL_0012.PRN"), "the other program's table");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"CELL_0012.PRN"});  // no temporary file left
    EXPECT_TRUE(outputs.recordingFailed());
    EXPECT_TRUE(saysSomewhere(messages, "Couldn't write the output file: " + dir / "CELL_0012.PRN."));

    // With leave to replace ("Over write output files" = Y) the table replaces it.
    PscOutputFile again;
    ASSERT_TRUE(pscOpenTextOutput(again, dir.path(), "cell_0013.PRN", 'Y', messages));
    writeFile(dir / "CELL_0013.PRN", "older");
    EXPECT_TRUE(pscCloseTextOutput(again, messages));
    EXPECT_EQ(readFile(dir / "CELL_0013.PRN"), "cell_0013.PRN\n");

    // The same holds for a plain output file told to keep what it finds.
    OutputFile plain;
    ASSERT_TRUE(plain.create(dir / "plain.txt", OutputFile::Existing::Keep));
    plain.write("new");
    writeFile(dir / "plain.txt", "first");
    EXPECT_FALSE(plain.publish());
    EXPECT_EQ(plain.error(), EEXIST);
    EXPECT_EQ(readFile(dir / "plain.txt"), "first");
}

// Limits the size of the files this process writes while it lives; writes past it fail instead
// of ending the process.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

TEST(PscOutputPublishing, OutputsThatCannotBeWrittenFailTheRecording) {
    TempDir dir;
    PscEventTable table;
    std::vector<Event> many;
    for (int i = 0; i < 400; ++i) many.push_back(fourEvents()[0]);
    fill(table, many);
    PscParameters p = quietParameters();
    p.exportAscii = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    RunOutputs outputs;

    // A disk that fills up: the table (some 40 kB) finds room for 4 kB.
    outputs.startRecording("cell_0012.abf");
    {
        const FileSizeLimit limit(4096);
        pscExportText(dir / "cell_0012.abf", "", table, p, progress, messages, &outputs);
    }
    EXPECT_TRUE(outputs.recordingFailed());
    EXPECT_TRUE(dir.names().empty());
    EXPECT_TRUE(saysSomewhere(messages, "Couldn't write the output file"));

    // A folder the output cannot be made in.
    writeFile(dir / "plain", "a file, not a folder");
    outputs.startRecording("cell_0013.abf");
    pscExportText("cell_0013.abf", dir / "plain", table, p, progress, messages, &outputs);
    EXPECT_TRUE(outputs.recordingFailed());

    // Written whole: the next recording starts without a failure.
    outputs.startRecording("cell_0014.abf");
    pscExportText(dir / "cell_0014.abf", "", table, p, progress, messages, &outputs);
    EXPECT_FALSE(outputs.recordingFailed());
}

TEST(PscOutputPublishing, ANameJustShortEnoughForTheFolderIsWritten) {
    TempDir dir;
    // 255 bytes, the longest name a folder holds; its temporary name must fit as well.
    const std::string name = std::string(251, 'A') + ".PRN";
    OutputFile file;
    ASSERT_TRUE(file.create(dir / name));
    file.write("whole");
    ASSERT_TRUE(file.publish());
    EXPECT_EQ(readFile(dir / name), "whole");
    EXPECT_EQ(dir.names(), std::vector<std::string>{name});
}

TEST(PscTextOutputOpener, UnwritableFolder) {
    TempDir dir;
    PscEventTable table;
    fill(table, fourEvents());
    PscParameters p = quietParameters();
    p.exportAscii = 'Y';
    p.exportSummary = 'Y';
    writeFile(dir / "plain", "a file, not a folder");
    const std::string folder = dir / "plain/out";
    CapturedMessages messages;
    ProgressRecord progress;
    // The summary file cannot be made: the completion text keeps only the name.
    EXPECT_EQ(pscExportText("cell_0012.abf", folder, table, p, progress, messages), "cell_0012.abf");
    ASSERT_EQ(messages.entries().size(), 2u);
    EXPECT_EQ(messages.entries()[0].kind, MessageKind::PlainError);
    EXPECT_EQ(messages.entries()[0].caption, "Error");
    EXPECT_EQ(messages.entries()[0].text, "Couldn't open the output file: " + folder +
                                              "/CELL_0S12.PRN.   Is it open in another application?");
    EXPECT_EQ(messages.entries()[1].text, "Couldn't open the output file: " + folder +
                                              "/CELL_0012.PRN.   Is it open in another application?");
}

// ---------------------------------------------------------------------------------------------
// Scan file

std::string headerText(const ScanBlock& block) {
    const auto* begin = reinterpret_cast<const char*>(block.data());
    return std::string(begin, strnlen(begin, block.size()));
}

float floatAt(const std::string& bytes, std::size_t offset) {
    float x;
    std::memcpy(&x, bytes.data() + offset, 4);
    return x;
}

std::int16_t sampleAt(const std::string& bytes, std::size_t offset) {
    std::int16_t x;
    std::memcpy(&x, bytes.data() + offset, 2);
    return x;
}

TEST(PscScanFile, HeaderBlock) {
    const ScanBlock block = pscScanHeader(0.125f, 10.0f, 0.5f, "pA", 4, 3, 32768);
    const std::string expected =
        "DT= 0.125       \\BC= 0.5         \\GC= 10          \\IZC= 32768       \\AD= 10          \\"
        "PT= 10          \\TL= 10          \\TU=ms\\CU=pA\\NC= 1           \\NRQ= 1           \\"
        "NF= 3           \\NBF= 0           \\NBA= 1           \\NBD= 4           \\IFC= 9           \\ID= "
        "\\";
    EXPECT_EQ(headerText(block), expected);
    for (std::size_t i = expected.size(); i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;

    // Five significant digits, as gcvt writes them.
    const std::string odd = headerText(pscScanHeader(kScanFloatScale, 1.5f, 123456.0f, "", 1, 0, 2147483647));
    EXPECT_TRUE(
        odd.starts_with("DT= 0.01892     \\BC= 1.2346e+05  \\GC= 10          \\IZC= 2.1475e+09  \\"
                        "AD= 1.5         \\"));
    EXPECT_NE(odd.find("\\CU=\\"), std::string::npos);

    EXPECT_EQ(pscScanUnits("IN 0 (pA)"), "pA");
    EXPECT_EQ(pscScanUnits("Im(nA"), "nA");
    EXPECT_EQ(pscScanUnits("I ("), "I (");
    EXPECT_EQ(pscScanUnits("Imemb"), "Imemb");
}

// A recording of 2000 samples per channel at 125 µs, made with the ABF writer, and the run state
// that describes it. Integer recordings have two channels: channel 0 holds the sample index,
// channel 1 (the analysed one) 3000 minus it. Float recordings have one channel of `values`.
struct ScanCase {
    TempDir dir;
    std::string recording = dir / "scan_0001.abf";
    AbfHeader header;
    PscParameters p = quietParameters();
    PscEventTable table;

    explicit ScanCase(const std::vector<float>& values = {}, const char* floatUnits = "pA") {
        AbfWriteSpec layout;
        layout.sampleIntervalUs = 125.0;
        layout.sweepCount = 2;
        layout.samplesPerSweep = 1000;
        std::string error;
        if (values.empty()) {
            layout.channels = {{0, "IN 0", "pA", 0.5, 0.0}, {1, "IN 1", "mV", 1.0, 0.0}};
            std::vector<std::vector<std::int16_t>> data(2, std::vector<std::int16_t>(2000));
            for (std::size_t i = 0; i < 2000; ++i) {
                data[0][i] = static_cast<std::int16_t>(i);
                data[1][i] = static_cast<std::int16_t>(3000 - static_cast<int>(i));
            }
            EXPECT_TRUE(abf_test::take(writeAbfFile(recording, layout, data, {}), error)) << error;
        } else {
            layout.format = AbfSampleFormat::Float32;
            layout.channels = {{0, "IN 0", floatUnits, 1.0, 0.0}};
            std::vector<std::vector<float>> data(1, std::vector<float>(2000, 0.0f));
            std::copy(values.begin(), values.end(), data[0].begin());
            EXPECT_TRUE(abf_test::take(writeAbfFile(recording, layout, data, {}), error)) << error;
        }
        AbfFile file;
        int samples = 0, sweeps = 0, code = 0;
        EXPECT_GT((sweeps = abf_test::take(file.open(recording, header, samples), code)), 0);

        p.exportBlocks = 1;  // 256 samples, 25 of them before the event
        p.sampleInterval = 0.125f;
        p.frameLength = 1000;
        p.frameCount = 2;
        p.floatData = values.empty() ? 0 : 1;
        p.channelCount = values.empty() ? 2 : 1;
        p.channelNumber = values.empty() ? 1 : 0;
        p.dataOffset = header.dataOffsetBytes;
        if (values.empty()) {
            p.channelScale = 0.5f;
            p.channelTitle = "IN 1 (mV)";
        } else {
            pscSetupChannel(header, p);  // floats: scale 1, or 1000 from nA to pA
        }
        // Sample positions 100.5 (halves go up: 101), 5 and 1990.
        fill(table, {
                        {'2', 12.5f, -20.0f, 1.25f, 3.5f, 7.0f, -70.0f, 1.5f, 0.0f, 0.0f, 12.5625f},
                        {'9', 30.0f, -12.0f, -1.0f, -1.0f, 5.0f, -1.0f, -1.0f, 0.0f, 0.0f, 0.625f},
                        {'3', 250.0f, -5.0f, 0.5f, 1.0f, 2.0f, -1.0f, 0.75f, 0.0f, 0.0f, 248.75f},
                    });
    }
    std::string scanFile() const { return readFile(dir / "scan_0001d.sca"); }
};

TEST(PscScanFile, RecordsAndTraces) {
    ScanCase c;
    ProgressRecord progress;
    CapturedMessages messages;
    ASSERT_TRUE(pscExportScan(c.recording, "", c.table, c.p, c.header, progress, messages));
    EXPECT_TRUE(messages.empty());
    const std::string bytes = c.scanFile();
    ASSERT_EQ(bytes.size(), 512u * (1 + 3 * 2));
    EXPECT_NE(bytes.find("\\CU=mV\\NC= 1           \\NRQ= 1           \\NF= 3           \\"),
              std::string::npos);

    // Event 1: the record, then 256 samples of channel 1 from sample 101 - 25 = 76 on.
    const std::string r1 = bytes.substr(512, 512);
    EXPECT_EQ(std::memcmp(r1.data(), "EVOKED  \0", 9), 0);
    std::string rest = r1;
    const std::pair<std::size_t, float> fields[] = {{14, 1.0f},   {18, 0.0125f}, {22, 1.25f}, {30, -20.0f},
                                                    {34, -70.0f}, {118, 3.5f},   {122, 7.0f}, {126, 1.5f}};
    for (auto [offset, value] : fields) {
        EXPECT_EQ(floatAt(r1, offset), value) << offset;
        std::memset(rest.data() + offset, 0, 4);
    }
    std::memset(rest.data(), 0, 9);
    EXPECT_EQ(rest, std::string(512, '\0'));  // all other bytes are zero
    EXPECT_EQ(sampleAt(bytes, 1024), 3000 - 76);
    EXPECT_EQ(sampleAt(bytes, 1024 + 2 * 25), 3000 - 101);
    EXPECT_EQ(sampleAt(bytes, 1024 + 2 * 255), 3000 - 331);

    // Event 2: another type keeps the previous text; its trace starts 20 samples before the data,
    // which take the first sample.
    EXPECT_EQ(std::memcmp(bytes.data() + 1536, "EVOKED  \0", 9), 0);
    EXPECT_EQ(floatAt(bytes, 1536 + 14), 2.0f);
    EXPECT_EQ(sampleAt(bytes, 2048), 3000);
    EXPECT_EQ(sampleAt(bytes, 2048 + 2 * 20), 3000);
    EXPECT_EQ(sampleAt(bytes, 2048 + 2 * 21), 2999);

    // Event 3: from sample 1965 on; past sample 1999 the last sample is repeated.
    EXPECT_EQ(std::memcmp(bytes.data() + 2560, "ACCEPTED\0", 9), 0);
    EXPECT_EQ(sampleAt(bytes, 3072), 3000 - 1965);
    EXPECT_EQ(sampleAt(bytes, 3072 + 2 * 34), 1001);
    EXPECT_EQ(sampleAt(bytes, 3072 + 2 * 255), 1001);

    EXPECT_EQ(progress.line1, "Exporting Scan File");
    EXPECT_EQ(progress.line2, "Writing Scan record       2 of       3.");
}

TEST(PscScanFile, FloatRecording) {
    // 1 pA is 52.85 units of 0.0189198 pA: 52; -52 (toward zero); 1000 pA is beyond 16 bits.
    ScanCase c({0.0f, 1.0f, -1.0f, 1000.0f, 0.01892f});
    c.table.setCount(1);
    c.table.at(kSampleTime, 1) = 26 * 0.125f;  // the trace starts at sample 1
    ProgressRecord progress;
    CapturedMessages messages;
    ASSERT_TRUE(pscExportScan(c.recording, "", c.table, c.p, c.header, progress, messages));
    EXPECT_EQ(c.p.channelScale, kScanFloatScale);
    const std::string bytes = c.scanFile();
    ASSERT_EQ(bytes.size(), 512u * 3);
    EXPECT_TRUE(bytes.starts_with("DT= 0.125       \\BC= 0.01892     \\"));
    const std::int16_t expected[] = {52, -52, 32767, 1, 0};
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(sampleAt(bytes, 1024 + 2 * k), expected[k]) << k;

    // Values in nA are stored as the pA they stand for: 0.001 nA is 1 pA.
    ScanCase na({0.0f, 0.001f, -0.001f, 0.5f, 0.00001892f}, "nA");
    na.table.setCount(1);
    na.table.at(kSampleTime, 1) = 26 * 0.125f;
    ASSERT_TRUE(pscExportScan(na.recording, "", na.table, na.p, na.header, progress, messages));
    const std::string naBytes = na.scanFile();
    ASSERT_EQ(naBytes.size(), 512u * 3);
    const std::int16_t inPa[] = {52, -52, 26427, 1};
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(sampleAt(naBytes, 1024 + 2 * k), inPa[k]) << k;
}

// With the event limit lifted, every stored event reaches the outputs: rows past the 63999th
// are written, and the scan file's count is whole however large.
TEST(PscScanFile, EventsPastTheUsualLimitAreAllWritten) {
    EXPECT_NE(
        headerText(pscScanHeader(0.125f, 10.0f, 0.5f, "pA", 4, 123456, 32768)).find("\\NF= 123456      \\"),
        std::string::npos);

    ScanCase c;
    constexpr int kCount = 64001;
    c.table.reserveEventRow(kCount);
    c.table.setCount(kCount);
    for (std::size_t r = 1; r <= kCount; ++r) {
        c.table.eventType[r] = '1';
        c.table.at(kEventTime, r) = static_cast<float>(r) * 0.01f;
        c.table.at(kSampleTime, r) = static_cast<float>(r % 2000) * 0.125f;
    }
    c.p.exportBlocks = 0;
    c.p.exportAscii = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    EXPECT_EQ(pscExportText(c.recording, "", c.table, c.p, progress, messages), "");
    std::ifstream table(c.dir / "SCAN_0001.PRN");
    std::string line, last;
    int lines = 0;
    while (std::getline(table, line)) ++lines, last = line;
    EXPECT_EQ(lines, 2 + kCount);
    EXPECT_TRUE(last.starts_with("64001\t1\t")) << last;

    ASSERT_TRUE(pscExportScan(c.recording, "", c.table, c.p, c.header, progress, messages));
    const std::string bytes = c.scanFile();
    ASSERT_EQ(bytes.size(), 512u * (1 + kCount));
    EXPECT_NE(bytes.find("\\NF= 64001       \\"), std::string::npos);
    EXPECT_EQ(floatAt(bytes, 512u * kCount + 14), static_cast<float>(kCount));
    EXPECT_TRUE(messages.empty());
}

TEST(PscScanFile, RefusalFailureAndCancel) {
    ScanCase c;
    ProgressRecord progress;

    // An existing scan file is asked about with "Scan Files"; a refusal keeps it.
    writeFile(c.dir / "scan_0001d.sca", "old");
    c.p.overwriteOutputs = 'N';
    AnsweringSink refuse;
    refuse.answer = false;
    EXPECT_FALSE(pscExportScan(c.recording, "", c.table, c.p, c.header, progress, refuse));
    EXPECT_EQ(refuse.asked, c.dir / "scan_0001d.sca|Scan Files|sca");
    EXPECT_EQ(readFile(c.dir / "scan_0001d.sca"), "old");

    // A folder that cannot take the file.
    CapturedMessages messages;
    EXPECT_FALSE(pscExportScan(c.recording, c.dir / "old/none", c.table, c.p, c.header, progress, messages));
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].caption, "Exiting on error");
    EXPECT_EQ(messages.entries()[0].text, "Couldn't open Scan output file");

    // The recording gone between its analysis and the export: named, with the reason.
    const std::string gone = c.dir / "gone_0001.abf";
    CapturedMessages lost;
    EXPECT_FALSE(pscExportScan(gone, "", c.table, c.p, c.header, progress, lost));
    ASSERT_EQ(lost.entries().size(), 1u);
    EXPECT_EQ(lost.entries()[0].text, "Error opening file\nFile '" + gone + "' was not found.\n");
    EXPECT_FALSE(std::filesystem::exists(std::string(c.dir / "gone_0001d.sca")))
        << "no scan file without its recording";

    // Cancel: the file ends after the current event and replaces the old one without a question.
    c.p.overwriteOutputs = 'Y';
    progress.pressedButton = kProgressCancel;
    EXPECT_TRUE(pscExportScan(c.recording, "", c.table, c.p, c.header, progress, messages));
    EXPECT_EQ(readFile(c.dir / "scan_0001d.sca").size(), 512u * 3);
    EXPECT_TRUE(messages.saveQuestions.empty());
}

}  // namespace
}  // namespace ephys
