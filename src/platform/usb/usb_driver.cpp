// The camera on USB through libusb: a user-space driver registered on the
// device paths the library probes, turning each pipe request into one bulk
// transfer on the pipe's endpoint.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "kalvex_usb.h"
#include "platform/platform.h"

namespace kalvex::platform::usb {

namespace {

constexpr int kCameras = 8;
// The paths the device layer probes: its base name and the camera number.
constexpr const char *kDevicePathFormat = "\\\\.\\ZcamN7KTHM-%d";
// The driver's three request codes; which way the data goes is the pipe's.
constexpr uint32_t kCodeOutDirect = 0x0022204E;
constexpr uint32_t kCodeInDirect = 0x00222051;
constexpr uint32_t kCodeInDirectLarge = 0x002220A9;
constexpr const char *kUdevRule = "share/kalvex/60-kalvex.rules";

struct Model {
    uint16_t vendor, product;
    KalvexUsbLayout layout;
};

struct Pipes {
    int interfaceNumber = -1;
    int alternateSetting = 0;
    std::array<uint8_t, KALVEX_USB_PIPES> endpoints{};
};

// One plugged device that has a camera number.
struct Camera {
    libusb_device *device = nullptr;  // referenced while the camera lives
    std::string node;
    Pipes pipes;
    libusb_device_handle *handle = nullptr;  // open while links exist
    int links = 0;
    std::atomic<bool> gone{false};
    ~Camera() {
        if (handle != nullptr) libusb_close(handle);
        if (device != nullptr) libusb_unref_device(device);
    }
};

// One open device path.
struct Link {
    std::shared_ptr<Camera> camera;
    std::mutex lock;
    libusb_transfer *pending = nullptr;
    bool cancelled = false;
};

struct Driver {
    std::mutex lock;
    libusb_context *context = nullptr;
    bool registered = false;
    std::vector<Model> models;
    std::array<std::shared_ptr<Camera>, kCameras> cameras;
    std::mutex eventLock;
    int lastEvent = KALVEX_USB_OK;
    std::string lastText;
};

Driver &TheDriver() {
    // Never destroyed: streaming threads may outlive static teardown.
    static Driver *driver = new Driver;
    return *driver;
}

std::string Format(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Records the event and writes it as a debug line, so a host that only
// watches the debug channel sees why a camera is missing.
void Report(int event, const std::string &text) {
    Driver &d = TheDriver();
    {
        std::lock_guard guard(d.eventLock);
        d.lastEvent = event;
        d.lastText = text;
    }
    if (event == KALVEX_USB_OK) return;
    std::vector<wchar_t> wide(text.size() + 1);
    if (NarrowToWide(text.c_str(), wide.data(), static_cast<int>(wide.size())) > 0)
        LogDebug(L"%ls", wide.data());
}

bool IsBulk(const libusb_endpoint_descriptor &e) {
    return (e.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
}

bool IsIn(uint8_t address) {
    return (address & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
}

// The pipes of one alternate setting under the layout, or false when they do
// not fit: pipe 0 bulk OUT, pipes 1 and 2 bulk IN, each an endpoint of it.
bool FitPipes(const libusb_interface_descriptor &alt, const KalvexUsbLayout &layout, Pipes *pipes) {
    for (int pipe = 0; pipe < KALVEX_USB_PIPES; ++pipe) {
        const libusb_endpoint_descriptor *found = nullptr;
        if (layout.endpoints[pipe] != 0) {
            for (int e = 0; e < alt.bNumEndpoints; ++e)
                if (alt.endpoint[e].bEndpointAddress == layout.endpoints[pipe])
                    found = &alt.endpoint[e];
        } else if (pipe < alt.bNumEndpoints) {
            found = &alt.endpoint[pipe];
        }
        if (found == nullptr || !IsBulk(*found) || IsIn(found->bEndpointAddress) != (pipe != 0))
            return false;
        pipes->endpoints[static_cast<size_t>(pipe)] = found->bEndpointAddress;
    }
    pipes->interfaceNumber = alt.bInterfaceNumber;
    pipes->alternateSetting = alt.bAlternateSetting;
    return true;
}

// Where the model's pipes are on the device, from its active configuration.
bool ResolvePipes(libusb_device *device, const KalvexUsbLayout &layout, Pipes *pipes) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 || config == nullptr) {
        if (libusb_get_config_descriptor(device, 0, &config) != 0 || config == nullptr)
            return false;
    }
    bool fit = false;
    for (int i = 0; i < config->bNumInterfaces && !fit; ++i) {
        const libusb_interface &iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting && !fit; ++a) {
            const libusb_interface_descriptor &alt = iface.altsetting[a];
            if (layout.interfaceNumber >= 0 && alt.bInterfaceNumber != layout.interfaceNumber)
                continue;
            if (alt.bAlternateSetting != layout.alternateSetting) continue;
            fit = FitPipes(alt, layout, pipes);
        }
    }
    libusb_free_config_descriptor(config);
    return fit;
}

std::string NodeOf(libusb_device *device) {
    return Format("/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
}

// Bus order: bus, then the port path, then the address.
std::vector<uint8_t> BusKey(libusb_device *device) {
    std::vector<uint8_t> key{libusb_get_bus_number(device)};
    uint8_t ports[8];
    int n = libusb_get_port_numbers(device, ports, sizeof ports);
    for (int i = 0; i < n; ++i) key.push_back(ports[i]);
    key.push_back(0);  // a hub sorts before what hangs below it
    key.push_back(libusb_get_device_address(device));
    return key;
}

const Model *ModelFor(Driver &d, libusb_device *device) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) != 0) return nullptr;
    for (const Model &m : d.models)
        if (m.vendor == desc.idVendor && m.product == desc.idProduct) return &m;
    return nullptr;
}

// Brings the camera numbers up to date with the bus (lock held): devices that
// left free their number, new ones take the lowest free numbers in bus order.
void Refresh(Driver &d) {
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(d.context, &list);
    if (count < 0) return;
    std::vector<libusb_device *> present(list, list + count);
    for (auto &camera : d.cameras) {
        if (camera == nullptr) continue;
        if (camera->gone ||
            std::find(present.begin(), present.end(), camera->device) == present.end()) {
            camera->gone = true;
            camera.reset();
        }
    }
    struct Fresh {
        std::vector<uint8_t> key;
        libusb_device *device;
        Pipes pipes;
    };
    std::vector<Fresh> fresh;
    for (libusb_device *device : present) {
        bool known = std::any_of(d.cameras.begin(), d.cameras.end(),
                                 [&](const auto &c) { return c && c->device == device; });
        const Model *model = known ? nullptr : ModelFor(d, device);
        if (model == nullptr) continue;
        Pipes pipes;
        if (!ResolvePipes(device, model->layout, &pipes)) {
            Report(KALVEX_USB_BAD_LAYOUT,
                   Format("USB device %04x:%04x at %s has no interface with a bulk OUT and two "
                          "bulk IN endpoints as pipes 0 to 2; give its interface and endpoint "
                          "addresses (kalvex usb lists them)",
                          model->vendor, model->product, NodeOf(device).c_str()));
            continue;
        }
        fresh.push_back({BusKey(device), device, pipes});
    }
    std::sort(fresh.begin(), fresh.end(),
              [](const Fresh &a, const Fresh &b) { return a.key < b.key; });
    size_t next = 0;
    for (auto &slot : d.cameras) {
        if (next == fresh.size()) break;
        if (slot != nullptr) continue;
        auto camera = std::make_shared<Camera>();
        camera->device = libusb_ref_device(fresh[next].device);
        camera->node = NodeOf(fresh[next].device);
        camera->pipes = fresh[next].pipes;
        slot = camera;
        ++next;
    }
    libusb_free_device_list(list, 1);
}

// Opens and claims the camera's interface for its first link (lock held).
int OpenCamera(Camera &camera) {
    if (camera.handle != nullptr) return KALVEX_USB_OK;
    libusb_device_handle *handle = nullptr;
    int rc = libusb_open(camera.device, &handle);
    if (rc == LIBUSB_ERROR_ACCESS) {
        Report(KALVEX_USB_ACCESS_DENIED,
               Format("USB camera %s cannot be opened: permission denied; install the udev rule "
                      "%s into /etc/udev/rules.d/ (or be in the group kalvex), then plug the "
                      "camera in again",
                      camera.node.c_str(), kUdevRule));
        return KALVEX_USB_ACCESS_DENIED;
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        camera.gone = true;
        Report(KALVEX_USB_GONE, Format("USB camera %s was unplugged", camera.node.c_str()));
        return KALVEX_USB_GONE;
    }
    if (rc != 0) {
        Report(KALVEX_USB_FAILED, Format("USB camera %s cannot be opened: %s", camera.node.c_str(),
                                         libusb_error_name(rc)));
        return KALVEX_USB_FAILED;
    }
    // A kernel driver bound to the interface would hold it; a failed detach
    // shows as a busy interface below.
    if (libusb_kernel_driver_active(handle, camera.pipes.interfaceNumber) == 1)
        libusb_detach_kernel_driver(handle, camera.pipes.interfaceNumber);
    rc = libusb_claim_interface(handle, camera.pipes.interfaceNumber);
    if (rc == 0 && camera.pipes.alternateSetting != 0)
        rc = libusb_set_interface_alt_setting(handle, camera.pipes.interfaceNumber,
                                              camera.pipes.alternateSetting);
    if (rc != 0) {
        const int event = rc == LIBUSB_ERROR_BUSY ? KALVEX_USB_BUSY : KALVEX_USB_FAILED;
        Report(event,
               Format("USB camera %s: interface %d cannot be claimed: %s%s", camera.node.c_str(),
                      camera.pipes.interfaceNumber, libusb_error_name(rc),
                      event == KALVEX_USB_BUSY ? " (another program uses the camera)" : ""));
        libusb_close(handle);
        return event;
    }
    camera.handle = handle;
    return KALVEX_USB_OK;
}

void CloseCamera(Camera &camera) {
    if (camera.handle == nullptr) return;
    libusb_release_interface(camera.handle, camera.pipes.interfaceNumber);
    libusb_close(camera.handle);
    camera.handle = nullptr;
}

// ---- Driver entries ---------------------------------------------------------------

void *KALVEX_CALL OpenEntry(void *context, const char *) {
    const int number = static_cast<int>(reinterpret_cast<intptr_t>(context));
    Driver &d = TheDriver();
    try {
        std::lock_guard guard(d.lock);
        if (d.context == nullptr) return nullptr;
        Refresh(d);
        std::shared_ptr<Camera> camera = d.cameras[static_cast<size_t>(number)];
        if (camera == nullptr) return nullptr;  // no such camera: the library's probe asks
        if (OpenCamera(*camera) != KALVEX_USB_OK) return nullptr;
        auto link = std::make_unique<Link>();
        link->camera = camera;
        ++camera->links;
        Report(KALVEX_USB_OK, "");
        return link.release();
    } catch (...) {
        return nullptr;
    }
}

void LIBUSB_CALL TransferDone(libusb_transfer *transfer) {
    *static_cast<int *>(transfer->user_data) = 1;
}

int KALVEX_CALL IoctlEntry(void *, void *device, unsigned long code, unsigned long pipe,
                           void *buffer, unsigned long length, unsigned long *returned) {
    if (returned != nullptr) *returned = 0;
    auto *link = static_cast<Link *>(device);
    if (link == nullptr || buffer == nullptr || pipe >= KALVEX_USB_PIPES || length > 0x7FFFFFFFul)
        return 0;
    if (code != kCodeOutDirect && code != kCodeInDirect && code != kCodeInDirectLarge) return 0;
    Camera &camera = *link->camera;
    if (camera.gone) return 0;
    libusb_context *context = TheDriver().context;

    libusb_transfer *transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return 0;
    int completed = 0;
    // Straight from and into the caller's buffer: no copy of ours.
    libusb_fill_bulk_transfer(transfer, camera.handle, camera.pipes.endpoints[pipe],
                              static_cast<unsigned char *>(buffer), static_cast<int>(length),
                              TransferDone, &completed, 0);
    {
        std::lock_guard guard(link->lock);
        int rc = link->cancelled ? LIBUSB_ERROR_INTERRUPTED : libusb_submit_transfer(transfer);
        if (rc != 0) {
            if (rc == LIBUSB_ERROR_NO_DEVICE) camera.gone = true;
            libusb_free_transfer(transfer);
            return 0;
        }
        link->pending = transfer;
    }
    // Whichever waiting thread handles the events completes the others' too.
    while (!completed) {
        if (libusb_handle_events_completed(context, &completed) < 0 && !completed) {
            libusb_cancel_transfer(transfer);
        }
    }
    {
        std::lock_guard guard(link->lock);
        link->pending = nullptr;
    }
    const libusb_transfer_status status = transfer->status;
    const int actual = transfer->actual_length;
    libusb_free_transfer(transfer);
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            if (returned != nullptr) *returned = static_cast<unsigned long>(actual);
            return 1;
        case LIBUSB_TRANSFER_NO_DEVICE:
            camera.gone = true;
            return 0;
        case LIBUSB_TRANSFER_STALL:
            // The endpoint is halted: clear it so the next request can pass.
            libusb_clear_halt(camera.handle, camera.pipes.endpoints[pipe]);
            return 0;
        default:
            return 0;
    }
}

int KALVEX_CALL CancelEntry(void *, void *device) {
    auto *link = static_cast<Link *>(device);
    if (link == nullptr) return 0;
    std::lock_guard guard(link->lock);
    link->cancelled = true;
    if (link->pending != nullptr) libusb_cancel_transfer(link->pending);
    return 1;
}

void KALVEX_CALL CloseEntry(void *, void *device) {
    auto *link = static_cast<Link *>(device);
    if (link == nullptr) return;
    Driver &d = TheDriver();
    {
        std::lock_guard guard(d.lock);
        if (--link->camera->links == 0) CloseCamera(*link->camera);
    }
    delete link;
}

constexpr KalvexDriverOps kOps = {OpenEntry, IoctlEntry, CloseEntry, CancelEntry};

std::string PathOf(int number) {
    return Format(kDevicePathFormat, number);
}

void *ContextOf(int number) {
    return reinterpret_cast<void *>(static_cast<intptr_t>(number));
}

bool Start(Driver &d) {
    if (d.context == nullptr && libusb_init(&d.context) != 0) {
        d.context = nullptr;
        Report(KALVEX_USB_FAILED, "the USB stack (libusb) cannot start");
        return false;
    }
    if (!d.registered) {
        for (int n = 0; n < kCameras; ++n) RegisterDriver(PathOf(n).c_str(), &kOps, ContextOf(n));
        d.registered = true;
    }
    return true;
}

}  // namespace

}  // namespace kalvex::platform::usb

using namespace kalvex::platform::usb;

extern "C" {

KALVEX_API int KALVEX_CALL KalvexUsb_AddDevice(int vendorId, int productId,
                                               const KalvexUsbLayout *layout) {
    if (vendorId < 0 || vendorId > 0xFFFF || productId < 0 || productId > 0xFFFF) return 0;
    KalvexUsbLayout chosen{-1, 0, {0, 0, 0}};
    if (layout != nullptr) {
        chosen = *layout;
        if (chosen.interfaceNumber < -1 || chosen.interfaceNumber > 255 ||
            chosen.alternateSetting < 0 || chosen.alternateSetting > 255)
            return 0;
        for (int e : chosen.endpoints)
            if (e < 0 || e > 0xFF) return 0;
    }
    try {
        Driver &d = TheDriver();
        std::lock_guard guard(d.lock);
        auto same = [&](const Model &m) { return m.vendor == vendorId && m.product == productId; };
        auto it = std::find_if(d.models.begin(), d.models.end(), same);
        if (it == d.models.end() && d.models.size() >= KALVEX_USB_MAX_MODELS) return 0;
        if (!Start(d)) return 0;
        Model model{static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId), chosen};
        if (it != d.models.end()) {
            *it = model;
            // Renumber under the new layout; open links keep what they have.
            for (auto &camera : d.cameras) camera.reset();
        } else {
            d.models.push_back(model);
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

KALVEX_API int KALVEX_CALL KalvexUsb_ClearDevices(void) {
    try {
        Driver &d = TheDriver();
        std::lock_guard guard(d.lock);
        d.models.clear();
        for (auto &camera : d.cameras) camera.reset();  // open links keep theirs
        if (d.registered) {
            for (int n = 0; n < kCameras; ++n)
                kalvex::platform::UnregisterDriverIfOwned(PathOf(n).c_str(), &kOps, ContextOf(n));
            d.registered = false;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

KALVEX_API int KALVEX_CALL KalvexUsb_GetLastEvent(char *text, int size) {
    Driver &d = TheDriver();
    std::lock_guard guard(d.eventLock);
    if (text != nullptr && size > 0) {
        size_t n = std::min(d.lastText.size(), static_cast<size_t>(size - 1));
        std::memcpy(text, d.lastText.data(), n);
        text[n] = '\0';
    }
    return d.lastEvent;
}

KALVEX_API int KALVEX_CALL KalvexUsb_ListCandidates(KalvexUsbCandidate *candidates, int capacity) {
    try {
        Driver &d = TheDriver();
        std::lock_guard guard(d.lock);
        if (d.context == nullptr && libusb_init(&d.context) != 0) {
            d.context = nullptr;
            return -1;
        }
        libusb_device **list = nullptr;
        ssize_t count = libusb_get_device_list(d.context, &list);
        if (count < 0) return -1;
        std::vector<std::pair<std::vector<uint8_t>, KalvexUsbCandidate>> found;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device *device = list[i];
            libusb_device_descriptor desc{};
            libusb_config_descriptor *config = nullptr;
            if (libusb_get_device_descriptor(device, &desc) != 0 ||
                libusb_get_active_config_descriptor(device, &config) != 0 || config == nullptr)
                continue;
            for (int f = 0; f < config->bNumInterfaces; ++f) {
                const libusb_interface &iface = config->interface[f];
                for (int a = 0; a < iface.num_altsetting; ++a) {
                    const libusb_interface_descriptor &alt = iface.altsetting[a];
                    if (alt.bNumEndpoints != KALVEX_USB_PIPES) continue;
                    int out = 0, in = 0;
                    KalvexUsbCandidate c{desc.idVendor,
                                         desc.idProduct,
                                         libusb_get_bus_number(device),
                                         libusb_get_device_address(device),
                                         alt.bInterfaceNumber,
                                         alt.bAlternateSetting,
                                         {0, 0, 0}};
                    for (int e = 0; e < KALVEX_USB_PIPES; ++e) {
                        const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                        if (!IsBulk(ep)) break;
                        (IsIn(ep.bEndpointAddress) ? in : out)++;
                        c.endpoints[e] = ep.bEndpointAddress;
                    }
                    if (out == 1 && in == 2) found.emplace_back(BusKey(device), c);
                }
            }
            libusb_free_config_descriptor(config);
        }
        libusb_free_device_list(list, 1);
        std::stable_sort(found.begin(), found.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (size_t i = 0; candidates != nullptr && i < found.size() &&
                           i < static_cast<size_t>(std::max(capacity, 0));
             ++i)
            candidates[i] = found[i].second;
        return static_cast<int>(found.size());
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
