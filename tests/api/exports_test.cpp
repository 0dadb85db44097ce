// The dispatch rules of the exported functions.
#include <gtest/gtest.h>

#include <cstring>

#include "kalvex.h"

namespace {

TEST(Exports, VersionNeedsNoInstance) { EXPECT_EQ(Kalvex_GetDllVersion(), 2032717); }

TEST(Exports, UnknownHandleGivesTheNotFoundResultEverywhere) {
    int live = Kalvex_Initialize(nullptr);
    ASSERT_NE(live, 0);
    while (Kalvex_GetLastError(live) != 0) {
    }
    int gone = Kalvex_Initialize(nullptr);
    ASSERT_EQ(Kalvex_Release(gone), 1);
    char narrow[32];
    wchar_t wide[32];
    float temps[4];
    int ok = 77;
    for (int h : {0, gone}) {
        EXPECT_EQ(Kalvex_Release(h), 0);
        EXPECT_EQ(Kalvex_GetLastError(h), 0);
        EXPECT_EQ(Kalvex_SetWindowHandle(h, nullptr), 0);
        EXPECT_EQ(Kalvex_IsCameraEnableW(h, 0, wide, 32), 0);
        EXPECT_EQ(Kalvex_IsCameraEnableA(h, 0, narrow, 32), 0);
        EXPECT_EQ(Kalvex_SetCameraNumber(h, 0), 0);
        EXPECT_EQ(Kalvex_SetCameraType(h), 0);
        EXPECT_EQ(Kalvex_SetTableW(h, L"x"), 0);
        EXPECT_EQ(Kalvex_SetTableA(h, "x"), 0);
        EXPECT_EQ(Kalvex_Preview(h), 0);
        EXPECT_EQ(Kalvex_Close(h), 0);
        EXPECT_EQ(Kalvex_Pause(h), 0);
        EXPECT_EQ(Kalvex_Start(h), 0);
        EXPECT_EQ(Kalvex_OneShot(h), 0);
        EXPECT_EQ(Kalvex_Trigger(h), 0);
        EXPECT_EQ(Kalvex_Nuc(h), 0);
        EXPECT_EQ(Kalvex_GetNewID(h), 0);
        EXPECT_EQ(Kalvex_GetColor(h, 1, narrow, 32), 0);
        EXPECT_EQ(Kalvex_GetRaw(h, 1, narrow, 32), 0);
        EXPECT_EQ(Kalvex_GetTemperature(h, 1, temps, 16), 0);
        EXPECT_EQ(Kalvex_GetInternalTemperature(h, &ok), 0.0f);
        EXPECT_EQ(ok, 77);  // the flag is not written
        EXPECT_EQ(Kalvex_GetParam(h, 1), 0);
        EXPECT_EQ(Kalvex_SetParam(h, 9, 1), 0);
        EXPECT_EQ(Kalvex_SaveW(h, L"x", 0), 0);
        EXPECT_EQ(Kalvex_SaveA(h, "x", 0), 0);
        EXPECT_EQ(Kalvex_RecW(h, L"x", 1), 0);
        EXPECT_EQ(Kalvex_RecA(h, "x", 1), 0);
    }
    // Nothing leaked onto the live instance.
    EXPECT_EQ(Kalvex_GetLastError(live), 0);
    EXPECT_EQ(Kalvex_Release(live), 1);
}

TEST(Exports, NarrowWrappersSurviveHostileSizes) {
    int h = Kalvex_Initialize(nullptr);
    char name[8];
    std::memset(name, 'Q', sizeof name);
    EXPECT_EQ(Kalvex_IsCameraEnableA(h, 0, name, -5), 0);
    EXPECT_EQ(Kalvex_IsCameraEnableA(h, 0, nullptr, 0), 0);
    EXPECT_EQ(Kalvex_IsCameraEnableA(h, 0, name, 8), 0);
    EXPECT_EQ(name[0], 'Q');  // a failing wide operation leaves the buffer alone
    EXPECT_EQ(Kalvex_SaveA(h, nullptr, 0), 0);
    Kalvex_Release(h);
}

}  // namespace
