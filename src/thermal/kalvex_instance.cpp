#include "thermal/kalvex_instance.h"

#include "platform/platform.h"

namespace kalvex {

CKalvex::CKalvex() = default;

CKalvex::~CKalvex() = default;

int CKalvex::Initialize(KalvexHwnd window) {
    SetNotificationWindow(window);
    return 1;
}

int CKalvex::ReportError(int32_t code) {
    errors_.Push(code);
    KalvexHwnd window = NotificationWindow();
    if (window != nullptr) platform::PostWindowMessage(window, KALVEX_WM_EVENT, 0, code);
    return 1;
}

int CKalvex::IsCameraEnable(int, wchar_t *, int) { return 0; }

}  // namespace kalvex
