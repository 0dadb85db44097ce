#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_support.h"

namespace kalvex::simtest {
namespace {

class SimConcurrency : public ::testing::Test {
  protected:
    void SetUp() override { KalvexSim_Reset(); }
    void TearDown() override { KalvexSim_Reset(); }
};

// Readers stream frames and registers while another thread plugs and unplugs:
// every transfer either fails or delivers a whole, correct frame, and every
// handle is closed in the end.
TEST_F(SimConcurrency, PlugUnplugRacesWithTransfers) {
    KalvexSim_SetFrameRate(0, 0.0);
    KalvexSim_SetTestPattern(0, 1);
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    std::atomic<bool> stop{false};
    std::atomic<int> good{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            while (!stop) {
                Link link;
                if (!link.ok()) continue;
                for (int i = 0; i < 4 && !stop; ++i) {
                    if (r == 0) {
                        // 0 at power-on, 64 once a frame reader programmed the window.
                        int v = link.ReadRegister(18);
                        if (v != -1 && v != 0 && v != 64) ++bad;
                        continue;
                    }
                    std::vector<uint8_t> frame = link.Frame(614400);
                    if (frame.empty()) continue;
                    if (frame.size() != 614400u ||
                        Sample16(frame, 307199) != KALVEX_SIM_PATTERN(479, 639))
                        ++bad;
                    else
                        ++good;
                }
            }
        });
    }
    for (int cycle = 0; cycle < 200; ++cycle) {
        KalvexSim_Unplug(0);
        KalvexSim_Plug(0);
        if (cycle % 50 == 0) KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, 1);
    }
    // Let at least one frame through after the storm, then stop. A stall armed
    // late may still hold a request: it is let go, so that the wait cannot hang.
    KalvexSim_ClearFaults(0);
    KalvexSim_ReleaseStalls(0);
    while (good.load() == 0) std::this_thread::yield();
    stop = true;
    KalvexSim_Unplug(0);  // wakes a request caught in a stall
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(Counters().openHandles, 0);
}

// A request waiting for its frame time wakes and fails when the camera goes.
TEST_F(SimConcurrency, UnplugWakesARequestWaitingForPacing) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_SetFrameRate(0, 0.001);  // one frame in 1000 s
    Link link;
    ASSERT_EQ(link.Frame(614400).size(), 614400u);
    std::vector<uint8_t> frame{1};
    std::thread reader([&] { frame = link.Frame(614400); });
    KalvexSim_Unplug(0);
    reader.join();
    EXPECT_TRUE(frame.empty());
}

// Reset in the middle of stalled requests on several cameras fails them all.
TEST_F(SimConcurrency, ResetFailsStalledRequestsOnEveryCamera) {
    std::vector<std::thread> readers;
    std::atomic<int> failed{0};
    for (int n = 0; n < KALVEX_SIM_CAMERAS; ++n) {
        ASSERT_EQ(KalvexSim_Plug(n), 1);
        KalvexSim_InjectFault(n, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
        readers.emplace_back([&, n] {
            std::string path = "\\\\.\\ZcamN7KTHM-" + std::to_string(n);
            Link link(path.c_str());
            if (link.Frame(614400).empty()) ++failed;
        });
    }
    for (int n = 0; n < KALVEX_SIM_CAMERAS; ++n) ASSERT_EQ(KalvexSim_WaitStalled(n, 1, -1), 1);
    KalvexSim_Reset();
    for (auto &t : readers) t.join();
    EXPECT_EQ(failed.load(), KALVEX_SIM_CAMERAS);
}

// Control calls from one thread while another reads frames with noise and drift.
TEST_F(SimConcurrency, ControlCallsDuringStreaming) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_SetFrameRate(0, 0.0);
    KalvexSim_SetTemporalNoise(0, 2, 1);
    KalvexSim_SetInternalTemperatureDrift(0, 0.01);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread reader([&] {
        Link link;
        while (!stop)
            if (link.Frame(614400).size() == 614400u) ++frames;
    });
    for (int i = 0; i < 200; ++i) {
        KalvexSim_AddSpot(0, i % 640, i % 480, 3, 30.0 + i % 10);
        if (i % 16 == 15) KalvexSim_ClearSpots(0);
        KalvexSim_SetFixedPatternNoise(0, i % 4, static_cast<unsigned>(i));
        KalvexSim_SetInternalTemperature(0, 20.0 + i % 7);
        KalvexSim_SetDriftModel(0.1, 4.0, 25.0);
        KalvexSimCounters counters{};
        KalvexSim_GetCounters(0, &counters);
    }
    while (frames.load() < 3) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_GE(Counters().framesServed, 3);
}

// ---- Stalls, latency and cancel ------------------------------------------------------------

TEST_F(SimConcurrency, CancelEndsAWaitingRequestAndEveryLaterOneOnItsHandle) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_SetFrameRate(0, 0.0);
    Link stalled, other;
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_STALL, 1);
    std::thread command([&] { EXPECT_FALSE(stalled.WriteRegister(5, 1)); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, -1), 1);
    EXPECT_TRUE(stalled.Cancel());
    command.join();
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 0);  // never executed
    EXPECT_FALSE(stalled.WriteRegister(5, 2));
    EXPECT_TRUE(other.WriteRegister(5, 3));
    EXPECT_EQ(KalvexSim_GetCancels(0), 1);

    // Latency on the reply pipe holds a register read until cancelled.
    KalvexSim_SetLatency(0, 1, 600000);
    Link slow;
    std::thread reader([&] { EXPECT_EQ(slow.ReadRegister(5), -1); });
    while (Counters().commands < 2) std::this_thread::yield();  // the read command went out
    // The cancel ends the reply read waiting, or fails it on arrival.
    EXPECT_TRUE(slow.Cancel());
    reader.join();

    // A driver that cannot cancel says so and leaves the request alone.
    KalvexSim_SetLatency(0, 1, 0);
    KalvexSim_SetCancellable(0, 0);
    Link kept;
    EXPECT_FALSE(kept.Cancel());
    EXPECT_EQ(kept.ReadRegister(5), 3);
}

TEST_F(SimConcurrency, ReleasedCommandAndReplyStallsAreServed) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_STALL, 1);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_STALL, 1);
    Link link;
    std::thread user([&] {
        EXPECT_TRUE(link.WriteRegister(9, 4));
        EXPECT_EQ(link.ReadRegister(9), 4);
    });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, -1), 1);  // the write
    KalvexSim_ReleaseStalls(0);
    while (Counters().commands < 2) std::this_thread::yield();  // the write, then the read
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, -1), 1);              // its first reply
    KalvexSim_ReleaseStalls(0);
    user.join();
}

}  // namespace
}  // namespace kalvex::simtest
