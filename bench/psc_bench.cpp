// psctrawl's frame reading: one read of the interleaved channels, de-interleaving, scaling, the
// baseline shift, the Gaussian filter and the dI/dt, frame after frame through a 10-minute 20 kHz
// gap-free recording. Items are frame samples (frame length 2048; each read also brings the 2248
// samples around the frame). The end-to-end timing of `psctrawl --batch` on an hour-long
// recording is psc_bench.sh beside this file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"
#include "params/messages.h"
#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"
#include "psc/recording_frames.h"

namespace {

constexpr std::int64_t kSamplesPerChannel = 12'000'000;  // 10 minutes at 20 kHz

// The recording is made once per channel count and kept in /tmp between runs.
std::string recording(int channels) {
    const std::string path = "/tmp/ephys_psc_bench_" + std::to_string(channels) + "ch.abf";
    if (::access(path.c_str(), R_OK) == 0) return path;
    ephys::AbfWriteSpec layout;
    layout.mode = ephys::AbfWriteMode::GapFree;
    layout.sampleIntervalUs = 50;
    layout.totalSamples = kSamplesPerChannel;
    for (int c = 0; c < channels; ++c)
        layout.channels.push_back({c, "Im" + std::to_string(c), "pA", 0.1, 0.0});
    ephys::AbfWriter writer;
    ephys::AbfWriteOptions options;
    options.overwrite = true;
    options.syncToDisk = false;
    std::vector<std::int16_t> piece(static_cast<std::size_t>(channels) << 18);
    if (const ephys::Result<void> opened = writer.open(path, layout, options); !opened)
        std::fprintf(stderr, "%s\n", opened.error().text().c_str());
    const std::int64_t values = kSamplesPerChannel * channels;
    for (std::int64_t done = 0; done < values;) {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(piece.size()), values - done));
        for (std::size_t i = 0; i < n; ++i)
            piece[i] = static_cast<std::int16_t>((done + static_cast<std::int64_t>(i)) * 7919 % 4001 - 2000);
        (void)writer.writeInterleaved(std::span<const std::int16_t>(piece.data(), n));
        done += static_cast<std::int64_t>(n);
    }
    if (const ephys::Result<void> finished = writer.finish(); !finished)
        std::fprintf(stderr, "%s\n", finished.error().text().c_str());
    return path;
}

// Arguments: channel count, filter corner in Hz (0: no filter).
void BM_ReadFrame(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const std::string path = recording(channels);
    ephys::PscParameters p;
    p.filterHz = static_cast<float>(state.range(1));
    ephys::SilentMessageSink messages;
    if (!ephys::GetInfo(p, path, messages)) {
        state.SkipWithError("recording not readable");
        return;
    }
    ephys::AbfHeader header;
    ephys::AbfFile file;
    int perSweep = p.frameLength;
    (void)file.open(path, header, perSweep);
    ephys::pscSetupChannel(header, p);
    ephys::PscFrameBuffers buffers;
    buffers.resize(p.frameLength, p.sampleInterval);
    ephys::PscFrameReader reader;
    reader.recording = &file;

    int frame = 1;
    for (auto _ : state) {
        ephys::pscReadFrame(header, p, frame, buffers, reader);
        benchmark::DoNotOptimize(buffers.didtData.data());
        frame = frame == p.frameCount ? 1 : frame + 1;
    }
    state.SetItemsProcessed(state.iterations() * p.frameLength);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadFrame)->ArgNames({"channels", "filterHz"})->Args({1, 0})->Args({1, 500})->Args({4, 500});

}  // namespace

BENCHMARK_MAIN();
