#include "params/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ephys {

void AutoResetEvent::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
}

bool AutoResetEvent::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
}

bool AutoResetEvent::tryTake() {
    std::lock_guard lock(mutex_);
    bool was = signalled_;
    signalled_ = false;
    return was;
}

void progressUpdate(ProgressRecord& record) {
    if (record.view == nullptr) return;
    ProgressSnapshot s;
    s.percent = std::clamp(record.percent, 0, 100);
    s.line1 = record.line1;
    s.line2 = record.line2;
    s.showLine1 = record.showLine1 != 0;
    s.showLine2 = record.showLine2 != 0;
    s.showCancel = record.showCancel != 0;
    s.hasExtraButtons = record.hasExtraButtons != 0;
    s.extraButtonCount = std::clamp(record.extraButtonCount, 1, 4);
    s.extraCaptions = record.extraCaptions;
    s.focusRequests = record.focusRequests;
    record.view->update(s);
}

void progressLayoutButtons(ProgressRecord& record) {
    progressUpdate(record);
}

void progressPress(ProgressRecord& record, int buttonId) {
    record.pressedButton.store(buttonId);
    if (record.buttonEvent) record.buttonEvent->set();
}

StderrProgressView::StderrProgressView(bool quiet) : quiet_(quiet), terminal_(::isatty(STDERR_FILENO) != 0) {}

StderrProgressView::~StderrProgressView() {
    if (barShown_) std::fputs("\n", stderr);
}

void StderrProgressView::update(const ProgressSnapshot& s) {
    if (quiet_) return;
    std::string text = s.showLine1 ? s.line1 : std::string();
    if (s.showLine2 && !s.line2.empty()) text += (text.empty() ? "" : " - ") + s.line2;
    if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = s.percent * kWidth / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        if (text.size() > 60) text.resize(60);
        std::fprintf(stderr, "\r[%s] %3d %% %-60s", bar.c_str(), s.percent, text.c_str());
        std::fflush(stderr);
        barShown_ = true;
        return;
    }
    // A new first line or another tenth of the way; the second line (a frame counter, say) alone
    // does not make a new log line.
    const int decile = s.percent / 10;
    const std::string& heading = s.showLine1 ? s.line1 : text;
    if (heading == lastText_ && decile == lastDecile_) return;
    lastText_ = heading;
    lastDecile_ = decile;
    std::fprintf(stderr, "%3d %% %s\n", s.percent, text.c_str());
}

}  // namespace ephys
