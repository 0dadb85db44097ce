// The 29 exported functions: find the instance, hand it the call. No exception
// crosses this boundary; an escaped one gives the function's failure result.
#include <memory>

#include "api/dispatch.h"
#include "api/sdk_chain.h"
#include "base/text_conversion.h"
#include "kalvex.h"
#include "platform/platform.h"
#include "thermal/kalvex_instance.h"

using kalvex::CKalvex;

using kalvex::Dispatch;

extern "C" {

KALVEX_API int KALVEX_CALL Kalvex_Initialize(KalvexHwnd hwnd) {
    try {
        int handle = kalvex::Registry().CreateInstance();
        if (handle == 0) return 0;
        Dispatch(handle, 0, [&](CKalvex &k) { return k.Initialize(hwnd); });
        return handle;
    } catch (...) {
        return 0;
    }
}

KALVEX_API int KALVEX_CALL Kalvex_Release(int handle) {
    try {
        return kalvex::Registry().Release(handle);
    } catch (...) {
        return 0;
    }
}

KALVEX_API int KALVEX_CALL Kalvex_GetDllVersion(void) {
    return KALVEX_DLL_VERSION;
}

KALVEX_API int KALVEX_CALL Kalvex_GetLastError(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.PopLastError(); });
}

KALVEX_API int KALVEX_CALL Kalvex_SetWindowHandle(int handle, KalvexHwnd hwnd) {
    return Dispatch(handle, 0, [&](CKalvex &k) {
        k.SetNotificationWindow(hwnd);
        return 1;
    });
}

KALVEX_API int KALVEX_CALL Kalvex_IsCameraEnableW(int handle, int index, wchar_t *name, int size) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.IsCameraEnable(index, name, size); });
}

KALVEX_API int KALVEX_CALL Kalvex_IsCameraEnableA(int handle, int index, char *name, int size) {
    return Dispatch(handle, 0, [&](CKalvex &k) {
        return kalvex::WithWideBuffer(
            name, size, kalvex::platform::WideToNarrow,
            [&](wchar_t *wide, int wideSize) { return k.IsCameraEnable(index, wide, wideSize); });
    });
}

KALVEX_API int KALVEX_CALL Kalvex_SetCameraNumber(int handle, int number) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.SetCameraNumber(number); });
}

KALVEX_API int KALVEX_CALL Kalvex_SetCameraType(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) {
        k.ReportError(KALVEX_EV_NOT_SUPPORTED);
        return 0;
    });
}

KALVEX_API int KALVEX_CALL Kalvex_SetTableW(int handle, const wchar_t *fileName) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.SetTable(fileName); });
}

KALVEX_API int KALVEX_CALL Kalvex_SetTableA(int handle, const char *fileName) {
    return Dispatch(handle, 0, [&](CKalvex &) {
        return kalvex::WithWideText(
            fileName, 0, kalvex::platform::NarrowToWide,
            [&](const wchar_t *wide) { return Kalvex_SetTableW(handle, wide); });
    });
}

KALVEX_API int KALVEX_CALL Kalvex_Preview(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.Preview(); });
}

KALVEX_API int KALVEX_CALL Kalvex_Close(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.CloseCamera(); });
}

KALVEX_API int KALVEX_CALL Kalvex_Pause(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.Pause(1); });
}

KALVEX_API int KALVEX_CALL Kalvex_Start(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.Pause(0); });
}

KALVEX_API int KALVEX_CALL Kalvex_OneShot(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.OneShot(); });
}

KALVEX_API int KALVEX_CALL Kalvex_Trigger(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.Trigger(); });
}

KALVEX_API int KALVEX_CALL Kalvex_Nuc(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return k.ApplyNuc(); });
}

KALVEX_API int KALVEX_CALL Kalvex_GetNewID(int handle) {
    return Dispatch(handle, 0, [](CKalvex &k) { return static_cast<int>(k.GetNewID()); });
}

KALVEX_API int KALVEX_CALL Kalvex_GetColor(int handle, int frameId, void *buffer, int bufferSize) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.GetColor(frameId, buffer, bufferSize); });
}

KALVEX_API int KALVEX_CALL Kalvex_GetRaw(int handle, int frameId, void *buffer, int bufferSize) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.GetRaw(frameId, buffer, bufferSize); });
}

KALVEX_API int KALVEX_CALL Kalvex_GetTemperature(int handle, int frameId, float *buffer,
                                                 int bufferSize) {
    return Dispatch(handle, 0,
                    [&](CKalvex &k) { return k.GetTemperature(frameId, buffer, bufferSize); });
}

KALVEX_API float KALVEX_CALL Kalvex_GetInternalTemperature(int handle, int *ok) {
    return Dispatch(handle, 0.0f, [&](CKalvex &k) { return k.ReadInternalTemperature(ok); });
}

KALVEX_API int KALVEX_CALL Kalvex_GetParam(int handle, int id) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.GetParam(id); });
}

KALVEX_API int KALVEX_CALL Kalvex_SetParam(int handle, int id, int value) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.SetParam(id, value); });
}

KALVEX_API int KALVEX_CALL Kalvex_SaveW(int handle, const wchar_t *fileName, int type) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.Save(fileName, type); });
}

KALVEX_API int KALVEX_CALL Kalvex_SaveA(int handle, const char *fileName, int type) {
    return Dispatch(handle, 0, [&](CKalvex &) {
        return kalvex::WithWideText(
            fileName, 0, kalvex::platform::NarrowToWide,
            [&](const wchar_t *wide) { return Kalvex_SaveW(handle, wide, type); });
    });
}

KALVEX_API int KALVEX_CALL Kalvex_RecW(int handle, const wchar_t *fileName, int kind) {
    return Dispatch(handle, 0, [&](CKalvex &k) { return k.RequestRecording(fileName, kind); });
}

KALVEX_API int KALVEX_CALL Kalvex_RecA(int handle, const char *fileName, int kind) {
    return Dispatch(handle, 0, [&](CKalvex &) {
        return kalvex::WithWideText(
            fileName, 0, kalvex::platform::NarrowToWide,
            [&](const wchar_t *wide) { return Kalvex_RecW(handle, wide, kind); });
    });
}

}  // extern "C"
