// make_waveform: one run of swg's generator in memory, the samples it would write into its ATF
// file (before the file's four-digit form).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
#include <optional>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "engine_settings.h"
#include "wavegen/waveform_parameters.h"
#include "wavegen/waveform_synthesis.h"

namespace ephys::py_ephys {

namespace py = pybind11;

namespace {

// The largest seed word that keeps the generator's recurrence going.
constexpr long long kLargestSeed = 2147483646;

py::dict makeWaveform(const py::object& settings, const std::optional<long long>& seed,
                      const std::optional<std::string>& paramsFile, const py::object& progressCallback) {
    RunMessages messages;
    WaveformParameters params;
    ParamTable table;
    waveBuildParamTable(params, table, messages);
    (void)applySettings(table, settings, paramsFile);
    params.waveform = static_cast<char>(std::toupper(static_cast<unsigned char>(params.waveform)));
    if (std::optional<std::string> refused = waveCheckParameters(params))
        throw py::value_error(trimmed(*refused));
    WaveRunOptions options;
    if (seed) {
        if (*seed < 1 || *seed > kLargestSeed)
            throw py::value_error("seed must be a whole number from 1 to " + std::to_string(kLargestSeed));
        options.seed = static_cast<std::int32_t>(*seed);
    }

    ProgressRecord progress;
    CallbackProgress view(progressCallback, progress);
    progress.view = &view;
    WaveArrays arrays;
    bool ok = false;
    {
        py::gil_scoped_release release;
        WaveState state;
        // A run without a seed starts as swg --batch does: the clock's seed counts.
        if (!options.seed) waveRandomReset(state.random);
        ok = waveMakeSamples(params, progress, state, messages, options, arrays);
    }
    view.rethrow();
    if (view.cancelled()) throw std::runtime_error("make_waveform: cancelled by the progress callback");
    if (!ok) throw py::value_error(messages.errors());
    py::dict d;
    d["time_ms"] = py::array_t<float>(static_cast<py::ssize_t>(arrays.times.size()), arrays.times.data());
    d["value_pa"] = py::array_t<float>(static_cast<py::ssize_t>(arrays.values.size()), arrays.values.data());
    d["sample_interval_us"] = params.sampleInterval;
    return d;
}

}  // namespace

void addWaveform(py::module_& m) {
    m.def("_make_waveform", &makeWaveform, py::arg("settings") = py::none(), py::arg("seed") = py::none(),
          py::arg("params_file") = py::none(), py::arg("progress") = py::none());
}

}  // namespace ephys::py_ephys
