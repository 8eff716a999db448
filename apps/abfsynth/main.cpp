// abfsynth: synthetic recordings with known events, written as ABF files, and their ground truth
// as CSV beside them. Postsynaptic currents in voltage clamp (gap-free or episodic) or action
// potentials in current clamp (episodic, a current step per sweep in the epoch table). The same
// options and seed give the same file on every machine.
#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"
#include "params/output_file.h"
#include "shell/argument_bytes.h"
#include "shell/command_line_basics.h"

using namespace ephys;

namespace {

constexpr std::int64_t kPiece = 1 << 16;  // samples per channel written at a time

struct Options {
    QCommandLineParser parser;
    QCommandLineOption out{"out", "The recording to write (.abf).", "FILE"};
    QCommandLineOption kind{"kind", "psc (voltage clamp, default) or spikes (current clamp).", "KIND", "psc"};
    QCommandLineOption seed{"seed", "Random seed (default 1).", "N", "1"};
    QCommandLineOption format{"format", "int16 (default) or float32 samples.", "FORMAT", "int16"};
    QCommandLineOption abf1{"abf1", "Write ABF version 1.83 instead of ABF 2."};
    QCommandLineOption overwrite{"overwrite", "Replace an existing file."};
    QCommandLineOption interval{"interval", "Sample interval per channel in us (default 50).", "US", "50"};
    QCommandLineOption duration{"duration", "psc: length of a gap-free recording in s (default 60).", "S",
                                "60"};
    QCommandLineOption sweeps{"sweeps", "Episodic: number of sweeps (psc: 0 = gap-free).", "N"};
    QCommandLineOption sweepLength{"sweep-length", "Episodic: sweep length in s.", "S"};
    QCommandLineOption rate{"rate", "psc: mean event rate in Hz (default 5).", "HZ", "5"};
    QCommandLineOption rise{"rise", "psc: rise time constant in ms (default 0.5).", "MS", "0.5"};
    QCommandLineOption decay{"decay", "psc: decay time constant in ms (default 5).", "MS", "5"};
    QCommandLineOption amplitude{"amplitude", "psc: median amplitude in pA (default 30).", "PA", "30"};
    QCommandLineOption amplitudeSd{"amplitude-sd", "psc: SD of the log amplitude (default 0.3).", "X", "0.3"};
    QCommandLineOption outward{"outward", "psc: outward (positive) currents instead of inward ones."};
    QCommandLineOption noise{"noise", "SD of the white noise (pA or mV; default 2 pA, 0.3 mV).", "X"};
    QCommandLineOption drift{"drift", "psc: amplitude of a slow drift in pA (default 0).", "PA", "0"};
    QCommandLineOption driftHz{"drift-hz", "psc: frequency of the drift in Hz (default 0.1).", "HZ", "0.1"};
    QCommandLineOption pink{
        "pink-noise", "psc: SD of pink (1/f) noise in pA, beside the white noise (default 0).", "PA", "0"};
    QCommandLineOption hum{"hum", "psc: amplitude of mains hum in pA (default 0).", "PA", "0"};
    QCommandLineOption humHz{"hum-hz", "psc: frequency of the mains hum in Hz (default 50).", "HZ", "50"};
    QCommandLineOption minGap{"min-gap", "psc: shortest time between two onsets in ms (default 0).", "MS",
                              "0"};
    QCommandLineOption channels{"channels", "spikes: recorded channels (default 1).", "N", "1"};
    QCommandLineOption firstStep{
        "first-step", "spikes: current of the first sweep's step in pA (default -50).", "PA", "-50"};
    QCommandLineOption stepIncrement{"step-increment", "spikes: step increase per sweep in pA (default 25).",
                                     "PA", "25"};
    QCommandLineOption stepLength{"step-length", "spikes: step length in s (default 0.5).", "S", "0.5"};
    QCommandLineOption rheobase{"rheobase", "spikes: current above which the cell fires, pA (default 50).",
                                "PA", "50"};
    QCommandLineOption gain{"gain", "spikes: firing rate per pA above the rheobase (default 0.5).", "HZ",
                            "0.5"};
    QCommandLineOption tag{"tag", "A tag \"SECONDS:COMMENT\" (repeatable).", "TAG"};

    Options() {
        parser.setApplicationDescription(
            "Writes a synthetic ABF recording with known events and its ground truth.");
        parser.addHelpOption();
        for (auto* o :
             {&out,      &kind,        &seed,    &format, &abf1,     &overwrite, &interval,      &duration,
              &sweeps,   &sweepLength, &rate,    &rise,   &decay,    &amplitude, &amplitudeSd,   &outward,
              &noise,    &drift,       &driftHz, &minGap, &channels, &firstStep, &stepIncrement, &stepLength,
              &rheobase, &gain,        &tag,     &pink,   &hum,      &humHz}) {
            parser.addOption(*o);
        }
    }
};

bool number(const Options& o, const QCommandLineOption& option, double& value) {
    bool ok = true;
    if (!o.parser.isSet(option) && option.defaultValues().isEmpty()) return true;
    value = o.parser.value(option).toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        printUsageError(
            "abfsynth",
            std::string("--").append(option.names().first().toStdString()).append(" needs a number"));
        return false;
    }
    return true;
}

std::string truthPath(const std::string& out, const std::string& suffix) {
    std::string stem = out;
    const std::size_t slash = stem.rfind('/');
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem.erase(dot);
    return stem + suffix;
}

bool writeText(const std::string& path, const std::string& text) {
    OutputFile file;
    return file.create(path) && file.write(text) && file.publish();
}

std::string format(const char* fmt, double a, double b = 0, double c = 0, double d = 0, double e = 0,
                   double f = 0) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, a, b, c, d, e, f);
    return buffer;
}

// Writes every piece of every sweep through `fill(sweep, channel, first, out)`.
template <typename Fill>
Result<void> writeSamples(AbfWriter& writer, int sweepCount, std::int64_t perSweep, int channelCount,
                          Fill fill) {
    std::vector<std::vector<float>> buffers(static_cast<std::size_t>(channelCount));
    std::vector<std::span<const float>> spans(static_cast<std::size_t>(channelCount));
    for (int sweep = 1; sweep <= sweepCount; ++sweep) {
        for (std::int64_t first = 0; first < perSweep; first += kPiece) {
            const std::int64_t n = std::min(kPiece, perSweep - first);
            for (int c = 0; c < channelCount; ++c) {
                auto& b = buffers[static_cast<std::size_t>(c)];
                b.resize(static_cast<std::size_t>(n));
                fill(sweep, c, first, std::span<float>(b));
                spans[static_cast<std::size_t>(c)] = b;
            }
            if (Result<void> written = writer.writeChannels(spans); !written) return written;
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("abfsynth");
    useCNumbers();
    Options o;
    o.parser.process(app);
    if (!o.parser.isSet(o.out)) {
        printUsageError("abfsynth", "--out FILE is needed (abfsynth --help)");
        return kExitUsage;
    }
    // The name as the file system spells it, whatever its encoding.
    const std::string out = ArgumentBytes(argc, argv).value(o.parser, o.out);
    const std::string kind = o.parser.value(o.kind).toStdString();
    if (kind != "psc" && kind != "spikes") {
        printUsageError("abfsynth", "--kind is psc or spikes");
        return kExitUsage;
    }
    const std::string sampleFormat = o.parser.value(o.format).toStdString();
    if (sampleFormat != "int16" && sampleFormat != "float32") {
        printUsageError("abfsynth", "--format is int16 or float32");
        return kExitUsage;
    }
    double seed = 1, interval = 50, duration = 60, sweepLength = 0, sweepsValue = 0, rate = 5, rise = 0.5,
           decay = 5, amplitude = 30, amplitudeSd = 0.3, drift = 0, driftHz = 0.1, minGap = 0, channels = 1,
           pink = 0, hum = 0, humHz = 50, firstStep = -50, stepIncrement = 25, stepLength = 0.5,
           rheobase = 50, gain = 0.5;
    double noise = kind == "psc" ? 2.0 : 0.3;
    for (auto [option, value] :
         std::initializer_list<std::pair<QCommandLineOption*, double*>>{{&o.seed, &seed},
                                                                        {&o.interval, &interval},
                                                                        {&o.duration, &duration},
                                                                        {&o.sweeps, &sweepsValue},
                                                                        {&o.sweepLength, &sweepLength},
                                                                        {&o.rate, &rate},
                                                                        {&o.rise, &rise},
                                                                        {&o.decay, &decay},
                                                                        {&o.amplitude, &amplitude},
                                                                        {&o.amplitudeSd, &amplitudeSd},
                                                                        {&o.noise, &noise},
                                                                        {&o.drift, &drift},
                                                                        {&o.driftHz, &driftHz},
                                                                        {&o.pink, &pink},
                                                                        {&o.hum, &hum},
                                                                        {&o.humHz, &humHz},
                                                                        {&o.minGap, &minGap},
                                                                        {&o.channels, &channels},
                                                                        {&o.firstStep, &firstStep},
                                                                        {&o.stepIncrement, &stepIncrement},
                                                                        {&o.stepLength, &stepLength},
                                                                        {&o.rheobase, &rheobase},
                                                                        {&o.gain, &gain}}) {
        if (!number(o, *option, *value)) return kExitUsage;
    }
    if (!(interval >= 1 && interval <= 1e6) || seed < 0 || duration <= 0 || sweepsValue < 0 ||
        !(channels >= 1 && channels <= 16) || sweepLength < 0) {
        printUsageError("abfsynth",
                        "an option is out of range (interval 1..1e6 us, channels 1..16, lengths > 0)");
        return kExitUsage;
    }

    AbfWriteSpec spec;
    spec.version = o.parser.isSet(o.abf1) ? AbfFileVersion::V1 : AbfFileVersion::V2;
    spec.format = sampleFormat == "float32" ? AbfSampleFormat::Float32 : AbfSampleFormat::Int16;
    spec.sampleIntervalUs = interval;
    const auto samplesFor = [&](double seconds) {
        return static_cast<std::int64_t>(std::llround(seconds * 1e6 / interval));
    };
    for (const QString& t : o.parser.values(o.tag)) {
        const int colon = t.indexOf(':');
        bool ok = false;
        const double at = t.left(colon).toDouble(&ok);
        if (colon < 0 || !ok) {
            printUsageError("abfsynth", "a tag reads SECONDS:COMMENT");
            return kExitUsage;
        }
        spec.tags.push_back({at, false, t.mid(colon + 1).toStdString(), 1});
    }
    // A fixed recording date keeps the file the same for the same options and seed.
    spec.startDate = 20260101;
    spec.startTimeMs = 0;
    AbfWriteOptions options;
    options.overwrite = o.parser.isSet(o.overwrite);
    AbfWriter writer;
    std::string truth;
    std::string steps;

    if (kind == "psc") {
        PscSynthSpec p;
        p.intervalUs = interval;
        p.gapFree = sweepsValue < 1;
        p.sweeps = p.gapFree ? 1 : static_cast<int>(sweepsValue);
        p.samplesPerSweep =
            p.gapFree ? samplesFor(duration) : samplesFor(sweepLength > 0 ? sweepLength : 10.0);
        p.rateHz = rate;
        p.tauRiseMs = rise;
        p.tauDecayMs = decay;
        p.amplitudeMedianPa = amplitude;
        p.amplitudeLogSd = amplitudeSd;
        p.sign = o.parser.isSet(o.outward) ? 1 : -1;
        p.noiseSdPa = noise;
        p.driftPa = drift;
        p.driftHz = driftHz;
        p.pinkNoiseSdPa = pink;
        p.humPa = hum;
        p.humHz = humHz;
        p.minGapMs = minGap;
        p.seed = static_cast<std::uint64_t>(seed);
        const PscSynthesizer synth(p);
        spec.mode = p.gapFree ? AbfWriteMode::GapFree : AbfWriteMode::Episodic;
        spec.sweepCount = p.sweeps;
        spec.samplesPerSweep = p.samplesPerSweep;
        spec.totalSamples = p.samplesPerSweep;
        const double scale = spec.format == AbfSampleFormat::Int16 ? 0.1 : 1.0;  // ±3276.7 pA in int16
        spec.channels = {{0, "Im", "pA", scale, 0.0}};
        spec.dacs[0].units = "mV";
        spec.dacs[0].holdingLevel = -70;
        Result<void> written = writer.open(out, spec, options);
        if (written)
            written = writeSamples(
                writer, p.sweeps, p.samplesPerSweep, 1,
                [&](int sweep, int, std::int64_t first, std::span<float> v) { synth.fill(sweep, first, v); });
        if (written) written = writer.finish();
        if (!written) {
            std::fprintf(stderr, "abfsynth: %s\n", written.error().text().c_str());
            return kExitFailed;
        }
        truth = "sweep,onset_s,peak_s,amplitude_pA,rise_10_90_ms,tau_decay_ms\n";
        for (const PscEventTruth& e : synth.events()) {
            truth += format("%.0f,%.7f,%.7f,%.4f,%.5f,%.4f\n", e.sweep, e.onsetS, e.peakS, e.amplitudePa,
                            e.rise1090Ms, e.tauDecayMs);
        }
    } else {
        SpikeSynthSpec s;
        s.intervalUs = interval;
        s.sweeps = sweepsValue >= 1 ? static_cast<int>(sweepsValue) : 10;
        s.samplesPerSweep = samplesFor(sweepLength > 0 ? sweepLength : 1.0);
        s.channels = static_cast<int>(channels);
        s.firstStepPa = firstStep;
        s.stepIncrementPa = stepIncrement;
        s.stepLength = std::min(samplesFor(stepLength), s.samplesPerSweep - s.samplesPerSweep / 64);
        s.rheobasePa = rheobase;
        s.gainHzPerPa = gain;
        s.noiseSdMv = noise;
        s.seed = static_cast<std::uint64_t>(seed);
        const SpikeSynthesizer synth(s);
        spec.mode = AbfWriteMode::Episodic;
        spec.sweepCount = s.sweeps;
        spec.samplesPerSweep = s.samplesPerSweep;
        spec.episodeStartToStartS = static_cast<double>(s.samplesPerSweep) * interval * 1e-6 + 1.0;
        const double scale = spec.format == AbfSampleFormat::Int16 ? 0.01 : 1.0;  // ±327.67 mV in int16
        for (int c = 0; c < s.channels; ++c) {
            spec.channels.push_back({c, "IN " + std::to_string(c), "mV", scale, 0.0});
        }
        spec.dacs[0].name = "Cmd 0";
        spec.dacs[0].units = "pA";
        spec.dacs[0].holdingLevel = s.holdingPa;
        spec.dacs[0].epochs = {{AbfEpochType::Step, s.firstStepPa, s.stepIncrementPa,
                                static_cast<std::int32_t>(s.stepLength), 0}};
        Result<void> written = writer.open(out, spec, options);
        if (written)
            written = writeSamples(writer, s.sweeps, s.samplesPerSweep, s.channels,
                                   [&](int sweep, int c, std::int64_t first, std::span<float> v) {
                                       synth.fill(sweep, c, first, v);
                                   });
        if (written) written = writer.finish();
        if (!written) {
            std::fprintf(stderr, "abfsynth: %s\n", written.error().text().c_str());
            return kExitFailed;
        }
        truth = "sweep,channel,peak_s\n";
        for (const SpikeTruth& t : synth.spikes())
            truth += format("%.0f,%.0f,%.7f\n", t.sweep, t.channel, t.peakS);
        steps = "sweep,step_pA,step_start_sample,step_samples\n";
        for (int sweep = 1; sweep <= s.sweeps; ++sweep) {
            steps += format("%.0f,%.4f,%.0f,%.0f\n", sweep, synth.stepLevelPa(sweep),
                            static_cast<double>(synth.stepStartSample()), static_cast<double>(s.stepLength));
        }
    }
    const std::string truthFile = truthPath(out, ".truth.csv");
    if (!writeText(truthFile, truth) || (!steps.empty() && !writeText(truthPath(out, ".steps.csv"), steps))) {
        std::fprintf(stderr, "abfsynth: could not write the ground truth beside %s\n", out.c_str());
        return kExitFailed;
    }
    if (writer.clippedSamples() > 0) {
        std::fprintf(stderr, "abfsynth: %lld samples were beyond the 16-bit range and were clipped\n",
                     static_cast<long long>(writer.clippedSamples()));
    }
    std::printf("%s\n%s\n", out.c_str(), truthFile.c_str());
    return kExitDone;
}
