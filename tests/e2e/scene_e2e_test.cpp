// Scene compensation through the exports, on frames of the simulated camera
// whose radiometry is computed independently of the library's.
#include <bit>
#include <cmath>
#include <filesystem>
#include <string>

#include "kalvex_scene.h"
#include "output/output_test_support.h"
#include "thermal/instance_fixture.h"
#include "thermal/radiance.h"

namespace kalvex::test {
namespace {

constexpr int kPixels = 640 * 480;

class SceneE2e : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        const std::string path = TmpFile("scene_e2e.tbl");
        // Version 4, -40 to 230 degrees: every raw value of the grid below.
        ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 1000, -40.0, 230.0), 1);
        ASSERT_EQ(Kalvex_SetTableA(handle_, path.c_str()), 1);
        Codes();
    }
    std::vector<float> Frame() {
        const int id = Kalvex_OneShot(handle_);
        EXPECT_NE(id, 0);
        std::vector<float> t(kPixels);
        EXPECT_EQ(Kalvex_GetTemperature(handle_, id, t.data(), kPixels * 4), 1);
        return t;
    }
    // Sensor line y is stored as row 479 - y.
    static float At(const std::vector<float> &t, int x, int y) {
        return t[static_cast<size_t>((479 - y) * 640 + x)];
    }
    void SetScene(float e, float refl, float tau, float atm = 22.0f) {
        KalvexScene s;
        KalvexScene_Default(&s);
        s.emissivity = e, s.reflected = refl, s.transmission = tau, s.atmosphere = atm;
        ASSERT_EQ(KalvexScene_Set(handle_, &s), 1);
    }
};

TEST_F(SceneE2e, ArgumentsAndEvents) {
    KalvexScene s;
    KalvexScene_Default(&s);
    EXPECT_EQ(KalvexScene_Set(0x7123, &s), 0);  // unknown handle: nothing recorded
    EXPECT_EQ(KalvexScene_Get(0x7123, &s), 0);
    EXPECT_EQ(KalvexScene_SetEmissivityMap(0x7123, nullptr, 0), 0);
    KalvexScene bad = s;
    bad.humidity = 1.5f;
    EXPECT_EQ(KalvexScene_Set(handle_, &bad), 0);
    bad = s;
    bad.bandHigh = bad.bandLow;
    EXPECT_EQ(KalvexScene_Set(handle_, &bad), 0);
    bad = s;
    bad.emissivity = std::nanf("");
    EXPECT_EQ(KalvexScene_Set(handle_, &bad), 0);
    EXPECT_EQ(KalvexScene_Get(handle_, nullptr), 0);
    std::vector<float> map(kPixels, 0.9f);
    EXPECT_EQ(KalvexScene_SetEmissivityMap(handle_, map.data(), kPixels - 1), 0);
    map[77] = std::nanf("");
    EXPECT_EQ(KalvexScene_SetEmissivityMap(handle_, map.data(), kPixels), 0);
    EXPECT_EQ(Codes(), std::vector<int>(6, KALVEX_EV_INVALID_ARGUMENT));

    // A failed set keeps the previous scene; Get returns it as set (unclamped).
    s.emissivity = 1.7f;
    s.distance = 20.0f;
    ASSERT_EQ(KalvexScene_Set(handle_, &s), 1);
    EXPECT_EQ(KalvexScene_Set(handle_, &bad), 0);
    KalvexScene got;
    ASSERT_EQ(KalvexScene_Get(handle_, &got), 1);
    EXPECT_EQ(got.emissivity, 1.7f);
    EXPECT_EQ(got.distance, 20.0f);
    ASSERT_EQ(KalvexScene_Set(handle_, nullptr), 1);
    ASSERT_EQ(KalvexScene_Get(handle_, &got), 1);
    EXPECT_EQ(got.emissivity, 1.0f);
    EXPECT_EQ(got.bandHigh, 14.0f);
}

TEST_F(SceneE2e, DefaultSceneAndUnitMapChangeNoTemperature) {
    // The test pattern holds every 14-bit raw value.
    KalvexSim_SetTestPattern(0, 1);
    const std::vector<float> before = Frame();
    SetScene(0.5f, 40.0f, 0.9f);
    KalvexScene_Set(handle_, nullptr);
    const std::vector<float> map(kPixels, 1.0f);
    ASSERT_EQ(KalvexScene_SetEmissivityMap(handle_, map.data(), kPixels), 1);
    const std::vector<float> after = Frame();
    const auto state = Peer().Table().State();
    int differing = 0;
    for (int i = 0; i < kPixels; ++i) {
        differing += std::bit_cast<uint32_t>(before[i]) != std::bit_cast<uint32_t>(after[i]);
    }
    EXPECT_EQ(differing, 0);
    const auto raw0 = static_cast<uint16_t>(KALVEX_SIM_PATTERN(479, 0));
    EXPECT_EQ(after[0], state->lookup[raw0]);
}

TEST_F(SceneE2e, GridSampleReadsTheObjectWithin0_1Degree) {
    struct Case {
        double celsius, emissivity, reflected, transmission;
    };
    const Case cases[] = {{-20.0, 0.5, 50.0, 0.8}, {200.0, 0.5, -20.0, 0.8},
                          {37.0, 0.98, 22.0, 1.0}, {120.0, 0.7, 50.0, 0.9},
                          {0.0, 0.9, -20.0, 1.0},  {200.0, 1.0, 50.0, 0.8}};
    for (const Case &c : cases) {
        KalvexSim_ClearSpots(0);
        KalvexSim_AddSpotEmissive(0, 320, 240, 30, c.celsius, c.emissivity);
        KalvexSim_SetRadiometry(0, c.reflected, c.transmission, 10.0);
        SetScene(static_cast<float>(c.emissivity), static_cast<float>(c.reflected),
                 static_cast<float>(c.transmission), 10.0f);
        const auto t = Frame();
        EXPECT_NEAR(At(t, 320, 240), c.celsius, 0.1) << c.celsius << " e " << c.emissivity;
    }
}

TEST_F(SceneE2e, MapReadsTwoMaterialsAndSavesAndRecordingConversionFollow) {
    KalvexSim_SetRadiometry(0, 35.0, 1.0, 22.0);
    KalvexSim_AddSpotEmissive(0, 160, 240, 40, 90.0, 0.6);   // oxidised steel
    KalvexSim_AddSpotEmissive(0, 480, 240, 40, 90.0, 0.95);  // painted panel
    SetScene(1.0f, 35.0f, 1.0f);
    std::vector<float> map(kPixels, 1.0f);
    // Output order: row r is sensor line 479 - r (parameter 17 is 0).
    for (int r = 0; r < 480; ++r)
        for (int x = 0; x < 640; ++x)
            map[static_cast<size_t>(r * 640 + x)] = x < 320 ? 0.6f : 0.95f;
    ASSERT_EQ(KalvexScene_SetEmissivityMap(handle_, map.data(), kPixels), 1);
    const auto t = Frame();
    EXPECT_NEAR(At(t, 160, 240), 90.0, 0.1);
    EXPECT_NEAR(At(t, 480, 240), 90.0, 0.1);

    // Saves 12 (int32 through the interpolation) and 13 (float through the
    // lookup), and a temperature recording, give the same object temperatures.
    const std::string f32 = TmpFile("scene_map.f32"), i32 = TmpFile("scene_map.i32");
    ASSERT_EQ(Kalvex_SaveA(handle_, f32.c_str(), KALVEX_SAVE_TEMP_F32), 1);
    ASSERT_EQ(Kalvex_SaveA(handle_, i32.c_str(), KALVEX_SAVE_TEMP_I32), 1);
    const auto bytes = ReadAll(f32), ints = ReadAll(i32);
    ASSERT_EQ(bytes.size(), size_t{kPixels} * 4);
    ASSERT_EQ(ints.size(), size_t{kPixels} * 4);
    // Type 13 reads from the first buffer row, type 12 from the last.
    for (int x : {160, 480}) {
        const size_t stored = static_cast<size_t>((479 - 240) * 640 + x);
        const size_t flipped = static_cast<size_t>(240 * 640 + x);
        EXPECT_EQ(std::bit_cast<float>(Le32(bytes, stored * 4)), t[stored]);
        EXPECT_EQ(static_cast<int32_t>(Le32(ints, flipped * 4)), static_cast<int32_t>(t[stored]));
    }
    const auto state = Peer().Table().State();
    const CDibImage &slot = instance_->CurrentRawImage();
    const int32_t row = 479 - 240;
    const auto *line = reinterpret_cast<const uint16_t *>(slot.Row(row));
    EXPECT_EQ(state->InterpolateTemperatureAt(line[160], row, 160),
              t[static_cast<size_t>(row * 640 + 160)]);
}

}  // namespace
}  // namespace kalvex::test
