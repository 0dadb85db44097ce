// Measurement's costs beside the library's own work on the same frame:
// colouring with a palette and plateau equalisation against the library's
// colour map, and statistics of eight regions that together cover the
// frame against one temperature copy of it: the module's work alone, and
// both through the exports on a frame of the simulated camera.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench_camera.h"
#include "bench_scene.h"
#include "kalvex_measure.h"
#include "measure/contrast.h"
#include "measure/region.h"
#include "thermal/colour_map.h"
#include "thermal/thermo_table.h"

namespace {

using namespace kalvex;

constexpr int kW = 640, kH = 480;

std::vector<uint16_t> Scene() {
    return bench::GradientScene(2.0);
}

std::shared_ptr<CThermoTableState> Table() {
    auto t = std::make_shared<CThermoTableState>();
    for (int v = 0; v < kLookupEntries; ++v)
        t->lookup[static_cast<size_t>(v)] = static_cast<float>(v - 8000) / 40.0f + 22.0f;
    return t;
}

void BM_LibraryColourMap(benchmark::State &state) {
    HueTable hue{};
    BuildHueTable(hue);
    CColourMapper mapper(hue);
    ColourRange range;
    range.autoRangeCounter.store(0);
    range.low.store(7000), range.high.store(10000);
    auto raw = Scene();
    std::vector<uint8_t> bgr(kW * kH * 3);
    const ColourFrame frame{raw.data(), kW * 2, bgr.data(), kW * 3, kW, kH};
    for (auto _ : state) benchmark::DoNotOptimize(mapper.ColorizeFrame(frame, range));
}
BENCHMARK(BM_LibraryColourMap);

void BM_MeasureColour(benchmark::State &state) {
    HueTable hue{};
    BuildHueTable(hue);
    auto raw = Scene();
    auto table = Table();
    std::vector<uint8_t> out(kW * kH * 3);
    measure::ColourOptions o;
    o.palette = static_cast<int>(state.range(0));
    o.agc = static_cast<int>(state.range(1));
    measure::Mapping previous;
    measure::ColourMemory memory;  // as an instance keeps it
    measure::ColourResult result;
    for (auto _ : state) {
        measure::ColourFrame({raw.data(), kW, kH}, *table, hue, 7000, 10000, false, o, &previous,
                             out.data(), result, &memory);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_MeasureColour)
    ->ArgNames({"palette", "agc"})
    ->Args({0, 0})   // hue over the range
    ->Args({1, 2});  // ironbow, plateau

void BM_TemperatureCopy(benchmark::State &state) {
    auto raw = Scene();
    auto table = Table();
    std::vector<float> t(kW * kH);
    for (auto _ : state) {
        for (int r = 0; r < kH; ++r)
            table->LookupRow(raw.data() + r * kW, r, t.data() + r * kW, kW);
        benchmark::DoNotOptimize(t.data());
    }
}
BENCHMARK(BM_TemperatureCopy);

void BM_EightRegionStats(benchmark::State &state) {
    measure::TableFrame frame;
    frame.raw = Scene();
    frame.width = kW, frame.height = kH;
    frame.table = Table();
    std::vector<measure::Region> regions(8);
    for (int i = 0; i < 8; ++i) {
        KalvexRoi roi{};
        roi.kind = KALVEX_ROI_BOX;
        roi.v[0] = (i % 4) * 160, roi.v[1] = (i / 4) * 240, roi.v[2] = 160, roi.v[3] = 240;
        measure::BuildRegion(roi, kW, kH, regions[static_cast<size_t>(i)]);
    }
    // Measured where the frame lies, as the export does under the ring's lock.
    measure::TableFrame inPlace;
    inPlace.pixels = frame.raw.data();
    inPlace.width = kW, inPlace.height = kH;
    inPlace.table = frame.table;
    for (auto _ : state)
        for (const auto &r : regions)
            benchmark::DoNotOptimize(measure::MeasureTableFrame(inPlace, r));
}
BENCHMARK(BM_EightRegionStats);

// The same two through the exports: one Kalvex_GetTemperature copy of a
// frame, and KalvexMeasure_Stats of eight boxes covering it.
void BM_ExportGetTemperature(benchmark::State &state) {
    bench::SimFrame cam(bench::VariedFrame());
    std::vector<float> t(kW * kH);
    for (auto _ : state) {
        if (Kalvex_GetTemperature(cam.handle, cam.id, t.data(), kW * kH * 4) != 1)
            state.SkipWithError("no frame");
        benchmark::DoNotOptimize(t.data());
    }
}
BENCHMARK(BM_ExportGetTemperature);

void BM_ExportEightRegionStats(benchmark::State &state) {
    bench::SimFrame cam(bench::VariedFrame());
    KalvexRoi rois[8] = {};
    for (int i = 0; i < 8; ++i) {
        rois[i].kind = KALVEX_ROI_BOX;
        rois[i].v[0] = (i % 4) * 160, rois[i].v[1] = (i / 4) * 240;
        rois[i].v[2] = 160, rois[i].v[3] = 240;
    }
    KalvexStats stats[8];
    for (auto _ : state) {
        if (KalvexMeasure_Stats(cam.handle, static_cast<uint32_t>(cam.id), rois, 8, stats) != 1)
            state.SkipWithError("no frame");
        benchmark::DoNotOptimize(stats);
    }
}
BENCHMARK(BM_ExportEightRegionStats);

}  // namespace
