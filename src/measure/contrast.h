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
// The three above as first written, a value at a time over all 16384; the
// fast ones (which skip what lies outside the occupied values and divide
// through a reciprocal corrected to the exact quotient) give the same.
void HistogramLiteral(const uint16_t *raw, size_t n, std::vector<uint32_t> &bins);
void LinearMappingLiteral(const std::vector<uint32_t> &bins, double tailPercent, Mapping &out);
void PlateauMappingLiteral(const std::vector<uint32_t> &bins, double limit, Mapping &out);
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

// What colouring keeps from frame to frame beyond the damping mapping: the
// colour lookup of contrast `range`, reused while the palette, the range and
// the byte order stay (a range that follows the scene changes it), and the
// lookup and counts the mappings fill.
struct ColourMemory {
    std::vector<uint32_t> lut = std::vector<uint32_t>(65536, 0);
    bool rangeValid = false;
    int palette = 0;
    Palette custom{};
    int32_t low = 0, high = 0;
    bool rgb = false;
    const HueTable *hue = nullptr;
    // lut[0, headEnd) all hold headWord and lut[tailStart, 65536) tailWord:
    // a mapping's constant ends are written only where they moved.
    size_t headEnd = 0, tailStart = 65536;
    uint32_t headWord = 0, tailWord = 0;
    Mapping mapping;
    std::vector<uint32_t> bins;
};

// Colours frame into dst (width x height x 3 bytes, output row r from buffer
// row r, or height - 1 - r when reversed) with the instance's colour range
// (low, high) for contrast `range`. previous, when not null, is the mapping
// damping blends with, and receives the new one.
// memory, when not null, carries the lookup over to the next call. The same
// bytes as ColourFrameLiteral, which builds everything afresh.
void ColourFrame(const RawFrame &frame, const CThermoTableState &table, const HueTable &hue,
                 int32_t low, int32_t high, bool reversed, const ColourOptions &options,
                 Mapping *previous, uint8_t *dst, ColourResult &result,
                 ColourMemory *memory = nullptr);
void ColourFrameLiteral(const RawFrame &frame, const CThermoTableState &table, const HueTable &hue,
                        int32_t low, int32_t high, bool reversed, const ColourOptions &options,
                        Mapping *previous, uint8_t *dst, ColourResult &result);

}  // namespace kalvex::measure
