// The kalvex program's scene options against the simulated camera's
// radiometry: an emissive spot reads its own temperature once the scene is
// described, the demo scene and scene files are what snapshots show, and bad
// scene options are usage errors.
#include <gtest/gtest.h>

#include <png.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "kalvex_sim.h"
#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

// The centre temperature of snap's summary line; NaN when there is none.
double Centre(const std::string &out) {
    const size_t at = out.find("centre ");
    return at == std::string::npos ? std::nan("") : std::stod(out.substr(at + 7));
}

TEST(ToolScene, EmissiveSpotReadsItsTemperatureWithTheSceneSet) {
    std::string dir = Folder("scene");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin", "--max", "200"}).status, 0);
    const std::vector<std::string> common = {"snap",
                                             "--sim",
                                             "--table",
                                             "t.bin",
                                             "--spot",
                                             "320,240,60,150,0.6",
                                             "--reflected-scene",
                                             "40",
                                             "--transmission",
                                             "0.9",
                                             "--air",
                                             "10"};
    std::vector<std::string> bare = common;
    Result run = Kalvex(dir, bare);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LT(Centre(run.out), 120.0) << run.out;  // a black body's reading
    std::vector<std::string> described = common;
    for (const char *a : {"--emissivity", "0.6", "--reflected", "40"}) described.push_back(a);
    run = Kalvex(dir, described);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NEAR(Centre(run.out), 150.0, 0.1) << run.out;
}

// A snapshot's temperatures (temp-f32, top row first) of snap with args.
std::string SnapTemperatures(const std::string &dir, std::vector<std::string> args) {
    for (const char *a :
         {"--sim", "--nuc-hold", "0", "--table", "t.bin", "--snapshot", "temp-f32:shot.temp-f32"})
        args.push_back(a);
    Result run = Kalvex(dir, args);
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadFile(dir + "/shot.temp-f32");
}

TEST(ToolScene, DemoSceneAndSceneFiles) {
    std::string dir = Folder("scene_image");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin"}).status, 0);
    std::vector<float> demo(640 * 480);
    ASSERT_EQ(KalvexSim_DemoSceneImage(demo.data()), 1);
    // --noise 0: the demo scene's own sensor noise off, so that pixels read
    // the temperature of their raw value.
    std::string temps = SnapTemperatures(dir, {"snap", "--scene", "demo", "--noise", "0"});
    ASSERT_EQ(temps.size(), 1228800u);
    for (auto [x, y] : {std::pair{421, 140}, {595, 370}, {100, 150}, {150, 330}}) {
        const float truth = demo[static_cast<size_t>(y) * 640 + x];
        EXPECT_NEAR(TemperatureAt(temps, y, x), truth, 0.03) << x << "," << y;
    }
    EXPECT_GT(TemperatureAt(temps, 370, 595), 60.0f);  // the mug, upright
    EXPECT_LT(TemperatureAt(temps, 150, 100), 14.0f);  // the window

    // That snapshot as a scene file, with a spot drawn over it; then a 16-bit
    // PNG of hundredths of a kelvin, 25.00 degrees everywhere.
    std::filesystem::rename(dir + "/shot.temp-f32", dir + "/scene.temp-f32");
    std::string again = SnapTemperatures(
        dir, {"snap", "--scene", "scene.temp-f32", "--spot", "10,10,3,80", "--noise", "0"});
    ASSERT_EQ(again.size(), 1228800u);
    EXPECT_NEAR(TemperatureAt(again, 370, 595), TemperatureAt(temps, 370, 595), 0.03);
    EXPECT_FLOAT_EQ(TemperatureAt(again, 10, 10), 80.0f);
    {
        std::vector<uint16_t> flat(640 * 480, 29815);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = 640;
        image.height = 480;
        image.format = PNG_FORMAT_LINEAR_Y;
        ASSERT_TRUE(png_image_write_to_file(&image, (dir + "/flat.png").c_str(), 0, flat.data(), 0,
                                            nullptr));
    }
    std::string png = SnapTemperatures(dir, {"snap", "--scene", "flat.png"});
    ASSERT_EQ(png.size(), 1228800u);
    EXPECT_FLOAT_EQ(TemperatureAt(png, 240, 320), 25.0f);
    png = SnapTemperatures(
        dir, {"snap", "--scene", "flat.png", "--scene-scale", "0.001", "--scene-offset", "0"});
    EXPECT_NEAR(TemperatureAt(png, 240, 320), 29.815, 0.03);

    // A file the simulator refuses, and a scene with a flat background.
    std::ofstream(dir + "/bad.temp-f32") << "not a frame";
    Result run = Kalvex(dir, {"snap", "--sim", "--scene", "bad.temp-f32"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--scene bad.temp-f32: not a 640 x 480"), std::string::npos) << run.err;
    EXPECT_EQ(Kalvex(dir, {"snap", "--sim", "--scene", "demo", "--background", "20"}).status, 2);
    EXPECT_EQ(Kalvex(dir, {"snap", "--sim", "--background", "20", "--scene", "demo"}).status, 2);
}

TEST(ToolScene, BadSceneOptionsAreUsageErrors) {
    std::string dir = Folder("scene_usage");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"snap", "--spot", "1,2,3,40,0"},
             {"snap", "--spot", "1,2,3,40,0.5,7"},
             {"snap", "--emissivity", "1.5"},
             {"snap", "--distance", "10", "--transmission", "0.9"},
             {"snap", "--humidity", "120"},
             {"snap", "--reflected", "-100"}}) {
        EXPECT_EQ(Kalvex(dir, args).status, 2) << args[1];
    }
}

}  // namespace
}  // namespace kalvex::tooltest
