#include "device/transfer_event.h"

#include <chrono>

#include "platform/platform.h"

namespace kalvex {

namespace {
// Waits sleep in slices so that a clock moved by a test is noticed promptly.
constexpr uint32_t kSliceMs = 20;
}  // namespace

void TransferEvent::Set() {
    {
        std::lock_guard guard(lock_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void TransferEvent::Reset() {
    std::lock_guard guard(lock_);
    signalled_ = false;
}

void TransferEvent::Wake() {
    { std::lock_guard guard(lock_); }
    changed_.notify_all();
}

bool TransferEvent::IsSet() {
    std::lock_guard guard(lock_);
    return signalled_;
}

bool TransferEvent::Wait(uint32_t limitMs, const std::function<bool()> &abort) {
    const uint32_t start = platform::TimeGetTime();
    std::unique_lock guard(lock_);
    for (;;) {
        if (signalled_) {
            if (!manualReset_) signalled_ = false;
            return true;
        }
        if (abort && abort()) return false;
        uint32_t slice = kSliceMs;
        if (limitMs != kWaitInfinite) {
            const uint32_t waited = platform::TimeGetTime() - start;
            if (waited >= limitMs) return false;
            if (limitMs - waited < slice) slice = limitMs - waited;
        }
        changed_.wait_for(guard, std::chrono::milliseconds(slice));
    }
}

bool TransferEvent::WaitSteady(uint32_t limitMs) {
    std::unique_lock guard(lock_);
    const bool set =
        changed_.wait_for(guard, std::chrono::milliseconds(limitMs), [this] { return signalled_; });
    if (set && !manualReset_) signalled_ = false;
    return set;
}

}  // namespace kalvex
