#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace kalvex::platform {
namespace {

TEST(Text, Utf8RoundTripsAndRefusesSmallBuffers) {
    const char *text = "caf\xC3\xA9 \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5";
    wchar_t wide[16];
    int n = NarrowToWide(text, wide, 16);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(wide[3], L'\u00E9');
    EXPECT_EQ(static_cast<uint32_t>(wide[8]), 0x1F525u);
    char back[32];
    ASSERT_EQ(WideToNarrow(wide, back, 32), static_cast<int>(std::strlen(text)) + 1);
    EXPECT_STREQ(back, text);
    EXPECT_EQ(NarrowToWide(text, wide, 9), 0);
    EXPECT_EQ(WideToNarrow(wide, back, 5), 0);
    EXPECT_EQ(NarrowToWide(nullptr, wide, 16), 0);
    EXPECT_EQ(NarrowToWide(text, wide, -1), 0);
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
    wchar_t wide[8];
    ASSERT_EQ(NarrowToWide("a\xFF\xC3", wide, 8), 4);
    EXPECT_EQ(wide[1], L'\uFFFD');
    EXPECT_EQ(wide[2], L'\uFFFD');
}

TEST(Clock, OffsetMovesBothClocks) {
    SetClockOffset(0);
    uint32_t t0 = TimeGetTime();
    AdvanceClock(30000);
    uint32_t t1 = TimeGetTime();
    EXPECT_GE(t1 - t0, 30000u);
    EXPECT_LT(t1 - t0, 40000u);
    SetClockOffset(0);
}

class Files : public ::testing::Test {
  protected:
    std::filesystem::path dir_ = std::filesystem::path(KALVEX_TEST_TMPDIR) /
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    void SetUp() override {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
};

TEST_F(Files, WriteTruncatesAndReadsBack) {
    std::wstring path = dir_.wstring() + L"/d\u00E9j\u00E0.bin";
    File *f = FileOpenWrite(path.c_str());
    ASSERT_NE(f, nullptr);
    uint32_t n = 0;
    ASSERT_TRUE(FileWrite(f, "0123456789", 10, &n));
    EXPECT_EQ(n, 10u);
    ASSERT_TRUE(FileSeek(f, 2));
    ASSERT_TRUE(FileWrite(f, "ab", 2, &n));
    EXPECT_TRUE(FileSeekEnd(f));
    EXPECT_EQ(FileSize(f), 10);
    FileClose(f);

    f = FileOpenWrite(path.c_str());
    ASSERT_TRUE(FileWrite(f, "xyz", 3, &n));
    FileClose(f);
    f = FileOpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FileSize(f), 3);
    char buf[8] = {};
    ASSERT_TRUE(FileRead(f, buf, 8, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(buf, "xyz");
    FileClose(f);
}

TEST_F(Files, MissingFilesAndDirectoriesDoNotOpen) {
    std::wstring missing = (dir_ / L"none.bin").wstring();
    EXPECT_EQ(FileOpenRead(missing.c_str()), nullptr);
    EXPECT_EQ(FileOpenRead(dir_.wstring().c_str()), nullptr);
    EXPECT_EQ(FileOpenRead(nullptr), nullptr);
    EXPECT_EQ(FileOpenWrite(L""), nullptr);
    FILE *stream = OpenCStream((dir_ / L"s.txt").wstring().c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
}

TEST(DeviceLink, UnregisteredPathsDoNotOpen) {
    EXPECT_EQ(DeviceOpen("\\\\.\\Nothing-0"), nullptr);
    EXPECT_EQ(DeviceOpen(nullptr), nullptr);
    uint32_t got = 5;
    EXPECT_FALSE(DeviceIoControl(nullptr, 0, 0, nullptr, 0, &got));
    EXPECT_EQ(got, 0u);
    DeviceClose(nullptr);
}

struct Echo {
    int opens = 0, closes = 0;
};

TEST(DeviceLink, RegisteredDriverServesUntilUnregistered) {
    static Echo echo;
    KalvexDriverOps ops{};
    ops.open = [](void *ctx, const char *) -> void * {
        ++static_cast<Echo *>(ctx)->opens;
        return ctx;
    };
    ops.ioctl = [](void *, void *, unsigned long code, unsigned long pipe, void *buffer,
                   unsigned long length, unsigned long *returned) -> int {
        std::memset(buffer, static_cast<int>(pipe), length);
        *returned = length;
        return code == 0x00222051 ? 1 : 0;
    };
    ops.close = [](void *ctx, void *) { ++static_cast<Echo *>(ctx)->closes; };
    ASSERT_TRUE(RegisterDriver("\\\\.\\Echo-0", &ops, &echo));
    DeviceLink *link = DeviceOpen("\\\\.\\Echo-0");
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(UnregisterDriver("\\\\.\\Echo-0"));
    EXPECT_EQ(DeviceOpen("\\\\.\\Echo-0"), nullptr);
    // The open link keeps working after unregistration.
    unsigned char buf[64];
    uint32_t got = 0;
    EXPECT_TRUE(DeviceIoControl(link, 0x00222051, 2, buf, 64, &got));
    EXPECT_EQ(got, 64u);
    EXPECT_EQ(buf[63], 2);
    EXPECT_FALSE(DeviceIoControl(link, 0x0022204E, 2, buf, 64, &got));
    EXPECT_EQ(got, 0u);
    DeviceClose(link);
    EXPECT_EQ(echo.opens, 1);
    EXPECT_EQ(echo.closes, 1);
    EXPECT_FALSE(RegisterDriver(nullptr, &ops, nullptr));
    EXPECT_FALSE(RegisterDriver("x", nullptr, nullptr));
    EXPECT_FALSE(UnregisterDriver("\\\\.\\Echo-0"));
}

// Exactly one of the thread's end and its owner's abandonment wins: a thread
// that finished is joined, one abandoned leaves through the seam.
TEST(ThreadHold, FinishAndAbandonDecideOnce) {
    ThreadModuleHold finished;
    finished.Finish();
    EXPECT_FALSE(finished.Abandon());

    ThreadModuleHold abandoned;
    EXPECT_TRUE(abandoned.Abandon());
    EXPECT_FALSE(abandoned.Abandon());
}

// A driver without a cancel entry cannot cancel; a null link neither.
TEST(DeviceCancel, NeedsTheDriversCancelEntry) {
    EXPECT_FALSE(DeviceCancel(nullptr));
    KalvexDriverOps ops{};
    ops.open = [](void *, const char *) -> void * { return reinterpret_cast<void *>(1); };
    ops.ioctl = [](void *, void *, unsigned long, unsigned long, void *, unsigned long,
                   unsigned long *) { return 0; };
    ASSERT_TRUE(RegisterDriver("\\\\.\\NoCancel-0", &ops, nullptr));
    DeviceLink *link = DeviceOpen("\\\\.\\NoCancel-0");
    ASSERT_NE(link, nullptr);
    EXPECT_FALSE(DeviceCancel(link));
    DeviceClose(link);
    EXPECT_TRUE(UnregisterDriver("\\\\.\\NoCancel-0"));
}

}  // namespace
}  // namespace kalvex::platform
