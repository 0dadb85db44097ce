// One frame (start-frame command, then the 614,400-byte frame request) through
// the driver seam: the simulated driver against the USB driver on the emulated
// bus, both answered by the same protocol engine serving at once. The USB
// figure includes the emulation's own costs (umockdev's ioctl round trips).
#include <benchmark/benchmark.h>

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
    Frames(state);
    KalvexUsb_ClearDevices();
    Bus().Clear();
    (void)device;
    KalvexSim_Reset();
}
BENCHMARK(BM_FrameUsbDriver)->MinTime(2.0);

}  // namespace
