// The simulated camera's scene images: a frame served after the internal
// temperature changed (the sensor image rebuilt: the raw model per pixel) for
// the flat scene and for the demo scene side by side, a frame of an unchanged
// scene (no rebuild) as the floor, and setting an image: black bodies, and
// emissivity below 1 through a lossy path (the radiometry by table).
#include <benchmark/benchmark.h>

#include <vector>

#include "kalvex_sim.h"

namespace {

constexpr unsigned long kFrameBytes = 640 * 480 * 2;

// Camera 0 attached to the protocol engine, the full window programmed.
struct Engine {
    Engine() {
        KalvexSim_Reset();
        KalvexSim_Attach(0);
        KalvexSim_SetFrameRate(0, 0);
        const int window[][2] = {{16, 0},   {17, 0},   {18, 64},  {19, 239},
                                 {0, 0x00}, {1, 0xB0}, {2, 0x04}, {3, 0x00}};
        for (const auto &[reg, value] : window) KalvexSim_WriteRegister(0, reg, value);
        link = KalvexSim_LinkOpen(0);
    }
    ~Engine() {
        KalvexSim_LinkClose(link);
        KalvexSim_Reset();
    }
    bool Frame() {
        unsigned char start[64] = {0x02};
        unsigned long got = 0;
        return KalvexSim_LinkTransfer(link, 0, start, 64, &got) == 1 &&
               KalvexSim_LinkTransfer(link, 2, frame.data(), frame.size(), &got) == 1 &&
               got == kFrameBytes;
    }
    KalvexSimLink *link = nullptr;
    std::vector<unsigned char> frame = std::vector<unsigned char>(kFrameBytes);
};

// range(0): 0 the flat scene, 1 the demo scene; range(1): 1 the internal
// temperature changes before every frame.
void SimFrame(benchmark::State &state) {
    Engine engine;
    if (state.range(0) == 1) {
        KalvexSim_SetDemoScene(0);
        KalvexSim_SetTemporalNoise(0, 0, 0);
    }
    int core = KALVEX_SIM_DEFAULT_CORE_TEMPERATURE;
    for (auto _ : state) {
        if (state.range(1) == 1) KalvexSim_SetInternalTemperatureRaw(0, core ^= 1);
        if (!engine.Frame()) state.SkipWithError("frame refused");
        benchmark::DoNotOptimize(engine.frame.data());
    }
}
BENCHMARK(SimFrame)
    ->ArgNames({"demo", "rebuild"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

// range(0): 0 black bodies through a clear path, 1 emissivity 0.5 to 1
// through a path of transmission 0.9.
void SimSetSceneImage(benchmark::State &state) {
    Engine engine;
    std::vector<float> celsius(640 * 480), emissivity(640 * 480);
    KalvexSim_DemoSceneImage(celsius.data());
    for (size_t i = 0; i < emissivity.size(); ++i)
        emissivity[i] = 0.5f + 0.5f * static_cast<float>(i % 101) / 100.0f;
    const bool grey = state.range(0) == 1;
    if (grey) KalvexSim_SetRadiometry(0, 22.0, 0.9, 15.0);
    for (auto _ : state) {
        if (KalvexSim_SetSceneImage(0, celsius.data(), grey ? emissivity.data() : nullptr) != 1)
            state.SkipWithError("image refused");
    }
}
BENCHMARK(SimSetSceneImage)->ArgName("grey")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
