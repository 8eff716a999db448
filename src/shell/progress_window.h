// The progress box of the desktop programs: a small frameless tool window captioned "Progress"
// with two status lines, a percentage bar and a row of buttons ("&Cancel" and up to four more
// that steer a detection run step by step). It shows a ProgressRecord; a run may update it from
// a worker thread, and a button press only writes the record and signals its event.
#pragma once

#include <QFrame>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <mutex>
#include <optional>

#include "params/progress.h"

class QLabel;

namespace ephys {

// The percentage bar: filled to the percentage in the bar colour, the label "42 % " centred,
// drawn in the background colour over the filled part and in the bar colour over the rest.
class ProgressBarWidget final : public QFrame {
  public:
    ProgressBarWidget(QWidget* parent, QColor barColor, QColor backColor);
    void setPercent(int percent);
    int percent() const { return percent_; }
    // Where the fill ends, in pixels from the left of the inner area (rounded like MulDiv).
    static int fillWidth(int percent, int width);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int percent_ = 0;
    QColor barColor_;
    QColor backColor_;
};

class ProgressWindow final : public QWidget, public ProgressView {
    Q_OBJECT

  public:
    // Builds the box hidden and attaches it to the record as its view.
    ProgressWindow(ProgressRecord& record, QWidget* owner = nullptr);
    ~ProgressWindow() override;

    // From any thread: on another thread the snapshot is copied and shown later by the GUI thread
    // (only the newest of several pending snapshots is shown).
    void update(const ProgressSnapshot& snapshot) override;
    // Shows and raises the box and starts it at 1 %.
    void open();
    // Opens the box for a new run, or the next recording of one: both status lines empty and
    // the stepping buttons put away, so that nothing the previous work left in the record shows.
    void openFresh();

    // The snapshot on display (tests, and the status line of the main window).
    const ProgressSnapshot& shown() const { return shown_; }
    int textHeight() const { return textHeight_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void apply(const ProgressSnapshot& snapshot);
    void applyPending();
    void layoutButtons(const ProgressSnapshot& snapshot);

    ProgressRecord& record_;
    QLabel* line1_ = nullptr;
    QLabel* line2_ = nullptr;
    ProgressBarWidget* bar_ = nullptr;
    std::array<QPushButton*, 4> extra_{};
    QPushButton* cancel_ = nullptr;
    int textHeight_ = 0;
    int buttonsTop_ = 0;
    int buttonHeight_ = 0;
    int cancelWidth_ = 0;
    ProgressSnapshot shown_;
    int focusRequestsSeen_ = -1;

    std::mutex pendingMutex_;
    std::optional<ProgressSnapshot> pending_;
    bool queued_ = false;

    QPoint dragOffset_;
    bool dragging_ = false;
};

}  // namespace ephys
