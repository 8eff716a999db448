// spktal as a desktop program: its parameter record and table, its main window built from the
// shared shell, and its run, which counts the selected recordings on the GUI thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "params/param_table.h"
#include "shell/main_window.h"
#include "spike/spike_params.h"

namespace ephys {

// spktal, the spike detector.
class SpktalProgram {
  public:
    SpktalProgram();
    ~SpktalProgram();
    SpktalProgram(const SpktalProgram&) = delete;
    SpktalProgram& operator=(const SpktalProgram&) = delete;

    void start(const std::vector<std::string>& files) { window_->start(files); }
    MainWindow& window() { return *window_; }
    SpikeParams& params() { return params_; }

  private:
    bool run(MainWindow& w, std::string& resultText);
    void takeCommandLine(MainWindow& w, const std::vector<std::string>& files);

    SpikeParams params_;
    ParamTable table_;
    std::unique_ptr<MainWindow> window_;
};

}  // namespace ephys
