// The detection pass's frames prepared on two cores. Reading a frame, scaling it, shifting its
// baseline, filtering it and taking its dI/dt depend only on the recording and on settings the
// detector never changes, so frames can be prepared ahead of the detector, in any order, by a
// second thread. A small ring of frame buffers holds the prepared frames; the detector takes them
// in the listed order. While the frame it needs next is still being prepared, the detector's own
// thread prepares a later one instead of waiting, so both cores share the filtering.
//
// Each preparing thread has its own handle on the recording, its own filter taps and its own copy
// of the parameter record, so the two never share a buffer the other writes. A preparation that
// throws (std::bad_alloc) is kept with its frame and thrown to the detector when it takes that
// frame, after the frames before it were analysed, as a sequential pass would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"
#include "psc/recording_frames.h"

namespace ephys {

class PscFramePipeline {
  public:
    // Prepares the listed `frames` of the recording `p.fileName` (open in `reader`, which the
    // calling thread keeps using). `buffers` gives the size of every frame buffer. The settings
    // are taken from `p` as it is now. When the recording cannot be opened a second time, or no
    // thread can be started, the calling thread prepares every frame itself. With
    // `callerPrepares` false and the helper thread running, the calling thread only waits for
    // the helper's frames (for tests of the helper's side).
    PscFramePipeline(const AbfHeader& header, const PscParameters& p, const std::vector<std::int32_t>& frames,
                     PscFrameReader& reader, const PscFrameBuffers& buffers, bool callerPrepares = true);
    ~PscFramePipeline();
    PscFramePipeline(const PscFramePipeline&) = delete;
    PscFramePipeline& operator=(const PscFramePipeline&) = delete;

    // The buffers of the next listed frame, prepared. The buffers returned before are given back
    // and must not be used any more. Throws what preparing this frame threw.
    PscFrameBuffers& next();

    // Frame buffers a pipeline for buffers of `bufferLength` positions would keep: 0 when such
    // frames are too large to be held more than once (the pass is then run frame by frame).
    static int slotsFor(std::size_t bufferLength);
    // Whether the helper thread runs (false: the calling thread prepares every frame).
    bool helperRunning() const { return helper_.joinable(); }

  private:
    struct Slot {
        PscFrameBuffers buffers;
        int frame = -1;  // position in the list of the frame the buffers hold, once prepared
        std::exception_ptr error;
    };

    // A position in the list that may be prepared now, or -1. Needs the lock.
    int claim();
    // Prepares the frame at list position k into its slot with the given reader and record, and
    // marks it ready.
    void prepare(int k, PscFrameReader& reader, PscParameters& p, std::unique_lock<std::mutex>& lock);
    void helperLoop();

    const AbfHeader& header_;
    const std::vector<std::int32_t>& frames_;
    const int count_;
    std::vector<Slot> slots_;

    PscFrameReader& ownReader_;  // the calling thread's
    PscParameters ownParams_;
    AbfFile helperFile_;
    PscFrameReader helperReader_;
    PscParameters helperParams_;

    std::mutex mutex_;
    std::condition_variable changed_;
    int nextClaim_ = 0;   // the first list position nobody has taken to prepare
    int released_ = 0;    // list positions below this are analysed and their slots free
    bool taken_ = false;  // the detector holds the buffers of position released_
    bool stopping_ = false;
    bool helperWaits_ = false;
    bool detectorWaits_ = false;
    bool callerPrepares_ = true;
    std::thread helper_;
};

}  // namespace ephys
