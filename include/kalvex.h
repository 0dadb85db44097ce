/*
 * Kalvex SDK: the public interface of the thermal camera library.
 *
 * Every function but Kalvex_Initialize and Kalvex_GetDllVersion takes an
 * instance handle first. A handle that the library does not hold gives the
 * result listed with each function and records nothing. Failures return 0
 * (0.0 for Kalvex_GetInternalTemperature) and record an event code (KALVEX_EV_*)
 * that Kalvex_GetLastError pops, newest first, and that is posted as
 * KALVEX_WM_EVENT to the notification window.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_H
#define KALVEX_H

#include <stddef.h>
#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
typedef HWND KalvexHwnd;
#define KALVEX_CALL __cdecl
#ifdef KALVEX_BUILDING_LIBRARY
#define KALVEX_API
#else
#define KALVEX_API __declspec(dllimport)
#endif
#else
/* On POSIX a window is a message queue owned by the library (see below). */
typedef void *KalvexHwnd;
#define KALVEX_CALL
#if defined(KALVEX_BUILDING_LIBRARY) && defined(__GNUC__)
#define KALVEX_API __attribute__((visibility("default")))
#else
#define KALVEX_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Window messages: wParam is 0. */
#define KALVEX_WM_FRAME 0x8002 /* lParam: id of the frame just finished */
#define KALVEX_WM_EVENT 0x8003 /* lParam: event code */

/* Event codes. */
#define KALVEX_EV_NO_FRAME 1          /* no frame to save */
#define KALVEX_EV_NO_CAMERA 2         /* camera not available */
#define KALVEX_EV_ACQUISITION 3       /* frame acquisition failed */
#define KALVEX_EV_CAPTURE_ENDED 4     /* capture ended by the camera */
#define KALVEX_EV_INVALID_ARGUMENT 5  /* invalid argument */
#define KALVEX_EV_NO_MEMORY 6         /* out of memory or buffer too small */
#define KALVEX_EV_THREAD 7            /* capture thread not started */
#define KALVEX_EV_COMMUNICATION 8     /* camera communication failed */
#define KALVEX_EV_FILE 9              /* file error */
#define KALVEX_EV_NOT_SUPPORTED 10    /* not supported */

/* Parameter ids for Kalvex_GetParam / Kalvex_SetParam; any other id is a camera register. */
#define KALVEX_PARAM_WIDTH 1
#define KALVEX_PARAM_HEIGHT 2
#define KALVEX_PARAM_FRAME_RATE 3 /* frames per second x 100 */
#define KALVEX_PARAM_RECORD_KIND 4
#define KALVEX_PARAM_PREVIEWING 5
#define KALVEX_PARAM_PAUSE 6
#define KALVEX_PARAM_RECORDING 7
#define KALVEX_PARAM_RING_LENGTH 8
#define KALVEX_PARAM_FRAME_INTERVAL 9 /* ms */
#define KALVEX_PARAM_NUC_HOLD 10      /* ms */
#define KALVEX_PARAM_SPLIT_LIMIT 11   /* MiB */
#define KALVEX_PARAM_AUTO_RANGE 12
#define KALVEX_PARAM_RANGE_LOW 13
#define KALVEX_PARAM_RANGE_HIGH 14
#define KALVEX_PARAM_AUTO_NUC 15
#define KALVEX_PARAM_RESERVED 16
#define KALVEX_PARAM_ROW_ORDER 17        /* see "Row order" below */
#define KALVEX_PARAM_OUTPUT_ROW_ORDER 18 /* see "Row order" below */

/*
 * Row order. Kalvex_GetRaw, Kalvex_GetColor and Kalvex_GetTemperature hand a
 * frame out bottom row first (the layout of a bottom-up bitmap) while
 * parameter 17 is 0, its default; with parameter 17 nonzero, top row first.
 *
 * Saved files and recordings follow parameter 18. With it at 0 (the default)
 * the top of the scene comes first, as a viewer shows it, in:
 *   BMP (0; stored bottom-up, as BMP readers expect), JPEG (2-4), colour PNG
 *   (5) and colour TIFF (6); raw 16-bit bytes (7); temperature bytes and int32
 *   (10-12); raw and temperature recordings; AVI recordings (stored bottom-up,
 *   as AVI readers expect);
 * and the bottom of the scene comes first in:
 *   raw BGR bytes (1), 16-bit PNG (8) and 16-bit TIFF (9), float32
 *   temperatures (13).
 * Parameter 18 nonzero reverses every one of them. Pixels that the
 * temperature table does not cover read -999.0 in temperatures.
 */

/* Save types for Kalvex_SaveW / Kalvex_SaveA. */
#define KALVEX_SAVE_BMP 0         /* colour image, BMP */
#define KALVEX_SAVE_COLOR_RAW 1   /* colour image, raw pixel bytes */
#define KALVEX_SAVE_JPEG_100 2    /* colour image, JPEG quality 100 */
#define KALVEX_SAVE_JPEG_70 3     /* colour image, JPEG quality 70 */
#define KALVEX_SAVE_JPEG_20 4     /* colour image, JPEG quality 20 */
#define KALVEX_SAVE_COLOR_PNG 5   /* colour image, PNG */
#define KALVEX_SAVE_COLOR_TIFF 6  /* colour image, TIFF */
#define KALVEX_SAVE_RAW_BYTES 7   /* raw image, raw pixel bytes */
#define KALVEX_SAVE_RAW_PNG 8     /* raw image, 16-bit PNG */
#define KALVEX_SAVE_RAW_TIFF 9    /* raw image, 16-bit TIFF */
#define KALVEX_SAVE_TEMP_S8 10    /* temperatures, one signed byte per pixel */
#define KALVEX_SAVE_TEMP_U8 11    /* temperatures, one unsigned byte per pixel */
#define KALVEX_SAVE_TEMP_I32 12   /* temperatures, one little-endian int32 per pixel */
#define KALVEX_SAVE_TEMP_F32 13   /* temperatures, one little-endian float32 per pixel */

/* Recording kinds for Kalvex_RecW / Kalvex_RecA. */
#define KALVEX_REC_NONE 0
#define KALVEX_REC_RAW 1
#define KALVEX_REC_AVI 2
#define KALVEX_REC_TEMPERATURE 3

#define KALVEX_DLL_VERSION 2032717

/* Creates an instance; hwnd (may be null) receives the messages. Returns the
 * handle, also when initialisation recorded a code (6 or 8); 0 on failure. */
KALVEX_API int KALVEX_CALL Kalvex_Initialize(KalvexHwnd hwnd);
/* Stops capture, destroys the instance. 1, or 0 for an unknown handle. Like
 * Kalvex_Close it cancels what a silent camera holds and ends a single frame
 * waiting on another thread. Calls on one handle may come from any threads. */
KALVEX_API int KALVEX_CALL Kalvex_Release(int handle);
/* Always 2032717. */
KALVEX_API int KALVEX_CALL Kalvex_GetDllVersion(void);
/* Pops the newest event code; 0 when none is pending. */
KALVEX_API int KALVEX_CALL Kalvex_GetLastError(int handle);
/* Replaces the notification window (null turns posting off). Always 1. */
KALVEX_API int KALVEX_CALL Kalvex_SetWindowHandle(int handle, KalvexHwnd hwnd);
/* 1 when camera index (0..7) is present; its name goes to name (size >= 15
 * characters). Code 5 for a bad index or size. */
KALVEX_API int KALVEX_CALL Kalvex_IsCameraEnableW(int handle, int index, wchar_t *name, int size);
KALVEX_API int KALVEX_CALL Kalvex_IsCameraEnableA(int handle, int index, char *name, int size);
/* Selects the camera the instance drives. 1, or 0 with code 2. */
KALVEX_API int KALVEX_CALL Kalvex_SetCameraNumber(int handle, int number);
/* Not supported: records code 10 and returns 0. */
KALVEX_API int KALVEX_CALL Kalvex_SetCameraType(int handle);
/* Loads a temperature table file, then performs a NUC. 1, or 0 with code 9. */
KALVEX_API int KALVEX_CALL Kalvex_SetTableW(int handle, const wchar_t *fileName);
KALVEX_API int KALVEX_CALL Kalvex_SetTableA(int handle, const char *fileName);
/* Starts continuous capture. 1, or 0 with code 2, 6, 7 or 8. A start that gets
 * as far as launching the capture thread also records code 10, as the library
 * always has: it re-applies the reserved parameter 16, which is always
 * refused. That code 10 is not a failure; the result says whether the start
 * succeeded. */
KALVEX_API int KALVEX_CALL Kalvex_Preview(int handle);
/* Stops capture. Always 1 (code 8 when the camera does not stop). */
KALVEX_API int KALVEX_CALL Kalvex_Close(int handle);
/* Sets / clears the pause flag. Always 1. */
KALVEX_API int KALVEX_CALL Kalvex_Pause(int handle);
KALVEX_API int KALVEX_CALL Kalvex_Start(int handle);
/* Captures one frame on demand / on the trigger input. Frame id, or 0; code 3
 * when no frame came within 6 s (the trigger: 3 s) or Kalvex_Close or
 * Kalvex_Release on another thread ended the wait. */
KALVEX_API int KALVEX_CALL Kalvex_OneShot(int handle);
KALVEX_API int KALVEX_CALL Kalvex_Trigger(int handle);
/* Performs a non-uniformity correction now. Always 1. */
KALVEX_API int KALVEX_CALL Kalvex_Nuc(int handle);
/* Id of the newest frame, 0 for none. */
KALVEX_API int KALVEX_CALL Kalvex_GetNewID(int handle);
/* Copy a frame out: 640x480 BGR (921,600 bytes), raw 16-bit (614,400 bytes) or
 * float degrees Celsius (1,228,800 bytes; -999.0 where the table has no
 * temperature). Bottom row first unless parameter 17 is set (see "Row order").
 * 1, or 0 with code 5 (unknown id) or 6 (buffer too small). */
KALVEX_API int KALVEX_CALL Kalvex_GetColor(int handle, int frameId, void *buffer, int bufferSize);
KALVEX_API int KALVEX_CALL Kalvex_GetRaw(int handle, int frameId, void *buffer, int bufferSize);
KALVEX_API int KALVEX_CALL Kalvex_GetTemperature(int handle, int frameId, float *buffer,
                                                 int bufferSize);
/* Camera internal temperature in degrees Celsius; *ok (may be null) gets 1 or 0. */
KALVEX_API float KALVEX_CALL Kalvex_GetInternalTemperature(int handle, int *ok);
/* Parameters (KALVEX_PARAM_*) and, for any other id, camera registers. */
KALVEX_API int KALVEX_CALL Kalvex_GetParam(int handle, int id);
KALVEX_API int KALVEX_CALL Kalvex_SetParam(int handle, int id, int value);
/* Saves the newest frame as type (KALVEX_SAVE_*), rows as "Row order" says.
 * 1, or 0 with code 1, 5 or 9. */
KALVEX_API int KALVEX_CALL Kalvex_SaveW(int handle, const wchar_t *fileName, int type);
KALVEX_API int KALVEX_CALL Kalvex_SaveA(int handle, const char *fileName, int type);
/* Requests a recording (KALVEX_REC_*) that the capture loop carries out; each
 * frame is written with parameter 18 as it is then (see "Row order"). */
KALVEX_API int KALVEX_CALL Kalvex_RecW(int handle, const wchar_t *fileName, int kind);
KALVEX_API int KALVEX_CALL Kalvex_RecA(int handle, const char *fileName, int kind);

/* A user-space driver serving one device path. open returns a non-null device
 * cookie or null on failure; ioctl mirrors a device I/O control request: the
 * input is one 32-bit pipe number, the output buffer is length bytes; it
 * returns nonzero on success with *returned set. cancel (may be null: the
 * driver cannot cancel) is called from another thread while the device is
 * open: it makes the request pending on the device, and any the device is
 * given after it, fail soon; it returns nonzero when it could. It was added
 * last so that tables written for the first three entries keep their layout. */
typedef struct KalvexDriverOps {
    void *(KALVEX_CALL *open)(void *context, const char *path);
    int(KALVEX_CALL *ioctl)(void *context, void *device, unsigned long code, unsigned long pipe,
                            void *buffer, unsigned long length, unsigned long *returned);
    void(KALVEX_CALL *close)(void *context, void *device);
    int(KALVEX_CALL *cancel)(void *context, void *device);
} KalvexDriverOps;

#ifndef _WIN32
/*
 * POSIX platform extension: what Windows itself provides to the library there.
 */

/* A posted window message. */
typedef struct KalvexMessage {
    KalvexHwnd hwnd;
    unsigned int message;
    size_t wParam;
    long lParam;
} KalvexMessage;

/* Creates a message queue usable as a window handle (holds at most 10,000
 * messages; further posts fail). Null on failure. */
KALVEX_API KalvexHwnd KALVEX_CALL KalvexPosix_CreateWindow(void);
/* Waits up to timeoutMs (negative: forever) for the next message. 1 with *msg
 * filled, 0 on time-out, -1 for an unknown window or a null msg. */
KALVEX_API int KALVEX_CALL KalvexPosix_GetMessage(KalvexHwnd hwnd, KalvexMessage *msg,
                                                  int timeoutMs);
/* Destroys the queue; later posts to it fail quietly. 1, or 0 if unknown. */
KALVEX_API int KALVEX_CALL KalvexPosix_DestroyWindow(KalvexHwnd hwnd);

/* Receives each debug-output line (with its "\r\n"); null removes the listener.
 * Without a listener, lines are dropped. */
typedef void(KALVEX_CALL *KalvexDebugListener)(const wchar_t *line, void *context);
KALVEX_API void KALVEX_CALL KalvexPosix_SetDebugListener(KalvexDebugListener listener,
                                                         void *context);


/* Registers ops for path (the ops are copied; context must outlive every device
 * opened through it). Replaces an earlier registration of the same path.
 * 1, or 0 for a null or over-long path or null ops. */
KALVEX_API int KALVEX_CALL KalvexPosix_RegisterDriver(const char *path, const KalvexDriverOps *ops,
                                                      void *context);
/* Later opens of path fail; devices already open keep their ops until closed. */
KALVEX_API int KALVEX_CALL KalvexPosix_UnregisterDriver(const char *path);
#endif

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_H */
