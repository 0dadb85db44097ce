// Temperatures of a whole frame from the table: the cached interpolation
// against the literal walk, and the lookup rebuild against 16384 walks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "thermal/table_bytes.h"
#include "thermal/thermo_table.h"
#include "thermal/thermo_table_literal.h"

namespace kalvex {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// A scene near room temperature with a warm object and sensor noise.
std::vector<uint16_t> Frame() {
    std::vector<uint16_t> raw(kWidth * kHeight);
    uint32_t state = 1;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            state = state * 214013u + 2531011u;
            int noise = static_cast<int>((state >> 16) & 0x7F) - 64;
            int dx = x - 320, dy = y - 240;
            int base = dx * dx + dy * dy < 100 * 100 ? 9200 : 7000 + y;
            raw[static_cast<size_t>(y * kWidth + x)] = static_cast<uint16_t>(base + noise);
        }
    }
    return raw;
}

std::vector<CalibrationPoint> Points(int n) {
    std::vector<CalibrationPoint> p(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        int32_t raw = static_cast<int32_t>(int64_t{i} * 16384 / n);
        p[static_cast<size_t>(i)] = {raw, -20.0f + static_cast<float>(raw) * 0.01f};
    }
    return p;
}

std::vector<uint8_t> Version4(const std::vector<CalibrationPoint> &points) {
    return test::Version4Bytes(30.0f, 0.01f, 1.0f, points);
}

struct Fixture {
    explicit Fixture(int n) : points(Points(n)), file(Version4(points)) {
        table.LinkReferenceTemperature(&reference);
        table.SetCorrectionMode(13);
        table.LoadTableFromMemory(file.data(), file.size());
    }
    std::atomic<float> reference{32.0f};
    std::vector<CalibrationPoint> points;
    std::vector<uint8_t> file;
    CThermoTable table;
};

const std::vector<uint16_t> &SharedFrame() {
    static const std::vector<uint16_t> frame = Frame();
    return frame;
}

void BM_FrameLiteralWalk(benchmark::State &st) {
    Fixture f(static_cast<int>(st.range(0)));
    const std::vector<CalibrationPoint> active = f.table.State()->compensated;
    std::vector<float> out(SharedFrame().size());
    for (auto _ : st) {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = literal::InterpolateTemperature(active, SharedFrame()[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FrameLiteralWalk)->Arg(100)->Arg(1000)->Arg(16384)->Unit(benchmark::kMillisecond);

// One InterpolateTemperature call per pixel, as saving and recording make them.
void BM_FrameCachedPerCall(benchmark::State &st) {
    Fixture f(static_cast<int>(st.range(0)));
    std::vector<float> out(SharedFrame().size());
    for (auto _ : st) {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = f.table.InterpolateTemperature(SharedFrame()[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FrameCachedPerCall)->Arg(100)->Arg(1000)->Arg(16384)->Unit(benchmark::kMicrosecond);

// The table taken once per frame, then read per pixel.
void BM_FrameCachedState(benchmark::State &st) {
    Fixture f(static_cast<int>(st.range(0)));
    std::vector<float> out(SharedFrame().size());
    for (auto _ : st) {
        auto table = f.table.State();
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = table->InterpolateTemperature(SharedFrame()[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FrameCachedState)->Arg(100)->Arg(1000)->Arg(16384)->Unit(benchmark::kMicrosecond);

void BM_BuildLookupLiteral(benchmark::State &st) {
    Fixture f(16384);
    const std::vector<CalibrationPoint> active = f.table.State()->compensated;
    for (auto _ : st) benchmark::DoNotOptimize(literal::BuildLookupByInterpolation(active));
}
BENCHMARK(BM_BuildLookupLiteral)->Unit(benchmark::kMillisecond);

// The one-sweep interpolation of raw values 0 to 16383.
void BM_BuildLookupSweep(benchmark::State &st) {
    Fixture f(16384);
    const std::vector<CalibrationPoint> active = f.table.State()->compensated;
    std::vector<float> lookup(kLookupEntries);
    for (auto _ : st) {
        InterpolateAllRawValues(active, lookup);
        benchmark::DoNotOptimize(lookup.data());
    }
}
BENCHMARK(BM_BuildLookupSweep)->Unit(benchmark::kMicrosecond);

// A whole drift rebuild: shifted points, the 65536-entry cache, the lookup
// array and its publication.
void BM_RecreateTable(benchmark::State &st) {
    Fixture f(16384);
    bool warm = false;
    for (auto _ : st) {
        f.reference.store(warm ? 32.0f : 28.0f);
        warm = !warm;
        benchmark::DoNotOptimize(f.table.RecreateTable());
    }
}
BENCHMARK(BM_RecreateTable)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kalvex
