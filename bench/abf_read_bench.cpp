// Reading a whole 1-hour 20 kHz gap-free recording (72 million samples, 144 MB) and scaling it to
// user units, whole, in sweeps and in frames, next to reading the same file's bytes from the page
// cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_writer.h"

namespace {

constexpr std::int64_t kSamples = 72'000'000;

const std::string& hourRecording() {
    static const std::string path = [] {
        std::string p = "/tmp/ephys_bench_hour.abf";
        if (access(p.c_str(), R_OK) == 0) return p;
        ephys::AbfWriteSpec spec;
        spec.mode = ephys::AbfWriteMode::GapFree;
        spec.sampleIntervalUs = 50;
        spec.totalSamples = kSamples;
        spec.channels = {{0, "Im", "pA", 0.1, 0.0}};
        ephys::AbfWriter writer;
        ephys::AbfWriteOptions options;
        options.overwrite = true;
        options.syncToDisk = false;
        std::vector<std::int16_t> piece(1 << 20);
        if (const ephys::Result<void> opened = writer.open(p, spec, options); !opened)
            std::fprintf(stderr, "%s\n", opened.error().text().c_str());
        for (std::int64_t done = 0; done < kSamples;) {
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(piece.size(), kSamples - done));
            for (std::size_t i = 0; i < n; ++i)
                piece[i] = static_cast<std::int16_t>((done + static_cast<std::int64_t>(i)) % 4001 - 2000);
            (void)writer.writeInterleaved(std::span<const std::int16_t>(piece.data(), n));
            done += static_cast<std::int64_t>(n);
        }
        if (const ephys::Result<void> finished = writer.finish(); !finished)
            std::fprintf(stderr, "%s\n", finished.error().text().c_str());
        return p;
    }();
    return path;
}

void BM_ReadFileBytes(benchmark::State& state) {
    std::vector<char> buffer(1 << 22);
    for (auto _ : state) {
        const int fd = open(hourRecording().c_str(), O_RDONLY);
        std::int64_t total = 0;
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) total += n;
        close(fd);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_ReadAndScaleWhole(benchmark::State& state) {
    std::vector<float> values;
    for (auto _ : state) {
        ephys::AbfHeader header;
        ephys::abfResetHeader(header);
        ephys::AbfFile file;
        int perSweep = static_cast<int>(kSamples);
        (void)file.open(hourRecording(), header, perSweep);
        benchmark::DoNotOptimize(file.readSweep(0, 1, values).valueOr(0));
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_ReadAndScaleOneSecondPieces(benchmark::State& state) {
    std::vector<float> values;
    for (auto _ : state) {
        ephys::AbfHeader header;
        ephys::abfResetHeader(header);
        ephys::AbfFile file;
        int perSweep = 20000;
        const int sweeps = file.open(hourRecording(), header, perSweep).valueOr(0);
        double sum = 0;
        for (int s = 1; s <= sweeps; ++s) {
            if (file.readSweep(0, s, values)) sum += values[0];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// Frames as psctrawl reads them: stretches of one channel, scaled to pA, short ones (where the cost
// of a call shows) and those of a default frame with its lead and tail.
void BM_ReadPointsScaledFrames(benchmark::State& state) {
    const auto length = static_cast<std::int64_t>(state.range(0));
    std::vector<float> frame(static_cast<std::size_t>(length));
    ephys::AbfHeader header;
    ephys::abfResetHeader(header);
    ephys::AbfFile file;
    int perSweep = 0;
    (void)file.open(hourRecording(), header, perSweep);
    std::int64_t points = 0;
    for (auto _ : state) {
        for (std::int64_t first = 0; first < kSamples; first += length)
            points += file.readPointsScaled(0, first, length, 0.1F, 0.0F, frame).valueOr(0);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(points);
}

BENCHMARK(BM_ReadFileBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndScaleWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndScaleOneSecondPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPointsScaledFrames)->Arg(256)->Arg(12248)->Unit(benchmark::kMillisecond);

}  // namespace
