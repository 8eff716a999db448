// The desktop programs' message channel: error boxes, warnings, "Parameter Error" boxes and
// completion notes as Qt message boxes, and the save-name question of an output file as a save
// dialog. Both may be called from a worker thread: the call then waits for the GUI thread.
#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "params/messages.h"

namespace ephys {

// Text bytes as the GUI shows them: UTF-8, or Latin-1 when the bytes are not valid UTF-8.
QString qtTextFromBytes(std::string_view bytes);
// The bytes of a text typed into a widget (UTF-8).
std::string qtBytesFromText(const QString& text);

// A font of the named face (kept as given, e.g. "comic sans ms") at a pixel height. Where the
// face is not installed the fallback is a plain sans-serif face, not whatever the font system
// would pick for the name.
QFont qtFontFromFace(std::string_view face, int pixelHeight);

class QtMessageSink final : public MessageSink {
  public:
    explicit QtMessageSink(QWidget* parent = nullptr);
    ~QtMessageSink() override;

    // Error box: OK only, no icon; plain error, warning and "Parameter Error": warning icon;
    // information: information icon. From another thread the call blocks until the box is closed.
    void show(MessageKind kind, std::string_view caption, std::string_view text) override;
    // A save-file dialog with the filter "<description> (*.<extension>)", opened on `path`,
    // asking before it replaces a file. False when the user cancels.
    bool confirmSaveName(std::string& path, std::string_view description,
                         std::string_view extension) override;

    // Tests: when set, messages go here instead of a box (and save questions are answered by
    // saveAnswer).
    std::function<void(MessageKind, const std::string& caption, const std::string& text)> intercept;
    bool saveAnswer = true;

  private:
    void showOnGuiThread(MessageKind kind, const std::string& caption, const std::string& text);
    bool askOnGuiThread(std::string& path, const std::string& description, const std::string& extension);
    // Runs `work` on the GUI thread, waiting for it when called from another thread.
    void runOnGuiThread(const std::function<void()>& work);

    QPointer<QWidget> parent_;
    std::unique_ptr<QObject> anchor_;  // lives in the GUI thread; queued calls are delivered to it
};

}  // namespace ephys
