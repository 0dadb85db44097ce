// The OS seam: only what differs between Windows and POSIX. Threads, locks,
// waits and steady time come from the C++ standard library everywhere else.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kalvex.h"

// libtiff's handle and open options (tiffio.h).
struct tiff;
struct TIFFOpenOptions;

namespace kalvex::platform {

// ---- Device link --------------------------------------------------------------
// A user-space driver registered by path is tried first (the simulator is one);
// on Windows an unregistered path goes to the kernel driver, on POSIX it fails.
struct DeviceLink;

DeviceLink *DeviceOpen(const char *path);
// One I/O control request: the input is the 32-bit pipe number, the output the
// caller's buffer. Returns true when the request completed; *returned receives
// the byte count.
bool DeviceIoControl(DeviceLink *link, uint32_t code, uint32_t pipe, void *buffer, uint32_t length,
                     uint32_t *returned);
void DeviceClose(DeviceLink *link);
// Makes the request pending on the link fail soon; callable from another thread
// while the link is open. False when the driver cannot cancel.
bool DeviceCancel(DeviceLink *link);

bool RegisterDriver(const char *path, const KalvexDriverOps *ops, void *context);
bool UnregisterDriver(const char *path);
// Only when the path is still served by these ops and context, so that a
// driver never removes another's later registration of the same path.
bool UnregisterDriverIfOwned(const char *path, const KalvexDriverOps *ops, void *context);

// ---- Window notification ---------------------------------------------------------
// Posts without waiting; false when the window is gone or its queue is full.
bool PostWindowMessage(KalvexHwnd window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// ---- Debug output ----------------------------------------------------------------
// Writes to the platform's debug channel, then to the listener if one is set.
void DebugOutput(const wchar_t *line);
// A listener that receives each debug line as well (the POSIX extension's
// listener, a test's tap on Windows); null removes it.
using DebugListener = void(KALVEX_CALL *)(const wchar_t *line, void *context);
void SetDebugListener(DebugListener listener, void *context);

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
// Cuts the file at the current position (drops a partly written tail).
bool FileTruncate(File *file);
// Test hook: a simulated full disk. A write that would carry a file past
// `bytes` stores only the bytes below that offset and fails, like a disk that
// filled up; overwriting below it still works. Negative removes the limit.
// Applies to FileWrite only (not to C streams).
void SetFileWriteLimitForTests(int64_t bytes);
void FileClose(File *file);

// A C stream for the encoders that write through stdio (libjpeg, libpng).
FILE *OpenCStream(const wchar_t *path, const char *mode);
// The path as the narrow form that a library taking char paths needs; empty
// when it cannot be represented.
std::string NarrowPath(const wchar_t *path);
// libtiff's open with options, from a wide path: TIFFOpenWExt on Windows (so
// that names outside the ANSI code page work), TIFFOpenExt of the UTF-8 form
// elsewhere. Null when the name cannot be represented or the open fails.
::tiff *OpenTiff(const wchar_t *path, const char *mode, ::TIFFOpenOptions *options);

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
// Frame times: nanoseconds on a monotonic clock (one clock for the whole
// process, never set back), and the wall clock as UTC nanoseconds since
// 1970-01-01. Neither follows the test offsets of TimeGetTime.
int64_t MonotonicNanoseconds();
int64_t UtcNanoseconds();

struct LocalTime {
    int hour, minute, second, millisecond;
};
LocalTime GetLocalTime();

// Test hooks: time-based rules (30-second drift checks, hold windows) are tested
// by moving the clocks instead of sleeping. The offset applies to both clocks.
void AdvanceClock(int64_t milliseconds);
void SetClockOffset(int64_t milliseconds);
int64_t ClockOffset();
// Stops both clocks where they stand (they then move only by AdvanceClock),
// or lets them run again from where they were.
void FreezeClock(bool frozen);
// Pins the local time used by log lines; null restores the real clock.
void SetLocalTimeOverride(const LocalTime *time);

// ---- Threads ---------------------------------------------------------------------
// Raises the calling thread's priority (best effort).
void RaiseThreadPriority();

// Keeps the library's code loaded while a thread that a stop may leave behind in
// the driver still runs, so that such a thread never executes code that is gone
// (a host may unload the library right after Kalvex_Release). Made by the
// starting thread before the thread exists; the thread calls Finish as its very
// last act; its owner either joins it or calls Abandon instead. On Windows it
// holds a reference on the module, and an abandoned thread drops it through
// FreeLibraryAndExitThread; elsewhere it is bookkeeping only.
class ThreadModuleHold {
  public:
    ThreadModuleHold();
    ThreadModuleHold(const ThreadModuleHold &) = delete;
    ThreadModuleHold &operator=(const ThreadModuleHold &) = delete;
    // The thread's last act (or the starter's, when the thread could not be
    // started). Does not return on Windows when the thread was abandoned.
    void Finish();
    // The owner gives up waiting for the thread: true when it is now abandoned
    // (detach it), false when it has finished meanwhile (join it).
    bool Abandon();

  private:
    void *module_;
    std::atomic<int> state_{0};  // 0 running, 1 finished, 2 abandoned
};

// ---- Pseudo-random numbers ---------------------------------------------------------
// One generator per thread with the Microsoft C runtime's constants and seed 1,
// so handles and frame ids behave alike on every platform.
int Rand();
void SeedRand(uint32_t seed);

// ---- DIB surfaces ------------------------------------------------------------------
// Whether GDI device-independent bitmaps exist on this platform; elsewhere
// every image lives in a heap block.
bool DibSurfacesAvailable();

// Opaque GDI handles: a memory device context (HDC) and any object that can be
// selected into one (HGDIOBJ; a DIB section is an HBITMAP).
struct DibDc;
struct GdiObject;

struct RgbQuad {
    uint8_t blue, green, red, reserved;
};

// CreateDIBSection (source, info, DIB_RGB_COLORS, bits, no section, offset 0).
// `info` is a 40-byte BITMAPINFOHEADER; for 8 bits or fewer the backend puts a
// zeroed 256-entry colour table behind it (the caller sets the real one).
// Null when refused, and always on POSIX.
GdiObject *DibCreateSection(DibDc *source, const void *info, void **bits);
// CreateCompatibleDC (NULL); null on failure.
DibDc *DibCreateMemoryDc();
// SelectObject: the displaced object, or null on failure.
GdiObject *DibSelectObject(DibDc *dc, GdiObject *object);
bool DibDeleteObject(GdiObject *object);
bool DibDeleteDc(DibDc *dc);
// BitBlt with SRCCOPY; 0 on failure (a null context fails).
int DibBlit(DibDc *destination, int32_t x, int32_t y, int32_t width, int32_t height, DibDc *source,
            int32_t sourceX, int32_t sourceY);
// Get/SetDIBColorTable: the number of entries read or set, 0 on failure.
uint32_t DibGetColorTable(DibDc *dc, uint32_t start, uint32_t count, RgbQuad *table);
uint32_t DibSetColorTable(DibDc *dc, uint32_t start, uint32_t count, const RgbQuad *table);
// DrawDibClose on a video-for-windows draw handle.
void DibCloseDrawHandle(void *drawDib);

// ---- Module resources -----------------------------------------------------------------
// FindResourceW / LoadResource / LockResource / SizeofResource: the resource's
// bytes, owned by the module. False when it is not found (always on POSIX).
bool LoadModuleResource(void *module, const wchar_t *name, const wchar_t *type,
                        const uint8_t **data, uint32_t *size);

}  // namespace kalvex::platform
