// The shell the three desktop programs share: start-up with the preferences of the program's ini
// file, the main window with its menus and keys, the open-file dialog and data directory, the
// parameter dialog (Edit), parameter files (Read, Save), the preferences dialog, Go, Help, About
// and Exit. Each program describes itself in a ShellSettings (names, sizes, texts, defaults) and
// plugs its own file choice and run into it through the callbacks there.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "params/dialog_record.h"
#include "params/param_table.h"
#include "params/progress.h"
#include "params/result.h"

class QAction;
class QCloseEvent;

namespace ephys {

class MainWindow;
class ProgressWindow;
class QtMessageSink;

// Identifiers of the menu commands; each QAction's objectName is its identifier in decimal.
inline constexpr int kCommandOpen = 40002;
inline constexpr int kCommandExit = 40006;
inline constexpr int kCommandGo = 40021;
inline constexpr int kCommandHelp = 40017;
inline constexpr int kCommandAbout = 40018;
inline constexpr int kCommandEdit = 40025;
inline constexpr int kCommandRead = 40026;
inline constexpr int kCommandSave = 40027;
inline constexpr int kCommandPrefs = 40028;

inline constexpr const char* kGeneralSection = "General";

// What makes one program out of the shell.
struct ShellSettings {
    std::string programName;  // "PSCTRAWL": object name, captions, ini file name
    int windowWidth = 500;
    int windowHeight = 250;
    std::string dialogTitle;    // title of the parameter dialog, "PSC Detector"
    std::string progressTitle;  // "Detecting PSCs"
    int dialogWidthFactor = 220;
    // Parameter dialog buttons: Open as well as Go; whether they close the dialog.
    bool hasOpenButton = true;
    bool closeOnGo = false;
    bool closeOnOpen = false;
    // Open shows the open-file dialog (swg chooses no input and only sets the caption).
    bool opensFiles = true;
    // Open posts Edit in mode N only (spktal, swg) or in every mode but O (psctrawl).
    bool editAfterOpenUnlessOn = false;
    std::string fileExtension;    // parameter files: "pcw"
    std::string fileDescription;  // "PSCTRAWL"
    char defaultMainWindowMode = 'N';
    std::string defaultDataDirectory;  // ~/lab or ~/data
    // The main window choice of the preferences dialog and its keys.
    std::string mainWindowChoice = "MainWindow:On,HideInEdit,None";
    std::string mainWindowKeys = "OHN";
    bool dataDirectoryPreference = false;  // swg edits the data directory in the preferences
    // Help: the bundled HTML page (searched in helpSearchPaths), or the "not yet" box when empty.
    std::string helpPage;
    std::vector<std::string> helpSearchPaths;
    std::string aboutMenuText;  // "About PSCTRAWL..."
    std::string aboutTitle;     // "PSC Detector, Version 1.9"
    // The preferences' mode H quits the program when the parameter dialog is cancelled
    // (psctrawl: the dialog is the program; with the main window hidden nothing else is left).
    bool cancelInHiddenModeQuits = false;

    // The program's own steps.
    // After the open-file dialog chose something (psctrawl reads the single file's header).
    std::function<void(MainWindow&)> afterOpen;
    // A run on the GUI thread (spktal, swg): true when it succeeded, with the text the caption
    // shows after "->".
    std::function<bool(MainWindow&, std::string& resultText)> run;
    // A run of its own (psctrawl's worker thread): started by Go, which returns at once. The
    // program calls MainWindow::runFinished on the GUI thread when it is over.
    std::function<void(MainWindow&)> startRun;
    // Asks a running run of its own to stop as soon as it can.
    std::function<void(MainWindow&)> stopRun;
    // Arguments given on the command line, after start-up.
    // The files named on the command line, as the file system spells them.
    std::function<void(MainWindow&, const std::vector<std::string>&)> commandLine;
    // Around the parameter dialog (psctrawl watches the frame length rows).
    std::function<void(MainWindow&)> beforeEdit;
    std::function<void(MainWindow&)> afterEdit;
};

// The program's window. Create it, call start() with the command-line arguments, run the
// application's event loop.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    MainWindow(ShellSettings settings, ParamTable& table, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up: preferences and parameters from the ini file, the whole ini file written back,
    // dialog size, parameter folder, then the command line or the first command.
    void start(const std::vector<std::string>& files);

    const ShellSettings& settings() const { return settings_; }
    DialogRecord& dialog() { return dialog_; }
    ParamTable& table() { return table_; }
    ProgressRecord& progress() { return progress_; }
    ProgressWindow& progressWindow() { return *progressWindow_; }
    QtMessageSink& messages() { return *messages_; }
    std::string iniPath() const { return iniPath_; }

    // The data directory, the chosen recordings (absolute paths) and the file title.
    std::string dataDirectory;
    std::vector<std::string> selection;
    std::string fileTitle;
    bool singleFile = false;
    bool startedFromCommandLine = false;  // the run posts Exit when it ends
    bool startedFromDialog = false;       // the run posts Edit when it ends

    // Commands (the menu's actions call them; so may tests).
    void commandOpen();
    void commandExit();
    void commandEdit();
    void commandRead();
    void commandSave();
    void commandPreferences();
    void commandGo();
    void commandHelp();
    void commandAbout();
    // Runs a command from the event loop, after what is going on now.
    void postCommand(int command);
    QAction* action(int command) const;

    // Caption "NAME - title", with "->" and `result` after the title when given.
    void setCaption(const std::string& result = {});
    std::string caption() const;
    // Greys or enables Go; during psctrawl's run also Open and the Parameters menu.
    void setGoEnabled(bool enabled);
    void setRunMenusEnabled(bool enabled);
    // A run of the program's own is over (GUI thread): menus back, window to the front, Exit or
    // Edit posted as the run's start asks.
    void runFinished();
    bool runActive() const { return runActive_; }

    // Preferences and parameters into the ini file: everything, or only the data directory and
    // the parameters (on exit).
    void writeIni();
    void writeDataAndParameters();
    // The error box of a settings file that was not written, with the reason.
    void saveIni(const Result<void>& saved);
    // The dialog size from the font size.
    void applyFontSize();
    // Makes the data directory current; the error box when it cannot be.
    void enterDataDirectory();
    // The help page found beside the installed program or in the source tree; empty when none.
    std::string helpPagePath() const;
    // Every place the help page is looked for, in order.
    std::vector<std::string> helpPageCandidates() const;
    // The folder the open-file dialog starts in: the data directory, or its nearest existing
    // ancestor.
    std::string openStartDirectory() const;

    // The open-file dialog, replaceable for tests: the chosen files, empty on cancel.
    using FileChooser = std::function<QStringList(QWidget* parent, const QString& startDir)>;
    static void setFileChooser(FileChooser chooser);
    // What ending the program does; QCoreApplication::quit by default.
    std::function<void()> onQuit;
    // Opens the help page; QDesktopServices by default. False when nothing could show it.
    std::function<bool(const std::string& path)> openHelpPage;
    bool quitRequested() const { return quitRequested_; }
    bool dialogOpen() const { return dialogOpen_; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void readIni();
    void chooseFiles();
    void quitProgram();
    void addAction(QMenu* menu, int command, const QString& text, const QList<QKeySequence>& keys,
                   void (MainWindow::*slot)());

    ShellSettings settings_;
    ParamTable& table_;
    DialogRecord dialog_;
    ProgressRecord progress_;
    std::unique_ptr<QtMessageSink> messages_;
    ProgressWindow* progressWindow_ = nullptr;
    std::string iniPath_;
    std::map<int, QAction*> actions_;
    QMenu* parametersMenu_ = nullptr;
    bool runActive_ = false;
    bool closeAfterRun_ = false;
    bool quitRequested_ = false;
    bool dialogOpen_ = false;
    bool closing_ = false;
};

// The About box: "AboutBox" with its title line (1006), second line (1007) and OK (1).
void showAboutBox(QWidget* owner, const ShellSettings& settings);

}  // namespace ephys
