// Recordings analysed several at once become final in list order, whatever order the workers
// finish in, also when one of them fails with an exception.
#include "params/parallel_recordings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace ephys {
namespace {

// Later recordings finish first (earlier ones take longer); every recording says its number.
ParallelRecordingsPlan slowFirstPlan(std::size_t count, int jobs) {
    ParallelRecordingsPlan plan;
    plan.count = count;
    plan.jobs = jobs;
    plan.analyse = [count](RecordingAttempt& a) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * static_cast<int>(count - a.index)));
        a.messages.show(MessageKind::Information, "", std::to_string(a.index));
    };
    return plan;
}

TEST(ParallelRecordings, MessagesAndCommitsFollowTheListOrderWhateverFinishesFirst) {
    CapturedMessages said;
    std::vector<std::size_t> committed;
    ParallelRecordingsPlan plan = slowFirstPlan(5, 3);
    plan.committed = [&](std::size_t index) { committed.push_back(index); };
    runParallelRecordings(plan, said);
    ASSERT_EQ(said.entries().size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(said.entries()[i].text, std::to_string(i));
    EXPECT_EQ(committed, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(ParallelRecordings, ARecordingThatThrowsBeforeAnEarlierOneIsDoneNeitherHangsNorJumpsTheQueue) {
    // Recording 1 fails at once while recording 0 is still being analysed. It must still wait
    // for recording 0: counting it final first would leave recording 0 waiting for a turn that
    // has passed.
    CapturedMessages said;
    std::vector<std::size_t> committed;
    ParallelRecordingsPlan plan = slowFirstPlan(3, 3);
    const auto analyse = plan.analyse;
    plan.analyse = [analyse](RecordingAttempt& a) {
        if (a.index == 1) throw std::runtime_error("recording 1 failed");
        analyse(a);
    };
    plan.committed = [&](std::size_t index) { committed.push_back(index); };
    EXPECT_THROW(runParallelRecordings(plan, said), std::runtime_error);
    // Recording 0 was said and committed before the failure reached the caller.
    ASSERT_EQ(said.entries().size(), 1u);
    EXPECT_EQ(said.entries()[0].text, "0");
    EXPECT_EQ(committed, (std::vector<std::size_t>{0}));
}

}  // namespace
}  // namespace ephys
