// What tests look at inside an instance, beside its public operations.
#pragma once

#include "platform/platform.h"
#include "thermal/kalvex_instance.h"

namespace kalvex::test {

class CKalvexTestPeer {
  public:
    explicit CKalvexTestPeer(CKalvex &instance) : k_(instance) {}

    CZorcamN7KTHERMOSdk &Device() { return k_.device_; }
    int Mode() const { return static_cast<int>(k_.mode_.load()); }
    int CurrentIndex() const { return k_.ring_.NewestIndex(); }
    size_t RingSize() const { return k_.ring_.Size(); }
    uint32_t SlotId(size_t index) const { return k_.ring_.IdAt(index); }
    float ReferenceTemperature() const { return k_.reference_.load(); }
    void SetReferenceTemperature(float celsius) { k_.reference_.store(celsius); }
    uint32_t NucStartTime() const { return k_.nucStartTime_.load(); }
    uint32_t LastDriftCheck() const { return k_.lastDriftCheck_.load(); }
    const HueTable &Hue() const { return k_.hue_; }
    CThermoTable &Table() { return k_.table_; }
    ColourRange &Range() { return k_.range_; }
    // Frames the capture loop has taken from the camera, dropped ones included.
    uint32_t FramesTaken() const { return k_.framesTaken_.load(); }
    // Whether the capture thread has ended by itself (capture ended by the camera).
    bool CaptureThreadEnded() const { return k_.threadEnded_.load(); }
    // What a kept frame costs in metadata: the transfer thread's clock reads
    // and the loop's stamp into the slot.
    void StampAsTheLoopDoes(RingSlot &slot) {
        FrameStamp stamp{1, platform::MonotonicNanoseconds(), platform::UtcNanoseconds()};
        k_.StampSlot(slot, k_.TakeFrame(), stamp, KALVEX_FRAME_STREAM);
    }

  private:
    CKalvex &k_;
};

}  // namespace kalvex::test
