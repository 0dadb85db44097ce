// Binds a simulated camera's device path to the driver callbacks. Where the
// registration goes is the one platform- and linkage-specific step
// (driver_registration_core.cpp / driver_registration_posix.cpp).
#include "sim_camera.h"

namespace kalvex::sim {

namespace {

void *KALVEX_CALL OpenThunk(void *context, const char *) {
    return DriverOpen(context);
}

int KALVEX_CALL IoctlThunk(void *context, void *device, unsigned long code, unsigned long pipe,
                           void *buffer, unsigned long length, unsigned long *returned) {
    uint32_t got = 0;
    bool ok =
        code <= 0xFFFFFFFFul && pipe <= 0xFFFFFFFFul && length <= 0xFFFFFFFFul &&
        DriverIoControl(context, device, static_cast<uint32_t>(code), static_cast<uint32_t>(pipe),
                        buffer, static_cast<uint32_t>(length), &got);
    if (returned != nullptr) *returned = got;
    return ok ? 1 : 0;
}

void KALVEX_CALL CloseThunk(void *context, void *device) {
    DriverClose(context, device);
}

int KALVEX_CALL CancelThunk(void *context, void *device) {
    return DriverCancel(context, device) ? 1 : 0;
}

constexpr KalvexDriverOps kOps = {OpenThunk, IoctlThunk, CloseThunk, CancelThunk};

}  // namespace

bool RegisterCameraDriver(Camera &camera) {
    return RegisterDriverPath(camera.Path(), &kOps, &camera);
}

void UnregisterCameraDriver(Camera &camera) {
    UnregisterDriverPath(camera.Path());
}

}  // namespace kalvex::sim
