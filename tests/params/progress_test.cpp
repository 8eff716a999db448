#include "params/progress.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace ephys {
namespace {

struct RecordingView : ProgressView {
    std::vector<ProgressSnapshot> seen;
    void update(const ProgressSnapshot& s) override { seen.push_back(s); }
};

TEST(Progress, UpdateShowsACopyThroughTheView) {
    ProgressRecord record;
    progressUpdate(record);  // no view: nothing happens, nothing breaks
    RecordingView view;
    record.view = &view;
    record.line1 = "Detecting";
    record.line2 = "Frame #  3, Event#7";
    record.percent = 140;
    progressUpdate(record);
    ASSERT_EQ(view.seen.size(), 1u);
    EXPECT_EQ(view.seen[0].line1, "Detecting");
    EXPECT_EQ(view.seen[0].line2, "Frame #  3, Event#7");
    EXPECT_EQ(view.seen[0].percent, 100);
    EXPECT_FALSE(view.seen[0].showLine2);
}

TEST(Progress, PressStoresTheButtonAndWakesOneWaiter) {
    ProgressRecord record;
    progressPress(record, kProgressCancel);  // no event: only the identifier
    EXPECT_EQ(record.pressedButton.load(), kProgressCancel);

    record.buttonEvent = std::make_shared<AutoResetEvent>();
    record.pressedButton = 0;
    std::thread worker([&] { record.buttonEvent->wait(); });
    progressPress(record, kProgressExtraButton1);
    worker.join();
    EXPECT_EQ(record.pressedButton.load(), kProgressExtraButton1);
    // The wake-up used the signal up: the event is reset again.
    EXPECT_FALSE(record.buttonEvent->tryTake());
    EXPECT_FALSE(record.buttonEvent->waitFor(std::chrono::milliseconds(1)));
    record.buttonEvent->set();
    EXPECT_TRUE(record.buttonEvent->tryTake());
}

}  // namespace
}  // namespace ephys
