// What an instance keeps for measurement: its alarms and their waiting
// events, and the previous contrast mapping that damping blends with. It
// watches the instance's published frames as its frame observer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "measure/alarm.h"
#include "measure/contrast.h"
#include "measure/region.h"
#include "thermal/kalvex_instance.h"

namespace kalvex::measure {

inline constexpr size_t kMaxWaitingEvents = 256;

// The frame with this id, copied out of the instance's ring with the table
// and scene that convert it; false when no slot holds it.
bool CopyTableFrame(CKalvex &instance, uint32_t frameId, TableFrame &frame);

// Runs work(const TableFrame &) on the frame with this id where it lies in
// the ring, under the ring's lock (statistics read each pixel once: a copy
// would cost about as much again); false when no slot holds it.
template <class Work>
bool OnTableFrame(CKalvex &instance, uint32_t frameId, Work work) {
    TableFrame frame;
    instance.GetScene(&frame.scene);  // its own lock, taken before the ring's
    return instance.ReadFrame(frameId, [&](const uint16_t *rows, int32_t width, int32_t height,
                                           std::shared_ptr<const CThermoTableState> table) {
        frame.pixels = rows;
        frame.width = width, frame.height = height;
        frame.table = std::move(table);
        work(static_cast<const TableFrame &>(frame));
    });
}

class MeasureContext final : public FrameObserver {
  public:
    // The instance's context, made on first use.
    static std::shared_ptr<MeasureContext> Of(CKalvex &instance);

    void FramePublished(CKalvex &instance, uint32_t frameId) override;

    // Colours a frame (see ColourFrame) with this instance's damping memory;
    // false when no slot holds the id.
    bool Colorize(CKalvex &instance, uint32_t frameId, const ColourOptions &options, uint8_t *dst,
                  ColourResult &result);
    // The colouring of every frame's colour image from the next frame on
    // (KalvexMeasure_SetOutputColor); null: the library's own map again.
    void SetOutputColour(const ColourOptions *options);
    void RecolourFrame(CKalvex &instance, const CDibImage &raw, CDibImage &colour, int32_t low,
                       int32_t high) override;

    int32_t AddAlarm(Region region, const KalvexAlarm &alarm);
    bool RemoveAlarm(int32_t id);
    int AlarmActive(int32_t id);
    bool PollAlarm(KalvexAlarmEvent &event);
    // Frames whose alarms have been evaluated (their events are out).
    uint32_t FramesEvaluated() const { return evaluated_.load(); }

  private:
    std::mutex lock_;  // alarms_, events_
    AlarmEngine alarms_;
    std::deque<KalvexAlarmEvent> events_;
    std::atomic<uint32_t> evaluated_{0};
    std::mutex colourLock_;  // previous_, its mode and colourMemory_
    Mapping previous_;
    ColourMemory colourMemory_;
    int previousAgc_ = -1;
    int32_t previousLength_ = 0;
    // Taken under the frame lock (RecolourFrame): never held while taking it.
    std::mutex outputLock_;  // output_ and outputPrevious_
    std::atomic<bool> outputSet_{false};
    std::unique_ptr<ColourOptions> output_;
    Mapping outputPrevious_;
    bool outputFresh_ = true;  // no mapping of the current options to damp with yet
};

}  // namespace kalvex::measure
