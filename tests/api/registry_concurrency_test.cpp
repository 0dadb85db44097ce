// Handles created, used and released from many threads at once, and calls
// racing Kalvex_Release on the same handle. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kalvex.h"

namespace {

TEST(RegistryConcurrency, ManyThreadsCreateUseAndRelease) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 15;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                int h = Kalvex_Initialize(nullptr);
                if (h == 0) continue;  // a handle of 0 is refused, never returned
                if (Kalvex_SetCameraType(h) != 0) ++failures;
                if (Kalvex_GetLastError(h) == 0) ++failures;
                if (Kalvex_Release(h) != 1) ++failures;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(RegistryConcurrency, CallsRacingReleaseNeverTouchFreedMemory) {
    for (int round = 0; round < 20; ++round) {
        KalvexHwnd window = KalvexPosix_CreateWindow();
        int h = Kalvex_Initialize(window);
        ASSERT_NE(h, 0);
        std::atomic<bool> go{false};
        std::vector<std::thread> callers;
        for (int t = 0; t < 3; ++t) {
            callers.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < 50; ++i) {
                    Kalvex_SetCameraType(h);
                    Kalvex_GetLastError(h);
                    Kalvex_SetWindowHandle(h, window);
                }
            });
        }
        std::thread releaser([&] {
            while (!go.load()) std::this_thread::yield();
            EXPECT_EQ(Kalvex_Release(h), 1);
        });
        go.store(true);
        for (auto &t : callers) t.join();
        releaser.join();
        EXPECT_EQ(Kalvex_Release(h), 0);
        KalvexPosix_DestroyWindow(window);
    }
}

}  // namespace
