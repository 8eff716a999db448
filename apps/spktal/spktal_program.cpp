#include "spktal/spktal_program.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "params/messages.h"
#include "params/progress.h"
#include "shell/file_arguments.h"
#include "shell/graph_window.h"
#include "shell/progress_window.h"
#include "shell/pumping_progress.h"
#include "shell/qt_messages.h"
#include "spike/spike_count.h"

namespace ephys {

namespace {

// The F/I graph window closes by itself after this time unless the right button was pressed in it.
constexpr int kFiAutoCloseMs = 5000;

}  // namespace

SpktalProgram::SpktalProgram() {
    QtMessageSink buildMessages;
    spikeBuildParamTable(params_, table_, buildMessages);

    ShellSettings s;
    s.programName = "SPKTAL";
    s.windowWidth = 500;
    s.windowHeight = 250;
    s.dialogTitle = "Spike Detector";
    s.progressTitle = "Detecting Spikes";
    s.dialogWidthFactor = 220;
    s.hasOpenButton = true;
    s.fileExtension = "skw";
    s.fileDescription = "SPKTAL";
    s.defaultMainWindowMode = 'N';
    s.defaultDataDirectory = homeDirectory() + "/lab";
    s.aboutMenuText = "&About Spktal...";
    s.aboutTitle = "Windows Spike Detector";
    s.run = [this](MainWindow& w, std::string& text) { return run(w, text); };
    s.commandLine = [this](MainWindow& w, const std::vector<std::string>& files) {
        takeCommandLine(w, files);
    };
    window_ = std::make_unique<MainWindow>(std::move(s), table_);
}

SpktalProgram::~SpktalProgram() = default;

bool SpktalProgram::run(MainWindow& w, std::string& resultText) {
    ProgressRecord& progress = w.progress();
    ProgressWindow& box = w.progressWindow();
    box.hide();
    // Only the progress window and the windows the run opens take input until the run is over.
    const RunInputHold hold(w, box);
    PumpingProgressView pumping(box);
    progress.view = &pumping;
    const auto closeBox = [&] {
        box.hide();
        progress.boxOpen = 0;
    };

    SpikeRunOptions options;
    // The F/I figure: the progress window goes away, the graph window stays 5 s (or, after a
    // right-button press, until it is closed) and the run waits for it; then the progress window
    // is back for the rest of the recording.
    options.showFiPlots = [&box](GraphRecord& record, const std::string&) {
        box.hide();
        graphShow(record, kFiAutoCloseMs);
        box.show();
        box.raise();
    };
    // Every recording in turn, each with a progress window of its own that starts from nothing
    // of the one before (its texts are set before the window opens) and is gone before a failed
    // recording says so; the next one is counted all the same.
    options.recordingStarts = [&](const std::string& path) {
        spikeStartProgress(progress, path);
        progress.pressedButton.store(0);
        box.open();
    };
    options.recordingEnds = closeBox;

    // Each result text goes to the clipboard (and into the status box when that is on).
    std::string lastText;
    const bool ok = spikeCountSelection(
        params_, w.selection, progress, w.messages(), options,
        [&](const std::string&, const std::string& text) {
            QGuiApplication::clipboard()->setText(QString::fromStdString(text));
            lastText = text;
        },
        w.dialog().statusBoxOn != 0);
    closeBox();
    progress.view = &box;
    resultText = lastText;
    return ok;
}

void SpktalProgram::takeCommandLine(MainWindow& w, const std::vector<std::string>& files) {
    // Every recording named is counted on its own; anything else is refused.
    for (const std::string& argument : files) {
        if (!argumentHasExtension(argument, ".abf")) {
            w.messages().show(MessageKind::Information, "This is not an ABF File!!", argument);
            continue;
        }
        w.selection = {argumentAbsolutePath(argument)};
        w.singleFile = true;
        w.fileTitle = std::filesystem::path(argument).filename().string();
        std::string text;
        if (run(w, text)) w.setCaption(text);
    }
    w.postCommand(kCommandExit);
}

}  // namespace ephys
