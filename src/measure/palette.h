// Palettes: the library's own hue scale and named tables of control points
// interpolated to 256 entries.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kalvex::measure {

inline constexpr int kPaletteEntries = 256;
inline constexpr int kNamedPalettes = 9;  // ids 0 (hue) to 8
inline constexpr int kHuePalette = 0;
inline constexpr int kCustomPalette = 100;

struct ControlPoint {
    uint8_t position;  // entry 0 to 255
    uint8_t r, g, b;
};

// 256 colours as 0x00RRGGBB, coldest first.
using Palette = std::array<uint32_t, kPaletteEntries>;

// Name of palette id 0-8, empty for other ids; the id of a name, -1 if unknown.
std::string_view PaletteName(int id);
int PaletteId(std::string_view name);
// The control points of palette ids 1-8 (empty for hue and unknown ids).
std::span<const ControlPoint> PaletteControlPoints(int id);
// Linear interpolation between control points, rounded to nearest; the
// first point at 0, the last at 255, positions increasing.
Palette Interpolate(std::span<const ControlPoint> points);
// The interpolated table of a named palette 1-8 (built once).
const Palette &NamedPalette(int id);
// 256 R, G, B triplets as a palette.
Palette FromTriplets(const uint8_t *rgb);

}  // namespace kalvex::measure
