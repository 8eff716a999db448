#include "psc/psc_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "params/number_format.h"

namespace ephys {

namespace {

constexpr std::size_t kFlushSize = 1 << 16;

// printf-style conversions in the "C" locale whatever the process locale is.
std::string printG(double x, int digits) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, digits);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

std::string printF(double x, int decimals) {
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

// No cell of an output holds inf or nan: what would be one is written as 0.
double finiteOrZero(double x) {
    return std::isfinite(x) ? x : 0.0;
}

std::string g4(double x) {
    return printG(finiteOrZero(x), 4);
}
std::string num(double x, int digits) {
    return formatNumber(finiteOrZero(x), digits);
}

double ratio(double a, double b) {
    return b == 0.0 ? 0.0 : a / b;
}

std::string joinPath(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

int eventCount(const PscEventTable& table) {
    return std::max(table.count(), 0);
}

float perFrame(const PscEventTable& table, PscColumn column, int frame) {
    const auto& c = table.columns[column];
    return frame >= 0 && static_cast<std::size_t>(frame) < c.size() ? c[static_cast<std::size_t>(frame)]
                                                                    : 0.0f;
}

// ---------------------------------------------------------------------------------------------
// Episode summary and raster files

enum Window : std::int32_t { kPre = 0, kTriggered = 1, kPost = 2, kIgnored = 4 };

constexpr std::array<std::string_view, 14> kEpisodeTitles = {
    "Events",
    "Freq (Hz)",
    "Mean PSC (pA)",
    "Baseline(pA)",
    "Mean current (pA)",
    "Net Current (pA)",
    "Charge(pC)",
    "Cumulative Amp. (pA)",
    "PSC charge (pC)",
    "mean psc I (pA)",
    "mean rise time (ms)",
    "mean halfwidth (ms)",
    "net psc Q/I (pC/pA) or mean direct response",
    "first triggered event rise time, latency or amplitude (ms, pA)",
};
constexpr std::array<std::string_view, 3> kWindowTitles = {"Pre", "triggered", "Post"};

struct WindowSums {
    int baselineCount = 0;
    double baselineSum = 0.0;
    int events = 0;
    double amplitudeSum = 0.0;
    int riseCount = 0;
    double riseSum = 0.0;
    int halfWidthCount = 0;
    double halfWidthSum = 0.0;
};

// The three windows of a frame in ms from the frame start, and the event rate of each.
struct EpisodeWindows {
    std::array<float, 3> start{};
    std::array<float, 3> end{};
    std::array<double, 3> rate{};
};

EpisodeWindows episodeWindows(const PscParameters& p) {
    const float delay = p.triggerDelay;
    const float duration = p.triggerDuration;
    EpisodeWindows w;
    w.start = {p.ignorePeriod, delay, delay + duration};
    w.end = {delay, duration == 0.0f ? p.frameDuration : delay + duration, p.frameDuration};
    w.rate[kPre] = delay > 0.0f ? ratio(1000.0, static_cast<double>(delay - p.ignorePeriod)) : 0.0;
    w.rate[kTriggered] = duration > 0.0f ? ratio(1000.0, duration)
                                         : ratio(1000.0, static_cast<double>(p.frameDuration - delay));
    w.rate[kPost] =
        duration > 0.0f ? ratio(1000.0, static_cast<double>(p.frameDuration - delay - duration)) : 0.0;
    return w;
}

std::string episodeSummaryHeader(const PscParameters& p, const EpisodeWindows& w) {
    std::string h;
    for (std::size_t i = 0; i < kEpisodeTitles.size(); ++i) {
        h.append("\t").append(kEpisodeTitles[i]);
        if (i == 8) h.append("[est.tauD,w=").append(printF(p.estimatedTau, 1)).append("ms]");
        h.append("\t\t");
    }
    h.append("\nEpisode");
    for (std::size_t i = 0; i < kEpisodeTitles.size(); ++i) {
        for (std::size_t k = 0; k < 3; ++k) {
            h.append("\t").append(kWindowTitles[k]);
            if (i == 0) {
                h.append(" (")
                    .append(printF(w.start[k], 0))
                    .append(" to ")
                    .append(printF(w.end[k], 0))
                    .append("; ")
                    .append(printF(w.end[k] - w.start[k], 0))
                    .append(" ms)");
            }
        }
    }
    h.append("\n");
    return h;
}

struct EpisodeFiles {
    PscOutputFile* summary = nullptr;
    PscOutputFile* raster = nullptr;
    PscOutputFile* rasterEpisodes = nullptr;
};

// One frame's row of the episode summary.
std::string episodeRow(int frame, const std::array<WindowSums, 3>& sums, const EpisodeWindows& w,
                       const PscEventTable& table, const PscParameters& p, bool haveFirst, float firstRise,
                       float firstLatency, float firstAmplitude) {
    std::array<double, 3> baseline{}, meanAmplitude{}, meanRise{}, meanHalfWidth{}, lengthS{};
    for (std::size_t k = 0; k < 3; ++k) {
        const WindowSums& s = sums[k];
        baseline[k] = s.baselineCount > 0 ? s.baselineSum / s.baselineCount : 0.0;
        meanAmplitude[k] = s.events > 0 ? s.amplitudeSum / s.events : 0.0;
        meanRise[k] = s.riseCount > 0 ? s.riseSum / s.riseCount : 0.0;
        meanHalfWidth[k] = s.halfWidthCount > 0 ? s.halfWidthSum / s.halfWidthCount : 0.0;
        lengthS[k] = ratio(1.0, w.rate[k]);
    }
    // A window without baseline events takes the baseline of the last window that has some.
    double lastBaseline = 0.0;
    for (std::size_t k = 0; k < 3; ++k)
        if (sums[k].baselineCount > 0) lastBaseline = baseline[k];
    std::array<double, 3> netBaseline{};
    for (std::size_t k = 0; k < 3; ++k)
        netBaseline[k] = sums[k].baselineCount > 0 ? baseline[k] : lastBaseline;

    const std::array<double, 3> meanCurrent = {perFrame(table, kEpisodePreMean, frame),
                                               perFrame(table, kEpisodeResponseMean, frame),
                                               perFrame(table, kEpisodePostMean, frame)};
    const double tau = p.estimatedTau;
    std::array<double, 3> q{};
    for (std::size_t k = 0; k < 3; ++k)
        q[k] = ratio(sums[k].events * meanAmplitude[k] * tau * 0.001, lengthS[k]);

    std::string row = std::to_string(frame);
    auto three = [&row](auto value) {
        for (std::size_t k = 0; k < 3; ++k) row.append("\t").append(g4(value(k)));
    };
    for (std::size_t k = 0; k < 3; ++k) row.append("\t").append(std::to_string(sums[k].events));
    three([&](std::size_t k) { return sums[k].events * w.rate[k]; });
    three([&](std::size_t k) { return meanAmplitude[k]; });
    three([&](std::size_t k) { return baseline[k]; });
    three([&](std::size_t k) { return meanCurrent[k]; });
    three([&](std::size_t k) { return meanCurrent[k] - netBaseline[k]; });
    three([&](std::size_t k) { return (meanCurrent[k] - netBaseline[k]) * lengthS[k]; });
    three([&](std::size_t k) { return sums[k].events * meanAmplitude[k]; });
    three([&](std::size_t k) { return sums[k].events * meanAmplitude[k] * tau / 1000.0; });
    three([&](std::size_t k) { return q[k]; });
    three([&](std::size_t k) { return meanRise[k]; });
    three([&](std::size_t k) { return meanHalfWidth[k]; });
    const double d = q[kTriggered] - (q[kPre] + q[kPost]) / 2.0;
    row.append("\t").append(g4(d));
    row.append("\t").append(g4(d * lengthS[kTriggered]));
    row.append("\t").append(g4(perFrame(table, kEpisodeDirectMean, frame) - baseline[kPre]));
    row.append("\t").append(g4(haveFirst ? firstRise : -1.0));
    row.append("\t").append(g4(haveFirst ? firstLatency : -1.0));
    row.append("\t").append(g4(haveFirst ? firstAmplitude : 0.0));
    row.append("\n");
    return row;
}

// Assigns every event its frame and window and, with files given, writes the episode summary and
// raster rows.
void episodePass(PscEventTable& table, const PscParameters& p, const EpisodeFiles& files) {
    const int n = eventCount(table);
    const EpisodeWindows w = episodeWindows(p);
    const float delay = p.triggerDelay;
    const float duration = p.triggerDuration;
    const float ignore = p.ignorePeriod;
    const float direct = p.directExcitationIgnore;
    const bool peakRaster = p.rasterPeakTime == 'Y';
    if (files.summary) files.summary->write(episodeSummaryHeader(p, w));

    int next = 1;  // the first event not taken by an earlier frame
    for (int f = 1; f <= p.frameCount; ++f) {
        const float s = static_cast<float>(f - 1) * p.frameDuration;
        const float e = s + p.frameDuration;
        std::string rasterLine;
        std::string rasterTimes;
        if (files.raster) rasterLine = std::to_string(f);
        std::array<WindowSums, 3> sums{};
        int frameEvents = 0;
        bool haveFirst = false;
        float firstRise = -1.0f, firstLatency = -1.0f, firstAmplitude = 0.0f;

        for (; next <= n; ++next) {
            const auto row = static_cast<std::size_t>(next);
            const float eventTime = table.at(kEventTime, row);
            const float t = eventTime - s;
            std::int32_t window = kTriggered;
            if (delay > 0.0f && t < delay) window = kPre;
            if (duration > 0.0f && t > delay + duration + direct) window = kPost;
            if (ignore > 0.0f && t < ignore) window = kIgnored;
            if (direct > 0.0f && delay < t && t < delay + direct) {
                window = kIgnored;
            } else if (window != kIgnored && table.eventType[row] != '3') {
                sums[static_cast<std::size_t>(window)].baselineCount += 1;
                sums[static_cast<std::size_t>(window)].baselineSum += table.at(kBaseline, row);
            }
            table.eventFrame[row] = f - 1;
            table.eventWindow[row] = window;

            if (eventTime <= e && window != kIgnored) {
                WindowSums& ws = sums[static_cast<std::size_t>(window)];
                const float amplitude = table.at(kAmplitude, row);
                const float rise = table.at(kRiseTime, row);
                const float halfWidth = table.at(kHalfWidth, row);
                if (window == kTriggered && !haveFirst) {
                    haveFirst = true;
                    firstRise = rise;
                    firstLatency = t - delay;
                    firstAmplitude = amplitude;
                }
                ws.amplitudeSum += amplitude;
                if (rise >= 0.0f) {
                    ws.riseSum += rise;
                    ws.riseCount += 1;
                }
                if (halfWidth > 0.0f) {
                    ws.halfWidthSum += halfWidth;
                    ws.halfWidthCount += 1;
                }
                const float rasterTime = (peakRaster ? table.at(kPeakTime, row) : eventTime) - s;
                if (files.raster) rasterLine.append("\t").append(printF(rasterTime, 1));
                if (files.rasterEpisodes) rasterTimes.append(printF(rasterTime, 1)).append("\t");
                ws.events += 1;
                frameEvents += 1;
            }
            if (eventTime > e) break;  // this event opens the next frame
        }

        if (files.summary)
            files.summary->write(
                episodeRow(f, sums, w, table, p, haveFirst, firstRise, firstLatency, firstAmplitude));
        if (files.raster) files.raster->write(rasterLine.append("\n"));
        if (files.rasterEpisodes) {
            rasterTimes.append("\n");
            const std::string number = std::to_string(f) + "\t";
            for (int k = 0; k < frameEvents; ++k) rasterTimes.append(number);
            files.rasterEpisodes->write(rasterTimes.append("\n"));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Statistical summary

struct Moments {
    long count = 0;
    double sum = 0.0;
    double squares = 0.0;
    void add(double x) {
        count += 1;
        sum += x;
        squares += x * x;
    }
};

constexpr std::array<std::string_view, 4> kStatisticLabels = {
    "\n\tAmplitude (pA)",
    "\n\tRise time (ms)",
    "\n\tHalf Width (ms)",
    "\n\t90% Width (ms)",
};

std::string statisticalSummary(const std::string& recordingName, const PscOutputPaths& paths,
                               const PscEventTable& table, const PscParameters& p, MessageSink& messages,
                               RunOutputs* outputs) {
    std::string text = recordingName;
    PscOutputFile file;
    if (!pscOpenTextOutput(file, paths.directory, paths.statisticsName, p.overwriteOutputs, messages,
                           outputs))
        return text;

    // Group 0 is every event, groups 1 to 3 the event types.
    std::array<std::array<Moments, 4>, 4> groups{};
    const int n = eventCount(table);
    for (int i = 1; i <= n; ++i) {
        const auto row = static_cast<std::size_t>(i);
        const std::array<float, 4> x = {table.at(kAmplitude, row), table.at(kRiseTime, row),
                                        table.at(kHalfWidth, row), table.at(kWidth10, row)};
        const char type = table.eventType[row];
        const bool typed = type >= '1' && type <= '3';
        for (std::size_t q = 0; q < 4; ++q) {
            if (q > 0 && x[q] < 0.0f) continue;  // not measured
            groups[0][q].add(x[q]);
            if (typed) groups[static_cast<std::size_t>(type - '0')][q].add(x[q]);
        }
    }

    std::string out;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g == 0) {
            text.append("\n\nAll Events:");
            out.append("\t\tMean\tSD\tSE\tN\nAll Events:");
        } else {
            const std::string title = "Type " + std::to_string(g) + " events only:";
            text.append("\n\n").append(title);
            out.append("\n").append(title);
        }
        for (std::size_t q = 0; q < 4; ++q) {
            const Moments& m = groups[g][q];
            if (m.count == 0) continue;
            const double count = static_cast<double>(m.count);
            const std::string mean = num(m.sum / count, 3);
            text.append(kStatisticLabels[q]).append(" ").append(mean);
            out.append(kStatisticLabels[q]).append("\t").append(mean).append("\t");
            if (m.count > 2) {
                const double variance = std::max(0.0, (m.squares - m.sum * m.sum / count) / (count - 1.0));
                const double sd = std::sqrt(variance);
                const std::string sdText = num(sd, 3);
                const std::string seText = num(sd / std::sqrt(count), 3);
                const std::string nText = std::to_string(m.count);
                text.append(" +/- ").append(sdText).append(" (sd), ").append(seText).append(" (se), n = ");
                text.append(nText);
                out.append(sdText).append("\t").append(seText).append("\t").append(nText);
            }
        }
    }
    file.write(out);
    pscCloseTextOutput(file, messages, outputs);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Event table

constexpr std::string_view kEventTableTitles =
    "\"Event #\"\t\"Event type\"\t\"times (sec)\"\t\"interval (sec)\"\t\"10-90 rise time (ms)\"\t"
    "\"25%-width (ms)\"\t\"half-width (ms)\"\t\"90% width (ms)\"\t\"amplitude (pA)\"\t\"Cum. Prob.\"\t"
    "\"Charge(fC)\"\t\"wtdtau(ms)\"\t\"decay ratio\"";
constexpr std::string_view kEpisodeTitlesOfTable = "\t\"Epidosde #\"\t\"Epoch #\"\t\"Event time (ms)\"";

std::string widthCell(float width) {
    return width < 0.0f ? std::string() : num(width, 3);
}

void appendEventRow(std::string& out, const PscEventTable& table, const PscParameters& p, int n, int count) {
    const auto row = static_cast<std::size_t>(n);
    const float eventTime = table.at(kEventTime, row);
    const float amplitude = table.at(kAmplitude, row);
    const float halfWidth = table.at(kHalfWidth, row);
    const float width10 = table.at(kWidth10, row);
    const float charge = table.at(kCharge, row);

    out.append(std::to_string(n)).append("\t");
    out.push_back(table.eventType[row]);
    out.append("\t").append(formatFixedWidth(eventTime / 1000.0f)).append("\t");
    if (n > 1) out.append(num((eventTime - table.at(kEventTime, row - 1)) / 1000.0f, 4));
    out.append("\t").append(num(table.at(kRiseTime, row), 3));
    out.append("\t").append(widthCell(table.at(kWidth75, row)));
    out.append("\t").append(widthCell(halfWidth));
    out.append("\t").append(widthCell(width10));
    out.append("\t").append(num(amplitude, 3));
    out.append("\t").append(num(static_cast<float>(n) / static_cast<float>(count), 4));
    out.append("\t");
    if (charge != -1.0f) out.append(num(charge, 4));
    out.append("\t");
    if (charge != -1.0f) out.append(amplitude == 0.0f ? std::string(" ") : num(charge / amplitude, 3));
    out.append("\t");
    if (width10 > 0.0f && halfWidth >= 0.0f) out.append(num(halfWidth / width10, 3));
    if (p.framesAreEpisodes != 0) {
        const std::int32_t frame = table.eventFrame[row];
        const float timeInFrame = eventTime - static_cast<float>(frame) * p.frameDuration;
        out.append("\t").append(std::to_string(frame + 1));
        out.append("\t").append(std::to_string(table.eventWindow[row] + 1));
        out.append("\t").append(printF(timeInFrame, 1));
    }
    out.append("\n");
}

void eventTable(const PscOutputPaths& paths, const PscEventTable& table, const PscParameters& p,
                ProgressRecord& progress, MessageSink& messages, RunOutputs* outputs) {
    PscOutputFile file;
    if (!pscOpenTextOutput(file, paths.directory, paths.eventTableName, p.overwriteOutputs, messages,
                           outputs))
        return;
    std::string out(kEventTableTitles);
    if (p.framesAreEpisodes != 0) out.append(kEpisodeTitlesOfTable);
    out.append("\n");

    progress.line1 = "Exporting Ascii File";
    const int count = eventCount(table);
    long shown = 0;
    for (int n = 1; n <= count; ++n) {
        appendEventRow(out, table, p, n, count);
        if (out.size() >= kFlushSize) {
            file.write(out);
            out.clear();
        }
        const long percent = static_cast<long>(n) * 100 / count;
        if (percent > shown) {
            shown = percent;
            char line[64];
            std::snprintf(line, sizeof line, "Writing summary record %7ld of %7ld.", static_cast<long>(n),
                          static_cast<long>(count));
            progress.line2 = line;
            progress.percent = static_cast<int>(percent);
            progressUpdate(progress);
        }
        if (progress.pressedButton.load() == kProgressCancel) break;
    }
    file.write(out);
    pscCloseTextOutput(file, messages, outputs);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names

std::string pscDerivedName(std::string_view eventTableName, char letter) {
    std::string name(eventTableName);
    if (name.size() >= 7) {
        name[name.size() - 7] = letter;
    } else {
        name.insert(name.begin(), letter);
    }
    return name;
}

PscOutputPaths pscOutputPaths(std::string_view recordingName, std::string_view outputDir) {
    const std::size_t nameStart = fileNameStart(recordingName);
    const std::string_view fileName = recordingName.substr(nameStart);
    const std::size_t dot = fileName.rfind('.');
    const std::string_view base = dot == std::string_view::npos ? fileName : fileName.substr(0, dot);

    PscOutputPaths paths;
    paths.directory =
        outputDir.empty() ? std::string(recordingName.substr(0, nameStart)) : std::string(outputDir);
    paths.eventTableName = std::string(base) + ".PRN";
    paths.episodeSummaryName = pscDerivedName(paths.eventTableName, 'Z');
    paths.rasterName = pscDerivedName(paths.eventTableName, 'W');
    paths.rasterEpisodesName = pscDerivedName(paths.eventTableName, 'R');
    paths.statisticsName = pscDerivedName(paths.eventTableName, 'S');
    paths.scanPath = joinPath(paths.directory, std::string(base) + "d.sca");
    return paths;
}

std::string pscTextOutputPath(std::string_view directory, std::string_view name) {
    std::string path = joinPath(directory, name);
    for (std::size_t i = fileNameStart(path); i < path.size(); ++i)
        path[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(path[i])));
    if (path.size() > 4 && !path.ends_with(".PRN")) path.append(".prn");
    return path;
}

bool pscSaveNameCheck(std::string& path, std::string_view description, bool ask, MessageSink& messages,
                      bool* replaces) {
    if (replaces != nullptr) *replaces = !ask;
    if (!ask) return true;
    std::FILE* existing = std::fopen(path.c_str(), "rb");
    if (existing == nullptr) return true;
    std::fclose(existing);
    const std::size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : path.substr(dot + 1);
    const bool confirmed = messages.confirmSaveName(path, description, extension);
    if (replaces != nullptr) *replaces = confirmed;
    return confirmed;
}

// ---------------------------------------------------------------------------------------------
// Output files

bool pscOpenTextOutput(PscOutputFile& file, std::string_view directory, std::string_view name, char overwrite,
                       MessageSink& messages, RunOutputs* outputs) {
    std::string path = pscTextOutputPath(directory, name);
    if (outputs != nullptr && !outputs->isFree(path, messages)) return false;
    const std::string derived = path;
    bool replaces = false;
    if (!pscSaveNameCheck(path, kPscTextFilesDescription, overwrite != 'Y', messages, &replaces))
        return false;
    if (outputs != nullptr && path != derived && !outputs->isFree(path, messages)) return false;
    if (!file.create(path, replaces ? OutputFile::Existing::Replace : OutputFile::Existing::Keep)) {
        messages.show(MessageKind::PlainError, kPlainErrorCaption,
                      "Couldn't open the output file: " + path + ".   Is it open in another application?");
        if (outputs != nullptr) outputs->markFailed();
        return false;
    }
    if (outputs != nullptr) outputs->take(path);
    file.write(std::string(name) + "\n");
    return true;
}

bool pscCloseTextOutput(PscOutputFile& file, MessageSink& messages, RunOutputs* outputs) {
    auto report = [&messages](const OutputFile& f) {
        std::string text = "Couldn't write the output file: ";
        text.append(f.path()).append(".");
        if (f.error() == EEXIST) text.append("   A file of that name was made meanwhile; it is kept.");
        messages.show(MessageKind::PlainError, kPlainErrorCaption, text);
    };
    // Within a run the output waits, complete, until the recording's outputs are all written.
    if (outputs != nullptr ? file.finish() : file.publish()) {
        if (outputs != nullptr) outputs->hold(std::move(file), report);
        return true;
    }
    report(file);
    if (outputs != nullptr) outputs->markFailed();
    return false;
}

// ---------------------------------------------------------------------------------------------

std::string pscExportText(const std::string& recordingName, const std::string& outputDir,
                          PscEventTable& table, PscParameters& p, ProgressRecord& progress,
                          MessageSink& messages, RunOutputs* outputs) {
    const PscOutputPaths paths = pscOutputPaths(recordingName, outputDir);

    if (p.framesAreEpisodes != 0) {
        PscOutputFile summary, raster, rasterEpisodes;
        EpisodeFiles files;
        if (p.outputEpisodeSummary == 'Y') {
            auto open = [&](PscOutputFile& file, const std::string& name) {
                return pscOpenTextOutput(file, paths.directory, name, p.overwriteOutputs, messages, outputs);
            };
            if (!open(summary, paths.episodeSummaryName)) return {};
            files.summary = &summary;
            if (p.outputRaster == 'Y') {
                if (!open(raster, paths.rasterName)) return {};
                files.raster = &raster;
            }
            if (p.outputRasterEpisodes == 'Y') {
                if (!open(rasterEpisodes, paths.rasterEpisodesName)) return {};
                files.rasterEpisodes = &rasterEpisodes;
            }
        }
        episodePass(table, p, files);
        for (PscOutputFile* file : {files.summary, files.raster, files.rasterEpisodes})
            if (file != nullptr && !pscCloseTextOutput(*file, messages, outputs)) return {};
    }

    std::string completion;
    if (p.exportSummary == 'Y')
        completion = statisticalSummary(recordingName, paths, table, p, messages, outputs);
    if (p.exportAscii == 'Y') eventTable(paths, table, p, progress, messages, outputs);
    return completion;
}

}  // namespace ephys
