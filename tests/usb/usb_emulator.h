// An emulated USB bus (umockdev) whose camera devices answer their usbdevfs
// requests with the simulated camera's protocol engine, so the library's USB
// driver runs unmodified from the exports down to the URBs. Create the bus
// before the first KalvexUsb_ call: libusb finds the emulated tree when it starts.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace kalvex::usbtest {

// Endpoint addresses as the device lists them in its interface descriptor.
using Endpoints = std::array<uint8_t, 3>;
constexpr Endpoints kDefaultEndpoints = {0x01, 0x81, 0x82};

class EmulatedBus {
  public:
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus &) = delete;
    EmulatedBus &operator=(const EmulatedBus &) = delete;

    // Plugs a device (vid:pid) served by simulated camera simCamera (attached,
    // not plugged, so its device path stays the USB driver's): wiring holds
    // the endpoints of its commands, replies and frames, and its interface
    // descriptor lists them in the order of `listed` (wiring's when empty).
    // Returns its id (its address on bus 1), or -1.
    int Plug(int simCamera, uint16_t vendor, uint16_t product,
             const Endpoints &wiring = kDefaultEndpoints, const Endpoints &listed = {});
    // Unplugs it: its URBs in flight and every later request fail with ENODEV.
    void Unplug(int device);
    // Removes every device (between tests).
    void Clear();
    // The device node as libusb names it, and the emulated node's file.
    std::string Node(int device) const;
    std::string NodeFile(int device) const;
    // URBs submitted on the device, per endpoint pipe (0 commands, 1 replies, 2 frames).
    long Submitted(int device, int pipe) const;
    // Requests (ioctls) the device has answered, of every kind.
    long Requests(int device) const;

    struct State;  // also seen by umockdev's ioctl callback

  private:
    std::unique_ptr<State> state_;
};

// Drops the capability to override file permissions while it lives (a root
// test process would open any node), so a node without access rights
// refuses the open as it would for a user.
class WithoutPermissionOverride {
  public:
    WithoutPermissionOverride();
    ~WithoutPermissionOverride();
    WithoutPermissionOverride(const WithoutPermissionOverride &) = delete;
    WithoutPermissionOverride &operator=(const WithoutPermissionOverride &) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
    uint32_t saved_[2] = {0, 0};
};

}  // namespace kalvex::usbtest
