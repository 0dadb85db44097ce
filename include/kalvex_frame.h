/*
 * Kalvex SDK: per-frame metadata. Every frame in an instance's ring carries
 * what was known when it was taken: when its transfer ended, its place in the
 * capture run, the camera's own frame counter, the camera's internal
 * temperature, the NUC state, the raw range and the calibration table and
 * scene in effect. It is taken where the frame is taken and stays with the
 * frame's slot until the ring reuses it.
 *
 * The struct is size-versioned: set `size` to sizeof(KalvexFrameInfo) before
 * the call. A caller built against an older, shorter struct gets the fields
 * it knows; fields are only ever appended.
 *
 * Errors: an unknown handle gives 0 and records nothing. A null info, a size
 * smaller than KALVEX_FRAME_INFO_MIN_SIZE, or a frame id that no slot of the
 * ring holds (0 included) gives 0 and records event code 5
 * (KALVEX_EV_INVALID_ARGUMENT).
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_FRAME_H
#define KALVEX_FRAME_H

#include <stdint.h>

#include "kalvex.h"
#include "kalvex_scene.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How the frame was taken (KalvexFrameInfo.origin). */
#define KALVEX_FRAME_STREAM 0    /* by the capture loop (Kalvex_Preview) */
#define KALVEX_FRAME_ONESHOT 1   /* a single frame (Kalvex_OneShot) */
#define KALVEX_FRAME_TRIGGERED 2 /* a triggered frame (Kalvex_Trigger) */

/* framesSinceNuc and msSinceNuc before the instance's first NUC. */
#define KALVEX_FRAME_NO_NUC 0xFFFFFFFFu

/* Bits of KalvexFrameInfo.flags. */
#define KALVEX_FRAME_FIRST_AFTER_NUC 0x1u /* the first frame taken after a NUC */
#define KALVEX_FRAME_HAS_TABLE 0x2u       /* a calibration table was loaded */
#define KALVEX_FRAME_INTERNAL_VALID 0x4u  /* internalTemperature has been read */

typedef struct KalvexFrameInfo {
    uint32_t size;    /* set by the caller: sizeof(KalvexFrameInfo) */
    uint32_t frameId; /* the id Kalvex_GetNewID gave for this frame */
    /* 1 for the first frame of a capture run, one more for each frame the
     * capture loop took from the camera (published or not); single and
     * triggered frames are numbered on from the last number given. */
    uint32_t sequence;
    /* The camera's frame counter as the transfer thread counted frames it
     * received: a gap between two published frames is frames skipped. */
    uint32_t cameraFrame;
    /* End of the frame's transfer: a monotonic clock in nanoseconds (the
     * same clock for every frame of the process), and the same moment as
     * UTC nanoseconds since 1970-01-01. */
    int64_t timestampNs;
    int64_t utcNs;
    /* The internal temperature last read (deg C) and when (monotonic ns). */
    float internalTemperature;
    uint32_t reserved0;
    int64_t internalTemperatureNs;
    /* Frames taken from the camera before this one since the last NUC of
     * this instance (the frames of its hold included), and milliseconds
     * since it; KALVEX_FRAME_NO_NUC for both before the first. */
    uint32_t framesSinceNuc;
    uint32_t msSinceNuc;
    /* The raw (14-bit) minimum and maximum of the frame's pixels. */
    uint32_t rawMin;
    uint32_t rawMax;
    /* CRC-32 (the zlib polynomial) of the calibration table file's bytes;
     * 0 when no table is loaded. */
    uint32_t tableCrc;
    uint32_t origin; /* KALVEX_FRAME_STREAM, _ONESHOT or _TRIGGERED */
    uint32_t flags;  /* KALVEX_FRAME_FIRST_AFTER_NUC, ... */
    uint32_t reserved1;
    KalvexScene scene; /* the scene in effect when the frame was taken */
} KalvexFrameInfo;

/* The smallest size accepted: the struct up to and including `flags`. */
#define KALVEX_FRAME_INFO_MIN_SIZE 76u

/* Fills info for the frame with this id, if a slot of the ring still holds
 * it. 1, or 0 (see Errors above). */
KALVEX_API int32_t KALVEX_CALL KalvexFrame_GetInfo(int32_t handle, uint32_t frameId,
                                                   KalvexFrameInfo *info);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_FRAME_H */
