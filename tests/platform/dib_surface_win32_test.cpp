// DIB surfaces and module resources through GDI (Windows builds only): the
// seam's sections, DCs, colour tables and blits, and CDibImage on top of them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "output/dib_image.h"
#include "output/file_object.h"
#include "platform/dib_test_support.h"
#include "platform/platform.h"

namespace kalvex {
namespace {

using dibtest::Fill;
using dibtest::Palette;
using dibtest::SamePixels;
using platform::RgbQuad;

class WithSurfaces : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(platform::DibSurfacesAvailable()); }
};

TEST_F(WithSurfaces, SectionInAMemoryDcWithColourTableAndBlit) {
    const BitmapInfoHeader h8 = DibHeader(6, 3, 8);
    void *bits = nullptr;
    platform::GdiObject *section = platform::DibCreateSection(nullptr, &h8, &bits);
    ASSERT_NE(section, nullptr);
    ASSERT_NE(bits, nullptr);
    for (int i = 0; i < 8 * 3; ++i) EXPECT_EQ(static_cast<uint8_t *>(bits)[i], 0) << i;
    platform::DibDc *dc = platform::DibCreateMemoryDc();
    ASSERT_NE(dc, nullptr);
    platform::GdiObject *previous = platform::DibSelectObject(dc, section);
    ASSERT_NE(previous, nullptr);

    // The section has room for all 256 entries, zeroed until set.
    std::vector<RgbQuad> got(kColorTableEntries, RgbQuad{1, 1, 1, 1});
    ASSERT_EQ(platform::DibGetColorTable(dc, 0, kColorTableEntries, got.data()), 256u);
    for (const RgbQuad &q : got) ASSERT_EQ(q.blue | q.green | q.red | q.reserved, 0);
    const std::vector<RgbQuad> table = Palette();
    EXPECT_EQ(platform::DibSetColorTable(dc, 0, kColorTableEntries, table.data()), 256u);
    EXPECT_EQ(platform::DibSetColorTable(dc, 250, 10, table.data()), 6u);  // clipped at 256
    ASSERT_EQ(platform::DibGetColorTable(dc, 0, kColorTableEntries, got.data()), 256u);
    for (uint32_t i = 0; i < kColorTableEntries; ++i) {
        const RgbQuad want = i < 250 ? table[i] : table[i - 250];
        ASSERT_EQ(std::memcmp(&got[i], &want, 4), 0) << i;
    }

    // A second 8-bit section with the same table: a blit copies the indices.
    void *bits2 = nullptr;
    platform::GdiObject *section2 = platform::DibCreateSection(nullptr, &h8, &bits2);
    ASSERT_NE(section2, nullptr);
    platform::DibDc *dc2 = platform::DibCreateMemoryDc();
    platform::GdiObject *previous2 = platform::DibSelectObject(dc2, section2);
    ASSERT_NE(previous2, nullptr);
    platform::DibSetColorTable(dc2, 0, kColorTableEntries, table.data());
    auto *src = static_cast<uint8_t *>(bits);
    for (int i = 0; i < 8 * 3; ++i) src[i] = static_cast<uint8_t>(10 + i);
    // Source (1, 0) to destination (2, 1), 3 x 2 pixels; GDI rows run bottom-up.
    EXPECT_EQ(platform::DibBlit(dc2, 2, 1, 3, 2, dc, 1, 0), 1);
    auto *dst = static_cast<uint8_t *>(bits2);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 2 && x < 5 && y <= 1;  // top-down rows 1..2
            const uint8_t want = inside ? src[(y + 1) * 8 + (x - 1)] : 0;
            ASSERT_EQ(dst[y * 8 + x], want) << x << "," << y;
        }

    EXPECT_EQ(platform::DibSelectObject(dc2, previous2), section2);
    EXPECT_TRUE(platform::DibDeleteObject(section2));
    EXPECT_TRUE(platform::DibDeleteDc(dc2));
    EXPECT_EQ(platform::DibSelectObject(dc, previous), section);
    EXPECT_TRUE(platform::DibDeleteObject(section));
    EXPECT_TRUE(platform::DibDeleteDc(dc));
}

TEST_F(WithSurfaces, ImagesLiveInSectionsAndCopyExactly) {
    for (const uint16_t bits : {uint16_t{8}, uint16_t{16}, uint16_t{24}, uint16_t{32}}) {
        SCOPED_TRACE(bits);
        CDibImage src;
        ASSERT_EQ(src.Create(641, 7, bits), 1);
        EXPECT_NE(src.Dc(), nullptr);
        for (size_t i = 0; i < src.ByteSize(); ++i) ASSERT_EQ(src.Pixels()[i], 0);
        Fill(src, static_cast<uint8_t>(bits));
        // A copy goes through a blit between the two sections: the same
        // pixel bytes, every bit of 16-bit samples included.
        CDibImage copy(src);
        ASSERT_NE(copy.Dc(), nullptr);
        ASSERT_NE(copy.Pixels(), src.Pixels());
        EXPECT_TRUE(SamePixels(copy, src));
        CDibImage moved(std::move(copy));
        EXPECT_NE(moved.Dc(), nullptr);
        EXPECT_TRUE(SamePixels(moved, src));
    }
    // Depths that GDI has no sections for stay heap-only.
    CDibImage deep;
    ASSERT_EQ(deep.Create(4, 4, 48), 1);
    EXPECT_EQ(deep.Dc(), nullptr);
}

TEST_F(WithSurfaces, EightBitImagesCarryTheirColourTable) {
    CDibImage img;
    ASSERT_EQ(img.Create(5, 3, 8), 1);
    // A fresh 8-bit image gets the grey ramp.
    std::vector<RgbQuad> got(kColorTableEntries);
    ASSERT_EQ(platform::DibGetColorTable(img.Dc(), 0, kColorTableEntries, got.data()), 256u);
    for (uint32_t i = 0; i < kColorTableEntries; ++i)
        ASSERT_TRUE(got[i].blue == i && got[i].green == i && got[i].red == i) << i;

    const std::vector<RgbQuad> table = Palette();
    EXPECT_EQ(img.SetColorTable(2, table.data(), 0, kColorTableEntries), 1);
    CDibImage format;
    ASSERT_EQ(format.CopyFormat(img), 1);  // the table comes along
    ASSERT_EQ(platform::DibGetColorTable(format.Dc(), 0, kColorTableEntries, got.data()), 256u);
    EXPECT_EQ(std::memcmp(got.data(), table.data(), 4 * kColorTableEntries), 0);

    // The BMP file carries the image's own table.
    const auto dir = std::filesystem::path(KALVEX_TEST_TMPDIR) / "dib_surface";
    std::filesystem::create_directories(dir);
    const auto path = dir / "palette.bmp";
    ASSERT_EQ(img.WriteBmp(path.wstring().c_str()), 1);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(b.size(), 1078u + 24u);
    for (uint32_t i = 0; i < kColorTableEntries; ++i)
        ASSERT_EQ(std::memcmp(&b[54 + 4 * i], &table[i], 4), 0) << i;
}

TEST_F(WithSurfaces, ModuleResourcesReadThroughTheFileObject) {
    // tests/win32/resources.rc links KALVEXTEST (type KALVEXDATA) into the program.
    const uint8_t *data = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(platform::LoadModuleResource(nullptr, L"KALVEXTEST", L"KALVEXDATA", &data, &size));
    const char expected[] = "kalvex resource\n";
    ASSERT_EQ(size, sizeof expected - 1);
    EXPECT_EQ(std::memcmp(data, expected, size), 0);

    CFileObject file;
    ASSERT_EQ(file.OpenRead(L"KALVEXTEST", nullptr, L"KALVEXDATA"), data);
    EXPECT_EQ(file.SizeLow(), size);
    file.Close();
    EXPECT_EQ(file.OpenRead(L"KALVEXMISSING", nullptr, L"KALVEXDATA"), nullptr);
}

}  // namespace
}  // namespace kalvex
