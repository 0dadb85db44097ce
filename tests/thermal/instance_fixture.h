// An instance on simulated camera 0, with helpers to let frames through one at
// a time and to wait for the messages they produce.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/sdk_chain.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "platform/platform.h"
#include "support/kalvex_test_peer.h"
#include "support/test_window.h"
#include "thermal/kalvex_instance.h"

namespace kalvex::test {

// Bounded polling: the bound only keeps a broken build from hanging the suite.
inline bool Eventually(const std::function<bool()> &condition, int limitMs = 20000) {
    for (int i = 0; i < limitMs; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

class InstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        if (plugCamera_) {
            KalvexSim_Plug(0);
            KalvexSim_SetFrameRate(0, 0);
        }
        if (otherCamera_ > 0) {
            KalvexSim_Plug(otherCamera_);
            KalvexSim_SetFrameRate(otherCamera_, 0);
        }
        platform::SetClockOffset(0);
        platform::FreezeClock(true);
        handle_ = Kalvex_Initialize(window_.hwnd());
        ASSERT_NE(handle_, 0);
        instance_ = Registry().Acquire(handle_);
        ASSERT_TRUE(instance_);
    }

    void TearDown() override {
        KalvexSim_ClearFaults(0);
        instance_.reset();
        Kalvex_Release(handle_);
        platform::FreezeClock(false);
        platform::SetClockOffset(0);
        KalvexSim_Reset();
    }

    CKalvexTestPeer Peer() { return CKalvexTestPeer(*instance_); }

    // Every code on the error stack, newest first.
    std::vector<int> Codes() {
        std::vector<int> codes;
        for (int c = Kalvex_GetLastError(handle_); c != 0; c = Kalvex_GetLastError(handle_))
            codes.push_back(c);
        return codes;
    }

    // Holds every frame request of the camera until released one by one.
    void HoldFrames() {
        KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    }

    // Lets exactly one more frame out of the camera.
    void ReleaseOneFrame() {
        ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
        KalvexSim_ReleaseStalls(0);
    }

    // The next frame message's id (0 when none came within the bound).
    long NextFrameMessage(int limitMs = 20000) {
        KalvexMessage m;
        while (KalvexPosix_GetMessage(window_.hwnd(), &m, limitMs) == 1)
            if (m.message == KALVEX_WM_FRAME) return m.lParam;
        return 0;
    }

    // Lets one frame out and waits until the capture loop has taken it from
    // the device, published or dropped.
    void FeedOneFrame() {
        const uint32_t before = Peer().FramesTaken();
        ReleaseOneFrame();
        ASSERT_TRUE(Eventually([&] { return Peer().FramesTaken() != before; }));
    }

    // Moves the frozen clock by ms while the loop captures held frames. The
    // loop's frame wait gives up after 6000 ms of this clock, so the clock
    // moves in steps below that with a frame taken after each step.
    void AdvanceClockWhileCapturing(uint32_t ms) {
        while (ms > 0) {
            const uint32_t step = std::min<uint32_t>(ms, 5000);
            platform::AdvanceClock(step);
            ms -= step;
            FeedOneFrame();
        }
    }

    bool plugCamera_ = true;
    int otherCamera_ = 0;  // plugged too when above 0
    TestWindow window_;
    int handle_ = 0;
    std::shared_ptr<CKalvex> instance_;
};

}  // namespace kalvex::test
