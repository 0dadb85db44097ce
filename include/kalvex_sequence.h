/*
 * Kalvex SDK: reading radiometric sequences back. A sequence (or one of its
 * numbered parts) is a multi-page TIFF that the library recorded: one page
 * per frame with its raw counts and metadata, and the calibration table file
 * it was recorded with, so its temperatures can be computed again with any
 * scene.
 *
 * Handles are positive numbers; every call taking one fails with
 * KALVEX_SEQ_E_HANDLE for a handle that is not open. Results are 1 (or a
 * count) on success and a negative KALVEX_SEQ_E_ code on failure. Frames are
 * numbered from 0; images are 640 x 480, the top of the scene in the first
 * row. A handle may be used from several threads; calls on it take turns.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_SEQUENCE_H
#define KALVEX_SEQUENCE_H

#include <stddef.h>
#include <stdint.h>

#include "kalvex.h"
#include "kalvex_frame.h"
#include "kalvex_measure.h"
#include "kalvex_scene.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KALVEX_SEQ_E_ARGUMENT (-1) /* null pointer, bad index, buffer too small */
#define KALVEX_SEQ_E_OPEN (-2)     /* the file cannot be read */
#define KALVEX_SEQ_E_NOT_TIFF (-3) /* not a TIFF file, or one without pages */
/* A page not 640 x 480 x 16 bits, one sample, or of an unknown coding. */
#define KALVEX_SEQ_E_FORMAT (-4)
#define KALVEX_SEQ_E_METADATA (-5)  /* a page without the metadata JSON, or bad JSON */
#define KALVEX_SEQ_E_TABLE (-6)     /* the table is missing, damaged or not a table */
#define KALVEX_SEQ_E_TRUNCATED (-7) /* a page's data cannot be read whole */
#define KALVEX_SEQ_E_NO_MEMORY (-8)
#define KALVEX_SEQ_E_HANDLE (-9) /* not an open sequence */
/* Temperatures asked of a sequence recorded without a table. */
#define KALVEX_SEQ_E_NO_TABLE (-10)

/* Opens and checks every page's layout and metadata; a handle, or a code. */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_OpenW(const wchar_t *path);
KALVEX_API int32_t KALVEX_CALL KalvexSeq_OpenA(const char *path); /* UTF-8 on POSIX */
/* The number of frames. */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_Count(int32_t seq);
/* 640 * 480 raw counts; bufferSize in bytes (at least 614400). */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_ReadRaw(int32_t seq, int32_t index, uint16_t *buffer,
                                                 int32_t bufferSize);
/* The frame's metadata as recorded; info->size set by the caller as for
 * KalvexFrame_GetInfo. */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetInfo(int32_t seq, int32_t index, KalvexFrameInfo *info);
/* 640 * 480 temperatures (deg C, -999.0 where the table has none) through
 * the recorded table, drift compensation as recorded, and scene (null: the
 * scene the frame was recorded with); bufferSize in bytes (at least 1228800).
 * The same table and scene give the temperatures Kalvex_GetTemperature gave. */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_ReadTemperatures(int32_t seq, int32_t index,
                                                          const KalvexScene *scene, float *buffer,
                                                          int32_t bufferSize);
/* Colours the frame as KalvexMeasure_Colorize colours a frame of the ring,
 * into buffer (size >= 640 * 480 * 3 bytes), the top of the scene in the
 * first row; options null: the defaults; bar may be null. Each frame is
 * coloured on its own: contrast range takes the range an automatic colour
 * range takes from this frame (its centre's minimum and maximum, widened by
 * 120 counts), and damping has no effect. Isotherms and the bar's ends read
 * temperatures as KalvexSeq_ReadTemperatures with scene (null: as recorded);
 * a sequence recorded without a table is coloured (the bar's ends -999.0)
 * unless isotherms are asked (KALVEX_SEQ_E_NO_TABLE). */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_Colorize(int32_t seq, int32_t index,
                                                  const KalvexScene *scene,
                                                  const KalvexColorOptions *options,
                                                  uint8_t *buffer, int32_t size,
                                                  KalvexColorBar *bar);
/* The table file's bytes: returns their count (0: recorded without a table)
 * and copies them when buffer holds that many (buffer may be null). */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetTable(int32_t seq, void *buffer, int32_t bufferSize);
/* The scene of the first frame. */
KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetScene(int32_t seq, KalvexScene *scene);
KALVEX_API int32_t KALVEX_CALL KalvexSeq_Close(int32_t seq);

/* ---- Recording ------------------------------------------------------------
 * Records the capture of an instance (a handle of Kalvex_Initialize) as a
 * sequence, beside Kalvex_RecW's kinds: the capture loop writes each frame
 * it publishes, as Kalvex_RecW's recordings are written, and splits the file
 * into parts name_1.tiff, name_2.tiff ... at the split limit (parameter 11)
 * and before 4 GiB, each part complete in itself. Kalvex_RecW (any path,
 * kind 0) ends it, as does a recording of another kind. Options: Deflate
 * with the horizontal predictor (lossless) unless KALVEX_SEQ_UNCOMPRESSED.
 * Results follow Kalvex_RecW: 1 asked for; 0 for an unknown handle (nothing
 * recorded), and 0 with event code 5 for an empty path, a path of 260 units
 * or more, or unknown options. A file that cannot be written records code 9
 * when the capture loop opens it. */
#define KALVEX_SEQ_DEFLATE 0
#define KALVEX_SEQ_UNCOMPRESSED 1
KALVEX_API int32_t KALVEX_CALL KalvexSeq_RecordW(int32_t handle, const wchar_t *path,
                                                 int32_t options);
KALVEX_API int32_t KALVEX_CALL KalvexSeq_RecordA(int32_t handle, const char *path,
                                                 int32_t options); /* UTF-8 on POSIX */

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_SEQUENCE_H */
