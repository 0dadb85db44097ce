// Colour mapping of a realistic 640 x 480 frame: the lookup-table mapper
// against the literal per-pixel formula and against OpenCV's
// convertTo + applyColorMap + minMaxLoc.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench_scene.h"
#include "thermal/colour_map.h"

#ifdef KALVEX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using namespace kalvex;

constexpr int kW = 640, kH = 480, kStride = kW * 3;

std::vector<uint16_t> Scene() {
    return bench::GradientScene(6.0);
}

void BM_ColorizeLookup(benchmark::State &state) {
    HueTable hue{};
    BuildHueTable(hue);
    auto raw = Scene();
    std::vector<uint8_t> bgr(kStride * kH);
    CColourMapper mapper(hue);
    ColourRange range;  // auto range on: the table is rebuilt as the range moves
    for (auto _ : state) {
        mapper.ColorizeFrame(ColourFrame{raw.data(), kW * 2, bgr.data(), kStride, kW, kH}, range);
        benchmark::DoNotOptimize(bgr.data());
    }
}
BENCHMARK(BM_ColorizeLookup)->Unit(benchmark::kMicrosecond);

void BM_ColorizeLiteral(benchmark::State &state) {
    HueTable hue{};
    BuildHueTable(hue);
    auto raw = Scene();
    std::vector<uint8_t> bgr(kStride * kH);
    int32_t low = 1000, high = 3000;
    for (auto _ : state) {
        uint32_t mn = 100000, mx = 0;
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c) {
                uint32_t g = raw[static_cast<size_t>(r * kW + c)];
                uint8_t *p = &bgr[static_cast<size_t>(r * kStride + 3 * c)];
                if (static_cast<int32_t>(g) <= low) {
                    p[0] = p[1] = p[2] = 0;
                } else if (static_cast<int32_t>(g) >= high) {
                    p[0] = p[1] = p[2] = 255;
                } else {
                    int k = static_cast<int>(static_cast<float>(static_cast<int32_t>(g) - low) *
                                             360.0 / static_cast<float>(high - low));
                    uint32_t e = hue[static_cast<size_t>(k)];
                    p[0] = static_cast<uint8_t>(e >> 16);
                    p[1] = static_cast<uint8_t>(e >> 8);
                    p[2] = static_cast<uint8_t>(e);
                }
                if (r > kH / 12 && r < kH * 11 / 12 && c > kW / 16 && c < kW * 15 / 16) {
                    mn = std::min(mn, g);
                    mx = std::max(mx, g);
                }
            }
        high = static_cast<int32_t>(std::min<uint32_t>(mx + 120, 16383));
        low = static_cast<int32_t>(std::max<int64_t>(int64_t{mn} - 120, 0));
        benchmark::DoNotOptimize(bgr.data());
    }
}
BENCHMARK(BM_ColorizeLiteral)->Unit(benchmark::kMicrosecond);

#ifdef KALVEX_BENCH_OPENCV
void BM_ColorizeOpenCv(benchmark::State &state) {
    auto raw = Scene();
    cv::Mat src(kH, kW, CV_16UC1, raw.data());
    cv::Mat scaled, colour;
    cv::Rect centre(kW / 16 + 1, kH / 12 + 1, kW * 14 / 16 - 1, kH * 10 / 12 - 1);
    double low = 1000, high = 3000;
    for (auto _ : state) {
        src.convertTo(scaled, CV_8U, 255.0 / (high - low), -low * 255.0 / (high - low));
        cv::applyColorMap(scaled, colour, cv::COLORMAP_JET);
        double mn = 0, mx = 0;
        cv::minMaxLoc(src(centre), &mn, &mx);
        low = std::max(mn - 120, 0.0);
        high = std::min(mx + 120, 16383.0);
        benchmark::DoNotOptimize(colour.data);
    }
}
BENCHMARK(BM_ColorizeOpenCv)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
