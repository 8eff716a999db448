// spktal as the desktop starts it: when its main window is destroyed at the end of the program,
// it says so in a box with the text "endining" and the caption "endingnow". Batch mode has no
// main window and never shows it.
#pragma once

#include "params/messages.h"
#include "shell/main_window.h"
#include "shell/qt_messages.h"
#include "spktal/spktal_program.h"

namespace ephys {

class DesktopSpktal final : public SpktalProgram {
  public:
    // The main window goes with the program (SpktalProgram's destructor, right after this).
    ~DesktopSpktal() {
        window().hide();
        window().messages().show(MessageKind::Information, "endingnow", "endining");
    }
};

}  // namespace ephys
