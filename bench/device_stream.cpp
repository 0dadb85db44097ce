// Frames per second through the streaming thread and ReadStreamFrame, with the
// simulated camera serving each request at once (16-bit 640 x 480 frames).
#include <benchmark/benchmark.h>

#include <vector>

#include "device/zorcam_sdk.h"
#include "kalvex_sim.h"

namespace {

void BM_StreamFrames(benchmark::State &state) {
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    KalvexSim_SetFrameRate(0, 0.0);
    KalvexSim_SetTestPattern(0, static_cast<int>(state.range(0)));
    kalvex::CZorcamN7KTHERMOSdk device;
    device.SetPixelDepth(1);
    device.SetWaitLimitEnabled(0);
    std::vector<uint8_t> frame(640 * 480 * 2);
    if (device.StartStreaming() != 0) state.SkipWithError("StartStreaming failed");
    int64_t frames = 0;
    for (auto _ : state) {
        int s;
        while ((s = device.GetStreamState()) == kalvex::kStreamNoFrame) {
        }
        if (s != kalvex::kStreamFrameReady) {
            state.SkipWithError("stream failed");
            break;
        }
        device.ReadStreamFrame(frame.data());
        benchmark::DoNotOptimize(frame.data());
        ++frames;
    }
    device.StopStreaming();
    state.counters["frames_read_per_s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["frames_moved_per_s"] = benchmark::Counter(
        static_cast<double>(device.StreamFramesTransferred()), benchmark::Counter::kIsRate);
    KalvexSim_Reset();
}
BENCHMARK(BM_StreamFrames)->Arg(1)->Arg(0)->ArgName("pattern")->UseRealTime()->MinTime(2.0);

}  // namespace
