// Temperatures through a calibration table that matches the simulated sensor,
// before and after the camera's internal temperature drifts.
#include <cmath>
#include <filesystem>
#include <string>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

class Temperatures : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        std::filesystem::create_directories(KALVEX_TEST_TMPDIR);
        tablePath_ = std::string(KALVEX_TEST_TMPDIR) + "/" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tbl";
        ASSERT_EQ(KalvexSim_WriteTable(tablePath_.c_str(), 4, 1000, 0.0, 100.0), 1);
        KalvexSim_SetBackground(0, 22.0);
        KalvexSim_AddSpot(0, 320, 240, 20, 37.0);
    }

    // The temperatures of a published frame, rows as stored.
    std::vector<float> Frame(int id) {
        std::vector<float> t(640 * 480);
        EXPECT_EQ(Kalvex_GetTemperature(handle_, id, t.data(), 640 * 480 * 4), 1);
        return t;
    }
    // Sensor line y is stored as row 479 - y.
    static float At(const std::vector<float> &t, int x, int y) {
        return t[static_cast<size_t>((479 - y) * 640 + x)];
    }
    // Waits for a drift check later than `after` and checks that it started a
    // hold window; then moves the clock to the end of that window.
    void AwaitDriftCheckAndHold(uint32_t after) {
        ASSERT_TRUE(Eventually([&] { return Peer().LastDriftCheck() != after; }));
        const uint32_t check = Peer().LastDriftCheck();
        EXPECT_EQ(Peer().NucStartTime(), check);
        const uint32_t held = platform::TimeGetTime() - check;
        if (held < 1200) platform::AdvanceClock(1200 - held);
    }

    std::string tablePath_;
};

TEST_F(Temperatures, SpotReadsItsTemperatureBeforeAndAfterDrift) {
    ASSERT_EQ(Kalvex_SetTableA(handle_, tablePath_.c_str()), 1);
    EXPECT_EQ(Peer().ReferenceTemperature(), 0.0f);  // the load ran a NUC
    HoldFrames();
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    AwaitDriftCheckAndHold(0);  // the first check finds the reference at 0.0
    const uint32_t firstCheck = Peer().LastDriftCheck();
    ReleaseOneFrame();
    long id = NextFrameMessage();
    ASSERT_NE(id, 0);
    auto t = Frame(static_cast<int>(id));
    EXPECT_NEAR(At(t, 320, 240), 37.0f, 0.1f);
    EXPECT_NEAR(At(t, 10, 10), 22.0f, 0.1f);

    // The camera warms by 5 degrees; its raw values drift with it.
    KalvexSim_SetInternalTemperature(0, KalvexSim_GetInternalTemperature(0) + 5.0);
    // The check runs at the top of a pass: before the last frame fed here is
    // taken, or right after it when the loop was already waiting for it.
    AdvanceClockWhileCapturing(30001);
    AwaitDriftCheckAndHold(firstCheck);
    window_.Drain();
    EXPECT_NEAR(Peer().ReferenceTemperature(), KalvexSim_GetInternalTemperature(0), 1e-4);
    ReleaseOneFrame();
    id = NextFrameMessage();
    ASSERT_NE(id, 0);
    t = Frame(static_cast<int>(id));
    EXPECT_NEAR(At(t, 320, 240), 37.0f, 0.1f);
    EXPECT_NEAR(At(t, 600, 400), 22.0f, 0.1f);
    Kalvex_Close(handle_);
}

TEST_F(Temperatures, BufferChecksAndRowOrder) {
    ASSERT_EQ(Kalvex_SetTableA(handle_, tablePath_.c_str()), 1);
    int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    Codes();
    std::vector<float> t(640 * 480);
    EXPECT_EQ(Kalvex_GetTemperature(handle_, id, t.data(), 640 * 480 * 4 - 1), 0);
    EXPECT_EQ(Kalvex_GetTemperature(handle_, id, nullptr, 640 * 480 * 4), 0);
    EXPECT_EQ(Kalvex_GetTemperature(handle_, 0, t.data(), 640 * 480 * 4), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{5, 5, 6}));
    ASSERT_EQ(Kalvex_GetTemperature(handle_, id, t.data(), 640 * 480 * 4), 1);
    EXPECT_NEAR(At(t, 320, 240), 37.0f, 0.1f);
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    std::vector<float> flipped(640 * 480);
    ASSERT_EQ(Kalvex_GetTemperature(handle_, id, flipped.data(), 640 * 480 * 4), 1);
    EXPECT_TRUE(std::equal(flipped.begin(), flipped.begin() + 640, t.end() - 640));
    EXPECT_NEAR(flipped[240 * 640 + 320], 37.0f, 0.1f);  // camera line order
}

TEST_F(Temperatures, WithoutATableEveryPixelHasNoTemperature) {
    int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    auto t = Frame(id);
    EXPECT_EQ(At(t, 320, 240), -999.0f);
}

}  // namespace
}  // namespace kalvex::test
