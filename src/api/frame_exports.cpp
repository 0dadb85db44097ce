// The KalvexFrame_ exports: per-frame metadata beside the 29 Kalvex_
// functions. No exception crosses this boundary.
#include "api/dispatch.h"
#include "kalvex_frame.h"
#include "thermal/kalvex_instance.h"

extern "C" {

KALVEX_API int32_t KALVEX_CALL KalvexFrame_GetInfo(int32_t handle, uint32_t frameId,
                                                   KalvexFrameInfo *info) {
    return kalvex::Dispatch<int32_t>(
        handle, 0, [&](kalvex::CKalvex &k) { return k.GetFrameInfo(frameId, info); });
}

}  // extern "C"
