#include "thermal/colour_map.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KALVEX_COLOUR_SSE2 1
#endif

namespace kalvex {

int32_t HueToComponent(int32_t m1, int32_t m2, int32_t hue) {
    int32_t h = hue % 360;
    if (h < 0) return m1;
    if (h < 60) return m1 + (m2 - m1) * h / 60;
    if (h < 180) return m2;
    if (h < 240) return m1 + (m2 - m1) * (240 - h) / 60;
    return m1;
}

void BuildHueTable(HueTable &table) {
    for (int32_t i = 0; i < 360; ++i) {
        const int32_t n = 38100 - 127 * i;
        int32_t lightness = 127;
        if (i < 60) lightness = (n - 30480) / 60 + 127;
        if (i > 300) lightness = lightness + n / 60;
        const int32_t m2 = lightness < 128 ? lightness * 510 / 255 : 255;
        const int32_t m1 = 2 * lightness - m2;
        auto clamp = [](int32_t v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); };
        const uint32_t r = clamp(HueToComponent(m1, m2, i + 420));
        const uint32_t g = clamp(HueToComponent(m1, m2, i + 300));
        const uint32_t b = clamp(HueToComponent(m1, m2, i + 180));
        table[static_cast<size_t>(359 - i)] = b * 65536u + g * 256u + r;
    }
}

namespace {
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kWhite = 0xFFFFFF;

// A hue entry (0x00BBGGRR) as the word whose little-endian bytes are B, G, R.
constexpr uint32_t BgrWord(uint32_t e) {
    return ((e & 0xFFu) << 16) | (e & 0xFF00u) | ((e >> 16) & 0xFFu);
}

// The automatic range looks at the frame without its borders: rows strictly
// between a twelfth and eleven twelfths of the height, columns strictly
// between a sixteenth and fifteen sixteenths of the width.
struct CentreWindow {
    int rowFirst, rowLast, colFirst, colLast;  // exclusive bounds
    CentreWindow(int width, int height)
        : rowFirst(height / 12),
          rowLast(height * 11 / 12),
          colFirst(width / 16),
          colLast(width * 15 / 16) {}
    bool Holds(int r) const { return r > rowFirst && r < rowLast && colLast - colFirst > 1; }
    int Columns() const { return colLast - colFirst - 1; }
};

constexpr uint32_t kNoMinimum = 100000;    // above every sample
constexpr int64_t kAutoRangeMargin = 120;  // raw counts either side of the scene
constexpr int64_t kRawTop = 16383;         // 14-bit samples

void WidenRange(uint32_t minimum, uint32_t maximum, int32_t *low, int32_t *high) {
    *high = static_cast<int32_t>(std::min<int64_t>(int64_t{maximum} + kAutoRangeMargin, kRawTop));
    *low = static_cast<int32_t>(std::max<int64_t>(int64_t{minimum} - kAutoRangeMargin, 0));
}

// Minimum and maximum of n samples, folded into *minimum and *maximum.
inline void RowMinMax(const uint16_t *src, int n, uint32_t *minimum, uint32_t *maximum) {
    int c = 0;
    uint32_t mn = *minimum, mx = *maximum;
#ifdef KALVEX_COLOUR_SSE2
    if (n >= 8) {
        // Unsigned 16-bit order through the signed instructions: flip the top bit.
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        __m128i vmin = _mm_set1_epi16(0x7FFF), vmax = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; c + 8 <= n; c += 8) {
            __m128i v =
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + c)), flip);
            vmin = _mm_min_epi16(vmin, v);
            vmax = _mm_max_epi16(vmax, v);
        }
        alignas(16) uint16_t lo[8], hi[8];
        _mm_store_si128(reinterpret_cast<__m128i *>(lo), _mm_xor_si128(vmin, flip));
        _mm_store_si128(reinterpret_cast<__m128i *>(hi), _mm_xor_si128(vmax, flip));
        for (int i = 0; i < 8; ++i) {
            mn = std::min<uint32_t>(mn, lo[i]);
            mx = std::max<uint32_t>(mx, hi[i]);
        }
    }
#endif
    for (; c < n; ++c) {
        mn = std::min<uint32_t>(mn, src[c]);
        mx = std::max<uint32_t>(mx, src[c]);
    }
    *minimum = mn;
    *maximum = mx;
}
}  // namespace

// Writes the colours of n pixels: four pixels as three 32-bit words, so that
// no store crosses into the next pixel's bytes at the end of the row.
void MapRowThroughLut(const uint16_t *src, uint8_t *dst, int n, const uint32_t *lut) {
    int c = 0;
    for (; c + 4 <= n; c += 4) {
        const uint32_t a = lut[src[c]], b = lut[src[c + 1]], d = lut[src[c + 2]],
                       e = lut[src[c + 3]];
        const uint32_t w0 = a | (b << 24), w1 = (b >> 8) | (d << 16), w2 = (d >> 16) | (e << 8);
        std::memcpy(dst + 3 * c, &w0, 4);
        std::memcpy(dst + 3 * c + 4, &w1, 4);
        std::memcpy(dst + 3 * c + 8, &w2, 4);
    }
    for (; c < n; ++c) std::memcpy(dst + 3 * c, &lut[src[c]], 3);
}

uint32_t LiteralColour(const HueTable &hue, int32_t low, int32_t high, uint32_t g) {
    const int64_t value = g;
    if (value <= low) return kBlack;
    if (value >= high) return kWhite;
    const float above = static_cast<float>(value - low);
    const float span = static_cast<float>(static_cast<int64_t>(high) - low);
    int k = static_cast<int>(static_cast<double>(above) * 360.0 / static_cast<double>(span));
    // Float rounding of spans beyond 2^24 could reach 360: stay inside the table.
    k = std::min(k, 359);
    return hue[static_cast<size_t>(k)];
}

void CColourMapper::Rebuild(int32_t low, int32_t high) {
    lut_.resize(65536);
    // Black up to low, white from high, the scale only in between: a range
    // that follows the scene is a few thousand values wide.
    const int64_t blackEnd = std::clamp<int64_t>(static_cast<int64_t>(low) + 1, 0, 65536);
    const int64_t whiteStart = std::clamp<int64_t>(high, blackEnd, 65536);
    std::fill(lut_.begin(), lut_.begin() + static_cast<std::ptrdiff_t>(blackEnd), kBlack);
    for (int64_t g = blackEnd; g < whiteStart; ++g)
        lut_[static_cast<size_t>(g)] =
            BgrWord(LiteralColour(hue_, low, high, static_cast<uint32_t>(g)));
    std::fill(lut_.begin() + static_cast<std::ptrdiff_t>(whiteStart), lut_.end(), kWhite);
    lutLow_ = low;
    lutHigh_ = high;
    lutValid_ = true;
}

int CColourMapper::ColorizeFrame(const ColourFrame &frame, ColourRange &range) {
    std::lock_guard guard(lock_);
    const int32_t low = range.low.load(std::memory_order_relaxed);
    const int32_t high = range.high.load(std::memory_order_relaxed);
    if (!lutValid_ || low != lutLow_ || high != lutHigh_) Rebuild(low, high);

    const int width = frame.width;
    const int height = frame.height;
    const CentreWindow window(width, height);
    uint32_t minimum = kNoMinimum, maximum = 0;
    const uint32_t *lut = lut_.data();

    auto *rawBase = reinterpret_cast<const uint8_t *>(frame.raw);
    for (int r = 0; r < height; ++r) {
        const auto *src = reinterpret_cast<const uint16_t *>(rawBase + r * frame.rawStride);
        uint8_t *dst = frame.bgr + r * frame.bgrStride;
        MapRowThroughLut(src, dst, width, lut);
        if (window.Holds(r))
            RowMinMax(src + window.colFirst + 1, window.Columns(), &minimum, &maximum);
    }

    int32_t counter = range.autoRangeCounter.load(std::memory_order_relaxed);
    if (counter == 0) return 1;
    if (counter > 0) range.autoRangeCounter.store(counter - 1, std::memory_order_relaxed);
    int32_t nextLow = 0, nextHigh = 0;
    WidenRange(minimum, maximum, &nextLow, &nextHigh);
    range.high.store(nextHigh, std::memory_order_relaxed);
    range.low.store(nextLow, std::memory_order_relaxed);
    return 1;
}

void AutoRangeOf(const uint16_t *raw, ptrdiff_t rawStride, int width, int height, int32_t *low,
                 int32_t *high) {
    const CentreWindow window(width, height);
    uint32_t minimum = kNoMinimum, maximum = 0;
    auto *rawBase = reinterpret_cast<const uint8_t *>(raw);
    for (int r = 0; r < height; ++r)
        if (window.Holds(r))
            RowMinMax(
                reinterpret_cast<const uint16_t *>(rawBase + r * rawStride) + window.colFirst + 1,
                window.Columns(), &minimum, &maximum);
    WidenRange(minimum, maximum, low, high);
}

}  // namespace kalvex
