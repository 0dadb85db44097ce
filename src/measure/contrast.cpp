#include "measure/contrast.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "measure/counts.h"

namespace kalvex::measure {

namespace {
constexpr uint32_t kMaxPosition = 65535;

// A hue entry (0x00BBGGRR) as 0x00RRGGBB.
constexpr uint32_t HueRgb(uint32_t e) {
    return ((e & 0xFFu) << 16) | (e & 0xFF00u) | ((e >> 16) & 0xFFu);
}
// 0x00RRGGBB as the word whose low bytes are written in order: B, G, R for
// the library's byte order, else R, G, B.
constexpr uint32_t OutputWord(uint32_t rgb, bool rgbOrder) {
    return rgbOrder ? HueRgb(rgb) : rgb;
}

// The palette colour of a position 0 to 65535.
uint32_t AtPosition(const ColourOptions &o, const HueTable &hue, uint32_t position) {
    if (o.palette == kHuePalette) return HueRgb(hue[static_cast<size_t>(position * 360u >> 16)]);
    const Palette &p = o.palette == kCustomPalette ? o.custom : NamedPalette(o.palette);
    return p[position >> 8];
}

// The frame through the lookup, row by row in output order; with perPixel,
// the isotherms then painted from each pixel's own temperature (an
// emissivity map makes it differ from its raw value's).
void WriteRows(const RawFrame &frame, const CThermoTableState &table, bool reversed,
               const ColourOptions &o, bool perPixel, const uint32_t *lut, uint8_t *dst) {
    const size_t rowBytes = static_cast<size_t>(frame.width) * 3;
    std::vector<float> celsius(perPixel ? static_cast<size_t>(frame.width) : 0);
    for (int r = 0; r < frame.height; ++r) {
        const int source = reversed ? frame.height - 1 - r : r;
        const uint16_t *src =
            frame.raw + static_cast<size_t>(source) * static_cast<size_t>(frame.width);
        uint8_t *out = dst + static_cast<size_t>(r) * rowBytes;
        MapRowThroughLut(src, out, frame.width, lut);
        if (!perPixel) continue;
        table.LookupRow(src, source, celsius.data(), frame.width);
        for (int c = 0; c < frame.width; ++c) {
            for (int k = 0; k < o.isothermCount; ++k) {
                if (!o.isotherms[k].Holds(celsius[static_cast<size_t>(c)])) continue;
                const uint32_t w = OutputWord(o.isotherms[k].rgb, o.rgb);
                out[3 * c] = static_cast<uint8_t>(w);
                out[3 * c + 1] = static_cast<uint8_t>(w >> 8);
                out[3 * c + 2] = static_cast<uint8_t>(w >> 16);
            }
        }
    }
}

}  // namespace

void HistogramLiteral(const uint16_t *raw, size_t n, std::vector<uint32_t> &bins) {
    bins.assign(kRawValues, 0);
    // Four partial histograms keep repeated values from stalling on one counter.
    std::vector<uint32_t> parts(4 * kRawValues, 0);
    uint32_t *h0 = parts.data(), *h1 = h0 + kRawValues, *h2 = h1 + kRawValues,
             *h3 = h2 + kRawValues;
    auto bin = [](uint16_t v) { return std::min<uint32_t>(v, kRawValues - 1); };
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++h0[bin(raw[i])];
        ++h1[bin(raw[i + 1])];
        ++h2[bin(raw[i + 2])];
        ++h3[bin(raw[i + 3])];
    }
    for (; i < n; ++i) ++h0[bin(raw[i])];
    for (int v = 0; v < kRawValues; ++v)
        bins[static_cast<size_t>(v)] = h0[v] + h1[v] + h2[v] + h3[v];
}

namespace {

// The ends of linear contrast: low, the first value with more than the tail
// (tailPercent of the pixels) at or below it; high, the last with more than
// the tail at or above it; at least one value apart.
void TailEnds(const std::vector<uint32_t> &bins, double tailPercent, int *lowOut, int *highOut) {
    uint64_t total = 0;
    for (uint32_t b : bins) total += b;
    const auto tail =
        static_cast<uint64_t>(std::floor(static_cast<double>(total) * tailPercent / 100.0));
    int low = 0, high = kRawValues - 1;
    uint64_t sum = 0;
    for (low = 0; low < kRawValues - 1; ++low) {
        sum += bins[static_cast<size_t>(low)];
        if (sum > tail) break;
    }
    sum = 0;
    for (high = kRawValues - 1; high > 0; --high) {
        sum += bins[static_cast<size_t>(high)];
        if (sum > tail) break;
    }
    if (high <= low) high = std::min(low + 1, kRawValues - 1), low = high - 1;
    *lowOut = low, *highOut = high;
}

}  // namespace

void LinearMappingLiteral(const std::vector<uint32_t> &bins, double tailPercent, Mapping &out) {
    int low = 0, high = 0;
    TailEnds(bins, tailPercent, &low, &high);
    const int64_t span = high - low;
    for (int v = 0; v < kRawValues; ++v) {
        const int64_t p =
            std::clamp<int64_t>((v - low) * int64_t{kMaxPosition} / span, 0, kMaxPosition);
        out.position[static_cast<size_t>(v)] = static_cast<uint16_t>(p);
    }
    out.lowRaw = low;
    out.highRaw = high;
}

void PlateauMappingLiteral(const std::vector<uint32_t> &bins, double limit, Mapping &out) {
    const auto cap = static_cast<uint64_t>(std::max(1.0, std::floor(limit)));
    uint64_t total = 0;
    int first = -1, last = -1;
    for (int v = 0; v < kRawValues; ++v) {
        const uint32_t b = bins[static_cast<size_t>(v)];
        if (b == 0) continue;
        total += std::min<uint64_t>(b, cap);
        if (first < 0) first = v;
        last = v;
    }
    if (total == 0) {
        std::fill(out.position.begin(), out.position.end(), uint16_t{0});
        out.lowRaw = out.highRaw = 0;
        return;
    }
    uint64_t below = 0;
    for (int v = 0; v < kRawValues; ++v) {
        const uint64_t b = std::min<uint64_t>(bins[static_cast<size_t>(v)], cap);
        // The middle of this value's share: a frame of one value sits mid-scale.
        const uint64_t p = ((2 * below + b) * (kMaxPosition + 1)) / (2 * total);
        out.position[static_cast<size_t>(v)] =
            static_cast<uint16_t>(std::min<uint64_t>(p, kMaxPosition));
        below += b;
    }
    out.lowRaw = first;
    out.highRaw = last;
}

void Damp(const Mapping &previous, double damping, Mapping &current) {
    const auto keep = static_cast<uint32_t>(std::lround(std::clamp(damping, 0.0, 1.0) * 256.0));
    if (keep == 0) return;
    for (size_t v = 0; v < current.position.size(); ++v)
        current.position[v] = static_cast<uint16_t>(
            (keep * previous.position[v] + (256 - keep) * current.position[v] + 128) >> 8);
    current.lowRaw =
        static_cast<int>((keep * static_cast<uint32_t>(previous.lowRaw) +
                          (256 - keep) * static_cast<uint32_t>(current.lowRaw) + 128) >>
                         8);
    current.highRaw =
        static_cast<int>((keep * static_cast<uint32_t>(previous.highRaw) +
                          (256 - keep) * static_cast<uint32_t>(current.highRaw) + 128) >>
                         8);
}

void ColourFrameLiteral(const RawFrame &frame, const CThermoTableState &table, const HueTable &hue,
                        int32_t low, int32_t high, bool reversed, const ColourOptions &o,
                        Mapping *previous, uint8_t *dst, ColourResult &result) {
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    // rgbOf[v]: 0x00RRGGBB for every 16-bit sample value. Values past the
    // 14 bits take the colour of the last one (the mappings) or of the range
    // (black, white or the ends of the palette), computed only where it varies.
    std::vector<uint32_t> rgbOf(65536);
    if (o.agc == kAgcRange) {
        const uint32_t first = o.palette == kHuePalette ? 0x000000u : AtPosition(o, hue, 0);
        const uint32_t last = o.palette == kHuePalette ? 0xFFFFFFu : AtPosition(o, hue, 255u << 8);
        const int64_t from = std::clamp<int64_t>(int64_t{low} + 1, 0, 65536);
        const int64_t to = std::clamp<int64_t>(high, from, 65536);
        std::fill(rgbOf.begin(), rgbOf.begin() + static_cast<std::ptrdiff_t>(from), first);
        for (int64_t g = from; g < to; ++g) {
            if (o.palette == kHuePalette) {
                rgbOf[static_cast<size_t>(g)] =
                    HueRgb(LiteralColour(hue, low, high, static_cast<uint32_t>(g)));
                continue;
            }
            const int64_t index = std::min<int64_t>(
                (g - low) * kPaletteEntries / (int64_t{high} - low), kPaletteEntries - 1);
            rgbOf[static_cast<size_t>(g)] = AtPosition(o, hue, static_cast<uint32_t>(index << 8));
        }
        std::fill(rgbOf.begin() + static_cast<std::ptrdiff_t>(to), rgbOf.end(), last);
        result.lowRaw = low;
        result.highRaw = high;
    } else {
        std::vector<uint32_t> bins;
        HistogramLiteral(frame.raw, pixels, bins);
        Mapping mapping;
        if (o.agc == kAgcLinear)
            LinearMappingLiteral(bins, o.tailPercent, mapping);
        else
            PlateauMappingLiteral(bins, o.plateauLimit, mapping);
        if (previous != nullptr) {
            if (o.damping > 0) Damp(*previous, o.damping, mapping);
            *previous = mapping;
        }
        if (o.palette == kHuePalette) {
            for (size_t v = 0; v < kRawValues; ++v)
                rgbOf[v] = AtPosition(o, hue, mapping.position[v]);
        } else {
            const Palette &p = o.palette == kCustomPalette ? o.custom : NamedPalette(o.palette);
            for (size_t v = 0; v < kRawValues; ++v) rgbOf[v] = p[mapping.position[v] >> 8];
        }
        std::fill(rgbOf.begin() + kRawValues, rgbOf.end(), rgbOf[kRawValues - 1]);
        result.lowRaw = mapping.lowRaw;
        result.highRaw = mapping.highRaw;
    }

    // The bar: evenly spaced raw values from one end to the other.
    const int64_t span = int64_t{result.highRaw} - result.lowRaw;
    for (int i = 0; i < kPaletteEntries; ++i) {
        const int64_t v =
            std::clamp<int64_t>(result.lowRaw + span * i / (kPaletteEntries - 1), 0, 65535);
        result.bar[i] = rgbOf[static_cast<size_t>(v)];
    }

    // Isotherms over the uniform scene's temperatures go into the lookup; a
    // per-pixel emissivity map needs each pixel's own temperature.
    const bool perPixel = o.isothermCount > 0 && table.scene && table.scene->HasMap();
    if (o.isothermCount > 0 && !perPixel) {
        const float *t = table.LookupArray();
        for (uint32_t v = 0; v < 65536; ++v) {
            const float celsius = t[std::min<uint32_t>(v, kRawValues)];
            for (int k = 0; k < o.isothermCount; ++k)
                if (o.isotherms[k].Holds(celsius)) rgbOf[v] = o.isotherms[k].rgb;
        }
    }
    if (o.rgb)
        for (uint32_t &w : rgbOf) w = OutputWord(w, true);

    WriteRows(frame, table, reversed, o, perPixel, rgbOf.data(), dst);
}

namespace {

// floor(num / den), den > 0: a guess through the reciprocal, corrected in
// integers, so that no 64-bit division runs per raw value.
inline uint64_t Quotient(uint64_t num, uint64_t den, double inverse) {
    auto q = static_cast<uint64_t>(static_cast<double>(num) * inverse);
    while (q > 0 && q * den > num) --q;
    while ((q + 1) * den <= num) ++q;
    return q;
}

// The colour of sample value g under contrast `range` over (low, high):
// `first` up to from, `last` from to on, the scale in between.
struct RangeScale {
    int32_t low, high;
    int64_t from, to;
    uint32_t first, last;
    RangeScale(const ColourOptions &o, const HueTable &hue, int32_t l, int32_t h)
        : low(l),
          high(h),
          from(std::clamp<int64_t>(int64_t{l} + 1, 0, 65536)),
          to(std::clamp<int64_t>(h, from, 65536)),
          first(o.palette == kHuePalette ? 0x000000u : AtPosition(o, hue, 0)),
          last(o.palette == kHuePalette ? 0xFFFFFFu : AtPosition(o, hue, 255u << 8)) {}
    uint32_t Scale(const ColourOptions &o, const HueTable &hue, int64_t g) const {
        if (o.palette == kHuePalette)
            return HueRgb(LiteralColour(hue, low, high, static_cast<uint32_t>(g)));
        const int64_t index = std::min<int64_t>((g - low) * kPaletteEntries / (int64_t{high} - low),
                                                kPaletteEntries - 1);
        return AtPosition(o, hue, static_cast<uint32_t>(index << 8));
    }
    uint32_t At(const ColourOptions &o, const HueTable &hue, int64_t g) const {
        return g < from ? first : g >= to ? last : Scale(o, hue, g);
    }
};

}  // namespace

void Histogram(const uint16_t *raw, size_t n, std::vector<uint32_t> &bins) {
    thread_local std::vector<uint32_t> parts(kCountParts * kCountIndices, 0);
    thread_local std::vector<uint32_t> total(kCountIndices, 0);
    bins.assign(kRawValues, 0);
    if (n == 0) return;
    uint16_t low = 0xFFFF, high = 0;
    for (size_t done = 0; done < n;) {
        const size_t chunk = std::min<size_t>(n - done, size_t{1} << 20);
        const RawRange r = CountSamples(raw + done, static_cast<int>(chunk), parts.data());
        low = std::min(low, r.low), high = std::max(high, r.high);
        done += chunk;
    }
    const size_t first = CountIndex(low), last = CountIndex(high);
    AddUpParts(parts.data(), first, last, total.data());
    for (size_t v = first; v <= last; ++v) bins[std::min<size_t>(v, kRawValues - 1)] += total[v];
}

void LinearMapping(const std::vector<uint32_t> &bins, double tailPercent, Mapping &out) {
    int low = 0, high = 0;
    TailEnds(bins, tailPercent, &low, &high);
    // 0 up to low, full scale from high on, the quotient only in between.
    const auto span = static_cast<uint64_t>(high - low);
    const double inverse = 1.0 / static_cast<double>(span);
    uint16_t *p = out.position.data();
    std::fill(p, p + low + 1, uint16_t{0});
    for (int v = low + 1; v < high; ++v)
        p[v] = static_cast<uint16_t>(
            Quotient(static_cast<uint64_t>(v - low) * kMaxPosition, span, inverse));
    std::fill(p + high, p + kRawValues, static_cast<uint16_t>(kMaxPosition));
    out.lowRaw = low;
    out.highRaw = high;
}

void PlateauMapping(const std::vector<uint32_t> &bins, double limit, Mapping &out) {
    const auto cap = static_cast<uint64_t>(std::max(1.0, std::floor(limit)));
    int first = 0, last = kRawValues - 1;
    while (first < kRawValues && bins[static_cast<size_t>(first)] == 0) ++first;
    if (first == kRawValues) {
        std::fill(out.position.begin(), out.position.end(), uint16_t{0});
        out.lowRaw = out.highRaw = 0;
        return;
    }
    while (bins[static_cast<size_t>(last)] == 0) --last;
    uint64_t total = 0;
    for (int v = first; v <= last; ++v)
        total += std::min<uint64_t>(bins[static_cast<size_t>(v)], cap);
    // Below the first value nothing lies below (position 0); past the last
    // everything does (the top of the scale).
    uint16_t *p = out.position.data();
    std::fill(p, p + first, uint16_t{0});
    const double inverse = 1.0 / static_cast<double>(2 * total);
    uint64_t below = 0;
    for (int v = first; v <= last; ++v) {
        const uint64_t b = std::min<uint64_t>(bins[static_cast<size_t>(v)], cap);
        p[v] = static_cast<uint16_t>(std::min<uint64_t>(
            Quotient((2 * below + b) * (kMaxPosition + 1), 2 * total, inverse), kMaxPosition));
        below += b;
    }
    std::fill(p + last + 1, p + kRawValues, static_cast<uint16_t>(kMaxPosition));
    out.lowRaw = first;
    out.highRaw = last;
}

void ColourFrame(const RawFrame &frame, const CThermoTableState &table, const HueTable &hue,
                 int32_t low, int32_t high, bool reversed, const ColourOptions &o,
                 Mapping *previous, uint8_t *dst, ColourResult &result, ColourMemory *memory) {
    std::optional<ColourMemory> own;
    ColourMemory &m = memory != nullptr ? *memory : own.emplace();
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    // lut: the output word of every 16-bit sample value, made as
    // ColourFrameLiteral makes it, with the byte order applied on the way.
    uint32_t *lut = m.lut.data();
    const bool perPixel = o.isothermCount > 0 && table.scene && table.scene->HasMap();
    const auto word = [&](uint32_t rgb) { return OutputWord(rgb, o.rgb); };
    if (o.agc == kAgcRange) {
        const RangeScale scale(o, hue, low, high);
        const bool kept = m.rangeValid && m.palette == o.palette &&
                          (o.palette != kCustomPalette || m.custom == o.custom) && m.low == low &&
                          m.high == high && m.rgb == o.rgb && m.hue == &hue;
        m.headEnd = 0, m.tailStart = 65536;  // the ends are the range's now
        if (!kept) {
            const auto from = static_cast<size_t>(scale.from), to = static_cast<size_t>(scale.to);
            std::fill(lut, lut + from, word(scale.first));
            for (size_t g = from; g < to; ++g)
                lut[g] = word(scale.Scale(o, hue, static_cast<int64_t>(g)));
            std::fill(lut + to, lut + 65536, word(scale.last));
        }
        // Isotherms below change the lookup; without them it serves again.
        m.rangeValid = o.isothermCount == 0;
        m.palette = o.palette, m.custom = o.custom, m.low = low, m.high = high, m.rgb = o.rgb;
        m.hue = &hue;
        result.lowRaw = low;
        result.highRaw = high;
        const int64_t span = int64_t{high} - low;
        for (int i = 0; i < kPaletteEntries; ++i)
            result.bar[i] = scale.At(
                o, hue, std::clamp<int64_t>(low + span * i / (kPaletteEntries - 1), 0, 65535));
    } else {
        m.rangeValid = false;
        Histogram(frame.raw, pixels, m.bins);
        Mapping &mapping = m.mapping;
        if (o.agc == kAgcLinear)
            LinearMapping(m.bins, o.tailPercent, mapping);
        else
            PlateauMapping(m.bins, o.plateauLimit, mapping);
        if (previous != nullptr) {
            if (o.damping > 0) Damp(*previous, o.damping, mapping);
            *previous = mapping;
        }
        const Palette &p = o.palette == kCustomPalette ? o.custom : NamedPalette(o.palette);
        const auto colourAt = [&](uint16_t position) {
            return o.palette == kHuePalette ? AtPosition(o, hue, position) : p[position >> 8];
        };
        // Undamped, a mapping is 0 below its low end and full scale above its
        // high end: only the values in between need their own colour.
        const bool damped = previous != nullptr && o.damping > 0;
        const auto from = static_cast<size_t>(damped ? 0 : mapping.lowRaw);
        const auto to = static_cast<size_t>(damped ? kRawValues - 1 : mapping.highRaw);
        const uint32_t head = word(colourAt(mapping.position[0]));
        const uint32_t tail = word(colourAt(mapping.position[kRawValues - 1]));
        if (head != m.headWord) m.headEnd = 0;
        if (tail != m.tailWord) m.tailStart = 65536;
        std::fill(lut + std::min(m.headEnd, from), lut + from, head);
        for (size_t v = from; v <= to; ++v) lut[v] = word(colourAt(mapping.position[v]));
        std::fill(lut + to + 1, lut + std::max(m.tailStart, to + 1), tail);
        m.headEnd = from, m.headWord = head;
        m.tailStart = to + 1, m.tailWord = tail;
        result.lowRaw = mapping.lowRaw;
        result.highRaw = mapping.highRaw;
        const int64_t span = int64_t{result.highRaw} - result.lowRaw;
        for (int i = 0; i < kPaletteEntries; ++i) {
            const int64_t v = std::clamp<int64_t>(result.lowRaw + span * i / (kPaletteEntries - 1),
                                                  0, kRawValues - 1);
            result.bar[i] = colourAt(mapping.position[static_cast<size_t>(v)]);
        }
    }

    if (o.isothermCount > 0 && !perPixel) {
        m.headEnd = 0, m.tailStart = 65536;
        const float *t = table.LookupArray();
        for (uint32_t v = 0; v < 65536; ++v) {
            const float celsius = t[std::min<uint32_t>(v, kRawValues)];
            for (int k = 0; k < o.isothermCount; ++k)
                if (o.isotherms[k].Holds(celsius)) lut[v] = word(o.isotherms[k].rgb);
        }
    }

    WriteRows(frame, table, reversed, o, perPixel, lut, dst);
}

}  // namespace kalvex::measure
