#include "psctrawl/psctrawl_program.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QTimer>

#include <functional>
#include <utility>

#include "params/c_numbers.h"
#include "params/param_files.h"
#include "params/profile_file.h"
#include "params/progress.h"
#include "psc/recording_frames.h"
#include "psc/run_driver.h"
#include "psc/sweep_control.h"
#include "psctrawl/psc_live_view.h"
#include "shell/display_surface.h"
#include "shell/file_arguments.h"
#include "shell/progress_window.h"
#include "shell/qt_messages.h"

namespace ephys {

namespace {

// How often a stop request presses Cancel again while the worker goes on (the press may land
// between two recordings, where the next recording clears it).
constexpr int kStopRepeatMs = 100;

// The detector choice is kept in the ini file in a section of its own, beside the [Parameters]
// of the table: it is a run option, not a parameter.
constexpr std::string_view kDetectorSection = "Detector";
constexpr std::string_view kDetectorKey = "Detector";
// The mains hum the model detectors take out: "auto" (50 or 60 Hz, where found), "50", "60" or
// "0" (none).
constexpr std::string_view kHumKey = "Mains hum";

// Runs `work` on the GUI thread and waits for it (the worker's only way to touch widgets).
void onGuiThread(QObject* context, const std::function<void()>& work) {
    QMetaObject::invokeMethod(context, work, Qt::BlockingQueuedConnection);
}

}  // namespace

PsctrawlProgram::PsctrawlProgram(std::vector<std::string> helpFolders) {
    QtMessageSink buildMessages;
    pscBuildParamTable(params_, table_, buildMessages);
    // No recording yet: the frame list is empty until one is chosen.
    params_.frames.clear();
    window_ = std::make_unique<MainWindow>(settings(std::move(helpFolders)), table_);
    display_ = new DisplaySurface(window_.get());
    liveView_ = std::make_unique<PscLiveView>(*display_, params_);
    window_->setCentralWidget(display_);
    stopTimer_ = new QTimer(window_.get());
    stopTimer_->setInterval(kStopRepeatMs);
    QObject::connect(stopTimer_, &QTimer::timeout, window_.get(), [this] {
        if (running_.load()) progressPress(window_->progress(), kProgressCancel);
    });
    readDetectorChoice();
    buildDetectorMenu();
}

// The settings file the choices are kept in. The window learns its path only when it starts,
// after the menu is built from what the file holds.
std::string PsctrawlProgram::detectorIniPath() const {
    return iniFilePath(window_->settings().programName);
}

void PsctrawlProgram::readDetectorChoice() {
    const Result<ProfileFile> profile = ProfileFile::load(detectorIniPath());
    if (!profile || profile->holdsBinary()) return;
    const std::optional<std::string> name = profile->get(kDetectorSection, kDetectorKey);
    PscDetectorKind kind = PscDetectorKind::Slope;
    if (name && pscParseDetector(*name, kind)) params_.detector = kind;
    const std::optional<std::string> hum = profile->get(kDetectorSection, kHumKey);
    if (hum == "50" || hum == "60" || hum == "0") params_.humHz = static_cast<float>(cAtof(*hum));
}

void PsctrawlProgram::saveDetectorChoice() {
    const std::string path = detectorIniPath();
    const Result<ProfileFile> read = ProfileFile::load(path);
    if (!read || read->holdsBinary()) return;  // an unreadable file is left alone
    ProfileFile profile = *read;
    profile.set(kDetectorSection, kDetectorKey, pscDetectorName(params_.detector));
    profile.set(kDetectorSection, kHumKey,
                params_.humHz == static_cast<float>(kPscHumSearch) ? std::string("auto")
                                                                   : formatFixed(params_.humHz, 0));
    const Result<void> saved = profile.save(path);
    if (!saved) window_->messages().errorBox("Could not write " + path + ": " + saved.error().text());
}

void PsctrawlProgram::buildDetectorMenu() {
    // Before Help, the last menu of the bar.
    QMenu* menu = new QMenu("&Detector", window_.get());
    const QList<QAction*> bar = window_->menuBar()->actions();
    window_->menuBar()->insertMenu(bar.isEmpty() ? nullptr : bar.back(), menu);
    // A group of checkable items, one per value of a record's field; choosing one sets the field
    // and keeps it in the settings file.
    auto addChoices = [this, menu](auto& field, const auto& choices) {
        auto* group = new QActionGroup(menu);
        for (const auto& [value, text] : choices) {
            QAction* action = menu->addAction(text);
            action->setCheckable(true);
            action->setChecked(field == value);
            group->addAction(action);
            QObject::connect(action, &QAction::triggered, window_.get(), [this, &field, value] {
                if (running_.load() || field == value) return;
                field = value;
                saveDetectorChoice();
            });
        }
    };
    const std::pair<PscDetectorKind, const char*> detectors[] = {
        {PscDetectorKind::Slope, "&Slope trigger (dI/dt)"},
        {PscDetectorKind::Deconvolution, "D&econvolution by the event template"},
        {PscDetectorKind::Template, "&Template fit (sliding, scaled)"}};
    addChoices(params_.detector, detectors);
    // What the model detectors do with mains hum.
    menu->addSeparator();
    const std::pair<float, const char*> hums[] = {
        {static_cast<float>(kPscHumSearch), "Mains hum: &find 50 or 60 Hz and take it out"},
        {50.0f, "Mains hum: take &50 Hz out"},
        {60.0f, "Mains hum: take &60 Hz out"},
        {0.0f, "Mains hum: &leave it in"}};
    addChoices(params_.humHz, hums);
    // No change while a run goes on: the worker reads the choice.
    QObject::connect(menu, &QMenu::aboutToShow, menu, [this, menu] {
        for (QAction* action : menu->actions()) action->setEnabled(!running_.load());
    });
}

PsctrawlProgram::~PsctrawlProgram() {
    if (worker_.joinable()) {
        // The worker may wait for the GUI thread (a message box, the progress window): keep the
        // events going until it has left.
        stopRequested_.store(true);
        while (!workerDone_.load()) {
            progressPress(window_->progress(), kProgressCancel);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        if (worker_.joinable()) worker_.join();
    }
}

ShellSettings PsctrawlProgram::settings(std::vector<std::string> helpFolders) {
    ShellSettings s;
    s.programName = "PSCTRAWL";
    s.windowWidth = 1200;
    s.windowHeight = 900;
    s.dialogTitle = "PSC Detector";
    s.progressTitle = "Detecting PSCs";
    s.dialogWidthFactor = 240;
    s.hasOpenButton = true;
    s.closeOnGo = true;
    s.closeOnOpen = true;
    s.editAfterOpenUnlessOn = true;
    s.fileExtension = "pcw";
    s.fileDescription = "PSCTRAWL";
    s.defaultMainWindowMode = 'H';
    s.defaultDataDirectory = homeDirectory() + "/lab";
    s.mainWindowChoice = "MainWindow:On,HideInEdit";
    s.mainWindowKeys = "OH";
    s.helpPage = "psctrawl.html";
    s.helpSearchPaths = std::move(helpFolders);
    s.aboutMenuText = "About PSCTRAWL...";
    s.aboutTitle = "PSC Detector, Version 1.9";
    s.cancelInHiddenModeQuits = true;
    s.afterOpen = [this](MainWindow& w) { selectFiles(w); };
    s.startRun = [this](MainWindow& w) { startRun(w); };
    s.stopRun = [this](MainWindow&) { stopRun(); };
    s.commandLine = [this](MainWindow& w, const std::vector<std::string>& files) {
        takeCommandLine(w, files);
    };
    s.beforeEdit = [this](MainWindow&) {
        editFrameLength_ = params_.frameLengthSetting;
        editOverride_ = params_.overrideFrameLength;
    };
    s.afterEdit = [this](MainWindow& w) {
        // A new frame length cuts the recording into other frames: read its header again.
        const bool changed =
            editFrameLength_ != params_.frameLengthSetting || editOverride_ != params_.overrideFrameLength;
        if (changed && w.singleFile && !w.selection.empty()) {
            if (GetInfo(params_, w.selection.front(), w.messages())) {
                pscSetFramesLimits(table_, params_.frameCount);
            }
        }
    };
    return s;
}

void PsctrawlProgram::selectFiles(MainWindow& w) {
    // One recording: its header is read now, so that the dialog's "Frames" shows its frames.
    if (w.singleFile) {
        const bool read = GetInfo(params_, w.selection.front(), w.messages());
        params_.recordingInfoRead = read ? 1 : 0;
        params_.autoScaling = 'T';
        if (read) pscSetFramesLimits(table_, params_.frameCount);
    } else {
        params_.recordingInfoRead = 0;
    }
}

void PsctrawlProgram::takeCommandLine(MainWindow& w, const std::vector<std::string>& files) {
    // The arguments are the selection, as a multiple selection: each header is read by the run.
    w.selection.clear();
    for (const std::string& name : files) w.selection.push_back(argumentAbsolutePath(name));
    w.singleFile = false;
    w.fileTitle = files.front();
    w.startedFromCommandLine = true;
    params_.recordingInfoRead = 0;
    // The live display needs the window.
    w.show();
    w.setCaption();
    w.setGoEnabled(true);
    if (argumentHasExtension(files.front(), ".abf")) {
        w.postCommand(kCommandGo);
    } else {
        w.messages().show(MessageKind::Information, "This is not an ABF File!!", files.front());
    }
}

void PsctrawlProgram::startRun(MainWindow& w) {
    if (worker_.joinable()) worker_.join();
    runFiles_ = w.selection;
    runSingle_ = w.singleFile;
    runStatusBox_ = w.dialog().statusBoxOn;
    params_.detectorStarted = 0;
    stopRequested_.store(false);
    running_.store(true);
    workerDone_.store(false);
    worker_ = std::thread([this] { runWorker(); });
}

void PsctrawlProgram::stopRun() {
    if (!running_.load()) return;
    stopRequested_.store(true);
    progressPress(window_->progress(), kProgressCancel);
    stopTimer_->start();
}

void PsctrawlProgram::runWorker() {
    MainWindow& w = *window_;
    QtMessageSink& messages = w.messages();
    PscRun run(params_, w.progress(), messages);
    run.withButtonEvent = true;
    liveView_->attach(run);
    if (prepareRun) prepareRun(run);

    for (const std::string& file : runFiles_) {
        if (stopRequested_.load()) break;
        // Every recording of a multiple selection starts with its header unread and scaling T.
        if (!runSingle_) {
            params_.recordingInfoRead = 0;
            params_.autoScaling = 'T';
        }
        onGuiThread(&w, [this, &w] {
            // Each recording starts from fresh texts, the mode buttons named after the modes
            // it starts in (the user may have switched them during the last run or since).
            pscLabelStepButtons(params_, w.progress());
            w.progressWindow().openFresh();
        });
        const std::vector<PscRecordingOutcome> outcomes = pscRunRecordings(run, table_, {file});
        onGuiThread(&w, [&w] { w.progressWindow().hide(); });
        // A recording that failed has had its "Error in PscTrawl" from the run.
        if (outcomes.empty() || outcomes.front().state != PscRecordingOutcome::State::Done) continue;
        if (stopRequested_.load()) break;
        const std::string title = QFileInfo(QString::fromStdString(file)).fileName().toStdString();
        onGuiThread(&w, [&w, &title] {
            w.setWindowTitle(QString::fromStdString(w.settings().programName + " - " + title + "->Done"));
        });
        if (runStatusBox_ != 0)
            messages.show(MessageKind::Information, "PSC Detector", outcomes.front().completionText);
    }
    workerDone_.store(true);
    QMetaObject::invokeMethod(
        &w, [this] { finishRun(); }, Qt::QueuedConnection);
}

void PsctrawlProgram::finishRun() {
    if (worker_.joinable()) worker_.join();
    stopTimer_->stop();
    running_.store(false);
    window_->runFinished();
}

}  // namespace ephys
