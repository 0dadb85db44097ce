// Still-image writers read back with the real decoders.
#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "output/output_test_support.h"
#include "output/still_image.h"
#include "platform/platform.h"

namespace kalvex {
namespace {

using test::ReadAll;
using test::TmpFile;
using test::Wide;

constexpr int32_t kW = 64, kH = 48;

// A 16-bit image whose sample at (row, column) is unique and uses all 14 bits.
CDibImage RawImage(int32_t width = kW, int32_t height = kH) {
    CDibImage image;
    EXPECT_EQ(image.Create(width, height, 16), 1);
    for (int32_t r = 0; r < height; ++r) {
        auto *row = reinterpret_cast<uint16_t *>(image.Row(r));
        for (int32_t c = 0; c < width; ++c)
            row[c] = static_cast<uint16_t>((r * 331 + c * 7 + 16000 * (c & 1)) & 0x3FFF);
    }
    return image;
}

// A 24-bit image: blue = column, green = row, red = 255 - row.
CDibImage ColourImage() {
    CDibImage image;
    EXPECT_EQ(image.Create(kW, kH, 24), 1);
    for (int32_t r = 0; r < kH; ++r)
        for (int32_t c = 0; c < kW; ++c) {
            uint8_t *p = image.Row(r) + 3 * c;
            p[0] = static_cast<uint8_t>(c);
            p[1] = static_cast<uint8_t>(r);
            p[2] = static_cast<uint8_t>(255 - r);
        }
    return image;
}

struct PngPicture {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    int significantGrey = 0, significantRed = 0;  // sBIT; 0 without the chunk
    std::vector<std::vector<uint8_t>> rows;       // as stored: 16-bit samples big-endian
};

PngPicture ReadPng(const std::string &path) {
    PngPicture picture;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return picture;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        picture.width = png_get_image_width(png, info);
        picture.height = png_get_image_height(png, info);
        picture.bitDepth = png_get_bit_depth(png, info);
        picture.colourType = png_get_color_type(png, info);
        png_color_8p sbit = nullptr;
        if (png_get_sBIT(png, info, &sbit) != 0) {
            picture.significantGrey = sbit->gray;
            picture.significantRed = sbit->red;
        }
        png_bytepp rows = png_get_rows(png, info);
        const size_t bytes = png_get_rowbytes(png, info);
        for (png_uint_32 i = 0; i < picture.height; ++i)
            picture.rows.emplace_back(rows[i], rows[i] + bytes);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return picture;
}

TEST(StillImage, Png16BitHoldsRawTimesFourBigEndianFirstRowIsLastBufferRow) {
    const CDibImage raw = RawImage();
    const std::string path = TmpFile("still16.png");
    ASSERT_EQ(SaveImageFile(Wide(path).c_str(), &raw, kStillPng), 1);
    const PngPicture png = ReadPng(path);
    ASSERT_EQ(png.width, static_cast<png_uint_32>(kW));
    ASSERT_EQ(png.height, static_cast<png_uint_32>(kH));
    EXPECT_EQ(png.bitDepth, 16);
    EXPECT_EQ(png.colourType, PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(png.significantGrey, 14);
    for (int32_t i = 0; i < kH; ++i) {
        const auto *src = reinterpret_cast<const uint16_t *>(raw.Row(kH - 1 - i));
        for (int32_t c = 0; c < kW; ++c) {
            const auto expected = static_cast<uint16_t>(src[c] << 2);
            const uint16_t stored =
                static_cast<uint16_t>(png.rows[i][2 * c] << 8 | png.rows[i][2 * c + 1]);
            ASSERT_EQ(stored, expected) << i << "," << c;
        }
    }
}

TEST(StillImage, Png24BitIsRgbWithLastBufferRowOnTop) {
    const CDibImage colour = ColourImage();
    const std::string path = TmpFile("still24.png");
    ASSERT_EQ(SavePngFile(Wide(path).c_str(), colour), 1);
    const PngPicture png = ReadPng(path);
    ASSERT_EQ(png.height, static_cast<png_uint_32>(kH));
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(png.significantRed, 0);  // 8-bit colour uses every bit: no sBIT
    for (int32_t i = 0; i < kH; ++i)
        for (int32_t c = 0; c < kW; ++c) {
            const uint8_t *px = &png.rows[i][3 * c];
            const int32_t bufferRow = kH - 1 - i;
            ASSERT_EQ(px[0], 255 - bufferRow);
            ASSERT_EQ(px[1], bufferRow);
            ASSERT_EQ(px[2], c);
        }
}

TEST(StillImage, PngSavesRunOnSeveralThreadsAtOnce) {
    const CDibImage colour = ColourImage();
    std::vector<std::thread> threads;
    std::vector<int> results(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 5 && (n == 0 || results[t] == 1); ++n)
                results[t] = SavePngFile(
                    Wide(TmpFile("thread" + std::to_string(t) + ".png")).c_str(), colour);
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(results[t], 1);
        EXPECT_EQ(ReadAll(TmpFile("thread" + std::to_string(t) + ".png")),
                  ReadAll(TmpFile("thread0.png")));
    }
}

TEST(StillImage, WritersFailCleanlyOnBadInput) {
    CDibImage empty;
    const std::wstring path = Wide(TmpFile("bad.png"));
    EXPECT_EQ(SaveImageFile(path.c_str(), nullptr, kStillPng), 0);
    EXPECT_EQ(SaveImageFile(path.c_str(), &empty, kStillBmp), 0);
    const CDibImage colour = ColourImage();
    EXPECT_EQ(SaveImageFile(path.c_str(), &colour, 7), 0);
    EXPECT_EQ(SaveImageFile(path.c_str(), &colour, -1), 0);
    const std::wstring missingDir = Wide(TmpFile("no/such/dir/x"));
    for (int format = kStillBmp; format <= kStillTiff; ++format)
        EXPECT_EQ(SaveImageFile(missingDir.c_str(), &colour, format), 0) << format;
    EXPECT_EQ(SavePngFile(nullptr, colour), 0);
    EXPECT_EQ(SaveTiffFile(nullptr, colour), 0);
}

// ---- JPEG ----

struct JpegFacts {
    bool progressive = false;
    int width = 0, height = 0, components = 0;
    std::vector<uint16_t> luminance, chrominance;  // quantisation tables
    std::vector<std::vector<uint8_t>> rows;
};

JpegFacts ReadJpeg(const std::string &path) {
    JpegFacts facts;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return facts;
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, f);
    jpeg_read_header(&info, TRUE);
    facts.progressive = jpeg_has_multiple_scans(&info) != 0;
    for (int t = 0; t < 2; ++t)
        if (info.quant_tbl_ptrs[t] != nullptr)
            (t == 0 ? facts.luminance : facts.chrominance)
                .assign(info.quant_tbl_ptrs[t]->quantval,
                        info.quant_tbl_ptrs[t]->quantval + DCTSIZE2);
    jpeg_start_decompress(&info);
    facts.width = static_cast<int>(info.output_width);
    facts.height = static_cast<int>(info.output_height);
    facts.components = info.output_components;
    std::vector<uint8_t> row(info.output_width * static_cast<size_t>(info.output_components));
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        facts.rows.push_back(row);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(f);
    return facts;
}

std::vector<uint16_t> ExpectedQuantTable(int quality, int which) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    info.in_color_space = JCS_RGB;
    info.input_components = 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    std::vector<uint16_t> table(info.quant_tbl_ptrs[which]->quantval,
                                info.quant_tbl_ptrs[which]->quantval + DCTSIZE2);
    jpeg_destroy_compress(&info);
    return table;
}

TEST(StillImage, JpegIsProgressiveWithTheQualityOfItsFormatAndRgbFromTheLastRow) {
    // Top 16 lines of the picture red (buffer rows at the end), the rest blue.
    CDibImage colour;
    ASSERT_EQ(colour.Create(kW, kH, 24), 1);
    for (int32_t r = 0; r < kH; ++r)
        for (int32_t c = 0; c < kW; ++c) {
            uint8_t *p = colour.Row(r) + 3 * c;
            const bool red = r >= kH - 16;
            p[0] = red ? 0 : 255;
            p[1] = 0;
            p[2] = red ? 255 : 0;
        }
    const struct {
        int format, quality;
    } cases[] = {{kStillJpeg100, 100}, {kStillJpeg70, 70}, {kStillJpeg20, 20}};
    for (const auto &c : cases) {
        const std::string path = TmpFile("q" + std::to_string(c.quality) + ".jpg");
        ASSERT_EQ(SaveImageFile(Wide(path).c_str(), &colour, c.format), 1);
        const JpegFacts jpeg = ReadJpeg(path);
        EXPECT_TRUE(jpeg.progressive) << c.quality;
        EXPECT_EQ(jpeg.width, kW);
        EXPECT_EQ(jpeg.height, kH);
        EXPECT_EQ(jpeg.luminance, ExpectedQuantTable(c.quality, 0)) << c.quality;
        EXPECT_EQ(jpeg.chrominance, ExpectedQuantTable(c.quality, 1)) << c.quality;
        ASSERT_EQ(jpeg.rows.size(), static_cast<size_t>(kH));
        const uint8_t *top = &jpeg.rows.front()[3 * (kW / 2)];
        const uint8_t *bottom = &jpeg.rows.back()[3 * (kW / 2)];
        EXPECT_GT(top[0], 180) << c.quality;
        EXPECT_LT(top[2], 80) << c.quality;
        EXPECT_GT(bottom[2], 180) << c.quality;
        EXPECT_LT(bottom[0], 80) << c.quality;
    }
}

TEST(StillImage, JpegOf16BitImageIsGreyFromReducedDepth) {
    const CDibImage raw = RawImage();
    const std::string path = TmpFile("raw.jpg");
    ASSERT_EQ(SaveImageFile(Wide(path).c_str(), &raw, kStillJpeg100), 1);
    const JpegFacts jpeg = ReadJpeg(path);
    EXPECT_EQ(jpeg.components, 1);
    EXPECT_TRUE(jpeg.progressive);
}

TEST(StillImage, JpegLibraryErrorFailsTheSave) {
    // libjpeg refuses dimensions above 65500: its error must come back as 0.
    CDibImage wide;
    ASSERT_EQ(wide.Create(70000, 1, 8), 1);
    EXPECT_EQ(SaveJpegFile(Wide(TmpFile("wide.jpg")).c_str(), wide, 70, 1), 0);
}

// ---- TIFF ----

TEST(StillImage, Tiff16BitIsOneUncompressedStripOfRawTimesFour) {
    const CDibImage raw = RawImage();
    const std::string path = TmpFile("still16.tif");
    ASSERT_EQ(SaveImageFile(Wide(path).c_str(), &raw, kStillTiff), 1);
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, photometric = 0, samples = 0, compression = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
    EXPECT_EQ(width, static_cast<uint32_t>(kW));
    EXPECT_EQ(height, static_cast<uint32_t>(kH));
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(compression, COMPRESSION_NONE);
    EXPECT_EQ(TIFFNumberOfStrips(tiff), 1u);
    std::vector<uint16_t> strip(static_cast<size_t>(kW) * kH);
    ASSERT_EQ(TIFFReadEncodedStrip(tiff, 0, strip.data(), static_cast<tmsize_t>(strip.size() * 2)),
              static_cast<tmsize_t>(strip.size() * 2));
    TIFFClose(tiff);
    for (int32_t i = 0; i < kH; ++i) {
        const auto *src = reinterpret_cast<const uint16_t *>(raw.Row(kH - 1 - i));
        for (int32_t c = 0; c < kW; ++c)
            ASSERT_EQ(strip[static_cast<size_t>(i * kW + c)], static_cast<uint16_t>(src[c] << 2));
    }
}

TEST(StillImage, Tiff24BitIsRgbWithLastBufferRowFirst) {
    const CDibImage colour = ColourImage();
    const std::string path = TmpFile("still24.tif");
    ASSERT_EQ(SaveTiffFile(Wide(path).c_str(), colour), 1);
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint16_t photometric = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(samples, 3);
    std::vector<uint8_t> strip(static_cast<size_t>(kW) * kH * 3);
    ASSERT_GT(TIFFReadEncodedStrip(tiff, 0, strip.data(), static_cast<tmsize_t>(strip.size())), 0);
    TIFFClose(tiff);
    const uint8_t *first = strip.data();
    EXPECT_EQ(first[0], 255 - (kH - 1));
    EXPECT_EQ(first[1], kH - 1);
    EXPECT_EQ(first[2], 0);
}

TEST(StillImage, TiffConversionScratchCarriesNothingFromOneSaveToTheNext) {
    // Saves of one layout share a kept conversion image; one of another size
    // comes between them. Each file must hold its own image only. The small
    // one's rows are padded in memory (30 bytes in 32) and packed in the file.
    const CDibImage first = ColourImage();
    CDibImage second = ColourImage();
    for (size_t i = 0; i < second.ByteSize(); ++i) second.Pixels()[i] ^= 0x5A;
    CDibImage small;
    ASSERT_EQ(small.Create(10, 6, 24), 1);
    std::memset(small.Pixels(), 0x11, small.ByteSize());
    const CDibImage *images[3] = {&first, &small, &second};
    for (const CDibImage *image : images) {
        const std::string path = TmpFile("scratch.tif");
        ASSERT_EQ(SaveTiffFile(Wide(path).c_str(), *image), 1);
        TIFF *tiff = TIFFOpen(path.c_str(), "rc");  // the strip whole, not chopped
        ASSERT_NE(tiff, nullptr);
        const size_t rowBytes = static_cast<size_t>(image->Width()) * 3;
        std::vector<uint8_t> strip(rowBytes * static_cast<size_t>(image->Height()));
        ASSERT_EQ(TIFFReadEncodedStrip(tiff, 0, strip.data(), static_cast<tmsize_t>(strip.size())),
                  static_cast<tmsize_t>(strip.size()));
        TIFFClose(tiff);
        for (int32_t k = 0; k < image->Height(); ++k) {
            const uint8_t *in = image->Row(image->Height() - 1 - k);
            for (size_t x = 0; x < rowBytes; x += 3) {
                const uint8_t *out = &strip[static_cast<size_t>(k) * rowBytes + x];
                ASSERT_EQ(out[0], in[x + 2]);
                ASSERT_EQ(out[1], in[x + 1]);
                ASSERT_EQ(out[2], in[x]);
            }
        }
    }
}

// Debug lines received while alive.
struct DebugTap {
    DebugTap() { platform::SetDebugListener(&DebugTap::Receive, this); }
    ~DebugTap() { platform::SetDebugListener(nullptr, nullptr); }
    static void KALVEX_CALL Receive(const wchar_t *line, void *context) {
        static_cast<DebugTap *>(context)->lines.emplace_back(line);
    }
    std::vector<std::wstring> lines;
};

TEST(StillImage, LibtiffMessagesGoToTheDebugLogNotToStderr) {
    const std::string path = TmpFile("no/such/dir/x.tif");
    DebugTap tap;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaveTiffFile(Wide(path).c_str(), ColourImage()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(tap.lines.size(), 1u);
    EXPECT_NE(tap.lines[0].find(L"libtiff error: "), std::wstring::npos);
    EXPECT_NE(tap.lines[0].find(L"x.tif"), std::wstring::npos);
    EXPECT_EQ(tap.lines[0].substr(tap.lines[0].size() - 2), L"\r\n");
}

// ---- Flips, raw dumps and temperature clamping ----

TEST(StillImage, RawDumpIsBufferOrderAndSaveFlippedReversesRows) {
    const CDibImage raw = RawImage();
    const std::string plain = TmpFile("plain.raw"), flipped = TmpFile("flipped.raw");
    ASSERT_EQ(SaveImageFile(Wide(plain).c_str(), &raw, kStillRaw), 1);
    ASSERT_EQ(SaveFlipped(Wide(flipped).c_str(), &raw, kStillRaw), 1);
    const auto a = ReadAll(plain), b = ReadAll(flipped);
    ASSERT_EQ(a.size(), raw.ByteSize());
    ASSERT_EQ(b.size(), raw.ByteSize());
    EXPECT_EQ(std::memcmp(a.data(), raw.Pixels(), a.size()), 0);
    const auto stride = static_cast<size_t>(raw.Stride());
    for (int32_t k = 0; k < kH; ++k)
        ASSERT_EQ(std::memcmp(b.data() + k * stride, raw.Row(kH - 1 - k), stride), 0) << k;
}

TEST(StillImage, TemperatureClamping) {
    EXPECT_EQ(TemperatureToInt8(-130.5f), -128);
    EXPECT_EQ(TemperatureToUint8(-130.5f), 0);
    EXPECT_EQ(TemperatureToInt8(300.7f), 127);
    EXPECT_EQ(TemperatureToUint8(300.7f), 255);
    EXPECT_EQ(TemperatureToInt8(25.9f), 25);
    EXPECT_EQ(TemperatureToUint8(25.9f), 25);
    EXPECT_EQ(TemperatureToInt32(25.9f), 25);
    EXPECT_EQ(TemperatureToInt8(-0.9f), 0);
    EXPECT_EQ(TemperatureToInt32(-999.0f), -999);
    EXPECT_EQ(TemperatureToInt8(-127.5f), -127);
    // No undefined conversions for values with no truncation.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(TemperatureToInt8(nan), -128);
    EXPECT_EQ(TemperatureToUint8(nan), 0);
    EXPECT_EQ(TemperatureToInt32(nan), INT32_MIN);
    EXPECT_EQ(TemperatureToInt32(3e9f), INT32_MAX);
}

}  // namespace
}  // namespace kalvex
