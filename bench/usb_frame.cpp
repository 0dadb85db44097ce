// One frame (start-frame command, then the 614,400-byte frame request) through
// the driver seam: the simulated driver against the USB driver on the emulated
// bus, both answered by the same protocol engine serving at once. The USB
// figure includes the emulation's own costs (umockdev's ioctl round trips):
// BM_EmulatedRequest measures one such round trip on its own, and the USB
// benchmark counts the requests a frame takes, so that the driver's share can
// be told from the emulation's.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "kalvex_sim.h"
#include "kalvex_usb.h"
#include "platform/platform.h"
#include "usb/usb_emulator.h"

namespace {

constexpr uint32_t kCodeOutDirect = 0x0022204E;
constexpr uint32_t kCodeInDirect = 0x00222051;
constexpr uint32_t kFrameBytes = 640 * 480 * 2;
constexpr const char *kCamera0 = "\\\\.\\ZcamN7KTHM-0";

kalvex::usbtest::EmulatedBus &Bus() {
    static auto *bus = new kalvex::usbtest::EmulatedBus;  // before libusb starts
    return *bus;
}

// The full window and its transfer length, as the library programs them.
void ProgramWindow(int camera) {
    const int registers[][2] = {{16, 0},   {17, 0},   {18, 64},  {19, 239},
                                {0, 0x00}, {1, 0xB0}, {2, 0x04}, {3, 0x00}};
    for (const auto &[reg, value] : registers) KalvexSim_WriteRegister(camera, reg, value);
    KalvexSim_SetFrameRate(camera, 0.0);
}

void Frames(benchmark::State &state) {
    kalvex::platform::DeviceLink *link = kalvex::platform::DeviceOpen(kCamera0);
    if (link == nullptr) {
        state.SkipWithError("camera 0 does not open");
        return;
    }
    std::vector<uint8_t> frame(kFrameBytes);
    std::array<uint8_t, 64> start{0x02};
    for (auto _ : state) {
        uint32_t got = 0;
        kalvex::platform::DeviceIoControl(link, kCodeOutDirect, 0, start.data(), 64, &got);
        if (!kalvex::platform::DeviceIoControl(link, kCodeInDirect, 2, frame.data(), kFrameBytes,
                                               &got) ||
            got != kFrameBytes) {
            state.SkipWithError("frame transfer failed");
            break;
        }
        benchmark::DoNotOptimize(frame.data());
    }
    kalvex::platform::DeviceClose(link);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}

void BM_FrameSimulatedDriver(benchmark::State &state) {
    Bus();
    KalvexUsb_ClearDevices();
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    ProgramWindow(0);
    Frames(state);
    KalvexSim_Reset();
}
BENCHMARK(BM_FrameSimulatedDriver)->MinTime(2.0);

void BM_FrameUsbDriver(benchmark::State &state) {
    KalvexSim_Reset();
    int device = Bus().Plug(0, 0x1209, 0x6a0e);
    KalvexUsb_AddDevice(0x1209, 0x6a0e, nullptr);
    ProgramWindow(0);
    const long before = Bus().Requests(device);
    Frames(state);
    state.counters["requests_per_frame"] =
        static_cast<double>(Bus().Requests(device) - before) /
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    KalvexUsb_ClearDevices();
    Bus().Clear();
    KalvexSim_Reset();
}
BENCHMARK(BM_FrameUsbDriver)->MinTime(2.0);

// The emulation's cost of one request: an ioctl that the emulated device
// answers at once (its capabilities), with no driver in between.
void BM_EmulatedRequest(benchmark::State &state) {
    KalvexSim_Reset();
    int device = Bus().Plug(0, 0x1209, 0x6a0e);
    const int fd = ::open(Bus().Node(device).c_str(), O_RDWR);
    if (fd < 0) {
        state.SkipWithError("the emulated node does not open");
    } else {
        for (auto _ : state) {
            uint32_t caps = 0;
            if (::ioctl(fd, USBDEVFS_GET_CAPABILITIES, &caps) != 0) {
                state.SkipWithError("the request failed");
                break;
            }
            benchmark::DoNotOptimize(caps);
        }
        ::close(fd);
    }
    Bus().Clear();
    KalvexSim_Reset();
}
BENCHMARK(BM_EmulatedRequest)->MinTime(1.0);

}  // namespace
