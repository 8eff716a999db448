#include "psc/frame_pipeline.h"

#include <algorithm>
#include <utility>

namespace ephys {

namespace {

// Memory the ring of frame buffers may take, and the most buffers it keeps: with the default
// 2048-sample frames the ring holds some 16 frames ahead (about 1 MB).
constexpr std::size_t kRingBytes = 16u << 20;
constexpr std::size_t kMostSlots = 16;

}  // namespace

int PscFramePipeline::slotsFor(std::size_t bufferLength) {
    const std::size_t perSlot = std::max<std::size_t>(1, bufferLength * (2 * sizeof(float) + sizeof(double)));
    const std::size_t slots = std::min(kMostSlots, kRingBytes / perSlot);
    return slots >= 2 ? static_cast<int>(slots) : 0;
}

PscFramePipeline::PscFramePipeline(const AbfHeader& header, const PscParameters& p,
                                   const std::vector<std::int32_t>& frames, PscFrameReader& reader,
                                   const PscFrameBuffers& buffers, bool callerPrepares)
    : header_(header),
      frames_(frames),
      count_(static_cast<int>(frames.size())),
      ownReader_(reader),
      ownParams_(p),
      helperParams_(p),
      callerPrepares_(callerPrepares) {
    // The detector's scratch is not needed for reading frames.
    ownParams_.modelWork = PscModelWork{};
    helperParams_.modelWork = PscModelWork{};
    slots_.resize(static_cast<std::size_t>(std::max(1, slotsFor(buffers.bufferLength()))));
    for (Slot& slot : slots_) slot.buffers = buffers;
    if (count_ < 2 || slots_.size() < 2) return;
    try {
        AbfHeader ownHeader;
        int pieceLength = 0;
        if (!helperFile_.open(p.fileName, ownHeader, pieceLength)) return;
        helperReader_.recording = &helperFile_;
        helper_ = std::thread([this] { helperLoop(); });
    } catch (...) {
        // Without a second handle or thread the frames are prepared one by one, as they would
        // be without the pipeline.
        helperReader_.recording = nullptr;
    }
    if (!helper_.joinable()) callerPrepares_ = true;
}

PscFramePipeline::~PscFramePipeline() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (helper_.joinable()) helper_.join();
}

int PscFramePipeline::claim() {
    const int ring = static_cast<int>(slots_.size());
    // The slot of position k is free once position k - ring is analysed.
    if (nextClaim_ >= count_ || nextClaim_ >= released_ + ring) return -1;
    return nextClaim_++;
}

void PscFramePipeline::prepare(int k, PscFrameReader& reader, PscParameters& p,
                               std::unique_lock<std::mutex>& lock) {
    Slot& slot = slots_[static_cast<std::size_t>(k) % slots_.size()];
    lock.unlock();
    std::exception_ptr error;
    try {
        pscReadFrame(header_, p, frames_[static_cast<std::size_t>(k)], slot.buffers, reader);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    slot.frame = k;
    slot.error = std::move(error);
    if (detectorWaits_) changed_.notify_all();
}

void PscFramePipeline::helperLoop() {
    const int ring = static_cast<int>(slots_.size());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const int k = claim();
        if (k >= 0) {
            prepare(k, helperReader_, helperParams_, lock);
            continue;
        }
        if (nextClaim_ >= count_) break;
        // A full ring: go on once half of it is free again, so that the detector does not wake
        // this thread frame after frame.
        helperWaits_ = true;
        changed_.wait(lock, [&] { return stopping_ || nextClaim_ <= released_ + ring - ring / 2; });
        helperWaits_ = false;
    }
}

PscFrameBuffers& PscFramePipeline::next() {
    const int ring = static_cast<int>(slots_.size());
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_) {
        ++released_;
        taken_ = false;
        if (helperWaits_ && nextClaim_ <= released_ + ring - ring / 2) changed_.notify_all();
    }
    const int k = released_;
    Slot& slot = slots_[static_cast<std::size_t>(k) % slots_.size()];
    while (slot.frame != k) {
        // While the frame is being prepared by the helper, prepare a later one here.
        if (const int later = callerPrepares_ ? claim() : -1; later >= 0) {
            prepare(later, ownReader_, ownParams_, lock);
            continue;
        }
        detectorWaits_ = true;
        changed_.wait(lock);
        detectorWaits_ = false;
    }
    taken_ = true;
    if (slot.error) std::rethrow_exception(std::exchange(slot.error, nullptr));
    return slot.buffers;
}

}  // namespace ephys
