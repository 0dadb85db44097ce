// Pixel row converters: move pixels between two image buffers, changing depth,
// scaling 16-bit samples, reversing rows and swapping blue and red. They work on
// caller-owned memory, allocate nothing and keep no state.
#pragma once

#include <cstdint>

namespace kalvex {

struct ImageRect {
    int32_t left, top, right, bottom;  // right and bottom exclusive
};

// The description of one image region handed to a converter.
struct IMAGEVIEW {
    uint32_t size;  // kImageViewSize; smaller views are refused
    int32_t width;
    int32_t height;
    uint32_t stride;  // bytes per row
    uint32_t bitCount;
    uint8_t *pixels;  // buffer row 0
    int32_t left, top, right, bottom;
};

struct CONVOPTIONS {
    uint32_t size;  // kConvOptionsSize
    uint32_t mode;  // kConvModeDefaults or kConvModeExplicit
    uint32_t reserved;
};

// The record sizes of the 32-bit target, which the views and options carry.
inline constexpr uint32_t kImageViewSize = 40;
inline constexpr uint32_t kConvOptionsSize = 12;
inline constexpr uint32_t kConvModeDefaults = 1;
inline constexpr uint32_t kConvModeExplicit = 10;

// Status codes of the dispatchers.
enum ConvStatus : int {
    kConvOk = 0,
    kConvNothingToDo = 1,
    kConvBadMode = 2,
    kConvBadSize = 3,
    kConvNoWidth = 4,
    kConvNoHeight = 5,
    kConvBadStride = 6,
    kConvBadBitCount = 7,
    kConvNoPixels = 8,
    kConvBadRegion = 9,
};

// (destination, source, options, a, b) -> status; a and b are ignored.
using PixelConverter = int (*)(const IMAGEVIEW *destination, const IMAGEVIEW *source,
                               const CONVOPTIONS *options, int a, int b);

// Dispatchers. A null view (when not all three arguments are null) is refused
// with kConvBadSize; null options mean the defaults.
int ConvReduceDepth(const IMAGEVIEW *destination, const IMAGEVIEW *source,
                    const CONVOPTIONS *options, int a, int b);
int ConvScaleSamples(const IMAGEVIEW *destination, const IMAGEVIEW *source,
                     const CONVOPTIONS *options, int a, int b);
int ConvFlipRgb(const IMAGEVIEW *destination, const IMAGEVIEW *source, const CONVOPTIONS *options,
                int a, int b);

// 0 or one of kConvNoWidth..kConvBadRegion. Besides a zero stride, a stride too
// short for width pixels is refused with kConvBadStride.
int ValidateImageView(const IMAGEVIEW *view);

// Kernels: only for views that passed the dispatchers' checks with the bit
// counts named. Each returns 0.
int Conv16To16(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv16To16Flip(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv16To8(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv48To48(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv48To48FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv64To64(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv64To64FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv48To24(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv24To24FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv32To32FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv32To24(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
int Conv8To8Flip(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);
// Copies the destination's stride x height bytes from the start of the source
// (never more than the source holds), ignoring the regions.
int ConvCopyBuffer(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b);

}  // namespace kalvex
