// read_abf: a recording read whole into a numpy array of (sweeps, channels, samples) in the
// recording's units, with what its header says about it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "abf/abf_error.h"
#include "abf/abf_stimulus.h"
#include "abf_access.h"
#include "bindings.h"

namespace ephys::py_ephys {

namespace py = pybind11;

namespace {

std::string epochTypeName(int type) {
    switch (type) {
        case kAbfEpochOff:
            return "off";
        case kAbfEpochStep:
            return "step";
        case kAbfEpochRamp:
            return "ramp";
        case kAbfEpochPulseTrain:
            return "pulse train";
        case kAbfEpochTriangleTrain:
            return "triangle train";
        case kAbfEpochCosineTrain:
            return "cosine train";
        case kAbfEpochBiphasicTrain:
            return "biphasic train";
        default:
            return "type " + std::to_string(type);
    }
}

std::string fileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The header as abfinfo --json describes it (the same names), without the data and checksum.
py::dict headerDict(const RecordingLayout& r) {
    const AbfHeader& h = r.header;
    const int channels = h.adcNumChannels;
    py::dict d;
    d["file"] = fileName(r.path);
    struct stat st {};
    d["size_bytes"] = ::stat(r.path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0LL;
    d["abf_version"] = h.abfMajorVersion;
    d["file_version"] = abfVersionText(h);
    d["operation_mode"] = h.operationMode;
    d["operation_mode_name"] = abfModeName(h.operationMode);
    d["data_format"] = h.dataFormat == kAbfInt16Data ? "int16" : "float32";
    d["nDataFormat"] = h.dataFormat;
    d["data_offset_bytes"] = h.dataOffsetBytes;
    py::dict stored;
    stored["lActualEpisodes"] = h.actualEpisodes;
    stored["samples_all_channels"] = h.actualAcqLength;
    stored["lNumSamplesPerEpisode_all_channels"] = h.numSamplesPerEpisode;
    stored["nADCNumChannels"] = h.adcNumChannels;
    stored["fSynchTimeUnit_us"] = h.synchTimeUnit;
    stored["lNumTagEntries"] = h.numTagEntries;
    stored["lSynchArraySize"] = h.synchArraySize;
    if (h.abfMajorVersion == 1) {
        stored["fADCSampleInterval_us_all_channels"] =
            static_cast<double>(h.adcSequenceInterval) / std::max(1, channels);
    } else {
        stored["fADCSequenceInterval_us"] = h.adcSequenceInterval;
    }
    d["header"] = stored;
    d["adc_physical_channels"] = r.physical;
    d["sweeps"] = r.sweeps;
    d["channels"] = channels;
    d["sampling_interval_us"] = h.adcSequenceInterval;
    d["sampling_interval_all_channels_us"] =
        static_cast<double>(h.adcSequenceInterval) / std::max(1, channels);
    const bool sameLength = std::all_of(r.sweepLength.begin(), r.sweepLength.end(),
                                        [&](std::int64_t n) { return n == r.sweepLength.front(); });
    if (r.sweepLength.empty()) {
        d["samples_per_sweep"] = 0;
    } else if (sameLength) {
        d["samples_per_sweep"] = r.sweepLength.front();
    } else {
        d["samples_per_sweep"] = r.sweepLength;
    }
    py::list names, units;
    for (int ch : r.physical) {
        names.append(abfChannelName(h, ch));
        units.append(abfChannelUnits(h, ch));
    }
    d["channel_names"] = names;
    d["channel_units"] = units;
    d["scale"] = r.scale;
    d["offset"] = r.offset;
    py::list synch;
    for (const AbfSynchEntry& e : h.synchArray) synch.append(py::make_tuple(e.start, e.length));
    d["synch_array"] = synch;
    py::list starts;
    for (double ms : r.sweepStartMs) starts.append(ms / 1000.0);
    d["sweep_start_s"] = starts;
    py::list tags;
    for (const AbfTag& t : h.tags) {
        py::dict tag;
        tag["time_s"] = abfTagSeconds(h, t);
        tag["comment"] = abfTagComment(t);
        tag["raw_time"] = t.time;
        tag["type"] = t.type;
        tags.append(tag);
    }
    d["tags"] = tags;
    py::list epochs;
    for (int dac = 0; dac < kAbfDacCount; ++dac) {
        if (!abfHasEpochWaveform(h, dac)) continue;
        const AbfDac& dc = h.dacs[static_cast<std::size_t>(dac)];
        for (int e = 0; e < kAbfEpochCount; ++e) {
            const AbfEpoch& ep = dc.epochs[static_cast<std::size_t>(e)];
            if (ep.type == kAbfEpochOff) continue;
            py::dict epoch;
            epoch["dac"] = dac;
            epoch["epoch"] = std::string(1, static_cast<char>('A' + e));
            epoch["type"] = epochTypeName(ep.type);
            epoch["first_level"] = ep.initLevel;
            epoch["level_increment"] = ep.levelIncrement;
            epoch["first_duration"] = ep.initDuration;
            epoch["duration_increment"] = ep.durationIncrement;
            epochs.append(epoch);
        }
    }
    d["epochs"] = epochs;
    return d;
}

// The epochs of each sweep where they lie in it: per sweep a list of the enabled epochs of every
// DAC with an epoch waveform (empty for recordings that are not episodic).
py::list protocolList(const RecordingLayout& r) {
    const AbfHeader& h = r.header;
    py::list sweeps;
    for (int s = 1; s <= r.sweeps; ++s) {
        py::list epochs;
        if (h.operationMode == kAbfEpisodic && !r.physical.empty()) {
            for (int dac = 0; dac < kAbfDacCount; ++dac) {
                if (!abfHasEpochWaveform(h, dac)) continue;
                const AbfDac& dc = h.dacs[static_cast<std::size_t>(dac)];
                for (int e = 0; e < kAbfEpochCount; ++e) {
                    const AbfEpoch& ep = dc.epochs[static_cast<std::size_t>(e)];
                    int first = 0, last = 0;
                    if (ep.type == kAbfEpochOff ||
                        abfEpochBounds(h, r.physical.front(), dac, s, e, first, last) != kAbfOk)
                        continue;
                    py::dict epoch;
                    epoch["dac"] = dac;
                    epoch["epoch"] = std::string(1, static_cast<char>('A' + e));
                    epoch["type"] = epochTypeName(ep.type);
                    epoch["first_sample"] = first;
                    epoch["last_sample"] = last;
                    epoch["level"] = ep.initLevel + static_cast<float>(s - 1) * ep.levelIncrement;
                    epoch["units"] = abfText(dc.units);
                    epochs.append(epoch);
                }
            }
        }
        sweeps.append(epochs);
    }
    return sweeps;
}

py::dict readAbf(const std::string& path) {
    std::unique_ptr<RecordingReader> reader;
    {
        py::gil_scoped_release release;
        reader = std::make_unique<RecordingReader>(path);
    }
    const RecordingLayout& r = reader->layout();
    const auto sweeps = static_cast<py::ssize_t>(r.sweeps);
    const auto channels = static_cast<py::ssize_t>(r.physical.size());
    std::int64_t longest = 0;
    for (std::int64_t n : r.sweepLength) longest = std::max(longest, n);
    const auto samples = static_cast<py::ssize_t>(longest);

    // The array is made once and filled in place by the reader.
    py::array_t<float> data({sweeps, channels, samples});
    float* out = data.mutable_data();
    {
        py::gil_scoped_release release;
        for (py::ssize_t s = 0; s < sweeps; ++s) {
            for (py::ssize_t c = 0; c < channels; ++c) {
                float* row = out + (s * channels + c) * samples;
                const std::int64_t got =
                    reader->read(static_cast<int>(c), static_cast<int>(s),
                                 std::span<float>(row, static_cast<std::size_t>(samples)));
                // Sweeps shorter than the longest (variable-length events, a recording cut short)
                // are padded with NaN.
                std::fill(row + got, row + samples, std::numeric_limits<float>::quiet_NaN());
            }
        }
    }

    py::dict d;
    d["path"] = path;
    d["data"] = data;
    d["sample_interval_us"] = static_cast<double>(r.header.adcSequenceInterval);
    py::list names, units;
    for (int ch : r.physical) {
        names.append(abfChannelName(r.header, ch));
        units.append(abfChannelUnits(r.header, ch));
    }
    d["channel_names"] = names;
    d["channel_units"] = units;
    d["physical_channels"] = r.physical;
    py::array_t<double> starts(sweeps);
    py::array_t<std::int64_t> lengths(sweeps);
    for (py::ssize_t s = 0; s < sweeps; ++s) {
        starts.mutable_at(s) = r.sweepStartMs[static_cast<std::size_t>(s)] / 1000.0;
        lengths.mutable_at(s) = r.sweepLength[static_cast<std::size_t>(s)];
    }
    d["sweep_start_s"] = starts;
    d["sweep_lengths"] = lengths;
    py::list tags;
    for (const AbfTag& t : r.header.tags)
        tags.append(py::make_tuple(abfTagSeconds(r.header, t), abfTagComment(t)));
    d["tags"] = tags;
    d["protocol"] = protocolList(r);
    d["header"] = headerDict(r);
    d["short_recording"] = r.shortText;
    return d;
}

}  // namespace

void addRecording(py::module_& m) {
    m.def("_read_abf", &readAbf, py::arg("path"),
          "The recording at `path` as a dict: data (float32, sweeps x channels x samples), its layout "
          "and header.");
}

}  // namespace ephys::py_ephys
