// The frame the colour and measurement benchmarks share: a gradient with
// sensor noise and one warm disc, as raw values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kalvex::bench {

constexpr int kSceneWidth = 640, kSceneHeight = 480;

inline std::vector<uint16_t> GradientScene(double noiseSigma) {
    std::vector<uint16_t> raw(kSceneWidth * kSceneHeight);
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, noiseSigma);
    for (int r = 0; r < kSceneHeight; ++r)
        for (int c = 0; c < kSceneWidth; ++c) {
            double v = 8000.0 + 3.0 * r + 0.5 * c + noise(rng);
            double dx = c - 320, dy = r - 240;
            if (dx * dx + dy * dy < 40 * 40) v += 600.0;
            raw[static_cast<size_t>(r * kSceneWidth + c)] =
                static_cast<uint16_t>(std::clamp(v, 0.0, 16383.0));
        }
    return raw;
}

}  // namespace kalvex::bench
