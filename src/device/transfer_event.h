// A Win32-style event (manual or auto reset) on a mutex and condition variable,
// with waits measured on platform::TimeGetTime so that tests can move time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kalvex {

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;

class TransferEvent {
  public:
    explicit TransferEvent(bool manualReset) : manualReset_(manualReset) {}

    void Set();
    void Reset();
    // Wakes waiters so that they look at their abort condition again. Whoever
    // changes that condition calls this afterwards.
    void Wake();
    bool IsSet();

    // Waits until the event is set (consuming it when auto-reset), until abort()
    // is true, or until limitMs have passed on TimeGetTime (kWaitInfinite: no
    // limit). True only when the event was set.
    bool Wait(uint32_t limitMs, const std::function<bool()> &abort = {});
    // The same on the real steady clock, for bounds that guard against a driver
    // that never returns: moving or freezing the test clock must not stretch them.
    bool WaitSteady(uint32_t limitMs);

  private:
    const bool manualReset_;
    bool signalled_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
};

}  // namespace kalvex
