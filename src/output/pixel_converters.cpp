#include "output/pixel_converters.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define KALVEX_CONVERT_SSSE3 1
#endif

namespace kalvex {
namespace {

// 16-bit samples are little-endian in the buffers.
inline uint16_t Load16(const uint8_t *p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else {
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
}

inline void Store16(uint8_t *p, uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 2);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}

// 16-bit samples hold the camera's 14-bit values. Widening fills 16 bits (the
// two low bits stay 0, as PNG's sBIT of 14 declares); narrowing keeps the
// eight most significant of the 14. A sample above 14 bits has no meaning here:
// it saturates rather than wraps, so nothing hot ever comes out dark.
inline constexpr uint16_t kSampleMax = 0x3FFF;
inline uint16_t Widen(uint16_t s) {
    return s > kSampleMax ? uint16_t{0xFFFC} : static_cast<uint16_t>(s << 2);
}
inline uint8_t Narrow(uint16_t s) {
    return s > kSampleMax ? uint8_t{0xFF} : static_cast<uint8_t>(s >> 6);
}

// Widen on four samples in one 64-bit word. The shift carries each lane's two
// top bits into the next lane's low bits, which the mask clears; lanes with
// either of those top bits set are then forced to 0xFFFC.
inline uint64_t WidenLanes(uint64_t x) {
    const uint64_t high = (x >> 14) & 0x0003000300030003ull;
    const uint64_t over = ((high | (high >> 1)) & 0x0001000100010001ull) * 0xFFFFu;
    return ((x << 2) | over) & 0xFFFCFFFCFFFCFFFCull;
}

inline size_t BytesPerPixel(const IMAGEVIEW *v) {
    return v->bitCount >> 3;
}

// Walks the overlap of the two regions row by row: the smaller height and the
// smaller width. Source rows run from the top of its region, or from its bottom
// when reversed. `row` receives (destination row, source row, pixels).
template <bool kReversed, typename RowFn>
void ForEachRow(const IMAGEVIEW *d, const IMAGEVIEW *s, RowFn row) {
    const int32_t rows = std::min(d->bottom - d->top, s->bottom - s->top);
    const size_t pixels = static_cast<size_t>(std::min(d->right - d->left, s->right - s->left));
    uint8_t *dst = d->pixels + static_cast<size_t>(d->top) * d->stride +
                   static_cast<size_t>(d->left) * BytesPerPixel(d);
    const size_t srcColumn = static_cast<size_t>(s->left) * BytesPerPixel(s);
    for (int32_t i = 0; i < rows; ++i, dst += d->stride) {
        const int32_t srcRow = kReversed ? s->bottom - 1 - i : s->top + i;
        const uint8_t *src = s->pixels + static_cast<size_t>(srcRow) * s->stride + srcColumn;
        row(dst, src, pixels);
    }
}

// Widens n consecutive 16-bit samples, four at a time on little-endian hosts.
void WidenSamples(uint8_t *dst, const uint8_t *src, size_t n) {
    size_t j = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; j + 4 <= n; j += 4) {
            uint64_t x;
            std::memcpy(&x, src + 2 * j, 8);
            x = WidenLanes(x);
            std::memcpy(dst + 2 * j, &x, 8);
        }
    }
    for (; j < n; ++j) Store16(dst + 2 * j, Widen(Load16(src + 2 * j)));
}

// Widens `kSamples` 16-bit samples per pixel, all in place of their own.
template <bool kReversed, size_t kSamples>
void WidenRows(const IMAGEVIEW *d, const IMAGEVIEW *s) {
    ForEachRow<kReversed>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        WidenSamples(dst, src, n * kSamples);
    });
}

// Widens `samples` 16-bit samples per pixel; with kSwap the first and third
// samples change places.
template <bool kReversed, bool kSwap, size_t kSamples>
void WidenPixels(const IMAGEVIEW *d, const IMAGEVIEW *s) {
    ForEachRow<kReversed>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        constexpr size_t kBytes = 2 * kSamples;
        if constexpr (kSamples == 4 && kSwap && std::endian::native == std::endian::little) {
            // One pixel per 64-bit word: lanes 0 and 2 change places, then widen.
            for (size_t j = 0; j < n; ++j) {
                uint64_t x;
                std::memcpy(&x, src + kBytes * j, 8);
                x = (x & 0xFFFF0000FFFF0000ull) | ((x & 0xFFFFull) << 32) | ((x >> 32) & 0xFFFFull);
                x = WidenLanes(x);
                std::memcpy(dst + kBytes * j, &x, 8);
            }
            return;
        }
        for (size_t j = 0; j < n; ++j) {
            const uint8_t *sp = src + kBytes * j;
            uint8_t *dp = dst + kBytes * j;
            const uint16_t s0 = Load16(sp), s1 = Load16(sp + 2), s2 = Load16(sp + 4);
            Store16(dp, Widen(kSwap ? s2 : s0));
            Store16(dp + 2, Widen(s1));
            Store16(dp + 4, Widen(kSwap ? s0 : s2));
            if constexpr (kSamples == 4) Store16(dp + 6, Widen(Load16(sp + 6)));
        }
    });
}

template <size_t kSourceBytes>
void Narrow48Rows(const IMAGEVIEW *d, const IMAGEVIEW *s) {
    ForEachRow<false>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        for (size_t j = 0; j < n; ++j) {
            const uint8_t *sp = src + kSourceBytes * j;
            uint8_t *dp = dst + 3 * j;
            dp[0] = Narrow(Load16(sp));
            dp[1] = Narrow(Load16(sp + 2));
            dp[2] = Narrow(Load16(sp + 4));
        }
    });
}

#ifdef KALVEX_CONVERT_SSSE3
// Four 3-byte pixels per 16-byte load: the last four bytes of each store are
// source bytes the next store (or the caller's scalar tail) overwrites, so
// every load and store stays inside the row. Byte-wise, this loop was the
// largest cost of a colour TIFF save.
__attribute__((target("ssse3"))) size_t SwapRgbSsse3(uint8_t *dst, const uint8_t *src, size_t n) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
    size_t j = 0;
    for (; 3 * j + 16 <= 3 * n; j += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * j));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * j), _mm_shuffle_epi8(v, order));
    }
    return j;
}
#endif

// Swaps the outer bytes of as many leading 3-byte pixels as it can quickly;
// returns how many it did (the rest are left to the caller).
size_t SwapRgbFast(uint8_t *dst, const uint8_t *src, size_t n) {
#ifdef KALVEX_CONVERT_SSSE3
    static const bool has = __builtin_cpu_supports("ssse3");
    if (has) return SwapRgbSsse3(dst, src, n);
#endif
    (void)dst, (void)src, (void)n;
    return 0;
}

template <size_t kBytes>
void SwapBytePixelsReversed(const IMAGEVIEW *d, const IMAGEVIEW *s) {
    ForEachRow<true>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        size_t j = 0;
        if constexpr (kBytes == 3) j = SwapRgbFast(dst, src, n);
        for (; j < n; ++j) {
            const uint8_t *sp = src + kBytes * j;
            uint8_t *dp = dst + kBytes * j;
            const uint8_t s0 = sp[0], s1 = sp[1], s2 = sp[2];
            dp[0] = s2;
            dp[1] = s1;
            dp[2] = s0;
            if constexpr (kBytes == 4) dp[3] = sp[3];
        }
    });
}

// The dispatchers' common checks, in order.
int CheckArguments(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o) {
    if (d == nullptr && s == nullptr && o == nullptr) return kConvNothingToDo;
    if (d == nullptr || s == nullptr) return kConvBadSize;
    if (d->size < kImageViewSize || s->size < kImageViewSize) return kConvBadSize;
    // Mode 1 stands for the defaults {12, 10, 0}, which always pass.
    if (o != nullptr && o->mode != kConvModeDefaults) {
        if (o->mode != kConvModeExplicit) return kConvBadMode;
        if (o->size < kConvOptionsSize) return kConvBadSize;
    }
    if (int status = ValidateImageView(d); status != 0) return status;
    return ValidateImageView(s);
}

}  // namespace

int ValidateImageView(const IMAGEVIEW *v) {
    if (v->width == 0) return kConvNoWidth;
    if (v->height == 0) return kConvNoHeight;
    if (v->stride == 0) return kConvBadStride;
    if (v->bitCount == 0) return kConvBadBitCount;
    // A row shorter than its pixels would let the last row run past the buffer.
    if (v->width > 0 &&
        static_cast<uint64_t>(v->stride) < static_cast<uint64_t>(v->width) * BytesPerPixel(v))
        return kConvBadStride;
    if (v->pixels == nullptr) return kConvNoPixels;
    if (v->left < 0 || v->top < 0) return kConvBadRegion;
    if (v->right <= 0 || v->bottom <= 0) return kConvBadRegion;
    if (!(v->left < v->width && v->right <= v->width && v->top < v->height &&
          v->bottom <= v->height && v->left < v->right && v->top < v->bottom))
        return kConvBadRegion;
    return kConvOk;
}

int Conv16To16(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenRows<false, 1>(d, s);
    return kConvOk;
}

int Conv16To16Flip(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenRows<true, 1>(d, s);
    return kConvOk;
}

int Conv16To8(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    ForEachRow<false>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        for (size_t j = 0; j < n; ++j) dst[j] = Narrow(Load16(src + 2 * j));
    });
    return kConvOk;
}

int Conv48To48(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenRows<false, 3>(d, s);
    return kConvOk;
}

int Conv48To48FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenPixels<true, true, 3>(d, s);
    return kConvOk;
}

int Conv64To64(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenRows<false, 4>(d, s);
    return kConvOk;
}

int Conv64To64FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    WidenPixels<true, true, 4>(d, s);
    return kConvOk;
}

int Conv48To24(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    // The source is 48 or 64 bits; a fourth sample is dropped.
    if (BytesPerPixel(s) == 8) {
        Narrow48Rows<8>(d, s);
    } else {
        Narrow48Rows<6>(d, s);
    }
    return kConvOk;
}

int Conv24To24FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    SwapBytePixelsReversed<3>(d, s);
    return kConvOk;
}

int Conv32To32FlipSwap(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    SwapBytePixelsReversed<4>(d, s);
    return kConvOk;
}

int Conv32To24(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    ForEachRow<false>(d, s, [](uint8_t *dst, const uint8_t *src, size_t n) {
        for (size_t j = 0; j < n; ++j) {
            dst[3 * j] = src[4 * j];
            dst[3 * j + 1] = src[4 * j + 1];
            dst[3 * j + 2] = src[4 * j + 2];
        }
    });
    return kConvOk;
}

int Conv8To8Flip(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    // Whole rows, padding included, the shorter of the two; a region that does
    // not start at column 0 copies from its left edge to the end of the row.
    const int32_t rows = std::min(d->bottom - d->top, s->bottom - s->top);
    const size_t dLeft = static_cast<size_t>(d->left), sLeft = static_cast<size_t>(s->left);
    const size_t bytes = std::min(d->stride - dLeft, s->stride - sLeft);
    for (int32_t i = 0; i < rows; ++i) {
        uint8_t *dst = d->pixels + static_cast<size_t>(d->top + i) * d->stride + dLeft;
        const uint8_t *src = s->pixels + static_cast<size_t>(s->bottom - 1 - i) * s->stride + sLeft;
        std::memmove(dst, src, bytes);  // in place the middle row is its own source
    }
    return kConvOk;
}

int ConvCopyBuffer(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *, int, int) {
    const size_t wanted = static_cast<size_t>(d->stride) * static_cast<size_t>(d->height);
    const size_t available = static_cast<size_t>(s->stride) * static_cast<size_t>(s->height);
    std::memmove(d->pixels, s->pixels, std::min(wanted, available));
    return kConvOk;
}

int ConvReduceDepth(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b) {
    if (int status = CheckArguments(d, s, o); status != 0) return status;
    PixelConverter kernel = nullptr;
    uint32_t required = 0;
    switch (s->bitCount) {
        case 8:
            kernel = ConvCopyBuffer, required = 8;
            break;
        case 16:
            kernel = Conv16To8, required = 8;
            break;
        case 24:
            kernel = ConvCopyBuffer, required = 24;
            break;
        case 32:
            kernel = Conv32To24, required = 24;
            break;
        case 48:
        case 64:
            kernel = Conv48To24, required = 24;
            break;
        default:
            return kConvBadBitCount;
    }
    if (d->bitCount != required) return kConvBadBitCount;
    return kernel(d, s, o, a, b);
}

int ConvScaleSamples(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b) {
    if (int status = CheckArguments(d, s, o); status != 0) return status;
    PixelConverter kernel = nullptr;
    switch (s->bitCount) {
        case 8:
        case 24:
        case 32:
            kernel = ConvCopyBuffer;
            break;
        case 16:
            kernel = Conv16To16;
            break;
        case 48:
            kernel = Conv48To48;
            break;
        case 64:
            kernel = Conv64To64;
            break;
        default:
            return kConvBadBitCount;
    }
    if (d->bitCount != s->bitCount) return kConvBadBitCount;
    return kernel(d, s, o, a, b);
}

int ConvFlipRgb(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b) {
    if (int status = CheckArguments(d, s, o); status != 0) return status;
    PixelConverter kernel = nullptr;
    switch (s->bitCount) {
        case 8:
            kernel = Conv8To8Flip;
            break;
        case 16:
            kernel = Conv16To16Flip;
            break;
        case 24:
            kernel = Conv24To24FlipSwap;
            break;
        case 32:
            kernel = Conv32To32FlipSwap;
            break;
        case 48:
            kernel = Conv48To48FlipSwap;
            break;
        case 64:
            kernel = Conv64To64FlipSwap;
            break;
        default:
            return kConvBadBitCount;
    }
    if (d->bitCount != s->bitCount) return kConvBadBitCount;
    return kernel(d, s, o, a, b);
}

}  // namespace kalvex
