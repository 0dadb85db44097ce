// Event codes, window notification and the debug log.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "base/log.h"
#include "kalvex.h"
#include "platform/platform.h"
#include "support/test_window.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {
namespace {

using test::TestWindow;

TEST(Events, CodesComeBackNewestFirstAndArePosted) {
    TestWindow window;
    CKalvex instance;
    instance.SetNotificationWindow(window.hwnd());
    EXPECT_EQ(instance.ReportError(5), 1);
    EXPECT_EQ(instance.ReportError(6), 1);
    EXPECT_EQ(instance.PopLastError(), 6);
    EXPECT_EQ(instance.PopLastError(), 5);
    EXPECT_EQ(instance.PopLastError(), 0);
    std::vector<KalvexMessage> posted = window.Drain();
    ASSERT_EQ(posted.size(), 2u);
    for (const KalvexMessage &m : posted) {
        EXPECT_EQ(m.message, 0x8003u);
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.hwnd, window.hwnd());
    }
    EXPECT_EQ(posted[0].lParam, 5);
    EXPECT_EQ(posted[1].lParam, 6);
}

TEST(Events, NullWindowRecordsWithoutPosting) {
    CKalvex instance;
    EXPECT_EQ(instance.ReportError(9), 1);
    EXPECT_EQ(instance.PopLastError(), 9);
}

TEST(Events, SetWindowHandleRedirectsTheNextPost) {
    TestWindow first, second;
    int h = Kalvex_Initialize(first.hwnd());
    ASSERT_NE(h, 0);
    first.Drain();
    Kalvex_SetCameraType(h);
    EXPECT_EQ(Kalvex_SetWindowHandle(h, second.hwnd()), 1);
    Kalvex_SetCameraType(h);
    EXPECT_EQ(first.Drain(KALVEX_WM_EVENT), std::vector<long>{10});
    EXPECT_EQ(second.Drain(KALVEX_WM_EVENT), std::vector<long>{10});
    Kalvex_Release(h);
}

TEST(Events, PostToDestroyedWindowFailsQuietlyAndCodeStays) {
    KalvexHwnd gone = KalvexPosix_CreateWindow();
    ASSERT_EQ(KalvexPosix_DestroyWindow(gone), 1);
    CKalvex instance;
    instance.SetNotificationWindow(gone);
    EXPECT_EQ(instance.ReportError(3), 1);
    EXPECT_EQ(instance.PopLastError(), 3);
    EXPECT_EQ(KalvexPosix_DestroyWindow(gone), 0);
}

TEST(Events, SetCameraTypeLeavesOneCodeTenPerCall) {
    int h = Kalvex_Initialize(nullptr);
    while (Kalvex_GetLastError(h) != 0) {
    }
    EXPECT_EQ(Kalvex_SetCameraType(h), 0);
    EXPECT_EQ(Kalvex_SetCameraType(h), 0);
    EXPECT_EQ(Kalvex_GetLastError(h), 10);
    EXPECT_EQ(Kalvex_GetLastError(h), 10);
    EXPECT_EQ(Kalvex_GetLastError(h), 0);
    Kalvex_Release(h);
}

TEST(Events, WindowQueueHoldsTenThousandMessages) {
    TestWindow window;
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(platform::PostWindowMessage(window.hwnd(), KALVEX_WM_FRAME, 0, i));
    EXPECT_FALSE(platform::PostWindowMessage(window.hwnd(), KALVEX_WM_FRAME, 0, 10000));
    std::vector<long> ids = window.Drain(KALVEX_WM_FRAME);
    ASSERT_EQ(ids.size(), 10000u);
    EXPECT_EQ(ids.front(), 0);
    EXPECT_EQ(ids.back(), 9999);
    KalvexMessage m;
    EXPECT_EQ(KalvexPosix_GetMessage(window.hwnd(), &m, 0), 0);
    EXPECT_EQ(KalvexPosix_GetMessage(window.hwnd(), nullptr, 0), -1);
    EXPECT_EQ(KalvexPosix_GetMessage(nullptr, &m, 0), -1);
}

class LogTest : public ::testing::Test {
protected:
    static void KALVEX_CALL Listen(const wchar_t *line, void *context) {
        static_cast<std::vector<std::wstring> *>(context)->push_back(line);
    }
    void SetUp() override { KalvexPosix_SetDebugListener(&Listen, &lines_); }
    void TearDown() override {
        KalvexPosix_SetDebugListener(nullptr, nullptr);
        platform::SetLocalTimeOverride(nullptr);
    }
    std::vector<std::wstring> lines_;
};

TEST_F(LogTest, LineFormatWithInjectedTime) {
    platform::LocalTime t{9, 5, 3, 7};
    platform::SetLocalTimeOverride(&t);
    LogDebug(L"GetInternalTemp %.2f", 25.5);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], L"09:05:03.007 GetInternalTemp 25.50\r\n");
}

TEST_F(LogTest, LongMessagesAreTruncatedNotOverrun) {
    std::wstring huge(5000, L'x');
    LogDebug(L"%ls", huge.c_str());
    std::wstring longLine(1000, L'y');
    LogDebug(L"%ls", longLine.c_str());
    ASSERT_EQ(lines_.size(), 2u);
    for (const std::wstring &line : lines_) {
        EXPECT_LE(line.size(), 511u);
        EXPECT_EQ(line.substr(line.size() - 2), L"\r\n");
    }
    EXPECT_EQ(lines_[1].size(), 511u);
    EXPECT_EQ(lines_[1].substr(13, 5), L"yyyyy");
}

TEST_F(LogTest, WithoutListenerLinesAreDropped) {
    KalvexPosix_SetDebugListener(nullptr, nullptr);
    LogDebug(L"Nuc");
    EXPECT_TRUE(lines_.empty());
}

}  // namespace
}  // namespace kalvex
