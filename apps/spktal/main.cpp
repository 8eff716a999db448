// spktal, the spike detector. `spktal --batch FILE...` counts the action potentials of the
// recordings without a window, writes their outputs beside them (or into --output-dir) and
// prints each recording's result text; without --batch it is the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
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
#include "shell/argument_bytes.h"
#include "shell/batch_command_line.h"
#include "shell/command_line_basics.h"
#include "shell/desktop_main.h"
#include "shell/graph_window.h"
#include "spike/spike_count.h"
#include "spike/spike_parallel.h"
#include "spike/spike_params.h"
#include "spktal/desktop_spktal.h"

namespace {

using ephys::kExitDone;
using ephys::kExitFailed;
using ephys::kExitUsage;

// The F/I figure's size in batch mode: the graph window's default width and the F/I height.
constexpr int kFigureWidth = 800;
constexpr int kFigureHeight = 700;

// The shared batch options.
struct BatchOptions {
    ephys::BatchCommandLine common{"spktal", "SPKTAL",
                                   "Write the outputs into DIR instead of beside each recording."};
    QCommandLineOption jobs = ephys::batchJobsOption();
};

int runBatch(const QCommandLineParser& parser, const BatchOptions& o, const ephys::ArgumentBytes& arguments) {
    // The recordings' names as the file system spells them, whatever their encoding.
    const std::vector<std::string> files = arguments.positional(parser);
    if (files.empty()) {
        o.common.usageError("--batch needs one or more recordings (spktal --help)");
        return kExitUsage;
    }

    ephys::StderrMessageSink messages;
    ephys::SpikeParams params;
    ephys::ParamTable table;
    ephys::spikeBuildParamTable(params, table, messages);

    // Built-in defaults, then the settings file, then a parameter file, then each --set.
    const ephys::BatchSettings settings = o.common.settings(parser, arguments);
    const ephys::BatchSettingsResult applied = ephys::paramApplyBatchSettings(table, settings);
    if (applied.outcome == ephys::BatchSettingsResult::Outcome::UsageError) {
        o.common.usageError(applied.message);
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
    if (!o.common.outputFolder(parser, arguments, options.outputDir)) return kExitUsage;
    const std::optional<int> jobs = ephys::batchJobs(parser, o.jobs, o.common);
    if (!jobs) return kExitUsage;

    // What the desktop program puts on the clipboard goes to standard output, one text per
    // recording as it is done.
    auto printResult = [](const std::string&, const std::string& text) {
        std::fputs(text.c_str(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    // With "Generate F/I Plots?" the figure that the desktop program shows in its graph window is
    // written beside the outputs instead, as <recording>_FI.svg and <recording>_FI.png.
    bool figuresWritten = true;
    options.showFiPlots = [&](ephys::GraphRecord& record, const std::string& recording) {
        const std::filesystem::path source(recording);
        const std::filesystem::path folder =
            options.outputDir.empty() ? source.parent_path() : std::filesystem::path(options.outputDir);
        const std::string base = (folder / (source.stem().string() + "_FI")).string();
        std::string error;
        if (!ephys::graphWriteImages(record, base, kFigureWidth, kFigureHeight, &error)) {
            messages.show(ephys::MessageKind::PlainError, ephys::kPlainErrorCaption,
                          "Could not write the F/I plots " + base + ".svg/.png: " + error);
            figuresWritten = false;
        } else if (!o.common.quiet(parser)) {
            std::fprintf(stderr, "F/I plots: %s.svg, %s.png\n", base.c_str(), base.c_str());
        }
    };

    std::vector<ephys::SpikeFileResult> results;
    if (*jobs > 1 && files.size() > 1) {
        const ephys::SpikeParallelOptions parallel{*jobs, false, !o.common.quiet(parser)};
        results = ephys::spikeCountParallel(params, files, messages, options, printResult, parallel);
    } else {
        ephys::StderrProgressView view(o.common.quiet(parser));
        ephys::ProgressRecord progress;
        progress.view = &view;
        ephys::spikeCountSelection(params, files, progress, messages, options, printResult, false, &results);
    }
    bool allDone = results.size() == files.size();
    for (const ephys::SpikeFileResult& result : results) allDone = allDone && result.ok;
    if (std::fflush(stdout) != 0) return kExitFailed;
    return allDone && figuresWritten ? kExitDone : kExitFailed;
}

QtMessageHandler previousHandler = nullptr;

void dropSessionNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR"))) return;
    if (previousHandler != nullptr) previousHandler(type, context, text);
}

// --batch and --help: the command-line program, no display needed.
int consoleMain(int argc, char* argv[]) {
    // The F/I figures are drawn with Qt's fonts, which need a GUI application object; the offscreen
    // platform gives one without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Without a desktop session the platform notes that it has no runtime folder; batch output
    // on standard error is the program's own messages only.
    previousHandler = qInstallMessageHandler(dropSessionNotes);
    QGuiApplication app(argc, argv);
    ephys::useCNumbers();
    QCoreApplication::setApplicationName("spktal");

    QCommandLineParser parser;
    const BatchOptions options;
    parser.addPositionalArgument("FILE", "Recordings to analyse (.abf).", "[FILE...]");
    if (const std::optional<int> done = options.common.parse(
            parser,
            "Spike detector: counts action potentials per sweep and channel in ABF recordings, with "
            "latencies, bursts, instantaneous frequencies and frequency/current fits, and writes its text "
            "outputs beside each recording.",
            "Count the spikes without a window, write the outputs.", {options.jobs}))
        return *done;
    return runBatch(parser, options, ephys::ArgumentBytes(argc, argv));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!ephys::shellWantsConsole(argc, argv))
        return ephys::shellRunDesktop<ephys::DesktopSpktal>(argc, argv, "spktal",
                                                            "Recordings to count (.abf).");
    return consoleMain(argc, argv);
}
