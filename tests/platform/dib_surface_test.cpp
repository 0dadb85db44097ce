// DIB surfaces and module resources through the seam on every platform: bad
// arguments refused without a crash, and nothing made where there is no GDI.
// GDI itself: dib_surface_win32_test.cpp, in Windows builds.
#include <gtest/gtest.h>

#include "output/dib_image.h"
#include "output/file_object.h"
#include "platform/dib_test_support.h"
#include "platform/platform.h"

namespace kalvex {
namespace {

using platform::RgbQuad;

TEST(DibSurfaces, RefusalsWithoutSurfacesOrArguments) {
    // Null handles and arguments fail on every platform, and never crash.
    const BitmapInfoHeader h = DibHeader(4, 4, 24);
    void *bits = &bits;
    EXPECT_EQ(platform::DibCreateSection(nullptr, nullptr, &bits), nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(platform::DibCreateSection(nullptr, &h, nullptr), nullptr);
    EXPECT_EQ(platform::DibSelectObject(nullptr, nullptr), nullptr);
    EXPECT_FALSE(platform::DibDeleteObject(nullptr));
    EXPECT_FALSE(platform::DibDeleteDc(nullptr));
    EXPECT_EQ(platform::DibBlit(nullptr, 0, 0, 1, 1, nullptr, 0, 0), 0);
    RgbQuad q[1] = {};
    EXPECT_EQ(platform::DibGetColorTable(nullptr, 0, 1, q), 0u);
    EXPECT_EQ(platform::DibSetColorTable(nullptr, 0, 1, q), 0u);
    platform::DibCloseDrawHandle(nullptr);

    const uint8_t *data = reinterpret_cast<const uint8_t *>(&h);
    uint32_t size = 7;
    EXPECT_FALSE(
        platform::LoadModuleResource(nullptr, L"NO_SUCH_RESOURCE", L"KALVEXDATA", &data, &size));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(platform::LoadModuleResource(nullptr, nullptr, nullptr, &data, &size));

    if (platform::DibSurfacesAvailable()) return;
    EXPECT_EQ(platform::DibCreateSection(nullptr, &h, &bits), nullptr);
    EXPECT_EQ(platform::DibCreateMemoryDc(), nullptr);
    CDibImage img;
    ASSERT_EQ(img.Create(4, 4, 8), 1);
    EXPECT_EQ(img.Dc(), nullptr);  // heap-only
}

}  // namespace
}  // namespace kalvex
