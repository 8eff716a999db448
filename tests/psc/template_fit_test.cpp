// The event model's kinetics fitted to a recording's own events: the least-squares fit of an
// averaged event, and the first pass over synthetic recordings of known kinetics run as psctrawl
// --batch --template-from-recording runs it.
#include "psc/template_fit.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "abf/abf_writer.h"
#include "abf/synthetic_recording.h"
#include "psc/run_driver.h"
#include "signal/gaussian_filter.h"
#include "synthetic_psc_file.h"

namespace ephys {
namespace {

namespace fs = std::filesystem;

constexpr double kDt = 0.05;  // ms, 20 kHz

// An averaged event made here, apart from the fit's own model: amplitude x the difference of
// exponentials (peak 1) from `onset` ms after the aligned onset, on `offset`, filtered as
// psctrawl filters frames, with white noise of SD `noise` added after the filter.
PscEventAverage madeAverage(double rise, double decay, double onset, double amplitude, double offset,
                            double filterHz, double noise, std::uint64_t seed) {
    constexpr int kLead = 60, kCount = 60 + 1200, kMargin = 60;
    const double tPeak = decay * rise / (decay - rise) * std::log(decay / rise);
    const double peak = std::exp(-tPeak / decay) - std::exp(-tPeak / rise);
    std::vector<float> trace(kCount + 2 * kMargin);
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const double t = (static_cast<double>(i) - kMargin - kLead) * kDt - onset;
        trace[i] = static_cast<float>(
            t > 0.0 ? amplitude * (std::exp(-t / decay) - std::exp(-t / rise)) / peak : 0.0);
    }
    GaussianTaps taps;
    if (filterHz > 0.0) gaussianFilter(trace, static_cast<float>(filterHz), kDt * 1000.0, taps);
    SynthRandom random(seed);
    PscEventAverage a;
    a.lead = kLead;
    a.events = 100;
    for (int i = 0; i < kCount; ++i)
        a.values.push_back(trace[static_cast<std::size_t>(i + kMargin)] + offset + noise * random.normal());
    return a;
}

TEST(KineticsFitTest, FitsRiseDecayOnsetAndAmplitudeOfAFilteredNoisyAverage) {
    // A rise of 0.3 ms is as slow as the 500 Hz filter itself: a fit of the unfiltered model
    // would take the filter for the current.
    struct Case {
        double rise, decay, onset;
    };
    for (const Case c :
         {Case{0.3, 3.0, 0.4}, Case{1.0, 10.0, -0.6}, Case{2.0, 12.0, 0.0}, Case{0.5, 40.0, 0.2}}) {
        const PscEventAverage a = madeAverage(c.rise, c.decay, c.onset, 25.0, 1.5, 500.0, 0.3, 7);
        const PscKineticsFit fit = pscFitKinetics(a, kDt, 500.0);
        SCOPED_TRACE(std::to_string(c.rise) + " / " + std::to_string(c.decay));
        ASSERT_TRUE(fit.ok);
        EXPECT_NEAR(fit.riseMs, c.rise, 0.04 * c.rise);
        EXPECT_NEAR(fit.decayMs, c.decay, 0.03 * c.decay);
        EXPECT_NEAR(fit.onsetMs, c.onset, 0.05);
        EXPECT_NEAR(fit.amplitude, 25.0, 0.5);
        EXPECT_NEAR(fit.offset, 1.5, 0.2);
        EXPECT_LT(fit.rmsResidual, 0.4);
    }
}

TEST(KineticsFitTest, NoiseAloneAStepOrTooShortAnAverageIsNoFit) {
    // Noise alone fits some small bump, which does not stand out of the residuals.
    EXPECT_FALSE(pscFitKinetics(madeAverage(1.0, 10.0, 0.0, 0.0, 0.0, 500.0, 1.0, 3), kDt, 500.0).ok);
    // A step of the baseline has no decay within reach: the decay ends at its range's end.
    PscEventAverage step;
    step.lead = 60;
    for (int i = 0; i < 1000; ++i) step.values.push_back(i < 60 ? 0.0 : 10.0);
    EXPECT_FALSE(pscFitKinetics(step, kDt, 0.0).ok);
    // Upside down (the events' direction taken wrongly) is no fit either.
    EXPECT_FALSE(pscFitKinetics(madeAverage(1.0, 10.0, 0.0, -25.0, 0.0, 500.0, 0.3, 4), kDt, 500.0).ok);
    PscEventAverage tiny;
    tiny.values = {0.0, 1.0, 0.5};
    EXPECT_FALSE(pscFitKinetics(tiny, kDt, 0.0).ok);
}

// Gap-free synthetic recordings in a scratch folder, analysed by a batch-like run with the
// deconvolution detector on inward currents and the built-in settings otherwise.
struct Recordings {
    std::string dir = [] {
        std::string pattern = (fs::temp_directory_path() / "psc-template-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    ~Recordings() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string write(const std::string& name, const PscSynthSpec& spec) {
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(writeSyntheticPscFile(path, spec));
        return path;
    }

    struct Outcome {
        std::vector<PscRecordingOutcome> recordings;
        std::vector<CapturedMessages::Entry> templateLines;
        float riseMs = 0.0f, decayMs = 0.0f;  // the record's kinetics after the run
    };
    Outcome run(const std::vector<std::string>& files, PscDetectorKind detector, PscTemplateStart start) {
        PscParameters p;
        ParamTable table;
        SilentMessageSink quiet;
        pscBuildParamTable(p, table, quiet);
        p.diffTrigger = -1.0f;
        p.detector = detector;
        p.templateRiseMs = 7.0f;  // what the record held before: every recording starts from `start`
        p.templateDecayMs = 70.0f;
        p.exportScan = 'N';
        p.overwriteOutputs = 'Y';
        ProgressRecord progress;
        CapturedMessages messages;
        PscRun r(p, progress, messages);
        r.outputDir = dir;
        r.withButtonEvent = false;
        r.templateFromRecording = start;
        Outcome o;
        o.recordings = pscRunRecordings(r, table, files);
        for (const CapturedMessages::Entry& m : messages.entries())
            if (m.text.starts_with("Template from ")) o.templateLines.push_back(m);
        o.riseMs = p.templateRiseMs;
        o.decayMs = p.templateDecayMs;
        return o;
    }
};

PscSynthSpec eventsSpec(double rise, double decay, double noise, std::uint64_t seed, int seconds = 40) {
    PscSynthSpec spec;
    spec.samplesPerSweep = static_cast<std::int64_t>(seconds) * 20000;
    spec.rateHz = 10.0;
    spec.amplitudeMedianPa = 20.0;
    spec.tauRiseMs = rise;
    spec.tauDecayMs = decay;
    spec.noiseSdPa = noise;
    spec.seed = seed;
    return spec;
}

// "rise R ms, decay D ms from N events" read back from a line.
struct Said {
    double rise = -1.0, decay = -1.0;
    int events = -1;
};
Said readLine(const std::string& line) {
    Said s;
    const std::size_t at = line.find(": rise ");
    if (at == std::string::npos) return s;
    std::sscanf(line.c_str() + at, ": rise %lf ms, decay %lf ms from %d events", &s.rise, &s.decay,
                &s.events);
    return s;
}

TEST(TemplateFromRecordingTest, KineticsTenfoldAndTwiceTheStartAreFoundWithinTenPercent) {
    // Rise 1 ms and decay 10 ms in white noise at an SNR of 5 and 2.5, found from the defaults
    // 0.5 ms and 5 ms, for either model detector (the second recording of each run starts from the
    // defaults again, not from the first one's fit).
    Recordings recordings;
    const std::string clear = recordings.write("clear.abf", eventsSpec(1.0, 10.0, 4.0, 21));
    const std::string noisy = recordings.write("noisy.abf", eventsSpec(1.0, 10.0, 8.0, 22));
    for (const PscDetectorKind detector : {PscDetectorKind::Deconvolution, PscDetectorKind::Template}) {
        SCOPED_TRACE(std::string(pscDetectorName(detector)));
        const std::string& first = detector == PscDetectorKind::Deconvolution ? clear : noisy;
        const std::string& second = detector == PscDetectorKind::Deconvolution ? noisy : clear;
        const auto o = recordings.run({first, second}, detector, PscTemplateStart{0.5f, 5.0f});
        ASSERT_EQ(o.recordings.size(), 2u);
        ASSERT_EQ(o.templateLines.size(), 2u);
        for (std::size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(o.recordings[k].state, PscRecordingOutcome::State::Done);
            const CapturedMessages::Entry& m = o.templateLines[k];
            EXPECT_EQ(m.kind, MessageKind::Information);
            EXPECT_EQ(m.caption, "PSCTRAWL");
            EXPECT_EQ(m.text.rfind("Template from " + (k == 0 ? first : second) + ": rise ", 0), 0u)
                << m.text;
            const Said said = readLine(m.text);
            EXPECT_NEAR(said.rise, 1.0, 0.1) << m.text;
            EXPECT_NEAR(said.decay, 10.0, 1.0) << m.text;
            EXPECT_GE(said.events, 50) << m.text;
            EXPECT_LE(said.events, kPscTemplateAveraged) << m.text;
        }
        // The detection pass ran with the last recording's fitted kinetics, as the line says them.
        const Said last = readLine(o.templateLines[1].text);
        EXPECT_NEAR(o.riseMs, last.rise, 0.006);
        EXPECT_NEAR(o.decayMs, last.decay, 0.006);
    }
}

TEST(TemplateFromRecordingTest, MainsHumIsTakenOutBeforeTheEventsAreAveraged) {
    // 10 pA of 50 Hz hum beside 4 pA of noise: left in, it hides and bends the events (the fit
    // then finds a rise of some 4 ms); the run's default takes it out first.
    Recordings recordings;
    PscSynthSpec spec = eventsSpec(1.0, 10.0, 4.0, 5);
    spec.humPa = 10.0;
    const std::string hummed = recordings.write("hummed.abf", spec);
    const auto o = recordings.run({hummed}, PscDetectorKind::Deconvolution, PscTemplateStart{0.5f, 5.0f});
    ASSERT_EQ(o.templateLines.size(), 1u);
    const Said said = readLine(o.templateLines[0].text);
    EXPECT_NEAR(said.rise, 1.0, 0.1) << o.templateLines[0].text;
    EXPECT_NEAR(said.decay, 10.0, 1.0) << o.templateLines[0].text;
}

TEST(TemplateFromRecordingTest, ARecordingWithoutEventsKeepsTheGivenKineticsAndSaysSo) {
    // After a recording with slow events, one with noise alone: it starts from the given
    // kinetics again, not from the ones fitted before, and is analysed with them.
    Recordings recordings;
    const std::string slow = recordings.write("slow.abf", eventsSpec(2.0, 20.0, 4.0, 31));
    PscSynthSpec none = eventsSpec(1.0, 10.0, 4.0, 32, 10);
    none.rateHz = 0.0;
    const std::string quiet = recordings.write("quiet.abf", none);
    const auto o =
        recordings.run({slow, quiet}, PscDetectorKind::Deconvolution, PscTemplateStart{0.6f, 6.0f});
    ASSERT_EQ(o.recordings.size(), 2u);
    EXPECT_EQ(o.recordings[0].state, PscRecordingOutcome::State::Done);
    EXPECT_EQ(o.recordings[1].state, PscRecordingOutcome::State::Done);
    ASSERT_EQ(o.templateLines.size(), 2u);
    const Said slowSaid = readLine(o.templateLines[0].text);
    EXPECT_NEAR(slowSaid.rise, 2.0, 0.3) << o.templateLines[0].text;
    EXPECT_NEAR(slowSaid.decay, 20.0, 3.0) << o.templateLines[0].text;
    EXPECT_EQ(o.templateLines[1].kind, MessageKind::Warning);
    // Seconds of noise may hold a noise peak or two the detector takes for an event.
    const std::string& line = o.templateLines[1].text;
    const std::string start = "Template from " + quiet + ": too few clear events (";
    ASSERT_EQ(line.rfind(start, 0), 0u) << line;
    EXPECT_LT(std::stoi(line.substr(start.size())), kPscTemplateMinEvents) << line;
    EXPECT_TRUE(line.ends_with(" of 5 needed); the given kinetics stay: rise 0.60 ms, decay 6.00 ms"))
        << line;
    EXPECT_FLOAT_EQ(o.riseMs, 0.6f);
    EXPECT_FLOAT_EQ(o.decayMs, 6.0f);
}

TEST(TemplateFromRecordingTest, LinesInTheCLocaleWithTheFittedOrTheGivenKinetics) {
    PscTemplateFromRecording r;
    r.state = PscTemplateFromRecording::State::Fitted;
    r.riseMs = 0.5249f;
    r.decayMs = 14.87f;
    r.events = 143;
    EXPECT_EQ(pscTemplateLine("a b.abf", r),
              "Template from a b.abf: rise 0.52 ms, decay 14.9 ms from 143 events");
    r.state = PscTemplateFromRecording::State::FitFailed;
    r.riseMs = 0.5f;
    r.decayMs = 5.0f;
    r.events = 12;
    EXPECT_EQ(pscTemplateLine("x.abf", r),
              "Template from x.abf: the model could not be fitted to the average of 12 events; the given "
              "kinetics stay: rise 0.50 ms, decay 5.00 ms");
}

}  // namespace
}  // namespace ephys
