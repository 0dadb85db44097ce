// Test offsets over the backend's clocks.
#include <atomic>
#include <mutex>
#include <optional>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
std::atomic<int64_t> gOffset{0};
std::mutex gLocalLock;
std::optional<LocalTime> gLocalOverride;
}  // namespace

uint32_t TimeGetTime() {
    return backend::RawTimeGetTime() + static_cast<uint32_t>(gOffset.load());
}

uint32_t TickCount() { return backend::RawTickCount() + static_cast<uint32_t>(gOffset.load()); }

LocalTime GetLocalTime() {
    {
        std::lock_guard guard(gLocalLock);
        if (gLocalOverride) return *gLocalOverride;
    }
    return backend::RawLocalTime();
}

void AdvanceClock(int64_t milliseconds) { gOffset.fetch_add(milliseconds); }
void SetClockOffset(int64_t milliseconds) { gOffset.store(milliseconds); }
int64_t ClockOffset() { return gOffset.load(); }

void SetLocalTimeOverride(const LocalTime *time) {
    std::lock_guard guard(gLocalLock);
    if (time != nullptr)
        gLocalOverride = *time;
    else
        gLocalOverride.reset();
}

}  // namespace kalvex::platform
