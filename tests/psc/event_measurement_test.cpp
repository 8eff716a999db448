#include "psc/event_measurement.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace ephys {
namespace {

// Buffers of 1 ms samples whose current is given from frame index `from` on (0 elsewhere).
PscFrameBuffers currentFrom(int from, std::initializer_list<float> values) {
    PscFrameBuffers b;
    b.resize(100, 1.0);
    int k = from;
    for (float v : values) b.current(k++) = v;
    return b;
}

PscEvent eventAt(int peakIndex, float peak, int windowEnd) {
    PscEvent e;
    e.peakIndex = peakIndex;
    e.peak = peak;
    e.windowEnd = windowEnd;
    return e;
}

// A rise that reaches 90 % at 12, dips to 60 at 13 and peaks at 20.
TEST(PscRise, NinetyPercentMovesBackAcrossADipWhileFiftyAndSeventyFiveStay) {
    const PscFrameBuffers b = currentFrom(10, {0, 50, 95, 60, 95, 98, 98, 98, 98, 98, 100});
    PscEventMeasures m;
    pscMeasureRise(b, 1.0f, eventAt(20, 100, 100), m);
    EXPECT_FLOAT_EQ(m.rise90, 11 + 40.0f / 45);  // not 13 + 30/35, the crossing nearest the peak
    EXPECT_FLOAT_EQ(m.rise75, 13 + 15.0f / 35);
    EXPECT_FLOAT_EQ(m.rise50, 11.0f);
    EXPECT_FLOAT_EQ(m.rise10, 10.2f);
    EXPECT_FLOAT_EQ(m.riseTime, 11 + 40.0f / 45 - 10.2f);
}

// Peak 100 at 0 after a one-sample rise (rise crossings at -0.25 for 75 %, -0.5 for 50 %, -0.9 for
// 10 %); the decay falls below 50 % at 2, comes back above it at 3, and below 10 % at 5 and 7.
TEST(PscDecay, CrossingsWithReplacementsAndTheFirstCrossingChoice) {
    const PscFrameBuffers b = currentFrom(0, {100, 80, 40, 60, 30, 5, 15, 4, -1, 70, 20});
    for (bool first : {false, true}) {
        PscEventMeasures m;
        const PscEvent e = eventAt(0, 100, 100);
        pscMeasureRise(b, 1.0f, e, m);
        pscMeasureDecay(b, 1.0f, first, e, m);
        EXPECT_FLOAT_EQ(m.width75, 1.125f + 0.25f);
        EXPECT_NEAR(m.halfWidth, first ? 1.75 + 0.5 : 3 + 1.0 / 3 + 0.5, 1e-5);
        EXPECT_NEAR(m.width10, 7 - 6.0 / 11 + 0.9, 1e-5);  // the later 10 % crossing
        EXPECT_EQ(m.decay10Index, 7);
    }
    PscEventMeasures m;
    const PscEvent cut = eventAt(0, 100, 5);  // the next trigger comes at 5
    pscMeasureRise(b, 1.0f, cut, m);
    pscMeasureDecay(b, 1.0f, false, cut, m);
    EXPECT_FLOAT_EQ(m.width10, -1.0f);
    EXPECT_NEAR(m.halfWidth, 3 + 1.0 / 3 + 0.5, 1e-5);
}

TEST(PscCharge, WalkStopsPastTheTenPercentCrossing) {
    for (float s : {1.0f, -1.0f}) {
        const PscFrameBuffers b = currentFrom(0, {10 * s, 30 * s, 20 * s, 2 * s, -1 * s, 3 * s, 5 * s});
        PscEvent e = eventAt(1, 30 * s, 7);
        e.sign = s;
        EXPECT_FLOAT_EQ(pscEventCharge(b, 0.5f, e, 3), 30.5f * s);  // 10+30+20+2-1, stops at 3
        EXPECT_FLOAT_EQ(pscEventCharge(b, 0.5f, e, kPscNoIndex), 34.5f * s);
        e.windowEnd = 0;
        EXPECT_FLOAT_EQ(pscEventCharge(b, 0.5f, e, 3), -1.0f);
    }
}

struct PscEventStorage : ::testing::Test {
    PscParameters p;
    PscEventTable table;
    PscEvent e;
    PscEventMeasures m;
    void SetUp() override {
        p.sampleInterval = 0.125f;
        p.frameLength = 200;
        p.timeMap = {0, 1000};  // one synch run: acquisition starts 1000 samples in
        p.timeMapLength = 1000;
        e.type = 1;
        e.triggerIndex = 51;
        e.peakIndex = 58;
        e.baseline = 2;
        e.peak = 102;
        m.riseTime = 0.8f;
        m.charge = 299;
    }
};

TEST_F(PscEventStorage, ColumnsOfAStoredEvent) {
    ASSERT_TRUE(pscStoreEvent(table, p, 3, e, m));  // sample 451 of the recording
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(table.eventType[1], '1');
    EXPECT_FLOAT_EQ(table.at(kEventTime, 1), 1451 * 0.125f);
    EXPECT_FLOAT_EQ(table.at(kSampleTime, 1), 451 * 0.125f);
    EXPECT_FLOAT_EQ(table.at(kPeakTime, 1), 1458 * 0.125f);
    EXPECT_FLOAT_EQ(table.at(kAmplitude, 1), 100.0f);
    EXPECT_FLOAT_EQ(table.at(kBaseline, 1), 2.0f);
    EXPECT_FLOAT_EQ(table.at(kRiseTime, 1), 0.8f);
    EXPECT_FLOAT_EQ(table.at(kCharge, 1), 299.0f);
    EXPECT_FLOAT_EQ(table.at(kHalfWidth, 1), -1.0f);
    p.rasterPeakTime = 'Y';
    ASSERT_TRUE(pscStoreEvent(table, p, 3, e, m));
    EXPECT_FLOAT_EQ(table.at(kEventTime, 2), 1458 * 0.125f);
    EXPECT_FLOAT_EQ(table.at(kSampleTime, 2), 458 * 0.125f);
    EXPECT_FLOAT_EQ(table.at(kPeakTime, 2), 1465 * 0.125f);
}

TEST_F(PscEventStorage, TypesSizeRecordingEndAndCapacity) {
    p.exportType1 = 'N';
    EXPECT_FALSE(pscEventWanted(p, 1, e));
    e.type = 3;
    EXPECT_TRUE(pscEventWanted(p, 1, e));
    e.type = 4;
    EXPECT_FALSE(pscEventWanted(p, 1, e));
    e.type = 2;
    e.peak = 2.05f;
    EXPECT_FALSE(pscEventWanted(p, 1, e));  // 0.05 pA
    e.peak = -98;
    EXPECT_FALSE(pscEventWanted(p, 1, e));  // against the trigger direction
    e.sign = -1;
    EXPECT_TRUE(pscEventWanted(p, 1, e));
    EXPECT_TRUE(pscEventWanted(p, 5, e));  // 851 < 1000
    e.triggerIndex = 200;
    EXPECT_FALSE(pscEventWanted(p, 5, e));  // sample 1000: past the recording

    e.triggerIndex = 51;
    table.setCount(kPscMaxStoredEvents - 1);
    EXPECT_TRUE(pscStoreEvent(table, p, 1, e, m));
    EXPECT_EQ(table.eventType[kPscMaxStoredEvents], '2');
    EXPECT_FALSE(pscStoreEvent(table, p, 1, e, m));
    EXPECT_EQ(table.count(), kPscMaxStoredEvents);
}

// A full table keeps the time of the first event it could not store (later ones do not move it);
// a run without a limit grows the table past 63999 rows and keeps every event in order.
TEST_F(PscEventStorage, EventsPastTheCapAreTimedAndALiftedCapKeepsThemAll) {
    EXPECT_EQ(p.maxStoredEvents, kPscMaxStoredEvents);
    p.timeMapLength = 1 << 30;
    p.maxStoredEvents = 3;
    for (int frame = 1; frame <= 3; ++frame) ASSERT_TRUE(pscStoreEvent(table, p, frame, e, m));
    EXPECT_LT(table.firstUnstoredMs, 0.0f);
    EXPECT_FALSE(pscStoreEvent(table, p, 4, e, m));  // sample 651
    EXPECT_FALSE(pscStoreEvent(table, p, 5, e, m));
    EXPECT_EQ(table.count(), 3);
    EXPECT_FLOAT_EQ(table.firstUnstoredMs, 1651 * 0.125f);

    PscEventTable all;
    p.maxStoredEvents = 0;
    const int events = kPscMaxStoredEvents + 6001;
    for (int k = 1; k <= events; ++k) {
        e.peak = static_cast<float>(102 + k);  // amplitude 100 + k
        ASSERT_TRUE(pscStoreEvent(all, p, k, e, m)) << k;
    }
    EXPECT_EQ(all.count(), events);
    EXPECT_LT(all.firstUnstoredMs, 0.0f);
    for (const int row : {1, kPscMaxStoredEvents, kPscMaxStoredEvents + 1, events}) {
        EXPECT_FLOAT_EQ(all.at(kAmplitude, static_cast<std::size_t>(row)), static_cast<float>(100 + row));
        EXPECT_FLOAT_EQ(all.at(kSampleTime, static_cast<std::size_t>(row)),
                        ((row - 1) * 200.0f + 51) * 0.125f);
        EXPECT_EQ(all.eventType[static_cast<std::size_t>(row)], '1');
    }

    // A long recording has more frames than the table has rows: its per-frame columns are longer
    // already, and the per-event rows still grow with the events.
    PscEventTable long_;
    long_.reserveFrames(2 * events);
    for (int k = 1; k <= events; ++k) ASSERT_TRUE(pscStoreEvent(long_, p, k, e, m)) << k;
    EXPECT_EQ(long_.count(), events);
    for (const auto* rows : {&long_.eventFrame, &long_.eventWindow})
        EXPECT_GT(rows->size(), static_cast<std::size_t>(events));
    EXPECT_EQ(long_.eventType.at(static_cast<std::size_t>(events)), '1');
}

// Frame of 200 samples of 0.125 ms: ignore 20 samples, stimulus at 80, direct excitation to 100,
// response to 140.
TEST(PscFrameMeans, PeriodsOfAnEpisode) {
    PscParameters p;
    p.sampleInterval = 0.125f;
    p.framesAreEpisodes = 1;
    p.ignorePeriod = 2.5f;
    p.triggerDelay = 10.0f;
    p.directExcitationIgnore = 2.5f;
    p.triggerDuration = 5.0f;
    PscFrameBuffers b;
    b.resize(200, 0.125);
    for (int k = b.firstIndex(); k < b.endIndex(); ++k)
        b.current(k) = k < 20    ? 100.0f
                       : k < 80  ? 1.0f
                       : k < 100 ? 5.0f
                       : k < 140 ? 7.0f
                       : k < 200 ? 11.0f
                                 : 1000.0f;
    PscEventTable table;
    table.at(kEpisodePostMean, 2) = -5;
    pscFrameMeans(p, b, 2, table);
    EXPECT_FLOAT_EQ(table.at(kEpisodePreMean, 2), 1.0f);
    EXPECT_FLOAT_EQ(table.at(kEpisodeDirectMean, 2), 5.0f);
    EXPECT_FLOAT_EQ(table.at(kEpisodeResponseMean, 2), 7.0f);
    EXPECT_FLOAT_EQ(table.at(kEpisodePostMean, 2), 11.0f);

    p.triggerDuration = 0;  // the response lasts to the frame's end; no post-period
    p.directExcitationIgnore = 0;
    table.at(kEpisodeDirectMean, 3) = -5;
    pscFrameMeans(p, b, 3, table);
    EXPECT_FLOAT_EQ(table.at(kEpisodeResponseMean, 3), (20 * 5 + 40 * 7 + 60 * 11) / 120.0f);
    EXPECT_FLOAT_EQ(table.at(kEpisodePostMean, 3), 0.0f);
    EXPECT_FLOAT_EQ(table.at(kEpisodeDirectMean, 3), -5.0f);  // not written

    p.framesAreEpisodes = 0;
    table.at(kEpisodePreMean, 4) = -5;
    pscFrameMeans(p, b, 4, table);
    EXPECT_FLOAT_EQ(table.at(kEpisodePreMean, 4), -5.0f);
}

}  // namespace
}  // namespace ephys
