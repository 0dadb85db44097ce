#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "output/file_object.h"

namespace kalvex {
namespace {

class FileObject : public ::testing::Test {
  protected:
    std::filesystem::path dir_ = std::filesystem::path(KALVEX_TEST_TMPDIR) / "file_object" /
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    void SetUp() override {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    std::wstring Path(const char *name) { return (dir_ / name).wstring(); }
    std::string Contents(const char *name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(FileObject, FreshObjectIsClosed) {
    CFileObject f;
    EXPECT_EQ(f.Close(), 0);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Begin(), nullptr);
    EXPECT_EQ(f.Size(), 0);
    EXPECT_EQ(f.Write("x", 1), 0);
    EXPECT_EQ(f.GetSize(), 0);
    EXPECT_EQ(f.Seek(0), 0);
}

TEST_F(FileObject, OpenWriteEmptiesAnExistingFileAndCreatesAMissingOne) {
    std::ofstream(dir_ / "long.bin", std::ios::binary) << std::string(1000, 'z');
    CFileObject f;
    ASSERT_NE(f.OpenWrite(Path("long.bin").c_str()), nullptr);
    EXPECT_EQ(f.Size(), 0);  // truncated on open
    EXPECT_EQ(f.Write("abc", 3), 1);
    EXPECT_EQ(f.Close(), 1);
    EXPECT_EQ(Contents("long.bin"), "abc");

    ASSERT_NE(f.OpenWrite(Path("new.bin").c_str()), nullptr);
    EXPECT_EQ(f.Write("0123456789", 10), 1);
    // Patch a header field, then carry on at the end.
    EXPECT_EQ(f.Seek(2), 1);
    EXPECT_EQ(f.Write("ab", 2), 1);
    EXPECT_EQ(f.SeekEnd(), 1);
    EXPECT_EQ(f.Write("!", 1), 1);
    EXPECT_EQ(f.GetSize(), 1);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.SizeLow(), 11u);
    f.Close();
    EXPECT_EQ(Contents("new.bin"), "01ab456789!");

    EXPECT_EQ(f.OpenWrite(Path("no/such/dir.bin").c_str()), nullptr);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.OpenWrite(nullptr), nullptr);
}

TEST_F(FileObject, OpenReadLoadsTheWholeFile) {
    std::string data(70000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
    std::ofstream(dir_ / "table.bin", std::ios::binary) << data;
    CFileObject f;
    const uint8_t *begin = f.OpenRead(Path("table.bin").c_str());
    ASSERT_NE(begin, nullptr);
    EXPECT_FALSE(f.IsOpen());  // only the memory copy is kept
    EXPECT_EQ(f.Begin(), begin);
    EXPECT_EQ(f.Cursor(), begin);
    EXPECT_EQ(f.End(), begin + data.size());
    EXPECT_EQ(f.Size(), 70000);
    EXPECT_EQ(std::memcmp(begin, data.data(), data.size()), 0);

    // An empty file opens, holding nothing.
    std::ofstream(dir_ / "empty.bin", std::ios::binary).flush();
    begin = f.OpenRead(Path("empty.bin").c_str());
    ASSERT_NE(begin, nullptr);
    EXPECT_EQ(f.End(), begin);
    EXPECT_EQ(f.Close(), 0);  // no handle to close, the copy is freed
    EXPECT_EQ(f.Begin(), nullptr);
}

TEST_F(FileObject, FailedOpenReadLeavesTheObjectClosed) {
    std::ofstream(dir_ / "a.bin", std::ios::binary) << "abc";
    CFileObject f;
    ASSERT_NE(f.OpenRead(Path("a.bin").c_str()), nullptr);
    EXPECT_EQ(f.OpenRead(Path("missing.bin").c_str()), nullptr);
    EXPECT_EQ(f.Begin(), nullptr);
    EXPECT_EQ(f.End(), nullptr);
    EXPECT_EQ(f.Size(), 0);
    EXPECT_EQ(f.OpenRead(dir_.wstring().c_str()), nullptr);  // a directory
    EXPECT_EQ(f.OpenRead(nullptr), nullptr);
    // Resources are a Windows facility.
    EXPECT_EQ(f.OpenRead(L"TABLE", nullptr, L"RCDATA"), nullptr);
    EXPECT_EQ(f.Begin(), nullptr);
}

}  // namespace
}  // namespace kalvex
