// spktal --batch throughput: the whole program (start-up, reading, detection in every channel,
// the summary, latency and frequency files) on a long four-channel current-clamp recording made
// by abfsynth, reported as samples per second over all channels.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int kChannels = 4;
constexpr int kSweeps = 30;
constexpr double kSweepSeconds = 10.0;
constexpr double kIntervalUs = 50.0;
constexpr long long kSamples =
    static_cast<long long>(kChannels) * kSweeps * static_cast<long long>(kSweepSeconds * 1e6 / kIntervalUs);

// The recording and the outputs live in a folder of their own, removed when the program ends.
struct Folder {
    std::string path;
    Folder() {
        std::string pattern = "/tmp/spktal_bench.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::perror("mkdtemp");
        path = pattern;
        const std::string command = std::string(ABFSYNTH_PROGRAM) + " --kind spikes --out " + path +
                                    "/long.abf --channels 4 --sweeps 30 --sweep-length 10 --step-length 6"
                                    " --first-step 0 --step-increment 20 --rheobase 40 --gain 0.4 --seed 5"
                                    " >/dev/null";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "abfsynth failed\n");
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const std::string& folder() {
    static const Folder made;
    return made.path;
}

int runSpktal(const std::string& options) {
    const std::string command =
        "XDG_CONFIG_HOME=" + folder() + " " + SPKTAL_PROGRAM + " --batch --no-ini --quiet --output-dir " +
        folder() + "/out" + " --set \"Stimulus Epoch for counting=A\" --set \"Max Spike Duration (ms)=3\" " +
        options + " " + folder() + "/long.abf >/dev/null";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

void run(benchmark::State& state, const std::string& options) {
    folder();
    for (auto _ : state) {
        if (runSpktal(options) != 0) {
            state.SkipWithError("spktal failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
    state.counters["samples_per_s"] =
        benchmark::Counter(static_cast<double>(kSamples), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SpktalBatchThreshold(benchmark::State& state) {
    run(state, "");
}

void BM_SpktalBatchThresholdAllOutputs(benchmark::State& state) {
    run(state,
        "--set \"Raw Data Output (U)=Y\" --set \"Export Amplitudes=Y\" --set \"Do Frequencies=Y\""
        " --set \"Do Rasters=Y\" --set \"Tagfile Output (M)=Y\"");
}

void BM_SpktalBatchRmsSlope(benchmark::State& state) {
    run(state, "--set \"Detection method=R\" --set \"Amount descending slope > noise=8\"");
}

}  // namespace

BENCHMARK(BM_SpktalBatchThreshold)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpktalBatchThresholdAllOutputs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpktalBatchRmsSlope)->Unit(benchmark::kMillisecond)->UseRealTime();
