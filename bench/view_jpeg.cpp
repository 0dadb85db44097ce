// kalvex view encodes every frame once for all its clients: one 640 x 480
// colour frame to JPEG at the stream's default quality, from the library's
// bottom-up rows. The frame looks like a thermal scene (smooth background,
// discs, a little noise), which is what the encoder sees in practice.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "view_image.h"

namespace {

std::vector<unsigned char> SceneLikeFrame() {
    std::vector<unsigned char> bgr(640 * 480 * 3);
    uint32_t seed = 12345;
    for (int r = 0; r < 480; ++r) {
        for (int c = 0; c < 640; ++c) {
            int dx = c - 320, dy = r - 240;
            bool disc = dx * dx + dy * dy < 90 * 90;
            seed = seed * 1664525u + 1013904223u;
            int noise = static_cast<int>(seed >> 29);
            unsigned char *p = &bgr[(static_cast<size_t>(r) * 640 + c) * 3];
            p[0] = static_cast<unsigned char>(disc ? 20 : 200 - r / 4 + noise);
            p[1] = static_cast<unsigned char>(disc ? 230 : 90 + c / 8 + noise);
            p[2] = static_cast<unsigned char>(disc ? 250 : 10 + noise);
        }
    }
    return bgr;
}

void BM_ViewJpegFrame(benchmark::State &state) {
    std::vector<unsigned char> bgr = SceneLikeFrame();
    const int quality = static_cast<int>(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string jpeg = kalvex_tool::EncodeJpeg({bgr.data(), 640, 480, true}, quality);
        bytes = jpeg.size();
        benchmark::DoNotOptimize(jpeg.data());
    }
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ViewJpegFrame)->Arg(80)->Arg(95)->Unit(benchmark::kMillisecond);

}  // namespace
