// The fast paths of colouring and region statistics against the literal
// computations they replace, over frames and options chosen to reach their
// shortcuts: cached lookups reused across changing options, mappings
// computed only over occupied values, counts per raw value in place of the
// pixel walk.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "measure/contrast.h"
#include "measure/region.h"
#include "thermal/radiance.h"

namespace kalvex::measure {
namespace {

// Noise over a slope, a hot disc, a cold corner and a few samples past the
// 14 bits (which colour and measure as the lookup's last entry).
std::vector<uint16_t> Scene(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<uint16_t> raw(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            double v = 8000 + 9.0 * r + 2.0 * c + noise(rng);
            if ((c - w / 3) * (c - w / 3) + (r - h / 2) * (r - h / 2) < 100) v += 3000;
            if (c < 6 && r < 4) v = 50 + c;  // below the table: no temperature
            raw[static_cast<size_t>(r) * w + c] = static_cast<uint16_t>(v);
        }
    raw[5] = 16384, raw[7] = 40000, raw[raw.size() - 2] = 65535;
    return raw;
}

std::shared_ptr<CThermoTableState> Table(bool plateaus) {
    auto t = std::make_shared<CThermoTableState>();
    for (int v = 0; v < kLookupEntries; ++v) {
        float c = static_cast<float>(v - 8000) / 40.0f + 22.0f;
        // Flat stretches give one extreme several raw values.
        if (plateaus) c = std::floor(c);
        t->lookup[static_cast<size_t>(v)] = v < 1000 ? kNoTemperature : c;
    }
    return t;
}

TEST(MeasureFastPath, MappingsAndHistogramsEqualTheLiteralOnes) {
    std::mt19937 rng(11);
    for (int k = 0; k < 40; ++k) {
        std::vector<uint32_t> bins(kRawValues, 0);
        const int n = k % 5 == 0 ? 0 : k % 5 == 1 ? 1 : 1 + static_cast<int>(rng() % 3000);
        const int base = static_cast<int>(rng() % kRawValues);
        for (int i = 0; i < n; ++i)
            bins[static_cast<size_t>(
                std::min(kRawValues - 1, base + static_cast<int>(rng() % 900)))] +=
                k % 3 == 0 ? 100000u : static_cast<uint32_t>(1 + rng() % 400);
        for (double tail : {0.0, 1.0, 25.0, 60.0}) {
            Mapping fast, literal;
            LinearMapping(bins, tail, fast);
            LinearMappingLiteral(bins, tail, literal);
            ASSERT_EQ(fast.position, literal.position) << k << " tail " << tail;
            ASSERT_EQ(fast.lowRaw, literal.lowRaw);
            ASSERT_EQ(fast.highRaw, literal.highRaw);
        }
        for (double limit : {0.0, 150.0, 1e9}) {
            Mapping fast, literal;
            PlateauMapping(bins, limit, fast);
            PlateauMappingLiteral(bins, limit, literal);
            ASSERT_EQ(fast.position, literal.position) << k << " limit " << limit;
            ASSERT_EQ(fast.lowRaw, literal.lowRaw);
        }
    }
    const auto raw = Scene(37, 29, 2);  // rows that do not fill a load
    std::vector<uint32_t> fast, literal;
    for (size_t n : {size_t{0}, size_t{3}, raw.size()}) {
        Histogram(raw.data(), n, fast);
        HistogramLiteral(raw.data(), n, literal);
        EXPECT_EQ(fast, literal) << n;
    }
}

TEST(MeasureFastPath, ColourIsBitIdenticalToTheLiteralAcrossChangingOptions) {
    constexpr int kW = 61, kH = 40;
    HueTable hue{};
    BuildHueTable(hue);
    const auto table = Table(false);
    const std::vector<uint16_t> frames[] = {Scene(kW, kH, 1), Scene(kW, kH, 2),
                                            std::vector<uint16_t>(kW * kH, 9000)};
    std::vector<ColourOptions> options;
    for (int agc : {kAgcRange, kAgcLinear, kAgcPlateau})
        for (int palette : {kHuePalette, 1, 5, kCustomPalette}) {
            ColourOptions o;
            o.palette = palette, o.agc = agc;
            for (int i = 0; i < kPaletteEntries; ++i)
                o.custom[static_cast<size_t>(i)] = static_cast<uint32_t>(i * 0x010203 + 7);
            options.push_back(o);
            o.rgb = true, o.damping = 0.6;
            options.push_back(o);
            o.isothermCount = 1;
            o.isotherms[0] = {kIsothermBetween, 30.0f, 40.0f, 0x00FF00};
            options.push_back(o);
        }
    for (int palette : {kHuePalette, 1, 5}) {  // palettes switched under one mapping
        ColourOptions o;
        o.palette = palette, o.agc = kAgcLinear;
        options.push_back(o);
    }
    const int32_t ranges[][2] = {
        {7000, 10000}, {7000, 12000}, {0, 16383}, {9000, 9000}, {-10, 70000}};
    // One memory through everything, as an instance keeps it: each call must
    // notice what changed since the last.
    ColourMemory memory;
    Mapping previousFast, previousLiteral;
    std::vector<uint8_t> fast(kW * kH * 3), literal(kW * kH * 3);
    int call = 0;
    // Each range through the options forwards, then backwards: consecutive
    // calls change one thing or a few, and a lookup that isotherms painted
    // meets the same palette and range without them.
    for (const auto &range : ranges)
        for (size_t step = 0; step < 2 * options.size(); ++step) {
            const ColourOptions &o =
                options[step < options.size() ? step : 2 * options.size() - 1 - step];
            for (const auto &raw : frames) {
                const bool reversed = ++call % 2 == 0;
                ColourResult a, b;
                ColourFrame({raw.data(), kW, kH}, *table, hue, range[0], range[1], reversed, o,
                            &previousFast, fast.data(), a, &memory);
                ColourFrameLiteral({raw.data(), kW, kH}, *table, hue, range[0], range[1], reversed,
                                   o, &previousLiteral, literal.data(), b);
                ASSERT_TRUE(fast == literal) << "palette " << o.palette << " agc " << o.agc
                                             << " rgb " << o.rgb << " isotherms " << o.isothermCount
                                             << " range " << range[0] << " call " << call;
                ASSERT_EQ(a.lowRaw, b.lowRaw);
                ASSERT_EQ(a.highRaw, b.highRaw);
                ASSERT_TRUE(std::equal(a.bar, a.bar + kPaletteEntries, b.bar)) << call;
            }
        }
}

TEST(MeasureFastPath, StatisticsEqualThePixelWalk) {
    TableFrame frame;
    frame.width = 640, frame.height = 480;
    frame.raw = Scene(640, 480, 5);
    frame.scene = DefaultScene();
    auto roi = [](int kind, std::vector<int> v) {
        KalvexRoi r{};
        r.kind = kind, r.count = static_cast<int32_t>(v.size() / 2);
        for (size_t i = 0; i < v.size(); ++i) r.v[i] = v[i];
        return r;
    };
    std::vector<KalvexRoi> rois = {
        roi(KALVEX_ROI_BOX, {0, 0, 640, 480}),
        roi(KALVEX_ROI_BOX, {0, 476, 9, 4}),  // the missing corner and more
        roi(KALVEX_ROI_BOX, {0, 476, 6, 4}),  // nothing but missing pixels
        roi(KALVEX_ROI_SPOT, {213, 240, 0}),
        roi(KALVEX_ROI_SPOT, {213, 240, 10}),  // the hot disc's edge
        roi(KALVEX_ROI_ELLIPSE, {320, 240, 319, 239}),
        roi(KALVEX_ROI_ELLIPSE, {30, 450, 30, 29}),
        roi(KALVEX_ROI_POLYGON, {0, 0, 639, 10, 300, 479, 320, 200}),
        roi(KALVEX_ROI_POLYGON, {0, 470, 20, 479, 3, 479}),
        roi(KALVEX_ROI_LINE, {639, 0, 0, 479}),
    };
    const size_t plain = rois.size();
    for (size_t i = 0; i < plain; ++i) {
        KalvexRoi own = rois[i];
        own.flags = KALVEX_ROI_EMISSIVITY | KALVEX_ROI_REFLECTED;
        own.emissivity = 0.7f, own.reflected = 35.0f;
        rois.push_back(own);
    }
    for (bool plateaus : {false, true}) {
        frame.table = Table(plateaus);
        for (size_t i = 0; i < rois.size(); ++i) {
            Region region;
            ASSERT_TRUE(BuildRegion(rois[i], 640, 480, region)) << i;
            const KalvexStats f = MeasureTableFrame(frame, region);
            const KalvexStats l = MeasureTableFrameLiteral(frame, region);
            const auto where = ::testing::Message() << "region " << i << " plateaus " << plateaus;
            EXPECT_EQ(f.count, l.count) << where;
            EXPECT_EQ(f.missing, l.missing) << where;
            EXPECT_EQ(f.min, l.min) << where;
            EXPECT_EQ(f.max, l.max) << where;
            EXPECT_EQ(f.hottestX, l.hottestX) << where;
            EXPECT_EQ(f.hottestY, l.hottestY) << where;
            EXPECT_EQ(f.coldestX, l.coldestX) << where;
            EXPECT_EQ(f.coldestY, l.coldestY) << where;
            // Both means come from one exact sum; the deviations from a double
            // over counts and from float runs of the walk.
            EXPECT_EQ(f.mean, l.mean) << where;
            EXPECT_NEAR(f.std, l.std, 2e-5 * std::max(1.0f, l.std)) << where;
        }
    }
}

}  // namespace
}  // namespace kalvex::measure
