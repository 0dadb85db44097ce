#include "measure/palette.h"

#include <cmath>

namespace kalvex::measure {

namespace {
constexpr ControlPoint kIronbow[] = {{0, 0, 0, 0},      {48, 32, 0, 140},   {96, 150, 0, 150},
                                     {160, 235, 95, 0}, {208, 255, 200, 0}, {255, 255, 255, 255}};
constexpr ControlPoint kRainbow[] = {
    {0, 0, 0, 255}, {64, 0, 255, 255}, {128, 0, 255, 0}, {192, 255, 255, 0}, {255, 255, 0, 0}};
// Two passes through the hues, so that small differences change colour.
constexpr ControlPoint kRainbowHc[] = {{0, 0, 0, 0},       {36, 0, 0, 255},     {73, 0, 255, 255},
                                       {109, 0, 255, 0},   {146, 255, 255, 0},  {182, 255, 0, 0},
                                       {219, 255, 0, 255}, {255, 255, 255, 255}};
constexpr ControlPoint kWhiteHot[] = {{0, 0, 0, 0}, {255, 255, 255, 255}};
constexpr ControlPoint kBlackHot[] = {{0, 255, 255, 255}, {255, 0, 0, 0}};
constexpr ControlPoint kArctic[] = {{0, 8, 8, 48},
                                    {96, 16, 80, 200},
                                    {176, 96, 220, 255},
                                    {224, 240, 200, 64},
                                    {255, 255, 255, 208}};
constexpr ControlPoint kLava[] = {
    {0, 0, 0, 0}, {80, 120, 0, 0}, {160, 230, 60, 0}, {216, 255, 170, 0}, {255, 255, 255, 160}};
constexpr ControlPoint kGrey[] = {{0, 32, 32, 32}, {255, 224, 224, 224}};

struct Named {
    std::string_view name;
    std::span<const ControlPoint> points;
};
const Named kNamed[kNamedPalettes] = {{"hue", {}},
                                      {"ironbow", kIronbow},
                                      {"rainbow", kRainbow},
                                      {"rainbow-hc", kRainbowHc},
                                      {"white-hot", kWhiteHot},
                                      {"black-hot", kBlackHot},
                                      {"arctic", kArctic},
                                      {"lava", kLava},
                                      {"grey", kGrey}};

int Channel(int a, int b, int offset, int span) {
    return static_cast<int>(std::lround(a + (b - a) * static_cast<double>(offset) / span));
}
}  // namespace

std::string_view PaletteName(int id) {
    return id >= 0 && id < kNamedPalettes ? kNamed[id].name : std::string_view{};
}

int PaletteId(std::string_view name) {
    for (int id = 0; id < kNamedPalettes; ++id)
        if (kNamed[id].name == name) return id;
    return -1;
}

std::span<const ControlPoint> PaletteControlPoints(int id) {
    return id > 0 && id < kNamedPalettes ? kNamed[id].points : std::span<const ControlPoint>{};
}

Palette Interpolate(std::span<const ControlPoint> points) {
    Palette out{};
    for (size_t k = 0; k + 1 < points.size(); ++k) {
        const ControlPoint &a = points[k], &b = points[k + 1];
        const int span = b.position - a.position;
        for (int i = a.position; i <= b.position; ++i) {
            const int o = i - a.position;
            out[static_cast<size_t>(i)] =
                static_cast<uint32_t>(Channel(a.r, b.r, o, span) << 16 |
                                      Channel(a.g, b.g, o, span) << 8 | Channel(a.b, b.b, o, span));
        }
    }
    return out;
}

const Palette &NamedPalette(int id) {
    static const auto tables = [] {
        std::array<Palette, kNamedPalettes> all{};
        for (int i = 1; i < kNamedPalettes; ++i)
            all[static_cast<size_t>(i)] = Interpolate(kNamed[i].points);
        return all;
    }();
    return tables[static_cast<size_t>(id > 0 && id < kNamedPalettes ? id : 1)];
}

Palette FromTriplets(const uint8_t *rgb) {
    Palette out{};
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint32_t{rgb[3 * i]} << 16 | uint32_t{rgb[3 * i + 1]} << 8 | rgb[3 * i + 2];
    return out;
}

}  // namespace kalvex::measure
