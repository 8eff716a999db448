#include "shell/batch_command_line.h"

#include <QCoreApplication>
#include <QStringList>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "params/parallel_recordings.h"
#include "params/param_files.h"

namespace ephys {

BatchCommandLine::BatchCommandLine(std::string program, std::string iniName, const QString& outputDirHelp)
    : params_("params", "Read the [Parameters] section of parameter file FILE.", "FILE"),
      set_("set", "Set one parameter, LABEL=VALUE (repeatable).", "LABEL=VALUE"),
      noIni_("no-ini",
             QString::fromStdString("Start from the built-in defaults, not from " + iniName + ".ini.")),
      outputDir_("output-dir", outputDirHelp, "DIR"),
      quiet_("quiet", "Show no progress."),
      program_(std::move(program)),
      iniName_(std::move(iniName)) {}

std::optional<int> BatchCommandLine::parse(QCommandLineParser& parser, const QString& description,
                                           const QString& batchHelp,
                                           const QList<QCommandLineOption>& extra) const {
    parser.setApplicationDescription(description);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption batchOption("batch", batchHelp);
    parser.addOptions({batchOption, params_, set_, noIni_, outputDir_, quiet_});
    parser.addOptions(extra);
    if (!parser.parse(QCoreApplication::arguments())) {
        usageError(parser.errorText().toStdString());
        return kExitUsage;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toStdString().c_str(), stdout);
        return kExitDone;
    }
    if (!parser.isSet(batchOption)) {
        usageError("the desktop program takes no options; --batch for the command-line use");
        return kExitUsage;
    }
    return std::nullopt;
}

BatchSettings BatchCommandLine::settings(const QCommandLineParser& parser,
                                         const ArgumentBytes& arguments) const {
    BatchSettings settings;
    if (!parser.isSet(noIni_)) settings.iniFile = iniFilePath(iniName_);
    if (parser.isSet(params_)) settings.paramsFile = arguments.value(parser, params_);
    for (const QString& s : parser.values(set_)) settings.sets.push_back(s.toStdString());
    return settings;
}

bool BatchCommandLine::outputFolder(const QCommandLineParser& parser, const ArgumentBytes& arguments,
                                    std::string& folder) const {
    folder.clear();
    if (!parser.isSet(outputDir_)) return true;
    folder = arguments.value(parser, outputDir_);
    if (folder.empty()) {
        usageError("--output-dir needs a folder");
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
        usageError("cannot make the output folder " + folder);
        return false;
    }
    return true;
}

void BatchCommandLine::usageError(const std::string& text) const {
    printUsageError(program_, text);
}

QCommandLineOption batchMaxEventsOption() {
    return QCommandLineOption(
        "max-events",
        "Store at most N events per recording (default 63999; 0: no limit). Events past "
        "the limit are named on standard error and in the completion text.",
        "N");
}

std::optional<std::int32_t> batchMaxEvents(const QCommandLineParser& parser, const QCommandLineOption& option,
                                           const BatchCommandLine& commandLine) {
    if (!parser.isSet(option)) return 63999;
    const std::string text = parser.value(option).toStdString();
    std::int32_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
        commandLine.usageError("--max-events needs a whole number from 0 (no limit) to 2147483647, not '" +
                               text + "'");
        return std::nullopt;
    }
    return value;
}

QCommandLineOption batchJobsOption() {
    return QCommandLineOption("jobs",
                              "Analyse N recordings at once (default 1; 0: one per core). Outputs and "
                              "messages are those of one recording after the other; progress is one line "
                              "per finished recording.",
                              "N");
}

std::optional<int> batchJobs(const QCommandLineParser& parser, const QCommandLineOption& option,
                             const BatchCommandLine& commandLine) {
    if (!parser.isSet(option)) return 1;
    const std::string text = parser.value(option).toStdString();
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
        commandLine.usageError(std::string("--jobs needs a whole number from 0 (one per core) up, not '")
                                   .append(text)
                                   .append("'"));
        return std::nullopt;
    }
    return parallelJobCount(value);
}

}  // namespace ephys
