#include "shell/main_window.h"

#include <unistd.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "params/param_files.h"
#include "params/profile_file.h"
#include "shell/param_dialog.h"
#include "shell/progress_window.h"
#include "shell/qt_messages.h"

namespace ephys {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultFontFace = "comic sans ms";
constexpr int kDefaultFontSize = 13;
constexpr double kFontScaleBase = 13.1;
constexpr int kDialogHeightFactor = 260;
constexpr int kPreferencesWidth = 180;

MainWindow::FileChooser& fileChooser() {
    static MainWindow::FileChooser chooser;
    return chooser;
}

QStringList askForRecordings(QWidget* parent, const QString& startDir) {
    QFileDialog dialog(parent, "Open", startDir, "Axon data Files (*.abf *.dat)");
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setDefaultSuffix("abf");
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

bool isMode(char c) {
    return c == 'O' || c == 'H' || c == 'N';
}

}  // namespace

MainWindow::MainWindow(ShellSettings settings, ParamTable& table, QWidget* parent)
    : QMainWindow(parent), settings_(std::move(settings)), table_(table) {
    setObjectName(QString::fromStdString(settings_.programName));
    setAttribute(Qt::WA_QuitOnClose, false);  // ending the program is quitProgram's decision
    resize(settings_.windowWidth, settings_.windowHeight);
    setStyleSheet("QMainWindow { background: white; }");

    messages_ = std::make_unique<QtMessageSink>(this);

    dialog_.currentPage = 0;
    dialog_.fontFace = kDefaultFontFace;
    dialog_.title = settings_.dialogTitle;
    dialog_.fontHeight = kDefaultFontSize;
    dialog_.dialogX = 70;
    dialog_.dialogY = 10;
    dialog_.hasGo = 1;
    dialog_.hasOpen = settings_.hasOpenButton ? 1 : 0;
    dialog_.closeOnGo = settings_.closeOnGo ? 1 : 0;
    dialog_.closeOnOpen = settings_.closeOnOpen ? 1 : 0;
    dialog_.fileExtension = settings_.fileExtension;
    dialog_.fileDescription = settings_.fileDescription;
    dialog_.paramDirectory = defaultParamDirectory();
    dialog_.mainWindowMode = settings_.defaultMainWindowMode;
    dialog_.table = &table_;
    // Go and Open pressed in the dialog (when they do not close it) act as the menu commands.
    dialog_.onGo = [this] { commandGo(); };
    dialog_.onOpen = [this] {
        commandOpen();
        return selection.empty() ? 0 : 1;
    };
    dialog_.onPrefs = [this] { commandPreferences(); };

    dataDirectory = settings_.defaultDataDirectory;

    progress_.fontHeight = 10;
    progressWindow_ = new ProgressWindow(progress_, this);
    progressWindow_->setWindowTitle(QString::fromStdString(settings_.progressTitle));

    openHelpPage = [](const std::string& path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    };

    buildMenus();
}

MainWindow::~MainWindow() = default;

void MainWindow::setFileChooser(FileChooser chooser) {
    fileChooser() = std::move(chooser);
}

void MainWindow::addAction(QMenu* menu, int command, const QString& text, const QList<QKeySequence>& keys,
                           void (MainWindow::*slot)()) {
    QAction* act = menu != nullptr ? menu->addAction(text) : menuBar()->addAction(text);
    act->setObjectName(QString::number(command));
    act->setShortcuts(keys);
    // Keys work whenever the main window has the focus, also for the top-level Go.
    QMainWindow::addAction(act);
    connect(act, &QAction::triggered, this, slot);
    actions_[command] = act;
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    addAction(file, kCommandOpen, "&Open...", {QKeySequence(Qt::CTRL | Qt::Key_O)}, &MainWindow::commandOpen);
    addAction(file, kCommandExit, "E&xit", {}, &MainWindow::commandExit);

    parametersMenu_ = menuBar()->addMenu("Para&meters");
    addAction(parametersMenu_, kCommandEdit, "&Edit ", {QKeySequence(Qt::ALT | Qt::Key_E)},
              &MainWindow::commandEdit);
    parametersMenu_->addSeparator();
    addAction(parametersMenu_, kCommandRead, "&Read",
              {QKeySequence(Qt::ALT | Qt::Key_R), QKeySequence(Qt::Key_F8)}, &MainWindow::commandRead);
    addAction(parametersMenu_, kCommandSave, "&Save",
              {QKeySequence(Qt::ALT | Qt::Key_S), QKeySequence(Qt::Key_F9)}, &MainWindow::commandSave);
    parametersMenu_->addSeparator();
    addAction(parametersMenu_, kCommandPrefs, "&Preferences", {QKeySequence(Qt::ALT | Qt::Key_P)},
              &MainWindow::commandPreferences);

    // Go from the menu or F10 is the user's own: the run does not go back to the dialog.
    addAction(nullptr, kCommandGo, "&Go", {QKeySequence(Qt::Key_F10)}, &MainWindow::commandGo);
    disconnect(actions_[kCommandGo], &QAction::triggered, this, &MainWindow::commandGo);
    connect(actions_[kCommandGo], &QAction::triggered, this, [this] {
        startedFromDialog = false;
        commandGo();
    });

    QMenu* help = menuBar()->addMenu("&Help");
    addAction(help, kCommandHelp, "&Help", {QKeySequence(Qt::Key_F1)}, &MainWindow::commandHelp);
    addAction(help, kCommandAbout, QString::fromStdString(settings_.aboutMenuText), {},
              &MainWindow::commandAbout);
}

QAction* MainWindow::action(int command) const {
    const auto it = actions_.find(command);
    return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::start(const std::vector<std::string>& files) {
    readIni();
    applyFontSize();
    paramFileSetup(dialog_, *messages_);
    setCaption();
    setGoEnabled(false);

    if (!files.empty() && settings_.commandLine) {
        QMetaObject::invokeMethod(
            this, [this, files] { settings_.commandLine(*this, files); }, Qt::QueuedConnection);
        return;
    }
    const char mode = dialog_.mainWindowMode;
    const bool postOpen = settings_.editAfterOpenUnlessOn ? mode != 'O' : mode == 'N';
    if (postOpen) {
        postCommand(kCommandOpen);
    } else {
        show();
    }
}

void MainWindow::readIni() {
    iniPath_ = iniFilePath(settings_.programName);
    std::error_code ec;
    if (fs::is_regular_file(iniPath_, ec)) {
        Result<ProfileFile> read = ProfileFile::load(iniPath_);
        bool readable = read.ok();
        const ProfileFile profile = readable ? std::move(*read) : ProfileFile();
        // An unreadable settings file is named with its reason when it is written below. A
        // damaged settings file (binary data) is not read: the program starts from its
        // defaults and writes a fresh file.
        if (readable && profile.holdsBinary()) {
            readable = false;
            messages_->show(MessageKind::PlainError, kPlainErrorCaption,
                            iniPath_ + " holds binary data, not settings; the defaults are used.");
        }
        if (readable) {
            dialog_.fontFace = profileReadString(profile, kGeneralSection, "Font", dialog_.fontFace);
            dialog_.statusBoxOn = profileReadInt(profile, kGeneralSection, "StatusBoxOn", 1);
            dialog_.fontHeight = profileReadInt(profile, kGeneralSection, "Font size", dialog_.fontHeight);
            dataDirectory = profileReadString(profile, kGeneralSection, "Data Directory", dataDirectory);
            const char mode = static_cast<char>(std::toupper(static_cast<unsigned char>(
                profileReadChar(profile, kGeneralSection, "MainWindow", dialog_.mainWindowMode))));
            if (isMode(mode)) dialog_.mainWindowMode = mode;
            dialog_.messageBoxOn =
                profileReadInt(profile, kGeneralSection, "MessageBox", dialog_.messageBoxOn);
            // Values outside their rows' limits keep the defaults, and one message names them all.
            const std::vector<RefusedParam> refused = paramLoadChecked(kParametersSection, table_, profile);
            if (!refused.empty()) {
                messages_->show(
                    MessageKind::ParameterError, kParameterErrorCaption,
                    paramRefusedText(table_, refused, iniPath_) + "\nThese settings keep their defaults.");
            }
        }
    }
    if (dialog_.fontFace.empty()) dialog_.fontFace = kDefaultFontFace;
    if (dialog_.fontHeight == 0) dialog_.fontHeight = kDefaultFontSize;
    writeIni();
}

void MainWindow::writeIni() {
    const Result<ProfileFile> read = ProfileFile::load(iniPath_);
    ProfileFile profile = read && !read->holdsBinary() ? *read : ProfileFile();
    profileWriteString(profile, kGeneralSection, "Font", dialog_.fontFace);
    profileWriteInt(profile, kGeneralSection, "Font size", dialog_.fontHeight);
    profileWriteFlag(profile, kGeneralSection, "MessageBox", dialog_.messageBoxOn);
    profileWriteChar(profile, kGeneralSection, "MainWindow", dialog_.mainWindowMode);
    profileWriteString(profile, kGeneralSection, "Data Directory", dataDirectory);
    profileWriteFlag(profile, kGeneralSection, "StatusBoxOn", dialog_.statusBoxOn);
    paramSave(kParametersSection, table_, profile);
    // An ini file that exists but cannot be read is left alone: its other content would be lost.
    saveIni(read ? profile.save(iniPath_) : Result<void>(read.error()));
}

void MainWindow::saveIni(const Result<void>& saved) {
    if (!saved) messages_->errorBox("Could not write " + iniPath_ + ": " + saved.error().text());
}

void MainWindow::writeDataAndParameters() {
    const Result<ProfileFile> read = ProfileFile::load(iniPath_);
    ProfileFile profile = read && !read->holdsBinary() ? *read : ProfileFile();
    profileWriteString(profile, kGeneralSection, "Data Directory", dataDirectory);
    paramSave(kParametersSection, table_, profile);
    saveIni(read ? profile.save(iniPath_) : Result<void>(read.error()));
}

void MainWindow::applyFontSize() {
    const double scale = static_cast<double>(dialog_.fontHeight) / kFontScaleBase;
    dialog_.dialogHeight = static_cast<int>(scale * kDialogHeightFactor);
    dialog_.dialogWidth = static_cast<int>(scale * settings_.dialogWidthFactor);
}

std::string MainWindow::caption() const {
    return windowTitle().toStdString();
}

void MainWindow::setCaption(const std::string& result) {
    std::string text = settings_.programName + " - " + (fileTitle.empty() ? "(untitled)" : fileTitle);
    if (!result.empty()) {
        std::string shown = result;
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
        for (char& c : shown)
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        text += "->" + shown;
    }
    setWindowTitle(QString::fromStdString(text));
}

void MainWindow::setGoEnabled(bool enabled) {
    actions_[kCommandGo]->setEnabled(enabled);
}

void MainWindow::setRunMenusEnabled(bool enabled) {
    actions_[kCommandOpen]->setEnabled(enabled);
    parametersMenu_->menuAction()->setEnabled(enabled);
    for (int command : {kCommandEdit, kCommandRead, kCommandSave, kCommandPrefs})
        actions_[command]->setEnabled(enabled);
    setGoEnabled(enabled);
}

void MainWindow::postCommand(int command) {
    QMetaObject::invokeMethod(
        this,
        [this, command] {
            switch (command) {
                case kCommandOpen:
                    commandOpen();
                    break;
                case kCommandExit:
                    commandExit();
                    break;
                case kCommandEdit:
                    commandEdit();
                    break;
                case kCommandRead:
                    commandRead();
                    break;
                case kCommandSave:
                    commandSave();
                    break;
                case kCommandPrefs:
                    commandPreferences();
                    break;
                case kCommandGo:
                    commandGo();
                    break;
                case kCommandHelp:
                    commandHelp();
                    break;
                case kCommandAbout:
                    commandAbout();
                    break;
                default:
                    break;
            }
        },
        Qt::QueuedConnection);
}

std::string MainWindow::openStartDirectory() const {
    std::string dir = dataDirectory;
    std::error_code ec;
    while (!dir.empty() && !fs::is_directory(dir, ec)) {
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        const std::size_t slash = dir.rfind('/');
        if (slash == std::string::npos) return {};
        dir.resize(slash == 0 ? 1 : slash);
    }
    return dir;
}

void MainWindow::chooseFiles() {
    const QString start = QString::fromStdString(openStartDirectory());
    const QStringList chosen = fileChooser() ? fileChooser()(this, start) : askForRecordings(this, start);
    // Cancel (or nothing chosen) empties the selection.
    selection.clear();
    fileTitle.clear();
    singleFile = false;
    if (chosen.isEmpty()) return;
    for (const QString& name : chosen) selection.push_back(QFileInfo(name).absoluteFilePath().toStdString());
    singleFile = selection.size() == 1;
    const QFileInfo first(QString::fromStdString(selection.front()));
    dataDirectory = first.absolutePath().toStdString();
    fileTitle = first.fileName().toStdString();
}

void MainWindow::commandOpen() {
    if (runActive_) return;
    if (settings_.opensFiles) {
        chooseFiles();
        if (!selection.empty()) {
            if (settings_.afterOpen) settings_.afterOpen(*this);
            setGoEnabled(true);
        }
    } else {
        // Nothing to choose: the generator needs no input, so Go is ready at once.
        setGoEnabled(true);
    }
    setCaption();
    // From the dialog's own Open button the dialog is already up.
    if (dialogOpen_) return;
    const char mode = dialog_.mainWindowMode;
    const bool postEdit = settings_.editAfterOpenUnlessOn ? mode != 'O' : mode == 'N';
    if (postEdit) postCommand(kCommandEdit);
}

void MainWindow::commandExit() {
    close();
}

void MainWindow::commandEdit() {
    if (dialogOpen_ || runActive_ || quitRequested_) return;
    const char mode = dialog_.mainWindowMode;
    if (mode != 'O') hide();
    if (settings_.beforeEdit) settings_.beforeEdit(*this);
    dialogOpen_ = true;
    runParamDialog(this, dialog_, *messages_);
    dialogOpen_ = false;
    if (settings_.afterEdit) settings_.afterEdit(*this);

    const DialogResult result = dialog_.result;
    const bool goesOn = result == DialogResult::ClosedByGo || result == DialogResult::ClosedByOpen;
    const bool quits =
        !goesOn &&
        (mode == 'N' || (settings_.cancelInHiddenModeQuits && mode == 'H' && result == DialogResult::Cancel));
    if (quits) {
        writeDataAndParameters();
        quitProgram();
        return;
    }
    show();
    if (result == DialogResult::ClosedByGo) {
        startedFromDialog = true;
        postCommand(kCommandGo);
    } else if (result == DialogResult::ClosedByOpen) {
        postCommand(kCommandOpen);
    }
}

void MainWindow::commandRead() {
    paramReadDialog(this, dialog_, *messages_);
}

void MainWindow::commandSave() {
    paramSaveDialog(this, dialog_);
}

void MainWindow::commandPreferences() {
    // A one-page dialog over copies of the preferences; they are taken over when it closes (a
    // Cancel has put the copies back as they were).
    std::int32_t messageBoxOn = dialog_.messageBoxOn;
    std::int32_t statusBoxOn = dialog_.statusBoxOn;
    char mode = dialog_.mainWindowMode;
    std::string fontFace = dialog_.fontFace;
    std::string dataDir = dataDirectory;
    std::int32_t fontSize = dialog_.fontHeight;

    ParamTable table;
    table.rowCapacity = 6;
    table.pageCapacity = 1;
    table.rows.push_back(paramBoolRow(messageBoxOn, "Annoying Error Messages?"));
    table.rows.push_back(paramBoolRow(statusBoxOn, "Status upon completion?"));
    table.rows.push_back(
        paramChoiceRow(mode, settings_.mainWindowKeys.c_str(), settings_.mainWindowChoice.c_str()));
    table.rows.push_back(paramTextRow(fontFace, "Dialog Font"));
    if (settings_.dataDirectoryPreference) table.rows.push_back(paramTextRow(dataDir, "Data Directory"));
    table.rows.push_back(paramIntRow(fontSize, "Dialog Font Size", PF_PAGE_END));
    SilentMessageSink quiet;
    paramTableFinish(table, {"Preferences"}, quiet);

    DialogRecord prefs;
    prefs.title = settings_.dialogTitle + " Preferences";
    prefs.fontHeight = kDefaultFontSize;
    prefs.dialogX = 70;
    prefs.dialogY = 10;
    prefs.dialogWidth = kPreferencesWidth;
    prefs.hasReadSave = 0;
    prefs.fontFace = dialog_.fontFace;
    prefs.mainWindowMode = 'O';
    prefs.messageBoxOn = dialog_.messageBoxOn;
    prefs.paramDirectory = dialog_.paramDirectory;
    prefs.table = &table;
    runParamDialog(isVisible() ? this : nullptr, prefs, *messages_);

    dialog_.messageBoxOn = messageBoxOn != 0 ? 1 : 0;
    dialog_.statusBoxOn = statusBoxOn != 0 ? 1 : 0;
    if (isMode(mode)) dialog_.mainWindowMode = mode;
    dialog_.fontFace = fontFace.empty() ? kDefaultFontFace : fontFace;
    if (settings_.dataDirectoryPreference) dataDirectory = dataDir;
    dialog_.fontHeight = fontSize > 0 ? fontSize : kDefaultFontSize;
    // The parameter dialog takes the new font size the next time it opens.
    applyFontSize();
    writeIni();
}

void MainWindow::enterDataDirectory() {
    if (dataDirectory.empty() || ::chdir(dataDirectory.c_str()) != 0) {
        messages_->errorBox("Couln't find the data path");
    }
}

void MainWindow::commandGo() {
    if (runActive_ || quitRequested_) return;
    if (settings_.startRun) {
        enterDataDirectory();
        runActive_ = true;
        setRunMenusEnabled(false);
        setCaption();
        settings_.startRun(*this);
        return;
    }
    if (!settings_.run) return;
    enterDataDirectory();
    // The run pumps events for its progress window: nothing may start a second one meanwhile.
    runActive_ = true;
    setRunMenusEnabled(false);
    std::string resultText;
    const bool ok = settings_.run(*this, resultText);
    runActive_ = false;
    setRunMenusEnabled(true);
    if (ok) setCaption(resultText);
    if (closeAfterRun_) close();
}

void MainWindow::runFinished() {
    runActive_ = false;
    setRunMenusEnabled(true);
    if (closeAfterRun_) {
        close();
        return;
    }
    if (isVisible()) {
        raise();
        activateWindow();
    }
    if (startedFromCommandLine) {
        postCommand(kCommandExit);
    } else if (startedFromDialog) {
        startedFromDialog = false;
        postCommand(kCommandEdit);
    }
}

std::vector<std::string> MainWindow::helpPageCandidates() const {
    if (settings_.helpPage.empty()) return {};
    std::vector<std::string> folders;
    const std::string exeDir = QCoreApplication::applicationDirPath().toStdString();
    if (!exeDir.empty()) {
        folders.push_back(exeDir + "/../share/doc/ephys-suite");
        folders.push_back(exeDir + "/../../docs");
        folders.push_back(exeDir + "/docs");
    }
    for (const std::string& folder : settings_.helpSearchPaths) folders.push_back(folder);
    std::vector<std::string> candidates;
    for (const std::string& folder : folders)
        candidates.push_back((fs::path(folder) / settings_.helpPage).lexically_normal().string());
    return candidates;
}

std::string MainWindow::helpPagePath() const {
    std::error_code ec;
    for (const std::string& candidate : helpPageCandidates()) {
        if (fs::is_regular_file(candidate, ec)) return fs::weakly_canonical(candidate, ec).string();
    }
    return {};
}

void MainWindow::commandHelp() {
    if (settings_.helpPage.empty()) {
        messages_->show(MessageKind::Information, settings_.programName, "Help not yet implemented!");
        return;
    }
    const std::string path = helpPagePath();
    if (path.empty()) {
        std::string text = "The help page " + settings_.helpPage + " is not installed. It was looked for as:";
        for (const std::string& candidate : helpPageCandidates()) text += "\n" + candidate;
        messages_->show(MessageKind::Warning, settings_.programName, text);
        return;
    }
    // No desktop viewer for HTML pages (a bare server, a minimal desktop): say where the page is.
    if (!openHelpPage || !openHelpPage(path)) {
        messages_->show(MessageKind::Warning, settings_.programName,
                        "No program could be started to show the help page. It is at:\n" + path +
                            "\nOpen it in a web browser.");
    }
}

void MainWindow::commandAbout() {
    showAboutBox(this, settings_);
}

void MainWindow::quitProgram() {
    quitRequested_ = true;
    closing_ = true;
    progressWindow_->hide();
    hide();
    if (onQuit) {
        onQuit();
    } else {
        QCoreApplication::quit();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (runActive_) {
        // The run is asked to stop; the window closes when it has (runFinished).
        closeAfterRun_ = true;
        if (settings_.stopRun) settings_.stopRun(*this);
        event->ignore();
        return;
    }
    if (!closing_) writeDataAndParameters();
    event->accept();
    if (!quitRequested_) quitProgram();
}

void showAboutBox(QWidget* owner, const ShellSettings& settings) {
    QDialog box(owner);
    box.setObjectName("AboutBox");
    box.setWindowTitle(QString::fromStdString("About " + settings.programName));
    auto* layout = new QVBoxLayout(&box);
    auto* row = new QHBoxLayout;
    const QIcon icon = owner != nullptr ? owner->windowIcon() : QIcon();
    if (!icon.isNull()) {
        auto* picture = new QLabel(&box);
        picture->setPixmap(icon.pixmap(48, 48));
        row->addWidget(picture, 0, Qt::AlignTop);
    }
    auto* lines = new QVBoxLayout;
    auto* title = new QLabel(QString::fromStdString(settings.aboutTitle), &box);
    title->setObjectName("1006");
    auto* built = new QLabel(QString("Built on ") + __DATE__ + ", for Linux with Qt " + qVersion(), &box);
    built->setObjectName("1007");
    lines->addWidget(title);
    lines->addWidget(built);
    row->addLayout(lines);
    layout->addLayout(row);
    auto* ok = new QPushButton("OK", &box);
    ok->setObjectName("1");
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    box.exec();
}

}  // namespace ephys
