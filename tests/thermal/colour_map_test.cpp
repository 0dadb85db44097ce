#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "thermal/colour_map.h"

namespace kalvex {
namespace {

HueTable MakeHue() {
    HueTable hue{};
    BuildHueTable(hue);
    return hue;
}

struct Rgb {
    int r, g, b;
};

Rgb Entry(const HueTable &hue, int i) {
    uint32_t e = hue[static_cast<size_t>(i)];
    return {static_cast<int>(e & 255), static_cast<int>((e >> 8) & 255),
            static_cast<int>((e >> 16) & 255)};
}

TEST(ColourMap, HueTableRows) {
    const HueTable hue = MakeHue();
    const int rows[][4] = {{0, 5, 0, 6},        {30, 63, 0, 132},   {59, 0, 0, 254},
                           {90, 0, 131, 254},   {119, 0, 254, 254}, {150, 0, 254, 122},
                           {179, 0, 254, 0},    {210, 131, 254, 0}, {239, 254, 254, 0},
                           {270, 254, 122, 0},  {299, 254, 0, 0},   {330, 255, 129, 194},
                           {359, 255, 253, 255}};
    for (const auto &row : rows) {
        Rgb c = Entry(hue, row[0]);
        EXPECT_EQ(c.r, row[1]) << "entry " << row[0];
        EXPECT_EQ(c.g, row[2]) << "entry " << row[0];
        EXPECT_EQ(c.b, row[3]) << "entry " << row[0];
    }
    EXPECT_EQ(HueToComponent(10, 200, -30), 10);  // negative remainder gives m1
    EXPECT_EQ(HueToComponent(10, 200, 390), 10 + 190 * 30 / 60);
}

// The per-pixel formula, written out independently of the mapper.
void LiteralFrame(const HueTable &hue, const std::vector<uint16_t> &raw, int w, int h, int32_t low,
                  int32_t high, std::vector<uint8_t> &out, int stride) {
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            int64_t g = raw[static_cast<size_t>(r * w + c)];
            uint8_t *p = &out[static_cast<size_t>(r * stride + 3 * c)];
            if (g <= low) {
                p[0] = p[1] = p[2] = 0;
            } else if (g >= high) {
                p[0] = p[1] = p[2] = 255;
            } else {
                double k = static_cast<double>(static_cast<float>(g - low)) * 360.0 /
                           static_cast<double>(static_cast<float>(int64_t{high} - low));
                uint32_t e = hue[static_cast<size_t>(static_cast<int>(k))];
                p[0] = static_cast<uint8_t>((e >> 16) & 255);
                p[1] = static_cast<uint8_t>((e >> 8) & 255);
                p[2] = static_cast<uint8_t>(e & 255);
            }
        }
    }
}

struct Frame {
    int w, h, stride;
    std::vector<uint16_t> raw;
    std::vector<uint8_t> bgr;
    Frame(int width, int height, uint16_t fill)
        : w(width),
          h(height),
          stride((width * 3 + 3) & ~3),
          raw(static_cast<size_t>(width * height), fill),
          bgr(static_cast<size_t>(stride * height), 0xAB) {}
    ColourFrame View() { return ColourFrame{raw.data(), w * 2, bgr.data(), stride, w, h}; }
    uint16_t &At(int r, int c) { return raw[static_cast<size_t>(r * w + c)]; }
};

TEST(ColourMap, LookupMatchesFormulaForEveryRawValue) {
    const HueTable hue = MakeHue();
    const int32_t ranges[][2] = {
        {1000, 3000}, {0, 16383},  {5000, 5001},   {4000, 4000},
        {3000, 1000}, {-500, 200}, {16000, 70000}, {-2000000000, 2000000000}};
    for (const auto &range : ranges) {
        Frame f(16384, 1, 0);
        for (int g = 0; g < 16384; ++g) f.raw[static_cast<size_t>(g)] = static_cast<uint16_t>(g);
        ColourRange cr;
        cr.low = range[0];
        cr.high = range[1];
        cr.autoRangeCounter = 0;
        CColourMapper mapper(hue);
        mapper.ColorizeFrame(f.View(), cr);
        for (uint32_t g = 0; g < 16384; ++g) {
            uint32_t e = LiteralColour(hue, range[0], range[1], g);
            const uint8_t *p = &f.bgr[3 * g];
            ASSERT_EQ(p[0], (e >> 16) & 255) << g << " range " << range[0] << ".." << range[1];
            ASSERT_EQ(p[1], (e >> 8) & 255) << g;
            ASSERT_EQ(p[2], e & 255) << g;
        }
    }
}

TEST(ColourMap, WholeFrameMatchesLiteralLoopOnOddSizes) {
    const HueTable hue = MakeHue();
    std::mt19937 rng(7);
    std::normal_distribution<double> scene(2000.0, 400.0);
    for (auto [w, h] : {std::pair{640, 480}, std::pair{37, 23}, std::pair{1, 5}}) {
        Frame f(w, h, 0);
        for (auto &v : f.raw) v = static_cast<uint16_t>(std::clamp(scene(rng), 0.0, 16383.0));
        std::vector<uint8_t> expected(f.bgr.size(), 0xAB);
        LiteralFrame(hue, f.raw, w, h, 1000, 3000, expected, f.stride);
        ColourRange cr;
        CColourMapper mapper(hue);
        mapper.ColorizeFrame(f.View(), cr);
        EXPECT_EQ(f.bgr, expected) << w << "x" << h;  // padding bytes untouched too
    }
}

TEST(ColourMap, AutoRangeFromCentralWindow) {
    const HueTable hue = MakeHue();
    Frame f(640, 480, 2000);
    f.At(41, 41) = 1500;
    f.At(439, 599) = 2500;
    // Outer rows and columns never count.
    f.At(40, 300) = 10;
    f.At(440, 300) = 16000;
    f.At(200, 40) = 10;
    f.At(200, 600) = 16000;
    ColourRange cr;
    CColourMapper mapper(hue);
    EXPECT_EQ(mapper.ColorizeFrame(f.View(), cr), 1);
    EXPECT_EQ(cr.low.load(), 1380);
    EXPECT_EQ(cr.high.load(), 2620);
    // The frame itself was mapped with 1000..3000: 2000 is entry 180.
    uint32_t e = hue[180];
    EXPECT_EQ(f.bgr[static_cast<size_t>(200 * f.stride + 3 * 320)], (e >> 16) & 255);
    EXPECT_EQ(f.bgr[static_cast<size_t>(40 * f.stride + 3 * 300)], 0);     // 10: black
    EXPECT_EQ(f.bgr[static_cast<size_t>(440 * f.stride + 3 * 300)], 255);  // white
}

TEST(ColourMap, CounterLimitsTheFramesThatSetTheRange) {
    const HueTable hue = MakeHue();
    Frame f(64, 48, 2000);
    ColourRange cr;
    cr.autoRangeCounter = 2;
    CColourMapper mapper(hue);
    mapper.ColorizeFrame(f.View(), cr);
    EXPECT_EQ(cr.autoRangeCounter.load(), 1);
    mapper.ColorizeFrame(f.View(), cr);
    EXPECT_EQ(cr.autoRangeCounter.load(), 0);
    EXPECT_EQ(cr.low.load(), 1880);
    cr.low = 100;
    cr.high = 200;
    mapper.ColorizeFrame(f.View(), cr);
    EXPECT_EQ(cr.low.load(), 100);
    EXPECT_EQ(cr.high.load(), 200);
}

TEST(ColourMap, RangeIsClampedToTheSensor) {
    const HueTable hue = MakeHue();
    Frame f(64, 48, 50);
    f.At(20, 20) = 16300;
    ColourRange cr;
    CColourMapper mapper(hue);
    mapper.ColorizeFrame(f.View(), cr);
    EXPECT_EQ(cr.high.load(), 16383);
    EXPECT_EQ(cr.low.load(), 0);
}

TEST(ColourMap, EdgesOfTheRange) {
    const HueTable hue = MakeHue();
    EXPECT_EQ(LiteralColour(hue, 1000, 1360, 1000), 0u);
    EXPECT_EQ(LiteralColour(hue, 1000, 1360, 1360), 0xFFFFFFu);
    EXPECT_EQ(LiteralColour(hue, 1000, 1360, 1001), hue[1]);
    EXPECT_EQ(LiteralColour(hue, 1000, 1360, 1359), hue[359]);
    // low >= high: black at or below low, white above.
    EXPECT_EQ(LiteralColour(hue, 3000, 1000, 2000), 0u);
    EXPECT_EQ(LiteralColour(hue, 3000, 1000, 3001), 0xFFFFFFu);
}

}  // namespace
}  // namespace kalvex
