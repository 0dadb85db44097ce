/* A C99 host links the shared library and makes its first calls. */
#include <stdio.h>

#include "kalvex.h"
#include "kalvex_scene.h"

int main(void) {
    int handle;
    KalvexScene scene;
    if (Kalvex_GetDllVersion() != 2032717) return 1;
    handle = Kalvex_Initialize(NULL);
    if (handle == 0) return 2;
    if (Kalvex_SetCameraType(handle) != 0) return 3;
    if (Kalvex_GetLastError(handle) != KALVEX_EV_NOT_SUPPORTED) return 4;
    KalvexScene_Default(&scene);
    scene.emissivity = 0.9f;
    if (KalvexScene_Set(handle, &scene) != 1 || KalvexScene_Transmission(&scene) != 1.0f) return 6;
    scene.humidity = 2.0f;
    if (KalvexScene_Set(handle, &scene) != 0) return 7;
    if (Kalvex_GetLastError(handle) != KALVEX_EV_INVALID_ARGUMENT) return 8;
    if (Kalvex_Release(handle) != 1 || Kalvex_Release(handle) != 0) return 5;
    puts("C host ok");
    return 0;
}
