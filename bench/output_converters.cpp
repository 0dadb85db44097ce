// Pixel row converters on one camera frame (640 x 480); "per_pixel" is the
// time per pixel. Conv16To16Flip is measured beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "output/pixel_converters.h"

namespace kalvex {
namespace {

constexpr int32_t kWidth = 640;
constexpr int32_t kHeight = 480;

struct Frame {
    std::vector<uint8_t> bytes;
    IMAGEVIEW view;
    explicit Frame(uint32_t bitCount) {
        const uint32_t stride = (kWidth * (bitCount / 8) + 3) & ~3u;
        bytes.resize(static_cast<size_t>(stride) * kHeight);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 37 + (i >> 9));
        view =
            IMAGEVIEW{40, kWidth, kHeight, stride, bitCount, bytes.data(), 0, 0, kWidth, kHeight};
    }
};

void PerPixel(benchmark::State &state) {
    state.counters["per_pixel"] = benchmark::Counter(
        static_cast<double>(kWidth) * kHeight,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RunKernel(benchmark::State &state, PixelConverter kernel, uint32_t sourceBits,
               uint32_t destinationBits) {
    Frame src(sourceBits), dst(destinationBits);
    for (auto _ : state) {
        kernel(&dst.view, &src.view, nullptr, 0, 0);
        benchmark::DoNotOptimize(dst.bytes.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state);
}

BENCHMARK_CAPTURE(RunKernel, Conv16To16, Conv16To16, 16, 16);
BENCHMARK_CAPTURE(RunKernel, Conv16To16Flip, Conv16To16Flip, 16, 16);
BENCHMARK_CAPTURE(RunKernel, Conv16To8, Conv16To8, 16, 8);
BENCHMARK_CAPTURE(RunKernel, Conv48To48, Conv48To48, 48, 48);
BENCHMARK_CAPTURE(RunKernel, Conv48To48FlipSwap, Conv48To48FlipSwap, 48, 48);
BENCHMARK_CAPTURE(RunKernel, Conv64To64, Conv64To64, 64, 64);
BENCHMARK_CAPTURE(RunKernel, Conv64To64FlipSwap, Conv64To64FlipSwap, 64, 64);
BENCHMARK_CAPTURE(RunKernel, Conv48To24, Conv48To24, 48, 24);
BENCHMARK_CAPTURE(RunKernel, Conv48To24_from64, Conv48To24, 64, 24);
BENCHMARK_CAPTURE(RunKernel, Conv24To24FlipSwap, Conv24To24FlipSwap, 24, 24);
BENCHMARK_CAPTURE(RunKernel, Conv32To32FlipSwap, Conv32To32FlipSwap, 32, 32);
BENCHMARK_CAPTURE(RunKernel, Conv32To24, Conv32To24, 32, 24);
BENCHMARK_CAPTURE(RunKernel, Conv8To8Flip, Conv8To8Flip, 8, 8);
BENCHMARK_CAPTURE(RunKernel, CopyBuffer24, ConvCopyBuffer, 24, 24);
// The dispatcher's checks on top of the kernel.
BENCHMARK_CAPTURE(RunKernel, ConvFlipRgb16, ConvFlipRgb, 16, 16);

// The floor for Conv16To16Flip: the same 614,400 bytes moved by memcpy.
void Memcpy16BitFrame(benchmark::State &state) {
    Frame src(16), dst(16);
    for (auto _ : state) {
        std::memcpy(dst.bytes.data(), src.bytes.data(), src.bytes.size());
        benchmark::DoNotOptimize(dst.bytes.data());
        benchmark::ClobberMemory();
    }
    PerPixel(state);
}
BENCHMARK(Memcpy16BitFrame);

}  // namespace
}  // namespace kalvex
