// The numeric parameter interface and camera register access.
#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

using Parameters = InstanceTest;

TEST_F(Parameters, NewInstanceDefaults) {
    const int expected[18] = {640,  480,  0,  0,    0,    0, 0, 30, 10,
                              1200, 2000, -1, 1000, 3000, 1, 0, 0,  0};
    for (int id = 1; id <= 18; ++id)
        EXPECT_EQ(Kalvex_GetParam(handle_, id), expected[id - 1]) << "parameter " << id;
}

TEST_F(Parameters, StoredValuesAndRefusals) {
    Codes();
    EXPECT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_RING_LENGTH, 50), 0);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RING_LENGTH), 30);
    EXPECT_EQ(Codes(), std::vector<int>{5});
    EXPECT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_NUC, 7), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_AUTO_NUC), 1);
    EXPECT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_NUC, 0), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_AUTO_NUC), 0);
    EXPECT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_RESERVED, 1), 0);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RESERVED), 0);
    EXPECT_EQ(Codes(), std::vector<int>{10});
    // No range is enforced on the stored settings.
    for (int id : {9, 10, 11, 12, 13, 14, 17, 18}) {
        EXPECT_EQ(Kalvex_SetParam(handle_, id, -77), 1);
        EXPECT_EQ(Kalvex_GetParam(handle_, id), -77) << "parameter " << id;
    }
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Parameters, OtherIdsReachCameraRegisters) {
    KalvexSim_SetTriggerLevel(0, 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, 263), 0x04);  // register 7
    EXPECT_EQ(Kalvex_SetParam(handle_, 300, 0x1FF), 1);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 44), 0xFF);
    EXPECT_EQ(Kalvex_SetParam(handle_, 1, 5), 1);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 1), 5);
    EXPECT_EQ(Kalvex_GetParam(handle_, 1), 640);
    EXPECT_EQ(Kalvex_SetParam(handle_, -200, 9), 1);  // -200 & 0xFF = 56
    EXPECT_EQ(KalvexSim_ReadRegister(0, 56), 9);
    EXPECT_EQ(Kalvex_GetParam(handle_, 0), KalvexSim_ReadRegister(0, 0));
    KalvexSim_Unplug(0);
    Codes();
    EXPECT_EQ(Kalvex_GetParam(handle_, 100), 0);
    EXPECT_EQ(Kalvex_SetParam(handle_, 100, 1), 0);
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Parameters, PauseSurvivesCloseAndPreview) {
    Kalvex_Pause(handle_);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    Kalvex_Close(handle_);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PAUSE), 1);
    Kalvex_Start(handle_);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PAUSE), 0);
}

}  // namespace
}  // namespace kalvex::test
