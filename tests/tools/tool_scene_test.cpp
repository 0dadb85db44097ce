// The kalvex program's scene options against the simulated camera's
// radiometry: an emissive spot reads its own temperature once the scene is
// described, and bad scene options are usage errors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

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
