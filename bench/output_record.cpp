// Recording throughput: AVI frames through the recorder against the same bytes
// written with one write call per frame; temperature frames through a
// 16384-point table.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "output/recorder.h"
#include "platform/platform.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

std::wstring WidePath(const std::string &name) {
    auto d = std::filesystem::temp_directory_path() / "kalvex_bench_record";
    std::filesystem::create_directories(d);
    const std::string p = (d / name).string();
    return {p.begin(), p.end()};
}

CDibImage Image(uint16_t bits) {
    CDibImage i;
    i.Create(640, 480, bits);
    for (size_t n = 0; n < i.ByteSize(); ++n) i.Pixels()[n] = static_cast<uint8_t>(n * 31);
    if (bits == 16)
        for (size_t n = 0; n < 640 * 480; ++n)
            reinterpret_cast<uint16_t *>(i.Pixels())[n] &= 0x3FFF;
    return i;
}

constexpr int kFramesPerFile = 100;

void BM_RecordAvi(benchmark::State &state) {
    const CDibImage colour = Image(24), raw;
    const CThermoTableState table;
    const bool slotOrder = state.range(0) != 0;
    const std::wstring path = WidePath("bench.avi");
    CRecorder recorder;
    int frames = 0;
    recorder.Start(kRecordAvi, path.c_str(), raw, colour);
    for (auto _ : state) {
        bool failed = false;
        recorder.Write(kRecordAvi, raw, colour, table, slotOrder, 0, &failed);
        if (++frames % kFramesPerFile == 0) {
            state.PauseTiming();
            recorder.Stop(kRecordAvi, 1000);
            recorder.Start(kRecordAvi, path.c_str(), raw, colour);
            state.ResumeTiming();
        }
    }
    recorder.Stop(kRecordAvi, 1000);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordAvi)->ArgName("flipped")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_OneWritePerFrame(benchmark::State &state) {
    std::vector<uint8_t> chunk(921608, 7);
    const std::wstring path = WidePath("plain.bin");
    platform::File *file = platform::FileOpenWrite(path.c_str());
    int frames = 0;
    for (auto _ : state) {
        uint32_t written = 0;
        platform::FileWrite(file, chunk.data(), static_cast<uint32_t>(chunk.size()), &written);
        if (++frames % kFramesPerFile == 0) {
            state.PauseTiming();
            platform::FileClose(file);
            file = platform::FileOpenWrite(path.c_str());
            state.ResumeTiming();
        }
    }
    platform::FileClose(file);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OneWritePerFrame)->Unit(benchmark::kMillisecond);

void BM_RecordTemperatures(benchmark::State &state) {
    CThermoTableState table;
    table.loaded.clear();
    for (int i = 0; i < 16384; ++i)
        table.loaded.push_back({i, static_cast<float>(i) * 0.025f - 178.0f});
    table.count = 16384;
    table.version = 4;
    InterpolateAllRawValues(table.ActivePoints(), table.interpolated);
    const CDibImage raw = Image(16), colour;
    const std::wstring path = WidePath("bench.temps");
    CRecorder recorder;
    int frames = 0;
    recorder.Start(kRecordTemperature, path.c_str(), raw, colour);
    for (auto _ : state) {
        bool failed = false;
        recorder.Write(kRecordTemperature, raw, colour, table, false, 0, &failed);
        if (++frames % kFramesPerFile == 0) {
            state.PauseTiming();
            recorder.Stop(kRecordTemperature, 0);
            recorder.Start(kRecordTemperature, path.c_str(), raw, colour);
            state.ResumeTiming();
        }
    }
    recorder.Stop(kRecordTemperature, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordTemperatures)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kalvex
