// Colour mapping: raw values over a fixed 360-colour scale, black at or below
// the range, white at or above it, with the range following the scene.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kalvex {

using HueTable = std::array<uint32_t, 360>;  // 0x00BBGGRR, entry 0 coldest

int32_t HueToComponent(int32_t m1, int32_t m2, int32_t hue);
void BuildHueTable(HueTable &table);

// The colour range and the auto-range counter, shared with the parameters.
struct ColourRange {
    std::atomic<int32_t> low{1000};
    std::atomic<int32_t> high{3000};
    std::atomic<int32_t> autoRangeCounter{-1};
};

// A frame of raw 16-bit samples and its 24-bit BGR destination.
struct ColourFrame {
    const uint16_t *raw;
    ptrdiff_t rawStride;  // bytes
    uint8_t *bgr;
    ptrdiff_t bgrStride;  // bytes
    int width;
    int height;
};

// The colour of raw value g over (low, high) exactly as the per-pixel formula
// gives it: (float (g - low) x 360.0) / float (high - low), truncated.
uint32_t LiteralColour(const HueTable &hue, int32_t low, int32_t high, uint32_t g);

// Writes n pixels of 3 bytes: the low three bytes (little-endian) of
// lut[src[c]] for each sample; lut holds an entry for every 16-bit value.
void MapRowThroughLut(const uint16_t *src, uint8_t *dst, int n, const uint32_t *lut);

// The range an automatic colour range takes from this frame: the minimum and
// maximum of its centre widened by 120 counts, within 14 bits. A still scene's
// frames are coloured with it.
void AutoRangeOf(const uint16_t *raw, ptrdiff_t rawStride, int width, int height, int32_t *low,
                 int32_t *high);

// Maps frames through a lookup table over every 16-bit value, rebuilt only
// when the range changes; bit-identical to LiteralColour.
class CColourMapper {
  public:
    explicit CColourMapper(const HueTable &hue) : hue_(hue) {}

    // Maps one frame with the current range, then lets the central window's
    // statistics set the range for the next frame. Returns 1.
    int ColorizeFrame(const ColourFrame &frame, ColourRange &range);

  private:
    void Rebuild(int32_t low, int32_t high);

    const HueTable &hue_;
    std::mutex lock_;
    std::vector<uint32_t> lut_;  // per raw value, the word whose bytes are B, G, R
    int32_t lutLow_ = 0;
    int32_t lutHigh_ = 0;
    bool lutValid_ = false;
};

}  // namespace kalvex
