// Several threads on one instance, and cameras that stop answering: state
// changes are serialised, readers see whole frames or code 5, stops cancel
// what the camera holds.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

constexpr int kFrameBytes = 640 * 480 * 2;

// Runs body on count threads released together; joins them.
template <class Body>
void RunTogether(int count, Body body) {
    std::barrier start(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    for (auto &t : threads) t.join();
}

class InstanceConcurrency : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        KalvexSim_SetTestPattern(0, 1);
        Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
        Kalvex_SetParam(handle_, KALVEX_PARAM_FRAME_INTERVAL, 0);
    }
};

// ---- State changes ------------------------------------------------------------------------

TEST_F(InstanceConcurrency, ConcurrentPreviewsAndClosesActOneAfterAnother) {
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> started{0};
        RunTogether(4, [&](int) { started += Kalvex_Preview(handle_); });
        EXPECT_EQ(started.load(), 4);  // the first starts, the others find it running
        EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 1);
        EXPECT_NE(NextFrameMessage(), 0);
        RunTogether(4, [&](int i) {
            if (i % 2 == 0)
                EXPECT_EQ(Kalvex_Close(handle_), 1);
            else
                Kalvex_Preview(handle_);
        });
        EXPECT_EQ(Kalvex_Close(handle_), 1);
        EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 0);
    }
}

TEST_F(InstanceConcurrency, SingleFramesTablesAndNucFromSeveralThreads) {
    const std::string table = std::string(KALVEX_TEST_TMPDIR) + "/concurrent_table.bin";
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 120.0), 1);
    std::atomic<int> frames{0};
    RunTogether(4, [&](int i) {
        for (int n = 0; n < 3; ++n) {
            if (i == 0) {
                EXPECT_EQ(Kalvex_SetTableA(handle_, table.c_str()), 1);
            } else if (i == 1) {
                EXPECT_EQ(Kalvex_Nuc(handle_), 1);
            } else if (Kalvex_OneShot(handle_) != 0) {
                ++frames;
            }
        }
    });
    EXPECT_EQ(frames.load(), 6);
}

// ---- Readers against rebuilds and stops -------------------------------------------------------

TEST_F(InstanceConcurrency, ReadersSeeWholeFramesOrCodeFiveWhilePreviewRestarts) {
    std::atomic<bool> stop{false};
    std::atomic<int> copied{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::vector<uint16_t> raw(kFrameBytes / 2);
            std::vector<uint8_t> colour(640 * 480 * 3);
            std::vector<float> temperatures(640 * 480);
            while (!stop.load()) {
                const int id = Kalvex_GetNewID(handle_);
                int ok = 0;
                if (r == 0) {
                    ok = Kalvex_GetRaw(handle_, id, raw.data(), kFrameBytes);
                    // The test pattern: every line tells where it belongs.
                    if (ok == 1) {
                        for (int line : {0, 239, 479})
                            ASSERT_EQ(raw[static_cast<size_t>(line) * 640 + 5],
                                      KALVEX_SIM_PATTERN(479 - line, 5));
                    }
                } else if (r == 1) {
                    ok = Kalvex_GetColor(handle_, id, colour.data(),
                                         static_cast<int>(colour.size()));
                } else {
                    ok = Kalvex_GetTemperature(handle_, id, temperatures.data(),
                                               static_cast<int>(temperatures.size() * 4));
                }
                copied += ok;
            }
        });
    }
    for (int round = 0; round < 6; ++round) {
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
        NextFrameMessage();
        ASSERT_EQ(Kalvex_Close(handle_), 1);
    }
    stop.store(true);
    for (auto &t : readers) t.join();
    EXPECT_GT(copied.load(), 0);
    // Code 10 is what every start records.
    for (int code : Codes())
        EXPECT_TRUE(code == KALVEX_EV_INVALID_ARGUMENT || code == KALVEX_EV_NOT_SUPPORTED) << code;
}

TEST_F(InstanceConcurrency, ReleaseWhileReadingLeavesReadersWithFailures) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    NextFrameMessage();
    std::atomic<bool> released{false};
    std::atomic<int> afterRelease{0};
    RunTogether(3, [&](int i) {
        if (i == 0) {
            EXPECT_EQ(Kalvex_Release(handle_), 1);
            released.store(true);
            return;
        }
        std::vector<uint16_t> raw(kFrameBytes / 2);
        for (int n = 0; n < 200; ++n) {
            const bool gone = released.load();
            const int ok =
                Kalvex_GetRaw(handle_, Kalvex_GetNewID(handle_), raw.data(), kFrameBytes);
            if (gone) afterRelease += ok;
        }
    });
    EXPECT_EQ(afterRelease.load(), 0);
    // The fixture's instance reference outlives the handle: its frames are gone.
    EXPECT_EQ(instance_->GetNewID(), 0u);
    handle_ = 0;
}

// ---- A camera that stops answering ----------------------------------------------------------

TEST_F(InstanceConcurrency, CloseAndReleaseCancelAStalledCapture) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    NextFrameMessage();
    HoldFrames();
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_GE(KalvexSim_GetCancels(0), 1);
    EXPECT_EQ(KalvexSim_GetStalled(0), 0);
    // Stopping is not a failure of the camera.
    for (int code : Codes()) EXPECT_NE(code, KALVEX_EV_COMMUNICATION);

    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    const long cancels = KalvexSim_GetCancels(0);
    instance_.reset();
    EXPECT_EQ(Kalvex_Release(handle_), 1);
    EXPECT_GT(KalvexSim_GetCancels(0), cancels);
    EXPECT_EQ(KalvexSim_GetStalled(0), 0);
    handle_ = 0;
}

TEST_F(InstanceConcurrency, CloseEndsASingleFrameWaitingOnASilentCamera) {
    HoldFrames();
    auto shot = std::async(std::launch::async, [&] { return Kalvex_OneShot(handle_); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(shot.get(), 0);
    EXPECT_EQ(Codes(), std::vector<int>{KALVEX_EV_ACQUISITION});
}

TEST_F(InstanceConcurrency, ReleaseEndsATriggerWaitingOnASilentReply) {
    // Register reads (0x26) stall on their reply; the trigger polls register 7.
    KalvexSim_SetFaultOpcode(0, 0x26);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_STALL, KALVEX_SIM_UNTIL_CLEARED);
    auto trigger = std::async(std::launch::async, [&] { return Kalvex_Trigger(handle_); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    instance_.reset();
    EXPECT_EQ(Kalvex_Release(handle_), 1);
    EXPECT_EQ(trigger.get(), 0);
    EXPECT_EQ(KalvexSim_GetStalled(0), 0);
    handle_ = 0;
}

TEST_F(InstanceConcurrency, ANewInstanceLeavesAStreamingCameraAlone) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    NextFrameMessage();
    const int second = Kalvex_Initialize(nullptr);
    ASSERT_NE(second, 0);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 14), 9);  // still 16-bit samples
    const long before = NextFrameMessage();
    EXPECT_NE(before, 0);
    EXPECT_NE(NextFrameMessage(), 0);
    for (int code : Codes()) EXPECT_NE(code, KALVEX_EV_CAPTURE_ENDED);
    EXPECT_EQ(Kalvex_Release(second), 1);
}

// ---- Handles
// -------------------------------------------------------------------------------------

TEST(RegistryConcurrency, InstancesCreatedTogetherGetDistinctHandles) {
    KalvexSim_Reset();
    std::vector<int> handles(8);
    RunTogether(8, [&](int i) { handles[static_cast<size_t>(i)] = Kalvex_Initialize(nullptr); });
    const std::set<int> distinct(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), handles.size());
    EXPECT_EQ(distinct.count(0), 0u);
    for (int handle : handles) EXPECT_EQ(Kalvex_Release(handle), 1);
}

}  // namespace
}  // namespace kalvex::test
