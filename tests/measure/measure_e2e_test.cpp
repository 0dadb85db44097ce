// Measurement through the exports on frames of the simulated camera: colour
// against the library's own map, contrast, statistics against the
// temperature array, per-region emissivity and alarms on a live capture.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kalvex_measure.h"
#include "kalvex_scene.h"
#include "kalvex_sequence.h"
#include "measure/measure_context.h"
#include "output/output_test_support.h"
#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

constexpr int kW = 640, kH = 480, kPixels = kW * kH;

class MeasureE2e : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        const std::string path = TmpFile("measure_e2e.tbl");
        ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 1000, -40.0, 230.0), 1);
        ASSERT_EQ(Kalvex_SetTableA(handle_, path.c_str()), 1);
        Codes();
    }
    uint32_t Shot() {
        const int id = Kalvex_OneShot(handle_);
        EXPECT_NE(id, 0);
        return static_cast<uint32_t>(id);
    }
    std::vector<uint8_t> Colour(uint32_t id, int palette, int agc) {
        KalvexColorOptions o;
        KalvexMeasure_DefaultColorOptions(&o);
        o.palette = palette, o.agc = agc;
        std::vector<uint8_t> out(kPixels * 3);
        EXPECT_EQ(KalvexMeasure_Colorize(handle_, id, &o, out.data(), kPixels * 3, nullptr), 1);
        return out;
    }
    // Scene line y, in the library's order (row-order flag 0: bottom line first).
    static int Pixel(int x, int y) { return (kH - 1 - y) * kW + x; }
};

TEST_F(MeasureE2e, DefaultColourIsTheLibrarysOverEveryRawValue) {
    KalvexSim_SetTestPattern(0, 1);
    Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_RANGE, 0);
    const int ranges[][2] = {{0, 16383}, {1000, 1360}, {5000, 12000}, {9000, 9000}};
    for (int order = 0; order < 2; ++order) {
        Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, order);
        for (const auto &r : ranges) {
            Kalvex_SetParam(handle_, KALVEX_PARAM_RANGE_LOW, r[0]);
            Kalvex_SetParam(handle_, KALVEX_PARAM_RANGE_HIGH, r[1]);
            const uint32_t id = Shot();
            std::vector<uint8_t> library(kPixels * 3), ours(kPixels * 3);
            ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), library.data(), kPixels * 3),
                      1);
            ASSERT_EQ(
                KalvexMeasure_Colorize(handle_, id, nullptr, ours.data(), kPixels * 3, nullptr), 1);
            EXPECT_TRUE(library == ours) << r[0] << ".." << r[1] << " order " << order;
        }
    }
    // The pattern holds every 14-bit value, so the comparison covered them all.
    std::vector<uint16_t> raw(kPixels);
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(Shot()), raw.data(), kPixels * 2), 1);
    EXPECT_EQ(std::set<uint16_t>(raw.begin(), raw.end()).size(), 16384u);
}

TEST_F(MeasureE2e, WhiteHotBrighterWhereHotterPlateauShowsWhatRangeHides) {
    KalvexSim_AddSpot(0, 320, 240, 150, 24.0);  // a large area 2 degrees over the background
    KalvexSim_AddSpot(0, 20, 20, 10, 150.0);    // outside the auto range's window
    KalvexSim_AddSpot(0, 580, 420, 10, -30.0);
    KalvexSim_AddSpot(0, 450, 240, 8, 60.0);
    Shot();  // the auto range follows the scene from here
    const uint32_t id = Shot();
    const int bg = Pixel(20, 240), warm = Pixel(320, 240), hot = Pixel(450, 240);
    const auto white = Colour(id, KALVEX_PALETTE_WHITE_HOT, KALVEX_AGC_RANGE);
    const auto black = Colour(id, KALVEX_PALETTE_BLACK_HOT, KALVEX_AGC_RANGE);
    EXPECT_LT(white[3 * bg], white[3 * warm]);
    EXPECT_LT(white[3 * warm], white[3 * hot]);
    EXPECT_GT(black[3 * bg], black[3 * warm]);
    EXPECT_GT(black[3 * warm], black[3 * hot]);
    const auto plateau = Colour(id, KALVEX_PALETTE_WHITE_HOT, KALVEX_AGC_PLATEAU);
    EXPECT_LT(white[3 * warm] - white[3 * bg], 8);
    EXPECT_GE(plateau[3 * warm] - plateau[3 * bg], 40);

    // Isotherms paint over the palette; the bar spans the mapping's ends.
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    o.palette = KALVEX_PALETTE_IRONBOW, o.rgb = 1, o.isothermCount = 1;
    o.isotherms[0] = {KALVEX_ISOTHERM_BETWEEN, 23.0f, 25.0f, 0x00FF00};
    std::vector<uint8_t> iso(kPixels * 3);
    KalvexColorBar bar;
    ASSERT_EQ(KalvexMeasure_Colorize(handle_, id, &o, iso.data(), kPixels * 3, &bar), 1);
    EXPECT_EQ(iso[3 * warm + 1], 255);
    EXPECT_EQ(iso[3 * warm], 0);
    EXPECT_NE(iso[3 * bg + 1], 255);
    EXPECT_NEAR(bar.low, -30.0 - 3.0, 0.01);  // the library's range: 120 raw beyond the scene
    EXPECT_NEAR(bar.high, 60.0 + 3.0, 0.01);
    EXPECT_EQ(bar.rgb[0], 0);
    EXPECT_EQ(bar.rgb[3 * 255], 255);
}

TEST_F(MeasureE2e, OutputColourIsWhatGetColorAndTheColourSavesReadNullRestoresTheLibrarys) {
    KalvexSim_SetTestPattern(0, 1);
    Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_RANGE, 0);
    Kalvex_SetParam(handle_, KALVEX_PARAM_RANGE_LOW, 1000);
    Kalvex_SetParam(handle_, KALVEX_PARAM_RANGE_HIGH, 9000);
    auto library = [&](uint32_t id) {
        std::vector<uint8_t> out(kPixels * 3);
        EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), out.data(), kPixels * 3), 1);
        return out;
    };
    const std::vector<uint8_t> own = library(Shot());
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    o.palette = KALVEX_PALETTE_WHITE_HOT, o.rgb = 1;  // rgb is ignored: the image is B, G, R
    o.isothermCount = 1, o.isotherms[0] = {KALVEX_ISOTHERM_ABOVE, 100.0f, 0, 0x0000FF};
    ASSERT_EQ(KalvexMeasure_SetOutputColor(handle_, &o), 1);
    const uint32_t id = Shot();
    const std::vector<uint8_t> white = library(id);
    EXPECT_FALSE(white == own);
    EXPECT_FALSE(white == Colour(id, KALVEX_PALETTE_WHITE_HOT, KALVEX_AGC_RANGE));  // isotherm
    o.rgb = 0;
    std::vector<uint8_t> expected(kPixels * 3);
    ASSERT_EQ(KalvexMeasure_Colorize(handle_, id, &o, expected.data(), kPixels * 3, nullptr), 1);
    EXPECT_TRUE(white == expected);
    // The colour saves write the same image (raw BGR, rows as GetColor gives them).
    const std::string path = TmpFile("output_colour.bgr");
    ASSERT_EQ(Kalvex_SaveA(handle_, path.c_str(), KALVEX_SAVE_COLOR_RAW), 1);
    EXPECT_TRUE(ReadAll(path) == white);

    // Refused options change nothing; null is the library's own map, bit for bit.
    o.agc = 7;
    EXPECT_EQ(KalvexMeasure_SetOutputColor(handle_, &o), 0);
    EXPECT_EQ(Codes(), std::vector<int>{KALVEX_EV_INVALID_ARGUMENT});
    EXPECT_TRUE(library(Shot()) == white);
    ASSERT_EQ(KalvexMeasure_SetOutputColor(handle_, nullptr), 1);
    EXPECT_TRUE(library(Shot()) == own);
}

// A recorded frame coloured again gives what its live frame gave: the same
// palette, contrast and isotherm, and with the defaults the library's own
// colours once the automatic range has settled on the still scene.
TEST_F(MeasureE2e, SequenceFramesColourAsTheirLiveFramesDid) {
    KalvexSim_AddSpot(0, 200, 150, 60, 45.0);
    KalvexSim_AddSpot(0, 420, 300, 30, 90.0);
    const std::string path = TmpFile("measure_colour.tiff");
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0), 1);
    HoldFrames();
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    auto publish = [&] {
        ReleaseOneFrame();
        return static_cast<uint32_t>(NextFrameMessage());
    };
    ASSERT_NE(publish(), 0u);
    ASSERT_EQ(KalvexSeq_RecordA(handle_, path.c_str(), KALVEX_SEQ_DEFLATE), 1);
    ASSERT_NE(publish(), 0u);  // the recording opens with it
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    o.palette = KALVEX_PALETTE_IRONBOW, o.agc = KALVEX_AGC_PLATEAU, o.rgb = 1;
    o.isothermCount = 1, o.isotherms[0] = {KALVEX_ISOTHERM_ABOVE, 80.0f, 0, 0x00FF00};
    std::vector<std::vector<uint8_t>> live, own;
    std::vector<KalvexColorBar> bars;
    for (int i = 0; i < 2; ++i) {
        const uint32_t id = publish();
        live.emplace_back(kPixels * 3);
        own.emplace_back(kPixels * 3);
        bars.emplace_back();
        ASSERT_EQ(
            KalvexMeasure_Colorize(handle_, id, &o, live.back().data(), kPixels * 3, &bars.back()),
            1);
        ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), own.back().data(), kPixels * 3),
                  1);
    }
    ASSERT_EQ(Kalvex_RecW(handle_, nullptr, 0), 1);
    ASSERT_NE(publish(), 0u);  // the loop closes the file with its next frame

    // The ring's rows run bottom line first, the sequence's top line first.
    auto flipped = [](const std::vector<uint8_t> &image) {
        std::vector<uint8_t> out(image.size());
        for (int r = 0; r < kH; ++r)
            std::copy_n(image.begin() + (kH - 1 - r) * kW * 3, kW * 3, out.begin() + r * kW * 3);
        return out;
    };
    const int32_t seq = KalvexSeq_OpenA(path.c_str());
    ASSERT_GT(seq, 0);
    ASSERT_EQ(KalvexSeq_Count(seq), 2);
    std::vector<uint8_t> image(kPixels * 3);
    for (int k = 0; k < 2; ++k) {
        KalvexColorBar bar{};
        ASSERT_EQ(KalvexSeq_Colorize(seq, k, nullptr, &o, image.data(), kPixels * 3, &bar), 1);
        EXPECT_TRUE(image == flipped(live[static_cast<size_t>(k)])) << k;
        EXPECT_EQ(std::memcmp(&bar, &bars[static_cast<size_t>(k)], sizeof bar), 0) << k;
        ASSERT_EQ(KalvexSeq_Colorize(seq, k, nullptr, nullptr, image.data(), kPixels * 3, nullptr),
                  1);
        EXPECT_TRUE(image == flipped(own[static_cast<size_t>(k)])) << k;
    }
    // The isotherm showed: the hot spot is green, the warm one is not.
    EXPECT_EQ(image.size(), live[0].size());
    ASSERT_EQ(KalvexSeq_Colorize(seq, 0, nullptr, &o, image.data(), kPixels * 3, nullptr), 1);
    const auto *hot = &image[3 * (300 * kW + 420)], *warm = &image[3 * (150 * kW + 200)];
    EXPECT_TRUE(hot[0] == 0 && hot[1] == 255 && hot[2] == 0);
    EXPECT_FALSE(warm[0] == 0 && warm[1] == 255 && warm[2] == 0);
    // Refusals: a short buffer, options out of range, a bad index or handle.
    EXPECT_EQ(KalvexSeq_Colorize(seq, 0, nullptr, &o, image.data(), kPixels * 3 - 1, nullptr),
              KALVEX_SEQ_E_ARGUMENT);
    EXPECT_EQ(KalvexSeq_Colorize(seq, 0, nullptr, &o, nullptr, kPixels * 3, nullptr),
              KALVEX_SEQ_E_ARGUMENT);
    EXPECT_EQ(KalvexSeq_Colorize(seq, 2, nullptr, &o, image.data(), kPixels * 3, nullptr),
              KALVEX_SEQ_E_ARGUMENT);
    o.agc = 9;
    EXPECT_EQ(KalvexSeq_Colorize(seq, 0, nullptr, &o, image.data(), kPixels * 3, nullptr),
              KALVEX_SEQ_E_ARGUMENT);
    EXPECT_EQ(KalvexSeq_Close(seq), 1);
    EXPECT_EQ(KalvexSeq_Colorize(seq, 0, nullptr, nullptr, image.data(), kPixels * 3, nullptr),
              KALVEX_SEQ_E_HANDLE);
}

TEST_F(MeasureE2e, StatisticsMatchThePlainComputationForEveryRegionType) {
    KalvexSim_SetTestPattern(0, 1);  // many values; those under -40 degrees have none
    const uint32_t id = Shot();
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    std::vector<float> t(kPixels);  // top line first
    ASSERT_EQ(Kalvex_GetTemperature(handle_, static_cast<int>(id), t.data(), kPixels * 4), 1);
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 0);  // regions do not depend on it

    auto roi = [](int kind, std::vector<int> v) {
        KalvexRoi r{};
        r.kind = kind, r.count = static_cast<int32_t>(v.size() / 2);
        for (size_t i = 0; i < v.size(); ++i) r.v[i] = v[i];
        return r;
    };
    const std::vector<int> poly = {100, 100, 160, 110, 130, 140, 170, 180, 90, 170};
    const KalvexRoi rois[] = {
        roi(KALVEX_ROI_SPOT, {33, 44, 0}),     roi(KALVEX_ROI_SPOT, {200, 300, 12}),
        roi(KALVEX_ROI_BOX, {0, 0, 640, 480}), roi(KALVEX_ROI_ELLIPSE, {400, 250, 30, 11}),
        roi(KALVEX_ROI_POLYGON, poly),         roi(KALVEX_ROI_LINE, {0, 479, 639, 0})};
    KalvexStats got[6];
    ASSERT_EQ(KalvexMeasure_Stats(handle_, id, rois, 6, got), 1);
    for (int k = 0; k < 6; ++k) {
        measure::Region region;
        ASSERT_TRUE(measure::BuildRegion(rois[k], kW, kH, region));
        // The plain computation: the region's pixels in reading order.
        double sum = 0, squares = 0;
        int count = 0, missing = 0;
        float mn = 0, mx = 0;
        int hx = -1, hy = -1, cx = -1, cy = -1;
        std::vector<float> along;
        for (const measure::Span &s : region.spans) {
            for (int x = s.x0; x <= s.x1; ++x) {
                const float v = t[s.y * kW + x];
                along.push_back(v);
                if (v == -999.0f) {
                    ++missing;
                    continue;
                }
                if (count == 0 || v > mx) mx = v, hx = x, hy = s.y;
                if (count == 0 || v < mn) mn = v, cx = x, cy = s.y;
                sum += v, squares += double(v) * v, ++count;
            }
        }
        const double mean = sum / count;
        EXPECT_EQ(got[k].count, count) << k;
        EXPECT_EQ(got[k].missing, missing) << k;
        EXPECT_EQ(got[k].min, mn) << k;
        EXPECT_EQ(got[k].max, mx) << k;
        EXPECT_NEAR(got[k].mean, mean, 1e-4 * std::abs(mean) + 1e-5) << k;
        EXPECT_NEAR(got[k].std, std::sqrt(squares / count - mean * mean), 1e-3) << k;
        EXPECT_EQ(got[k].hottestX, hx) << k;
        EXPECT_EQ(got[k].hottestY, hy) << k;
        EXPECT_EQ(got[k].coldestX, cx) << k;
        EXPECT_EQ(got[k].coldestY, cy) << k;
        if (rois[k].kind == KALVEX_ROI_LINE) {
            std::vector<float> profile(700);
            ASSERT_EQ(KalvexMeasure_Profile(handle_, id, &rois[k], profile.data(), 700), 640);
            profile.resize(640);
            EXPECT_EQ(profile, along);
        }
        KalvexStats of;  // the same over the array
        ASSERT_EQ(KalvexMeasure_StatsOf(t.data(), kW, kH, nullptr, &rois[k], 1, &of), 1);
        EXPECT_EQ(of.max, got[k].max);
        EXPECT_EQ(of.mean, got[k].mean);
    }
    EXPECT_GT(got[2].missing, 0);
    EXPECT_FLOAT_EQ(KalvexMeasure_Difference(&got[1], &got[0], KALVEX_STAT_MAX),
                    got[1].max - got[0].max);
    EXPECT_TRUE(std::isnan(KalvexMeasure_Difference(&got[1], &got[0], 0)));
}

TEST_F(MeasureE2e, RegionEmissivityGoesThroughTheSceneCompensation) {
    KalvexSim_AddSpotEmissive(0, 200, 200, 30, 80.0, 0.6);  // a painted panel
    KalvexSim_AddSpot(0, 450, 200, 30, 60.0);               // a black body
    KalvexSim_SetRadiometry(0, 30.0, 1.0, 22.0);
    KalvexScene scene;
    KalvexScene_Default(&scene);
    scene.reflected = 30.0f;
    ASSERT_EQ(KalvexScene_Set(handle_, &scene), 1);
    const uint32_t id = Shot();
    KalvexRoi rois[2] = {};
    rois[0].kind = rois[1].kind = KALVEX_ROI_SPOT;
    rois[0].v[0] = 200, rois[0].v[1] = 200, rois[0].v[2] = 20;
    rois[0].flags = KALVEX_ROI_EMISSIVITY, rois[0].emissivity = 0.6f;
    rois[1].v[0] = 450, rois[1].v[1] = 200, rois[1].v[2] = 20;
    KalvexStats s[2];
    ASSERT_EQ(KalvexMeasure_Stats(handle_, id, rois, 2, s), 1);
    EXPECT_NEAR(s[0].mean, 80.0, 0.1);
    EXPECT_NEAR(s[1].mean, 60.0, 0.05);

    // Exactly what the compensation export makes of the black-body reading.
    std::vector<float> bb(kPixels), expected(kPixels);
    ASSERT_EQ(Kalvex_GetTemperature(handle_, static_cast<int>(id), bb.data(), kPixels * 4), 1);
    scene.emissivity = 0.6f;
    ASSERT_EQ(KalvexScene_Compensate(&scene, nullptr, bb.data(), expected.data(), kPixels), 1);
    EXPECT_EQ(s[0].max, expected[Pixel(s[0].hottestX, s[0].hottestY)]);
    // A reflected temperature of its own moves the reading.
    rois[0].flags |= KALVEX_ROI_REFLECTED, rois[0].reflected = 60.0f;
    KalvexStats moved;
    ASSERT_EQ(KalvexMeasure_Stats(handle_, id, rois, 1, &moved), 1);
    EXPECT_LT(moved.mean, s[0].mean - 1.0f);
}

TEST_F(MeasureE2e, AlarmRisesAfterItsDwellAndClearsPastItsHysteresisOnTheLiveCamera) {
    Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
    KalvexSim_AddSpot(0, 320, 240, 20, 50.0);
    KalvexRoi box{};
    box.kind = KALVEX_ROI_BOX, box.v[0] = 290, box.v[1] = 210, box.v[2] = 60, box.v[3] = 60;
    const KalvexAlarm alarm{KALVEX_STAT_MAX, 1, 60.0f, 1.0f, 500};
    const int32_t id = KalvexMeasure_AddAlarm(handle_, &box, &alarm);
    ASSERT_GT(id, 0);
    auto context = measure::MeasureContext::Of(*instance_);
    HoldFrames();
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    window_.Drain();
    // One frame at `celsius` after ms on the frozen clock; the alarm messages it gave.
    auto frame = [&](double celsius, uint32_t ms) {
        KalvexSim_ClearSpots(0);
        KalvexSim_AddSpot(0, 320, 240, 20, celsius);
        platform::AdvanceClock(ms);
        const uint32_t seen = context->FramesEvaluated();
        ReleaseOneFrame();
        EXPECT_TRUE(Eventually([&] { return context->FramesEvaluated() != seen; }));
        std::vector<KalvexMessage> alarms;
        for (const KalvexMessage &m : window_.Drain())
            if (m.message == KALVEX_WM_ALARM) alarms.push_back(m);
        return alarms;
    };
    EXPECT_TRUE(frame(50.0, 100).empty());
    const uint32_t start = platform::TimeGetTime() + 100;
    EXPECT_TRUE(frame(65.0, 100).empty());  // the condition begins
    EXPECT_TRUE(frame(65.0, 499).empty());
    EXPECT_EQ(KalvexMeasure_AlarmActive(handle_, id), 0);
    const auto raised = frame(65.0, 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].wParam, static_cast<size_t>(id));
    EXPECT_EQ(raised[0].lParam, 1);
    KalvexAlarmEvent e;
    ASSERT_EQ(KalvexMeasure_PollAlarm(handle_, &e), 1);
    EXPECT_EQ(e.active, 1);
    EXPECT_EQ(e.sinceMs, start);
    EXPECT_EQ(e.timeMs - e.sinceMs, 500u);
    EXPECT_EQ(e.value, 65.0f);
    EXPECT_EQ(KalvexMeasure_PollAlarm(handle_, &e), 0);
    EXPECT_TRUE(frame(59.5, 100).empty());  // below the threshold, within the hysteresis
    EXPECT_EQ(KalvexMeasure_AlarmActive(handle_, id), 1);
    const auto cleared = frame(58.75, 100);
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_EQ(cleared[0].lParam, 0);
    ASSERT_EQ(KalvexMeasure_PollAlarm(handle_, &e), 1);
    EXPECT_EQ(e.active, 0);
    EXPECT_EQ(e.value, 58.75f);
    KalvexSim_ClearFaults(0);
    Kalvex_Close(handle_);
}

TEST_F(MeasureE2e, RefusalsGiveCode5AndChangeNothing) {
    const uint32_t id = Shot();
    std::vector<uint8_t> out(kPixels * 3);
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    KalvexRoi box{};
    box.kind = KALVEX_ROI_BOX, box.v[2] = 10, box.v[3] = 10;
    KalvexStats s;
    KalvexAlarm alarm{KALVEX_STAT_MAX, 1, 60.0f, 1.0f, 0};
    EXPECT_EQ(KalvexMeasure_Colorize(0x7123, id, &o, out.data(), kPixels * 3, nullptr), 0);
    EXPECT_EQ(KalvexMeasure_Stats(0x7123, id, &box, 1, &s), 0);
    EXPECT_TRUE(Codes().empty());  // unknown handle: nothing recorded

    auto refused = [&](KalvexColorOptions bad) {
        return KalvexMeasure_Colorize(handle_, id, &bad, out.data(), kPixels * 3, nullptr);
    };
    KalvexColorOptions bad = o;
    bad.palette = KALVEX_PALETTE_COUNT;
    EXPECT_EQ(refused(bad), 0);
    bad = o, bad.palette = KALVEX_PALETTE_CUSTOM;  // without its table
    EXPECT_EQ(refused(bad), 0);
    bad = o, bad.agc = 3;
    EXPECT_EQ(refused(bad), 0);
    bad = o, bad.tailPercent = std::nanf("");
    EXPECT_EQ(refused(bad), 0);
    bad = o, bad.isothermCount = 1, bad.isotherms[0] = {KALVEX_ISOTHERM_ABOVE, std::nanf(""), 0, 0};
    EXPECT_EQ(refused(bad), 0);
    EXPECT_EQ(KalvexMeasure_Colorize(handle_, id + 1, &o, out.data(), kPixels * 3, nullptr), 0);
    KalvexRoi outside = box;
    outside.v[0] = 635;
    EXPECT_EQ(KalvexMeasure_Stats(handle_, id, &outside, 1, &s), 0);
    EXPECT_EQ(KalvexMeasure_AddAlarm(handle_, &outside, &alarm), 0);
    alarm.threshold = std::nanf("");
    EXPECT_EQ(KalvexMeasure_AddAlarm(handle_, &box, &alarm), 0);
    EXPECT_EQ(KalvexMeasure_RemoveAlarm(handle_, 99), 0);
    EXPECT_EQ(Codes(), std::vector<int>(10, KALVEX_EV_INVALID_ARGUMENT));
    EXPECT_EQ(KalvexMeasure_Colorize(handle_, id, &o, out.data(), kPixels * 3 - 1, nullptr), 0);
    EXPECT_EQ(Codes(), std::vector<int>{KALVEX_EV_NO_MEMORY});
    // Nothing was defined: no alarm is waiting and none can be polled.
    KalvexAlarmEvent e;
    EXPECT_EQ(KalvexMeasure_PollAlarm(handle_, &e), 0);
    EXPECT_TRUE(Codes().empty());
}

}  // namespace
}  // namespace kalvex::test
