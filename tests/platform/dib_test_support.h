// What the DIB surface tests share: a colour table and pixel
// patterns, and a comparison of pixels that ignores the rows' padding.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "output/dib_image.h"
#include "platform/platform.h"

namespace kalvex::dibtest {

using platform::RgbQuad;

inline std::vector<RgbQuad> Palette() {
    std::vector<RgbQuad> table(kColorTableEntries);
    for (uint32_t i = 0; i < kColorTableEntries; ++i)
        table[i] = RgbQuad{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                           static_cast<uint8_t>(i * 3), 0};
    return table;
}

inline void Fill(CDibImage &img, uint8_t seed) {
    for (size_t i = 0; i < img.ByteSize(); ++i)
        img.Pixels()[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
}

// Pixel bytes equal row by row; a blit copies pixels, not the rows' padding.
inline bool SamePixels(const CDibImage &a, const CDibImage &b) {
    const size_t used = static_cast<size_t>(a.Width()) * (a.BitCount() / 8);
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.BitCount() != b.BitCount())
        return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.Row(y), b.Row(y), used) != 0) return false;
    return true;
}

}  // namespace kalvex::dibtest
