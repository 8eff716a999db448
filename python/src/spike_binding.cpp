// count_spikes: spktal's count of one recording, with every sweep's counts and latencies handed
// over in memory. The text files the engine writes go to a temporary folder that is removed
// afterwards, unless an output folder is given. The F/I fits are made by the engine's own fit
// from the same sweeps, also when "Do Frequencies" is off.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdlib.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "abf_access.h"
#include "bindings.h"
#include "engine_settings.h"
#include "spike/fi_fit.h"
#include "spike/spike_count.h"
#include "spike/spike_params.h"

namespace ephys::py_ephys {

namespace py = pybind11;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A folder of its own for the outputs of one count, removed with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "ephys-spikes-XXXXXX").string();
        if (ec) pattern = "/tmp/ephys-spikes-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct SweepCounts {
    int sweep = 0;
    double startSeconds = 0.0;
    double stimulus = 0.0;
    std::vector<char> read;
    std::vector<std::vector<float>> latencies, amplitudes;
};

template <typename T>
py::array_t<T> toArray(const std::vector<T>& v) {
    return py::array_t<T>(static_cast<py::ssize_t>(v.size()), v.data());
}

py::dict fitDict(const std::vector<FiPoint>& points, const FiFit& fit) {
    std::vector<double> stimulus, frequency;
    for (const FiPoint& pt : points) {
        stimulus.push_back(pt.stimulus);
        frequency.push_back(pt.frequency);
    }
    py::dict d;
    d["stimulus_pa"] = toArray(stimulus);
    d["frequency_hz"] = toArray(frequency);
    d["n"] = fit.n;
    d["slope"] = fit.hasLine ? fit.slope : kNaN;
    d["intercept"] = fit.hasLine ? fit.intercept : kNaN;
    d["x_intercept"] = fit.hasLine && fit.hasXIntercept ? fit.xIntercept : kNaN;
    d["r_squared"] = fit.hasLine ? fit.rSquared : kNaN;
    d["last_stimulus_pa"] = fit.lastStimulus;
    d["fitted_at_last_hz"] = fit.hasLine ? fit.fittedAtLast : kNaN;
    return d;
}

py::dict countSpikes(const std::string& path, const py::object& settings,
                     const std::optional<std::string>& paramsFile,
                     const std::optional<std::string>& outputDir, const py::object& progressCallback) {
    RunMessages messages(true);
    SpikeParams params;
    ParamTable table;
    spikeBuildParamTable(params, table, messages);
    (void)applySettings(table, settings, paramsFile);
    if (std::optional<std::string> refused = spikeCheckParams(params))
        throw py::value_error(trimmed(*refused));

    std::optional<TemporaryFolder> scratch;
    SpikeRunOptions options;
    if (outputDir) {
        options.outputDir = *outputDir;
    } else {
        scratch.emplace();
        options.outputDir = scratch->path();
    }
    std::string console;
    options.console = [&](std::string_view text) { console.append(text); };
    std::vector<SweepCounts> sweeps;
    options.sweepCounted = [&](const SpikeSweepRow& row) {
        SweepCounts s;
        s.sweep = row.sweep;
        s.startSeconds = row.startSeconds;
        s.stimulus = row.stimulus;
        s.read.assign(row.read.begin(), row.read.end());
        for (const SpikeList& list : row.spikes) {
            s.latencies.push_back(list.latencies);
            s.amplitudes.push_back(list.amplitudes);
        }
        sweeps.push_back(std::move(s));
    };

    ProgressRecord progress;
    CallbackProgress view(progressCallback, progress);
    progress.view = &view;
    SpikeFileResult result;
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = spikeCountFile(params, path, progress, messages, result, options);
    }
    view.rethrow();
    if (view.cancelled()) throw std::runtime_error("count_spikes: cancelled by the progress callback");
    if (!ok) {
        std::string reason = messages.errors({"Error in Spkcensus", "Error opening file"});
        if (reason.empty()) reason = "spktal could not count " + path;
        throw RecordingError(reason);
    }
    messages.warn();

    const auto nSweeps = static_cast<py::ssize_t>(sweeps.size());
    const auto nChannels = static_cast<py::ssize_t>(result.channels.size());
    py::array_t<std::int32_t> counts({nSweeps, nChannels});
    py::array_t<double> firstLatency({nSweeps, nChannels});
    std::vector<std::int32_t> spikeSweep, spikeChannel;
    std::vector<float> latency, amplitude;
    std::vector<double> starts, stimuli;
    std::vector<std::int32_t> sweepNumbers;
    FiSeriesSet fi;
    for (py::ssize_t s = 0; s < nSweeps; ++s) {
        const SweepCounts& row = sweeps[static_cast<std::size_t>(s)];
        sweepNumbers.push_back(row.sweep);
        starts.push_back(row.startSeconds);
        stimuli.push_back(row.stimulus);
        for (py::ssize_t c = 0; c < nChannels; ++c) {
            const auto k = static_cast<std::size_t>(c);
            const std::vector<float>& lat = row.latencies[k];
            counts.mutable_at(s, c) = row.read[k] != 0 ? static_cast<std::int32_t>(lat.size()) : -1;
            firstLatency.mutable_at(s, c) = lat.empty() ? kNaN : static_cast<double>(lat.front());
            for (std::size_t i = 0; i < lat.size(); ++i) {
                spikeSweep.push_back(row.sweep);
                spikeChannel.push_back(result.channels[k]);
                latency.push_back(lat[i]);
                amplitude.push_back(row.amplitudes[k][i]);
            }
            fiAddSweep(fi, row.stimulus, lat, params.intervalToMeasure);
        }
    }

    py::dict d;
    d["channels"] = toArray(result.channels);
    d["sweep"] = toArray(sweepNumbers);
    d["sweep_start_s"] = toArray(starts);
    d["stimulus_pa"] = toArray(stimuli);
    d["counts"] = counts;
    d["first_latency_ms"] = firstLatency;
    py::dict spikes;
    spikes["sweep"] = toArray(spikeSweep);
    spikes["channel"] = toArray(spikeChannel);
    spikes["latency_ms"] = toArray(latency);
    spikes["amplitude"] = toArray(amplitude);
    d["spikes"] = spikes;
    py::dict fits;
    constexpr std::array<const char*, kFiSeriesCount> kSeries = {"first", "middle", "last"};
    for (std::size_t k = 0; k < kSeries.size(); ++k) {
        const FiFit fit = fiFitLine(fi.series[k]);
        fits[kSeries[k]] = fitDict(fi.series[k], fit);
    }
    d["fi"] = fits;
    d["result_text"] = result.resultText;
    d["console"] = console;
    if (outputDir) d["outputs"] = result.outputs;
    return d;
}

}  // namespace

void addSpikes(py::module_& m) {
    m.def("_count_spikes", &countSpikes, py::arg("path"), py::arg("settings") = py::none(),
          py::arg("params_file") = py::none(), py::arg("output_dir") = py::none(),
          py::arg("progress") = py::none());
}

}  // namespace ephys::py_ephys
