// The command line the analysis programs share in batch mode: --help, --batch, --params,
// --set, --no-ini, --output-dir and --quiet, the order in which their settings apply, and the
// output folder. Each program adds its own options and runs its own recordings.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

#include "params/param_settings.h"
#include "shell/argument_bytes.h"
#include "shell/command_line_basics.h"

namespace ephys {

class BatchCommandLine {
  public:
    // `program` prefixes the usage messages ("psctrawl: ..."); `iniName` names the settings file
    // (PSCTRAWL for PSCTRAWL.ini); `outputDirHelp` says where outputs go without --output-dir.
    BatchCommandLine(std::string program, std::string iniName, const QString& outputDirHelp);

    // Declares --help, --batch (described by `batchHelp`), the shared options and `extra`, and
    // parses the application's arguments. Returns the exit status when the program is done (help
    // shown, bad usage, no --batch), nothing when the batch run goes ahead.
    std::optional<int> parse(QCommandLineParser& parser, const QString& description, const QString& batchHelp,
                             const QList<QCommandLineOption>& extra = {}) const;

    // Built-in defaults, then the settings file (unless --no-ini), then --params, then each --set.
    // The --params file is named by its bytes in `arguments`, so names that are not UTF-8 work.
    BatchSettings settings(const QCommandLineParser& parser, const ArgumentBytes& arguments) const;

    // The --output-dir folder (by its bytes in `arguments`), made when missing; empty without the
    // option. False, with the usage message written, when the folder is empty or cannot be made.
    bool outputFolder(const QCommandLineParser& parser, const ArgumentBytes& arguments,
                      std::string& folder) const;

    bool quiet(const QCommandLineParser& parser) const { return parser.isSet(quiet_); }

    // "program: text" on standard error.
    void usageError(const std::string& text) const;

    QCommandLineOption params_, set_, noIni_, outputDir_, quiet_;

  private:
    std::string program_;
    std::string iniName_;
};

// psctrawl's --max-events N: the events one recording stores at most (default 63999, the event
// table's rows), 0 for no limit.
QCommandLineOption batchMaxEventsOption();

// The --max-events value, 63999 without the option. Nothing, with the usage message written, when
// the value is not a whole number from 0 to 2147483647.
std::optional<std::int32_t> batchMaxEvents(const QCommandLineParser& parser, const QCommandLineOption& option,
                                           const BatchCommandLine& commandLine);

// psctrawl's and spktal's --jobs N: recordings analysed at once (default 1; 0: one per core).
QCommandLineOption batchJobsOption();

// The --jobs value, 1 without the option, the number of cores for 0. Nothing, with the usage
// message written, when the value is not a whole number from 0 up.
std::optional<int> batchJobs(const QCommandLineParser& parser, const QCommandLineOption& option,
                             const BatchCommandLine& commandLine);

}  // namespace ephys
