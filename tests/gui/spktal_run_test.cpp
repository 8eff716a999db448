// Runs of spktal and swg on the GUI thread, as the desktop programs make them: started with the
// parameter dialog's Go (the settings stay as the run found them, the F/I graph window takes the
// mouse, the program goes on after it), the progress window of each recording, and the box that
// says spktal is ending.
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "params/profile_file.h"
#include "shell/argument_bytes.h"
#include "shell/graph_window.h"
#include "shell/main_window.h"
#include "shell/param_dialog.h"
#include "shell/progress_window.h"
#include "shell/qt_messages.h"
#include "spktal/desktop_spktal.h"
#include "spktal/spktal_program.h"
#include "swg/swg_program.h"

namespace fs = std::filesystem;
using namespace ephys;

namespace {

constexpr int kFlowTimeoutMs = 60000;  // the machine is slow and shared
constexpr int kFlowDone = 42;

std::string iniOf(const char* program) {
    return std::string(qgetenv("XDG_CONFIG_HOME").constData()) + "/" + program + ".ini";
}

template <class Window>
Window* visibleTopLevel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<Window*>(w); found != nullptr && found->isVisible()) return found;
    return nullptr;
}

bool dialogIsUp() {
    return visibleTopLevel<ParamDialog>() != nullptr;
}

bool graphIsUp() {
    return visibleTopLevel<GraphWindow>() != nullptr;
}

QPushButton* button(QWidget& parent, int id) {
    return parent.findChild<QPushButton*>(QString::number(id));
}

// A click that comes from the window system: it reaches the widget only when no modal window
// blocks the window it is in.
void systemClick(QWidget& widget, Qt::MouseButton which = Qt::LeftButton) {
    QWidget* window = widget.window();
    QTest::mouseClick(window->windowHandle(), which, {}, widget.mapTo(window, widget.rect().center()));
}

// Three sweeps of 200 ms at 50 us, -60 mV with 2, 3 and 4 spikes to +20 mV after the counting
// onset (100 ms), under a current step that grows by 50 pA from sweep to sweep: F/I points in
// every series.
std::string writeSpikingRecording(const std::string& path) {
    AbfWriteSpec layout;
    layout.sweepCount = 3;
    layout.samplesPerSweep = 4000;
    layout.startDate = 20260101;
    layout.channels = {{0, "Vm", "mV", 0.1, 0.0}};
    layout.dacs[0].units = "pA";
    layout.dacs[0].epochs = {{AbfEpochType::Step, 100.0, 50.0, 3900, 0}};
    std::vector<std::int16_t> samples;
    for (int sweep = 0; sweep < 3; ++sweep) {
        std::vector<std::int16_t> trace(4000, -600);
        for (int k = 0; k < sweep + 2; ++k)
            for (int i = 0; i < 3; ++i) trace[static_cast<std::size_t>(2200 + 400 * k + i)] = 200;
        samples.insert(samples.end(), trace.begin(), trace.end());
    }
    return writeAbfFile(path, layout, {samples}) ? path : std::string();
}

// Keeps the messages a program shows, so that no box waits for a click.
struct Captured {
    std::vector<std::string> captions;
    std::vector<std::string> texts;
    std::function<void(const std::string& caption)> onShow;
    void attach(MainWindow& w) {
        w.messages().intercept = [this](MessageKind, const std::string& caption, const std::string& text) {
            captions.push_back(caption);
            texts.push_back(text);
            if (onShow) onShow(caption);
        };
        w.onQuit = [] {};
    }
};

// Runs the application's event loop (as the desktop program does) until a step ends it with
// kFlowDone or the time is up.
int runFlow() {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    watchdog.start(kFlowTimeoutMs);
    return QCoreApplication::exec();
}

// Calls `act` once, from the event loop, as soon as `ready` holds (also from within a run that
// lets the event loop go on, or from the event loop of a window the run waits for).
class WhenReady : public QObject {
  public:
    WhenReady(std::function<bool()> ready, std::function<void()> act)
        : ready_(std::move(ready)), act_(std::move(act)) {
        timer_.setInterval(0);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (!ready_()) return;
            timer_.stop();
            act_();
        });
        timer_.start();
    }

  private:
    std::function<bool()> ready_;
    std::function<void()> act_;
    QTimer timer_;
};

// Notes when the progress window is shown and hidden, with the status lines it shows then.
class ProgressWatch : public QObject {
  public:
    explicit ProgressWatch(ProgressWindow& box, std::vector<std::string>& log) : box_(box), log_(log) {
        box.installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            log_.push_back("show " + box_.shown().line1 + (box_.shown().line2.empty() ? "" : " +status"));
        if (event->type() == QEvent::Hide) log_.push_back("hide");
        return false;
    }

  private:
    ProgressWindow& box_;
    std::vector<std::string>& log_;
};

}  // namespace

class SpktalRunTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        for (const char* name : {"SPKTAL", "SWG"}) fs::remove(iniOf(name));
        scratch_ = std::make_unique<QTemporaryDir>();
        QVERIFY(scratch_->isValid());
        dir_ = scratch_->path().toStdString();
        recording_ = writeSpikingRecording(dir_ + "/cell.abf");
        QVERIFY(!recording_.empty());
        // A parameter file that changes the settings of both programs when it is read.
        readFile_ = dir_ + "/changed.skw";
        ProfileFile changed;
        changed.set("Parameters", "Spike detection threshold (mV)", "42");
        changed.set("Parameters", "Number of Samples", "4096");
        QVERIFY(changed.save(readFile_));
        setParamFileChooser(
            [this](QWidget*, bool, const DialogRecord&, const std::string&) { return readFile_; });
        MainWindow::setFileChooser(
            [this](QWidget*, const QString&) { return QStringList{QString::fromStdString(recording_)}; });
    }
    void cleanup() {
        setParamFileChooser({});
        MainWindow::setFileChooser({});
        QDir::setCurrent(QDir::tempPath());
        scratch_.reset();
    }

    void spktalDialogGoKeepsTheSettingsAndOnlyTheProgressWindowTakesInput() {
        writeIni("SPKTAL", 'N');
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        askForFiPlots(spk);
        ProgressWindow& box = spk.window().progressWindow();

        float thresholdAfterRead = 0, thresholdAfterOk = 0, thresholdAfterRun = 0, thresholdLater = 0;
        int pressedInBox = 0;
        bool dialogStaysAfterOk = false, dialogAfterRun = false;
        ParamDialog* dialog = nullptr;
        // While the run shows its progress: Read in the dialog, Cancel in the progress window.
        const auto whileCounting = [&] {
            QTest::mouseClick(button(*dialog, kDialogRead), Qt::LeftButton);
            thresholdAfterRead = spk.params().threshold;
            systemClick(*button(box, kProgressCancel));
            pressedInBox = spk.window().progress().pressedButton.load();
        };
        // While the run waits for its F/I graph: Read and OK in the dialog.
        const auto whileGraphShows = [&] {
            QTest::mouseClick(button(*dialog, kDialogRead), Qt::LeftButton);
            QTest::mouseClick(button(*dialog, kDialogOk), Qt::LeftButton);
            thresholdAfterOk = spk.params().threshold;
            dialogStaysAfterOk = dialog->isVisible();
            visibleTopLevel<GraphWindow>()->close();
        };
        WhenReady counting([&] { return spk.window().runActive() && box.isVisible(); }, whileCounting);
        WhenReady graphShows(graphIsUp, whileGraphShows);
        WhenReady dialogUp(dialogIsUp, [&] {
            dialog = visibleTopLevel<ParamDialog>();
            QTest::mouseClick(button(*dialog, kDialogGo), Qt::LeftButton);
            // The run is over: the dialog is back and takes its buttons again.
            dialogAfterRun = dialog->isVisible();
            thresholdAfterRun = spk.params().threshold;
            QTest::mouseClick(button(*dialog, kDialogRead), Qt::LeftButton);
            thresholdLater = spk.params().threshold;
            QCoreApplication::exit(kFlowDone);
        });
        QCOMPARE(runFlow(), kFlowDone);

        QCOMPARE(thresholdAfterRead, -25.0f);
        QCOMPARE(thresholdAfterOk, -25.0f);
        QVERIFY(dialogStaysAfterOk);
        QCOMPARE(pressedInBox, kProgressCancel);
        QVERIFY(dialogAfterRun);
        QCOMPARE(thresholdAfterRun, -25.0f);
        QCOMPARE(thresholdLater, 42.0f);
    }

    void swgDialogGoKeepsTheSettings() {
        writeIni("SWG", 'N');
        SwgProgram swg;
        Captured captured;
        captured.attach(swg.window());
        swg.start({});
        ProgressWindow& box = swg.window().progressWindow();

        std::int32_t samplesDuringRun = 0, samplesAfterRun = 0, samplesLater = 0;
        int pressedInBox = 0;
        ParamDialog* dialog = nullptr;
        const auto whileGenerating = [&] {
            QTest::mouseClick(button(*dialog, kDialogRead), Qt::LeftButton);
            QTest::mouseClick(button(*dialog, kDialogOk), Qt::LeftButton);
            samplesDuringRun = swg.params().sampleCount;
            systemClick(*button(box, kProgressCancel));
            pressedInBox = swg.window().progress().pressedButton.load();
        };
        WhenReady generating([&] { return swg.window().runActive() && box.isVisible(); }, whileGenerating);
        WhenReady dialogUp(dialogIsUp, [&] {
            dialog = visibleTopLevel<ParamDialog>();
            QTest::mouseClick(button(*dialog, kDialogGo), Qt::LeftButton);
            samplesAfterRun = swg.params().sampleCount;
            QTest::mouseClick(button(*dialog, kDialogRead), Qt::LeftButton);
            samplesLater = swg.params().sampleCount;
            QCoreApplication::exit(kFlowDone);
        });
        QCOMPARE(runFlow(), kFlowDone);

        QVERIFY(!swg.lastFile().empty());
        QCOMPARE(samplesDuringRun, 2048);
        QCOMPARE(pressedInBox, kProgressCancel);
        QCOMPARE(samplesAfterRun, 2048);
        QCOMPARE(samplesLater, 4096);
    }

    void fiGraphOfADialogRunTakesTheRightButtonAndItsCommands() {
        writeIni("SPKTAL", 'N');
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        askForFiPlots(spk);
        const std::string plotFile = dir_ + "/fi.txt";
        QApplication::clipboard()->clear();

        bool keptOpen = false, popupShown = false, graphClosed = false;
        QByteArray copiedSvg;
        const auto useTheGraph = [&] {
            GraphWindow& graph = *visibleTopLevel<GraphWindow>();
            graph.setFileChooser([&](QWidget*, const std::string&) { return plotFile; });
            QMenu& menu = *graph.popupMenu();
            // The right button, then a command of the popup menu, both as the window system sends them.
            const auto choose = [&](int command) {
                systemClick(graph, Qt::RightButton);
                if (!menu.isVisible()) return false;
                QAction* action = menu.findChild<QAction*>(QString::number(command));
                QTest::mouseClick(menu.windowHandle(), Qt::LeftButton, {},
                                  menu.actionGeometry(action).center());
                return true;
            };
            popupShown = choose(kGraphWritePlotFile);
            keptOpen = !graph.autoClosePending();
            if (choose(kGraphCopy) && QApplication::clipboard()->mimeData() != nullptr)
                copiedSvg = QApplication::clipboard()->mimeData()->data("image/svg+xml");
            graphClosed = choose(kGraphStopPlotting) && !graph.isVisible();
            if (graph.isVisible()) graph.close();
        };
        WhenReady graphShows(graphIsUp, useTheGraph);
        WhenReady dialogUp(dialogIsUp, [&] {
            QTest::mouseClick(button(*visibleTopLevel<ParamDialog>(), kDialogGo), Qt::LeftButton);
            QCoreApplication::exit(kFlowDone);
        });
        QCOMPARE(runFlow(), kFlowDone);

        QVERIFY(popupShown);
        QVERIFY(keptOpen);
        std::ifstream written(plotFile);
        const std::string table((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
        QVERIFY2(table.find("Stimulus current\tFrequency (Hz)") != std::string::npos, table.c_str());
        QVERIFY(copiedSvg.contains("<svg"));
        QVERIFY(graphClosed);
    }

    void programGoesOnToTheDialogAfterTheFiGraphClosesByItself() {
        // Mode N: no main window. The graph window closes after its 5 s and is then the last
        // window of the program's own; the run ends and the dialog is still there.
        writeIni("SPKTAL", 'N');
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        askForFiPlots(spk);

        bool graphSeen = false, dialogBack = false;
        WhenReady graphShows(graphIsUp, [&] { graphSeen = true; });
        WhenReady dialogUp(dialogIsUp, [&] {
            QTest::mouseClick(button(*visibleTopLevel<ParamDialog>(), kDialogGo), Qt::LeftButton);
            // Whatever the event loop has still to do after the graph window is gone, then look.
            QTimer::singleShot(300, [&] {
                dialogBack = visibleTopLevel<ParamDialog>() != nullptr && !spk.window().quitRequested();
                QCoreApplication::exit(kFlowDone);
            });
        });
        QCOMPARE(runFlow(), kFlowDone);
        QVERIFY(graphSeen);
        QVERIFY(dialogBack);
    }

    void eachRecordingHasItsOwnProgressWindowWithFreshTexts() {
        writeIni("SPKTAL", 'O', true);
        const std::string second = writeSpikingRecording(dir_ + "/next.abf");
        const std::string broken = dir_ + "/broken.abf";
        std::ofstream(broken) << "not a recording";
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        askForFiPlots(spk);
        ProgressWindow& box = spk.window().progressWindow();
        std::vector<std::string> log;
        ProgressWatch watch(box, log);
        captured.onShow = [&](const std::string& caption) {
            if (caption == "Spike Detector" || caption == "Error")
                log.push_back(caption + (box.isVisible() ? " over progress" : ""));
        };
        // Each F/I graph window is closed as soon as it is up.
        QTimer graphs;
        graphs.setInterval(0);
        QObject::connect(&graphs, &QTimer::timeout, [&] {
            if (GraphWindow* graph = visibleTopLevel<GraphWindow>()) {
                log.push_back("graph");
                graph->close();
            }
        });
        graphs.start();

        spk.window().selection = {recording_, broken, second};
        spk.window().commandGo();
        const std::vector<std::string> expected = {
            "show cell.abf",
            "hide",
            "graph",
            "show cell.abf +status",
            "Spike Detector over progress",
            "hide",
            "show broken.abf",
            "hide",
            "Error",  // after the reason the recording could not be opened
            "show next.abf",
            "hide",
            "graph",
            "show next.abf +status",
            "Spike Detector over progress",
            "hide"};
        std::vector<std::string> withoutReasons;
        for (const std::string& entry : log)
            if (entry != "Error over progress") withoutReasons.push_back(entry);
        QCOMPARE(withoutReasons, expected);
        QVERIFY(!box.isVisible());

        // The next run starts afresh too: the first thing it shows is its own recording.
        log.clear();
        spk.window().selection = {recording_};
        spk.window().commandGo();
        QVERIFY(!log.empty());
        QCOMPARE(log.front(), std::string("show cell.abf"));
    }

    void desktopSpktalSaysItIsEndingWhenItsWindowGoes() {
        writeIni("SPKTAL", 'O');
        Captured desktopMessages, embeddedMessages;
        {
            SpktalProgram embedded;  // the program without the desktop around it says nothing
            embeddedMessages.attach(embedded.window());
            DesktopSpktal spk;
            desktopMessages.attach(spk.window());
            spk.start({});
            spk.window().commandExit();
            QVERIFY(spk.window().quitRequested());
            QVERIFY(desktopMessages.captions.empty());
        }
        QCOMPARE(desktopMessages.captions, std::vector<std::string>{"endingnow"});
        QCOMPARE(desktopMessages.texts, std::vector<std::string>{"endining"});
        QVERIFY(embeddedMessages.captions.empty());
    }

    void laterRecordingOfARunNeverReplacesAnEarlierOnesOutputs() {
        writeIni("SPKTAL", 'O');
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        // The same recording twice in one run: its outputs are written for the first, and the
        // second, whose outputs would take the same names, fails with a message.
        spk.window().selection = {recording_, recording_};
        spk.window().commandGo();
        bool named = false;
        for (const std::string& text : captured.texts)
            named = named || text.find("is already an output of " + recording_) != std::string::npos;
        QVERIFY2(named, "the clash is named");
        QVERIFY(std::find(captured.texts.begin(), captured.texts.end(), "Error in Spkcensus") !=
                captured.texts.end());
    }

    void commandLineRecordingWhoseNameIsNotUtf8IsCountedUnderThatName() {
        // The name as the file system spells it: "\xff" is never part of UTF-8.
        const std::string odd = dir_ + "/cell_\xff.abf";
        fs::rename(recording_, odd);
        std::string program = "spktal", argument = odd;
        char* argv[] = {program.data(), argument.data()};
        QCommandLineParser parser;
        parser.addPositionalArgument("FILE", "recordings");
        QVERIFY(parser.parse(QStringList{"spktal", QString::fromLocal8Bit(argument.c_str())}));
        const std::vector<std::string> files = ArgumentBytes(2, argv).positional(parser);
        QCOMPARE(files, std::vector<std::string>{odd});

        writeIni("SPKTAL", 'O');
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.params().newNameFormat = 'Y';
        spk.start(files);
        WhenReady done([&] { return spk.window().quitRequested(); },
                       [] { QCoreApplication::exit(kFlowDone); });
        QCOMPARE(runFlow(), kFlowDone);
        QVERIFY2(fs::exists(dir_ + "/cell_\xffV.prn"), "the outputs are named after the recording");
        QVERIFY(std::find(captured.texts.begin(), captured.texts.end(), "Error in Spkcensus") ==
                captured.texts.end());
        // Qt's own clean-up of the scratch folder cannot spell these names.
        std::vector<fs::path> oddNames;
        for (const fs::directory_entry& e : fs::directory_iterator(dir_))
            if (e.path().filename().string().find('\xff') != std::string::npos) oddNames.push_back(e.path());
        for (const fs::path& p : oddNames) fs::remove(p);
    }

  private:
    void writeIni(const char* program, char mode, bool statusBox = false) {
        ProfileFile ini;
        ini.set("General", "MainWindow", std::string(1, mode));
        ini.set("General", "StatusBoxOn", statusBox ? "1" : "0");
        ini.set("General", "Data Directory", dir_);
        QVERIFY(ini.save(iniOf(program)));
    }
    static void askForFiPlots(SpktalProgram& spk) {
        spk.params().doFrequencies = 'Y';
        spk.params().fiPlots = 'Y';
        spk.params().intervalToMeasure = 1;
    }

    std::unique_ptr<QTemporaryDir> scratch_;
    std::string dir_;
    std::string recording_;
    std::string readFile_;
};

int main(int argc, char* argv[]) {
    // Settings and data folders of the programs go into a scratch home before anything reads them.
    QTemporaryDir home;
    if (!home.isValid()) return 1;
    const QByteArray homePath = home.path().toLocal8Bit();
    const QByteArray config = (home.path() + "/config").toLocal8Bit();
    setenv("HOME", homePath.constData(), 1);
    setenv("XDG_CONFIG_HOME", config.constData(), 1);
    QDir().mkpath(home.path() + "/config");
    QApplication app(argc, argv);
    SpktalRunTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "spktal_run_test.moc"
