/* The public headers must compile as plain C89. */
#include "kalvex.h"
#include "kalvex_scene.h"
#include "kalvex_usb.h"

int kalvex_header_c89_probe(void);
int kalvex_header_c89_probe(void) {
    KalvexScene scene;
    KalvexUsbLayout layout;
    scene.emissivity = 1.0f;
    layout.endpoints[0] = KALVEX_USB_OK;
    return KALVEX_DLL_VERSION + KALVEX_WM_EVENT + (int)scene.emissivity + KALVEX_SCENE_MAP_WIDTH +
           layout.endpoints[0];
}
