// The PSC event table of one recording: the single result of a run over it. Rows 1 .. count hold
// the stored events in the order found (row 0 of event_time holds the count); the per-frame
// columns are indexed by frame number. The table starts with room for 63999 events; the rows grow
// when a run stores more (the cap lifted).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ephys {

inline constexpr std::size_t kEventTableRows = 64000;  // row 0 is the count: 63999 events at most

enum PscColumn : std::size_t {
    kEventTime = 0,       // ms
    kAmplitude = 1,       // pA, peak - baseline, signed
    kRiseTime = 2,        // ms, 10-90 %, -1 not measured
    kHalfWidth = 3,       // ms, -1 not measured
    kWidth10 = 4,         // ms, -1 not measured
    kCharge = 5,          // pA.ms, type 1 only, -1 otherwise
    kBaseline = 6,        // pA
    kEpisodePreMean = 7,  // per frame
    kEpisodeResponseMean = 8,
    kEpisodePostMean = 9,
    kWidth75 = 12,  // ms, -1 not measured
    kEpisodeDirectMean = 13,
    kSampleTime = 14,  // ms, without the time map
    kPeakTime = 15,    // ms
    kColumnCount = 16,
};

struct PscEventTable {
    std::array<std::vector<float>, kColumnCount> columns;
    std::vector<char> eventType;            // '1', '2' or '3' per row
    std::vector<std::int32_t> eventFrame;   // filled by the episode pass of the outputs: frame from 0
    std::vector<std::int32_t> eventWindow;  // 0 pre, 1 triggered, 2 post, 4 ignored

    PscEventTable() {
        for (auto& c : columns) c.assign(kEventTableRows, 0.0f);
        eventType.assign(kEventTableRows, '\0');
        eventFrame.assign(kEventTableRows, 0);
        eventWindow.assign(kEventTableRows, 0);
    }
    // The per-frame columns are indexed by frame number: a recording of more frames than the
    // table has rows gets longer columns (the event rows keep their capacity of 63999).
    void reserveFrames(int frameCount) {
        const std::size_t rows = static_cast<std::size_t>(frameCount) + 1;
        if (rows <= columns[0].size()) return;
        for (auto& c : columns) c.resize(rows, 0.0f);
    }
    // Makes room for event row `row`, by half as many rows again as there are at least, so that
    // storing event after event costs little.
    // The per-event vectors are checked on their own: the columns may already be longer, grown
    // for the frames of a long recording.
    void reserveEventRow(std::size_t row) {
        if (row < eventType.size() && row < columns[kEventTime].size()) return;
        const std::size_t rows = std::max(row + 1, eventType.size() + eventType.size() / 2);
        for (auto& c : columns)
            if (c.size() < rows) c.resize(rows, 0.0f);
        eventType.resize(rows, '\0');
        eventFrame.resize(rows, 0);
        eventWindow.resize(rows, 0);
    }
    // The count is kept whole beside its copy in row 0, which a float holds exactly only up to 2^24.
    int count() const { return count_; }
    void setCount(int n) {
        count_ = n;
        columns[kEventTime][0] = static_cast<float>(n);
    }
    // Recording time (ms, as event_time) of the first event that was wanted but not stored because
    // the table held as many events as the run allows; negative when every wanted event was stored.
    float firstUnstoredMs = -1.0f;
    float& at(PscColumn column, std::size_t row) { return columns[column][row]; }
    float at(PscColumn column, std::size_t row) const { return columns[column][row]; }

  private:
    int count_ = 0;
};

}  // namespace ephys
