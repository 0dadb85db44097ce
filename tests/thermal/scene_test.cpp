// Scene compensation without a camera: the radiance table against an
// independent integration of Planck's law, the model against the simulated
// camera's physics, clamping, and folds that match per-pixel work to the bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "kalvex_scene.h"
#include "kalvex_sim.h"
#include "thermal/radiance.h"
#include "thermal/scene_fold.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

KalvexScene Scene(float emissivity, float reflected = 22.0f, float transmission = 1.0f,
                  float atmosphere = 22.0f) {
    KalvexScene s = DefaultScene();
    s.emissivity = emissivity;
    s.reflected = reflected;
    s.transmission = transmission;
    s.atmosphere = atmosphere;
    return s;
}

bool SameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

TEST(Radiance, SeriesMatchesNumericalIntegrationAndRoundTrips) {
    // The simulator integrates Planck's law over 8-14 um with Simpson's rule.
    for (double c : {-55.0, -20.0, 0.0, 37.0, 300.0, 1500.0, 2050.0}) {
        const double series = BandRadianceSeries(c + kKelvinOffset, 8.0, 14.0);
        EXPECT_NEAR(series / KalvexSim_BandRadiance(c), 1.0, 1e-8) << c;  // c1 to 10 digits
    }
    const RadianceTable table(8.0, 14.0);
    double worst = 0.0;
    for (double c = -60.0; c <= 2100.0; c += 0.37)
        worst = std::max(worst, std::fabs(table.Temperature(table.LogRadiance(c)) - c));
    EXPECT_LT(worst, 1e-9);
    EXPECT_TRUE(std::isnan(table.LogRadiance(-60.5)));
    EXPECT_TRUE(std::isnan(table.LogRadiance(2100.5)));
    EXPECT_TRUE(std::isnan(table.Temperature(table.Logs().front() - 1e-6)));
}

TEST(Radiance, CompensationRecoversTheSimulatedObjectWithin3mK) {
    // The exact apparent temperature from the simulator's physics, compensated
    // by the library's table: only the table's interpolation is left.
    double worst = 0.0;
    for (double t : {-20.0, 25.0, 120.0, 200.0})
        for (double e : {0.5, 0.8, 1.0})
            for (double refl : {-20.0, 50.0})
                for (double tau : {0.8, 1.0}) {
                    const double bb = KalvexSim_ApparentTemperature(t, e, refl, tau, 22.0);
                    const SceneModel model(Scene(static_cast<float>(e), static_cast<float>(refl),
                                                 static_cast<float>(tau)));
                    // Float temperatures carry ~1e-5 K of rounding of their own.
                    const double got = model.Compensate(static_cast<float>(bb), e);
                    worst = std::max(worst, std::fabs(got - t));
                }
    EXPECT_LT(worst, 0.003);
}

TEST(Radiance, ClampingAndMissingTemperatures) {
    const SceneModel model(Scene(0.5f, 100.0f));
    EXPECT_EQ(model.Compensate(kNoTemperature, 0.5), kNoTemperature);
    // A black body colder than the reflection it would have to contain.
    EXPECT_EQ(model.Compensate(-50.0f, 0.5), kNoTemperature);
    EXPECT_EQ(model.Compensate(-70.0f, 0.5), kNoTemperature);  // below the table
    EXPECT_EQ(model.Compensate(30.0f, 0.0), model.Compensate(30.0f, 0.01));
    EXPECT_EQ(model.Compensate(30.0f, 7.0), model.Compensate(30.0f, 1.0));
    EXPECT_EQ(model.Compensate(30.0f, 1.0), 30.0f);  // e = 1, tau = 1: untouched

    KalvexScene s = Scene(1.0f, 22.0f, 0.0f);
    EXPECT_FLOAT_EQ(KalvexScene_Transmission(&s), 0.01f);
    s.transmission = 3.0f;
    EXPECT_FLOAT_EQ(KalvexScene_Transmission(&s), 1.0f);
    s.distance = 10.0f;  // 50 % humidity at 22 degrees
    EXPECT_NEAR(KalvexScene_Transmission(&s), 0.9797, 1e-3);
    s.distance = 100.0f;
    EXPECT_LT(KalvexScene_Transmission(&s), 0.9797f);
    for (auto bad : {&KalvexScene::bandLow, &KalvexScene::humidity, &KalvexScene::distance,
                     &KalvexScene::reflected}) {
        KalvexScene b = DefaultScene();
        b.*bad = bad == &KalvexScene::reflected ? -100.0f : -1.0f;
        EXPECT_FALSE(SceneValid(b));
        EXPECT_LT(KalvexScene_Transmission(&b), 0.0f);
    }
    KalvexScene band = DefaultScene();
    band.bandLow = 14.0f;
    EXPECT_FALSE(SceneValid(band));
    band.bandLow = std::nanf("");
    EXPECT_FALSE(SceneValid(band));
}

TEST(SceneCompensate, PureFunctionArguments) {
    const KalvexScene s = Scene(0.8f, 30.0f);
    std::vector<float> t = {25.0f, kNoTemperature, 80.0f};
    std::vector<float> out(3);
    ASSERT_EQ(KalvexScene_Compensate(&s, nullptr, t.data(), out.data(), 3), 1);
    EXPECT_EQ(out[1], kNoTemperature);
    const SceneModel model(s);
    EXPECT_EQ(out[2], model.Compensate(80.0f, 0.8));
    // Per-pixel emissivities, in place.
    const float e[3] = {1.0f, 0.5f, 0.5f};
    ASSERT_EQ(KalvexScene_Compensate(&s, e, t.data(), t.data(), 3), 1);
    EXPECT_EQ(t[0], 25.0f);
    EXPECT_EQ(t[2], model.Compensate(80.0f, 0.5));
    const float nan[1] = {std::nanf("")};
    EXPECT_EQ(KalvexScene_Compensate(&s, nan, t.data(), out.data(), 1), 0);
    EXPECT_EQ(KalvexScene_Compensate(nullptr, nullptr, t.data(), out.data(), 1), 0);
    EXPECT_EQ(KalvexScene_Compensate(&s, nullptr, nullptr, out.data(), 1), 0);
    EXPECT_EQ(KalvexScene_Compensate(&s, nullptr, t.data(), out.data(), -1), 0);
    EXPECT_EQ(KalvexScene_Compensate(&s, nullptr, nullptr, nullptr, 0), 1);
}

// A version-4 table of the simulated camera in a CThermoTable.
class SceneFolds : public ::testing::Test {
  protected:
    void SetUp() override {
        // One file per test: CTest runs the cases of this fixture in parallel processes.
        const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/scene_fold_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 ".tbl";
        ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 400, -40.0, 220.0), 1);
        ASSERT_EQ(table_.LoadTable(std::wstring(path.begin(), path.end()).c_str()), 1);
    }
    CThermoTable table_;
};

TEST_F(SceneFolds, DefaultSceneLeavesEveryRawValueBitIdentical) {
    const auto before = table_.State();
    ASSERT_EQ(table_.SetScene(std::make_shared<SceneModel>(Scene(0.7f)), nullptr), 1);
    ASSERT_EQ(table_.SetScene(nullptr, nullptr), 1);
    auto after = table_.State();
    EXPECT_EQ(after->scene, nullptr);
    // An explicit scene that changes nothing folds nothing either.
    ASSERT_EQ(table_.SetScene(std::make_shared<SceneModel>(Scene(1.0f, 80.0f)), nullptr), 1);
    after = table_.State();
    EXPECT_EQ(after->scene, nullptr);
    for (int32_t v = 0; v < 65536; ++v) {
        const auto raw = static_cast<uint16_t>(v);
        ASSERT_TRUE(SameBits(after->LookupTemperature(raw), before->LookupTemperature(raw))) << v;
        ASSERT_TRUE(SameBits(after->InterpolateTemperature(v), before->InterpolateTemperature(v)));
        ASSERT_TRUE(
            SameBits(after->LookupTemperatureAt(raw, 3, 5), before->lookup[std::min(v, 16384)]));
    }
}

TEST_F(SceneFolds, UniformFoldEqualsPerValueCompensationAndFollowsRebuilds) {
    auto model = std::make_shared<SceneModel>(Scene(0.6f, -10.0f, 0.9f, 15.0f));
    ASSERT_EQ(table_.SetScene(model, nullptr), 1);
    auto check = [&] {
        const auto state = table_.State();
        for (int32_t v = 0; v < 65536; ++v) {
            const auto raw = static_cast<uint16_t>(v);
            const float bb = v < 16384 ? state->lookup[static_cast<size_t>(v)] : kNoTemperature;
            ASSERT_TRUE(
                SameBits(state->LookupTemperature(raw), model->Compensate(bb, model->Emissivity())))
                << v << " " << bb << " " << state->LookupTemperature(raw);
            ASSERT_TRUE(SameBits(state->InterpolateTemperature(v),
                                 model->Compensate(state->interpolated[static_cast<size_t>(v)],
                                                   model->Emissivity())));
        }
    };
    check();
    // A drift rebuild publishes new black-body lookups: the scene comes along.
    const std::atomic<float> reference{20.0f};
    table_.LinkReferenceTemperature(&reference);
    table_.SetCorrectionMode(13);
    ASSERT_EQ(table_.RecreateTable(), 1);
    check();
    table_.LinkReferenceTemperature(nullptr);
}

TEST_F(SceneFolds, MapRowsMatchTheLiteralConversion) {
    auto model = std::make_shared<SceneModel>(Scene(1.0f, 40.0f, 0.95f));
    std::vector<float> map(640 * 480, 1.0f);
    for (size_t i = 0; i < map.size(); ++i) map[i] = (i / 640) < 240 ? 0.5f : 0.9f;
    // Every raw value at every column, and over 64 distinct emissivities.
    std::vector<float> many(map);
    for (size_t i = 0; i < many.size(); ++i) many[i] = 0.3f + 0.01f * static_cast<float>(i % 70);
    for (const auto &m : {map, many}) {
        ASSERT_EQ(table_.SetScene(model, EmissivityMap::FromOutputRows(m.data(), true)), 1);
        const auto state = table_.State();
        ASSERT_TRUE(state->scene && state->scene->HasMap());
        std::vector<uint16_t> src(640);
        std::vector<float> fast(640), literal(640), interpolated(640);
        for (int32_t row = 0; row < 480; row += 7) {
            for (int c = 0; c < 640; ++c)
                src[c] = static_cast<uint16_t>((row * 1031 + c * 37) % 16500);
            state->LookupRow(src.data(), row, fast.data(), 640);
            state->scene->LookupRowLiteral(src.data(), row, literal.data(), 640);
            // The rows the file writers take: the per-pixel conversions exactly.
            state->InterpolateRow(src.data(), row, interpolated.data(), 640);
            for (int c = 0; c < 640; ++c) {
                ASSERT_TRUE(SameBits(fast[c], literal[c])) << row << "," << c;
                ASSERT_TRUE(SameBits(state->LookupTemperatureAt(src[c], row, c), literal[c]));
                ASSERT_TRUE(
                    SameBits(interpolated[c], state->InterpolateTemperatureAt(src[c], row, c)));
            }
        }
        // Map row 0 (output order, reversed) is buffer row 479.
        EXPECT_EQ(state->scene->AtPixel(50.0f, -1, 479, 0), model->Compensate(50.0f, m[0]));
    }
}

}  // namespace
}  // namespace kalvex
