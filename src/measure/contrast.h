// Contrast and colour: a frame's histogram becomes a mapping of every raw
// value onto the palette, and the mapping a colour lookup; the pixels see a
// table read only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "measure/palette.h"
#include "thermal/colour_map.h"
#include "thermal/thermo_table.h"

namespace kalvex::measure {

inline constexpr int kRawValues = 16384;  // 14-bit values; larger ones count as the last
inline constexpr int kAgcRange = 0, kAgcLinear = 1, kAgcPlateau = 2;
inline constexpr int kMaxIsotherms = 4;
inline constexpr int kIsothermAbove = 1, kIsothermBelow = 2, kIsothermBetween = 3;

struct Isotherm {
    int mode = 0;
    float t1 = 0, t2 = 0;
    uint32_t rgb = 0;  // 0x00RRGGBB
    bool Holds(float t) const {
        if (t == kNoTemperature) return false;
        switch (mode) {
            case kIsothermAbove:
                return t >= t1;
            case kIsothermBelow:
                return t <= t1;
            case kIsothermBetween:
                return t >= t1 && t <= t2;
            default:
                return false;
        }
    }
};

struct ColourOptions {
    int palette = kHuePalette;
    Palette custom{};  // palette kCustomPalette
    int agc = kAgcRange;
    double tailPercent = 1.0;
    double plateauLimit = 150.0;
    double damping = 0.0;
    bool rgb = false;
    int isothermCount = 0;
    Isotherm isotherms[kMaxIsotherms];
};

// Palette positions 0 to 65535 for every raw value 0 to 16383.
struct Mapping {
    std::vector<uint16_t> position = std::vector<uint16_t>(kRawValues, 0);
    int lowRaw = 0, highRaw = 0;  // the raw values at the palette's ends
};

// The frame's raw values counted per value (kRawValues bins).
void Histogram(const uint16_t *raw, size_t n, std::vector<uint32_t> &bins);
// Tail rejection: tailPercent of the pixels at or below the low end and as
// many at or above the high end; linear in between.
void LinearMapping(const std::vector<uint32_t> &bins, double tailPercent, Mapping &out);
// Equalisation of the histogram with each bin clipped at limit pixels; the
// position of a value is the middle of its share of the clipped total.
void PlateauMapping(const std::vector<uint32_t> &bins, double limit, Mapping &out);
// current := damping x previous + (1 - damping) x current, per raw value.
void Damp(const Mapping &previous, double damping, Mapping &current);

// One frame to colour: raw samples in buffer order (buffer row 0 first,
// width samples a row, the bottom line of the scene first).
struct RawFrame {
    const uint16_t *raw;
    int width, height;
};

struct ColourResult {
    int lowRaw = 0, highRaw = 0;
    uint32_t bar[kPaletteEntries]{};  // 0x00RRGGBB
};

// Colours frame into dst (width x height x 3 bytes, output row r from buffer
// row r, or height - 1 - r when reversed) with the instance's colour range
// (low, high) for contrast `range`. previous, when not null, is the mapping
// damping blends with, and receives the new one.
void ColourFrame(const RawFrame &frame, const CThermoTableState &table, const HueTable &hue,
                 int32_t low, int32_t high, bool reversed, const ColourOptions &options,
                 Mapping *previous, uint8_t *dst, ColourResult &result);

}  // namespace kalvex::measure
