#include "params/parallel_recordings.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace ephys {

int parallelJobCount(int requested) {
    if (requested > 0) return requested;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::string parallelProgressLine(std::size_t finished, std::size_t count, std::string_view recording,
                                 bool done) {
    const int percent = count == 0 ? 100 : static_cast<int>(finished * 100 / count);
    char head[96];
    std::snprintf(head, sizeof head, "%3d %% Recording %zu of %zu %s: ", percent, finished, count,
                  done ? "done" : "failed");
    std::string line(head);
    line.append(recording).append("\n");
    return line;
}

void RecordingMessages::show(MessageKind kind, std::string_view caption, std::string_view text) {
    Entry e;
    e.kind = kind;
    e.caption = caption;
    e.text = text;
    entries_.push_back(std::move(e));
}

bool RecordingMessages::confirmSaveName(std::string& path, std::string_view description,
                                        std::string_view extension) {
    Entry e;
    e.what = Entry::Kind::SaveName;
    e.caption = description;
    e.text = path;
    e.extension = extension;
    entries_.push_back(std::move(e));
    return saveAnswer_;
}

void RecordingMessages::later(std::function<void()> action) {
    Entry e;
    e.what = Entry::Kind::Action;
    e.action = std::move(action);
    entries_.push_back(std::move(e));
}

void RecordingMessages::replay(MessageSink& target) {
    for (Entry& e : entries_) {
        switch (e.what) {
            case Entry::Kind::Message:
                target.show(e.kind, e.caption, e.text);
                break;
            case Entry::Kind::SaveName:
                target.confirmSaveName(e.text, e.caption, e.extension);
                break;
            case Entry::Kind::Action:
                if (e.action) e.action();
                break;
        }
    }
    entries_.clear();
}

bool paramSameValues(const ParamTable& a, const ParamTable& b) {
    if (a.rows.size() != b.rows.size()) return false;
    for (std::size_t i = 0; i < a.rows.size(); ++i) {
        const ParamRow& x = a.rows[i];
        const ParamRow& y = b.rows[i];
        if (x.kind() != y.kind()) return false;
        switch (x.kind()) {
            case PK_TEXT:
                if (x.text() != y.text()) return false;
                break;
            case PK_INT:
            case PK_BOOL:
                if (x.integer() != y.integer()) return false;
                break;
            case PK_FLOAT:
                if (std::memcmp(&x.real(), &y.real(), sizeof(float)) != 0) return false;
                break;
            case PK_CHOICE:
            case PK_YESNO:
                if (x.letter() != y.letter()) return false;
                break;
            default:
                break;
        }
    }
    return true;
}

namespace {

// The run's shared state: whose turn it is to put outputs in place, the outputs of the run so
// far, and the finished recordings waiting to be said.
class Sequencer {
  public:
    explicit Sequencer(const ParallelRecordingsPlan& plan) : plan_(plan), finished_(plan.count) {}

    void work() {
        for (;;) {
            std::size_t index = 0;
            {
                const std::lock_guard lock(mutex_);
                if (next_ >= plan_.count) return;
                index = next_++;
            }
            analyse(index, false);
        }
    }

    // Says the recordings' messages in list order as they become final.
    void commitAll(MessageSink& target) {
        for (std::size_t index = 0; index < plan_.count; ++index) {
            std::unique_ptr<RecordingAttempt> attempt;
            std::exception_ptr failure;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return finished_[index].has_value(); });
                attempt = std::move(finished_[index]->attempt);
                failure = finished_[index]->failure;
                finished_[index].reset();
            }
            if (failure) std::rethrow_exception(failure);
            attempt->messages.replay(target);
            if (plan_.committed) plan_.committed(index);
        }
    }

  private:
    struct Finished {
        std::unique_ptr<RecordingAttempt> attempt;
        std::exception_ptr failure;
    };

    // One attempt at a recording; a second one, after the earlier recordings, when the first did
    // not meet what they left.
    void analyse(std::size_t index, bool afterEarlier) {
        auto attempt = std::make_unique<RecordingAttempt>(plan_.saveAnswer);
        attempt->index = index;
        attempt->afterEarlier = afterEarlier;
        {
            const std::lock_guard lock(mutex_);
            attempt->outputs.startFrom(runOutputs_);
        }
        RecordingAttempt* a = attempt.get();
        attempt->outputs.beforePublishing = [this, a](RunOutputs& outputs) { return settle(*a, outputs); };
        std::exception_ptr failure;
        try {
            plan_.analyse(*attempt);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure && !attempt->dropped && !attempt->settled) settle(*attempt, attempt->outputs);
        if (!failure && attempt->dropped) {
            // Holds the turn: the earlier recordings are all done, the later ones wait for this one.
            analyse(index, true);
            return;
        }
        attempt->outputs.beforePublishing = nullptr;
        std::unique_lock lock(mutex_);
        // Recordings become final in list order: one that failed before taking its turn (an
        // exception out of the analysis) still waits for the recordings before it.
        changed_.wait(lock, [&] { return done_ == index; });
        finished_[index] = Finished{std::move(attempt), failure};
        ++done_;
        changed_.notify_all();
    }

    // Waits until every earlier recording is done, then decides: the attempt's outputs join the
    // run's (true), or the attempt is dropped (false).
    bool settle(RecordingAttempt& a, RunOutputs& outputs) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return done_ == a.index; });
        // An attempt after the earlier recordings is the run one after the other itself.
        const bool alike = a.afterEarlier || (outputs.agreesWith(runOutputs_) &&
                                              (!plan_.startedAlike || plan_.startedAlike(a)));
        if (!alike) {
            a.dropped = true;
            return false;
        }
        outputs.addTo(runOutputs_);
        a.settled = true;
        return true;
    }

    const ParallelRecordingsPlan& plan_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    std::size_t done_ = 0;  // recordings 0 .. done_ - 1 are final
    RunOutputs runOutputs_;
    std::vector<std::optional<Finished>> finished_;
};

}  // namespace

void runParallelRecordings(const ParallelRecordingsPlan& plan, MessageSink& target) {
    if (plan.count == 0) return;
    Sequencer sequencer(plan);
    const std::size_t workers =
        std::min<std::size_t>(plan.count, static_cast<std::size_t>(std::max(1, plan.jobs)));
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) threads.emplace_back([&sequencer] { sequencer.work(); });
    sequencer.commitAll(target);
}

}  // namespace ephys
