#include <gtest/gtest.h>

#include <thread>

#include "api/issued_handles.h"
#include "api/sdk_chain.h"
#include "kalvex.h"
#include "platform/platform.h"

namespace kalvex {
namespace {

struct Record {
    int32_t handle;
};
using Ring = CTRing<Record>;

std::vector<int32_t> Walk(const Ring &ring) {
    std::vector<int32_t> out;
    auto *start = ring.Cursor();
    if (start == nullptr) return out;
    auto *node = start;
    do {
        out.push_back(node->data.handle);
        EXPECT_EQ(node->next->prev, node);
        node = node->next;
    } while (node != start);
    return out;
}

TEST(Registry, InsertGoesBeforeTheCursorAndBecomesIt) {
    Ring ring;
    ring.Insert({1});
    EXPECT_EQ(ring.Cursor()->next, ring.Cursor());
    EXPECT_EQ(ring.Cursor()->prev, ring.Cursor());
    ring.Insert({2});
    ring.Insert({3});
    EXPECT_EQ(ring.Count(), 3);
    // Each insert lands before the cursor: walking forward from 3 gives 3 2 1.
    EXPECT_EQ(Walk(ring), (std::vector<int32_t>{3, 2, 1}));
}

TEST(Registry, FailedFindLeavesCursorBeforeTheStartAndNextFindWorks) {
    Ring ring;
    ring.Insert({1});
    ring.Insert({2});
    ring.Insert({3});  // ring order from the cursor: 3 2 1
    auto *before = ring.Cursor()->prev;
    EXPECT_EQ(ring.Find(99), 0);
    EXPECT_EQ(ring.Cursor(), before);
    EXPECT_EQ(ring.Cursor()->data.handle, 1);
    EXPECT_EQ(ring.Find(2), 1);
    EXPECT_EQ(ring.Cursor()->data.handle, 2);
}

TEST(Registry, SingleNodeFindOfAnotherHandleFailsAtOnce) {
    Ring ring;
    ring.Insert({7});
    EXPECT_EQ(ring.Find(8), 0);
    EXPECT_EQ(ring.Cursor()->data.handle, 7);
    EXPECT_NE(ring.Lookup(7), nullptr);
}

TEST(Registry, RemovingMiddleKeepsOthersReachable) {
    Ring ring;
    ring.Insert({1});
    ring.Insert({2});
    ring.Insert({3});
    EXPECT_EQ(ring.Remove(2), 1);
    EXPECT_EQ(ring.Count(), 2);
    EXPECT_NE(ring.Lookup(1), nullptr);
    EXPECT_NE(ring.Lookup(3), nullptr);
    EXPECT_EQ(ring.Lookup(2), nullptr);
    EXPECT_EQ(ring.Remove(1), 1);
    EXPECT_EQ(ring.Remove(3), 1);
    EXPECT_EQ(ring.Cursor(), nullptr);
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.RemoveCurrent(), 0);
    EXPECT_EQ(ring.Find(3), 0);
}

TEST(Registry, RemoveCurrentMovesToTheFollowingNode) {
    Ring ring;
    ring.Insert({1});
    ring.Insert({2});
    ring.Insert({3});
    ASSERT_EQ(ring.Find(2), 1);
    ring.RemoveCurrent();
    EXPECT_EQ(ring.Cursor()->data.handle, 1);
    EXPECT_EQ(Walk(ring), (std::vector<int32_t>{1, 3}));
}

TEST(Registry, FirstHandleIsTickCountPlusFirstRandPlusCount) {
    // The generator is per thread: a fresh thread's first rand() is 41.
    // The clock stands still, so the handle's tick count is known exactly.
    std::thread([] {
        int32_t count = Registry().Count();
        platform::FreezeClock(true);
        uint32_t tick = platform::TickCount();
        int handle = Kalvex_Initialize(nullptr);
        uint32_t after = platform::TickCount();
        platform::FreezeClock(false);
        ASSERT_NE(handle, 0);
        EXPECT_EQ(after, tick);
        EXPECT_EQ(static_cast<uint32_t>(handle), tick + 41u + static_cast<uint32_t>(count));
        EXPECT_EQ(Kalvex_Release(handle), 1);
    }).join();
}

TEST(Registry, MicrosoftRandSequence) {
    std::thread([] {
        EXPECT_EQ(platform::Rand(), 41);
        EXPECT_EQ(platform::Rand(), 18467);
        EXPECT_EQ(platform::Rand(), 6334);
        platform::SeedRand(1);
        EXPECT_EQ(platform::Rand(), 41);
    }).join();
}

TEST(Registry, ReleaseTwiceGivesOneThenZeroAndOthersSurvive) {
    int a = Kalvex_Initialize(nullptr);
    int b = Kalvex_Initialize(nullptr);
    int c = Kalvex_Initialize(nullptr);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    ASSERT_NE(c, 0);
    EXPECT_EQ(Kalvex_Release(b), 1);
    EXPECT_EQ(Kalvex_Release(b), 0);
    EXPECT_EQ(Kalvex_SetWindowHandle(a, nullptr), 1);
    EXPECT_EQ(Kalvex_SetWindowHandle(c, nullptr), 1);
    EXPECT_EQ(Kalvex_SetWindowHandle(b, nullptr), 0);
    EXPECT_EQ(Kalvex_Release(a), 1);
    EXPECT_EQ(Kalvex_Release(c), 1);
}

TEST(IssuedHandles, RemembersEveryValueUpToItsBound) {
    IssuedHandles set;
    EXPECT_FALSE(set.Insert(0));  // 0 names no instance
    // Values a tick count apart and values far apart, across many growths.
    for (int32_t i = 1; i <= 5000; ++i) {
        ASSERT_TRUE(set.Insert(i));
        ASSERT_TRUE(
            set.Insert(static_cast<int32_t>(0x80000000u + static_cast<uint32_t>(i) * 7919u)));
    }
    for (int32_t i = 1; i <= 5000; ++i) {
        ASSERT_TRUE(set.Contains(i));
        ASSERT_FALSE(set.Insert(i));
        ASSERT_FALSE(set.Contains(i + 5000));
    }
    EXPECT_EQ(set.Size(), 10000u);

    IssuedHandles full;
    for (size_t i = 1; i <= IssuedHandles::kCapacity; ++i)
        ASSERT_TRUE(full.Insert(static_cast<int32_t>(i * 3)));
    EXPECT_TRUE(full.Full());
    EXPECT_FALSE(full.Insert(-5));
    EXPECT_FALSE(full.Contains(-5));
    EXPECT_TRUE(full.Contains(3 * static_cast<int32_t>(IssuedHandles::kCapacity)));
}

TEST(Registry, AReleasedHandleIsNeverIssuedAgain) {
    // With the clock stopped, a fresh thread draws exactly what the previous
    // fresh thread drew: same tick count, same first rand(), same count.
    platform::FreezeClock(true);
    int first = 0, second = 0;
    std::thread([&] {
        first = Kalvex_Initialize(nullptr);
        EXPECT_EQ(Kalvex_Release(first), 1);
    }).join();
    std::thread([&] { second = Kalvex_Initialize(nullptr); }).join();
    platform::FreezeClock(false);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(Kalvex_SetWindowHandle(first, nullptr), 0);
    EXPECT_EQ(Kalvex_Release(first), 0);
    EXPECT_EQ(Kalvex_Release(second), 1);
}

}  // namespace
}  // namespace kalvex
