// CKalvex: the object behind one instance handle.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/error_stack.h"
#include "kalvex.h"

namespace kalvex {

class CKalvex {
public:
    CKalvex();
    CKalvex(const CKalvex &) = delete;
    CKalvex &operator=(const CKalvex &) = delete;
    virtual ~CKalvex();

    int Initialize(KalvexHwnd window);

    // Records an event code: pushes it and posts it to the notification window.
    int ReportError(int32_t code);
    int32_t PopLastError() { return errors_.Pop(); }

    void SetNotificationWindow(KalvexHwnd window) { window_.store(window); }
    KalvexHwnd NotificationWindow() const { return window_.load(); }

    int IsCameraEnable(int index, wchar_t *name, int size);

private:
    std::atomic<KalvexHwnd> window_{nullptr};
    CErrorStack errors_;
};

}  // namespace kalvex
