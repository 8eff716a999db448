// detect_pscs: psctrawl's batch run of one recording, with the event table handed over in memory
// instead of (or besides) the output files. Settings are applied as `psctrawl --batch --no-ini`
// applies --set, "Frames" included, so the events are those of the batch program.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "abf_access.h"
#include "bindings.h"
#include "engine_settings.h"
#include "params/param_files.h"
#include "psc/event_table.h"
#include "psc/model_detection.h"
#include "psc/psc_parameters.h"
#include "psc/run_driver.h"
#include "psc/template_fit.h"

namespace ephys::py_ephys {

namespace py = pybind11;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The event table as the .PRN file has it (its 16 columns, each number as the file's writer
// computes it, before it is printed), and the engine's columns the file leaves out.
struct EventColumns {
    std::vector<std::int32_t> event, type, episode, epoch;
    std::vector<float> timeS, intervalS, riseTime, width25, halfWidth, width90, amplitude, cumProb, charge,
        wtdtau, decayRatio, timeInEpisode;
    std::vector<float> eventTimeMs, baseline, sampleTimeMs, peakTimeMs;

    void take(const PscEventTable& table, const PscParameters& p) {
        const int count = std::max(table.count(), 0);
        for (int n = 1; n <= count; ++n) {
            const auto row = static_cast<std::size_t>(n);
            const float t = table.at(kEventTime, row);
            const float amp = table.at(kAmplitude, row);
            const float half = table.at(kHalfWidth, row);
            const float w10 = table.at(kWidth10, row);
            const float w75 = table.at(kWidth75, row);
            const float q = table.at(kCharge, row);
            event.push_back(n);
            type.push_back(table.eventType[row] - '0');
            timeS.push_back(t / 1000.0f);
            intervalS.push_back(n > 1 ? (t - table.at(kEventTime, row - 1)) / 1000.0f : kNaN);
            riseTime.push_back(table.at(kRiseTime, row));
            width25.push_back(w75 < 0.0f ? kNaN : w75);
            halfWidth.push_back(half < 0.0f ? kNaN : half);
            width90.push_back(w10 < 0.0f ? kNaN : w10);
            amplitude.push_back(amp);
            cumProb.push_back(static_cast<float>(n) / static_cast<float>(count));
            charge.push_back(q != -1.0f ? q : kNaN);
            wtdtau.push_back(q != -1.0f && amp != 0.0f ? q / amp : kNaN);
            decayRatio.push_back(w10 > 0.0f && half >= 0.0f ? half / w10 : kNaN);
            if (p.framesAreEpisodes != 0) {
                const std::int32_t frame = table.eventFrame[row];
                episode.push_back(frame + 1);
                epoch.push_back(table.eventWindow[row] + 1);
                timeInEpisode.push_back(t - static_cast<float>(frame) * p.frameDuration);
            } else {
                episode.push_back(0);
                epoch.push_back(0);
                timeInEpisode.push_back(kNaN);
            }
            eventTimeMs.push_back(t);
            baseline.push_back(table.at(kBaseline, row));
            sampleTimeMs.push_back(table.at(kSampleTime, row));
            peakTimeMs.push_back(table.at(kPeakTime, row));
        }
    }
};

template <typename T>
py::array_t<T> toArray(const std::vector<T>& v) {
    return py::array_t<T>(static_cast<py::ssize_t>(v.size()), v.data());
}

py::dict eventDict(const EventColumns& c) {
    py::dict d;
    d["event"] = toArray(c.event);
    d["event_type"] = toArray(c.type);
    d["time_s"] = toArray(c.timeS);
    d["interval_s"] = toArray(c.intervalS);
    d["rise_time_ms"] = toArray(c.riseTime);
    d["width_25_ms"] = toArray(c.width25);
    d["half_width_ms"] = toArray(c.halfWidth);
    d["width_90_ms"] = toArray(c.width90);
    d["amplitude_pa"] = toArray(c.amplitude);
    d["cum_prob"] = toArray(c.cumProb);
    d["charge_fc"] = toArray(c.charge);
    d["wtdtau_ms"] = toArray(c.wtdtau);
    d["decay_ratio"] = toArray(c.decayRatio);
    d["episode"] = toArray(c.episode);
    d["epoch"] = toArray(c.epoch);
    d["time_in_episode_ms"] = toArray(c.timeInEpisode);
    d["event_time_ms"] = toArray(c.eventTimeMs);
    d["baseline_pa"] = toArray(c.baseline);
    d["sample_time_ms"] = toArray(c.sampleTimeMs);
    d["peak_time_ms"] = toArray(c.peakTimeMs);
    return d;
}

// The value of a "LABEL=VALUE" setting, without blanks at its ends.
std::string settingValue(std::string_view setting) {
    std::string_view value = setting.substr(setting.find('=') + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
}

py::dict detectPscs(const std::string& path, const py::object& settings, const std::string& detector,
                    const std::optional<std::string>& paramsFile, std::int64_t maxEvents,
                    const std::optional<std::string>& outputDir, bool overwrite,
                    const py::object& progressCallback, double templateRiseMs, double templateDecayMs,
                    const std::optional<double>& thresholdSd, bool templateFromRecording,
                    const py::object& humHz) {
    if (maxEvents < 0 || maxEvents > 2147483647)
        throw py::value_error("max_events must be from 0 to 2147483647");

    RunMessages messages(overwrite);
    PscParameters params;
    ParamTable table;
    pscBuildParamTable(params, table, messages);

    // A "Frames" list applies to the recording and is checked against its frame count once its
    // header is read, as in the batch program.
    std::optional<std::string> frames;
    const BatchSettingsResult applied =
        applySettings(table, settings, paramsFile, [&](const std::string& setting) {
            const std::size_t eq = setting.find('=');
            if (eq == std::string::npos ||
                table.findRow(std::string_view(setting).substr(0, eq)) != static_cast<int>(kPscFramesRow))
                return false;
            frames = settingValue(setting);
            return true;
        });
    if (!frames) {
        const std::optional<std::string> listed = applied.paramsFile.get(kParametersSection, "Frames");
        if (listed && !listed->empty()) frames = *listed;
    }
    if (frames) {
        std::string list = *frames;
        pscSetFramesLimits(table, 1 << 24);
        if (!paramCheckText(table, kPscFramesRow, list))
            throw py::value_error(trimmed(paramErrorText(table.rows[kPscFramesRow])));
    }
    // The detector and its event model, checked as psctrawl's --detector, --template-rise-ms,
    // --template-decay-ms and --threshold-sd are.
    if (!pscParseDetector(detector, params.detector))
        throw py::value_error("detector '" + detector + "' is none of slope, deconvolution, template");
    if (!(templateRiseMs > 0.0 && templateRiseMs < 1000.0) ||
        !(templateDecayMs > 0.0 && templateDecayMs < 1000.0) || templateRiseMs >= templateDecayMs)
        throw py::value_error("template_rise_ms and template_decay_ms take times in ms, rise below decay");
    if (thresholdSd && !(*thresholdSd > 0.0 && *thresholdSd < 1000.0))
        throw py::value_error("threshold_sd takes a number above 0");
    if (templateFromRecording && params.detector == PscDetectorKind::Slope)
        throw py::value_error("template_from_recording needs the detector deconvolution or template");
    // As psctrawl's --hum-hz: None or "auto" (50 or 60 Hz, where found), 0 (none) or the mains
    // frequency; given, it needs a model detector.
    double hum = kPscHumSearch;
    if (!humHz.is_none()) {
        const char* const refused = "hum_hz takes 'auto', 0 or the mains frequency in Hz (1 to 1000)";
        if (py::isinstance<py::str>(humHz)) {
            if (humHz.cast<std::string>() != "auto") throw py::value_error(refused);
        } else {
            try {
                hum = humHz.cast<double>();
            } catch (const py::cast_error&) {
                throw py::value_error(refused);
            }
            if (!(hum == 0.0 || (hum >= 1.0 && hum <= 1000.0))) throw py::value_error(refused);
        }
        if (params.detector == PscDetectorKind::Slope)
            throw py::value_error("hum_hz needs the detector deconvolution or template");
    }
    params.humHz = static_cast<float>(hum);
    params.templateRiseMs = static_cast<float>(templateRiseMs);
    params.templateDecayMs = static_cast<float>(templateDecayMs);
    params.detectionThreshold = static_cast<float>(thresholdSd.value_or(0.0));
    params.maxStoredEvents = static_cast<std::int32_t>(maxEvents);
    // Without an output folder nothing is written: the events come back in memory only.
    if (!outputDir) {
        params.exportAscii = 'N';
        params.exportSummary = 'N';
        params.exportScan = 'N';
        params.outputEpisodeSummary = 'N';
    }

    ProgressRecord progress;
    CallbackProgress view(progressCallback, progress);
    progress.view = &view;
    EventColumns columns;
    bool detected = false;
    std::vector<PscRecordingOutcome> outcomes;
    {
        py::gil_scoped_release release;
        PscRun run(params, progress, messages);
        run.outputDir = outputDir.value_or(std::string());
        run.withButtonEvent = false;
        // As psctrawl --template-from-recording: the first pass starts from the given kinetics.
        if (templateFromRecording)
            run.templateFromRecording = PscTemplateStart{params.templateRiseMs, params.templateDecayMs};
        run.eventsDetected = [&](const PscEventTable& events, const PscParameters& p) {
            columns.take(events, p);
            detected = true;
        };
        params.recordingInfoRead = 0;
        outcomes = pscRunRecordings(run, table, {path}, frames);
    }
    view.rethrow();
    const PscRecordingOutcome::State state =
        outcomes.empty() ? PscRecordingOutcome::State::Failed : outcomes.front().state;
    if (state == PscRecordingOutcome::State::Cancelled || view.cancelled())
        throw std::runtime_error("detect_pscs: cancelled by the progress callback");
    if (state != PscRecordingOutcome::State::Done || !detected) {
        std::string reason =
            messages.errors({"Error in PscTrawl", "Error opening file in GetInfo", "Error opening file"});
        if (reason.empty()) reason = "psctrawl could not analyse " + path;
        throw RecordingError(reason);
    }
    // The hum taken out, as psctrawl says it after the results.
    const std::string& said = outcomes.front().completionText;
    if (const std::size_t at = said.find("Mains hum in "); at != std::string::npos)
        messages.show(MessageKind::Information, "PSCTRAWL", said.substr(at, said.find('\n', at) - at));
    messages.warn();
    return eventDict(columns);
}

}  // namespace

void addPsc(py::module_& m) {
    m.def("_detect_pscs", &detectPscs, py::arg("path"), py::arg("settings") = py::none(),
          py::arg("detector") = "slope", py::arg("params_file") = py::none(), py::arg("max_events") = 63999,
          py::arg("output_dir") = py::none(), py::arg("overwrite") = false, py::arg("progress") = py::none(),
          py::arg("template_rise_ms") = 0.5, py::arg("template_decay_ms") = 5.0,
          py::arg("threshold_sd") = py::none(), py::arg("template_from_recording") = false,
          py::arg("hum_hz") = py::none());
}

}  // namespace ephys::py_ephys
