// The simulated camera's radiometry: emissive spots and the path change what
// the sensor sees; black bodies through a clear path stay exactly as set.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/sim_support.h"

namespace kalvex::simtest {
namespace {

class SimRadiometry : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_SetFrameRate(0, 0);
    }
    void TearDown() override { KalvexSim_Reset(); }
    uint16_t SampleAt(int x, int y) {
        Link link;
        const std::vector<uint8_t> frame = link.Frame(614400);
        return Sample16(frame, static_cast<size_t>(y) * 640 + static_cast<size_t>(x));
    }
};

TEST_F(SimRadiometry, SensorSeesTheApparentTemperature) {
    EXPECT_EQ(KalvexSim_ApparentTemperature(36.6, 1.0, 80.0, 1.0, -10.0), 36.6);
    // A grey body hotter than its surroundings looks colder, one colder looks
    // warmer; a lossy path pulls everything toward the path's temperature.
    EXPECT_LT(KalvexSim_ApparentTemperature(150.0, 0.6, 22.0, 1.0, 22.0), 150.0);
    EXPECT_GT(KalvexSim_ApparentTemperature(-10.0, 0.6, 22.0, 1.0, 22.0), -10.0);
    EXPECT_NEAR(KalvexSim_ApparentTemperature(50.0, 0.3, 50.0, 0.5, 50.0), 50.0, 1e-6);

    ASSERT_EQ(KalvexSim_AddSpotEmissive(0, 320, 240, 20, 150.0, 0.6), 0);
    ASSERT_EQ(KalvexSim_AddSpot(0, 100, 100, 20, 80.0), 1);
    ASSERT_EQ(KalvexSim_SetRadiometry(0, 30.0, 0.9, 10.0), 1);
    const double spot = KalvexSim_ApparentTemperature(150.0, 0.6, 30.0, 0.9, 10.0);
    const double black = KalvexSim_ApparentTemperature(80.0, 1.0, 30.0, 0.9, 10.0);
    EXPECT_EQ(SampleAt(320, 240), KalvexSim_RawForTemperature(0, spot));
    EXPECT_EQ(SampleAt(100, 100), KalvexSim_RawForTemperature(0, black));
    EXPECT_LT(black, 80.0);  // the path dims the black body too
}

TEST_F(SimRadiometry, BadRadiometryIsRefused) {
    EXPECT_EQ(KalvexSim_AddSpotEmissive(0, 1, 1, 1, 40.0, 0.0), -1);
    EXPECT_EQ(KalvexSim_AddSpotEmissive(0, 1, 1, 1, 40.0, 1.5), -1);
    EXPECT_EQ(KalvexSim_SetRadiometry(0, 22.0, 0.0, 22.0), 0);
    EXPECT_EQ(KalvexSim_SetRadiometry(0, std::nan(""), 1.0, 22.0), 0);
    EXPECT_EQ(KalvexSim_SetRadiometry(9, 22.0, 1.0, 22.0), 0);
    EXPECT_TRUE(std::isnan(KalvexSim_ApparentTemperature(20.0, 0.0, 22.0, 1.0, 22.0)));
}

}  // namespace
}  // namespace kalvex::simtest
