// The progress record shared by a run and the progress box: the run writes the percentage and
// the two status lines and calls progressUpdate; the box writes the identifier of a pressed
// button and signals the record's event. The record knows nothing of windows: the desktop
// programs attach a view that shows it, batch mode one that prints to standard error.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace ephys {

// Control identifiers of the progress box.
inline constexpr int kProgressLine1 = 33000;
inline constexpr int kProgressLine2 = 33001;
inline constexpr int kProgressExtraButton1 = 33004;  // 33004 .. 33007: the extra buttons
inline constexpr int kProgressCancel = 33008;
inline constexpr int kProgressBar = 33012;

// An event that resets itself when a waiter takes it (one press, one wake-up).
class AutoResetEvent {
  public:
    void set();
    void wait();
    // False when the time ran out without the event being set.
    bool waitFor(std::chrono::milliseconds timeout);
    // Takes the event if it is set, without waiting.
    bool tryTake();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// What a view is given to show: a copy, so that the view may hand it to another thread.
struct ProgressSnapshot {
    int percent = 0;
    std::string line1;
    std::string line2;
    bool showLine1 = true;
    bool showLine2 = false;
    // The button row: "&Cancel" and, with extra buttons, the first extraButtonCount of them.
    bool showCancel = true;
    bool hasExtraButtons = false;
    int extraButtonCount = 4;
    std::array<std::string, 4> extraCaptions;
    // Counts the requests to give the keyboard focus to the first extra button.
    int focusRequests = 0;
};

class ProgressView {
  public:
    virtual ~ProgressView() = default;
    // Called by progressUpdate, from whichever thread runs the work.
    virtual void update(const ProgressSnapshot& snapshot) = 0;
};

struct ProgressRecord {
    int fontHeight = 16;
    std::string line1 = "FancyDialog";
    std::string line2 = "Line 2";
    int showLine1 = 1;
    int showLine2 = 0;
    int boxOpen = 1;
    int showCancel = 1;
    int boxX = 15, boxY = 15, boxWidth = 220, boxHeight = 70;
    float barMargin = 0.1f;
    float barTop = 0.5f;
    float barHeight = 0.2f;
    int buttonWidth = 50;
    int buttonHeight = 14;
    std::string fontFace = "MS Sans Serif";
    std::uint32_t barColor = 0x0000FF;   // 0xRRGGBB: pure blue
    std::uint32_t backColor = 0xFFFFFF;  // white
    std::atomic<int> pressedButton{0};   // last pressed button, 0 = none
    int hasExtraButtons = 0;
    std::shared_ptr<AutoResetEvent> buttonEvent;  // signalled on every press when set
    std::array<std::string, 4> extraCaptions{"&OK", "&Swps on", "&Epis on", "&Display"};
    int extraButtonCount = 4;
    int percent = 1;
    int focusRequests = 0;  // raised to move the keyboard focus to the first extra button

    ProgressView* view = nullptr;  // nothing is shown without one
};

// Shows the percentage and the two lines through the attached view.
void progressUpdate(ProgressRecord& record);

// Places the button row after hasExtraButtons, extraButtonCount or the captions changed (the
// view shows the record's buttons with every update; this is an update that says so).
void progressLayoutButtons(ProgressRecord& record);

// A button of the box was pressed: store its identifier and signal the event when there is one.
void progressPress(ProgressRecord& record, int buttonId);

// The batch view: a bar redrawn in place on a terminal, otherwise one line per new first status
// line and per 10 % of progress, so that logs stay short.
class StderrProgressView final : public ProgressView {
  public:
    explicit StderrProgressView(bool quiet = false);
    ~StderrProgressView() override;
    void update(const ProgressSnapshot& snapshot) override;

  private:
    bool quiet_;
    bool terminal_;
    bool barShown_ = false;
    int lastDecile_ = -1;
    std::string lastText_;
};

}  // namespace ephys
