// Everything about one use of the tabbed parameter dialog that is not a widget: texts, layout
// proportions, preferences, the parameter table and the callbacks into the program. The desktop
// shell builds the widgets from it; the parameter-file helpers read its file settings.
#pragma once

#include <functional>
#include <string>

#include "params/param_table.h"

namespace ephys {

// How a use of the dialog ended.
enum class DialogResult { Ok = 0, Cancel = 1, ClosedByGo = -1, ClosedByOpen = -2 };

struct DialogRecord {
    int currentPage = 0;
    int previousPage = 0;
    int fontHeight = 16;
    int editLeftPct = 5;
    int editWidthPct = 25;
    int labelLeftPct = 31;
    int labelWidthPct = 64;
    std::string title = "FancyDialog";
    int messageBoxOn = 0;  // show "Parameter Error" boxes; otherwise a refused entry beeps
    int beepOn = 1;
    int dialogX = 50, dialogY = 50, dialogWidth = 250, dialogHeight = 350;
    int radioExtraWidth = 24;
    int radioGap = 1;
    int radioIndent = 10;
    std::string fontFace = "MS Sans Serif";
    std::string fileExtension = "prm";       // parameter-file extension
    std::string fileDescription = "Param.";  // file-type description
    std::string fileFilter;                  // e.g. "SPKTAL Files (*.SKW)", built by paramFileSetup
    std::string filePattern;                 // e.g. "*.skw"
    std::string setName;                     // title of the last parameter file read or saved
    int hasReadSave = 1;
    int hasGo = 0;
    int closeOnGo = 0;
    int hasOpen = 0;
    int closeOnOpen = 0;
    int hasPrefs = 0;
    int statusBoxOn = 0;
    char mainWindowMode = 'O';  // 'O' main window on, 'H' hidden while the dialog is up, 'N' none
    int showRead = 1;
    int showSave = 1;
    DialogResult result = DialogResult::Ok;
    std::string paramDirectory;  // the parameter folder, ~/labparms in the programs
    int inputRejected = 0;
    int focusedEdit = 0;
    int chainOpenGo = 0;
    ParamTable* table = nullptr;

    std::function<void()> onGo;
    std::function<int()> onOpen;
    std::function<void()> onPrefs;
};

// The user's home folder ($HOME), the parameter folder ~/labparms and the data folders.
std::string homeDirectory();
std::string defaultParamDirectory();

}  // namespace ephys
