// Images for `kalvex view`, encoded in the tool from the library's colour
// frames (640 x 480, three bytes per pixel in the order blue, green, red).
#pragma once

#include <string>

namespace kalvex_tool {

// The rows of a frame copied out of the library: `bottomUp` when buffer row 0
// is the bottom of the picture (the library's default; the row-order flag,
// parameter 17, reverses it). Encoders write the picture upright.
struct BgrFrame {
    const unsigned char *pixels = nullptr;
    int width = 0, height = 0;
    bool bottomUp = true;

    const unsigned char *TopRow(int row) const {
        int buffer = bottomUp ? height - 1 - row : row;
        return pixels + static_cast<size_t>(buffer) * static_cast<size_t>(width) * 3;
    }
};

// Baseline JPEG at quality 1-100; empty on failure.
std::string EncodeJpeg(const BgrFrame &frame, int quality);
// 8-bit RGB PNG; empty on failure.
std::string EncodePng(const BgrFrame &frame);

// Buffer row of the picture's top row `row` for a frame copied with the row-order flag.
inline int BufferRow(int row, int height, bool bottomUp) {
    return bottomUp ? height - 1 - row : row;
}

}  // namespace kalvex_tool
