// Runs on the GUI thread (spktal, swg). PumpingProgressView passes every update on to the progress
// window and then lets the event loop run, so that the window paints while the run goes on.
// RunInputHold keeps the user's hands off everything else meanwhile: a run started with the
// parameter dialog's Go runs inside that dialog's event loop, and without the hold a click on the
// dialog's Read, OK or Go, or on a menu, would be carried out in the middle of the run.
#pragma once

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <vector>

#include "params/progress.h"

namespace ephys {

class PumpingProgressView final : public ProgressView {
  public:
    explicit PumpingProgressView(ProgressView& shown) : shown_(shown) {}
    void update(const ProgressSnapshot& snapshot) override {
        shown_.update(snapshot);
        QCoreApplication::processEvents();
    }

  private:
    ProgressView& shown_;
};

// For as long as it lives, the main window (with its menus and keys) and every window that was
// up when it was made (the parameter dialog) take no user input: their clicks, keys, shortcuts,
// wheel turns and close requests are dropped, so the settings stay as the run found them. The
// progress window takes input: it is application-modal whenever it is shown meanwhile, which also
// lifts the block that a modal parameter dialog puts on every other window. So do the windows
// the run opens itself (message boxes, the F/I graph window). Make it while the progress window
// is hidden and hide the progress window before it goes.
class RunInputHold final : public QObject {
  public:
    RunInputHold(QWidget& mainWindow, QWidget& progressWindow) : progress_(progressWindow) {
        held_.emplace_back(&mainWindow);
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window != &progressWindow && window != &mainWindow && window->isVisible())
                held_.emplace_back(window);
        const bool shown = progress_.isVisible();
        if (shown) progress_.hide();  // a window's modality takes effect when it is shown
        progress_.setWindowModality(Qt::ApplicationModal);
        if (shown) progress_.show();
        qApp->installEventFilter(this);
    }
    ~RunInputHold() override {
        qApp->removeEventFilter(this);
        const bool shown = progress_.isVisible();
        if (shown) progress_.hide();
        progress_.setWindowModality(Qt::NonModal);
        if (shown) progress_.show();
    }
    RunInputHold(const RunInputHold&) = delete;
    RunInputHold& operator=(const RunInputHold&) = delete;

  protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        return isUserInput(*event) && isHeld(receiver);
    }

  private:
    static bool isUserInput(const QEvent& event) {
        switch (event.type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::NonClientAreaMouseButtonPress:
            case QEvent::NonClientAreaMouseButtonRelease:
            case QEvent::NonClientAreaMouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::ContextMenu:
            case QEvent::InputMethod:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::TouchCancel:
            case QEvent::TabletPress:
            case QEvent::TabletMove:
            case QEvent::TabletRelease:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
                return true;
            case QEvent::Close:
                // The close box (the window system's request); the program's own close() passes.
                return event.spontaneous();
            default:
                return false;
        }
    }

    bool isHeldWindow(const QWidget* window) const {
        return std::any_of(held_.begin(), held_.end(),
                           [window](const QPointer<QWidget>& held) { return held.data() == window; });
    }

    bool isHeld(QObject* receiver) const {
        if (receiver->isWidgetType()) return isHeldWindow(static_cast<QWidget*>(receiver)->window());
        // Input from the window system reaches a window's QWindow first.
        if (auto* handle = qobject_cast<QWindow*>(receiver))
            return std::any_of(held_.begin(), held_.end(), [handle](const QPointer<QWidget>& held) {
                return held && held->windowHandle() == handle;
            });
        // A menu command's key arrives at its action.
        if (auto* action = qobject_cast<QAction*>(receiver)) {
            const QObjectList owners = action->associatedObjects();
            return std::any_of(owners.begin(), owners.end(), [this](QObject* owner) {
                return owner->isWidgetType() && isHeldWindow(static_cast<QWidget*>(owner)->window());
            });
        }
        return false;
    }

    std::vector<QPointer<QWidget>> held_;
    QWidget& progress_;
};

}  // namespace ephys
