#include "psc/frame_pipeline.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"
#include "psc/run_driver.h"
#include "synthetic_psc_file.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

struct ScratchFolder {
    std::string dir = [] {
        std::string pattern = (fs::temp_directory_path() / "psc-pipeline-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

// A busy gap-free recording: 6 s at 50 us with 25 inward currents per second on noise and a slow
// drift, so that with 256-sample frames (12.8 ms) many events start in one frame and decay in
// the next ones.
std::string busyRecording(const std::string& dir) {
    PscSynthSpec setup;
    setup.samplesPerSweep = 6 * 20000;
    setup.rateHz = 25;
    setup.minGapMs = 4;
    setup.driftPa = 5;
    setup.driftHz = 0.5;
    setup.seed = 11;
    const std::string path = dir + "/busy.abf";
    EXPECT_TRUE(writeSyntheticPscFile(path, setup));
    return path;
}

// Everything a run leaves: its outcome, its messages and the bytes of every output file.
struct RunRecord {
    PscRecordingOutcome::State state = PscRecordingOutcome::State::Failed;
    std::string completionText;
    std::vector<std::string> messages;
    std::map<std::string, std::string> files;
    int tableEvents = -1;
};

RunRecord runOnce(const std::string& recording, const std::string& outputDir, bool pipelined,
                  const std::string& frames = "") {
    PscParameters p;
    ParamTable table;
    SilentMessageSink quiet;
    pscBuildParamTable(p, table, quiet);
    p.frameLengthSetting = 256;
    p.diffTrigger = -3.0f;
    p.overwriteOutputs = 'Y';
    p.outputEpisodeSummary = 'Y';
    ProgressRecord progress;
    CapturedMessages messages;
    PscRun run(p, progress, messages);
    run.outputDir = outputDir;
    run.withButtonEvent = false;
    run.pipelineFrames = pipelined;
    RunRecord r;
    run.eventsDetected = [&](const PscEventTable& events, const PscParameters&) {
        r.tableEvents = events.count();
    };
    const std::vector<PscRecordingOutcome> outcomes =
        pscRunRecordings(run, table, {recording}, frames.empty() ? std::nullopt : std::optional(frames));
    EXPECT_EQ(outcomes.size(), 1u);
    if (!outcomes.empty()) {
        r.state = outcomes[0].state;
        r.completionText = outcomes[0].completionText;
    }
    for (const auto& m : messages.entries()) r.messages.push_back(m.caption + ": " + m.text);
    for (const auto& entry : fs::directory_iterator(outputDir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        r.files[entry.path().filename().string()] = bytes.str();
    }
    return r;
}

void expectSameRun(const RunRecord& sequential, const RunRecord& pipelined) {
    EXPECT_EQ(sequential.state, pipelined.state);
    EXPECT_EQ(sequential.completionText, pipelined.completionText);
    EXPECT_EQ(sequential.messages, pipelined.messages);
    EXPECT_EQ(sequential.tableEvents, pipelined.tableEvents);
    ASSERT_EQ(sequential.files.size(), pipelined.files.size());
    for (const auto& [name, bytes] : sequential.files) {
        const auto other = pipelined.files.find(name);
        ASSERT_NE(other, pipelined.files.end()) << name;
        EXPECT_TRUE(bytes == other->second) << name << " differs";
    }
}

// Frame by frame and pipelined, a recording of many frames whose events cross frame borders
// gives the same outputs byte for byte: the detector's carried baseline and trigger state see
// the frames in the listed order whoever prepared them. Also for a list that repeats frames and
// goes backwards.
TEST(FramePipelineTest, PipelinedRunWritesTheSameOutputsAsFrameByFrame) {
    ScratchFolder scratch;
    const std::string recording = busyRecording(scratch.dir);
    const std::string out = scratch.dir + "/out";
    fs::create_directory(out);
    for (const std::string& frames : {std::string(), std::string("400..380,3,3,1..200")}) {
        const RunRecord sequential = runOnce(recording, out, false, frames);
        ASSERT_EQ(sequential.state, PscRecordingOutcome::State::Done) << frames;
        EXPECT_GT(sequential.tableEvents, 60) << frames;  // the recording is busy indeed
        EXPECT_GE(sequential.files.size(), 3u);
        const RunRecord pipelined = runOnce(recording, out, true, frames);
        expectSameRun(sequential, pipelined);
    }
}

// A recording cut short in the middle of a frame: the frames past its end read as the
// sequential pass reads them, and the warning is the same.
TEST(FramePipelineTest, RecordingCutShortIsReadTheSameWay) {
    ScratchFolder scratch;
    const std::string recording = busyRecording(scratch.dir);
    std::int64_t data = 0;
    {
        AbfFile file;
        AbfHeader header;
        int samples = 0;
        ASSERT_TRUE(file.open(recording, header, samples).ok());
        data = header.dataOffsetBytes;
    }
    fs::resize_file(recording, static_cast<std::uintmax_t>(data + (200 * 256 + 77) * 2));
    const std::string out = scratch.dir + "/out";
    fs::create_directory(out);
    const RunRecord sequential = runOnce(recording, out, false);
    ASSERT_EQ(sequential.state, PscRecordingOutcome::State::Done);
    ASSERT_FALSE(sequential.messages.empty());
    EXPECT_NE(sequential.messages[0].find("shorter than its header says"), std::string::npos);
    const RunRecord pipelined = runOnce(recording, out, true);
    expectSameRun(sequential, pipelined);
}

// The pipeline hands out each listed frame's buffers in list order, as pscReadFrame fills them,
// however far the helper has run ahead and whichever thread prepared them; a ring smaller than
// the list makes every slot serve many frames. First the helper prepares every frame, then the
// two threads share them.
TEST(FramePipelineTest, FramesComeInListOrderAsReadOneByOne) {
    ScratchFolder scratch;
    const std::string recording = busyRecording(scratch.dir);
    CapturedMessages messages;
    PscParameters p;
    p.frameLengthSetting = 256;
    ASSERT_TRUE(GetInfo(p, recording, messages));
    AbfFile file;
    AbfHeader header;
    int piece = 0;
    ASSERT_TRUE(file.open(recording, header, piece).ok());
    ASSERT_EQ(pscSetupChannel(header, p), 0);
    p.fileName = recording;
    p.bufferLength = p.frameLength + kFrameLead + kFrameTail;
    PscFrameBuffers buffers;
    buffers.resize(p.frameLength, static_cast<double>(p.sampleInterval));
    PscFrameReader reader;
    reader.recording = &file;
    std::vector<std::int32_t> frames;
    for (int f = p.frameCount; f >= 1; f -= 3) frames.push_back(f);
    for (int f = 1; f <= p.frameCount; ++f) frames.push_back(f);
    ASSERT_GT(frames.size(),
              4u * static_cast<std::size_t>(PscFramePipeline::slotsFor(buffers.bufferLength())));

    for (const bool callerPrepares : {false, true}) {
        PscFrameReader expectedReader;
        AbfFile expectedFile;
        ASSERT_TRUE(expectedFile.open(recording, header, piece).ok());
        expectedReader.recording = &expectedFile;
        PscFrameBuffers expected = buffers;
        PscParameters expectedParams = p;

        PscFramePipeline pipeline(header, p, frames, reader, buffers, callerPrepares);
        EXPECT_TRUE(pipeline.helperRunning());
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const PscFrameBuffers& got = pipeline.next();
            pscReadFrame(header, expectedParams, frames[k], expected, expectedReader);
            ASSERT_TRUE(got.currentData == expected.currentData) << "frame " << frames[k] << " at " << k;
            ASSERT_TRUE(got.didtData == expected.didtData) << "frame " << frames[k] << " at " << k;
        }
    }
}

}  // namespace
}  // namespace ephys
