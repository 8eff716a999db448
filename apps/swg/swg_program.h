// swg as a desktop program: its parameter record and table, its main window built from the
// shared shell, and its run, which writes one waveform file on the GUI thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "params/param_table.h"
#include "shell/main_window.h"
#include "wavegen/waveform_parameters.h"
#include "wavegen/waveform_synthesis.h"

namespace ephys {

// swg, the stimulus waveform generator.
class SwgProgram {
  public:
    SwgProgram();
    ~SwgProgram();
    SwgProgram(const SwgProgram&) = delete;
    SwgProgram& operator=(const SwgProgram&) = delete;

    void start(const std::vector<std::string>& files);
    MainWindow& window() { return *window_; }
    WaveformParameters& params() { return params_; }
    // The name of the last file written.
    const std::string& lastFile() const { return lastFile_; }

  private:
    bool run(MainWindow& w, std::string& resultText);
    void takeCommandLine(MainWindow& w, const std::vector<std::string>& files);

    WaveformParameters params_;
    ParamTable table_;
    WaveState state_;
    std::string lastFile_;
    std::unique_ptr<MainWindow> window_;
};

}  // namespace ephys
