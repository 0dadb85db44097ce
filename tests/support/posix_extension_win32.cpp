// Windows stand-ins for the POSIX extension; see posix_extension_win32.h.
#ifdef _WIN32
#include "support/posix_extension_win32.h"

#include <windows.h>

#include "platform/platform.h"

namespace {

const wchar_t kClassName[] = L"KalvexTestWindow";

bool RegisterClassOnce() {
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassW(&wc) != 0;
    }();
    return registered;
}

}  // namespace

extern "C" {

KalvexHwnd KALVEX_CALL KalvexPosix_CreateWindow(void) {
    if (!RegisterClassOnce()) return nullptr;
    return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

int KALVEX_CALL KalvexPosix_GetMessage(KalvexHwnd hwnd, KalvexMessage *msg, int timeoutMs) {
    if (msg == nullptr || hwnd == nullptr || !IsWindow(hwnd)) return -1;
    const DWORD start = GetTickCount();
    for (;;) {
        MSG m;
        if (PeekMessageW(&m, hwnd, 0, 0, PM_REMOVE)) {
            msg->hwnd = m.hwnd;
            msg->message = m.message;
            msg->wParam = static_cast<size_t>(m.wParam);
            msg->lParam = static_cast<long>(m.lParam);
            return 1;
        }
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            DWORD spent = GetTickCount() - start;
            if (spent >= static_cast<DWORD>(timeoutMs)) return 0;
            wait = static_cast<DWORD>(timeoutMs) - spent;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_POSTMESSAGE);
    }
}

int KALVEX_CALL KalvexPosix_DestroyWindow(KalvexHwnd hwnd) {
    return hwnd != nullptr && IsWindow(hwnd) && DestroyWindow(hwnd) ? 1 : 0;
}

void KALVEX_CALL KalvexPosix_SetDebugListener(KalvexDebugListener listener, void *context) {
    kalvex::platform::SetDebugListener(listener, context);
}

int KALVEX_CALL KalvexPosix_RegisterDriver(const char *path, const KalvexDriverOps *ops,
                                           void *context) {
    return kalvex::platform::RegisterDriver(path, ops, context) ? 1 : 0;
}

int KALVEX_CALL KalvexPosix_UnregisterDriver(const char *path) {
    return kalvex::platform::UnregisterDriver(path) ? 1 : 0;
}

}  // extern "C"
#endif
