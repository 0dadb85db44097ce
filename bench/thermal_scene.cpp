// Scene compensation: Kalvex_GetTemperature with the default scene, a
// uniform scene (folded into the lookup) and a per-pixel emissivity map; the
// radiance table and fold builds; and, run once, the accuracy over the grid
// of objects -20..200 degrees, emissivity 0.5..1, reflected -20..50 degrees
// and transmission 0.8..1 through a version-4 table on the simulated camera
// (counters: worst_error_K and where it happens).
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_camera.h"
#include "kalvex.h"
#include "kalvex_scene.h"
#include "kalvex_sim.h"
#include "thermal/radiance.h"

namespace {

constexpr int kPixels = 640 * 480;

KalvexScene Scene(float e, float refl, float tau) {
    KalvexScene s;
    KalvexScene_Default(&s);
    s.emissivity = e, s.reflected = refl, s.transmission = tau;
    return s;
}

void GetTemperature(benchmark::State &state) {
    kalvex::bench::SimFrame cam(kalvex::bench::VariedFrame());
    const int mode = static_cast<int>(state.range(0));
    if (mode == 1) {
        const KalvexScene s = Scene(0.9f, 30.0f, 0.95f);
        KalvexScene_Set(cam.handle, &s);
    } else if (mode == 2) {
        std::vector<float> map(kPixels);
        for (int i = 0; i < kPixels; ++i) map[i] = (i % 640) < 320 ? 0.6f : 0.95f;
        KalvexScene_SetEmissivityMap(cam.handle, map.data(), kPixels);
    }
    std::vector<float> t(kPixels);
    for (auto _ : state) {
        if (Kalvex_GetTemperature(cam.handle, cam.id, t.data(), kPixels * 4) != 1)
            state.SkipWithError("no frame");
        benchmark::DoNotOptimize(t.data());
    }
    state.SetLabel(mode == 0 ? "default scene" : mode == 1 ? "uniform scene" : "emissivity map");
}
BENCHMARK(GetTemperature)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void RadianceTableBuild(benchmark::State &state) {
    for (auto _ : state) {
        kalvex::RadianceTable table(8.0, 14.0);
        benchmark::DoNotOptimize(table.Logs().data());
    }
}
BENCHMARK(RadianceTableBuild)->Unit(benchmark::kMicrosecond);

// KalvexScene_Set: the model and the fold of every lookup entry.
void SceneSet(benchmark::State &state) {
    kalvex::bench::SimFrame cam(kalvex::bench::VariedFrame());
    const KalvexScene a = Scene(0.9f, 30.0f, 0.95f), b = Scene(0.8f, 30.0f, 0.95f);
    int i = 0;
    for (auto _ : state) KalvexScene_Set(cam.handle, ++i % 2 ? &a : &b);
}
BENCHMARK(SceneSet)->Unit(benchmark::kMillisecond);

void AccuracyGrid(benchmark::State &state) {
    kalvex::bench::SimFrame cam(kalvex::bench::VariedFrame());
    KalvexSim_SetTemporalNoise(0, 0, 0);
    KalvexSim_ClearSpots(0);
    const int spots = 12;  // -20, 0, ..., 200 degrees
    for (int k = 0; k < spots; ++k)
        KalvexSim_AddSpot(0, 80 + 160 * (k % 4), 80 + 160 * (k / 4), 30, -20.0 + 20.0 * k);
    double worst = 0.0, worstT = 0, worstE = 0, worstR = 0, worstTau = 0;
    int points = 0;
    std::vector<float> t(kPixels);
    for (auto _ : state) {
        for (double e = 0.5; e <= 1.0001; e += 0.1) {
            KalvexSim_ClearSpots(0);
            for (int k = 0; k < spots; ++k)
                KalvexSim_AddSpotEmissive(0, 80 + 160 * (k % 4), 80 + 160 * (k / 4), 30,
                                          -20.0 + 20.0 * k, e);
            for (double refl : {-20.0, 0.0, 25.0, 50.0}) {
                for (double tau : {0.8, 0.9, 1.0}) {
                    KalvexSim_SetRadiometry(0, refl, tau, 22.0);
                    const KalvexScene s = Scene(static_cast<float>(e), static_cast<float>(refl),
                                                static_cast<float>(tau));
                    KalvexScene_Set(cam.handle, &s);
                    const int id = Kalvex_OneShot(cam.handle);
                    Kalvex_GetTemperature(cam.handle, id, t.data(), kPixels * 4);
                    for (int k = 0; k < spots; ++k) {
                        const int x = 80 + 160 * (k % 4), y = 80 + 160 * (k / 4);
                        const double set = -20.0 + 20.0 * k;
                        const double err =
                            std::fabs(t[static_cast<size_t>((479 - y) * 640 + x)] - set);
                        ++points;
                        if (err > worst) {
                            worst = err, worstT = set, worstE = e, worstR = refl, worstTau = tau;
                        }
                    }
                }
            }
        }
    }
    state.counters["points"] = points;
    state.counters["worst_error_K"] = worst;
    state.counters["at_celsius"] = worstT;
    state.counters["at_emissivity"] = worstE;
    state.counters["at_reflected"] = worstR;
    state.counters["at_transmission"] = worstTau;
}
BENCHMARK(AccuracyGrid)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
