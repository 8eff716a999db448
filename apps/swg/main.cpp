// swg, the stimulus waveform generator. `swg --batch` writes one waveform file into the data
// folder and prints its path; without --batch it is the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>
#include <QStringList>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "params/dialog_record.h"
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
#include "swg/swg_program.h"
#include "wavegen/waveform_parameters.h"
#include "wavegen/waveform_synthesis.h"

namespace {

using ephys::kExitDone;
using ephys::kExitFailed;
using ephys::kExitUsage;

// The largest seed word that keeps the recurrence going (the modulus itself would stop it at 0).
constexpr long long kLargestSeed = 2147483646;

// The shared batch options and swg's own.
struct BatchOptions {
    ephys::BatchCommandLine common{"swg", "SWG", "Write into DIR instead of ~/data."};
    QCommandLineOption seed{"seed", "Fixed random seed N (1 to 2147483646) for reproducible noise.", "N"};
};

int runBatch(const QCommandLineParser& parser, const BatchOptions& o, const ephys::ArgumentBytes& arguments) {
    if (!parser.positionalArguments().isEmpty()) {
        o.common.usageError("--batch takes no file names, got \"" +
                            parser.positionalArguments().join(' ').toStdString() + "\"");
        return kExitUsage;
    }
    ephys::StderrMessageSink messages;
    ephys::WaveformParameters params;
    ephys::ParamTable table;
    ephys::waveBuildParamTable(params, table, messages);

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
    params.waveform = static_cast<char>(std::toupper(static_cast<unsigned char>(params.waveform)));
    if (std::optional<std::string> refused = ephys::waveCheckParameters(params)) {
        messages.show(ephys::MessageKind::ParameterError, ephys::kParameterErrorCaption, *refused);
        return kExitUsage;
    }

    ephys::WaveRunOptions options;
    if (parser.isSet(o.seed)) {
        bool ok = false;
        const long long seed = parser.value(o.seed).toLongLong(&ok);
        if (!ok || seed < 1 || seed > kLargestSeed) {
            o.common.usageError("--seed must be a whole number from 1 to " + std::to_string(kLargestSeed));
            return kExitUsage;
        }
        options.seed = static_cast<std::int32_t>(seed);
    }
    if (parser.isSet(o.common.outputDir_)) {
        // The folder's name as the file system spells it, whatever its encoding.
        options.directory = arguments.value(parser, o.common.outputDir_);
        if (options.directory.empty()) {
            o.common.usageError("--output-dir needs a folder");
            return kExitUsage;
        }
    } else {
        // The data folder ~/data is made on first use; a folder named with --output-dir must exist.
        options.directory = ephys::homeDirectory() + "/data";
        std::error_code ignored;
        std::filesystem::create_directory(options.directory, ignored);
    }

    ephys::WaveRunResult result;
    {
        ephys::StderrProgressView view(o.common.quiet(parser));
        ephys::ProgressRecord progress;
        progress.view = &view;
        ephys::WaveState state;
        // One batch process makes one run. Its random source is brought to the state a desktop
        // session has after its first run, so that the run's clock seed counts: without --seed
        // every batch run makes new noise instead of the start-up state's fixed sequence.
        if (!options.seed) ephys::waveRandomReset(state.random);
        result = ephys::waveGenerate(params, progress, state, messages, options);
    }
    if (!result.ok) return kExitFailed;
    std::printf("%s\n", result.path.c_str());
    return std::fflush(stdout) == 0 ? kExitDone : kExitFailed;
}

// --batch and --help: the command-line program, no display needed.
int consoleMain(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ephys::useCNumbers();
    QCoreApplication::setApplicationName("swg");

    QCommandLineParser parser;
    const BatchOptions options;
    if (const std::optional<int> done = options.common.parse(
            parser,
            "Stimulus waveform generator: noise, chirp, reverse chirp, sine or pulse train inside a current "
            "step, written as an ATF file.",
            "Write one waveform file without a window and print its path.", {options.seed}))
        return *done;
    return runBatch(parser, options, ephys::ArgumentBytes(argc, argv));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!ephys::shellWantsConsole(argc, argv))
        return ephys::shellRunDesktop<ephys::SwgProgram>(argc, argv, "swg",
                                                         "Scan files (.sca): each starts one generator run.");
    return consoleMain(argc, argv);
}
