/* The public headers must compile as plain C89. */
#include "kalvex.h"
#include "kalvex_scene.h"
#include "kalvex_frame.h"
#include "kalvex_sequence.h"

int kalvex_header_c89_probe(void);
int kalvex_header_c89_probe(void) {
    KalvexScene scene;
    KalvexFrameInfo info;
    info.size = (uint32_t)sizeof info;
    scene.emissivity = 1.0f;
    return KALVEX_DLL_VERSION + KALVEX_WM_EVENT + (int)scene.emissivity + KALVEX_SCENE_MAP_WIDTH + (int)info.size + KALVEX_SEQ_E_HANDLE;
}
