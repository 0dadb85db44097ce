/* The public headers must compile as plain C89. */
#include "kalvex.h"
#include "kalvex_scene.h"
#include "kalvex_measure.h"

int kalvex_header_c89_probe(void);
int kalvex_header_c89_probe(void) {
    KalvexScene scene;
    KalvexRoi roi;
    KalvexColorOptions options;
    scene.emissivity = 1.0f;
    roi.kind = KALVEX_ROI_BOX;
    options.palette = KALVEX_PALETTE_IRONBOW;
    return KALVEX_DLL_VERSION + KALVEX_WM_EVENT + (int)scene.emissivity + KALVEX_SCENE_MAP_WIDTH + roi.kind +
           options.palette + KALVEX_WM_ALARM;
}
