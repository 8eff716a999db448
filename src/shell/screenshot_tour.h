// Screenshots of a program's windows for the documentation and for checking the layout at
// several font sizes. When the environment variable EPHYS_SCREENSHOT_DIR names a folder, the
// program photographs its own windows there and then ends:
//   <program>-<font size>-main.png          the main window
//   <program>-<font size>-dialog-<n>.png    the parameter dialog, every page n (from 1)
//   <program>-<font size>-prefs.png         the preferences dialog
//   <program>-<font size>-progress.png      psctrawl only, when EPHYS_SCREENSHOT_RECORDING names
//   <program>-<font size>-running.png       a recording: the progress window and the main window
//                                           while the run waits in trace mode after frame 1
// Without the variable nothing happens.
#pragma once

namespace ephys {

class PsctrawlProgram;
class SpktalProgram;
class SwgProgram;

// Call after the program's start(); the tour runs from the event loop.
void startScreenshotTour(PsctrawlProgram& program);
void startScreenshotTour(SpktalProgram& program);
void startScreenshotTour(SwgProgram& program);

}  // namespace ephys
