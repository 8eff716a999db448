#include "psc/psc_parallel.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>

#include "params/parallel_recordings.h"
#include "params/progress.h"

namespace ephys {

namespace {

// What one recording hands on to the next: everything of the record but the detector's state,
// which every recording starts afresh.
PscParameters carried(const PscParameters& p) {
    PscParameters c;
    static_cast<PscSettings&>(c) = p;
    static_cast<PscRecordingLayout&>(c) = p;
    static_cast<PscDisplayState&>(c) = p;
    return c;
}

// The same value in every row of the parameter table.
bool sameSettings(const PscSettings& a, const PscSettings& b) {
    PscSettings x = a;
    PscSettings y = b;
    ParamTable tx, ty;
    SilentMessageSink silent;
    pscBuildParamTable(x, tx, silent);
    pscBuildParamTable(y, ty, silent);
    return paramSameValues(tx, ty);
}

// The records the recordings start from and end with.
class SettingsChain {
  public:
    SettingsChain(const PscParameters& first, std::size_t count)
        : first_(carried(first)), handedOn_(count), final_(count), started_(count) {}

    // What recording `index` starts from beside the others: what the one before handed on.
    PscParameters startBeside(std::size_t index) {
        if (index == 0) return first_;
        std::unique_lock lock(mutex_);
        handed_.wait(lock, [&] { return handedOn_[index - 1].has_value(); });
        return *handedOn_[index - 1];
    }
    // What it starts from after the earlier recordings: what the one before finally left.
    PscParameters startAfter(std::size_t index) {
        if (index == 0) return first_;
        const std::lock_guard lock(mutex_);
        return *final_[index - 1];
    }
    void handOn(std::size_t index, const PscParameters& p) {
        {
            const std::lock_guard lock(mutex_);
            handedOn_[index] = carried(p);
        }
        handed_.notify_all();
    }
    void finish(std::size_t index, const PscParameters& p) {
        const std::lock_guard lock(mutex_);
        final_[index] = carried(p);
    }
    void started(std::size_t index, const PscSettings& s) {
        const std::lock_guard lock(mutex_);
        started_[index] = s;
    }
    // Whether the recording's last attempt started from the settings the one before finally left.
    bool startedAlike(std::size_t index) {
        const std::lock_guard lock(mutex_);
        const PscSettings& before = index == 0 ? first_ : *final_[index - 1];
        return started_[index] && sameSettings(*started_[index], before);
    }

  private:
    const PscParameters first_;
    std::mutex mutex_;
    std::condition_variable handed_;
    std::vector<std::optional<PscParameters>> handedOn_;
    std::vector<std::optional<PscParameters>> final_;
    std::vector<std::optional<PscSettings>> started_;
};

}  // namespace

std::vector<PscRecordingOutcome> pscRunRecordingsParallel(const PscParameters& params,
                                                          const std::vector<std::string>& files,
                                                          const std::optional<std::string>& frames,
                                                          MessageSink& messages,
                                                          const PscParallelOptions& options) {
    std::vector<PscRecordingOutcome> outcomes(files.size());
    SettingsChain chain(params, files.size());

    ParallelRecordingsPlan plan;
    plan.count = files.size();
    plan.jobs = options.jobs;
    plan.saveAnswer = options.saveAnswer;
    plan.analyse = [&](RecordingAttempt& a) {
        const std::size_t k = a.index;
        PscParameters p = a.afterEarlier ? chain.startAfter(k) : chain.startBeside(k);
        chain.started(k, p);
        bool handedOn = false;
        try {
            ParamTable table;
            SilentMessageSink silent;
            pscBuildParamTable(p, table, silent);
            ProgressRecord progress;
            PscRun run(p, progress, a.messages);
            if (options.configure) options.configure(run);
            run.withButtonEvent = false;
            run.detectionStarts = [&](const PscParameters& fitted) {
                if (handedOn) return;
                chain.handOn(k, fitted);
                handedOn = true;
            };
            run.outputs = std::move(a.outputs);
            std::vector<PscRecordingOutcome> one = pscRunRecordings(run, table, {files[k]}, frames);
            a.outputs = std::move(run.outputs);
            if (!one.empty()) outcomes[k] = std::move(one.front());
        } catch (...) {
            // The next recording waits for what this one hands on and leaves.
            if (!handedOn) chain.handOn(k, p);
            chain.finish(k, p);
            throw;
        }
        if (!handedOn) chain.handOn(k, p);
        chain.finish(k, p);
    };
    plan.startedAlike = [&](const RecordingAttempt& a) { return chain.startedAlike(a.index); };
    std::size_t committed = 0;
    plan.committed = [&](std::size_t index) {
        ++committed;
        if (!options.showProgress) return;
        const bool done = outcomes[index].state == PscRecordingOutcome::State::Done;
        std::fputs(parallelProgressLine(committed, files.size(), files[index], done).c_str(), stderr);
        std::fflush(stderr);
    };
    runParallelRecordings(plan, messages);
    return outcomes;
}

}  // namespace ephys
