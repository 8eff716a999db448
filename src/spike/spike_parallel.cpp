#include "spike/spike_parallel.h"

#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

#include "params/parallel_recordings.h"
#include "params/progress.h"

namespace ephys {

namespace {

// A graph record with its own copy of the values its series and fitted lines show (a record only
// points at values its maker keeps, and the maker is gone when the figure is drawn).
struct OwnedGraph {
    GraphRecord record;
    std::vector<std::vector<float>> values;
};

std::shared_ptr<OwnedGraph> ownedCopy(const GraphRecord& record) {
    auto graph = std::make_shared<OwnedGraph>();
    graph->record = record;
    auto own = [&graph](std::span<const float>& values) {
        graph->values.emplace_back(values.begin(), values.end());
        values = graph->values.back();
    };
    for (GraphSeries& series : graph->record.series) {
        own(series.xValues);
        own(series.yValues);
    }
    for (GraphFitLine& fit : graph->record.fits) own(fit.yValues);
    return graph;
}

}  // namespace

std::vector<SpikeFileResult> spikeCountParallel(
    const SpikeParams& params, std::span<const std::string> paths, MessageSink& messages,
    const SpikeRunOptions& runOptions,
    const std::function<void(const std::string& path, const std::string& text)>& onResult,
    const SpikeParallelOptions& options) {
    std::vector<SpikeFileResult> results(paths.size());

    ParallelRecordingsPlan plan;
    plan.count = paths.size();
    plan.jobs = options.jobs;
    plan.saveAnswer = options.saveAnswer;
    plan.analyse = [&](RecordingAttempt& a) {
        RecordingMessages& said = a.messages;
        SpikeRunOptions o = runOptions;
        o.outputs = &a.outputs;
        // Console lines go where they would have gone, in their place.
        o.console = [&said, &runOptions](std::string_view text) {
            said.later([line = std::string(text), &runOptions] {
                if (runOptions.console) {
                    runOptions.console(line);
                } else {
                    std::fputs(line.c_str(), stdout);
                }
            });
        };
        // The F/I figure is drawn by the calling thread from a copy of its record.
        if (runOptions.showFiPlots) {
            o.showFiPlots = [&said, &runOptions](GraphRecord& record, const std::string& path) {
                said.later([graph = ownedCopy(record), path, &runOptions] {
                    runOptions.showFiPlots(graph->record, path);
                });
            };
        }
        auto result = [&said, &onResult](const std::string& path, const std::string& text) {
            if (onResult) said.later([path, text, &onResult] { onResult(path, text); });
        };
        ProgressRecord progress;
        std::vector<SpikeFileResult> one;
        spikeCountSelection(params, paths.subspan(a.index, 1), progress, said, o, result, false, &one);
        results[a.index] = one.empty() ? SpikeFileResult{} : std::move(one.front());
    };
    std::size_t committed = 0;
    plan.committed = [&](std::size_t index) {
        ++committed;
        if (!options.showProgress) return;
        std::fputs(parallelProgressLine(committed, paths.size(), paths[index], results[index].ok).c_str(),
                   stderr);
        std::fflush(stderr);
    };
    runParallelRecordings(plan, messages);
    return results;
}

}  // namespace ephys
