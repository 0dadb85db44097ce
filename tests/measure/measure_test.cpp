// The measurement module's parts on their own: palettes, contrast mappings,
// region masks against a per-pixel reference, and the alarm engine's timing.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kalvex_measure.h"
#include "measure/alarm.h"
#include "measure/contrast.h"
#include "measure/palette.h"
#include "measure/region.h"

namespace kalvex::measure {
namespace {

TEST(MeasurePalette, NamedTablesPassThroughTheirControlPointsAndBetween) {
    EXPECT_EQ(PaletteName(KALVEX_PALETTE_IRONBOW), "ironbow");
    EXPECT_EQ(PaletteId("rainbow-hc"), KALVEX_PALETTE_RAINBOW_HC);
    EXPECT_EQ(PaletteId("sepia"), -1);
    EXPECT_EQ(KalvexMeasure_PaletteName(KALVEX_PALETTE_COUNT), nullptr);
    for (int id = 1; id < kNamedPalettes; ++id) {
        const auto points = PaletteControlPoints(id);
        ASSERT_GE(points.size(), 2u) << id;
        EXPECT_EQ(points.front().position, 0);
        EXPECT_EQ(points.back().position, 255);
        const Palette &p = NamedPalette(id);
        for (const ControlPoint &c : points)
            EXPECT_EQ(p[c.position], uint32_t(c.r << 16 | c.g << 8 | c.b))
                << id << " @" << int(c.position);
        // Halfway between two points lies halfway between their colours.
        const ControlPoint &a = points[0], &b = points[1];
        const int mid = (a.position + b.position) / 2;
        const double f = double(mid - a.position) / (b.position - a.position);
        EXPECT_NEAR(double(p[mid] >> 16 & 255), a.r + (b.r - a.r) * f, 0.5001) << id;
        uint8_t rgb[3 * 256];
        ASSERT_EQ(KalvexMeasure_PaletteColors(id, rgb, sizeof rgb), 256);
        EXPECT_EQ(rgb[3 * 255 + 1], points.back().g);
        EXPECT_EQ(KalvexMeasure_PaletteColors(id, rgb, sizeof rgb - 1), 0);
    }
    // The ironbow runs black, blue, magenta, orange, yellow, white.
    const Palette &iron = NamedPalette(KALVEX_PALETTE_IRONBOW);
    EXPECT_EQ(iron[0], 0u);
    EXPECT_EQ(iron[255], 0xFFFFFFu);
    EXPECT_GT(iron[48] & 255, iron[48] >> 16);  // blue over red
    uint8_t hue[3 * 360];
    EXPECT_EQ(KalvexMeasure_PaletteColors(KALVEX_PALETTE_HUE, hue, sizeof hue), 360);
    EXPECT_EQ(hue[3 * 359], 255);  // entry 359: 255, 253, 255
    EXPECT_EQ(hue[3 * 359 + 1], 253);
}

TEST(MeasureContrast, LinearClipsItsTailsAndPlateauCapsLargeBins) {
    std::vector<uint32_t> bins(kRawValues, 0);
    bins[1000] = 10;   // 1 % cold tail
    bins[8000] = 980;  // background
    bins[8080] = 0;
    bins[9000] = 10;  // 1 % hot tail
    Mapping m;
    LinearMapping(bins, 1.0, m);
    EXPECT_EQ(m.lowRaw, 8000);  // 10 pixels at or below 1000 are the tail
    EXPECT_EQ(m.highRaw, 8000 + 1);
    LinearMapping(bins, 0.0, m);
    EXPECT_EQ(m.lowRaw, 1000);
    EXPECT_EQ(m.highRaw, 9000);
    EXPECT_EQ(m.position[1000], 0);
    EXPECT_EQ(m.position[9000], 65535);
    EXPECT_EQ(m.position[5000], 65535 * 4000 / 8000);

    // Two large uniform areas 80 raw apart take half the scale between them,
    // whatever their share of the pixels.
    bins.assign(kRawValues, 0);
    bins[8000] = 300000, bins[8080] = 5000, bins[5000] = 40, bins[14000] = 40;
    PlateauMapping(bins, 150, m);
    EXPECT_EQ(m.lowRaw, 5000);
    EXPECT_EQ(m.highRaw, 14000);
    EXPECT_NEAR(m.position[8080] - m.position[8000], 65536 * 150 / 380, 2);
    for (int v = 1; v < kRawValues; ++v) ASSERT_GE(m.position[v], m.position[v - 1]) << v;

    // Damping moves a step part of the way.
    Mapping before = m, after = m;
    for (auto &p : after.position) p = 0;
    Damp(before, 0.75, after);
    EXPECT_NEAR(after.position[8080], before.position[8080] * 0.75, 1);
}

// A per-pixel membership test written from the shapes' definitions.
bool OnSegment(int64_t ax, int64_t ay, int64_t bx, int64_t by, int64_t x, int64_t y) {
    if ((bx - ax) * (y - ay) != (by - ay) * (x - ax)) return false;
    return std::min(ax, bx) <= x && x <= std::max(ax, bx) && std::min(ay, by) <= y &&
           y <= std::max(ay, by);
}
bool InPolygon(const std::vector<int> &v, int x, int y) {
    const size_t n = v.size() / 2;
    bool inside = false;
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
        if (OnSegment(v[2 * j], v[2 * j + 1], v[2 * i], v[2 * i + 1], x, y)) return true;
        const double xi = v[2 * i], yi = v[2 * i + 1], xj = v[2 * j], yj = v[2 * j + 1];
        if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    return inside;
}

KalvexRoi Roi(int kind, std::vector<int> v) {
    KalvexRoi r{};
    r.kind = kind;
    r.count = static_cast<int32_t>(v.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) r.v[i] = v[i];
    return r;
}

TEST(MeasureRegion, MasksMatchTheShapesPixelByPixel) {
    const std::vector<int> poly = {100, 100, 160, 110, 130, 140, 170, 180, 90, 170, 120, 150};
    struct Case {
        KalvexRoi roi;
        std::function<bool(int, int)> in;
    } cases[] = {
        {Roi(KALVEX_ROI_SPOT, {50, 60, 0}), [](int x, int y) { return x == 50 && y == 60; }},
        {Roi(KALVEX_ROI_SPOT, {50, 60, 7}),
         [](int x, int y) { return (x - 50) * (x - 50) + (y - 60) * (y - 60) <= 49; }},
        {Roi(KALVEX_ROI_BOX, {0, 0, 640, 3}), [](int, int y) { return y < 3; }},
        {Roi(KALVEX_ROI_ELLIPSE, {300, 200, 9, 4}),
         [](int x, int y) {
             return (x - 300) * (x - 300) * 16 + (y - 200) * (y - 200) * 81 <= 81 * 16;
         }},
        {Roi(KALVEX_ROI_POLYGON, poly), [&](int x, int y) { return InPolygon(poly, x, y); }},
    };
    for (const Case &c : cases) {
        Region r;
        ASSERT_TRUE(BuildRegion(c.roi, 640, 480, r)) << c.roi.kind;
        std::vector<uint8_t> got(640 * 480, 0);
        for (const Span &s : r.spans)
            for (int x = s.x0; x <= s.x1; ++x) ++got[s.y * 640 + x];
        int wrong = 0;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) wrong += got[y * 640 + x] != (c.in(x, y) ? 1 : 0);
        EXPECT_EQ(wrong, 0) << "kind " << c.roi.kind;
    }
}

TEST(MeasureRegion, LinesAndRefusals) {
    Region r;
    ASSERT_TRUE(BuildRegion(Roi(KALVEX_ROI_LINE, {10, 20, 3, 40}), 640, 480, r));
    ASSERT_EQ(r.Pixels(), 21);  // one pixel per line of the steeper axis
    EXPECT_EQ(r.spans.front().x0, 10);
    EXPECT_EQ(r.spans.back().y, 40);
    for (const Span &s : r.spans)  // within half a pixel of the ideal line
        EXPECT_LE(std::abs((s.y - 20) * -7.0 / 20.0 + 10 - s.x0), 0.5 + 1e-9);

    const KalvexRoi refused[] = {Roi(KALVEX_ROI_BOX, {630, 0, 11, 5}),
                                 Roi(KALVEX_ROI_BOX, {0, 0, 0, 5}),
                                 Roi(KALVEX_ROI_BOX, {-1, 0, 5, 5}),
                                 Roi(KALVEX_ROI_BOX, {1, 1, 0x7FFFFFFF, 5}),
                                 Roi(KALVEX_ROI_SPOT, {3, 100, 4}),
                                 Roi(KALVEX_ROI_ELLIPSE, {100, 100, 0, 4}),
                                 Roi(KALVEX_ROI_LINE, {5, 5, 5, 5}),
                                 Roi(KALVEX_ROI_LINE, {5, 5, 5, 480}),
                                 Roi(KALVEX_ROI_POLYGON, {1, 1, 5, 5, 9, 9}),
                                 Roi(KALVEX_ROI_POLYGON, {1, 1, 5, 5}),
                                 Roi(7, {1, 1, 5, 5})};
    for (const KalvexRoi &roi : refused)
        EXPECT_FALSE(BuildRegion(roi, 640, 480, r)) << roi.kind << " " << roi.v[0];
    KalvexRoi many = Roi(KALVEX_ROI_POLYGON, {});
    many.count = KALVEX_ROI_MAX_VERTICES + 1;
    EXPECT_FALSE(BuildRegion(many, 640, 480, r));
    KalvexRoi bad = Roi(KALVEX_ROI_BOX, {1, 1, 5, 5});
    bad.flags = KALVEX_ROI_EMISSIVITY, bad.emissivity = std::nanf("");
    EXPECT_FALSE(BuildRegion(bad, 640, 480, r));
    bad.emissivity = 0.0f;
    EXPECT_FALSE(BuildRegion(bad, 640, 480, r));
}

// A caller's array may hold NaN: its statistics take it on, and finding the
// extremes' pixels stays inside the run (a run of nothing but NaN has none).
TEST(MeasureRegion, AnArrayOfNaNStaysInsideItsRows) {
    std::vector<float> t(8 * 2, std::nanf(""));
    t[8 + 5] = 30.0f;
    const KalvexRoi rois[] = {Roi(KALVEX_ROI_BOX, {0, 0, 8, 1}), Roi(KALVEX_ROI_BOX, {0, 0, 8, 2})};
    KalvexStats stats[2];
    ASSERT_EQ(KalvexMeasure_StatsOf(t.data(), 8, 2, nullptr, rois, 2, stats), 1);
    EXPECT_TRUE(std::isnan(stats[0].mean));
    EXPECT_TRUE(stats[0].hottestX >= 0 && stats[0].hottestX < 8 && stats[0].hottestY == 0);
    EXPECT_EQ(stats[1].max, 30.0f);
    EXPECT_EQ(stats[1].hottestX, 5);
    EXPECT_EQ(stats[1].hottestY, 1);
}

TEST(MeasureAlarm, RisesAfterItsDwellAndClearsOnlyPastItsHysteresis) {
    AlarmEngine engine;
    Region r;
    ASSERT_TRUE(BuildRegion(Roi(KALVEX_ROI_SPOT, {5, 5, 0}), 640, 480, r));
    const KalvexAlarm alarm{KALVEX_STAT_MAX, 1, 60.0f, 1.0f, 500};
    const int32_t id = engine.Add(r, alarm);
    ASSERT_EQ(id, 1);
    float value = 0;
    std::vector<KalvexAlarmEvent> ev;
    auto frame = [&](float v, uint32_t t) {
        value = v;
        ev.clear();
        engine.Evaluate(
            [&](const Region &) {
                KalvexStats s{};
                s.count = 1, s.max = value;
                return s;
            },
            t, t, ev);
        return ev.size();
    };
    EXPECT_EQ(frame(61, 0xFFFFFF00u), 0u);  // holds from here, across the clock's wrap
    EXPECT_EQ(frame(59, 0xFFFFFF80u), 0u);  // broken: the dwell starts again
    EXPECT_EQ(frame(61, 0xFFFFFFF0u), 0u);
    EXPECT_EQ(frame(62, 0x1E0u), 0u);  // 496 ms
    ASSERT_EQ(frame(62, 0x1E4u), 1u);  // 500 ms
    EXPECT_EQ(ev[0].active, 1);
    EXPECT_EQ(ev[0].sinceMs, 0xFFFFFFF0u);
    EXPECT_EQ(engine.Active(id), 1);
    EXPECT_EQ(frame(59.5f, 0x300u), 0u);  // within the hysteresis
    EXPECT_EQ(frame(59.0f, 0x310u), 0u);
    ASSERT_EQ(frame(58.9f, 0x320u), 1u);
    EXPECT_EQ(ev[0].active, 0);
    EXPECT_EQ(engine.Active(id), 0);
    // A below alarm without dwell rises at once.
    const int32_t cold = engine.Add(r, KalvexAlarm{KALVEX_STAT_MAX, 0, 0.0f, 0.5f, 0});
    ASSERT_EQ(frame(-1, 0x400u), 1u);
    EXPECT_EQ(ev[0].alarm, cold);
    EXPECT_TRUE(engine.Remove(0));
    EXPECT_EQ(engine.Active(id), -1);
    EXPECT_FALSE(AlarmValid(KalvexAlarm{KALVEX_STAT_MAX, 1, std::nanf(""), 1, 0}));
    EXPECT_FALSE(AlarmValid(KalvexAlarm{KALVEX_STAT_MAX, 1, 60, -1, 0}));
    EXPECT_FALSE(AlarmValid(KalvexAlarm{9, 1, 60, 1, 0}));
}

}  // namespace
}  // namespace kalvex::measure
