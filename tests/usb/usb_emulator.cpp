#include "usb_emulator.h"

#include <errno.h>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kalvex_sim.h"

namespace kalvex::usbtest {

namespace {

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// Device descriptor, then one configuration with one vendor-specific
// interface of three bulk endpoints (512-byte packets), in the given order.
std::vector<uint8_t> Descriptors(uint16_t vendor, uint16_t product, const Endpoints &endpoints) {
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              0x02,
                              0xFF,
                              0,
                              0,
                              64,
                              static_cast<uint8_t>(vendor),
                              static_cast<uint8_t>(vendor >> 8),
                              static_cast<uint8_t>(product),
                              static_cast<uint8_t>(product >> 8),
                              0x00,
                              0x01,
                              0,
                              0,
                              0,
                              1};
    const uint8_t total = 9 + 9 + 3 * 7;
    const std::vector<uint8_t> config = {9, 2, total, 0, 1, 1,    0, 0x80, 50,
                                         9, 4, 0,     0, 3, 0xFF, 0, 0,    0};
    d.insert(d.end(), config.begin(), config.end());
    for (uint8_t e : endpoints) d.insert(d.end(), {7, 5, e, 2, 0x00, 0x02, 0});
    return d;
}

struct Urb {
    UMockdevIoctlData *data;  // our reference to the client's struct usbdevfs_urb
    int pipe;
    bool discarded = false;
    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
};

}  // namespace

struct Device {
    int id = 0;
    int simCamera = 0;
    std::string sysPath, node;
    std::map<uint8_t, int> pipeOf;
    std::array<KalvexSimLink *, 3> links{};

    std::mutex lock;
    std::condition_variable changed;
    std::array<std::deque<Urb *>, 3> queued;
    std::array<Urb *, 3> running{};
    std::deque<Urb *> done;
    std::array<long, 3> submitted{};
    long requests = 0;
    bool unplugged = false;
    bool stopping = false;
    std::array<std::thread, 3> workers;

    // One request at a time per endpoint, served by the engine as it comes.
    void Serve(int pipe) {
        std::unique_lock guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return stopping || !queued[pipe].empty(); });
            if (stopping) return;
            Urb *u = queued[pipe].front();
            queued[pipe].pop_front();
            running[pipe] = u;
            usbdevfs_urb *urb = u->urb();
            guard.unlock();
            // The buffer pointer is the client's own (same process, left
            // unresolved): the engine writes the frame there directly, the
            // one copy a kernel makes.
            unsigned long got = 0;
            const bool ok =
                KalvexSim_LinkTransfer(links[pipe], pipe, urb->buffer,
                                       static_cast<unsigned long>(urb->buffer_length), &got) == 1;
            guard.lock();
            running[pipe] = nullptr;
            urb->actual_length = static_cast<int>(got);
            if (u->discarded) {
                urb->status = -ENOENT;
                KalvexSim_LinkResume(links[pipe]);
            } else if (unplugged) {
                urb->status = -ENODEV;
            } else {
                urb->status = ok ? 0 : -EPROTO;
            }
            done.push_back(u);
        }
    }

    void Complete(UMockdevIoctlClient *client, UMockdevIoctlData *arg, unsigned long request) {
        std::unique_lock guard(lock);
        ++requests;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData *d =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
                // Scatter-gather, as on today's host controllers: a frame is one
                // URB, so one engine request answers it.
                *reinterpret_cast<uint32_t *>(d->data) =
                    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
                umockdev_ioctl_client_complete(client, 0, 0);
                g_object_unref(d);
                return;
            }
            case USBDEVFS_GETDRIVER:  // no kernel driver bound
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return;
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESET:
            case USBDEVFS_RESETEP:
                if (unplugged)
                    umockdev_ioctl_client_complete(client, -1, ENODEV);
                else
                    umockdev_ioctl_client_complete(client, 0, 0);
                return;
            case USBDEVFS_SUBMITURB: {
                UMockdevIoctlData *d =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
                auto *urb = reinterpret_cast<usbdevfs_urb *>(d->data);
                auto it = pipeOf.find(urb->endpoint);
                if (unplugged || urb->type != USBDEVFS_URB_TYPE_BULK || it == pipeOf.end()) {
                    umockdev_ioctl_client_complete(client, -1, unplugged ? ENODEV : EINVAL);
                    g_object_unref(d);
                    return;
                }
                ++submitted[it->second];
                queued[it->second].push_back(new Urb{d, it->second});
                changed.notify_all();
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                if (done.empty()) {
                    umockdev_ioctl_client_complete(client, -1, unplugged ? ENODEV : EAGAIN);
                    return;
                }
                Urb *u = done.front();
                done.pop_front();
                UMockdevIoctlData *ptr =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
                umockdev_ioctl_data_set_ptr(ptr, 0, u->data);
                umockdev_ioctl_client_complete(client, 0, 0);
                g_object_unref(ptr);
                g_object_unref(u->data);
                delete u;
                return;
            }
            case USBDEVFS_DISCARDURB: {
                const auto address =
                    reinterpret_cast<gulong>(*reinterpret_cast<void **>(arg->data));
                for (int pipe = 0; pipe < 3; ++pipe) {
                    auto &q = queued[pipe];
                    for (auto i = q.begin(); i != q.end(); ++i) {
                        if ((*i)->data->client_addr != address) continue;
                        (*i)->urb()->status = -ENOENT;
                        done.push_back(*i);
                        q.erase(i);
                        umockdev_ioctl_client_complete(client, 0, 0);
                        return;
                    }
                    if (running[pipe] != nullptr && running[pipe]->data->client_addr == address &&
                        !running[pipe]->discarded) {
                        running[pipe]->discarded = true;
                        KalvexSim_LinkCancel(links[pipe]);
                        umockdev_ioctl_client_complete(client, 0, 0);
                        return;
                    }
                }
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return;
            }
            default:
                umockdev_ioctl_client_complete(client, -1, ENOTTY);
                return;
        }
    }

    void Stop() {
        {
            std::lock_guard guard(lock);
            stopping = true;
            for (int pipe = 0; pipe < 3; ++pipe)
                if (running[pipe] != nullptr) KalvexSim_LinkCancel(links[pipe]);
        }
        changed.notify_all();
        for (auto &w : workers)
            if (w.joinable()) w.join();
        for (auto &q : queued)
            for (Urb *u : q) done.push_back(u);
        for (Urb *u : done) {
            g_object_unref(u->data);
            delete u;
        }
        done.clear();
        for (KalvexSimLink *link : links) KalvexSim_LinkClose(link);
    }
};

struct EmulatedBus::State {
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::string root;
    std::mutex lock;  // guards the device table (the handler runs on umockdev's thread)
    std::map<std::string, std::unique_ptr<Device>> byNode;
    std::map<int, Device *> byId;
    int next = 2;  // device address 1 is the root hub's, by convention
};

namespace {
gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer context) {
    auto *state = static_cast<EmulatedBus::State *>(context);
    Device *device = nullptr;
    {
        std::lock_guard guard(state->lock);
        auto it = state->byNode.find(umockdev_ioctl_client_get_devnode(client));
        if (it != state->byNode.end()) device = it->second.get();
    }
    if (device == nullptr) return FALSE;
    device->Complete(client, umockdev_ioctl_client_get_arg(client),
                     umockdev_ioctl_client_get_request(client));
    return TRUE;
}
}  // namespace

EmulatedBus::EmulatedBus() : state_(std::make_unique<State>()) {
    state_->testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(state_->testbed);
    state_->root = root;
    g_free(root);
    state_->handler = umockdev_ioctl_base_new();
    g_signal_connect(state_->handler, "handle-ioctl", G_CALLBACK(OnIoctl), state_.get());
}

EmulatedBus::~EmulatedBus() {
    Clear();
    g_object_unref(state_->handler);
    g_object_unref(state_->testbed);
}

int EmulatedBus::Plug(int simCamera, uint16_t vendor, uint16_t product, const Endpoints &wiring,
                      const Endpoints &listed) {
    const Endpoints &endpoints = listed[0] == 0 ? wiring : listed;
    if (KalvexSim_Attach(simCamera) != 1) return -1;
    auto device = std::make_unique<Device>();
    Device &d = *device;
    d.id = state_->next++;
    d.simCamera = simCamera;
    char text[64];
    std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03d", d.id);
    d.node = text;
    std::snprintf(text, sizeof text, "/devices/usb1/1-%d", d.id);
    d.sysPath = text;
    for (int pipe = 0; pipe < 3; ++pipe) {
        d.pipeOf[wiring[pipe]] = pipe;
        d.links[pipe] = KalvexSim_LinkOpen(simCamera);
        if (d.links[pipe] == nullptr) {
            d.Stop();
            return -1;
        }
    }
    for (int pipe = 0; pipe < 3; ++pipe)
        d.workers[pipe] = std::thread([&d, pipe] { d.Serve(pipe); });
    {
        std::lock_guard guard(state_->lock);
        state_->byId[d.id] = &d;
        state_->byNode[d.node] = std::move(device);
    }
    umockdev_testbed_attach_ioctl(state_->testbed, d.node.c_str(), state_->handler, nullptr);
    std::snprintf(text, sizeof text, "%03d", d.id);
    const std::string devnum = text;
    const std::string description =
        "P: " + d.sysPath + "\nN: " + d.node.substr(5) +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=" + devnum +
        "\nE: DEVNAME=" + d.node + "\nA: busnum=1\\n\nA: devnum=" + std::to_string(d.id) +
        "\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\nH: descriptors=" +
        Hex(Descriptors(vendor, product, endpoints)) + "\n";
    if (!umockdev_testbed_add_from_string(state_->testbed, description.c_str(), nullptr)) return -1;
    return d.id;
}

void EmulatedBus::Unplug(int id) {
    Device *d = nullptr;
    {
        std::lock_guard guard(state_->lock);
        auto it = state_->byId.find(id);
        if (it == state_->byId.end()) return;
        d = it->second;
    }
    {
        std::lock_guard guard(d->lock);
        if (d->unplugged) return;
        d->unplugged = true;
        for (auto &q : d->queued) {
            for (Urb *u : q) {
                u->urb()->status = -ENODEV;
                d->done.push_back(u);
            }
            q.clear();
        }
    }
    KalvexSim_Unplug(d->simCamera);  // what the engine is serving fails now
    const std::string sys = "/sys" + d->sysPath;
    umockdev_testbed_uevent(state_->testbed, sys.c_str(), "remove");
}

void EmulatedBus::Clear() {
    std::vector<int> ids;
    {
        std::lock_guard guard(state_->lock);
        for (auto &[id, d] : state_->byId) ids.push_back(id);
    }
    for (int id : ids) Unplug(id);
    for (int id : ids) {
        Device *d = state_->byId[id];
        umockdev_testbed_detach_ioctl(state_->testbed, d->node.c_str(), nullptr);
        umockdev_testbed_remove_device(state_->testbed, ("/sys" + d->sysPath).c_str());
        d->Stop();
    }
    std::lock_guard guard(state_->lock);
    state_->byId.clear();
    state_->byNode.clear();
}

std::string EmulatedBus::Node(int id) const {
    std::lock_guard guard(state_->lock);
    auto it = state_->byId.find(id);
    return it == state_->byId.end() ? std::string() : it->second->node;
}

std::string EmulatedBus::NodeFile(int id) const {
    return state_->root + Node(id);
}

namespace {
// A count of the device's, read under its lock; -1 for an unknown device.
template <class Read>
long DeviceCount(EmulatedBus::State &state, int id, Read read) {
    Device *d = nullptr;
    {
        std::lock_guard guard(state.lock);
        auto it = state.byId.find(id);
        if (it == state.byId.end()) return -1;
        d = it->second;
    }
    std::lock_guard guard(d->lock);
    return read(*d);
}
}  // namespace

long EmulatedBus::Submitted(int id, int pipe) const {
    return DeviceCount(*state_, id,
                       [&](const Device &d) { return d.submitted[static_cast<size_t>(pipe)]; });
}

long EmulatedBus::Requests(int id) const {
    return DeviceCount(*state_, id, [](const Device &d) { return d.requests; });
}

// ---- Permissions ----------------------------------------------------------------------

namespace {
constexpr uint32_t kOverrides = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;
}

WithoutPermissionOverride::WithoutPermissionOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return;
    saved_[0] = data[0].effective;
    saved_[1] = data[1].effective;
    data[0].effective &= ~kOverrides;
    ok_ = syscall(SYS_capset, &header, data) == 0;
}

WithoutPermissionOverride::~WithoutPermissionOverride() {
    if (!ok_) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return;
    data[0].effective = saved_[0];
    data[1].effective = saved_[1];
    syscall(SYS_capset, &header, data);
}

}  // namespace kalvex::usbtest
