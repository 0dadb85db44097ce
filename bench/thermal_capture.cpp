// The capture path: the loop's own work per frame, frames per second through
// the whole instance with the camera as fast as asked, CPU time per frame at
// 30 Hz, and Kalvex_GetTemperature against a cold memcpy of its output size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "api/sdk_chain.h"
#include "bench_camera.h"
#include "device/row_copy.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "support/kalvex_test_peer.h"
#include "thermal/colour_map.h"
#include "thermal/kalvex_instance.h"

namespace {

using namespace kalvex;

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// An instance previewing simulated camera 0 at the given rate.
struct Previewing {
    KalvexHwnd window = KalvexPosix_CreateWindow();
    int handle = 0;
    explicit Previewing(double hz, int frameInterval = 10) {
        KalvexSim_Reset();
        KalvexSim_Plug(0);
        KalvexSim_SetFrameRate(0, hz);
        KalvexSim_AddSpot(0, 320, 240, 40, 37.0);
        handle = Kalvex_Initialize(window);
        Kalvex_SetParam(handle, KALVEX_PARAM_FRAME_INTERVAL, frameInterval);
        Kalvex_Preview(handle);
    }
    ~Previewing() {
        Kalvex_Release(handle);
        KalvexPosix_DestroyWindow(window);
        KalvexSim_Reset();
    }
    // Waits for the next frame message; its id.
    long NextFrame() {
        KalvexMessage m;
        while (KalvexPosix_GetMessage(window, &m, 10000) == 1)
            if (m.message == KALVEX_WM_FRAME) return m.lParam;
        return 0;
    }
};

// What one pass does with a frame: the reversed copy into the slot, the colour
// mapping with auto range, the bookkeeping is negligible beside them.
void BM_CaptureLoopWorkPerFrame(benchmark::State &state) {
    std::vector<uint8_t> sensor(640 * 480 * 2);
    for (size_t i = 0; i < sensor.size() / 2; ++i) {
        const uint16_t v = static_cast<uint16_t>(8000 + (i % 640) / 4 + (i / 640) % 50);
        std::memcpy(&sensor[2 * i], &v, 2);
    }
    std::vector<uint8_t> raw(sensor.size()), bgr(640 * 480 * 3);
    HueTable hue{};
    BuildHueTable(hue);
    CColourMapper mapper(hue);
    ColourRange range;
    for (auto _ : state) {
        CopyRowsReversed(raw.data(), sensor.data(), 640, 480);
        mapper.ColorizeFrame(ColourFrame{reinterpret_cast<const uint16_t *>(raw.data()), 1280,
                                         bgr.data(), 1920, 640, 480},
                             range);
        benchmark::DoNotOptimize(bgr.data());
    }
}
BENCHMARK(BM_CaptureLoopWorkPerFrame)->Unit(benchmark::kMicrosecond);

// The metadata a kept frame carries, beside the work above: two clock reads
// where the transfer ends and the stamp into the slot.
void BM_FrameMetadataPerFrame(benchmark::State &state) {
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    CKalvex instance;
    instance.Initialize(nullptr);
    test::CKalvexTestPeer peer(instance);
    RingSlot slot;
    for (auto _ : state) {
        peer.StampAsTheLoopDoes(slot);
        benchmark::DoNotOptimize(slot.info);
    }
    KalvexSim_Reset();
}
BENCHMARK(BM_FrameMetadataPerFrame)->Unit(benchmark::kNanosecond);

// Frames published per second with the camera as fast as asked and no sleep
// between passes.
void BM_PreviewThroughput(benchmark::State &state) {
    Previewing preview(0.0, 0);
    preview.NextFrame();
    const double cpu0 = ProcessCpuSeconds();
    int64_t frames = 0;
    for (auto _ : state) {
        if (preview.NextFrame() == 0) state.SkipWithError("no frame");
        ++frames;
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_frame"] =
        (ProcessCpuSeconds() - cpu0) * 1e6 / static_cast<double>(std::max<int64_t>(frames, 1));
}
BENCHMARK(BM_PreviewThroughput)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// CPU time of the whole process per frame at the camera's 30 Hz.
void BM_PreviewAt30Hz(benchmark::State &state) {
    Previewing preview(30.0);
    preview.NextFrame();
    const double cpu0 = ProcessCpuSeconds();
    int64_t frames = 0;
    for (auto _ : state) {
        if (preview.NextFrame() == 0) state.SkipWithError("no frame");
        ++frames;
    }
    state.counters["cpu_us_per_frame"] =
        (ProcessCpuSeconds() - cpu0) * 1e6 / static_cast<double>(std::max<int64_t>(frames, 1));
}
BENCHMARK(BM_PreviewAt30Hz)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(60);

// One frame's temperatures against memcpy of the same 1,228,800 bytes from a
// source that is not in the cache.
void BM_GetTemperature(benchmark::State &state) {
    kalvex::bench::SimFrame frame;
    std::vector<float> out(640 * 480);
    for (auto _ : state) {
        Kalvex_GetTemperature(frame.handle, frame.id, out.data(), 640 * 480 * 4);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_GetTemperature)->Unit(benchmark::kMicrosecond);

void BM_MemcpyColdSameBytes(benchmark::State &state) {
    constexpr size_t kBytes = 640 * 480 * 4;
    constexpr size_t kSources = 64;  // 78 MB: far beyond the last-level cache
    std::vector<uint8_t> pool(kBytes * kSources, 1);
    std::vector<uint8_t> out(kBytes);
    size_t i = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), pool.data() + (i++ % kSources) * kBytes, kBytes);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_MemcpyColdSameBytes)->Unit(benchmark::kMicrosecond);

}  // namespace
