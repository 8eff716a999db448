#include "spike/spike_outputs.h"

#include <cmath>
#include <utility>

#include "spike/fi_fit.h"

namespace ephys {

namespace {

// The count of a sweep as the summary, frequency and raster files show it: empty for 0.
void appendCountText(std::string& out, int count) {
    if (count != 0) appendFormat(out, "%d", count);
    out += '\t';
}

constexpr const char* kEpisodeTimeHeading = "\"epi time (sec)\"\t";
constexpr const char* kStimulusHeading = "\"stimulus (pA)\"\t";

}  // namespace

// ---- Names ----------------------------------------------------------------------------------

std::string spikePrnPath(const std::string& recordingPath, const std::string& outputDir) {
    std::string path = recordingPath;
    if (!outputDir.empty()) {
        path = outputDir;
        if (path.back() != '/') path += '/';
        path += recordingPath.substr(fileNameStart(recordingPath));
    }
    path.resize(path.size() >= 3 ? path.size() - 3 : 0);
    return path + "prn";
}

std::string spikeRecordingName(const std::string& recordingPath) {
    return recordingPath.substr(0, recordingPath.size() >= 4 ? recordingPath.size() - 4 : 0);
}

std::string spikeOutputName(const std::string& prnPath, char letter, char channelLetter, bool newFormat) {
    std::string name = prnPath;
    const std::size_t nameStart = fileNameStart(name);
    if (newFormat) {
        std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || dot < nameStart) {
            // No extension in the file name: the letters go before the "prn" that ends it.
            dot = name.size() >= nameStart + 3 ? name.size() - 3 : name.size();
        }
        std::string derived = prnPath.substr(0, dot);
        derived += letter;
        if (channelLetter != 0) derived += channelLetter;
        derived += prnPath.substr(dot);
        return derived;
    }
    auto overwrite = [&](std::ptrdiff_t at, char c) {
        if (at >= static_cast<std::ptrdiff_t>(nameStart) && at < static_cast<std::ptrdiff_t>(name.size()))
            name[static_cast<std::size_t>(at)] = c;
    };
    const auto length = static_cast<std::ptrdiff_t>(name.size());
    overwrite(length - 7, letter);
    if (channelLetter != 0) overwrite(length - 12, channelLetter);
    return name;
}

// ---- Bursts and ratemeter -------------------------------------------------------------------

std::optional<float> spikeLastBurstStart(std::span<const float> latencies, int spikesPerBurst,
                                         float windowMs) {
    const auto q = static_cast<std::ptrdiff_t>(latencies.size());
    const std::ptrdiff_t b = spikesPerBurst;
    if (b < 1) return std::nullopt;
    // Burst ends k from the last spike down to the first one that has b - 1 spikes before it.
    for (std::ptrdiff_t k = q - 1; k >= b - 1; --k) {
        const float start = latencies[static_cast<std::size_t>(k - b + 1)];
        if (latencies[static_cast<std::size_t>(k)] - start <= windowMs) return start;
    }
    return std::nullopt;
}

std::string spikeRatemeterText(float minutesAfterTag, float minutesPerGroup,
                               std::span<const SpikeTagInfo> tags, std::span<const double> sweepStarts,
                               std::optional<float> largestBurstStart) {
    const double d = largestBurstStart ? static_cast<double>(*largestBurstStart) : 4000.0;
    const int totalDuration = 500 * static_cast<int>(std::trunc(d * 0.8 * 2 / 1000 + 0.9));
    std::string text;
    text += "\"total duration (ms)\",\"Autocorr. Bin width (ms)\",\"Ratemeter bin width (ms)\"\n";
    appendFormat(text, "%d,                  10,                    50\n", totalDuration);
    text += "\"Number of Groups\"\n-1\n";
    text += "\"GROUP\",\"First sweep #\",\"Last sweep #\"\n";
    if (tags.empty() || sweepStarts.empty()) return text;

    const double after = static_cast<double>(minutesAfterTag) * 60.0;
    const double group = static_cast<double>(minutesPerGroup) * 60.0;
    // The lowest sweep number whose start lies after x, 0 when no sweep does.
    auto firstSweepAfter = [&](double x) {
        for (std::size_t s = 0; s < sweepStarts.size(); ++s)
            if (sweepStarts[s] > x) return static_cast<int>(s) + 1;
        return 0;
    };

    const double controlEnd = tags.front().seconds + after;
    const int controlFirst = firstSweepAfter(controlEnd - group);
    const int afterControl = firstSweepAfter(controlEnd);
    if (controlFirst == 0 || afterControl == 0) return text;
    const int length = afterControl - controlFirst;
    appendFormat(text, "\"%s\",%d,%d\n", "Control", controlFirst, controlFirst + length);

    const int lastSweep = static_cast<int>(sweepStarts.size());
    for (std::size_t g = 0; g < tags.size(); ++g) {
        int first = 0;
        if (g + 1 < tags.size()) {
            const double end = after + tags[g + 1].seconds;
            first = firstSweepAfter(end - group);
            if (first == 0) continue;
        } else {
            first = lastSweep - length;
        }
        appendFormat(text, "\"%s\",%d,%d\n", tags[g].comment.c_str(), first, first + length);
    }
    return text;
}

// ---- The output files -----------------------------------------------------------------------

SpikeOutputs::SpikeOutputs(const SpikeParams& params, SpikeOutputPlan plan)
    : p_(params), plan_(std::move(plan)) {
    l_.resize(plan_.channels.size());
    x_.resize(plan_.channels.size());
}

bool SpikeOutputs::open(MessageSink& messages, RunOutputs* outputs) {
    const bool newFormat = optionOn(p_.newNameFormat);
    const bool several = plan_.channels.size() > 1;
    auto create = [&](SpikeTextFile& file, char letter, char channelLetter) {
        const std::string path = spikeOutputName(plan_.prnPath, letter, channelLetter, newFormat);
        // Left out; the other files are written.
        if (outputs != nullptr && !outputs->isFree(path, messages)) return true;
        if (file.create(path)) {
            paths_.push_back(path);
            if (outputs != nullptr) outputs->take(path);
            return true;
        }
        messages.show(MessageKind::PlainError, kPlainErrorCaption, "Error! Could not open the file " + path);
        discard();
        return false;
    };
    auto channelLetter = [&](std::size_t slot) {
        return several ? static_cast<char>('A' + plan_.channels[slot].number) : '\0';
    };
    if (optionOn(p_.rawDataOutput) && !create(u_, 'U', 0)) return false;
    if (plan_.gapFree && !create(b_, 'B', 0)) return false;
    if (optionOn(p_.tagfileOutput) && !create(m_, 'M', 0)) return false;
    if (optionOn(p_.summaryOutput) && !create(v_, 'V', 0)) return false;
    if (optionOn(p_.doFrequencies) && !create(k_, 'K', 0)) return false;
    if (optionOn(p_.doRasters)) {
        for (std::size_t c = 0; c < l_.size(); ++c)
            if (!create(l_[c], 'L', channelLetter(c))) return false;
    }
    if (optionOn(p_.ratemeterOutput) && !create(n_, 'N', 0)) return false;
    if (optionOn(p_.channelOutputs)) {
        for (std::size_t c = 0; c < x_.size(); ++c)
            if (!create(x_[c], 'X', channelLetter(c))) return false;
    }
    return true;
}

void SpikeOutputs::discard() {
    paths_.clear();
    for (SpikeTextFile* f : {&u_, &b_, &m_, &v_, &k_, &n_}) f->discard();
    for (SpikeTextFile& f : l_) f.discard();
    for (SpikeTextFile& f : x_) f.discard();
}

void SpikeOutputs::writeTitles() {
    for (SpikeTextFile* f : {&b_, &u_, &m_, &v_})
        if (f->isOpen()) appendFormat(f->text(), "\"%s\"\n", plan_.name.c_str());
    auto tabbed = [&](SpikeTextFile& f) {
        if (f.isOpen()) appendFormat(f.text(), "\"%s\"\t", plan_.name.c_str());
    };
    tabbed(k_);
    for (SpikeTextFile& f : l_) tabbed(f);
    for (SpikeTextFile& f : x_) tabbed(f);
}

int SpikeOutputs::optionalCount() const {
    return (optionOn(p_.episodeTimes) ? 1 : 0) + (optionOn(p_.stimuliOutput) ? 1 : 0);
}

void SpikeOutputs::optionalHeadings(std::string& out) const {
    if (optionOn(p_.episodeTimes)) out += kEpisodeTimeHeading;
    if (optionOn(p_.stimuliOutput)) out += kStimulusHeading;
}

void SpikeOutputs::optionalColumns(std::string& out, const SpikeSweepRow& row) const {
    if (optionOn(p_.episodeTimes)) appendFormat(out, "%0.2f\t", row.startSeconds);
    if (optionOn(p_.stimuliOutput)) appendFormat(out, "%0.0f\t", row.stimulus);
}

void SpikeOutputs::writeHeadings() {
    const std::size_t slots = plan_.channels.size();
    const int n = static_cast<int>(slots);
    const char* label = optionOn(p_.exportAmplitudes) ? "\"with amplitudes\"" : "\"without amplitudes\"";
    const double threshold = p_.threshold;
    const bool u = u_.isOpen(), v = v_.isOpen(), k = k_.isOpen();

    if (u) {
        appendFormat(u_.text(), "%d,%s,\"Spikes bigger than\"", n, label);
        for (std::size_t c = 0; c < slots; ++c) appendFormat(u_.text(), ",%.1f", threshold);
    }
    if (v) {
        appendFormat(v_.text(), "%d\t%s\t\"Spikes bigger than\"", n, label);
        for (std::size_t c = 0; c < slots; ++c) appendFormat(v_.text(), "\t%.1f", threshold);
    }
    if (m_.isOpen())
        m_.put("\"epi or tag #\",\"episode time (sec)\",\"tag time (sec)\",\"tag comment\",\"stimulus\"\n");

    for (std::size_t c = 0; c < slots; ++c) {
        const char* name = plan_.channels[c].name.c_str();
        if (u) appendFormat(u_.text(), ",\"%s\"", name);
        if (v) appendFormat(v_.text(), "\t\"%s\"", name);
        if (x_[c].isOpen()) appendFormat(x_[c].text(), "\"%s\"", name);
        if (k) {
            std::string& t = k_.text();
            appendFormat(t, "\"%s\"\n\"Sweep #\"\t", name);
            optionalHeadings(t);
            appendFormat(
                t,
                "\"Number of Spikes\"\t\"Initial Freq (Hz)\"\t\"Interval #%d Freq (Hz)\"\t\"Final Freq "
                "(Hz)\"\t\"Latencies...., paired next lines are instantaneous frequencies\"\n",
                p_.intervalToMeasure);
        }
        if (l_[c].isOpen()) {
            std::string& t = l_[c].text();
            appendFormat(t, "\"%s\"\n\"Sweep #\"\t", name);
            optionalHeadings(t);
            t += "\"Number of Spikes\"\t\"Latencies...., paired next lines vertical offsets for raster "
                 "plots\"\n";
        }
    }

    if (u) u_.put("\n\"Sweep #\",");
    if (v) {
        v_.put("\n\"Sweep #\"\t");
        optionalHeadings(v_.text());
    }
    for (std::size_t c = 0; c < slots; ++c) {
        const char* name = plan_.channels[c].name.c_str();
        if (x_[c].isOpen()) x_[c].put("\n\"Sweep #\"\t\"Number of Spikes\"\t\"Latencies...\"");
        if (u) appendFormat(u_.text(), "\"Total Spikes %s\",", name);
        if (v) appendFormat(v_.text(), "\"N, %s\"\t", name);
    }
    if (v && optionOn(p_.lastSpikeInSummary))
        for (const SpikeChannelInfo& ch : plan_.channels)
            appendFormat(v_.text(), "\"last, %s\"\t", ch.name.c_str());
    if (v && optionOn(p_.lastBurstInSummary))
        for (const SpikeChannelInfo& ch : plan_.channels)
            appendFormat(v_.text(), "\"last burst, %s\"\t", ch.name.c_str());
    if (u) {
        for (const SpikeChannelInfo& ch : plan_.channels)
            appendFormat(u_.text(), "\"Spike Times %s...\",", ch.name.c_str());
        if (optionOn(p_.exportAmplitudes))
            for (const SpikeChannelInfo& ch : plan_.channels)
                appendFormat(u_.text(), "\"Amplitudes %s...\",", ch.name.c_str());
        u_.put("\n");
    }
    if (v) v_.put("\n");
}

void SpikeOutputs::writeSweep(const SpikeSweepRow& row) {
    const std::size_t slots = plan_.channels.size();
    const int s = row.sweep;
    sweepStarts_.push_back(row.startSeconds);

    // Tag file: sweep time, the tag of the same number when there is one, stimulus.
    if (m_.isOpen()) {
        std::string& t = m_.text();
        appendFormat(t, "%d,%0.2f", s, row.startSeconds);
        if (s >= 1 && static_cast<std::size_t>(s) <= plan_.tags.size()) {
            const SpikeTagInfo& tag = plan_.tags[static_cast<std::size_t>(s) - 1];
            std::string time;
            appendFormat(time, "%.1f", tag.seconds);
            appendFormat(t, ",%s,\"%s\",", time.c_str(), tag.comment.c_str());
        } else {
            t += ",,,";
        }
        appendFormat(t, "%.0f", row.stimulus);
        t += '\n';
    }

    for (SpikeTextFile* f : {&v_, &k_}) {
        if (!f->isOpen()) continue;
        appendFormat(f->text(), "%d\t", s);
        optionalColumns(f->text(), row);
    }
    for (SpikeTextFile& f : l_) {
        if (!f.isOpen()) continue;
        appendFormat(f.text(), "%d\t", s);
        optionalColumns(f.text(), row);
    }
    if (u_.isOpen()) appendFormat(u_.text(), "%d,", s);

    // The count fields of every channel first, then each channel's block.
    for (std::size_t c = 0; c < slots; ++c) {
        if (!row.read[c]) continue;
        const int q = row.spikes[c].count();
        if (u_.isOpen()) appendFormat(u_.text(), "%d,", q);
        if (x_[c].isOpen()) appendFormat(x_[c].text(), "\n%d\t%d\t", s, q);
        if (k_.isOpen()) appendCountText(k_.text(), q);
        if (l_[c].isOpen()) appendCountText(l_[c].text(), q);
        if (v_.isOpen()) appendCountText(v_.text(), q);
    }

    const double frameOffsetMs = static_cast<double>(p_.gapFreeFrameLength) * plan_.sampleIntervalUs *
                                 static_cast<double>(s - 1) / 1000.0;
    const int extraTabs = optionalCount();
    for (std::size_t c = 0; c < slots; ++c) {
        const SpikeList& spikes = row.spikes[c];
        const std::size_t q = spikes.latencies.size();
        if (u_.isOpen())
            for (float t : spikes.latencies) appendFormat(u_.text(), "%.2f,", static_cast<double>(t));
        if (b_.isOpen())
            for (float t : spikes.latencies)
                appendFormat(b_.text(), "%.2f\n", static_cast<double>(t) + frameOffsetMs);
        if (u_.isOpen() && optionOn(p_.exportAmplitudes))
            for (float a : spikes.amplitudes) appendFormat(u_.text(), "%.1f,", static_cast<double>(a));
        if (x_[c].isOpen())
            for (float t : spikes.latencies) appendFormat(x_[c].text(), "%.2f\t", static_cast<double>(t));
        if (k_.isOpen()) {
            std::string& t = k_.text();
            frequencies_ = fiInstantFrequencies(spikes.latencies);  // F(2) .. F(q)
            const std::size_t m = static_cast<std::size_t>(p_.intervalToMeasure);
            if (q >= 2) {
                appendFormat(t, "%.2f\t", frequencies_.front());
            } else {
                t += '\t';
            }
            if (m >= 1 && m < q) {
                appendFormat(t, "%.2f\t", frequencies_[m - 1]);  // F(m + 1)
            } else {
                t += '\t';
            }
            if (q >= 2) {
                appendFormat(t, "%.2f\t", frequencies_.back());
            } else {
                t += '\t';
            }
            for (float lat : spikes.latencies) appendFormat(t, "%.1f\t", static_cast<double>(lat));
            t += "\n\t\t\t\t\t\t";
            t.append(static_cast<std::size_t>(extraTabs), '\t');
            for (double f : frequencies_) appendFormat(t, "%.2f\t", f);
        }
        if (l_[c].isOpen()) {
            std::string& t = l_[c].text();
            for (float lat : spikes.latencies) appendFormat(t, "%.1f\t", static_cast<double>(lat));
            t += "\n\t\t";
            t.append(static_cast<std::size_t>(extraTabs), '\t');
            const float offset = static_cast<float>(s) * p_.rasterOffset;
            for (std::size_t i = 0; i < q; ++i) appendFormat(t, "%.1f\t", static_cast<double>(offset));
        }
    }

    if (optionOn(p_.lastSpikeInSummary) && v_.isOpen()) {
        for (std::size_t c = 0; c < slots; ++c) {
            const std::vector<float>& lat = row.spikes[c].latencies;
            appendFormat(v_.text(), "%.1f\t", lat.empty() ? 0.0 : static_cast<double>(lat.back()));
        }
    }
    if (optionOn(p_.lastBurstInSummary)) {
        for (std::size_t c = 0; c < slots; ++c) {
            const std::optional<float> start =
                spikeLastBurstStart(row.spikes[c].latencies, p_.spikesPerBurst, p_.burstWindow);
            if (start && (!largestBurst_ || *start > *largestBurst_)) largestBurst_ = start;
            if (v_.isOpen()) appendFormat(v_.text(), "%.1f\t", start ? static_cast<double>(*start) : 0.0);
        }
    }

    for (SpikeTextFile& f : l_)
        if (f.isOpen()) f.put("\n");
    for (SpikeTextFile* f : {&k_, &u_, &v_})
        if (f->isOpen()) f->put("\n");
    flushAll();
}

void SpikeOutputs::flushAll() {
    for (SpikeTextFile* f : {&u_, &b_, &m_, &v_, &k_, &n_})
        if (f->isOpen()) f->maybeFlush();
    for (SpikeTextFile& f : l_)
        if (f.isOpen()) f.maybeFlush();
    for (SpikeTextFile& f : x_)
        if (f.isOpen()) f.maybeFlush();
}

bool SpikeOutputs::finish(const std::string* fiTable, MessageSink& messages, RunOutputs* outputs) {
    bool ok = true;
    auto report = [&messages](const OutputFile& f) {
        messages.show(MessageKind::PlainError, kPlainErrorCaption,
                      "Error! Could not write the file " + f.path());
    };
    // Within a run each file waits, complete, until the recording's outputs are all written.
    auto complete = [&](SpikeTextFile& f) {
        if (!f.isOpen()) return;
        if (outputs != nullptr ? f.finish() : f.publish()) {
            if (outputs != nullptr) outputs->hold(std::move(f), report);
            return;
        }
        report(f);
        ok = false;
    };
    for (SpikeTextFile& f : l_) complete(f);
    if (k_.isOpen() && fiTable != nullptr) k_.put(*fiTable);
    complete(k_);
    for (SpikeTextFile* f : {&b_, &u_, &m_, &v_}) complete(*f);
    for (SpikeTextFile& f : x_) complete(f);
    if (n_.isOpen()) {
        n_.put(spikeRatemeterText(p_.minutesAfterTag, p_.minutesPerGroup, plan_.tags, sweepStarts_,
                                  optionOn(p_.lastBurstInSummary) ? largestBurst_ : std::nullopt));
        complete(n_);
    }
    return ok;
}

}  // namespace ephys
