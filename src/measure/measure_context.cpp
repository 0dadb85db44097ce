#include "measure/measure_context.h"

#include <vector>

#include "platform/platform.h"

namespace kalvex::measure {

bool CopyTableFrame(CKalvex &instance, uint32_t frameId, TableFrame &frame) {
    if (!instance.CopyFrame(frameId, frame.raw, frame.width, frame.height, frame.table))
        return false;
    // Regions with an emissivity of their own start from the scene as set.
    instance.GetScene(&frame.scene);
    return true;
}

std::shared_ptr<MeasureContext> MeasureContext::Of(CKalvex &instance) {
    return std::dynamic_pointer_cast<MeasureContext>(
        instance.ObserverOr([] { return std::make_shared<MeasureContext>(); }));
}

void MeasureContext::FramePublished(CKalvex &instance, uint32_t frameId) {
    {
        std::lock_guard guard(lock_);
        if (alarms_.Empty()) return;
    }
    TableFrame frame;
    if (!CopyTableFrame(instance, frameId, frame)) return;
    const uint32_t now = platform::TimeGetTime();
    std::vector<KalvexAlarmEvent> raised;
    {
        std::lock_guard guard(lock_);
        alarms_.Evaluate([&](const Region &r) { return MeasureTableFrame(frame, r); }, frameId, now,
                         raised);
        for (const KalvexAlarmEvent &e : raised) {
            if (events_.size() == kMaxWaitingEvents) events_.pop_front();
            events_.push_back(e);
        }
    }
    const KalvexHwnd window = instance.NotificationWindow();
    if (window != nullptr) {
        for (const KalvexAlarmEvent &e : raised)
            platform::PostWindowMessage(window, KALVEX_WM_ALARM, static_cast<uintptr_t>(e.alarm),
                                        e.active);
    }
    evaluated_.fetch_add(1);
}

bool MeasureContext::Colorize(CKalvex &instance, uint32_t frameId, const ColourOptions &options,
                              uint8_t *dst, ColourResult &result) {
    TableFrame frame;
    if (!CopyTableFrame(instance, frameId, frame)) return false;
    const bool reversed = instance.GetParam(KALVEX_PARAM_ROW_ORDER) != 0;
    const int32_t low = instance.Range().low.load(), high = instance.Range().high.load();
    std::lock_guard guard(colourLock_);
    // Damping blends mappings of one kind over frames of one size only.
    const int32_t length = frame.width * frame.height;
    ColourOptions used = options;
    Mapping *previous = nullptr;
    if (used.agc != kAgcRange) {
        if (previousAgc_ != used.agc || previousLength_ != length) used.damping = 0;
        previous = &previous_;
        previousAgc_ = used.agc;
        previousLength_ = length;
    }
    ColourFrame({frame.raw.data(), frame.width, frame.height}, *frame.table, instance.Hue(), low,
                high, reversed, used, previous, dst, result, &colourMemory_);
    return true;
}

int32_t MeasureContext::AddAlarm(Region region, const KalvexAlarm &alarm) {
    std::lock_guard guard(lock_);
    return alarms_.Add(std::move(region), alarm);
}

bool MeasureContext::RemoveAlarm(int32_t id) {
    std::lock_guard guard(lock_);
    return alarms_.Remove(id);
}

int MeasureContext::AlarmActive(int32_t id) {
    std::lock_guard guard(lock_);
    return alarms_.Active(id);
}

bool MeasureContext::PollAlarm(KalvexAlarmEvent &event) {
    std::lock_guard guard(lock_);
    if (events_.empty()) return false;
    event = events_.front();
    events_.pop_front();
    return true;
}

}  // namespace kalvex::measure
