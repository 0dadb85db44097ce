#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output/dib_image.h"

namespace kalvex {
namespace {

void Fill(CDibImage &img, uint8_t seed) {
    for (size_t i = 0; i < img.ByteSize(); ++i)
        img.Pixels()[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

TEST(DibImage, StrideRule) {
    CDibImage img;
    ASSERT_EQ(img.Create(641, 480, 24), 1);
    EXPECT_EQ(img.Stride(), 1924);
    const struct {
        uint16_t bits;
        int32_t stride;
    } cases[] = {{8, 640}, {16, 1280}, {24, 1920}, {32, 2560}, {48, 3840}, {64, 5120}};
    for (const auto &c : cases) {
        ASSERT_EQ(img.Create(640, 480, c.bits), 1);
        EXPECT_EQ(img.Stride(), c.stride) << c.bits;
        EXPECT_EQ(img.ByteSize(), static_cast<size_t>(c.stride) * 480);
    }
    EXPECT_EQ(DibStride(1, 8), 4);
    EXPECT_EQ(DibStride(3, 16), 8);
}

TEST(DibImage, CreateFillsTheHeaderAndZeroedHeapPixels) {
    CDibImage img;
    EXPECT_TRUE(img.Empty());
    EXPECT_EQ(img.Header().biSize, 40u);
    ASSERT_EQ(img.Create(5, 3, 16), 1);
    EXPECT_FALSE(img.Empty());
    EXPECT_EQ(img.Dc(), nullptr);  // no DIB sections on this platform
    const BitmapInfoHeader &h = img.Header();
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 5);
    EXPECT_EQ(h.biHeight, 3);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 16);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    for (size_t i = 0; i < img.ByteSize(); ++i) ASSERT_EQ(img.Pixels()[i], 0);
    EXPECT_EQ(img.Row(2), img.Pixels() + 2 * 12);
}

TEST(DibImage, RefusedSizesLeaveTheImageIntact) {
    CDibImage img;
    ASSERT_EQ(img.CreateInMemory(4, 2, 24), 1);
    Fill(img, 3);
    const uint8_t *pixels = img.Pixels();
    const std::vector<uint8_t> before(pixels, pixels + img.ByteSize());
    EXPECT_EQ(img.Create(0, 480, 24), 0);
    EXPECT_EQ(img.Create(640, -1, 24), 0);
    EXPECT_EQ(img.Create(640, 480, 0), 0);
    EXPECT_EQ(img.Create(640, 480, 4), 0);                // rows of no bytes
    EXPECT_EQ(img.CreateInMemory(0x7FFFFFFF, 2, 32), 0);  // stride overflows
    EXPECT_EQ(img.Create(0x10000, 0x10000, 32), 0);       // more than 2 GiB
    CDibImage empty;
    EXPECT_EQ(img.CopyFormat(empty), 0);
    ASSERT_EQ(img.Pixels(), pixels);
    EXPECT_EQ(img.Width(), 4);
    EXPECT_EQ(img.BitCount(), 24);
    EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + img.ByteSize()), before);
}

TEST(DibImage, AssignAndValueSemantics) {
    CDibImage src;
    ASSERT_EQ(src.Create(3, 3, 24), 1);
    Fill(src, 1);

    CDibImage target;
    ASSERT_EQ(target.Create(2, 2, 8), 1);
    CDibImage empty;
    EXPECT_EQ(target.Assign(empty), 0);  // untouched
    EXPECT_EQ(target.Width(), 2);
    EXPECT_EQ(target.BitCount(), 8);

    EXPECT_EQ(target.Assign(src), 1);
    EXPECT_EQ(target.Width(), 3);
    EXPECT_EQ(target.Stride(), 12);
    EXPECT_NE(target.Pixels(), src.Pixels());
    EXPECT_EQ(std::memcmp(target.Pixels(), src.Pixels(), src.ByteSize()), 0);

    CDibImage copy(src);
    EXPECT_EQ(std::memcmp(copy.Pixels(), src.Pixels(), src.ByteSize()), 0);
    copy.Pixels()[0] ^= 0xFF;
    EXPECT_NE(copy.Pixels()[0], src.Pixels()[0]);  // deep copy

    // A slot copy-assigned from an empty image releases first and ends empty.
    target = empty;
    EXPECT_TRUE(target.Empty());
    EXPECT_EQ(target.Width(), 0);
    EXPECT_EQ(target.Header().biSize, 40u);

    // Self-assignment keeps the image.
    CDibImage &alias = copy;
    copy = alias;
    ASSERT_FALSE(copy.Empty());
    EXPECT_EQ(copy.Pixels()[1], src.Pixels()[1]);

    CDibImage moved(std::move(copy));
    EXPECT_TRUE(copy.Empty());
    EXPECT_EQ(moved.Pixels()[1], src.Pixels()[1]);
    std::vector<CDibImage> ring(3);
    ring[1] = src;
    ring.resize(40);  // growth keeps the slots' pixels
    EXPECT_EQ(std::memcmp(ring[1].Pixels(), src.Pixels(), src.ByteSize()), 0);
}

TEST(DibImage, CopyFormatKeepsTheLayoutNotThePixels) {
    CDibImage src, dst;
    ASSERT_EQ(src.Create(7, 2, 8), 1);
    Fill(src, 9);
    ASSERT_EQ(dst.CopyFormat(src), 1);
    EXPECT_EQ(std::memcmp(&dst.Header(), &src.Header(), 40), 0);
    EXPECT_EQ(dst.Stride(), 8);
    EXPECT_EQ(dst.Pixels()[0], 0);
    ASSERT_EQ(dst.CopyFormat(dst), 1);  // onto itself: same format again
    EXPECT_EQ(dst.Width(), 7);
}

TEST(DibImage, ReleaseIsIdempotent) {
    CDibImage img;
    EXPECT_EQ(img.Release(), 0);
    ASSERT_EQ(img.Create(2, 2, 32), 1);
    EXPECT_EQ(img.Release(), 0);
    EXPECT_EQ(img.Release(), 0);
    EXPECT_TRUE(img.Empty());
    EXPECT_EQ(img.Stride(), 0);
    EXPECT_EQ(img.BitCount(), 0);
    EXPECT_EQ(img.Header().biWidth, 0);
    EXPECT_EQ(img.Header().biSize, 40u);
}

TEST(DibImage, DrawNeedsDeviceContexts) {
    CDibImage a, b;
    ASSERT_EQ(a.Create(2, 2, 24), 1);
    ASSERT_EQ(b.Create(2, 2, 24), 1);
    EXPECT_EQ(a.Draw(b, nullptr, 0, 0), 0);  // heap-only images cannot be blitted
    EXPECT_EQ(a.SetColorTable(0, nullptr, 0, 0), 1);
    EXPECT_EQ(a.SetColorTable(7, nullptr, 0, 0), 1);
}

// Records what Convert hands to a converter.
IMAGEVIEW gDst, gSrc;
CONVOPTIONS gOptions;
bool gHadSource;
int gA, gB;
int Capture(const IMAGEVIEW *d, const IMAGEVIEW *s, const CONVOPTIONS *o, int a, int b) {
    gDst = *d;
    gHadSource = s != nullptr;
    if (s != nullptr) gSrc = *s;
    gOptions = *o;
    gA = a;
    gB = b;
    return 42;
}

TEST(DibImage, ConvertBuildsViewsAndDefaultOptions) {
    CDibImage dst, src;
    ASSERT_EQ(dst.Create(5, 4, 24), 1);
    ASSERT_EQ(src.Create(6, 3, 16), 1);
    const ImageRect dr{1, 1, 3, 4};
    EXPECT_EQ(dst.Convert(Capture, &src, nullptr, &dr, nullptr, 7, 8), 42);
    EXPECT_EQ(gDst.size, 40u);
    EXPECT_EQ(gDst.width, 5);
    EXPECT_EQ(gDst.stride, 16u);
    EXPECT_EQ(gDst.bitCount, 24u);
    EXPECT_EQ(gDst.pixels, dst.Pixels());
    EXPECT_EQ(gDst.left, 1);
    EXPECT_EQ(gDst.bottom, 4);
    ASSERT_TRUE(gHadSource);
    EXPECT_EQ(gSrc.pixels, src.Pixels());
    EXPECT_EQ(gSrc.right, 6);
    EXPECT_EQ(gSrc.bottom, 3);
    EXPECT_EQ(gOptions.size, 12u);
    EXPECT_EQ(gOptions.mode, 1u);
    EXPECT_EQ(gOptions.reserved, 0u);
    EXPECT_EQ(gA, 7);
    EXPECT_EQ(gB, 8);
    EXPECT_EQ(dst.Convert(Capture, nullptr, nullptr, nullptr, nullptr, 0, 0), 42);
    EXPECT_FALSE(gHadSource);
    EXPECT_EQ(gDst.right, 5);

    Fill(dst, 5);
    const std::vector<uint8_t> before(dst.Pixels(), dst.Pixels() + dst.ByteSize());
    EXPECT_EQ(dst.Convert(nullptr, &src, nullptr, nullptr, nullptr, 0, 0), 1);
    EXPECT_EQ(std::vector<uint8_t>(dst.Pixels(), dst.Pixels() + dst.ByteSize()), before);

    // Real converters through Convert: an empty destination is reported, not written.
    CDibImage empty;
    EXPECT_EQ(empty.Convert(ConvFlipRgb, &src, nullptr, nullptr, nullptr, 0, 0), 4);
    EXPECT_EQ(dst.Convert(ConvFlipRgb, nullptr, nullptr, nullptr, nullptr, 0, 0), 3);
}

TEST(DibImage, ConvertFlipRgbReversesRowsAndSwapsRedAndBlue) {
    CDibImage src, dst;
    ASSERT_EQ(src.Create(2, 3, 24), 1);
    for (int32_t r = 0; r < 3; ++r)
        for (int p = 0; p < 2; ++p) {
            uint8_t *px = src.Row(r) + 3 * p;
            px[0] = static_cast<uint8_t>(10 * r + p);  // blue
            px[1] = 100;
            px[2] = static_cast<uint8_t>(200 + r);  // red
        }
    ASSERT_EQ(dst.CopyFormat(src), 1);
    ASSERT_EQ(dst.Convert(ConvFlipRgb, &src, nullptr, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(dst.Row(0)[0], 202);  // red of buffer row 2 first
    EXPECT_EQ(dst.Row(0)[2], 20);
    EXPECT_EQ(dst.Row(2)[3 + 2], 1);
    EXPECT_EQ(dst.Row(1)[1], 100);
}

TEST(DibImage, CopyRowsReversed) {
    CDibImage img;
    EXPECT_EQ(img.CopyRowsReversed(), nullptr);
    ASSERT_EQ(img.Create(3, 4, 16), 1);
    Fill(img, 11);
    auto block = img.CopyRowsReversed();
    ASSERT_NE(block, nullptr);
    for (int32_t k = 0; k < 4; ++k)
        EXPECT_EQ(std::memcmp(block.get() + k * 8, img.Row(3 - k), 8), 0) << k;
    std::vector<uint8_t> out(img.ByteSize() - 1);
    EXPECT_FALSE(img.CopyRowsReversed(out.data(), out.size()));
}

class DibFiles : public ::testing::Test {
  protected:
    std::filesystem::path dir_ = std::filesystem::path(KALVEX_TEST_TMPDIR) / "dib" /
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    void SetUp() override {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    std::vector<uint8_t> Read(const std::filesystem::path &p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(DibFiles, Bmp24BitLayout) {
    CDibImage img;
    ASSERT_EQ(img.Create(640, 480, 24), 1);
    Fill(img, 1);
    const auto path = dir_ / "frame.bmp";
    // A longer file of that name is replaced, not overwritten in part.
    std::ofstream(path, std::ios::binary) << std::string(2000000, 'x');
    ASSERT_EQ(img.WriteBmp(path.wstring().c_str()), 1);
    const auto b = Read(path);
    ASSERT_EQ(b.size(), 921654u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(Le32(b, 2), 921654u);
    EXPECT_EQ(Le32(b, 6), 0u);
    EXPECT_EQ(Le32(b, 10), 54u);
    EXPECT_EQ(Le32(b, 14), 40u);
    EXPECT_EQ(Le32(b, 18), 640u);
    EXPECT_EQ(Le32(b, 22), 480u);
    EXPECT_EQ(Le16(b, 26), 1);
    EXPECT_EQ(Le16(b, 28), 24);
    for (size_t at = 30; at < 54; at += 4) EXPECT_EQ(Le32(b, at), 0u) << at;
    // Rows in buffer order: buffer row 0 right after the header.
    EXPECT_EQ(std::memcmp(b.data() + 54, img.Pixels(), img.ByteSize()), 0);
}

TEST_F(DibFiles, Bmp8BitHasAGreyRampAndPaddedRows) {
    CDibImage img;
    ASSERT_EQ(img.Create(5, 3, 8), 1);  // stride 8
    Fill(img, 2);
    const auto path = dir_ / "grey.bmp";
    ASSERT_EQ(img.WriteBmp(path.wstring().c_str()), 1);
    const auto b = Read(path);
    ASSERT_EQ(b.size(), 1078u + 24u);
    EXPECT_EQ(Le32(b, 2), 1102u);
    EXPECT_EQ(Le32(b, 10), 1078u);
    EXPECT_EQ(Le32(b, 18), 5u);
    EXPECT_EQ(Le16(b, 28), 8);
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(b[54 + 4 * i], i);
        ASSERT_EQ(b[54 + 4 * i + 1], i);
        ASSERT_EQ(b[54 + 4 * i + 2], i);
        ASSERT_EQ(b[54 + 4 * i + 3], 0);
    }
    EXPECT_EQ(std::memcmp(b.data() + 1078, img.Pixels(), 24), 0);
}

TEST_F(DibFiles, BmpFailures) {
    CDibImage empty, img;
    EXPECT_EQ(empty.WriteBmp((dir_ / "empty.bmp").wstring().c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "empty.bmp"));
    ASSERT_EQ(img.Create(2, 2, 24), 1);
    EXPECT_EQ(img.WriteBmp((dir_ / "missing" / "x.bmp").wstring().c_str()), 0);
    EXPECT_EQ(img.WriteBmp(nullptr), 0);
}

}  // namespace
}  // namespace kalvex
