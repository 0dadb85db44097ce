#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "output/pixel_converters.h"

namespace kalvex {
namespace {

// A buffer laid out like an image, filled with a deterministic pattern.
struct TestImage {
    int32_t width, height;
    uint32_t bitCount, stride;
    std::vector<uint8_t> bytes;

    TestImage(int32_t w, int32_t h, uint32_t bits, uint32_t seed)
        : width(w), height(h), bitCount(bits), stride((w * (bits / 8) + 3) & ~3u) {
        bytes.resize(static_cast<size_t>(stride) * h);
        uint32_t state = seed;
        for (auto &b : bytes) {
            state = state * 214013u + 2531011u;
            b = static_cast<uint8_t>(state >> 16);
        }
    }
    IMAGEVIEW View(ImageRect r) {
        return IMAGEVIEW{40,           width,  height, stride,  bitCount,
                         bytes.data(), r.left, r.top,  r.right, r.bottom};
    }
    IMAGEVIEW View() { return View({0, 0, width, height}); }
};

enum class Op { kWiden, kNarrow, kCopy };

// What a kernel does, described as data: the sample sizes, the row order and
// which source sample feeds each destination sample.
struct KernelSpec {
    const char *name;
    PixelConverter dispatcher;
    uint32_t sourceBits, destinationBits;
    bool reversed;
    Op op;
    std::vector<int> sourceSampleOf;  // destination sample k <- source sample [k]
};

uint32_t SampleBytes(uint32_t bits) {
    return bits == 16 || bits == 48 || bits == 64 ? 2 : 1;
}

uint32_t ReadSample(const TestImage &img, int32_t row, int32_t col, int sample) {
    const uint32_t sb = SampleBytes(img.bitCount);
    const size_t at =
        static_cast<size_t>(row) * img.stride + col * (img.bitCount / 8) + sample * sb;
    return sb == 2 ? img.bytes[at] + 256u * img.bytes[at + 1] : img.bytes[at];
}

void WriteSample(TestImage &img, int32_t row, int32_t col, int sample, uint32_t value) {
    const uint32_t sb = SampleBytes(img.bitCount);
    const size_t at =
        static_cast<size_t>(row) * img.stride + col * (img.bitCount / 8) + sample * sb;
    img.bytes[at] = static_cast<uint8_t>(value & 0xFF);
    if (sb == 2) img.bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t Apply(Op op, uint32_t v) {
    switch (op) {
        case Op::kWiden:
            return v > 0x3FFF ? 0xFFFC : v * 4;  // 14 bits fill 16; beyond saturates
        case Op::kNarrow:
            return v > 0x3FFF ? 0xFF : v / 64;
        case Op::kCopy:
            return v;
    }
    return v;
}

TestImage Expected(const KernelSpec &k, TestImage dst, const TestImage &src, ImageRect dr,
                   ImageRect sr) {
    const int32_t rows = std::min(dr.bottom - dr.top, sr.bottom - sr.top);
    const int32_t cols = std::min(dr.right - dr.left, sr.right - sr.left);
    for (int32_t i = 0; i < rows; ++i) {
        const int32_t srcRow = k.reversed ? sr.bottom - 1 - i : sr.top + i;
        for (int32_t j = 0; j < cols; ++j)
            for (size_t s = 0; s < k.sourceSampleOf.size(); ++s)
                WriteSample(dst, dr.top + i, dr.left + j, static_cast<int>(s),
                            Apply(k.op, ReadSample(src, srcRow, sr.left + j, k.sourceSampleOf[s])));
    }
    return dst;
}

const std::vector<KernelSpec> &Kernels() {
    static const std::vector<KernelSpec> kernels = {
        {"Conv16To16", ConvScaleSamples, 16, 16, false, Op::kWiden, {0}},
        {"Conv16To16Flip", ConvFlipRgb, 16, 16, true, Op::kWiden, {0}},
        {"Conv16To8", ConvReduceDepth, 16, 8, false, Op::kNarrow, {0}},
        {"Conv48To48", ConvScaleSamples, 48, 48, false, Op::kWiden, {0, 1, 2}},
        {"Conv48To48FlipSwap", ConvFlipRgb, 48, 48, true, Op::kWiden, {2, 1, 0}},
        {"Conv64To64", ConvScaleSamples, 64, 64, false, Op::kWiden, {0, 1, 2, 3}},
        {"Conv64To64FlipSwap", ConvFlipRgb, 64, 64, true, Op::kWiden, {2, 1, 0, 3}},
        {"Conv48To24(48)", ConvReduceDepth, 48, 24, false, Op::kNarrow, {0, 1, 2}},
        {"Conv48To24(64)", ConvReduceDepth, 64, 24, false, Op::kNarrow, {0, 1, 2}},
        {"Conv24To24FlipSwap", ConvFlipRgb, 24, 24, true, Op::kCopy, {2, 1, 0}},
        {"Conv32To32FlipSwap", ConvFlipRgb, 32, 32, true, Op::kCopy, {2, 1, 0, 3}},
        {"Conv32To24", ConvReduceDepth, 32, 24, false, Op::kCopy, {0, 1, 2}},
    };
    return kernels;
}

TEST(PixelKernels, MatchThePlainReferenceOnOddSizedRegions) {
    // Regions that start inside the image; the second pair has the smaller
    // region on the destination side, the first on the source side.
    struct Layout {
        int32_t dw, dh, sw, sh;
        ImageRect dr, sr;
    };
    const Layout layouts[] = {
        {7, 5, 9, 6, {1, 1, 7, 5}, {2, 1, 9, 6}},  // source 7 wide x 5 high, dest 6 x 4
        {9, 7, 5, 3, {2, 3, 7, 6}, {1, 0, 4, 3}},  // source 3 x 3, dest 5 x 3
        {5, 3, 5, 3, {0, 0, 5, 3}, {0, 0, 5, 3}},
        // Wide enough for the vector paths, with tails of every length they leave.
        {45, 3, 44, 4, {1, 0, 42, 3}, {3, 1, 44, 4}},  // 41 pixels a row
        {23, 2, 23, 2, {0, 0, 23, 2}, {0, 0, 23, 2}},
        {30, 2, 30, 2, {4, 0, 30, 2}, {0, 0, 26, 2}},
    };
    uint32_t seed = 1;
    for (const KernelSpec &k : Kernels()) {
        for (const Layout &l : layouts) {
            SCOPED_TRACE(k.name);
            TestImage dst(l.dw, l.dh, k.destinationBits, seed++);
            TestImage src(l.sw, l.sh, k.sourceBits, seed++);
            const TestImage want = Expected(k, dst, src, l.dr, l.sr);
            const std::vector<uint8_t> srcBefore = src.bytes;
            IMAGEVIEW dv = dst.View(l.dr), sv = src.View(l.sr);
            ASSERT_EQ(k.dispatcher(&dv, &sv, nullptr, 0, 0), 0);
            EXPECT_EQ(dst.bytes, want.bytes);
            EXPECT_EQ(src.bytes, srcBefore);
        }
    }
}

TEST(PixelKernels, WidenAndNarrowTreatSamplesAsFourteenBits) {
    // A camera value of 8000 once wrapped to 53248 (and 10000 to 50176, darker).
    TestImage src(5, 1, 16, 0), wide(5, 1, 16, 0), narrow(5, 1, 8, 0);
    const uint16_t samples[5] = {8000, 10000, 0x3FFF, 0x4000, 0x0040};
    for (int j = 0; j < 5; ++j) WriteSample(src, 0, j, 0, samples[j]);
    IMAGEVIEW sv = src.View(), wv = wide.View(), nv = narrow.View();
    ASSERT_EQ(ConvScaleSamples(&wv, &sv, nullptr, 0, 0), 0);
    ASSERT_EQ(ConvReduceDepth(&nv, &sv, nullptr, 0, 0), 0);
    EXPECT_EQ(ReadSample(wide, 0, 0, 0), 32000u);
    EXPECT_EQ(ReadSample(wide, 0, 1, 0), 40000u);
    EXPECT_EQ(ReadSample(wide, 0, 2, 0), 0xFFFCu);
    EXPECT_EQ(ReadSample(wide, 0, 3, 0), 0xFFFCu);  // beyond 14 bits saturates
    EXPECT_EQ(ReadSample(wide, 0, 4, 0), 0x0100u);
    EXPECT_EQ(ReadSample(narrow, 0, 0, 0), 125u);
    EXPECT_EQ(ReadSample(narrow, 0, 1, 0), 156u);
    EXPECT_EQ(ReadSample(narrow, 0, 2, 0), 0xFFu);
    EXPECT_EQ(ReadSample(narrow, 0, 3, 0), 0xFFu);
    EXPECT_EQ(ReadSample(narrow, 0, 4, 0), 0x01u);
}

TEST(PixelKernels, EverySixteenBitValueMatchesTheLiteralShifts) {
    // All 65536 samples (less the last, which does not fill a 48-bit pixel) as 16-bit, 48-bit and
    // 64-bit pixels, so every word-wide fast path meets every value in every lane.
    for (uint32_t bits : {16u, 48u, 64u}) {
        SCOPED_TRACE(bits);
        const int32_t width = static_cast<int32_t>(65536 / (bits / 16));
        TestImage src(width, 1, bits, 0), wide(width, 1, bits, 1), flip(width, 1, bits, 2);
        for (uint32_t v = 0; v < 65536; ++v) {
            src.bytes[2 * v] = static_cast<uint8_t>(v & 0xFF);
            src.bytes[2 * v + 1] = static_cast<uint8_t>(v >> 8);
        }
        IMAGEVIEW sv = src.View(), wv = wide.View(), fv = flip.View();
        ASSERT_EQ(ConvScaleSamples(&wv, &sv, nullptr, 0, 0), 0);
        ASSERT_EQ(ConvFlipRgb(&fv, &sv, nullptr, 0, 0), 0);
        const uint32_t samples = bits / 16;
        for (uint32_t v = 0; v < static_cast<uint32_t>(width) * samples; ++v) {
            const uint32_t pixel = v / samples, lane = v % samples;
            // The flip swaps lanes 0 and 2 of multi-sample pixels.
            const uint32_t flipped = samples > 1 && lane != 1 && lane != 3 ? 2 - lane : lane;
            const uint32_t want = Apply(Op::kWiden, v);
            ASSERT_EQ(ReadSample(wide, 0, static_cast<int32_t>(pixel), static_cast<int>(lane)),
                      want);
            ASSERT_EQ(ReadSample(flip, 0, static_cast<int32_t>(pixel), static_cast<int>(flipped)),
                      want);
        }
    }
    TestImage src(65536, 1, 16, 0), narrow(65536, 1, 8, 1);
    for (uint32_t v = 0; v < 65536; ++v) WriteSample(src, 0, static_cast<int32_t>(v), 0, v);
    IMAGEVIEW sv = src.View(), nv = narrow.View();
    ASSERT_EQ(ConvReduceDepth(&nv, &sv, nullptr, 0, 0), 0);
    for (uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(narrow.bytes[v], Apply(Op::kNarrow, v));
}

TEST(PixelKernels, FlipSwapOfOnePixelPerRow) {
    // 48-bit rows (a, b, c) in buffer order become (c, b, a) << 2, last row first.
    TestImage src(1, 2, 48, 0), dst(1, 2, 48, 0);
    for (int s = 0; s < 3; ++s) {
        WriteSample(src, 0, 0, s, 0x10u + s);
        WriteSample(src, 1, 0, s, 0x20u + s);
    }
    IMAGEVIEW sv = src.View(), dv = dst.View();
    ASSERT_EQ(ConvFlipRgb(&dv, &sv, nullptr, 0, 0), 0);
    EXPECT_EQ(ReadSample(dst, 0, 0, 0), 0x22u << 2);
    EXPECT_EQ(ReadSample(dst, 0, 0, 1), 0x21u << 2);
    EXPECT_EQ(ReadSample(dst, 0, 0, 2), 0x20u << 2);
    EXPECT_EQ(ReadSample(dst, 1, 0, 2), 0x10u << 2);
}

TEST(PixelKernels, EightBitFlipCopiesWholeRowsWithinTheRow) {
    // 7 wide: stride 8, so each row copy carries a padding byte.
    TestImage src(7, 4, 8, 3), dst(7, 3, 8, 4);
    IMAGEVIEW sv = src.View(), dv = dst.View();
    ASSERT_EQ(ConvFlipRgb(&dv, &sv, nullptr, 0, 0), 0);
    for (int32_t i = 0; i < 3; ++i)
        for (uint32_t b = 0; b < 8; ++b)
            EXPECT_EQ(dst.bytes[i * 8 + b], src.bytes[(3 - i) * 8 + b]) << i << "," << b;

    // A region starting at column 2 copies from there to the row's end only.
    TestImage src2(7, 4, 8, 5), dst2(7, 4, 8, 6);
    const std::vector<uint8_t> before = dst2.bytes;
    IMAGEVIEW sv2 = src2.View({3, 1, 7, 3}), dv2 = dst2.View({2, 0, 6, 4});
    ASSERT_EQ(ConvFlipRgb(&dv2, &sv2, nullptr, 0, 0), 0);
    std::vector<uint8_t> want = before;
    for (int32_t i = 0; i < 2; ++i)  // two rows: the smaller region
        for (uint32_t b = 0; b < 5; ++b) want[i * 8 + 2 + b] = src2.bytes[(2 - i) * 8 + 3 + b];
    EXPECT_EQ(dst2.bytes, want);
}

TEST(PixelKernels, WholeBufferCopyIgnoresRegionsAndNeverOverreads) {
    TestImage src(5, 3, 24, 7), dst(5, 3, 24, 8);
    IMAGEVIEW sv = src.View({1, 1, 2, 2}), dv = dst.View({3, 0, 4, 1});
    ASSERT_EQ(ConvReduceDepth(&dv, &sv, nullptr, 0, 0), 0);
    EXPECT_EQ(dst.bytes, src.bytes);

    // A smaller source: only what it holds is copied.
    TestImage small(5, 2, 32, 9), large(5, 4, 32, 10);
    const std::vector<uint8_t> before = large.bytes;
    IMAGEVIEW smv = small.View(), lgv = large.View();
    ASSERT_EQ(ConvScaleSamples(&lgv, &smv, nullptr, 0, 0), 0);
    EXPECT_TRUE(std::equal(small.bytes.begin(), small.bytes.end(), large.bytes.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 40, before.end(), large.bytes.begin() + 40));
}

TEST(PixelConverters, StatusCodesInOrder) {
    TestImage a(4, 3, 16, 1), b(4, 3, 16, 2), c8(4, 3, 8, 3), c24(4, 3, 24, 4);
    IMAGEVIEW av = a.View(), bv = b.View();
    for (PixelConverter conv : {ConvReduceDepth, ConvScaleSamples, ConvFlipRgb}) {
        EXPECT_EQ(conv(nullptr, nullptr, nullptr, 0, 0), 1);
        // A single missing view is refused instead of being read.
        EXPECT_EQ(conv(&av, nullptr, nullptr, 0, 0), 3);
        EXPECT_EQ(conv(nullptr, &bv, nullptr, 0, 0), 3);
        IMAGEVIEW small = bv;
        small.size = 39;
        EXPECT_EQ(conv(&av, &small, nullptr, 0, 0), 3);
        CONVOPTIONS badMode{12, 2, 0}, shortExplicit{11, 10, 0}, shortDefault{0, 1, 0};
        EXPECT_EQ(conv(&av, &bv, &badMode, 0, 0), 2);
        CONVOPTIONS badBoth{4, 3, 0};  // the mode is checked before the size
        EXPECT_EQ(conv(&av, &bv, &badBoth, 0, 0), 2);
        EXPECT_EQ(conv(&av, &bv, &shortExplicit, 0, 0), 3);
        EXPECT_NE(conv(&av, &bv, &shortDefault, 0, 0), 3);
        // Destination is validated before the source.
        IMAGEVIEW noWidth = av, noHeight = bv;
        noWidth.width = 0;
        noHeight.height = 0;
        noHeight.stride = 0;
        EXPECT_EQ(conv(&noWidth, &noHeight, nullptr, 0, 0), 4);
        EXPECT_EQ(conv(&av, &noHeight, nullptr, 0, 0), 5);
    }
    IMAGEVIEW v8 = c8.View(), v24 = c24.View();
    EXPECT_EQ(ConvReduceDepth(&v24, &av, nullptr, 0, 0), 7);  // 16 -> 24
    EXPECT_EQ(ConvReduceDepth(&av, &bv, nullptr, 0, 0), 7);   // 16 -> 16
    EXPECT_EQ(ConvReduceDepth(&v8, &av, nullptr, 0, 0), 0);   // 16 -> 8
    const std::vector<uint8_t> before = a.bytes;
    EXPECT_EQ(ConvScaleSamples(&av, &v24, nullptr, 0, 0), 7);  // 24 -> 16 writes nothing
    EXPECT_EQ(a.bytes, before);
    EXPECT_EQ(ConvFlipRgb(&v8, &v24, nullptr, 0, 0), 7);
    IMAGEVIEW odd = bv, odd2 = av;
    odd.bitCount = odd2.bitCount = 12;
    EXPECT_EQ(ConvFlipRgb(&odd2, &odd, nullptr, 0, 0), 7);
}

TEST(PixelConverters, ValidateImageViewChecksInOrder) {
    TestImage img(5, 4, 24, 1);
    const IMAGEVIEW good = img.View();
    EXPECT_EQ(ValidateImageView(&good), 0);
    auto with = [&](auto change) {
        IMAGEVIEW v = good;
        change(v);
        return ValidateImageView(&v);
    };
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.width = 0, v.height = 0; }), 4);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.height = 0, v.stride = 0; }), 5);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.stride = 0, v.bitCount = 0; }), 6);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.bitCount = 0, v.pixels = nullptr; }), 7);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.stride = 14; }), 6);  // 5 x 3 bytes do not fit
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.pixels = nullptr, v.left = -1; }), 8);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.left = -1; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.top = -1; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.right = 0; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.right = 6; }), 9);   // width + 1
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.bottom = 5; }), 9);  // height + 1
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.left = 5; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.left = 2, v.right = 2; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.top = 3, v.bottom = 2; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.width = -5; }), 9);
    EXPECT_EQ(with([](IMAGEVIEW &v) { v.left = 4, v.top = 3; }), 0);  // the last pixel
}

}  // namespace
}  // namespace kalvex
