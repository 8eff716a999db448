// psctrawl, the PSC detector. `psctrawl --batch FILE...` analyses the recordings without a window
// and writes their outputs beside them (or into --output-dir); without --batch it is the desktop program.
#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QStringList>

#include <cstdio>
#include <filesystem>
#include <memory>
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
#include "psc/psc_figures.h"
#include "psc/psc_parallel.h"
#include "psc/psc_parameters.h"
#include "psc/run_driver.h"
#include "psc/template_fit.h"
#include "psctrawl/psctrawl_program.h"
#include "shell/argument_bytes.h"
#include "shell/batch_command_line.h"
#include "shell/command_line_basics.h"
#include "shell/desktop_main.h"
#include "shell/qt_canvas.h"

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

// The events figure of a recording, written with its outputs: <recording>_events.svg drawn by the
// plotting library, and the same drawing as <recording>_events.png. A figure not written fails the
// recording.
void writeEventsFigure(ephys::PscRun& run, const std::string& recording, const ephys::PscEventTable& table) {
    ephys::PscEventsFigure figure = ephys::pscEventsFigureValues(recording, table, run.params);
    auto fail = [&](const std::string& reason) {
        run.messages.show(
            ephys::MessageKind::PlainError, ephys::kPlainErrorCaption,
            std::string("Couldn't write the figure of ").append(recording).append(": ").append(reason));
        run.outputs.markFailed();
    };
    std::string reason;
    if (!ephys::pscEventsFigureTraces(figure, recording, table, run.params, reason)) return fail(reason);
    const std::string svg = ephys::pscEventsFigureSvg(figure);
    const QImage image = ephys::plotRenderImage(
        ephys::kPscFigureWidth, ephys::kPscFigureHeight, [&](ephys::PlotCanvas& canvas) {
            ephys::PlotDevice d =
                ephys::pscFigureDevice(canvas, ephys::kPscFigureWidth, ephys::kPscFigureHeight);
            ephys::pscDrawEventsFigure(d, figure);
        });
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return fail("the image could not be encoded as PNG");
    const char overwrite = run.params.overwriteOutputs;
    ephys::pscWriteFigureFile(ephys::pscFigurePath(recording, run.outputDir, ".svg"), svg, overwrite,
                              run.messages, run.outputs);
    ephys::pscWriteFigureFile(ephys::pscFigurePath(recording, run.outputDir, ".png"),
                              std::string_view(png.constData(), static_cast<std::size_t>(png.size())),
                              overwrite, run.messages, run.outputs);
}

// The shared batch options and psctrawl's own.
struct BatchOptions {
    ephys::BatchCommandLine common{"psctrawl", "PSCTRAWL",
                                   "Write the outputs into DIR instead of beside each recording."};
    QCommandLineOption overwrite{"overwrite", "Replace outputs that already exist."};
    QCommandLineOption figures{"figures",
                               "Also write a figure of each recording's events, <recording>_events.svg and "
                               ".png, beside its outputs."};
    QCommandLineOption maxEvents = ephys::batchMaxEventsOption();
    QCommandLineOption jobs = ephys::batchJobsOption();
    QCommandLineOption detector{"detector",
                                "How events are found: slope (the dI/dt trigger, default), deconvolution "
                                "or template (by the event's shape).",
                                "NAME", "slope"};
    QCommandLineOption riseMs{"template-rise-ms", "Rise time constant of the event template (default 0.5).",
                              "MS", "0.5"};
    QCommandLineOption decayMs{"template-decay-ms", "Decay time constant of the event template (default 5).",
                               "MS", "5"};
    QCommandLineOption fromRecording{
        "template-from-recording",
        "With --detector deconvolution or template: fit the template's rise and decay time constants to "
        "each recording's own clearest events (found first with --template-rise-ms and "
        "--template-decay-ms), then analyse the recording with them."};
    QCommandLineOption thresholdSd{"threshold-sd",
                                   "Detection threshold of the deconvolution or template detector, in noise "
                                   "SDs (default 4.5 for deconvolution, 5 for template).",
                                   "K"};
    QCommandLineOption humHz{"hum-hz",
                             "With --detector deconvolution or template: the mains frequency whose hum, "
                             "with its second and third harmonics, is taken out of the current before "
                             "events are found and measured; auto (default): 50 or 60 Hz, where found; "
                             "0: none.",
                             "HZ", "auto"};
};

// The detector options into the run options of the parameter record. False after a usage error.
bool applyDetectorOptions(const QCommandLineParser& parser, const BatchOptions& o, ephys::PscParameters& p) {
    if (!ephys::pscParseDetector(parser.value(o.detector).toStdString(), p.detector)) {
        o.common.usageError("--detector is slope, deconvolution or template");
        return false;
    }
    bool riseOk = false, decayOk = false, thresholdOk = true;
    const double rise = parser.value(o.riseMs).toDouble(&riseOk);
    const double decay = parser.value(o.decayMs).toDouble(&decayOk);
    double threshold = 0.0;
    if (parser.isSet(o.thresholdSd)) threshold = parser.value(o.thresholdSd).toDouble(&thresholdOk);
    if (!riseOk || !decayOk || !(rise > 0.0 && rise < 1000.0) || !(decay > 0.0 && decay < 1000.0) ||
        rise >= decay) {
        o.common.usageError("--template-rise-ms and --template-decay-ms take times in ms, rise below decay");
        return false;
    }
    if (!thresholdOk || (parser.isSet(o.thresholdSd) && !(threshold > 0.0 && threshold < 1000.0))) {
        o.common.usageError("--threshold-sd takes a number above 0");
        return false;
    }
    // auto, 0 (none) or a frequency.
    bool humOk = true;
    const QString humText = parser.value(o.humHz);
    const double hum = humText == QStringLiteral("auto") ? ephys::kPscHumSearch : humText.toDouble(&humOk);
    if (!humOk || !(hum == ephys::kPscHumSearch || hum == 0.0 || (hum >= 1.0 && hum <= 1000.0))) {
        o.common.usageError("--hum-hz takes auto, 0 or the mains frequency in Hz (1 to 1000)");
        return false;
    }
    if (parser.isSet(o.humHz) && p.detector == ephys::PscDetectorKind::Slope) {
        o.common.usageError("--hum-hz needs --detector deconvolution or template");
        return false;
    }
    if (parser.isSet(o.fromRecording) && p.detector == ephys::PscDetectorKind::Slope) {
        o.common.usageError("--template-from-recording needs --detector deconvolution or template");
        return false;
    }
    p.templateRiseMs = static_cast<float>(rise);
    p.templateDecayMs = static_cast<float>(decay);
    p.detectionThreshold = static_cast<float>(threshold);
    p.humHz = static_cast<float>(hum);
    return true;
}

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
    const std::optional<int> jobs = ephys::batchJobs(parser, o.jobs, o.common);
    if (!jobs) return kExitUsage;
    if (!applyDetectorOptions(parser, o, params)) return kExitUsage;

    ephys::StderrProgressView view(o.common.quiet(parser));
    ephys::ProgressRecord progress;
    progress.view = &view;
    ephys::PscRun run(params, progress, messages);
    // Every recording's first pass starts from the kinetics given on the command line.
    std::optional<ephys::PscTemplateStart> templateStart;
    if (parser.isSet(o.fromRecording))
        templateStart = ephys::PscTemplateStart{params.templateRiseMs, params.templateDecayMs};
    // The run's set-up; with several jobs, each worker's run is set up the same way.
    auto configure = [&](ephys::PscRun& r) {
        r.outputDir = outputDir;
        r.templateFromRecording = templateStart;
        r.withButtonEvent = false;
        if (parser.isSet(o.figures)) r.moreOutputs = writeEventsFigure;
    };
    configure(run);
    params.recordingInfoRead = 0;
    std::vector<ephys::PscRecordingOutcome> outcomes;
    if (*jobs > 1 && files.size() > 1) {
        const ephys::PscParallelOptions parallel{*jobs, parser.isSet(o.overwrite), !o.common.quiet(parser),
                                                 configure};
        outcomes = ephys::pscRunRecordingsParallel(params, files, frames, messages, parallel);
    } else {
        outcomes = ephys::pscRunRecordings(run, table, files, frames);
    }

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

// Whether the command line asks for figures (before any "--" that ends the options).
bool wantsFigures(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--") return false;
        if (argument == "--figures") return true;
    }
    return false;
}

QtMessageHandler previousHandler = nullptr;

void dropSessionNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR"))) return;
    if (previousHandler != nullptr) previousHandler(type, context, text);
}

// --batch and --help: the command-line program, no display needed.
int consoleMain(int argc, char* argv[]) {
    // Figures are drawn with Qt's fonts, which need a GUI application object; the offscreen
    // platform gives one without a display. Without figures the program stays a console one.
    std::unique_ptr<QCoreApplication> app;
    if (wantsFigures(argc, argv)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        // Without a desktop session the platform notes that it has no runtime folder; batch
        // output on standard error is the program's own messages only.
        previousHandler = qInstallMessageHandler(dropSessionNotes);
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
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
            {options.overwrite, options.figures, options.maxEvents, options.jobs, options.detector,
             options.riseMs, options.decayMs, options.fromRecording, options.thresholdSd, options.humHz}))
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
