// Stopping on a camera that has stopped answering: Kalvex_Close and
// Kalvex_Release while the frame request (or, for a single frame, the wait)
// is held in the driver. Argument 1: the driver cancels; 0: it cannot, and the
// stop leaves the transfer thread behind after its short wait. Goal: under
// 100 ms each.
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>

#include "kalvex.h"
#include "kalvex_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// An instance previewing camera 0 whose next frame request stalls.
int StalledPreview(bool cancellable) {
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    KalvexSim_SetFrameRate(0, 0);
    KalvexSim_SetCancellable(0, cancellable ? 1 : 0);
    const int handle = Kalvex_Initialize(nullptr);
    Kalvex_SetParam(handle, KALVEX_PARAM_NUC_HOLD, 0);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    Kalvex_Preview(handle);
    KalvexSim_WaitStalled(0, 1, -1);
    return handle;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_CloseOnStalledCamera(benchmark::State &state) {
    const bool cancellable = state.range(0) != 0;
    for (auto _ : state) {
        const int handle = StalledPreview(cancellable);
        const auto start = Clock::now();
        benchmark::DoNotOptimize(Kalvex_Close(handle));
        state.SetIterationTime(Seconds(Clock::now() - start));
        KalvexSim_ClearFaults(0);
        Kalvex_Release(handle);
    }
    KalvexSim_Reset();
}
BENCHMARK(BM_CloseOnStalledCamera)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

void BM_ReleaseOnStalledCamera(benchmark::State &state) {
    const bool cancellable = state.range(0) != 0;
    for (auto _ : state) {
        const int handle = StalledPreview(cancellable);
        const auto start = Clock::now();
        benchmark::DoNotOptimize(Kalvex_Release(handle));
        state.SetIterationTime(Seconds(Clock::now() - start));
        KalvexSim_ClearFaults(0);
    }
    KalvexSim_Reset();
}
BENCHMARK(BM_ReleaseOnStalledCamera)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// Kalvex_OneShot waiting on a stalled frame; Kalvex_Close from another thread
// ends it. Timed: from the Close call until the single frame has returned.
void BM_CloseEndsStalledOneShot(benchmark::State &state) {
    const bool cancellable = state.range(0) != 0;
    for (auto _ : state) {
        KalvexSim_Reset();
        KalvexSim_Plug(0);
        KalvexSim_SetFrameRate(0, 0);
        KalvexSim_SetCancellable(0, cancellable ? 1 : 0);
        const int handle = Kalvex_Initialize(nullptr);
        KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
        auto shot = std::async(std::launch::async, [&] { return Kalvex_OneShot(handle); });
        KalvexSim_WaitStalled(0, 1, -1);
        const auto start = Clock::now();
        Kalvex_Close(handle);
        benchmark::DoNotOptimize(shot.get());
        state.SetIterationTime(Seconds(Clock::now() - start));
        KalvexSim_ClearFaults(0);
        Kalvex_Release(handle);
    }
    KalvexSim_Reset();
}
BENCHMARK(BM_CloseEndsStalledOneShot)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
