#include "swg/swg_program.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <utility>

#include "params/progress.h"
#include "shell/file_arguments.h"
#include "shell/progress_window.h"
#include "shell/pumping_progress.h"
#include "shell/qt_messages.h"

namespace ephys {

SwgProgram::SwgProgram() {
    QtMessageSink buildMessages;
    waveBuildParamTable(params_, table_, buildMessages);

    ShellSettings s;
    s.programName = "SWG";
    s.windowWidth = 500;
    s.windowHeight = 250;
    s.dialogTitle = "Stimulus Waveform Generator";
    s.progressTitle = "Generating Waveform";
    s.dialogWidthFactor = 200;
    s.hasOpenButton = false;
    s.opensFiles = false;
    s.fileExtension = "swg";
    s.fileDescription = "SWG";
    s.defaultMainWindowMode = 'N';
    s.defaultDataDirectory = homeDirectory() + "/data";
    s.dataDirectoryPreference = true;
    s.aboutMenuText = "&About SWG...";
    s.aboutTitle = "Stimulus Waveform Generator";
    s.run = [this](MainWindow& w, std::string& text) { return run(w, text); };
    s.commandLine = [this](MainWindow& w, const std::vector<std::string>& files) {
        takeCommandLine(w, files);
    };
    window_ = std::make_unique<MainWindow>(std::move(s), table_);
}

SwgProgram::~SwgProgram() = default;

void SwgProgram::start(const std::vector<std::string>& files) {
    window_->start(files);
    // The waveform files go into the data folder; ~/data is made on first use.
    std::error_code ignored;
    std::filesystem::create_directory(window_->dataDirectory, ignored);
}

bool SwgProgram::run(MainWindow& w, std::string& resultText) {
    params_.waveform = static_cast<char>(std::toupper(static_cast<unsigned char>(params_.waveform)));
    WaveRunOptions options;
    options.directory = w.dataDirectory;
    ProgressRecord& progress = w.progress();
    ProgressWindow& box = w.progressWindow();
    box.hide();
    // Only the progress window and the message boxes take input until the run is over.
    const RunInputHold hold(w, box);
    PumpingProgressView pumping(box);
    progress.view = &pumping;
    // Each run starts from blank status lines: nothing of the last run's file shows.
    progress.line1.clear();
    progress.line2.clear();
    progress.pressedButton.store(0);
    progressUpdate(progress);
    box.open();
    const WaveRunResult result = waveGenerate(params_, progress, state_, w.messages(), options);
    if (!result.ok) {
        w.messages().show(MessageKind::PlainError, "Error", "Error");
    } else if (w.dialog().statusBoxOn != 0) {
        w.messages().show(MessageKind::Information, "Stimulus Waveform Generator", "OK");
    }
    box.hide();
    progress.boxOpen = 0;
    progress.view = &box;
    if (result.ok) {
        lastFile_ = result.path;
        resultText = result.fileName;
    }
    return result.ok;
}

void SwgProgram::takeCommandLine(MainWindow& w, const std::vector<std::string>& files) {
    // A scan file named on the command line starts one generator run (the file itself is not
    // read: the generator takes no input).
    for (const std::string& argument : files) {
        if (!argumentHasExtension(argument, ".sca")) {
            w.messages().show(MessageKind::Information, "This is not a Scan File!!", argument);
            continue;
        }
        w.enterDataDirectory();
        std::string text;
        if (run(w, text)) w.setCaption(text);
    }
    w.postCommand(kCommandExit);
}

}  // namespace ephys
