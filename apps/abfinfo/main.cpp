// abfinfo: what is in a recording. Version, mode, sweeps, channels (position, physical number,
// name, units, scale, offset), sample interval, sweep length, duration, tags, sweep start times,
// epochs, and a few values of the first and last sweep of every channel. --json prints the same
// as one JSON object per file (an array for several files), with the field names of the
// project's reference values so that the two can be compared directly. --no-data reads only the
// header: no values and no checksum (the JSON "sha256" is null then), so that it is quick on
// recordings of any size.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "abf/abf_stimulus.h"
#include "shell/argument_bytes.h"
#include "shell/command_line_basics.h"

using namespace ephys;

namespace {

// ---- a small JSON writer --------------------------------------------------------------------

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string jsonNumber(double x) {
    if (!std::isfinite(x)) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.7g", x);
    std::string s = buf;
    // Keep whole numbers recognisable as floats where the value is a float.
    return s;
}

std::string jsonInt(long long x) {
    return std::to_string(x);
}

template <typename T, typename F>
std::string jsonList(const std::vector<T>& items, F format) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + format(items[i]);
    return out + "]";
}

class JsonObject {
  public:
    JsonObject& add(const std::string& key, const std::string& rawValue) {
        fields_.push_back(jsonString(key) + ": " + rawValue);
        return *this;
    }
    std::string text(int indent = 0) const {
        const std::string pad(static_cast<std::size_t>(indent) + 2, ' ');
        std::string out = "{\n";
        for (std::size_t i = 0; i < fields_.size(); ++i)
            out += pad + fields_[i] + (i + 1 < fields_.size() ? ",\n" : "\n");
        return out + std::string(static_cast<std::size_t>(indent), ' ') + "}";
    }

  private:
    std::vector<std::string> fields_;
};

// ---- what the recording holds ---------------------------------------------------------------

struct SweepStats {
    int sweep = 0;  // from 0, as the reference values count
    long long n = 0;
    std::vector<double> first5, last5;
    double mean = 0, min = 0, max = 0;
};

struct Accumulator {
    long long n = 0;
    double sum = 0;
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    std::vector<double> first5;
    std::deque<double> last5;
    void add(const std::vector<float>& values) {
        for (float v : values) {
            const double x = v;
            if (first5.size() < 5) first5.push_back(x);
            last5.push_back(x);
            if (last5.size() > 5) last5.pop_front();
            sum += x;
            min = std::min(min, x);
            max = std::max(max, x);
            ++n;
        }
    }
    SweepStats result(int sweep) const {
        SweepStats s;
        s.sweep = sweep;
        s.n = n;
        s.first5 = first5;
        s.last5.assign(last5.begin(), last5.end());
        s.mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
        s.min = n > 0 ? min : 0.0;
        s.max = n > 0 ? max : 0.0;
        return s;
    }
};

// The file is read by its own name's bytes: a QFile would need the name as text, which not every
// name is.
std::string sha256Of(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return "";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(1 << 20);
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        hash.addData(QByteArrayView(buffer.data(), static_cast<qsizetype>(n)));
    if (std::ferror(file.get()) != 0) return "";
    return hash.result().toHex().toStdString();
}

struct Info {
    std::string file;
    long long sizeBytes = 0;
    std::string sha256;  // empty when the data were not read
    AbfHeader h;
    int sweeps = 0;
    std::vector<int> samplesPerSweep;  // per sweep
    std::vector<double> sweepStartS;
    std::vector<int> physical;
    std::vector<std::string> names, units;
    std::vector<float> scale, offset;
    std::vector<std::vector<SweepStats>> data;  // per channel: first and last sweep
    std::string error;
    std::string shortText;  // a recording shorter than its header says: what is there of it
};

bool describe(const std::string& path, Info& info, bool withData) {
    info.file = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        info.sizeBytes = ec ? 0 : static_cast<long long>(size);
    }
    AbfHeader header;
    abfResetHeader(header);
    AbfFile file;
    int perSweep = 0;
    // A first open learns the layout; gap-free recordings are then read as one continuous sweep
    // (in pieces, so that an hour-long recording is never held in memory at once).
    const Result<int> opened = file.open(path, header, perSweep);
    if (!opened) {
        info.error = opened.error().text();
        return false;
    }
    const int sweeps = *opened;
    info.h = header;
    if (file.isShort()) info.shortText = file.shortRecordingText();
    if (withData) info.sha256 = sha256Of(path);
    const int channels = header.adcNumChannels;
    const bool gapFree = header.operationMode == 3;
    const long long totalPerChannel = channels > 0 ? header.actualAcqLength / channels : 0;
    if (gapFree) {
        info.sweeps = 1;
        info.samplesPerSweep = {static_cast<int>(totalPerChannel)};
        info.sweepStartS = {0.0};
    } else {
        info.sweeps = sweeps;
        for (int s = 1; s <= sweeps; ++s) {
            info.samplesPerSweep.push_back(file.sweepLength(s));
            info.sweepStartS.push_back(file.sweepStartMs(s).valueOr(0.0) / 1000.0);
        }
    }
    for (int pos = 0; pos < channels; ++pos) {
        const int ch = header.adcSamplingSeq[static_cast<std::size_t>(pos)];
        info.physical.push_back(ch);
        info.names.push_back(abfChannelName(header, ch));
        info.units.push_back(abfChannelUnits(header, ch));
        float sc = 1, of = 0;
        abfChannelScaling(header, ch, sc, of);
        info.scale.push_back(sc);
        info.offset.push_back(of);
    }
    if (!withData) return true;

    if (gapFree) {
        AbfFile pieces;
        AbfHeader h2;
        abfResetHeader(h2);
        int pieceLength = 1 << 20;
        const Result<int> count = pieces.open(path, h2, pieceLength);
        if (!count) return true;
        for (int pos = 0; pos < channels; ++pos) {
            Accumulator acc;
            std::vector<float> values;
            for (int s = 1; s <= *count; ++s) {
                if (pieces.readSweep(info.physical[static_cast<std::size_t>(pos)], s, values).valueOr(0) == 0)
                    break;
                acc.add(values);
            }
            info.data.push_back({acc.result(0)});
        }
        return true;
    }
    for (int pos = 0; pos < channels; ++pos) {
        std::vector<SweepStats> stats;
        std::vector<int> which = {1};
        if (info.sweeps > 1) which.push_back(info.sweeps);
        for (int s : which) {
            Accumulator acc;
            std::vector<float> values;
            if (file.readSweep(info.physical[static_cast<std::size_t>(pos)], s, values).valueOr(0) > 0)
                acc.add(values);
            stats.push_back(acc.result(s - 1));
        }
        info.data.push_back(stats);
    }
    return true;
}

std::string epochTypeName(int type) {
    switch (type) {
        case 0:
            return "off";
        case 1:
            return "step";
        case 2:
            return "ramp";
        case 3:
            return "pulse train";
        case 4:
            return "triangle train";
        case 5:
            return "cosine train";
        case 7:
            return "biphasic train";
        default:
            return "type " + std::to_string(type);
    }
}

std::string toJson(const Info& in, int indent) {
    const AbfHeader& h = in.h;
    JsonObject o;
    o.add("file", jsonString(in.file))
        .add("size_bytes", jsonInt(in.sizeBytes))
        .add("sha256", in.sha256.empty() ? "null" : jsonString(in.sha256));
    o.add("abf_version", jsonInt(h.abfMajorVersion)).add("file_version", jsonString(abfVersionText(h)));
    o.add("operation_mode", jsonInt(h.operationMode))
        .add("operation_mode_name", jsonString(abfModeName(h.operationMode)));
    o.add("data_format", jsonString(h.dataFormat == 0 ? "int16" : "float32"))
        .add("nDataFormat", jsonInt(h.dataFormat));
    o.add("data_offset_bytes", jsonInt(h.dataOffsetBytes));
    JsonObject hdr;
    hdr.add("lActualEpisodes", jsonInt(h.actualEpisodes))
        .add("samples_all_channels", jsonInt(h.actualAcqLength))
        .add("lNumSamplesPerEpisode_all_channels", jsonInt(h.numSamplesPerEpisode))
        .add("nADCNumChannels", jsonInt(h.adcNumChannels))
        .add("fSynchTimeUnit_us", jsonNumber(h.synchTimeUnit))
        .add("lNumTagEntries", jsonInt(h.numTagEntries))
        .add("lSynchArraySize", jsonInt(h.synchArraySize));
    if (h.abfMajorVersion == 1) {
        hdr.add("fADCSampleInterval_us_all_channels",
                jsonNumber(static_cast<double>(h.adcSequenceInterval) / std::max<int>(1, h.adcNumChannels)));
    } else {
        hdr.add("fADCSequenceInterval_us", jsonNumber(h.adcSequenceInterval));
    }
    o.add("header", hdr.text(indent + 2));
    o.add("adc_physical_channels", jsonList(in.physical, [](int v) { return jsonInt(v); }));
    o.add("sweeps", jsonInt(in.sweeps)).add("channels", jsonInt(h.adcNumChannels));
    o.add("sampling_interval_us", jsonNumber(h.adcSequenceInterval));
    o.add("sampling_interval_all_channels_us",
          jsonNumber(static_cast<double>(h.adcSequenceInterval) / std::max<int>(1, h.adcNumChannels)));
    const bool sameLength = std::all_of(in.samplesPerSweep.begin(), in.samplesPerSweep.end(),
                                        [&](int n) { return n == in.samplesPerSweep.front(); });
    o.add("samples_per_sweep", in.samplesPerSweep.empty() ? "0"
                               : sameLength               ? jsonInt(in.samplesPerSweep.front())
                                            : jsonList(in.samplesPerSweep, [](int v) { return jsonInt(v); }));
    o.add("channel_names", jsonList(in.names, jsonString))
        .add("channel_units", jsonList(in.units, jsonString));
    o.add("scale", jsonList(in.scale, [](float v) { return jsonNumber(v); }));
    o.add("offset", jsonList(in.offset, [](float v) { return jsonNumber(v); }));
    o.add("synch_array", jsonList(h.synchArray, [](const AbfSynchEntry& e) {
              std::string pair = "[";
              return pair.append(jsonInt(e.start)).append(", ").append(jsonInt(e.length)).append("]");
          }));
    o.add("sweep_start_s", jsonList(in.sweepStartS, [](double v) { return jsonNumber(v); }));
    o.add("tags", jsonList(h.tags, [&](const AbfTag& t) {
              return "{\"time_s\": " + jsonNumber(abfTagSeconds(h, t)) +
                     ", \"comment\": " + jsonString(abfTagComment(t)) + ", \"raw_time\": " + jsonInt(t.time) +
                     ", \"type\": " + jsonInt(t.type) + "}";
          }));
    std::vector<std::string> epochs;
    for (int dac = 0; dac < static_cast<int>(h.dacs.size()); ++dac) {
        if (!abfHasEpochWaveform(h, dac)) continue;
        const AbfDac& d = h.dacs[static_cast<std::size_t>(dac)];
        for (int e = 0; e < static_cast<int>(d.epochs.size()); ++e) {
            const AbfEpoch& ep = d.epochs[static_cast<std::size_t>(e)];
            if (ep.type == 0) continue;
            epochs.push_back("{\"dac\": " + jsonInt(dac) + ", \"epoch\": \"" +
                             std::string(1, static_cast<char>('A' + e)) +
                             "\", \"type\": " + jsonString(epochTypeName(ep.type)) +
                             ", \"first_level\": " + jsonNumber(ep.initLevel) +
                             ", \"level_increment\": " + jsonNumber(ep.levelIncrement) +
                             ", \"first_duration\": " + jsonInt(ep.initDuration) +
                             ", \"duration_increment\": " + jsonInt(ep.durationIncrement) + "}");
        }
    }
    o.add("epochs", jsonList(epochs, [](const std::string& s) { return s; }));
    std::vector<std::string> data;
    for (std::size_t pos = 0; pos < in.data.size(); ++pos) {
        std::vector<std::string> sweeps;
        for (const SweepStats& s : in.data[pos]) {
            auto numbers = [](const std::vector<double>& v) { return jsonList(v, jsonNumber); };
            sweeps.push_back("{\"sweep\": " + jsonInt(s.sweep) + ", \"n\": " + jsonInt(s.n) +
                             ", \"first5\": " + numbers(s.first5) + ", \"last5\": " + numbers(s.last5) +
                             ", \"mean\": " + jsonNumber(s.mean) + ", \"min\": " + jsonNumber(s.min) +
                             ", \"max\": " + jsonNumber(s.max) + "}");
        }
        data.push_back("{\"channel\": " + jsonInt(static_cast<long long>(pos)) + ", \"name\": " +
                       jsonString(in.names[pos]) + ", \"units\": " + jsonString(in.units[pos]) +
                       ", \"sweeps\": " + jsonList(sweeps, [](const std::string& s) { return s; }) + "}");
    }
    o.add("data", jsonList(data, [](const std::string& s) { return s; }));
    return o.text(indent);
}

void printText(const Info& in) {
    const AbfHeader& h = in.h;
    const double dt = h.adcSequenceInterval;
    long long total = 0;
    for (int n : in.samplesPerSweep) total += n;
    std::printf("%s\n", in.file.c_str());
    std::printf("  ABF %s, %s (mode %d), %s samples, data at byte %lld\n", abfVersionText(h).c_str(),
                abfModeName(h.operationMode), h.operationMode, h.dataFormat == 0 ? "int16" : "float32",
                static_cast<long long>(h.dataOffsetBytes));
    std::printf("  %d sweep%s, %d channel%s, %g us per sample (%g Hz), %s samples per sweep, %.6g s in all\n",
                in.sweeps, in.sweeps == 1 ? "" : "s", h.adcNumChannels, h.adcNumChannels == 1 ? "" : "s", dt,
                dt > 0 ? 1e6 / dt : 0.0,
                in.samplesPerSweep.empty() ? "0" : std::to_string(in.samplesPerSweep.front()).c_str(),
                static_cast<double>(total) * dt * 1e-6);
    std::printf("  channels (position: physical ADC, name, units, scale, offset):\n");
    for (std::size_t i = 0; i < in.physical.size(); ++i) {
        std::printf("    %zu: ADC %d, \"%s\", \"%s\", %.7g, %.7g\n", i, in.physical[i], in.names[i].c_str(),
                    in.units[i].c_str(), static_cast<double>(in.scale[i]), static_cast<double>(in.offset[i]));
    }
    if (in.sweeps > 1) {
        std::printf("  sweep starts (s):");
        for (std::size_t i = 0; i < in.sweepStartS.size() && i < 12; ++i)
            std::printf(" %.6g", in.sweepStartS[i]);
        std::printf(in.sweepStartS.size() > 12 ? " ...\n" : "\n");
    }
    std::printf("  %zu tag%s\n", h.tags.size(), h.tags.size() == 1 ? "" : "s");
    for (const AbfTag& t : h.tags)
        std::printf("    %.6g s: %s\n", abfTagSeconds(h, t), abfTagComment(t).c_str());
    for (int dac = 0; dac < static_cast<int>(h.dacs.size()); ++dac) {
        if (!abfHasEpochWaveform(h, dac)) continue;
        std::printf("  DAC %d epochs (holding %g):\n", dac,
                    static_cast<double>(h.dacs[static_cast<std::size_t>(dac)].holdingLevel));
        const AbfDac& d = h.dacs[static_cast<std::size_t>(dac)];
        for (int e = 0; e < static_cast<int>(d.epochs.size()); ++e) {
            const AbfEpoch& ep = d.epochs[static_cast<std::size_t>(e)];
            if (ep.type == 0) continue;
            std::printf("    %c: %s, level %g %+g per sweep, %d %+d samples\n", 'A' + e,
                        epochTypeName(ep.type).c_str(), static_cast<double>(ep.initLevel),
                        static_cast<double>(ep.levelIncrement), ep.initDuration, ep.durationIncrement);
        }
    }
    for (std::size_t pos = 0; pos < in.data.size(); ++pos) {
        for (const SweepStats& s : in.data[pos]) {
            std::printf("  channel %zu sweep %d: n %lld, mean %.7g, min %.7g, max %.7g\n", pos, s.sweep + 1,
                        s.n, s.mean, s.min, s.max);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("abfinfo");
    useCNumbers();
    QCommandLineParser parser;
    parser.setApplicationDescription("What is in an ABF recording.");
    parser.addHelpOption();
    QCommandLineOption json("json", "Print one JSON object per file (an array for several files).");
    QCommandLineOption noData("no-data",
                              "Read the header only: leave out the values of the first and last sweeps "
                              "and the checksum.");
    parser.addOption(json);
    parser.addOption(noData);
    parser.addPositionalArgument("FILE", "ABF recordings", "FILE...");
    parser.process(app);
    // The names as the file system spells them, whatever their encoding.
    const std::vector<std::string> files = ArgumentBytes(argc, argv).positional(parser);
    if (files.empty()) {
        printUsageError("abfinfo", "name at least one recording (abfinfo --help)");
        return kExitUsage;
    }
    int status = kExitDone;
    std::vector<std::string> objects;
    for (const std::string& path : files) {
        Info info;
        if (!describe(path, info, !parser.isSet(noData))) {
            std::fprintf(stderr, "abfinfo: %s: %s\n", path.c_str(), info.error.c_str());
            status = kExitFailed;
            continue;
        }
        // What follows describes the part that is there.
        if (!info.shortText.empty()) std::fprintf(stderr, "abfinfo: %s\n", info.shortText.c_str());
        if (parser.isSet(json)) {
            objects.push_back(toJson(info, files.size() > 1 ? 2 : 0));
        } else {
            printText(info);
        }
    }
    if (parser.isSet(json)) {
        if (files.size() > 1) {
            std::printf("[\n");
            for (std::size_t i = 0; i < objects.size(); ++i)
                std::printf("  %s%s\n", objects[i].c_str(), i + 1 < objects.size() ? "," : "");
            std::printf("]\n");
        } else if (!objects.empty()) {
            std::printf("%s\n", objects.front().c_str());
        }
    }
    return status;
}
