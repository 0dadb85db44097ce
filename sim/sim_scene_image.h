// A scene given as a temperature image: what the simulated camera looks at
// instead of its flat background. The image is checked and its apparent
// temperatures (the radiometry) worked out once, when it is set, so that the
// sensor image can be rebuilt from it for every change of the internal
// temperature at the cost of the raw model alone.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim_radiometry.h"

namespace kalvex::sim {

constexpr int kImageWidth = KALVEX_SIM_SENSOR_WIDTH;
constexpr int kImageHeight = KALVEX_SIM_SENSOR_HEIGHT;
constexpr size_t kImagePixels = static_cast<size_t>(kImageWidth) * kImageHeight;
// A temp-f32 frame: one little-endian float32 per pixel, top row first.
constexpr size_t kTempF32FrameBytes = kImagePixels * 4;
// Scene temperatures the model takes (the radiometry's range of inversion).
constexpr double kImageColdest = -273.15;
constexpr double kImageHottest = 5000.0;

struct SceneImage {
    std::vector<float> celsius;     // kImagePixels, row 0 = sensor line 0 = top of the scene
    std::vector<float> emissivity;  // empty: 1 everywhere
};

// A copy of the caller's arrays, or null when a value is out of range (a
// temperature not finite or outside kImageColdest..kImageHottest, an
// emissivity outside 0 < e <= 1) or celsius is null. emissivity may be null.
std::shared_ptr<const SceneImage> MakeSceneImage(const float *celsius, const float *emissivity);

// The scene of a file: a 640 x 480 16-bit greyscale PNG, each value v giving
// offset + v * scale degrees, or the first frame of a temp-f32 file (a
// positive whole number of frames). Null for anything else, a file that does
// not read in full, or temperatures out of range.
std::shared_ptr<const SceneImage> LoadSceneImage(const char *path, double scale, double offset);

// The black-body temperature the sensor sees at each pixel (see "Sensor
// model" in kalvex_sim.h).
std::vector<double> ApparentImage(const SceneImage &image, const Radiometry &radiometry);

// The built-in demo scene (demo_scene.cpp): the same image on every call.
std::shared_ptr<const SceneImage> DemoScene();

}  // namespace kalvex::sim
