// The link to the camera's driver: device handles, the raw I/O control request
// and the two pipe transfer wrappers, plus the layout of the 64-byte command
// blocks that travel over it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "device/protocol.h"
#include "platform/platform.h"

namespace kalvex {

using DeviceHandle = platform::DeviceLink *;

// Transfer wrapper results.
inline constexpr int kTransferOk = 0;
inline constexpr int kTransferNoHandle = 10;
inline constexpr int kTransferFailed = 12;

// A zeroed block with the opcode and the given bytes after it.
CommandBlock MakeCommand(uint8_t opcode, std::initializer_list<uint8_t> bytes = {});

// Opens a device path for writing; null when the path does not open.
DeviceHandle OpenDeviceHandle(const char *path);
// Closes a non-null handle and clears it; a null handle (or null pointer) is left alone.
void CloseDeviceHandle(DeviceHandle *handle);

// The device links open now on behalf of one owner (a device object or one
// transfer run), each with the thread that opened it, so that whoever stops the
// owner can cancel the request pending on them.
class OpenLinks {
  public:
    void Add(DeviceHandle link);
    void Remove(DeviceHandle link);
    // Cancels the pending request of every listed link opened by thread (any
    // thread when it is the default id). False when a driver could not cancel.
    bool Cancel(std::thread::id thread = {});

  private:
    std::mutex lock_;
    std::vector<std::pair<DeviceHandle, std::thread::id>> links_;
};

// A device link open for one scope and listed while it is open. A link is
// delisted before it closes, so a cancel never reaches a closed link.
class ScopedLink {
  public:
    ScopedLink(OpenLinks &links, const char *path);
    ~ScopedLink();
    ScopedLink(const ScopedLink &) = delete;
    ScopedLink &operator=(const ScopedLink &) = delete;
    DeviceHandle get() const { return handle_; }
    // Delists and closes the link now.
    void Close();

  private:
    OpenLinks &links_;
    DeviceHandle handle_;
};

// One I/O control request whose input is the 32-bit pipe number and whose output
// is the caller's buffer. 0 when the driver completed it, -1 when it failed, -2
// for a null buffer, -3 for a null handle. *returned (if not null) receives the
// byte count, 0 unless the request completed.
int RawDeviceRequest(DeviceHandle handle, uint32_t code, uint32_t pipe, void *buffer,
                     uint32_t length, uint32_t *returned);

// Both wrappers: 0 when the request completed with exactly length bytes, 10 for a
// null handle, 12 for a failed or short request. *returned (if not null) receives
// the byte count. OutDirect uses kIoctlOutDirect; InDirect uses kIoctlInDirect unless
// another code is given (kIoctlLargeInDirect for large frame transfers).
int PipeTransferOutDirect(DeviceHandle handle, uint32_t pipe, uint32_t length, void *buffer,
                          uint32_t *returned = nullptr);
int PipeTransferInDirect(DeviceHandle handle, uint32_t pipe, uint32_t length, void *buffer,
                         uint32_t *returned = nullptr, uint32_t code = kIoctlInDirect);

}  // namespace kalvex
