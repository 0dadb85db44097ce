// Windows stand-ins for the POSIX extension of kalvex.h, so that tests written
// against it run unchanged: a window is a real hidden message-only window
// (HWND_MESSAGE) read with PeekMessage, the debug listener taps the lines the
// library gives OutputDebugStringW, and drivers register straight with the
// core. Force-included into the test programs of the Windows build; a window
// is read on the thread that created it, as Windows requires.
#pragma once

#ifdef _WIN32
#include <stddef.h>

#include "kalvex.h"
#include "platform/platform.h"

extern "C" {

typedef struct KalvexMessage {
    KalvexHwnd hwnd;
    unsigned int message;
    size_t wParam;
    long lParam;
} KalvexMessage;

KalvexHwnd KALVEX_CALL KalvexPosix_CreateWindow(void);
int KALVEX_CALL KalvexPosix_GetMessage(KalvexHwnd hwnd, KalvexMessage *msg, int timeoutMs);
int KALVEX_CALL KalvexPosix_DestroyWindow(KalvexHwnd hwnd);

typedef void(KALVEX_CALL *KalvexDebugListener)(const wchar_t *line, void *context);
void KALVEX_CALL KalvexPosix_SetDebugListener(KalvexDebugListener listener, void *context);

int KALVEX_CALL KalvexPosix_RegisterDriver(const char *path, const KalvexDriverOps *ops,
                                           void *context);
int KALVEX_CALL KalvexPosix_UnregisterDriver(const char *path);

}  // extern "C"
#endif
