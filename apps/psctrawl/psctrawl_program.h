// psctrawl as a desktop program: its parameter record and table, its main window built from the
// shared shell, and its run, which goes on a worker thread and paints the live display into the
// main window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "params/param_table.h"
#include "psc/psc_parameters.h"
#include "shell/main_window.h"

class QTimer;

namespace ephys {

class DisplaySurface;
class PscLiveView;
struct PscRun;

// psctrawl, the PSC detector.
class PsctrawlProgram {
  public:
    // `helpFolders`: further folders that may hold the help page (the source tree's docs/).
    explicit PsctrawlProgram(std::vector<std::string> helpFolders = {});
    ~PsctrawlProgram();
    PsctrawlProgram(const PsctrawlProgram&) = delete;
    PsctrawlProgram& operator=(const PsctrawlProgram&) = delete;

    void start(const std::vector<std::string>& files) { window_->start(files); }
    MainWindow& window() { return *window_; }
    PscParameters& params() { return params_; }
    ParamTable& table() { return table_; }
    // The main window's client area, where the live display draws (see DisplaySurface).
    DisplaySurface& display() { return *display_; }
    bool running() const { return running_.load(); }
    // Called on the worker thread when a run starts, before its first recording: the place to
    // attach the live display (PscRun's display, startDisplay and drawFrame). Nothing is drawn
    // without it.
    std::function<void(PscRun&)> prepareRun;

  private:
    ShellSettings settings(std::vector<std::string> helpFolders);
    void selectFiles(MainWindow& w);
    void takeCommandLine(MainWindow& w, const std::vector<std::string>& files);
    void startRun(MainWindow& w);
    void stopRun();
    void runWorker();
    void finishRun();
    // The detector menu ("Detector": slope trigger, deconvolution, template fit) and its choice,
    // kept in the ini file under [Detector].
    void buildDetectorMenu();
    void readDetectorChoice();
    void saveDetectorChoice();
    std::string detectorIniPath() const;

    PscParameters params_;
    ParamTable table_;
    std::unique_ptr<MainWindow> window_;
    DisplaySurface* display_ = nullptr;
    // Draws the frames and the detector's marks into display_ (declared after the window, so it
    // goes first).
    std::unique_ptr<PscLiveView> liveView_;

    // The run: the recordings it walks, the worker and its state.
    std::vector<std::string> runFiles_;
    bool runSingle_ = false;
    int runStatusBox_ = 0;
    std::thread worker_;
    std::atomic<bool> running_{false};
    std::atomic<bool> workerDone_{true};
    std::atomic<bool> stopRequested_{false};
    QTimer* stopTimer_ = nullptr;
    // The frame length settings as they were when the parameter dialog opened.
    std::int32_t editFrameLength_ = 0;
    char editOverride_ = 'N';
};

}  // namespace ephys
