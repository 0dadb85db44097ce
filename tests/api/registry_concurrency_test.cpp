// Handles created, used and released from many threads at once, and calls
// racing Kalvex_Release on the same handle. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kalvex.h"
#include "platform/platform.h"

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

TEST(RegistryConcurrency, EightThreadStormNeverIssuesAHandleTwice) {
    // Stopped clock: every thread draws the same tick count and, each starting
    // from the same seed, the same random numbers, so the formula alone would
    // repeat values at once.
    kalvex::platform::FreezeClock(true);
    const int dead = Kalvex_Initialize(nullptr);
    ASSERT_NE(dead, 0);
    ASSERT_EQ(Kalvex_Release(dead), 1);
    constexpr int kThreads = 8;
    constexpr int kRounds = 125;  // a thousand instances: each takes the camera set-up time
    std::vector<std::vector<int>> issued(kThreads);
    std::atomic<int> running{kThreads};
    std::atomic<int> deadAnswers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int h = Kalvex_Initialize(nullptr);
                issued[static_cast<size_t>(t)].push_back(h);
                if (h != 0) Kalvex_Release(h);
            }
            --running;
        });
    }
    // The released handle stays dead while thousands of instances come and go.
    do {
        deadAnswers += Kalvex_SetWindowHandle(dead, nullptr);
        deadAnswers += Kalvex_GetParam(dead, KALVEX_PARAM_WIDTH);
    } while (running.load() > 0);
    for (auto &thread : threads) thread.join();
    kalvex::platform::FreezeClock(false);
    EXPECT_EQ(deadAnswers.load(), 0);
    std::set<int> distinct{dead};
    for (const auto &handles : issued) {
        for (int h : handles) {
            ASSERT_NE(h, 0);
            EXPECT_TRUE(distinct.insert(h).second) << "issued twice: " << h;
        }
    }
    EXPECT_EQ(distinct.size(), size_t{kThreads * kRounds + 1});
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
