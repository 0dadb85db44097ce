// What each backend (posix/, win32/) supplies beneath the shared parts of the seam.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kalvex::platform::backend {

// The kernel-driver path for devices that no user-space driver serves.
void *NativeDeviceOpen(const char *path);
bool NativeDeviceIoControl(void *device, uint32_t code, uint32_t pipe, void *buffer,
                           uint32_t length, uint32_t *returned);
void NativeDeviceClose(void *device);
// Cancels the I/O pending on the device from any thread; false when it cannot.
bool NativeDeviceCancel(void *device);

// A reference on the module holding this code (null where none is needed), and
// its release; exitThread: the calling thread ends with the release.
void *AcquireModuleReference();
void ReleaseModuleReference(void *module, bool exitThread);

// The platform's own debug channel (none on POSIX).
void NativeDebugOutput(const wchar_t *line);

// The clocks before any test offset.
uint32_t RawTimeGetTime();
uint32_t RawTickCount();
LocalTime RawLocalTime();

// Bytes that a write of length at file offset position may store under the
// test write limit (SetFileWriteLimitForTests): all of them when no limit is set.
uint32_t WriteAllowance(int64_t position, uint32_t length);

}  // namespace kalvex::platform::backend
