// kalvex: a host application of the SDK that uses nothing but kalvex.h.
#include <cstdio>

#include "kalvex.h"

namespace {

const char *EventName(long code) {
    switch (code) {
        case KALVEX_EV_NO_FRAME: return "no frame to save";
        case KALVEX_EV_NO_CAMERA: return "camera not available";
        case KALVEX_EV_ACQUISITION: return "frame acquisition failed";
        case KALVEX_EV_CAPTURE_ENDED: return "capture ended by the camera";
        case KALVEX_EV_INVALID_ARGUMENT: return "invalid argument";
        case KALVEX_EV_NO_MEMORY: return "out of memory or buffer too small";
        case KALVEX_EV_THREAD: return "capture thread not started";
        case KALVEX_EV_COMMUNICATION: return "camera communication failed";
        case KALVEX_EV_FILE: return "file error";
        case KALVEX_EV_NOT_SUPPORTED: return "not supported";
        default: return "unknown event";
    }
}

}  // namespace

int main() {
    std::printf("Kalvex SDK library version %d\n", Kalvex_GetDllVersion());
    KalvexHwnd window = KalvexPosix_CreateWindow();
    int handle = Kalvex_Initialize(window);
    if (handle == 0) {
        std::fprintf(stderr, "kalvex: no instance could be created\n");
        return 1;
    }
    std::printf("instance %d created\n", handle);
    KalvexMessage message;
    int events = 0;
    while (KalvexPosix_GetMessage(window, &message, 0) == 1) {
        if (message.message == KALVEX_WM_EVENT) {
            std::printf("event %ld: %s\n", message.lParam, EventName(message.lParam));
            ++events;
        }
    }
    if (events == 0) std::printf("no events\n");
    Kalvex_Release(handle);
    KalvexPosix_DestroyWindow(window);
    std::printf("instance released\n");
    return 0;
}
