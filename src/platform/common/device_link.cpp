// Device paths: registered user-space drivers first, then the backend's own.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {

struct Driver {
    KalvexDriverOps ops;
    void *context;
};

std::mutex &DriverLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, Driver> &Drivers() {
    static std::map<std::string, Driver> drivers;
    return drivers;
}

constexpr size_t kMaxPathLength = 1024;

}  // namespace

struct DeviceLink {
    // A user-space device keeps a copy of its driver's ops, so that an
    // unregistration while it is open does not pull them from under it.
    bool userSpace = false;
    Driver driver{};
    void *device = nullptr;
};

bool RegisterDriver(const char *path, const KalvexDriverOps *ops, void *context) {
    if (path == nullptr || ops == nullptr || ops->open == nullptr || ops->ioctl == nullptr)
        return false;
    if (strnlen(path, kMaxPathLength) >= kMaxPathLength) return false;
    std::lock_guard guard(DriverLock());
    Drivers()[path] = Driver{*ops, context};
    return true;
}

bool UnregisterDriver(const char *path) {
    if (path == nullptr) return false;
    std::lock_guard guard(DriverLock());
    return Drivers().erase(path) == 1;
}

bool UnregisterDriverIfOwned(const char *path, const KalvexDriverOps *ops, void *context) {
    if (path == nullptr || ops == nullptr) return false;
    std::lock_guard guard(DriverLock());
    auto it = Drivers().find(path);
    if (it == Drivers().end() || it->second.context != context ||
        it->second.ops.open != ops->open || it->second.ops.ioctl != ops->ioctl)
        return false;
    Drivers().erase(it);
    return true;
}

DeviceLink *DeviceOpen(const char *path) {
    if (path == nullptr) return nullptr;
    Driver driver{};
    bool found = false;
    {
        std::lock_guard guard(DriverLock());
        auto it = Drivers().find(path);
        if (it != Drivers().end()) {
            driver = it->second;
            found = true;
        }
    }
    auto link = std::make_unique<DeviceLink>();
    if (found) {
        link->userSpace = true;
        link->driver = driver;
        link->device = driver.ops.open(driver.context, path);
    } else {
        link->device = backend::NativeDeviceOpen(path);
    }
    if (link->device == nullptr) return nullptr;
    return link.release();
}

bool DeviceIoControl(DeviceLink *link, uint32_t code, uint32_t pipe, void *buffer, uint32_t length,
                     uint32_t *returned) {
    uint32_t count = 0;
    bool ok = false;
    if (link != nullptr) {
        if (link->userSpace) {
            unsigned long got = 0;
            ok = link->driver.ops.ioctl(link->driver.context, link->device, code, pipe, buffer,
                                        length, &got) != 0;
            count = static_cast<uint32_t>(got);
        } else {
            ok = backend::NativeDeviceIoControl(link->device, code, pipe, buffer, length, &count);
        }
    }
    if (returned != nullptr) *returned = ok ? count : 0;
    return ok;
}

bool DeviceCancel(DeviceLink *link) {
    if (link == nullptr) return false;
    if (link->userSpace) {
        return link->driver.ops.cancel != nullptr &&
               link->driver.ops.cancel(link->driver.context, link->device) != 0;
    }
    return backend::NativeDeviceCancel(link->device);
}

void DeviceClose(DeviceLink *link) {
    if (link == nullptr) return;
    if (link->userSpace) {
        if (link->driver.ops.close != nullptr)
            link->driver.ops.close(link->driver.context, link->device);
    } else {
        backend::NativeDeviceClose(link->device);
    }
    delete link;
}

}  // namespace kalvex::platform
