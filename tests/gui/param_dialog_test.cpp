// The tabbed parameter dialog driven through its real widgets on the offscreen platform: checks of
// typed values, tab changes, Cancel and its snapshot, Go, Read/Save, the button row and the page
// layout of the programs' own tables at two font sizes.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "params/param_files.h"
#include "psc/psc_parameters.h"
#include "shell/param_dialog.h"
#include "shell/qt_messages.h"
#include "wavegen/waveform_parameters.h"

using namespace ephys;

namespace {

// A small three-page table with every kind of row.
struct SmallSet {
    float duration = 1.0f;
    std::int32_t channel = 3;
    std::string name = "cell";
    char polarity = 'P';
    char exportAmplitudes = 'N';
    std::int32_t fiPlots = 0;
    float threshold = -25.0f;
    std::int32_t sweeps = 10;
    ParamTable table;

    SmallSet() {
        CapturedMessages messages;
        table.rows = {
            paramFloatRow(duration, "Max Spike Duration (ms)", 0, 50),
            paramIntRow(channel, "First Channel (0-15)", 0, 15),
            paramTextRow(name, "Cell name", PF_PAGE_END),
            paramChoiceRow(polarity, "PN", "Spike Polarity:Positive,Negative"),
            paramYesNoRow(exportAmplitudes, "Export Amplitudes"),
            paramBoolRow(fiPlots, "Generate F/I Plots?"),
            paramFloatRow(threshold, "Spike detection threshold (mV)", PF_PAGE_END),
            paramIntRow(sweeps, "Sweeps", 1, 100),
        };
        paramTableFinish(table, {"Main", "Intracellular", "Extra"}, messages);
    }
};

template <typename T>
T* control(QWidget& dialog, int id) {
    return dialog.findChild<T*>(QString::number(id));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lets queued calls (the deferred refusal of an entry) run.
void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// Types into an edit box that has the focus, replacing its text.
void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus(Qt::MouseFocusReason);
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

}  // namespace

class ParamDialogTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir home_;
    std::string tmp_;

    void prepare(DialogRecord& record, ParamTable& table) {
        record.table = &table;
        record.title = "SPKTAL";
        record.fontFace = "DejaVu Sans";
        record.fontHeight = 13;
        record.dialogWidth = 220;
        record.paramDirectory = home_.path().toStdString() + "/labparms";
    }

  private slots:
    void initTestCase() {
        QVERIFY(home_.isValid());
        const QByteArray path = home_.path().toUtf8();
        qputenv("HOME", path);
        qputenv("XDG_CONFIG_HOME", path + "/config");
        QDir(home_.path()).mkpath("tmp");
        qputenv("TMPDIR", path + "/tmp");
        tmp_ = home_.path().toStdString() + "/tmp";
        QDir::setCurrent(home_.path());
    }

    void cleanup() { setParamFileChooser({}); }

    // -----------------------------------------------------------------------------------------
    // Checking entries

    void refusedEntryRestoresTextAndKeepsFocus_data() {
        QTest::addColumn<bool>("messageBoxOn");
        QTest::addColumn<QString>("typed");
        QTest::newRow("box, out of range") << true << "99";
        QTest::newRow("box, letters") << true << "1x";
        QTest::newRow("beep only") << false << "-3";
    }
    void refusedEntryRestoresTextAndKeepsFocus() {
        QFETCH(bool, messageBoxOn);
        QFETCH(QString, typed);
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.messageBoxOn = messageBoxOn ? 1 : 0;
        QtMessageSink messages;
        std::vector<std::pair<std::string, std::string>> shown;
        messages.intercept = [&](MessageKind kind, const std::string& caption, const std::string& text) {
            QCOMPARE(kind, MessageKind::ParameterError);
            shown.emplace_back(caption, text);
        };
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));

        auto* duration = control<QLineEdit>(dialog, 31000);
        auto* channel = control<QLineEdit>(dialog, 31001);
        QVERIFY(duration && channel);
        QCOMPARE(duration->text(), QString("1"));
        typeInto(duration, typed);
        QCOMPARE(record.focusedEdit, 31000);
        channel->setFocus(Qt::TabFocusReason);
        settle();

        QCOMPARE(duration->text(), QString("1"));
        QCOMPARE(set.duration, 1.0f);
        QCOMPARE(record.inputRejected, 1);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(duration));
        if (messageBoxOn) {
            QCOMPARE(shown.size(), std::size_t{1});
            QCOMPARE(shown[0].first, std::string("Parameter Error"));
            QCOMPARE(shown[0].second, paramErrorText(set.table.rows[0]));
        } else {
            QVERIFY(shown.empty());
        }
    }

    void acceptedEntryIsStoredInCanonicalForm() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.messageBoxOn = 1;
        QtMessageSink messages;
        int boxes = 0;
        messages.intercept = [&](MessageKind, const std::string&, const std::string&) { ++boxes; };
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto* duration = control<QLineEdit>(dialog, 31000);
        typeInto(duration, "10.50");
        control<QLineEdit>(dialog, 31001)->setFocus(Qt::TabFocusReason);
        settle();
        QCOMPARE(boxes, 0);
        QCOMPARE(duration->text(), QString("10.5"));
        QCOMPARE(set.duration, 10.5f);
        QCOMPARE(record.inputRejected, 0);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(control<QLineEdit>(dialog, 31001)));
    }

    // Enter in an edit box presses OK: a refused entry keeps the dialog open, a good one closes it
    // with the typed value in the record.
    void okChecksTheFocusedEntry() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        QtMessageSink messages;
        messages.intercept = [](MessageKind, const std::string&, const std::string&) {};
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto* channel = control<QLineEdit>(dialog, 31001);
        typeInto(channel, "16");
        QTest::keyClick(channel, Qt::Key_Return);
        settle();
        QVERIFY(dialog.isVisible());
        QCOMPARE(channel->text(), QString("3"));
        typeInto(channel, "12");
        QTest::keyClick(channel, Qt::Key_Return);
        settle();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(record.result, DialogResult::Ok);
        QCOMPARE(set.channel, 12);
    }

    // -----------------------------------------------------------------------------------------
    // Tabs

    void tabClickAfterRefusedEntryKeepsTheOldTab() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        QtMessageSink messages;
        int boxes = 0;
        messages.intercept = [&](MessageKind, const std::string&, const std::string&) { ++boxes; };
        record.messageBoxOn = 1;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto* tabs = control<QTabBar>(dialog, 50009);
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(1), QString("Intracellular"));

        typeInto(control<QLineEdit>(dialog, 31000), "51");
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
        settle();
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(record.currentPage, 0);
        QCOMPARE(boxes, 1);
        QVERIFY(control<QLineEdit>(dialog, 31000));
        QCOMPARE(control<QLineEdit>(dialog, 31000)->text(), QString("1"));
        QVERIFY(!control<QGroupBox>(dialog, 41000));

        // A good entry lets the page change: the old page's values are kept, the new page built.
        typeInto(control<QLineEdit>(dialog, 31000), "7");
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
        settle();
        QCOMPARE(tabs->currentIndex(), 1);
        QCOMPARE(record.currentPage, 1);
        QCOMPARE(record.previousPage, 0);
        QCOMPARE(set.duration, 7.0f);
        QVERIFY(!control<QLineEdit>(dialog, 31000));
        auto* group = control<QGroupBox>(dialog, 41000);
        QVERIFY(group);
        QCOMPARE(group->title(), QString("Spike Polarity"));
        QCOMPARE(control<QRadioButton>(dialog, 41011)->text(), QString("Positive"));
        QVERIFY(control<QRadioButton>(dialog, 41011)->isChecked());
        QVERIFY(!control<QRadioButton>(dialog, 41012)->isChecked());
        QCOMPARE(control<QCheckBox>(dialog, 31004)->text(), QString("Export Amplitudes"));
        QVERIFY(!control<QLabel>(dialog, 21004));
        QCOMPARE(control<QLabel>(dialog, 21006)->text(), QString("Spike detection threshold (mV)"));
    }

    // -----------------------------------------------------------------------------------------
    // Cancel, Go and the snapshot

    void cancelRestoresEveryPage() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto* tabs = control<QTabBar>(dialog, 50009);
        typeInto(control<QLineEdit>(dialog, 31000), "20");
        typeInto(control<QLineEdit>(dialog, 31002), "other cell");
        tabs->setCurrentIndex(1);
        QCOMPARE(set.duration, 20.0f);
        QCOMPARE(set.name, std::string("other cell"));
        control<QRadioButton>(dialog, 41012)->click();
        control<QCheckBox>(dialog, 31004)->click();
        control<QCheckBox>(dialog, 31005)->click();
        tabs->setCurrentIndex(2);
        QCOMPARE(set.polarity, 'N');
        QCOMPARE(set.exportAmplitudes, 'Y');
        QCOMPARE(set.fiPlots, 1);
        typeInto(control<QLineEdit>(dialog, 31007), "50");

        QTest::mouseClick(control<QPushButton>(dialog, 50002), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(record.result, DialogResult::Cancel);
        QCOMPARE(set.duration, 1.0f);
        QCOMPARE(set.name, std::string("cell"));
        QCOMPARE(set.polarity, 'P');
        QCOMPARE(set.exportAmplitudes, 'N');
        QCOMPARE(set.fiPlots, 0);
        QCOMPARE(set.sweeps, 10);
    }

    void cancelAfterGoRestoresTheValuesAtGo() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.hasGo = 1;
        std::vector<float> atGo;
        record.onGo = [&] { atGo.push_back(set.duration); };
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        const std::string snapshot = dialog.snapshotPath();
        typeInto(control<QLineEdit>(dialog, 31000), "5");
        QTest::mouseClick(control<QPushButton>(dialog, 50004), Qt::LeftButton);
        settle();
        QCOMPARE(atGo, std::vector<float>{5.0f});
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.snapshotPath(), snapshot);
        QVERIFY(readFile(snapshot).find("Max Spike Duration (ms)=5") != std::string::npos);

        typeInto(control<QLineEdit>(dialog, 31000), "30");
        control<QLineEdit>(dialog, 31001)->setFocus(Qt::TabFocusReason);
        QCOMPARE(set.duration, 30.0f);
        dialog.reject();  // Escape and the close command end here
        QCOMPARE(record.result, DialogResult::Cancel);
        QCOMPARE(set.duration, 5.0f);
        QVERIFY(!std::filesystem::exists(snapshot));
    }

    void snapshotExistsOnlyWhileOpen() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        QtMessageSink messages;
        std::string snapshot;
        {
            ParamDialog dialog(record, messages);
            snapshot = dialog.snapshotPath();
            const std::filesystem::path path(snapshot);
            QVERIFY(std::filesystem::exists(path));
            QCOMPARE(path.parent_path().string(), tmp_);
            QVERIFY(path.filename().string().starts_with("wss"));
            const std::string text = readFile(snapshot);
            QVERIFY(text.find("[Parameters]") != std::string::npos);
            QVERIFY(text.find("Spike Polarity:Positive,Negative=P") != std::string::npos);
            QVERIFY(text.find("Sweeps=10") != std::string::npos);  // rows of every page
            dialog.show();
            QTest::mouseClick(control<QPushButton>(dialog, 50003), Qt::LeftButton);
            QCOMPARE(record.result, DialogResult::Ok);
            QVERIFY(!std::filesystem::exists(path));
            QVERIFY(dialog.snapshotPath().empty());
        }
        // A dialog that is never closed leaves nothing behind either.
        {
            ParamDialog dialog(record, messages);
            snapshot = dialog.snapshotPath();
        }
        QVERIFY(!snapshot.empty());
        QVERIFY(!std::filesystem::exists(snapshot));
    }

    void goWithCloseOnGoEndsTheModalDialog() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.hasGo = 1;
        record.closeOnGo = 1;
        int goCalls = 0;
        record.onGo = [&] { ++goCalls; };
        QtMessageSink messages;
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<ParamDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            typeInto(control<QLineEdit>(*dialog, 31001), "9");
            QTest::mouseClick(control<QPushButton>(*dialog, 50004), Qt::LeftButton);
        });
        QCOMPARE(runParamDialog(nullptr, record, messages), DialogResult::ClosedByGo);
        QCOMPARE(record.result, DialogResult::ClosedByGo);
        QCOMPARE(goCalls, 0);
        QCOMPARE(set.channel, 9);
    }

    // -----------------------------------------------------------------------------------------
    // Parameter files

    void readShowsTheLoadedValuesAtOnce() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.fileFilter = "SPKTAL Files (*.SKW)";
        record.filePattern = "*.skw";
        record.paramDirectory = home_.path().toStdString() + "/missing/deeper";
        const std::string file = home_.path().toStdString() + "/short.skw";
        {
            std::ofstream out(file);
            out << "[Parameters]\nmax spike duration (ms)=2.5\nSpike Polarity:Positive,Negative=N\n";
        }
        std::string startDir;
        bool askedToSave = true;
        setParamFileChooser([&](QWidget*, bool save, const DialogRecord&, const std::string& dir) {
            askedToSave = save;
            startDir = dir;
            QDir::setCurrent("/");  // the box may wander; the dialog puts the directory back
            return file;
        });
        const QString keptDirectory = QDir::currentPath();
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        typeInto(control<QLineEdit>(dialog, 31001), "4");
        QTest::mouseClick(control<QPushButton>(dialog, 50005), Qt::LeftButton);
        settle();
        QVERIFY(!askedToSave);
        QCOMPARE(startDir, home_.path().toStdString());
        QCOMPARE(QDir::currentPath(), keptDirectory);
        QCOMPARE(control<QLineEdit>(dialog, 31000)->text(), QString("2.5"));
        QCOMPARE(control<QLineEdit>(dialog, 31001)->text(), QString("4"));
        QCOMPARE(control<QLineEdit>(dialog, 31002)->text(), QString("cell"));
        QCOMPARE(set.polarity, 'N');
        QCOMPARE(record.setName, std::string("short"));
        QCOMPARE(dialog.windowTitle(), QString("SPKTAL - short"));
        QCOMPARE(control<QLabel>(dialog, 51011)->text(), QString("SPKTAL - short"));
        control<QTabBar>(dialog, 50009)->setCurrentIndex(1);
        QVERIFY(control<QRadioButton>(dialog, 41012)->isChecked());
    }

    void readRefusesValuesOutsideTheirRowsAndBinaryFiles() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.setName = "before";
        const std::string file = home_.path().toStdString() + "/wild.skw";
        {
            std::ofstream out(file);
            out << "[Parameters]\nMax Spike Duration (ms)=2.5\nSweeps=100000\nFirst Channel (0-15)=99\n";
        }
        setParamFileChooser([&](QWidget*, bool, const DialogRecord&, const std::string&) { return file; });
        CapturedMessages messages;
        QVERIFY(paramReadDialog(nullptr, record, messages));
        QCOMPARE(set.duration, 2.5f);  // a value within its row is read
        QCOMPARE(set.sweeps, 10);      // the others keep what they had
        QCOMPARE(set.channel, 3);
        QCOMPARE(record.setName, std::string("wild"));
        QCOMPARE(messages.entries().size(), std::size_t(1));  // one message names both rows
        QCOMPARE(messages.entries()[0].caption, std::string("Parameter Error"));
        QVERIFY(messages.entries()[0].text.find("Sweeps=100000") != std::string::npos);
        QVERIFY(messages.entries()[0].text.find("First Channel (0-15)=99") != std::string::npos);

        // A file that is not text changes nothing, not even the set's name.
        {
            std::ofstream out(file, std::ios::binary);
            out << "[Parameters]\nSweeps=7\n" << '\0' << '\x01' << "binary";
        }
        messages.clear();
        QVERIFY(!paramReadDialog(nullptr, record, messages));
        QCOMPARE(set.sweeps, 10);
        record.setName = "kept";
        QVERIFY(!paramReadDialog(nullptr, record, messages));
        QCOMPARE(record.setName, std::string("kept"));
        QCOMPARE(messages.entries().size(), std::size_t(2));
        QCOMPARE(messages.entries()[0].caption, std::string("Error"));
    }

    void saveWritesEveryRowUnderTheChosenName() {
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.setName = "before";
        const std::string file = home_.path().toStdString() + "/after.skw";
        std::string offeredName;
        setParamFileChooser([&](QWidget*, bool save, const DialogRecord& r, const std::string&) {
            offeredName = r.setName;
            return save ? file : std::string();
        });
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.windowTitle(), QString("SPKTAL - before"));
        typeInto(control<QLineEdit>(dialog, 31000), "12.25");
        QTest::mouseClick(control<QPushButton>(dialog, 50006), Qt::LeftButton);
        QCOMPARE(offeredName, std::string("before"));
        QCOMPARE(record.setName, std::string("after"));
        QCOMPARE(dialog.windowTitle(), QString("SPKTAL - after"));
        const std::string text = readFile(file);
        QVERIFY(text.find("Max Spike Duration (ms)=12.25") != std::string::npos);
        QVERIFY(text.find("Sweeps=10") != std::string::npos);
        // A cancelled box changes nothing.
        setParamFileChooser(
            [](QWidget*, bool, const DialogRecord&, const std::string&) { return std::string(); });
        QVERIFY(!paramReadDialog(&dialog, record, messages));
        QCOMPARE(record.setName, std::string("after"));
    }

    void filterAndStartDirectory() {
        DialogRecord record;
        record.fileFilter = "SPKTAL Files (*.SKW)";
        record.filePattern = "*.skw";
        QCOMPARE(paramQtFilter(record), QString("SPKTAL Files (*.skw)"));
        const std::string home = home_.path().toStdString();
        QCOMPARE(paramStartDirectory(home + "/a/b/c/"), home);
        QCOMPARE(paramStartDirectory(home), home);
        QCOMPARE(paramStartDirectory("relative/missing"), std::string());
    }

    // -----------------------------------------------------------------------------------------
    // Button row and page layout

    void buttonRowOrder_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("main window on")
            << QString("O") << QStringList{"&Go", "&Save", "&Read", "&Open", "&Prefs.", "OK", "Cancel"};
        QTest::newRow("no main window")
            << QString("N") << QStringList{"&Go", "&Save", "&Read", "&Open", "&Prefs.", "E&xit"};
    }
    void buttonRowOrder() {
        QFETCH(QString, mode);
        QFETCH(QStringList, captions);
        SmallSet set;
        DialogRecord record;
        prepare(record, set.table);
        record.hasGo = record.hasOpen = record.hasPrefs = 1;
        record.mainWindowMode = mode.at(0).toLatin1();
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QStringList shown;
        int previousRight = 0;
        for (QPushButton* b : dialog.buttonRow()) {
            shown << b->text();
            QVERIFY(b->isVisible());
            QVERIFY(b->isEnabled());
            QVERIFY(b->x() > previousRight);
            QVERIFY(b->fontMetrics().horizontalAdvance(b->text().remove('&')) < b->width());
            previousRight = b->geometry().right();
        }
        QCOMPARE(shown, captions);
        QVERIFY(previousRight < dialog.width());
        QVERIFY(dialog.buttonRow().front()->y() >= dialog.pageHeight());
        const bool noMainWindow = mode == "N";
        QCOMPARE(control<QPushButton>(dialog, 50003)->isVisible(), !noMainWindow);
        QCOMPARE(control<QPushButton>(dialog, 50002)->isVisible(), !noMainWindow);
        QCOMPARE(control<QPushButton>(dialog, 50015)->isVisible(), noMainWindow);
        auto* minimize = control<QPushButton>(dialog, 50016);
        QCOMPARE(minimize != nullptr, noMainWindow);
        if (minimize) {
            QCOMPARE(minimize->text(), QString("__"));
            QVERIFY(minimize->isVisible());
        }
        QVERIFY(!control<QPushButton>(dialog, 50014)->isVisible());
        // Without parameter files (the preferences box) Read and Save keep their places in the
        // row, greyed.
        DialogRecord prefs;
        prepare(prefs, set.table);
        prefs.hasReadSave = 0;
        ParamDialog small(prefs, messages);
        small.show();
        QStringList smallRow;
        for (QPushButton* b : small.buttonRow()) smallRow << b->text();
        QCOMPARE(smallRow, (QStringList{"&Save", "&Read", "OK", "Cancel"}));
        QVERIFY(control<QPushButton>(small, 50005)->isVisible());
        QVERIFY(!control<QPushButton>(small, 50005)->isEnabled());
        QVERIFY(control<QPushButton>(small, 50006)->isVisible());
        QVERIFY(!control<QPushButton>(small, 50006)->isEnabled());
        QVERIFY(control<QPushButton>(small, 50003)->isEnabled());
        QVERIFY(control<QPushButton>(small, 50002)->isEnabled());
    }

    void onePageTableHasAnEtchedLineAndNoTabs() {
        WaveformParameters wave;
        ParamTable table;
        table.rowCapacity = kWaveRowCapacity;
        table.pageCapacity = kWavePageCapacity;
        CapturedMessages captured;
        waveBuildParamTable(wave, table, captured);
        DialogRecord record;
        prepare(record, table);
        record.title = "SWG";
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(!dialog.findChild<QTabBar*>());
        auto* line = dialog.findChild<QFrame*>("etchedLine");
        QVERIFY(line);
        QCOMPARE(line->frameShape(), QFrame::HLine);
        QCOMPARE(line->frameShadow(), QFrame::Sunken);
        QVERIFY(std::abs(line->x() - 0.15 * dialog.width()) <= 1);
        QVERIFY(std::abs(line->width() - 0.7 * dialog.width()) <= 1);
        QVERIFY(std::abs(line->y() - 2.1 * dialog.textHeight()) <= 1);
        QVERIFY(line->y() > control<QLabel>(dialog, 51011)->geometry().bottom());
        QCOMPARE(control<QLabel>(dialog, 51011)->text(), QString("SWG"));
        // Every row of the single page is on show, its controls below the line.
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            const int id = table.rows[r].kind() == PK_CHOICE ? 41000 : 31000 + static_cast<int>(r);
            QWidget* w = dialog.findChild<QWidget*>(QString::number(id));
            QVERIFY2(w && w->isVisible(), table.rows[r].label);
            QVERIFY(w->mapTo(&dialog, QPoint(0, 0)).y() > line->y());
        }
    }

    void tooManyChoiceRowsLeaveThePageIncomplete() {
        std::array<char, 12> letters{};
        ParamTable table;
        for (char& c : letters) table.rows.push_back(paramChoiceRow(c, "AB", "Choice:A,B"));
        CapturedMessages captured;
        paramTableFinish(table, {"Only"}, captured);
        DialogRecord record;
        prepare(record, table);
        QtMessageSink messages;
        std::vector<std::string> errors;
        messages.intercept = [&](MessageKind kind, const std::string& caption, const std::string& text) {
            QCOMPARE(kind, MessageKind::ErrorBox);
            QCOMPARE(caption, std::string("Exiting on error"));
            errors.push_back(text);
        };
        ParamDialog dialog(record, messages);
        QCOMPARE(errors, std::vector<std::string>{"Too many group items on tabkit dlg page."});
        QVERIFY(control<QGroupBox>(dialog, 41009));
        QVERIFY(!control<QGroupBox>(dialog, 41010));
    }

    // The programs' largest table at the programs' default font and at twice that: on every page
    // nothing overlaps, everything lies inside the dialog, and no label or caption is cut.
    void pagesDoNotOverlap_data() {
        QTest::addColumn<int>("fontHeight");
        QTest::newRow("13 px") << 13;
        QTest::newRow("26 px") << 26;
    }
    void pagesDoNotOverlap() {
        QFETCH(int, fontHeight);
        PscParameters psc;
        ParamTable table;
        CapturedMessages captured;
        pscBuildParamTable(psc, table, captured);
        QCOMPARE(table.pageCount(), std::size_t{7});
        DialogRecord record;
        prepare(record, table);
        record.title = "PSCTRAWL";
        record.fontFace = "comic sans ms";
        record.fontHeight = fontHeight;
        record.dialogWidth = static_cast<int>(fontHeight / 13.1 * 240);
        record.hasGo = record.hasOpen = record.hasPrefs = 1;
        QtMessageSink messages;
        ParamDialog dialog(record, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* tabs = control<QTabBar>(dialog, 50009);
        QVERIFY(tabs->sizeHint().width() <= tabs->width());
        std::filesystem::create_directories("/tmp/s1-shots");
        for (int page = 0; page < 7; ++page) {
            tabs->setCurrentIndex(page);
            QCOMPARE(record.currentPage, page);
            std::vector<std::pair<QRect, QString>> boxes;
            for (QWidget* w : dialog.findChildren<QWidget*>()) {
                if (!w->isVisible() || w->parentWidget() == nullptr) continue;
                const bool isPageControl = qobject_cast<QLineEdit*>(w) || qobject_cast<QCheckBox*>(w) ||
                                           qobject_cast<QGroupBox*>(w) || qobject_cast<QLabel*>(w);
                if (!isPageControl && !qobject_cast<QPushButton*>(w)) continue;
                if (qobject_cast<QLineEdit*>(w) && qobject_cast<QLineEdit*>(w->parentWidget())) continue;
                const QRect r(w->mapTo(&dialog, QPoint(0, 0)), w->size());
                QVERIFY2(dialog.rect().contains(r), qPrintable(w->objectName()));
                QCOMPARE(QFontInfo(w->font()).pixelSize(), fontHeight);
                if (auto* label = qobject_cast<QLabel*>(w))
                    QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                             qPrintable(label->text()));
                if (auto* check = qobject_cast<QCheckBox*>(w))
                    QVERIFY2(check->sizeHint().width() <= check->width(), qPrintable(check->text()));
                if (auto* group = qobject_cast<QGroupBox*>(w)) {
                    for (QRadioButton* radio : group->findChildren<QRadioButton*>()) {
                        // Inside the frame, clear of the caption.
                        QVERIFY2(group->contentsRect().contains(radio->geometry()),
                                 qPrintable(radio->text()));
                        QCOMPARE(QFontInfo(radio->font()).pixelSize(), fontHeight);
                        QVERIFY2(radio->sizeHint().width() <= radio->width() + 2, qPrintable(radio->text()));
                    }
                }
                if (qobject_cast<QRadioButton*>(w)) continue;  // checked inside their group
                boxes.emplace_back(r, w->objectName());
            }
            for (std::size_t i = 0; i < boxes.size(); ++i)
                for (std::size_t j = i + 1; j < boxes.size(); ++j)
                    QVERIFY2(!boxes[i].first.intersects(boxes[j].first),
                             qPrintable(boxes[i].second + " overlaps " + boxes[j].second));
            dialog.grab().save(QString("/tmp/s1-shots/psc_font%1_page%2.png").arg(fontHeight).arg(page));
        }
    }

    // -----------------------------------------------------------------------------------------
    // Message boxes

    // A worker's message waits for the box that the GUI thread shows.
    void messageFromAWorkerBlocksUntilTheBoxCloses() {
        QtMessageSink messages;
        std::atomic<bool> returned{false};
        QString caption, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool onGuiThread = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            onGuiThread = box->thread() == QThread::currentThread();
            caption = box->windowTitle();
            text = box->text();
            icon = box->icon();
            QVERIFY(!returned.load());
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(10);
        std::thread worker([&] {
            messages.show(MessageKind::ParameterError, "Parameter Error", "Sweeps\nmust be an integer!");
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 5000);
        worker.join();
        QVERIFY(onGuiThread);
        QCOMPARE(caption, QString("Parameter Error"));
        QCOMPARE(text, QString("Sweeps\nmust be an integer!"));
        QCOMPARE(icon, QMessageBox::Warning);
    }
};

QTEST_MAIN(ParamDialogTest)
#include "param_dialog_test.moc"
