// The generator's longest run: a noise waveform of 10 000 000 samples, filtered at 3000 Hz and
// written as an ATF file, from the arrays' allocation to the file under its name. The parts
// alone follow: synthesis only, and the text of the sample lines without the disk.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>

#include "params/messages.h"
#include "params/progress.h"
#include "wavegen/atf_output.h"
#include "wavegen/waveform_synthesis.h"

namespace {

constexpr std::int32_t kSamples = 10000000;

ephys::WaveformParameters longNoise() {
    ephys::WaveformParameters p;
    p.waveform = 'N';
    p.sampleCount = kSamples;
    p.sampleInterval = 10;  // 100 s in all
    p.stepOn = 10.0f;
    p.stepOff = 99990.0f;  // noise over almost all of it, filtered with 35 taps
    p.noiseFilterHz = 3000.0f;
    return p;
}

void generateNoiseFile(benchmark::State& state) {
    std::string folder = (std::filesystem::temp_directory_path() / "swgbench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    ephys::WaveformParameters p = longNoise();
    ephys::WaveState waveState;
    ephys::CapturedMessages messages;
    ephys::ProgressRecord progress;
    ephys::WaveRunOptions options;
    options.directory = folder;
    options.seed = 1;
    std::uintmax_t bytes = 0;
    for (auto _ : state) {
        const ephys::WaveRunResult result = ephys::waveGenerate(p, progress, waveState, messages, options);
        state.PauseTiming();
        if (!result.ok) {
            state.SkipWithError(messages.empty() ? "run failed" : messages.entries().back().text.c_str());
            break;
        }
        std::error_code ec;
        bytes = std::filesystem::file_size(result.path, ec);
        std::filesystem::remove(result.path, ec);
        state.ResumeTiming();
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(generateNoiseFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void synthesizeNoiseOnly(benchmark::State& state) {
    const ephys::WaveformParameters p = longNoise();
    std::vector<float> times(kSamples), values(kSamples);
    ephys::WaveRandom random;
    ephys::ProgressRecord progress;
    for (auto _ : state) {
        ephys::waveSynthesize(p, random, progress, times, values);
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(synthesizeNoiseOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

void formatSampleLines(benchmark::State& state) {
    const ephys::WaveformParameters p = longNoise();
    std::vector<float> times(kSamples), values(kSamples);
    ephys::WaveRandom random;
    ephys::ProgressRecord progress;
    ephys::waveSynthesize(p, random, progress, times, values);
    std::string block;
    for (auto _ : state) {
        std::size_t total = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            ephys::waveAppendSampleLine(block, times[i], values[i]);
            if (block.size() > (1u << 20)) {
                total += block.size();
                block.clear();
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(formatSampleLines)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
