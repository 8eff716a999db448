#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>

#include <utility>

#include "params/progress.h"
#include "shell/graph_window.h"
#include "shell/programs.h"
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
    s.commandLine = [this](MainWindow& w, const QStringList& args) { takeCommandLine(w, args); };
    window_ = std::make_unique<MainWindow>(std::move(s), table_);
}

SpktalProgram::~SpktalProgram() = default;

bool SpktalProgram::run(MainWindow& w, std::string& resultText) {
    ProgressRecord& progress = w.progress();
    PumpingProgressView pumping(w.progressWindow());
    progress.view = &pumping;
    w.progressWindow().open();
    std::string lastText;
    SpikeRunOptions options;
    // The F/I figure: the progress window goes away, the graph window stays 5 s (or, after a
    // right-button press, until it is closed) and the run waits for it.
    options.showFiPlots = [&w](GraphRecord& record, const std::string&) {
        w.progressWindow().hide();
        graphShow(record, kFiAutoCloseMs);
    };
    const bool ok = spikeCountSelection(
        params_, w.selection, progress, w.messages(), options,
        [&lastText](const std::string&, const std::string& text) {
            QGuiApplication::clipboard()->setText(QString::fromStdString(text));
            lastText = text;
        },
        w.dialog().statusBoxOn != 0);
    w.progressWindow().hide();
    progress.view = &w.progressWindow();
    resultText = lastText;
    return ok;
}

void SpktalProgram::takeCommandLine(MainWindow& w, const QStringList& arguments) {
    // Every recording named is counted on its own; anything else is refused.
    for (const QString& argument : arguments) {
        if (!argumentHasExtension(argument, ".abf")) {
            w.messages().show(MessageKind::Information, "This is not an ABF File!!", argument.toStdString());
            continue;
        }
        const QFileInfo file(argument);
        w.selection = {file.absoluteFilePath().toStdString()};
        w.singleFile = true;
        w.fileTitle = file.fileName().toStdString();
        std::string text;
        if (run(w, text)) w.setCaption(text);
    }
    w.postCommand(kCommandExit);
}

}  // namespace ephys
