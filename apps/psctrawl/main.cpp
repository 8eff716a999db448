// psctrawl, the PSC detector. `psctrawl --batch FILE...` analyses the recordings without a window
// and writes their outputs beside them (or into --output-dir); without --batch it is the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>
#include <QStringList>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "params/messages.h"
#include "params/param_files.h"
#include "params/param_settings.h"
#include "params/param_table.h"
#include "params/profile_file.h"
#include "params/progress.h"
#include "psc/psc_parameters.h"
#include "psc/run_driver.h"
#include "psctrawl/psctrawl_program.h"
#include "shell/argument_bytes.h"
#include "shell/batch_command_line.h"
#include "shell/command_line_basics.h"
#include "shell/desktop_main.h"

namespace {

using ephys::kExitDone;
using ephys::kExitFailed;
using ephys::kExitUsage;

// True when a "LABEL=VALUE" setting names the "Frames" row.
bool setsFrames(const ephys::ParamTable& table, std::string_view setting) {
    const std::size_t eq = setting.find('=');
    if (eq == std::string_view::npos) return false;
    return table.findRow(setting.substr(0, eq)) == static_cast<int>(ephys::kPscFramesRow);
}

std::string valueOf(std::string_view setting) {
    std::string_view value = setting.substr(setting.find('=') + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
}

// The shared batch options and psctrawl's own.
struct BatchOptions {
    ephys::BatchCommandLine common{"psctrawl", "PSCTRAWL",
                                   "Write the outputs into DIR instead of beside each recording."};
    QCommandLineOption overwrite{"overwrite", "Replace outputs that already exist."};
    QCommandLineOption maxEvents = ephys::batchMaxEventsOption();
};

int runBatch(const QCommandLineParser& parser, const BatchOptions& o, const ephys::ArgumentBytes& arguments) {
    // The recordings' names as the file system spells them, whatever their encoding.
    const std::vector<std::string> files = arguments.positional(parser);
    if (files.empty()) {
        o.common.usageError("--batch needs one or more recordings (psctrawl --help)");
        return kExitUsage;
    }

    ephys::StderrMessageSink messages(parser.isSet(o.overwrite));
    ephys::PscParameters params;
    ephys::ParamTable table;
    ephys::pscBuildParamTable(params, table, messages);

    // Built-in defaults, then the settings file, then a parameter file, then each --set. A
    // "Frames" list from the last two applies to every recording and is checked against each
    // recording's frame count once its header is read.
    std::optional<std::string> frames;
    const ephys::BatchSettings settings = o.common.settings(parser, arguments);
    const ephys::BatchSettingsResult applied =
        ephys::paramApplyBatchSettings(table, settings, [&](const std::string& setting) {
            if (!setsFrames(table, setting)) return false;
            frames = valueOf(setting);
            return true;
        });
    if (applied.outcome == ephys::BatchSettingsResult::Outcome::UsageError) {
        o.common.usageError(applied.message);
        return kExitUsage;
    }
    if (applied.outcome == ephys::BatchSettingsResult::Outcome::RefusedValue) {
        messages.show(ephys::MessageKind::ParameterError, ephys::kParameterErrorCaption, applied.message);
        return kExitUsage;
    }
    // A "Frames" list from the parameter file counts unless a --set gave one.
    if (!frames) {
        const std::optional<std::string> listed = applied.paramsFile.get(ephys::kParametersSection, "Frames");
        if (listed && !listed->empty()) frames = *listed;
    }

    // A list that is no list of frames at all (a step below 1, stray characters) is refused before
    // any recording, as other refused values are; whether its frames exist is asked of each
    // recording. The check allows frames up to 2^24, far more than any recording has.
    if (frames) {
        std::string list = *frames;
        ephys::pscSetFramesLimits(table, 1 << 24);
        if (!ephys::paramCheckText(table, ephys::kPscFramesRow, list)) {
            messages.show(ephys::MessageKind::ParameterError, ephys::kParameterErrorCaption,
                          ephys::paramErrorText(table.rows[ephys::kPscFramesRow]));
            return kExitUsage;
        }
    }

    std::string outputDir;
    if (!o.common.outputFolder(parser, arguments, outputDir)) return kExitUsage;
    const std::optional<std::int32_t> maxEvents = ephys::batchMaxEvents(parser, o.maxEvents, o.common);
    if (!maxEvents) return kExitUsage;
    params.maxStoredEvents = *maxEvents;

    ephys::StderrProgressView view(o.common.quiet(parser));
    ephys::ProgressRecord progress;
    progress.view = &view;
    ephys::PscRun run(params, progress, messages);
    run.outputDir = outputDir;
    run.withButtonEvent = false;
    params.recordingInfoRead = 0;
    const std::vector<ephys::PscRecordingOutcome> outcomes =
        ephys::pscRunRecordings(run, table, files, frames);

    bool allDone = true;
    for (const ephys::PscRecordingOutcome& outcome : outcomes) {
        if (outcome.state != ephys::PscRecordingOutcome::State::Done) {
            allDone = false;
            continue;
        }
        std::printf("%s->Done\n", outcome.fileName.c_str());
        if (!outcome.completionText.empty()) std::printf("%s\n", outcome.completionText.c_str());
    }
    if (std::fflush(stdout) != 0) return kExitFailed;
    // An output that existed and was kept (no "Over write output files" = Y, no --overwrite)
    // leaves the run incomplete even though every recording was analysed.
    if (messages.skippedOutputs() > 0) {
        std::fprintf(stderr, "psctrawl: %d output(s) skipped because they exist\n",
                     messages.skippedOutputs());
        return kExitFailed;
    }
    return allDone ? kExitDone : kExitFailed;
}

// --batch and --help: the command-line program, no display needed.
int consoleMain(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ephys::useCNumbers();
    QCoreApplication::setApplicationName("psctrawl");

    QCommandLineParser parser;
    const BatchOptions options;
    parser.addPositionalArgument("FILE", "Recordings to analyse (.abf).", "[FILE...]");
    if (const std::optional<int> done = options.common.parse(
            parser,
            "PSC detector: finds postsynaptic currents in voltage-clamp ABF recordings by their slope, "
            "measures them and writes the event table, summaries and scan file of each recording.",
            "Analyse the recordings without a window, write the outputs.",
            {options.overwrite, options.maxEvents}))
        return *done;
    return runBatch(parser, options, ephys::ArgumentBytes(argc, argv));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!ephys::shellWantsConsole(argc, argv))
        return ephys::shellRunDesktop<ephys::PsctrawlProgram>(argc, argv, "psctrawl",
                                                              "Recordings to analyse (.abf).",
                                                              std::vector<std::string>{EPHYS_DOCS_DIR});
    return consoleMain(argc, argv);
}
