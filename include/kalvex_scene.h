/*
 * Kalvex SDK: scene compensation. A calibration table gives the temperature of
 * a black body; these functions turn it into the temperature of a real object
 * from its emissivity, the temperature of what it reflects and the path
 * (atmosphere, window) between it and the camera.
 *
 * The model works on W(T), the in-band radiance of a black body at T over the
 * camera's band (bandLow to bandHigh micrometres):
 *
 *     W(T_bb) = tau * (e * W(T_obj) + (1 - e) * W(T_refl)) + (1 - tau) * W(T_atm)
 *
 * solved for T_obj. W is tabulated from -60 to 2100 degrees C in 1 K steps
 * (from the series expansion of Planck's integral) and interpolated linearly
 * in ln W; results stay within 0.003 K of the exact model for e >= 0.5. A
 * pixel whose object radiance is not positive or lies outside the table reads
 * -999.0, like a raw value outside the calibration table.
 *
 * With the default scene (emissivity 1, transmission 1, no map) every result
 * of the library is exactly what it is without scene compensation. Once an
 * instance has another scene, Kalvex_GetTemperature, the temperature save
 * types (10-13) and temperature recordings give object temperatures. A
 * uniform scene is folded into the instance's raw-to-temperature lookup and
 * costs nothing per pixel; it follows every rebuild of that lookup (drift,
 * NUC, new table).
 *
 * Errors: an unknown handle gives 0 and records nothing. A bad argument (a
 * null pointer where none is allowed, NaN, bandLow >= bandHigh or a band
 * outside 0.5 to 100 micrometres, humidity outside 0..1, a negative distance,
 * reflected or atmosphere temperatures outside -60 to 2100 degrees C, a wrong
 * count) gives 0 and records event code 5 (KALVEX_EV_INVALID_ARGUMENT) on the
 * instance when there is one.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_SCENE_H
#define KALVEX_SCENE_H

#include <stdint.h>

#include "kalvex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KalvexScene {
    float emissivity;   /* object emissivity, used clamped to [0.01, 1]; default 1 */
    float reflected;    /* reflected apparent temperature, deg C; default 22 */
    float transmission; /* path transmission, used clamped to [0.01, 1]; default 1;
                           ignored when distance > 0 */
    float atmosphere;   /* temperature of the path (air / window), deg C; default 22 */
    float distance;     /* metres; > 0: transmission computed from distance, humidity
                           and atmosphere (= air temperature) with the two-band
                           atmospheric model below; default 0 */
    float humidity;     /* relative humidity as a fraction 0..1 (used when
                           distance > 0); default 0.5 */
    float bandLow;      /* band limits in micrometres; defaults 8 and 14 */
    float bandHigh;
} KalvexScene;

/* The two-band atmospheric model: water vapour
 *     H2O = humidity * exp(1.5587 + 0.06939 t - 0.00027816 t^2 + 0.00000068455 t^3)
 * (t the air temperature in deg C), then
 *     tau = X exp(-sqrt(d) (a1 + b1 sqrt(H2O))) + (1 - X) exp(-sqrt(d) (a2 + b2 sqrt(H2O)))
 * clamped to [0.01, 1]. These constants describe a typical uncooled LWIR
 * (8-14 micrometre) camera; for another camera, measure tau and set it. */
#define KALVEX_SCENE_ATM_X 1.9
#define KALVEX_SCENE_ATM_ALPHA1 0.006569
#define KALVEX_SCENE_ATM_ALPHA2 0.01262
#define KALVEX_SCENE_ATM_BETA1 (-0.002276)
#define KALVEX_SCENE_ATM_BETA2 (-0.00667)

/* The width and height of an emissivity map. */
#define KALVEX_SCENE_MAP_WIDTH 640
#define KALVEX_SCENE_MAP_HEIGHT 480

/* Fills the defaults; null is ignored. */
KALVEX_API void KALVEX_CALL KalvexScene_Default(KalvexScene *scene);
/* Sets the instance's scene; a null scene is the default. 1, or 0. Safe while
 * the instance captures: readers see the old scene or the new one. */
KALVEX_API int32_t KALVEX_CALL KalvexScene_Set(int32_t handle, const KalvexScene *scene);
/* The scene as last set (not clamped). 1, or 0. */
KALVEX_API int32_t KALVEX_CALL KalvexScene_Get(int32_t handle, KalvexScene *scene);
/* A per-pixel emissivity map: 640 * 480 floats, rows in the order
 * Kalvex_GetTemperature hands them out when the map is set (parameter 17);
 * the map stays with the sensor's pixels if that order changes later. Each
 * value is clamped like the scene's emissivity and replaces it; the rest of
 * the scene applies as set. Null clears the map (count is then ignored);
 * otherwise count must be 640 * 480. Maps of up to 64 distinct emissivities
 * (regions of materials) are converted through one lookup per emissivity;
 * maps with more cost a full computation per pixel. 1, or 0. */
KALVEX_API int32_t KALVEX_CALL KalvexScene_SetEmissivityMap(int32_t handle, const float *map,
                                                            int32_t count);
/* Pure: compensates count black-body temperatures (deg C) with scene.
 * emissivity may be null (the scene's is used) or point at count per-pixel
 * emissivities; in may equal out; -999.0 in stays -999.0. count 0 does
 * nothing and succeeds. 1, or 0 (nothing written). */
KALVEX_API int32_t KALVEX_CALL KalvexScene_Compensate(const KalvexScene *scene,
                                                      const float *emissivity, const float *in,
                                                      float *out, int32_t count);
/* The effective transmission of a scene (given, or from distance, humidity
 * and air temperature), clamped; negative when the scene is invalid. */
KALVEX_API float KALVEX_CALL KalvexScene_Transmission(const KalvexScene *scene);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_SCENE_H */
