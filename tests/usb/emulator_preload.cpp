// Puts the emulated USB bus into a program that knows nothing of it (the kalvex
// tool, Python), loaded with LD_PRELOAD after libumockdev-preload:
// KALVEX_USB_EMULATE=VID:PID[:COUNT] plugs COUNT (default 1) cameras with
// these ids, served by simulated cameras 0, 1, ... of the shared simulator.
#include <cstdio>
#include <cstdlib>

#include "kalvex_sim.h"
#include "usb_emulator.h"

namespace {

kalvex::usbtest::EmulatedBus *gBus = nullptr;

__attribute__((constructor)) void StartBus() {
    const char *spec = std::getenv("KALVEX_USB_EMULATE");
    unsigned vendor = 0, product = 0;
    int count = 1;
    if (spec == nullptr || std::sscanf(spec, "%x:%x:%d", &vendor, &product, &count) < 2) return;
    gBus = new kalvex::usbtest::EmulatedBus;
    for (int n = 0; n < count && n < KALVEX_SIM_CAMERAS; ++n) {
        KalvexSim_SetTestPattern(n, 0);
        if (gBus->Plug(n, static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)) < 0)
            std::fprintf(stderr, "usb emulator: camera %d not plugged\n", n);
    }
}

__attribute__((destructor)) void StopBus() {
    delete gBus;  // removes the emulated tree's temporary folder
    gBus = nullptr;
}

}  // namespace
