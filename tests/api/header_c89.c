/* The public headers must compile as plain C89. */
#include "kalvex.h"
#include "kalvex_measure.h"
#include "kalvex_scene.h"
#include "kalvex_frame.h"
#include "kalvex_sequence.h"
#include "kalvex_table.h"
#include "kalvex_usb.h"

int kalvex_header_c89_probe(void);
int kalvex_header_c89_probe(void) {
    KalvexScene scene;
    KalvexTableInfo table;
    scene.emissivity = 1.0f;
    table.points = KalvexTable_CheckBytes(0, 0, &table, 0, 0);
    return KALVEX_DLL_VERSION + KALVEX_WM_EVENT + (int)scene.emissivity + KALVEX_SCENE_MAP_WIDTH +
           table.points;
}

int kalvex_header_c89_usb_probe(void);
int kalvex_header_c89_usb_probe(void) {
    KalvexUsbLayout layout;
    layout.endpoints[0] = KALVEX_USB_OK;
    return layout.endpoints[0];
}

int kalvex_header_c89_measure_probe(void);
int kalvex_header_c89_measure_probe(void) {
    KalvexRoi roi;
    KalvexColorOptions options;
    roi.kind = KALVEX_ROI_BOX;
    options.palette = KALVEX_PALETTE_IRONBOW;
    return roi.kind + options.palette + KALVEX_WM_ALARM;
}

int kalvex_header_c89_sequence_probe(void);
int kalvex_header_c89_sequence_probe(void) {
    KalvexFrameInfo info;
    info.size = (uint32_t)sizeof info;
    return (int)info.size + KALVEX_SEQ_E_HANDLE;
}
