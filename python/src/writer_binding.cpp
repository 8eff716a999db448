// write_abf: a numpy array of (sweeps, channels, samples) written as an ABF 2 recording with
// float32 samples, gap-free (one sweep) or episodic, through the suite's ABF writer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "abf_access.h"
#include "bindings.h"

namespace ephys::py_ephys {

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

void writeAbf(const std::string& path, const FloatArray& data, bool gapFree, double sampleIntervalUs,
              const std::vector<std::string>& names, const std::vector<std::string>& units, bool overwrite) {
    if (data.ndim() != 3)
        throw py::value_error("write_abf: the samples must be an array of (sweeps, channels, samples)");
    const py::ssize_t sweeps = data.shape(0);
    const py::ssize_t channels = data.shape(1);
    const py::ssize_t samples = data.shape(2);
    if (gapFree && sweeps != 1) throw py::value_error("write_abf: a gap-free recording is one sweep");
    if (!std::isfinite(sampleIntervalUs) || sampleIntervalUs <= 0)
        throw py::value_error("write_abf: the sample interval must be a positive number of microseconds");
    if (names.size() != static_cast<std::size_t>(channels) ||
        units.size() != static_cast<std::size_t>(channels))
        throw py::value_error("write_abf: " + std::to_string(channels) +
                              " channels need as many names and units");

    AbfWriteSpec spec;
    spec.version = AbfFileVersion::V2;
    spec.format = AbfSampleFormat::Float32;
    spec.sampleIntervalUs = sampleIntervalUs;
    if (gapFree) {
        spec.mode = AbfWriteMode::GapFree;
        spec.totalSamples = samples;
    } else {
        // Sweeps follow one another without a pause between them.
        spec.mode = AbfWriteMode::Episodic;
        if (sweeps > std::numeric_limits<std::int32_t>::max())
            throw py::value_error("write_abf: too many sweeps");
        spec.sweepCount = static_cast<std::int32_t>(sweeps);
        spec.samplesPerSweep = samples;
    }
    for (py::ssize_t c = 0; c < channels; ++c) {
        const auto i = static_cast<std::size_t>(c);
        spec.channels.push_back({static_cast<int>(c), names[i], units[i], 1.0, 0.0});
    }
    // A description the writer refuses (too many channels, a name too long, no samples) is the
    // caller's mistake, not the file's.
    if (Result<void> checked = abfCheckWriteSpec(spec); !checked)
        throw py::value_error("write_abf: " + checked.error().text());

    AbfWriteOptions options;
    options.overwrite = overwrite;
    const float* first = data.data();
    std::string failure;
    {
        py::gil_scoped_release release;
        AbfWriter writer;
        Result<void> done = writer.open(path, spec, options);
        // The array holds each sweep's channels one after the other: one span per channel.
        std::vector<std::span<const float>> rows(static_cast<std::size_t>(channels));
        for (py::ssize_t s = 0; done && s < sweeps; ++s) {
            for (py::ssize_t c = 0; c < channels; ++c)
                rows[static_cast<std::size_t>(c)] = std::span<const float>(
                    first + (s * channels + c) * samples, static_cast<std::size_t>(samples));
            done = writer.writeChannels(std::span<const std::span<const float>>(rows));
        }
        if (done) done = writer.finish();
        if (!done) failure = done.error().text();
    }
    if (!failure.empty()) throw RecordingError(failure);
}

}  // namespace

void addWriter(py::module_& m) {
    m.def("_write_abf", &writeAbf, py::arg("path"), py::arg("data"), py::arg("gap_free"),
          py::arg("sample_interval_us"), py::arg("channel_names"), py::arg("channel_units"),
          py::arg("overwrite"));
}

}  // namespace ephys::py_ephys
