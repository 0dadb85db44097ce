// Scene images: every pixel of an image (array, PNG or temp-f32 file) goes
// through the same sensor model as the flat scene; bad images and files are
// refused and change nothing; the demo scene is the same on every call and
// holds what its layout says.
#include <png.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/sim_support.h"

namespace kalvex::simtest {
namespace {

constexpr int kW = KALVEX_SIM_SENSOR_WIDTH, kH = KALVEX_SIM_SENSOR_HEIGHT;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;

class SimSceneImage : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_SetFrameRate(0, 0);
    }
    void TearDown() override { KalvexSim_Reset(); }

    std::vector<uint16_t> Frame() {
        Link link;
        const std::vector<uint8_t> bytes = link.Frame(614400);
        std::vector<uint16_t> raw(bytes.size() / 2);
        for (size_t i = 0; i < raw.size(); ++i) raw[i] = Sample16(bytes, i);
        return raw;
    }
    static std::string Path(const char *name) { return std::string(KALVEX_TEST_TMPDIR "/") + name; }
};

// 15 to about 45 degrees, different in every pixel (not whole raw values).
std::vector<float> Gradient() {
    std::vector<float> t(kPixels);
    for (size_t i = 0; i < kPixels; ++i)
        t[i] = static_cast<float>(15.0 + 0.05 * static_cast<double>(i % kW) +
                                  0.0037 * static_cast<double>(i / kW));
    return t;
}

void WriteFile(const std::string &path, const void *data, size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(bytes));
}

// A greyscale PNG of 8 or 16 bits, samples as given.
void WritePng(const std::string &path, int width, int height, int depth,
              const std::vector<uint16_t> &values) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = depth == 16 ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_GRAY;
    std::vector<uint8_t> bytes(values.begin(), values.end());
    const void *data = depth == 16 ? static_cast<const void *>(values.data()) : bytes.data();
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, data, 0, nullptr));
}

TEST_F(SimSceneImage, ImagePixelsFollowTheSensorModel) {
    const std::vector<float> scene = Gradient();
    ASSERT_EQ(KalvexSim_SetSceneImage(0, scene.data(), nullptr), 1);
    ASSERT_EQ(KalvexSim_AddSpot(0, 600, 400, 5, 80.0), 0);  // spots draw over the image
    for (double internal : {24.99914, 31.0}) {  // no drift, then drift, rebuilt from the image
        ASSERT_EQ(KalvexSim_SetInternalTemperature(0, internal), 1);
        const std::vector<uint16_t> raw = Frame();
        ASSERT_EQ(raw.size(), kPixels);
        for (size_t i = 0; i < kPixels; i += 7) {
            const bool spot = std::hypot(double(i % kW) - 600, double(i / kW) - 400) <= 5;
            ASSERT_EQ(raw[i], KalvexSim_RawForTemperature(0, spot ? 80.0 : scene[i])) << i;
        }
    }

    // Emissivity per pixel through a lossy path: each pixel shows the
    // apparent temperature of its own emissivity.
    std::vector<float> e(kPixels);
    for (size_t i = 0; i < kPixels; ++i) e[i] = static_cast<float>(0.3 + 0.7 * double(i % 97) / 96);
    ASSERT_EQ(KalvexSim_SetRadiometry(0, 30.0, 0.9, 10.0), 1);
    ASSERT_EQ(KalvexSim_SetSceneImage(0, scene.data(), e.data()), 1);
    std::vector<uint16_t> raw = Frame();
    for (size_t i = 5; i < kPixels; i += 4801) {
        const double apparent = KalvexSim_ApparentTemperature(scene[i], e[i], 30.0, 0.9, 10.0);
        EXPECT_EQ(raw[i], KalvexSim_RawForTemperature(0, apparent)) << i;
    }
    // The radiometry set after the image applies to it too.
    ASSERT_EQ(KalvexSim_SetRadiometry(0, 22.0, 1.0, 22.0), 1);
    raw = Frame();
    const size_t probe = 240 * kW + 100;
    EXPECT_EQ(raw[probe], KalvexSim_RawForTemperature(
                              0, KalvexSim_ApparentTemperature(scene[probe], e[probe], 22, 1, 22)));

    // The flat background ends the image.
    ASSERT_EQ(KalvexSim_SetBackground(0, 22.0), 1);
    raw = Frame();
    EXPECT_EQ(raw[probe], KalvexSim_RawForTemperature(0, 22.0));
    EXPECT_EQ(raw[0], raw[kPixels - 1]);
}

TEST_F(SimSceneImage, PngAndTempF32FilesLoad) {
    // PNG: 29315 + v hundredths of a kelvin, 20.00 degrees and up, different
    // in every pixel of a row (row 0 the top).
    std::vector<uint16_t> values(kPixels);
    for (size_t i = 0; i < kPixels; ++i) values[i] = static_cast<uint16_t>(29315 + (i * 7) % 3000);
    const std::string png = Path("scene16.png");
    WritePng(png, kW, kH, 16, values);
    ASSERT_EQ(
        KalvexSim_LoadSceneImageA(0, png.c_str(), KALVEX_SIM_PNG_SCALE, KALVEX_SIM_PNG_OFFSET), 1);
    std::vector<uint16_t> raw = Frame();
    for (size_t i : {size_t{0}, size_t{639}, size_t{12345}, kPixels - 1}) {
        const auto celsius = static_cast<float>(KALVEX_SIM_PNG_OFFSET + values[i] * 0.01);
        EXPECT_EQ(raw[i], KalvexSim_RawForTemperature(0, celsius)) << i;
    }
    // Another scale reads the same file otherwise.
    ASSERT_EQ(KalvexSim_LoadSceneImageA(0, png.c_str(), 0.001, 0.0), 1);
    EXPECT_EQ(Frame()[0], KalvexSim_RawForTemperature(0, static_cast<float>(29.315)));

    // temp-f32: two frames, the first is the scene.
    std::vector<float> frames = Gradient();
    frames.resize(2 * kPixels, 90.0f);
    const std::string f32 = Path("scene.temp-f32");
    WriteFile(f32, frames.data(), frames.size() * 4);
    ASSERT_EQ(KalvexSim_LoadSceneImageA(0, f32.c_str(), 0.0, 0.0), 1);
    raw = Frame();
    for (size_t i : {size_t{0}, size_t{641}, size_t{200000}, kPixels - 1})
        EXPECT_EQ(raw[i], KalvexSim_RawForTemperature(0, frames[i])) << i;
}

TEST_F(SimSceneImage, BadImagesAndFilesAreRefusedAndChangeNothing) {
    const std::vector<float> scene = Gradient();
    ASSERT_EQ(KalvexSim_SetSceneImage(0, scene.data(), nullptr), 1);
    const std::vector<uint16_t> before = Frame();

    std::vector<float> bad = scene;
    EXPECT_EQ(KalvexSim_SetSceneImage(0, nullptr, nullptr), 0);
    EXPECT_EQ(KalvexSim_SetSceneImage(9, scene.data(), nullptr), 0);
    bad[1000] = std::nanf("");
    EXPECT_EQ(KalvexSim_SetSceneImage(0, bad.data(), nullptr), 0);
    bad[1000] = -999.0f;
    EXPECT_EQ(KalvexSim_SetSceneImage(0, bad.data(), nullptr), 0);
    std::vector<float> e(kPixels, 1.0f);
    e[kPixels - 1] = 0.0f;
    EXPECT_EQ(KalvexSim_SetSceneImage(0, scene.data(), e.data()), 0);

    // Files: wrong size, bit depth, truncation, a partial frame, -999.
    std::vector<uint16_t> values(kPixels, 29315);
    const std::string small = Path("small.png"), eight = Path("eight.png");
    const std::string cut = Path("cut.png"), png = Path("whole.png");
    WritePng(small, 320, 240, 16, values);
    WritePng(eight, kW, kH, 8, values);
    WritePng(png, kW, kH, 16, values);
    std::ifstream in(png, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 100u);
    WriteFile(cut, bytes.data(), bytes.size() - 20);
    const std::vector<float> frame = Gradient();
    const std::string shortFrame = Path("short.temp-f32"), partial = Path("partial.temp-f32");
    const std::string missing = Path("missing.temp-f32");
    WriteFile(shortFrame, frame.data(), kPixels * 4 - 4);
    std::vector<float> oneAndHalf = frame;
    oneAndHalf.resize(kPixels * 3 / 2, 20.0f);
    WriteFile(partial, oneAndHalf.data(), oneAndHalf.size() * 4);
    std::vector<float> hole = frame;
    hole[4242] = -999.0f;
    const std::string holed = Path("hole.temp-f32");
    WriteFile(holed, hole.data(), kPixels * 4);
    for (const std::string &path : {small, eight, cut, shortFrame, partial, holed, missing})
        EXPECT_EQ(KalvexSim_LoadSceneImageA(0, path.c_str(), 0.01, -273.15), 0) << path;
    EXPECT_EQ(KalvexSim_LoadSceneImageA(0, nullptr, 0.01, -273.15), 0);
    EXPECT_EQ(KalvexSim_LoadSceneImageA(0, png.c_str(), std::nan(""), 0.0), 0);
    EXPECT_EQ(KalvexSim_LoadSceneImageA(0, png.c_str(), 1.0, -400.0), 0);  // below absolute zero
    EXPECT_EQ(KalvexSim_LoadSceneImageA(8, png.c_str(), 0.01, -273.15), 0);
    EXPECT_EQ(Frame(), before);
}

TEST_F(SimSceneImage, DemoSceneIsTheSameEveryTimeAndHoldsItsLayout) {
    std::vector<float> a(kPixels), b(kPixels, 0.0f);
    ASSERT_EQ(KalvexSim_DemoSceneImage(a.data()), 1);
    ASSERT_EQ(KalvexSim_DemoSceneImage(b.data()), 1);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), kPixels * 4), 0);
    EXPECT_EQ(KalvexSim_DemoSceneImage(nullptr), 0);

    // Region boxes of the layout in kalvex_sim.h: [x0, x1) x [y0, y1).
    auto box = [&](int x0, int y0, int x1, int y1) {
        float low = 1e9f, high = -1e9f;
        double sum = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const float t = a[static_cast<size_t>(y) * kW + x];
                low = std::min(low, t), high = std::max(high, t), sum += t;
            }
        struct {
            float low, high;
            double mean;
        } r{low, high, sum / ((x1 - x0) * (y1 - y0))};
        return r;
    };
    auto within = [&](const char *region, auto r, float low, float high) {
        EXPECT_GE(r.low, low) << region;
        EXPECT_LE(r.high, high) << region;
    };
    auto wall = box(280, 20, 360, 60), glass = box(58, 60, 133, 230);
    auto fins = box(55, 310, 235, 405), face = box(398, 105, 444, 180);
    within("wall", wall, 20.6f, 21.5f);
    within("glass", glass, 10.0f, 14.0f);
    EXPECT_LT(glass.high, wall.low - 6.0f);  // the window colder than the wall
    within("fins", fins, 34.0f, 50.0f);
    EXPECT_GE(fins.high, 48.0f);
    EXPECT_LT(fins.low, 40.0f);                     // striped: cooler between the fins
    EXPECT_GE(box(55, 400, 235, 401).high, 44.5f);  // and still 45 at their bottom
    within("face", face, 33.0f, 36.0f);
    EXPECT_GE(face.mean, 34.0);
    within("clothes", box(340, 250, 500, 395), 28.0f, 30.0f);
    within("mug", box(578, 340, 612, 398), 60.0f, 70.0f);
    within("coffee", box(585, 331, 605, 335), 68.0f, 70.0f);
    EXPECT_GE(box(628, 355, 634, 370).high, 42.0f);  // the handle warm
    // Soft edges: no step of a degree or more between neighbours on the wall
    // side of the window frame, though wall and frame differ by four.
    for (int x = 250; x < 262; ++x)
        EXPECT_LT(std::abs(a[150 * kW + x + 1] - a[150 * kW + x]), 1.0f) << x;

    // On the camera: the demo scene with its temporal noise, 50 mK.
    ASSERT_EQ(KalvexSim_SetDemoScene(0), 1);
    const std::vector<uint16_t> noisy1 = Frame(), noisy2 = Frame();
    double squares = 0;
    for (size_t i = 0; i < kPixels; ++i) {
        const int d = noisy1[i] - KalvexSim_RawForTemperature(0, a[i]);
        ASSERT_LE(std::abs(d), KALVEX_SIM_DEMO_NOISE);
        squares += d * d;
    }
    EXPECT_NEAR(std::sqrt(squares / kPixels), 2.0, 0.1);
    EXPECT_NE(noisy1, noisy2);
    ASSERT_EQ(KalvexSim_SetTemporalNoise(0, 0, 0), 1);
    const std::vector<uint16_t> clean = Frame();
    ASSERT_EQ(KalvexSim_SetDemoScene(0), 1);
    ASSERT_EQ(KalvexSim_SetTemporalNoise(0, 0, 0), 1);
    EXPECT_EQ(Frame(), clean);
    EXPECT_EQ(clean[140 * kW + 421], KalvexSim_RawForTemperature(0, a[140 * kW + 421]));
}

}  // namespace
}  // namespace kalvex::simtest
