// The desktop shell of the three programs: the ini file a first start leaves, the preferences
// read back, the parameter dialog in mode N, and psctrawl's run on its worker thread steered by
// the progress window's buttons.
#include <stdlib.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "params/param_files.h"
#include "params/profile_file.h"
#include "psc/psc_outputs.h"
#include "psc/run_driver.h"
#include "psctrawl/psctrawl_program.h"
#include "shell/main_window.h"
#include "shell/param_dialog.h"
#include "shell/progress_window.h"
#include "shell/qt_messages.h"
#include "spktal/spktal_program.h"
#include "swg/swg_program.h"

namespace fs = std::filesystem;
using namespace ephys;

namespace {

constexpr int kLongWait = 60000;  // the machine is slow and shared

ParamDialog* visibleParamDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<ParamDialog*>(w); dialog != nullptr && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

QPushButton* button(QWidget* parent, const char* id) {
    return parent->findChild<QPushButton*>(id);
}

// Keeps the messages a program shows, so that no box waits for a click.
struct Captured {
    std::vector<std::string> captions;
    std::vector<std::string> texts;
    void attach(MainWindow& w) {
        w.messages().intercept = [this](MessageKind, const std::string& caption, const std::string& text) {
            captions.push_back(caption);
            texts.push_back(text);
        };
        w.onQuit = [] {};
    }
};

// Polls for the parameter dialog while a test waits, and hands each appearance to `act`.
struct DialogWatcher {
    QTimer timer;
    int seen = 0;
    ParamDialog* last = nullptr;
    explicit DialogWatcher(std::function<void(ParamDialog&, int)> act) {
        timer.setInterval(50);
        QObject::connect(&timer, &QTimer::timeout, [this, act] {
            ParamDialog* dialog = visibleParamDialog();
            // A dialog is acted on once; the mark lives on the dialog itself, since the next one
            // may well sit at the same address.
            if (dialog == nullptr || dialog->property("watched").toBool()) return;
            dialog->setProperty("watched", true);
            last = dialog;
            act(*dialog, seen++);
        });
        timer.start();
    }
};

// A gap-free recording of `frames` frames of 256 samples, frame k holding 10 k pA.
std::string writeRecording(const std::string& dir, int frames) {
    std::vector<std::int16_t> raw(static_cast<std::size_t>(frames) * 256);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::int16_t>((i / 256 + 1) * 100);
    AbfWriteSpec layout;
    layout.mode = AbfWriteMode::GapFree;
    layout.totalSamples = static_cast<std::int64_t>(raw.size());
    layout.channels = {{0, "Im", "pA", 0.1, 0.0}};
    const std::string path = dir + "/cell.abf";
    if (!writeAbfFile(path, layout, {raw})) return {};
    return path;
}

// Where the run writes the event table of a recording (beside it).
std::string eventTableOf(const std::string& recording) {
    const PscOutputPaths paths = pscOutputPaths(recording, "");
    return pscTextOutputPath(paths.directory, paths.eventTableName);
}

// Keeps every snapshot the progress record sends, from whichever thread, and passes it on.
struct SnapshotLog final : ProgressView {
    explicit SnapshotLog(ProgressView& shown) : shown(shown) {}
    void update(const ProgressSnapshot& snapshot) override {
        {
            std::lock_guard lock(mutex);
            seen.push_back(snapshot);
        }
        shown.update(snapshot);
    }
    std::vector<ProgressSnapshot> taken() {
        std::lock_guard lock(mutex);
        return seen;
    }
    ProgressView& shown;
    std::mutex mutex;
    std::vector<ProgressSnapshot> seen;
};

std::string iniOf(const char* program) {
    return std::string(qgetenv("XDG_CONFIG_HOME").constData()) + "/" + program + ".ini";
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        for (const char* name : {"PSCTRAWL", "SPKTAL", "SWG"}) fs::remove(iniOf(name));
        MainWindow::setFileChooser([](QWidget*, const QString&) { return QStringList{}; });
        scratch_ = std::make_unique<QTemporaryDir>();
        QVERIFY(scratch_->isValid());
    }
    void cleanup() {
        QDir::setCurrent(QDir::tempPath());
        scratch_.reset();
    }

    void firstStartLeavesCompleteIni_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("dataDirectory");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("aParameter");
        QTest::newRow("psctrawl") << "PSCTRAWL"
                                  << "/lab"
                                  << "H"
                                  << "Frame length (samples)";
        QTest::newRow("spktal") << "SPKTAL"
                                << "/lab"
                                << "N"
                                << "Spike detection threshold (mV)";
        QTest::newRow("swg") << "SWG"
                             << "/data"
                             << "N"
                             << "Number of Samples";
    }
    void firstStartLeavesCompleteIni() {
        QFETCH(QString, program);
        QFETCH(QString, dataDirectory);
        QFETCH(QString, mode);
        QFETCH(QString, aParameter);
        const std::string ini = iniOf(program.toUtf8().constData());
        QVERIFY(!fs::exists(ini));
        {
            std::unique_ptr<PsctrawlProgram> psc;
            std::unique_ptr<SpktalProgram> spk;
            std::unique_ptr<SwgProgram> swg;
            MainWindow* w = nullptr;
            if (program == "PSCTRAWL") w = &(psc = std::make_unique<PsctrawlProgram>())->window();
            if (program == "SPKTAL") w = &(spk = std::make_unique<SpktalProgram>())->window();
            if (program == "SWG") w = &(swg = std::make_unique<SwgProgram>())->window();
            Captured captured;
            captured.attach(*w);
            w->start({});
            // Start-up writes the file before anything else happens; the posted Open is not run.
            QCOMPARE(w->iniPath(), ini);
            QVERIFY(!w->action(kCommandGo)->isEnabled());
            QCOMPARE(QString::fromStdString(w->caption()), program + " - (untitled)");
        }
        const ProfileFile written = ProfileFile::load(ini).valueOr(ProfileFile());
        QCOMPARE(written.get("General", "Font").value_or("?"), std::string("comic sans ms"));
        QCOMPARE(written.get("General", "Font size").value_or("?"), std::string("13"));
        QCOMPARE(written.get("General", "MessageBox").value_or("?"), std::string("0"));
        QCOMPARE(written.get("General", "MainWindow").value_or("?"), mode.toStdString());
        QCOMPARE(written.get("General", "Data Directory").value_or("?"),
                 homeDirectory() + dataDirectory.toStdString());
        // Without an ini file the status box starts off.
        QCOMPARE(written.get("General", "StatusBoxOn").value_or("?"), std::string("0"));
        QVERIFY(written.hasSection("Parameters"));
        QVERIFY(written.get("Parameters", aParameter.toStdString()).has_value());
    }

    void iniValuesAreReadBack() {
        // An existing file without StatusBoxOn turns it on; font size 0 means 13; a size of 26
        // scales spktal's dialog to 436 x 516.
        {
            ProfileFile ini;
            ini.set("General", "Font", "");
            ini.set("General", "Font size", "26");
            ini.set("General", "MainWindow", "O");
            ini.set("General", "MessageBox", "1");
            ini.set("General", "Data Directory", "/nowhere/at/all");
            ini.set("Parameters", "Spike detection threshold (mV)", "-12.5");
            QVERIFY(ini.save(iniOf("SPKTAL")));
        }
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        DialogRecord& d = spk.window().dialog();
        QCOMPARE(d.statusBoxOn, 1);
        QCOMPARE(d.fontFace, std::string("comic sans ms"));
        QCOMPARE(d.messageBoxOn, 1);
        QCOMPARE(d.mainWindowMode, 'O');
        QCOMPARE(d.dialogWidth, 436);
        QCOMPARE(d.dialogHeight, 516);
        QCOMPARE(spk.params().threshold, -12.5f);
        QCOMPARE(spk.window().dataDirectory, std::string("/nowhere/at/all"));
        // Mode O shows the window and posts nothing.
        QVERIFY(spk.window().isVisible());
        QCOMPARE(spk.window().openStartDirectory(), std::string("/"));
        // Go into a missing data directory says so and goes on.
        spk.window().enterDataDirectory();
        QCOMPARE(captured.texts.back(), std::string("Couln't find the data path"));
        QCOMPARE(captured.captions.back(), std::string("Exiting on error"));
        const ProfileFile written = ProfileFile::load(iniOf("SPKTAL")).valueOr(ProfileFile());
        QCOMPARE(written.get("General", "StatusBoxOn").value_or("?"), std::string("1"));
        QCOMPARE(written.get("General", "Font size").value_or("?"), std::string("26"));
    }

    void iniValuesOutsideTheirRowsKeepTheDefaultsWithOneMessage() {
        {
            ProfileFile ini;
            ini.set("General", "MainWindow", "O");
            ini.set("Parameters", "Max Spike Duration (ms)", "51");
            ini.set("Parameters", "Gap Free Frame Length (samples)", "1000000000");
            ini.set("Parameters", "Spike detection threshold (mV)", "-12.5");
            QVERIFY(ini.save(iniOf("SPKTAL")));
        }
        const SpikeParams defaults;
        auto parameterErrors = [](const Captured& captured) {
            std::vector<std::string> texts;
            for (std::size_t i = 0; i < captured.captions.size(); ++i)
                if (captured.captions[i] == "Parameter Error") texts.push_back(captured.texts[i]);
            return texts;
        };
        {
            SpktalProgram spk;
            Captured captured;
            captured.attach(spk.window());
            spk.start({});
            QCOMPARE(spk.params().threshold, -12.5f);
            QCOMPARE(spk.params().maxSpikeDuration, defaults.maxSpikeDuration);
            QCOMPARE(spk.params().gapFreeFrameLength, defaults.gapFreeFrameLength);
            const std::vector<std::string> errors = parameterErrors(captured);
            QCOMPARE(errors.size(), std::size_t{1});
            QCOMPARE(errors[0],
                     "Read from " + iniOf("SPKTAL") +
                         ":\nMax Spike Duration (ms)=51\nmust be a number between 0 and 50!"
                         "\nGap Free Frame Length (samples)=1000000000\nmust be an integer between 100 "
                         "and 100000!\nThese settings keep their defaults.");
        }
        // The defaults went back into the file, so the next start has nothing to say.
        SpktalProgram again;
        Captured captured;
        captured.attach(again.window());
        again.start({});
        QVERIFY(parameterErrors(captured).empty());
        QCOMPARE(again.params().threshold, -12.5f);
    }

    void binaryIniIsNotReadAndIsWrittenAfresh() {
        std::FILE* f = std::fopen(iniOf("SWG").c_str(), "wb");
        QVERIFY(f != nullptr);
        const char damaged[] = "[Parameters]\nNumber of Samples=30\n\0\0\x01\x02";
        std::fwrite(damaged, 1, sizeof damaged - 1, f);
        std::fclose(f);
        SwgProgram swg;
        Captured captured;
        captured.attach(swg.window());
        swg.start({});
        QCOMPARE(swg.params().sampleCount, 2048);
        QCOMPARE(captured.texts.size(), std::size_t{1});
        QCOMPARE(captured.texts[0],
                 iniOf("SWG") + " holds binary data, not settings; the defaults are used.");
        const ProfileFile written = ProfileFile::load(iniOf("SWG")).valueOr(ProfileFile());
        QVERIFY(!written.holdsBinary());
        QCOMPARE(written.get("Parameters", "Number of Samples").value_or("?"), std::string("2048"));
    }

    void menusCarryTheirIdentifiersAndKeys() {
        SpktalProgram spk;
        MainWindow& w = spk.window();
        QCOMPARE(w.objectName(), QString("SPKTAL"));
        QCOMPARE(w.action(kCommandOpen)->text(), QString("&Open..."));
        QCOMPARE(w.action(kCommandOpen)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(w.action(kCommandRead)->shortcuts(),
                 (QList<QKeySequence>{QKeySequence(Qt::ALT | Qt::Key_R), QKeySequence(Qt::Key_F8)}));
        QCOMPARE(w.action(kCommandSave)->shortcuts(),
                 (QList<QKeySequence>{QKeySequence(Qt::ALT | Qt::Key_S), QKeySequence(Qt::Key_F9)}));
        QCOMPARE(w.action(kCommandGo)->shortcut(), QKeySequence(Qt::Key_F10));
        QCOMPARE(w.action(kCommandAbout)->text(), QString("&About Spktal..."));
        QVERIFY(w.findChild<QAction*>("40028") == w.action(kCommandPrefs));
        PsctrawlProgram psc({EPHYS_SOURCE_DIR "/docs"});
        QCOMPARE(psc.window().action(kCommandAbout)->text(), QString("About PSCTRAWL..."));
        QCOMPARE(psc.window().size(), QSize(1200, 900));
        QCOMPARE(QString::fromStdString(psc.window().helpPagePath()),
                 QFileInfo(EPHYS_SOURCE_DIR "/docs/psctrawl.html").canonicalFilePath());
        // spktal has no help page yet and says so.
        Captured captured;
        captured.attach(w);
        w.commandHelp();
        QCOMPARE(captured.texts, std::vector<std::string>{"Help not yet implemented!"});
    }

    void modeNEditEndsWithExit() {
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        bool exitShown = false, okHidden = false, cancelHidden = false;
        DialogWatcher watcher([&](ParamDialog& dialog, int) {
            QPushButton* exit = button(&dialog, "50015");
            exitShown = exit != nullptr && exit->isVisible() && exit->text() == "E&xit";
            okHidden = button(&dialog, "50003") == nullptr || !button(&dialog, "50003")->isVisible();
            cancelHidden = button(&dialog, "50002") == nullptr || !button(&dialog, "50002")->isVisible();
            spk.params().threshold = -7.0f;
            dialog.rebuildPage();
            if (exit != nullptr) exit->click();
        });
        // Mode N: Open (cancelled) leads to the dialog; closing it ends the program.
        spk.start({});
        QTRY_VERIFY_WITH_TIMEOUT(spk.window().quitRequested(), kLongWait);
        QCOMPARE(watcher.seen, 1);
        QVERIFY(exitShown);
        QVERIFY(okHidden);
        QVERIFY(cancelHidden);
        QVERIFY(!spk.window().isVisible());
        // Leaving writes the parameters.
        const ProfileFile written = ProfileFile::load(iniOf("SPKTAL")).valueOr(ProfileFile());
        QCOMPARE(written.get("Parameters", "Spike detection threshold (mV)").value_or("?"),
                 std::string("-7"));
    }

    void detectorMenuChoicesAreKeptInTheIniFile() {
        // The Detector menu's detector and mains hum choices, checked as they are read back.
        auto menuAction = [](PsctrawlProgram& psc, const QString& text) -> QAction* {
            for (QAction* top : psc.window().menuBar()->actions())
                if (top->menu() != nullptr && top->text() == "&Detector")
                    for (QAction* a : top->menu()->actions())
                        if (a->text() == text) return a;
            return nullptr;
        };
        {
            PsctrawlProgram psc;
            Captured captured;
            captured.attach(psc.window());
            QVERIFY(menuAction(psc, "Mains hum: &find 50 or 60 Hz and take it out")->isChecked());
            QCOMPARE(psc.params().humHz, static_cast<float>(kPscHumSearch));
            menuAction(psc, "D&econvolution by the event template")->trigger();
            menuAction(psc, "Mains hum: take &60 Hz out")->trigger();
            QCOMPARE(psc.params().humHz, 60.0f);
            QVERIFY2(captured.texts.empty(), captured.texts.empty() ? "" : captured.texts.front().c_str());
        }
        const ProfileFile written = ProfileFile::load(iniOf("PSCTRAWL")).valueOr(ProfileFile());
        QCOMPARE(written.get("Detector", "Detector").value_or("?"), std::string("deconvolution"));
        QCOMPARE(written.get("Detector", "Mains hum").value_or("?"), std::string("60"));
        {
            PsctrawlProgram psc;
            Captured captured;
            captured.attach(psc.window());
            QCOMPARE(psc.params().detector, PscDetectorKind::Deconvolution);
            QCOMPARE(psc.params().humHz, 60.0f);
            QVERIFY(menuAction(psc, "Mains hum: take &60 Hz out")->isChecked());
            menuAction(psc, "Mains hum: &leave it in")->trigger();
            menuAction(psc, "&Slope trigger (dI/dt)")->trigger();
            QVERIFY2(captured.texts.empty(), captured.texts.empty() ? "" : captured.texts.front().c_str());
        }
        const ProfileFile back = ProfileFile::load(iniOf("PSCTRAWL")).valueOr(ProfileFile());
        QCOMPARE(back.get("Detector", "Mains hum").value_or("?"), std::string("0"));
        QCOMPARE(back.get("Detector", "Detector").value_or("?"), std::string("slope"));
    }

    void psctrawlGoFromDialogRunsAndComesBack() {
        const std::string recording = writeRecording(scratch_->path().toStdString(), 6);
        QVERIFY(!recording.empty());
        PsctrawlProgram psc;
        Captured captured;
        captured.attach(psc.window());
        prepareFreeRun(psc);
        MainWindow::setFileChooser(
            [recording](QWidget*, const QString&) { return QStringList{QString::fromStdString(recording)}; });
        std::vector<std::string> captionsAtDialog;
        DialogWatcher watcher([&](ParamDialog& dialog, int n) {
            captionsAtDialog.push_back(psc.window().caption());
            // First time Go; when the run has brought the dialog back, Cancel (mode H: the end).
            QPushButton* press = button(&dialog, n == 0 ? "50004" : "50002");
            if (press != nullptr) press->click();
        });
        psc.start({});  // mode H: Open is posted, then the dialog
        QTRY_VERIFY_WITH_TIMEOUT(psc.window().quitRequested(), kLongWait);
        QCOMPARE(watcher.seen, 2);
        QCOMPARE(captionsAtDialog.front(), std::string("PSCTRAWL - cell.abf"));
        QCOMPARE(captionsAtDialog.back(), std::string("PSCTRAWL - cell.abf->Done"));
        QVERIFY(!psc.running());
        // The "Frames" limits followed the recording, and its outputs were written.
        QCOMPARE(psc.params().frameCount, 6);
        QVERIFY(fs::exists(eventTableOf(recording)));
    }

    void cancelEndsTheRunWithoutOutputs() {
        const std::string recording = writeRecording(scratch_->path().toStdString(), 6);
        PsctrawlProgram psc;
        Captured captured;
        startTraceModeRun(psc, recording);
        ProgressWindow& box = psc.window().progressWindow();
        QTRY_VERIFY_WITH_TIMEOUT(box.isVisible() && box.shown().line1 == "Detecting", kLongWait);
        QVERIFY(psc.running());
        QVERIFY(!psc.window().action(kCommandOpen)->isEnabled());
        QVERIFY(!psc.window().action(kCommandEdit)->isEnabled());
        button(&box, "33008")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!psc.running(), kLongWait);
        QVERIFY(!box.isVisible());
        QVERIFY(psc.window().action(kCommandGo)->isEnabled());
        QVERIFY(!fs::exists(eventTableOf(recording)));
        QVERIFY(psc.window().caption().find("Done") == std::string::npos);
    }

    void okStepsOneFrameInTraceMode() {
        const std::string recording = writeRecording(scratch_->path().toStdString(), 6);
        PsctrawlProgram psc;
        startTraceModeRun(psc, recording);
        ProgressWindow& box = psc.window().progressWindow();
        QTRY_VERIFY_WITH_TIMEOUT(box.isVisible() && box.shown().line1 == "Detecting", kLongWait);
        // The run waits after frame 1; one OK lets exactly one more frame through.
        QTest::qWait(500);
        QVERIFY(box.shown().line2.find("Frame #  2") == std::string::npos);
        button(&box, "33004")->click();
        QTRY_VERIFY_WITH_TIMEOUT(box.shown().line2.find("Trace Mode: Frame #  2") != std::string::npos,
                                 kLongWait);
        QTest::qWait(1000);
        QVERIFY2(box.shown().line2.find("Frame #  2") != std::string::npos, box.shown().line2.c_str());
        button(&box, "33004")->click();
        QTRY_VERIFY_WITH_TIMEOUT(box.shown().line2.find("Trace Mode: Frame #  3") != std::string::npos,
                                 kLongWait);
        // Closing the window while the run waits stops it, then saves and ends.
        psc.window().close();
        QTRY_VERIFY_WITH_TIMEOUT(psc.window().quitRequested(), kLongWait);
        QVERIFY(!psc.running());
        QVERIFY(!fs::exists(eventTableOf(recording)));
    }

    void swgAndSpktalRunOnTheGuiThread() {
        // swg writes into its data directory and names the file in the caption; with "Status
        // upon completion?" on it says "OK".
        {
            ProfileFile ini;
            ini.set("General", "MainWindow", "O");
            ini.set("General", "StatusBoxOn", "1");
            ini.set("General", "Data Directory", scratch_->path().toStdString());
            QVERIFY(ini.save(iniOf("SWG")));
        }
        SwgProgram swg;
        Captured captured;
        captured.attach(swg.window());
        swg.start({});
        QVERIFY(!swg.window().action(kCommandGo)->isEnabled());
        swg.window().commandOpen();
        QVERIFY(swg.window().action(kCommandGo)->isEnabled());
        swg.window().commandGo();
        QCOMPARE(QFileInfo(QString::fromStdString(swg.lastFile())).absolutePath(), scratch_->path());
        QVERIFY(fs::exists(swg.lastFile()));
        const std::string name = QFileInfo(QString::fromStdString(swg.lastFile())).fileName().toStdString();
        QCOMPARE(swg.window().caption(), "SWG - (untitled)->" + name);
        QCOMPARE(captured.captions, std::vector<std::string>{"Stimulus Waveform Generator"});
        QCOMPARE(captured.texts, std::vector<std::string>{"OK"});
        QVERIFY(swg.window().action(kCommandGo)->isEnabled());

        // spktal counts the chosen recording; its result text goes to the clipboard and the caption.
        const std::string recording = writeRecording(scratch_->path().toStdString(), 2);
        SpktalProgram spk;
        Captured spkMessages;
        spkMessages.attach(spk.window());
        spk.window().dialog().mainWindowMode = 'O';
        MainWindow::setFileChooser(
            [recording](QWidget*, const QString&) { return QStringList{QString::fromStdString(recording)}; });
        spk.start({});
        QApplication::clipboard()->clear();
        spk.window().commandOpen();
        QCOMPARE(spk.window().dataDirectory, scratch_->path().toStdString());
        spk.window().commandGo();
        const QString text = QApplication::clipboard()->text();
        QVERIFY(!text.isEmpty());
        QVERIFY2(spk.window().caption().rfind("SPKTAL - cell.abf->", 0) == 0, spk.window().caption().c_str());
        QVERIFY(!spk.window().progressWindow().isVisible());
    }

    void eachRunStartsFromFreshProgressTexts() {
        const std::string recording = writeRecording(scratch_->path().toStdString(), 6);
        PsctrawlProgram psc;
        startTraceModeRun(psc, recording);
        ProgressWindow& box = psc.window().progressWindow();
        QTRY_VERIFY_WITH_TIMEOUT(box.isVisible() && box.shown().line1 == "Detecting", kLongWait);
        // The stepping buttons name the modes the run is in: trace mode on, episode mode off.
        QCOMPARE(button(&box, "33005")->text(), QString("&Swps off"));
        QCOMPARE(button(&box, "33006")->text(), QString("&Epis on"));
        button(&box, "33006")->click();
        QTRY_COMPARE_WITH_TIMEOUT(button(&box, "33006")->text(), QString("&Epis off"), kLongWait);
        QCOMPARE(button(&box, "33005")->text(), QString("&Swps on"));
        button(&box, "33008")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!psc.running(), kLongWait);

        // The next run, both stepping modes off, shows nothing the last one left behind.
        psc.params().individualEvents = 'N';
        SnapshotLog log(box);
        psc.window().progress().view = &log;
        psc.window().commandGo();
        QTRY_VERIFY_WITH_TIMEOUT(!psc.running(), kLongWait);
        psc.window().progress().view = &box;
        const std::vector<ProgressSnapshot> seen = log.taken();
        QVERIFY(!seen.empty());
        QCOMPARE(seen.front().line1, std::string());
        QCOMPARE(seen.front().line2, std::string());
        QVERIFY(!seen.front().hasExtraButtons);
        int withButtons = 0;
        for (const ProgressSnapshot& s : seen) {
            if (!s.hasExtraButtons) continue;
            ++withButtons;
            QCOMPARE(s.extraCaptions[1], std::string("&Swps on"));
            QCOMPARE(s.extraCaptions[2], std::string("&Epis on"));
        }
        QVERIFY(withButtons > 0);
        QVERIFY(fs::exists(eventTableOf(recording)));
    }

    // While the run waits at an event, the second line names the frame that event is in.
    void eventSteppingShowsTheFrameOfTheEvent() {
        const fs::path recording = fs::path(scratch_->path().toStdString()) / "demo.abf";
        fs::copy_file(EPHYS_SOURCE_DIR "/examples/demo.abf", recording);
        PsctrawlProgram psc;
        PscParameters& p = psc.params();
        prepareFreeRun(psc);
        p.frameLengthSetting = 4096;
        p.individualEvents = 'Y';
        p.enableSweepDisplay = 'Y';
        // Frames are drawn one by one in list order: the count is the number of the frame in work.
        std::atomic<int> framesDrawn{0};
        psc.prepareRun = [&framesDrawn](PscRun& run) {
            run.drawFrame = [&framesDrawn, draw = run.drawFrame](const PscFrameBuffers& b, PscParameters& q) {
                ++framesDrawn;
                if (draw) draw(b, q);
            };
        };
        psc.window().onQuit = [] {};
        psc.window().messages().intercept = [](MessageKind, const std::string&, const std::string&) {};
        psc.window().dialog().mainWindowMode = 'O';
        MainWindow::setFileChooser([recording](QWidget*, const QString&) {
            return QStringList{QString::fromStdString(recording.string())};
        });
        psc.start({});
        psc.window().commandOpen();
        QVERIFY(psc.params().frameCount > 4);
        psc.window().commandGo();
        ProgressWindow& box = psc.window().progressWindow();
        // Waits until the run stands still: the line and the frame count no longer change.
        const auto settled = [&] {
            std::string line;
            int frame = -1;
            for (int still = 0; still < 2;) {
                QTest::qWait(300);
                const bool same = box.shown().line2 == line && framesDrawn.load() == frame;
                line = box.shown().line2;
                frame = framesDrawn.load();
                still = same ? still + 1 : 0;
            }
            return frame;
        };
        for (int pause = 0; pause < 4; ++pause) {
            QTRY_VERIFY_WITH_TIMEOUT(box.shown().line2.rfind("Episode Mode: Frame #", 0) == 0, kLongWait);
            const int frame = settled();
            QVERIFY(psc.running());
            char expected[32];
            std::snprintf(expected, sizeof expected, "Frame #%3d,", frame);
            QVERIFY2(box.shown().line2.find(expected) != std::string::npos,
                     (box.shown().line2 + " at frame " + std::to_string(frame)).c_str());
            button(&box, "33004")->click();
        }
        button(&box, "33008")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!psc.running(), kLongWait);
    }

    void helpSaysWhereThePageIsWhenItCannotBeShown() {
        const std::string folder = scratch_->path().toStdString();
        ShellSettings settings;
        settings.programName = "HELPTEST";
        settings.helpPage = "helptest.html";
        settings.helpSearchPaths = {folder};
        ParamTable table;
        MainWindow w(settings, table);
        Captured captured;
        captured.attach(w);
        std::vector<std::string> opened;
        bool viewerOpens = false;
        w.openHelpPage = [&](const std::string& path) {
            opened.push_back(path);
            return viewerOpens;
        };
        // No page: the box names where it should be.
        w.commandHelp();
        QVERIFY(opened.empty());
        QCOMPARE(captured.texts.size(), std::size_t{1});
        QVERIFY2(captured.texts[0].find(folder + "/helptest.html") != std::string::npos,
                 captured.texts[0].c_str());
        // The page is there, but nothing shows it: the box names the page.
        QFile page(QString::fromStdString(folder + "/helptest.html"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("<html><body>help</body></html>");
        page.close();
        captured.texts.clear();
        w.commandHelp();
        QCOMPARE(opened.size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(opened[0]), QFileInfo(page).canonicalFilePath());
        QCOMPARE(captured.texts.size(), std::size_t{1});
        QVERIFY2(captured.texts[0].find(opened[0]) != std::string::npos, captured.texts[0].c_str());
        // A viewer that shows it: nothing to say.
        viewerOpens = true;
        captured.texts.clear();
        w.commandHelp();
        QCOMPARE(opened.size(), std::size_t{2});
        QVERIFY(captured.texts.empty());
    }

    // The preferences box and the parameter dialog ask for the ini's font as a sans-serif face,
    // so that a missing face falls back to a plain one; the preferences box shows Read and Save
    // greyed.
    void dialogsTakeTheIniFontAsSansSerif() {
        {
            ProfileFile ini;
            ini.set("General", "MainWindow", "O");
            QVERIFY(ini.save(iniOf("SPKTAL")));
        }
        SpktalProgram spk;
        Captured captured;
        captured.attach(spk.window());
        spk.start({});
        QCOMPARE(spk.window().dialog().fontFace, std::string("comic sans ms"));
        std::vector<QFont> fonts;
        std::vector<bool> readSaveGreyed;
        DialogWatcher watcher([&](ParamDialog& dialog, int) {
            fonts.push_back(dialog.font());
            if (auto* edit = dialog.findChild<QLineEdit*>(); edit != nullptr) fonts.push_back(edit->font());
            QPushButton* read = button(&dialog, "50005");
            QPushButton* save = button(&dialog, "50006");
            readSaveGreyed.push_back(read->isVisible() && !read->isEnabled() && save->isVisible() &&
                                     !save->isEnabled());
            button(&dialog, "50002")->click();
        });
        spk.window().commandPreferences();
        spk.window().commandEdit();
        QCOMPARE(watcher.seen, 2);
        QCOMPARE(fonts.size(), std::size_t{4});
        for (const QFont& font : fonts) {
            QCOMPARE(font.family(), QString("comic sans ms"));
            QCOMPARE(font.styleHint(), QFont::SansSerif);
        }
        QCOMPARE(readSaveGreyed, (std::vector<bool>{true, false}));
        // The ini file keeps the face as it was.
        const ProfileFile written = ProfileFile::load(iniOf("SPKTAL")).valueOr(ProfileFile());
        QCOMPARE(written.get("General", "Font").value_or("?"), std::string("comic sans ms"));
    }

  private:
    static void prepareFreeRun(PsctrawlProgram& psc) {
        PscParameters& p = psc.params();
        p.frameLengthSetting = 256;
        p.individualTraces = 'N';
        p.individualEvents = 'N';
        p.overwriteOutputs = 'Y';
        p.exportScan = 'N';
    }
    void startTraceModeRun(PsctrawlProgram& psc, const std::string& recording) {
        prepareFreeRun(psc);
        psc.params().individualTraces = 'Y';
        psc.params().enableSweepDisplay = 'Y';
        psc.window().onQuit = [] {};
        psc.window().messages().intercept = [](MessageKind, const std::string&, const std::string&) {};
        psc.window().dialog().mainWindowMode = 'O';
        MainWindow::setFileChooser(
            [recording](QWidget*, const QString&) { return QStringList{QString::fromStdString(recording)}; });
        psc.start({});
        psc.window().commandOpen();
        QCOMPARE(psc.window().selection.size(), std::size_t{1});
        psc.window().commandGo();
    }

    std::unique_ptr<QTemporaryDir> scratch_;
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
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "shell_test.moc"
