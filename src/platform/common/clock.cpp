// Test offsets over the backend's clocks.
#include <atomic>
#include <mutex>
#include <optional>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
std::atomic<int64_t> gOffset{0};
// While frozen, the raw clocks read as this fixed value.
std::atomic<bool> gFrozen{false};
std::atomic<uint32_t> gFrozenAt{0};

uint32_t RawTime() {
    return gFrozen.load() ? gFrozenAt.load() : backend::RawTimeGetTime();
}
std::mutex gLocalLock;
std::optional<LocalTime> gLocalOverride;
}  // namespace

uint32_t TimeGetTime() { return RawTime() + static_cast<uint32_t>(gOffset.load()); }

uint32_t TickCount() {
    const uint32_t raw = gFrozen.load() ? gFrozenAt.load() : backend::RawTickCount();
    return raw + static_cast<uint32_t>(gOffset.load());
}

void FreezeClock(bool frozen) {
    if (frozen == gFrozen.load()) return;
    const uint32_t now = backend::RawTimeGetTime();
    if (frozen) {
        gFrozenAt.store(now);
        gFrozen.store(true);
    } else {
        // Carry on from the frozen reading: fold the time spent frozen into the offset.
        gOffset.fetch_sub(static_cast<int64_t>(now - gFrozenAt.load()));
        gFrozen.store(false);
    }
}

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
