// The POSIX platform extension of the public interface.
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

using namespace kalvex::platform;

extern "C" {

KALVEX_API KalvexHwnd KALVEX_CALL KalvexPosix_CreateWindow(void) {
    try {
        return posix::CreateWindowQueue();
    } catch (...) {
        return nullptr;
    }
}

KALVEX_API int KALVEX_CALL KalvexPosix_GetMessage(KalvexHwnd hwnd, KalvexMessage *msg,
                                                  int timeoutMs) {
    try {
        return posix::GetWindowMessage(hwnd, msg, timeoutMs);
    } catch (...) {
        return -1;
    }
}

KALVEX_API int KALVEX_CALL KalvexPosix_DestroyWindow(KalvexHwnd hwnd) {
    return posix::DestroyWindowQueue(hwnd) ? 1 : 0;
}

KALVEX_API void KALVEX_CALL KalvexPosix_SetDebugListener(KalvexDebugListener listener,
                                                         void *context) {
    SetDebugListener(listener, context);
}

KALVEX_API int KALVEX_CALL KalvexPosix_RegisterDriver(const char *path, const KalvexDriverOps *ops,
                                                      void *context) {
    try {
        return RegisterDriver(path, ops, context) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

KALVEX_API int KALVEX_CALL KalvexPosix_UnregisterDriver(const char *path) {
    try {
        return UnregisterDriver(path) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
