// The OS seam: only what differs between Windows and POSIX. Threads, locks,
// waits and steady time come from the C++ standard library everywhere else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "kalvex.h"

#ifdef _WIN32
// The user-space driver table that kalvex.h declares on POSIX. Windows exports
// no registration; only code linked with the core registers drivers there
// (the simulated camera in tests).
extern "C" {
typedef struct KalvexDriverOps {
    void *(KALVEX_CALL *open)(void *context, const char *path);
    int(KALVEX_CALL *ioctl)(void *context, void *device, unsigned long code, unsigned long pipe,
                            void *buffer, unsigned long length, unsigned long *returned);
    void(KALVEX_CALL *close)(void *context, void *device);
} KalvexDriverOps;
}
#endif

namespace kalvex::platform {

// ---- Device link --------------------------------------------------------------
// A user-space driver registered by path is tried first (the simulator is one);
// on Windows an unregistered path goes to the kernel driver, on POSIX it fails.
struct DeviceLink;

DeviceLink *DeviceOpen(const char *path);
// One I/O control request: the input is the 32-bit pipe number, the output the
// caller's buffer. Returns true when the request completed; *returned receives
// the byte count.
bool DeviceIoControl(DeviceLink *link, uint32_t code, uint32_t pipe, void *buffer,
                     uint32_t length, uint32_t *returned);
void DeviceClose(DeviceLink *link);

bool RegisterDriver(const char *path, const KalvexDriverOps *ops, void *context);
bool UnregisterDriver(const char *path);

// ---- Window notification ---------------------------------------------------------
// Posts without waiting; false when the window is gone or its queue is full.
bool PostWindowMessage(KalvexHwnd window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// ---- Debug output ----------------------------------------------------------------
void DebugOutput(const wchar_t *line);

// ---- Files from wide paths ---------------------------------------------------------
struct File;

File *FileOpenRead(const wchar_t *path);
// Truncates an existing file, else creates a new one.
File *FileOpenWrite(const wchar_t *path);
// Reads up to length bytes; false on an I/O error.
bool FileRead(File *file, void *buffer, uint32_t length, uint32_t *got);
// Writes length bytes; false unless all of them were written.
bool FileWrite(File *file, const void *buffer, uint32_t length, uint32_t *written);
bool FileSeek(File *file, int64_t offset);  // from the start
bool FileSeekEnd(File *file);
int64_t FileSize(File *file);  // -1 on failure
void FileClose(File *file);

// A C stream for the encoders that write through stdio (libjpeg, libpng).
FILE *OpenCStream(const wchar_t *path, const char *mode);
// The path as the narrow form that a library taking char paths needs (libtiff);
// empty when it cannot be represented.
std::string NarrowPath(const wchar_t *path);

// ---- Text ------------------------------------------------------------------------
// ANSI code page on Windows, UTF-8 on POSIX. Both convert a NUL-terminated
// source including its terminator into at most capacity units and return the
// units written (with the terminator), or 0 on failure (capacity too small,
// null arguments, non-positive capacity).
int NarrowToWide(const char *text, wchar_t *out, int capacity);
int WideToNarrow(const wchar_t *text, char *out, int capacity);

// ---- Clocks ----------------------------------------------------------------------
// Milliseconds that wrap at 2^32, like timeGetTime and GetTickCount.
uint32_t TimeGetTime();
uint32_t TickCount();

struct LocalTime {
    int hour, minute, second, millisecond;
};
LocalTime GetLocalTime();

// Test hooks: time-based rules (30-second drift checks, hold windows) are tested
// by moving the clocks instead of sleeping. The offset applies to both clocks.
void AdvanceClock(int64_t milliseconds);
void SetClockOffset(int64_t milliseconds);
int64_t ClockOffset();
// Pins the local time used by log lines; null restores the real clock.
void SetLocalTimeOverride(const LocalTime *time);

// ---- Threads ---------------------------------------------------------------------
// Raises the calling thread's priority (best effort).
void RaiseThreadPriority();

// ---- Pseudo-random numbers ---------------------------------------------------------
// One generator per thread with the Microsoft C runtime's constants and seed 1,
// so handles and frame ids behave alike on every platform.
int Rand();
void SeedRand(uint32_t seed);

// ---- DIB surfaces ------------------------------------------------------------------
// Whether GDI device-independent bitmaps exist on this platform; elsewhere
// every image lives in a heap block.
bool DibSurfacesAvailable();

}  // namespace kalvex::platform
