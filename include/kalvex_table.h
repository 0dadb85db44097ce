/*
 * Kalvex SDK: checking a temperature table file before loading it.
 *
 * Kalvex_SetTableW/A only say whether a table was loaded. These calls run the
 * same reading and parsing as the library's loader without touching any
 * instance, and say why a file would be refused ("point count 1953460082 is
 * outside 1-16384"), so that every program built on the library gives the
 * same reason. A file they accept is one the loader accepts, and the reverse.
 *
 * Each returns 1 when the table would be loaded, else 0. reason (may be null)
 * receives a NUL-terminated UTF-8 text, cut to reasonSize bytes: empty on
 * success, else why the table is refused. info (may be null) receives what the
 * file holds when it is accepted, and is zeroed otherwise.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_TABLE_H
#define KALVEX_TABLE_H

#include "kalvex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KalvexTableInfo {
    int layout;         /* 0 headerless, 1-4 the header's version */
    int tables;         /* version 2: tables in the file (table 0 is the one loaded); else 1 */
    int fileSize;       /* bytes */
    int points;         /* calibration points of the loaded table */
    int missing;        /* points without a temperature (-999.0) */
    int ascending;      /* 1 when no point's raw value is below the one before it */
    int rawMin, rawMax; /* of all points */
    int hasTemperature; /* 0 when every point is -999.0 */
    float celsiusMin, celsiusMax; /* of the points with a temperature */
    /* Version 4 only (else 0): the header's two reserved fields, the internal
       temperature of the calibration and the drift model. */
    int reservedA, reservedB;
    float calibration, slope, intercept;
} KalvexTableInfo;

KALVEX_API int KALVEX_CALL KalvexTable_CheckW(const wchar_t *path, KalvexTableInfo *info,
                                              char *reason, int reasonSize);
KALVEX_API int KALVEX_CALL KalvexTable_CheckA(const char *path, KalvexTableInfo *info,
                                              char *reason, int reasonSize);
/* The same for a table already in memory (size bytes at data). */
KALVEX_API int KALVEX_CALL KalvexTable_CheckBytes(const void *data, int size,
                                                  KalvexTableInfo *info, char *reason,
                                                  int reasonSize);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_TABLE_H */
