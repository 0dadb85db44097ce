// Paths beyond ASCII through every file facility of the seam: the wide calls,
// the C stream and the narrow form for libraries that take char paths must all
// name the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "output/still_image.h"
#include "platform/platform.h"

namespace kalvex::platform {
namespace {

class WidePaths : public ::testing::Test {
  protected:
    // The folder is ASCII so that std::filesystem can make it in any locale;
    // names below it are joined as wide text. One folder per test: ctest runs
    // them side by side.
    std::filesystem::path dir_;
    void SetUp() override {
        dir_ = std::filesystem::path(KALVEX_TEST_TMPDIR) /
               (std::string("wide-paths-") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    std::wstring In(const wchar_t *name) const { return dir_.wstring() + L"/" + name; }
};

TEST_F(WidePaths, StreamAndFileCallsNameTheSameFile) {
    std::wstring path = In(L"tr\u00E8s-\u6E29\u5EA6.txt");
    FILE *stream = OpenCStream(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::fwrite("kalvex", 1, 6, stream), 6u);
    std::fclose(stream);
    File *f = FileOpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    uint32_t got = 0;
    EXPECT_TRUE(FileRead(f, buf, sizeof buf, &got));
    EXPECT_EQ(got, 6u);
    EXPECT_STREQ(buf, "kalvex");
    FileClose(f);
}

TEST_F(WidePaths, NarrowFormOpensTheSameFileOrIsRefused) {
    // Representable in the narrow encoding: the narrow form reaches the file.
    std::wstring path = In(L"d\u00E9j\u00E0.bin");
    File *f = FileOpenWrite(path.c_str());
    ASSERT_NE(f, nullptr);
    FileClose(f);
    std::string narrow = NarrowPath(path.c_str());
    if (!narrow.empty()) {
        FILE *stream = std::fopen(narrow.c_str(), "rb");
        EXPECT_NE(stream, nullptr) << "narrow form names another file";
        if (stream != nullptr) std::fclose(stream);
    }
    EXPECT_EQ(NarrowPath(nullptr), "");
    EXPECT_EQ(NarrowPath(L""), "");
}

TEST_F(WidePaths, TiffSavesReachNamesOutsideTheNarrowEncoding) {
    // On Windows these characters have no ANSI form: libtiff must open the wide name.
    const std::wstring path = In(L"\u6E29\u5EA6-\u0394.tif");
    CDibImage image;
    ASSERT_EQ(image.Create(4, 2, 24), 1);
    ASSERT_EQ(SaveTiffFile(path.c_str(), image), 1);
    File *f = FileOpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_GT(FileSize(f), 4 * 2 * 3);
    FileClose(f);
}

TEST_F(WidePaths, WriteIntoAMissingFolderFails) {
    std::wstring path = In(L"n\u00F6ne/x.bin");
    EXPECT_EQ(FileOpenWrite(path.c_str()), nullptr);
    EXPECT_EQ(OpenCStream(path.c_str(), "wb"), nullptr);
    EXPECT_EQ(OpenCStream(path.c_str(), nullptr), nullptr);
}

}  // namespace
}  // namespace kalvex::platform
