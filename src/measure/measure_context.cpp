#include "measure/measure_context.h"

#include <new>
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

void MeasureContext::SetOutputColour(const ColourOptions *options) {
    std::lock_guard guard(outputLock_);
    if (options == nullptr) {
        output_.reset();
    } else {
        output_ = std::make_unique<ColourOptions>(*options);
        output_->rgb = false;  // the frame's colour image is B, G, R like the library's own
    }
    outputFresh_ = true;
    outputSet_.store(output_ != nullptr);
}

void MeasureContext::RecolourFrame(CKalvex &instance, const CDibImage &raw, CDibImage &colour,
                                   int32_t low, int32_t high) {
    // Unset, the library's own colours stay as they are: one atomic read.
    if (!outputSet_.load()) return;
    const int32_t width = raw.Width(), height = raw.Height();
    if (width <= 0 || height <= 0 || colour.Width() != width || colour.Height() != height ||
        colour.Stride() != width * 3 || raw.Stride() != width * 2)
        return;
    std::lock_guard guard(outputLock_);
    if (!output_) return;
    ColourOptions used = *output_;
    if (outputFresh_) used.damping = 0;
    outputFresh_ = false;
    const auto table = instance.Table().State();
    ColourResult result;
    // Both images are stored buffer row 0 first: row r colours row r. Out of
    // memory, the frame keeps the library's own colours.
    try {
        ColourFrame({reinterpret_cast<const uint16_t *>(raw.Pixels()), width, height}, *table,
                    instance.Hue(), low, high, false, used,
                    used.agc != kAgcRange ? &outputPrevious_ : nullptr, colour.Pixels(), result);
    } catch (const std::bad_alloc &) {
        instance.ReportError(KALVEX_EV_NO_MEMORY);
    }
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
