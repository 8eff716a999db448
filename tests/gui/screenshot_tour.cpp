// Screenshots of a desktop program's windows, for the documentation and for checking the layout
// at several font sizes:
//   screenshot_tour PROGRAM FOLDER [RECORDING]
// starts the program (psctrawl, spktal or swg) as its desktop starts it, without files, then
// photographs its windows into FOLDER and ends:
//   <program>-<font size>-main.png          the main window
//   <program>-<font size>-dialog-<n>.png    the parameter dialog, every page n (from 1)
//   <program>-<font size>-prefs.png         the preferences dialog
//   <program>-<font size>-progress.png      psctrawl only, when RECORDING names a recording: the
//   <program>-<font size>-running.png       progress window and the main window while the run
//                                           waits in trace mode after frame 1
// The settings (font, font size) come from the program's ini file, as in the program itself.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTabBar>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "params/progress.h"
#include "psctrawl/psctrawl_program.h"
#include "shell/command_line_basics.h"
#include "shell/desktop_main.h"
#include "shell/main_window.h"
#include "shell/param_dialog.h"
#include "shell/progress_window.h"
#include "spktal/spktal_program.h"
#include "swg/swg_program.h"

namespace ephys {

namespace {

constexpr int kPollMs = 150;
// A step that waits longer than this gives up, so that a broken step never hangs a script.
constexpr int kStepTimeoutPolls = 400;

ParamDialog* openParamDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<ParamDialog*>(w); dialog != nullptr && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

// Walks through the steps, one poll at a time; each step returns true when it is done.
class Tour : public QObject {
  public:
    Tour(MainWindow& window, QString folder, QString recording)
        : QObject(&window), window_(window), folder_(std::move(folder)), recording_(std::move(recording)) {
        prefix_ = QString::fromStdString(window.settings().programName).toLower() + "-" +
                  QString::number(window.dialog().fontHeight) + "-";
        buildSteps();
        timer_.setInterval(kPollMs);
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }

  private:
    void save(QWidget* widget, const QString& name) {
        QApplication::processEvents();
        const QString path = QDir(folder_).filePath(prefix_ + name + ".png");
        if (!widget->grab().save(path))
            std::fprintf(stderr, "screenshot: cannot write %s\n", qPrintable(path));
    }

    void buildSteps() {
        steps_.push_back([this] {
            window_.show();
            window_.raise();
            return true;
        });
        steps_.push_back([this] {
            save(&window_, "main");
            window_.postCommand(kCommandEdit);
            return true;
        });
        steps_.push_back([this] {
            ParamDialog* dialog = openParamDialog();
            if (dialog == nullptr) return false;
            QTabBar* tabs = dialog->findChild<QTabBar*>();
            const int pages = tabs != nullptr && tabs->isVisible() ? tabs->count() : 1;
            for (int page = 0; page < pages; ++page) {
                if (tabs != nullptr && pages > 1) tabs->setCurrentIndex(page);
                save(dialog, "dialog-" + QString::number(page + 1));
            }
            dialog->pressCancel();
            return true;
        });
        steps_.push_back([this] {
            if (openParamDialog() != nullptr || window_.dialogOpen()) return false;
            window_.postCommand(kCommandPrefs);
            return true;
        });
        steps_.push_back([this] {
            ParamDialog* dialog = openParamDialog();
            if (dialog == nullptr) return false;
            save(dialog, "prefs");
            dialog->pressCancel();
            return true;
        });
        if (!recording_.isEmpty()) {
            steps_.push_back([this] {
                if (openParamDialog() != nullptr) return false;
                const QString file = recording_;
                MainWindow::setFileChooser([file](QWidget*, const QString&) { return QStringList{file}; });
                window_.dialog().mainWindowMode = 'O';
                window_.commandOpen();
                window_.commandGo();
                return true;
            });
            // The run waits after frame 1 before its status line shows a frame: one step on.
            steps_.push_back([this] {
                const ProgressSnapshot& shown = window_.progressWindow().shown();
                if (!window_.progressWindow().isVisible() || shown.line1 != "Detecting") return false;
                progressPress(window_.progress(), kProgressExtraButton1);
                return true;
            });
            steps_.push_back([this] {
                const ProgressSnapshot& shown = window_.progressWindow().shown();
                if (!window_.progressWindow().isVisible() || shown.line2.rfind("Trace Mode", 0) != 0)
                    return false;
                save(&window_.progressWindow(), "progress");
                save(&window_, "running");
                return true;
            });
        }
        steps_.push_back([this] {
            timer_.stop();
            window_.close();
            return true;
        });
    }

    void poll() {
        if (next_ >= steps_.size()) return;
        if (steps_[next_]()) {
            ++next_;
            waited_ = 0;
        } else if (++waited_ > kStepTimeoutPolls) {
            std::fprintf(stderr, "screenshot: step %zu did not come about, giving up\n", next_ + 1);
            waited_ = 0;
            next_ = steps_.size() - 1;
        }
    }

    MainWindow& window_;
    QString folder_;
    QString recording_;
    QString prefix_;
    QTimer timer_;
    std::vector<std::function<bool()>> steps_;
    std::size_t next_ = 0;
    int waited_ = 0;
};

void startTour(MainWindow& window, const QString& folder, const QString& recording) {
    QDir().mkpath(folder);
    // Nothing may wait for a person: no file dialog, the main window always on.
    MainWindow::setFileChooser([](QWidget*, const QString&) { return QStringList{}; });
    window.dialog().mainWindowMode = 'O';
    new Tour(window, folder, recording.isEmpty() ? QString() : QFileInfo(recording).absoluteFilePath());
}

// Starts the program as its desktop does, without files, and photographs it from the event loop.
template <class Program>
int tour(const QString& folder, const QString& recording) {
    Program program;
    program.start({});
    startTour(program.window(), folder, recording);
    return QApplication::exec();
}

}  // namespace

}  // namespace ephys

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const std::string program = arguments.size() > 1 ? arguments[1].toStdString() : std::string();
    if ((program != "psctrawl" && program != "spktal" && program != "swg") || arguments.size() < 3 ||
        arguments.size() > 4) {
        ephys::printUsageError("screenshot_tour",
                               "usage: screenshot_tour psctrawl|spktal|swg FOLDER [RECORDING]");
        return ephys::kExitUsage;
    }
    ephys::shellPrepareDesktop(program.c_str());
    const QString folder = arguments[2];
    // Only psctrawl runs a recording for its progress window.
    const QString recording = arguments.size() > 3 && program == "psctrawl" ? arguments[3] : QString();
    if (program == "psctrawl") return ephys::tour<ephys::PsctrawlProgram>(folder, recording);
    if (program == "spktal") return ephys::tour<ephys::SpktalProgram>(folder, recording);
    return ephys::tour<ephys::SwgProgram>(folder, recording);
}
