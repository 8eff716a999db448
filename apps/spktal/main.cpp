// spktal, the spike detector. `spktal --batch FILE...` counts the action potentials of the
// recordings without a window, writes their outputs beside them (or into --output-dir) and
// prints each recording's result text; the desktop window is still to come.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "params/messages.h"
#include "params/param_files.h"
#include "params/param_settings.h"
#include "params/param_table.h"
#include "params/profile_file.h"
#include "params/progress.h"
#include "spike/spike_count.h"
#include "spike/spike_params.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void usageError(const std::string& text) {
    std::fprintf(stderr, "spktal: %s\n", text.c_str());
}

struct BatchOptions {
    QCommandLineOption params{"params", "Read the [Parameters] section of parameter file FILE.", "FILE"};
    QCommandLineOption set{"set", "Set one parameter, LABEL=VALUE (repeatable).", "LABEL=VALUE"};
    QCommandLineOption noIni{"no-ini", "Start from the built-in defaults, not from SPKTAL.ini."};
    QCommandLineOption outputDir{"output-dir", "Write the outputs into DIR instead of beside each recording.",
                                 "DIR"};
    QCommandLineOption quiet{"quiet", "Show no progress."};
};

int runBatch(const QCommandLineParser& parser, const BatchOptions& o) {
    std::vector<std::string> files;
    for (const QString& name : parser.positionalArguments()) files.push_back(name.toStdString());
    if (files.empty()) {
        usageError("--batch needs one or more recordings (spktal --help)");
        return kExitUsage;
    }

    ephys::StderrMessageSink messages;
    ephys::SpikeParams params;
    ephys::ParamTable table;
    ephys::spikeBuildParamTable(params, table, messages);

    // Built-in defaults, then the settings file, then a parameter file, then each --set.
    ephys::BatchSettings settings;
    if (!parser.isSet(o.noIni)) settings.iniFile = ephys::iniFilePath("SPKTAL");
    if (parser.isSet(o.params)) settings.paramsFile = parser.value(o.params).toStdString();
    for (const QString& s : parser.values(o.set)) settings.sets.push_back(s.toStdString());
    const ephys::BatchSettingsResult applied = ephys::paramApplyBatchSettings(table, settings);
    if (applied.outcome == ephys::BatchSettingsResult::Outcome::UsageError) {
        usageError(applied.message);
        return kExitUsage;
    }
    if (applied.outcome == ephys::BatchSettingsResult::Outcome::RefusedValue) {
        messages.show(ephys::MessageKind::ParameterError, ephys::kParameterErrorCaption, applied.message);
        return kExitUsage;
    }
    if (std::optional<std::string> refused = ephys::spikeCheckParams(params)) {
        messages.show(ephys::MessageKind::ParameterError, ephys::kParameterErrorCaption, *refused);
        return kExitUsage;
    }

    ephys::SpikeRunOptions options;
    if (parser.isSet(o.outputDir)) {
        options.outputDir = parser.value(o.outputDir).toStdString();
        std::error_code ec;
        if (options.outputDir.empty()) {
            usageError("--output-dir needs a folder");
            return kExitUsage;
        }
        std::filesystem::create_directories(options.outputDir, ec);
        if (!std::filesystem::is_directory(options.outputDir, ec)) {
            usageError("cannot make the output folder " + options.outputDir);
            return kExitUsage;
        }
    }

    // What the desktop program puts on the clipboard goes to standard output, one text per
    // recording as it is done.
    auto printResult = [](const std::string&, const std::string& text) {
        std::fputs(text.c_str(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    std::vector<ephys::SpikeFileResult> results;
    {
        ephys::StderrProgressView view(parser.isSet(o.quiet));
        ephys::ProgressRecord progress;
        progress.view = &view;
        ephys::spikeCountSelection(params, files, progress, messages, options, printResult, false, &results);
    }
    bool allDone = results.size() == files.size();
    for (const ephys::SpikeFileResult& result : results) allDone = allDone && result.ok;
    if (std::fflush(stdout) != 0) return kExitFailed;
    return allDone ? kExitDone : kExitFailed;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // Numbers are read and written the C way whatever the user's locale.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName("spktal");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Spike detector: counts action potentials per sweep and channel in ABF recordings, with latencies, "
        "bursts, instantaneous frequencies and frequency/current fits, and writes its text outputs beside "
        "each recording.");
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption batchOption("batch", "Count the spikes without a window, write the outputs.");
    const BatchOptions options;
    parser.addOptions(
        {batchOption, options.params, options.set, options.noIni, options.outputDir, options.quiet});
    parser.addPositionalArgument("FILE", "Recordings to analyse (.abf).", "[FILE...]");

    if (!parser.parse(QCoreApplication::arguments())) {
        usageError(parser.errorText().toStdString());
        return kExitUsage;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toStdString().c_str(), stdout);
        return kExitDone;
    }
    if (!parser.isSet(batchOption)) {
        std::puts("spktal: the desktop window is not built yet; run \"spktal --batch FILE...\".");
        return kExitDone;
    }
    return runBatch(parser, options);
}
