/*
 * Kalvex SDK: measuring and seeing. Palettes and contrast (automatic gain
 * control), isotherms, regions with statistics in degrees Celsius, and alarms
 * on a region's statistic, for the frames of an instance's ring.
 *
 * Coordinates. Regions are given in frame coordinates: x = 0 is the left
 * column, y = 0 the top line of the scene (the camera's first sensor line),
 * whatever the row-order parameters say. Temperatures are those that
 * Kalvex_GetTemperature gives, with the instance's scene compensation
 * (kalvex_scene.h); a region with an emissivity of its own is compensated
 * with that emissivity (and reflected temperature) instead.
 *
 * Colour. KalvexMeasure_Colorize writes 640 * 480 pixels of 3 bytes, rows in
 * the order Kalvex_GetColor hands them out (parameter 17), B, G, R unless
 * options.rgb is set. With the default options (palette hue, contrast range,
 * no isotherm) the image is that of Kalvex_GetColor whenever the frame was
 * mapped with the instance's current colour range (parameters 13 and 14):
 * always with a fixed range, and for the newest frame of a still scene.
 *
 * Palettes. hue is the library's own 360-colour scale (black below the range,
 * white above it). Every other palette is a table of control points,
 * interpolated linearly (rounded to nearest) to 256 entries:
 *   ironbow    0 (0,0,0)  48 (32,0,140)  96 (150,0,150)  160 (235,95,0)
 *              208 (255,200,0)  255 (255,255,255)
 *   rainbow    0 (0,0,255)  64 (0,255,255)  128 (0,255,0)  192 (255,255,0)
 *              255 (255,0,0)
 *   rainbow-hc 0 (0,0,0)  36 (0,0,255)  73 (0,255,255)  109 (0,255,0)
 *              146 (255,255,0)  182 (255,0,0)  219 (255,0,255)  255 (255,255,255)
 *   white-hot  0 (0,0,0)  255 (255,255,255)
 *   black-hot  0 (255,255,255)  255 (0,0,0)
 *   arctic     0 (8,8,48)  96 (16,80,200)  176 (96,220,255)  224 (240,200,64)
 *              255 (255,255,208)
 *   lava       0 (0,0,0)  80 (120,0,0)  160 (230,60,0)  216 (255,170,0)
 *              255 (255,255,160)
 *   grey       0 (32,32,32)  255 (224,224,224)   (a softer white-hot)
 * and custom: 256 R, G, B triplets given with the options.
 *
 * Contrast. range: the instance's colour range (parameters 13 and 14, which
 * the library's auto range moves), values at or below low take the first
 * palette entry (hue: black), at or above high the last (hue: white).
 * linear: the range from the frame's histogram, tailPercent of the pixels
 * clipped at each end. plateau: histogram equalisation whose bins (one per
 * raw value) count at most plateauLimit pixels, so that a large uniform
 * background does not take the whole scale. Both work on a histogram and a
 * lookup per raw value. damping (0 to 1) blends each new mapping with the
 * previous one the instance made (per instance, linear and plateau), so that
 * the mapping follows a changing scene without flicker.
 *
 * Errors: an unknown handle gives 0 and records nothing. A frame id that no
 * slot holds, a region not wholly inside the frame, an empty or degenerate
 * region, a polygon of more than KALVEX_ROI_MAX_VERTICES vertices, an unknown
 * palette, contrast or statistic, a threshold or option that is not a
 * number or out of its range: 0 and event code 5 (KALVEX_EV_INVALID_ARGUMENT),
 * nothing changed. A buffer too small: 0 and code 6.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_MEASURE_H
#define KALVEX_MEASURE_H

#include <stdint.h>

#include "kalvex.h"
#include "kalvex_scene.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Posted to the notification window when an alarm rises or clears, only
 * while alarms are defined: wParam the alarm's id, lParam 1 raised, 0
 * cleared. The same events wait for KalvexMeasure_PollAlarm. */
#define KALVEX_WM_ALARM 0x8004

/* ---- Palettes ------------------------------------------------------------ */
#define KALVEX_PALETTE_HUE 0
#define KALVEX_PALETTE_IRONBOW 1
#define KALVEX_PALETTE_RAINBOW 2
#define KALVEX_PALETTE_RAINBOW_HC 3
#define KALVEX_PALETTE_WHITE_HOT 4
#define KALVEX_PALETTE_BLACK_HOT 5
#define KALVEX_PALETTE_ARCTIC 6
#define KALVEX_PALETTE_LAVA 7
#define KALVEX_PALETTE_GREY 8
#define KALVEX_PALETTE_COUNT 9 /* named palettes: ids 0 to 8 */
#define KALVEX_PALETTE_CUSTOM 100
#define KALVEX_PALETTE_ENTRIES 256
#define KALVEX_HUE_ENTRIES 360

/* The name of a named palette ("hue", "ironbow", ...); null for other ids. */
KALVEX_API const char *KALVEX_CALL KalvexMeasure_PaletteName(int32_t palette);
/* The id of a palette name; -1 for an unknown name or null. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PaletteId(const char *name);
/* The entries of a named palette as R, G, B triplets, coldest first (360 for
 * hue, 256 for the others): the number of entries written, or 0 for an
 * unknown palette, a null buffer or one of fewer than 3 * entries bytes. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PaletteColors(int32_t palette, uint8_t *rgb,
                                                           int32_t size);

/* ---- Colour -------------------------------------------------------------- */
#define KALVEX_AGC_RANGE 0
#define KALVEX_AGC_LINEAR 1
#define KALVEX_AGC_PLATEAU 2

#define KALVEX_ISOTHERM_ABOVE 1   /* t >= t1 */
#define KALVEX_ISOTHERM_BELOW 2   /* t <= t1 */
#define KALVEX_ISOTHERM_BETWEEN 3 /* t1 <= t <= t2 */
#define KALVEX_MAX_ISOTHERMS 4

typedef struct KalvexIsotherm {
    int32_t mode;   /* KALVEX_ISOTHERM_* */
    float t1, t2;   /* deg C */
    uint32_t color; /* 0x00RRGGBB, drawn over the palette */
} KalvexIsotherm;

typedef struct KalvexColorOptions {
    int32_t palette;       /* KALVEX_PALETTE_*; default hue */
    const uint8_t *custom; /* KALVEX_PALETTE_CUSTOM: 256 R, G, B triplets */
    int32_t agc;           /* KALVEX_AGC_*; default range */
    float tailPercent;     /* linear: 0 <= p < 50, default 1 */
    float plateauLimit;    /* plateau: >= 1 pixels per bin, default 150 */
    float damping;         /* 0 <= d < 1, default 0 */
    int32_t rgb;           /* nonzero: R, G, B bytes; 0 (default): B, G, R */
    int32_t isothermCount; /* 0 to KALVEX_MAX_ISOTHERMS; the later wins */
    KalvexIsotherm isotherms[KALVEX_MAX_ISOTHERMS];
} KalvexColorOptions;

/* The palette as the contrast mapped it: 256 steps from the raw value at the
 * cold end to the one at the hot end, evenly spaced in raw units, and the
 * temperatures of those two raw values (-999.0 when they have none). */
typedef struct KalvexColorBar {
    float low, high;
    uint8_t rgb[3 * KALVEX_PALETTE_ENTRIES]; /* R, G, B, coldest first */
} KalvexColorBar;

/* The defaults listed above; null is ignored. */
KALVEX_API void KALVEX_CALL KalvexMeasure_DefaultColorOptions(KalvexColorOptions *options);
/* Colours the frame with this id into buffer (size >= 640 * 480 * 3 bytes).
 * options null: the defaults; bar may be null. 1, or 0. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Colorize(int32_t handle, uint32_t frameId,
                                                      const KalvexColorOptions *options,
                                                      uint8_t *buffer, int32_t size,
                                                      KalvexColorBar *bar);

/* The colours of the library's own colour image of every frame taken from
 * now on, which Kalvex_GetColor, the colour save types (0 to 6) and AVI
 * recordings read: options as for KalvexMeasure_Colorize (rgb is ignored:
 * that image is always B, G, R; a custom palette is copied; damping starts
 * anew), or null for the library's own map (hue over the colour range),
 * which every instance starts with. The colour range (parameters 13 and 14)
 * moves with the scene as before either way. 1, or 0 with code 5 for
 * options out of range (nothing changed). */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_SetOutputColor(int32_t handle,
                                                            const KalvexColorOptions *options);

/* ---- Regions and statistics ------------------------------------------------ */
#define KALVEX_ROI_SPOT 1 /* v: x, y, r: the pixels within r of (x, y) */
#define KALVEX_ROI_BOX 2  /* v: x, y, w, h (w, h >= 1) */
#define KALVEX_ROI_ELLIPSE         \
    3 /* v: cx, cy, rx, ry (>= 1): \
         (x-cx)^2 ry^2 + (y-cy)^2 rx^2 <= rx^2 ry^2 */
#define KALVEX_ROI_LINE                                    \
    4 /* v: x0, y0, x1, y1: the pixels of the line between \
         them, in order (Bresenham), ends included */
#define KALVEX_ROI_POLYGON                                 \
    5 /* v: count pairs x, y: pixels inside the polygon or \
         on its edges (even-odd rule, pixel centres) */
#define KALVEX_ROI_MAX_VERTICES 64

/* Bits of KalvexRoi.flags. */
#define KALVEX_ROI_EMISSIVITY 0x1u /* use emissivity instead of the scene's */
#define KALVEX_ROI_REFLECTED 0x2u  /* use reflected instead of the scene's */

typedef struct KalvexRoi {
    int32_t kind;  /* KALVEX_ROI_* */
    int32_t count; /* polygon: vertices, 3 to KALVEX_ROI_MAX_VERTICES */
    int32_t v[2 * KALVEX_ROI_MAX_VERTICES];
    uint32_t flags;
    float emissivity; /* 0 < e <= 1 */
    float reflected;  /* deg C, -60 to 2100 */
} KalvexRoi;

typedef struct KalvexStats {
    float min, max, mean, std;  /* deg C; std of the population; -999.0 when count is 0 */
    int32_t count;              /* pixels with a temperature */
    int32_t missing;            /* pixels without one (-999.0), left out */
    int32_t hottestX, hottestY; /* first in reading order; -1 when count is 0 */
    int32_t coldestX, coldestY;
} KalvexStats;

#define KALVEX_STAT_MIN 1
#define KALVEX_STAT_MAX 2
#define KALVEX_STAT_MEAN 3
#define KALVEX_STAT_STD 4

/* Statistics of count regions of one frame. 1, or 0 (nothing written). */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Stats(int32_t handle, uint32_t frameId,
                                                   const KalvexRoi *rois, int32_t count,
                                                   KalvexStats *stats);
/* The temperatures along a line region, in order: the number of pixels (up to
 * capacity are written), or 0. values may be null to ask for the number. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Profile(int32_t handle, uint32_t frameId,
                                                     const KalvexRoi *line, float *values,
                                                     int32_t capacity);
/* The same two over a temperature array of width * height floats, top line
 * first (a frame of a sequence, say). A region with an emissivity of its own
 * then takes the array as black-body temperatures and compensates them with
 * scene (null: the default scene) at its emissivity and reflected
 * temperature. 1 or the number of pixels, or 0. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_StatsOf(const float *temperatures, int32_t width,
                                                     int32_t height, const KalvexScene *scene,
                                                     const KalvexRoi *rois, int32_t count,
                                                     KalvexStats *stats);
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_ProfileOf(const float *temperatures, int32_t width,
                                                       int32_t height, const KalvexRoi *line,
                                                       float *values, int32_t capacity);
/* a's statistic minus b's; NaN when either has no temperature or for an
 * unknown statistic. */
KALVEX_API float KALVEX_CALL KalvexMeasure_Difference(const KalvexStats *a, const KalvexStats *b,
                                                      int32_t statistic);

/* ---- Alarms -------------------------------------------------------------- */
#define KALVEX_MAX_ALARMS 32

typedef struct KalvexAlarm {
    int32_t statistic; /* KALVEX_STAT_* of the region */
    int32_t above;     /* nonzero: raised above threshold; 0: below it */
    float threshold;   /* deg C */
    float hysteresis;  /* >= 0: cleared once back past threshold -/+ hysteresis */
    uint32_t dwellMs;  /* the condition must hold this long before it rises */
} KalvexAlarm;

typedef struct KalvexAlarmEvent {
    int32_t alarm;    /* the id KalvexMeasure_AddAlarm gave */
    int32_t active;   /* 1 raised, 0 cleared */
    float value;      /* the statistic in the frame that raised or cleared it */
    uint32_t frameId; /* that frame */
    uint32_t timeMs;  /* the library's millisecond clock at that frame */
    uint32_t sinceMs; /* when the condition began to hold (raised events) */
} KalvexAlarmEvent;

/* Watches a statistic of a region in every frame the capture publishes. The
 * alarm's id (1 or more), or 0: code 5 for a bad region or alarm, code 6
 * beyond KALVEX_MAX_ALARMS. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_AddAlarm(int32_t handle, const KalvexRoi *roi,
                                                      const KalvexAlarm *alarm);
/* Removes one alarm (id 0: all of them). 1, or 0 with code 5 for an unknown id. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_RemoveAlarm(int32_t handle, int32_t alarm);
/* Whether an alarm is raised now: 1 raised, 0 not (or unknown id, code 5). */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_AlarmActive(int32_t handle, int32_t alarm);
/* Takes the oldest waiting event: 1, or 0 when none waits (nothing recorded)
 * or event is null (code 5). At most 256 events wait; older ones are dropped. */
KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PollAlarm(int32_t handle, KalvexAlarmEvent *event);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_MEASURE_H */
