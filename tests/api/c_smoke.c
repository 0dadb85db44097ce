/* A C99 host links the shared library and makes its first calls. */
#include <stdio.h>

#include "kalvex.h"

int main(void) {
    int handle;
    if (Kalvex_GetDllVersion() != 2032717) return 1;
    handle = Kalvex_Initialize(NULL);
    if (handle == 0) return 2;
    if (Kalvex_SetCameraType(handle) != 0) return 3;
    if (Kalvex_GetLastError(handle) != KALVEX_EV_NOT_SUPPORTED) return 4;
    if (Kalvex_Release(handle) != 1 || Kalvex_Release(handle) != 0) return 5;
    puts("C host ok");
    return 0;
}
