// The start of the three desktop programs, shared: the application object, the C numeric locale,
// the program's name and icon, the files on the command line, the program's main window and the
// event loop. Batch mode and --help are recognised before any application object exists, so that
// they run without a display.
#pragma once

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QString>

#include <string_view>
#include <utility>

#include "shell/argument_bytes.h"
#include "shell/command_line_basics.h"

namespace ephys {

// True when the arguments ask for the command-line program (--batch, --help).
inline bool shellWantsConsole(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--batch" || arg == "--help" || arg == "-h" || arg == "--help-all" || arg == "-?")
            return true;
    }
    return false;
}

// Sets up the application object of the desktop program `name` (its icon is ":/icons/<name>.svg").
inline void shellPrepareDesktop(const char* name) {
    // The shell ends the program (Exit, the parameter dialog closed in mode N); a window that
    // happens to be the last one open, such as spktal's F/I graph window, never does.
    QApplication::setQuitOnLastWindowClosed(false);
    useCNumbers();
    QCoreApplication::setApplicationName(QString::fromUtf8(name));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/%1.svg").arg(QString::fromUtf8(name))));
}

// Runs the desktop program: `name` is the executable's name, `filesHelp` describes the files it
// takes on its command line. Exit status kExitUsage for arguments it cannot take, else the event
// loop's.
template <class Program, class... ProgramArgs>
int shellRunDesktop(int argc, char* argv[], const char* name, const char* filesHelp, ProgramArgs&&... args) {
    QApplication app(argc, argv);
    shellPrepareDesktop(name);

    QCommandLineParser parser;
    parser.addPositionalArgument("FILE", QString::fromUtf8(filesHelp), "[FILE...]");
    if (!parser.parse(QCoreApplication::arguments())) {
        printUsageError(name, parser.errorText().toLocal8Bit().constData());
        return kExitUsage;
    }
    Program program(std::forward<ProgramArgs>(args)...);
    // The files as the file system spells them, also names that are not UTF-8.
    program.start(ArgumentBytes(argc, argv).positional(parser));
    return QApplication::exec();
}

}  // namespace ephys
