// The capture thread against application threads: readers of the ring,
// parameter writers, window changes, start/stop loops and release while
// capturing. Run under ThreadSanitizer.
#include <atomic>
#include <thread>
#include <vector>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

class CaptureConcurrency : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        platform::FreezeClock(false);  // let frames flow freely
        KalvexSim_AddSpot(0, 320, 240, 30, 37.0);
    }
};

TEST_F(CaptureConcurrency, ReadersAndWritersWhileFramesFlow) {
    const std::string table = std::string(KALVEX_TEST_TMPDIR) + "/concurrency.tbl";
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 500, 0.0, 100.0), 1);
    ASSERT_EQ(Kalvex_SetTableA(handle_, table.c_str()), 1);
    Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
    Kalvex_SetParam(handle_, KALVEX_PARAM_FRAME_INTERVAL, 1);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // a viewer: fetches whatever is newest
        std::vector<uint8_t> colour(640 * 480 * 3);
        std::vector<uint16_t> raw(640 * 480);
        std::vector<float> temps(640 * 480);
        while (!stop.load()) {
            const int id = Kalvex_GetNewID(handle_);
            Kalvex_GetColor(handle_, id, colour.data(), static_cast<int>(colour.size()));
            Kalvex_GetRaw(handle_, id, raw.data(), 640 * 480 * 2);
            Kalvex_GetTemperature(handle_, id, temps.data(), 640 * 480 * 4);
        }
    });
    threads.emplace_back([&] {  // settings changed while the loop reads them
        int i = 0;
        while (!stop.load()) {
            Kalvex_SetParam(handle_, KALVEX_PARAM_RANGE_LOW, 7000 + i % 50);
            Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_RANGE, i % 3 - 1);
            Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, i % 2);
            Kalvex_Pause(handle_);
            Kalvex_Start(handle_);
            Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE);
            Kalvex_GetLastError(handle_);
            ++i;
        }
    });
    TestWindow other;
    threads.emplace_back([&] {  // the notification window changes hands
        while (!stop.load()) {
            Kalvex_SetWindowHandle(handle_, other.hwnd());
            Kalvex_SetWindowHandle(handle_, window_.hwnd());
            other.Drain();
        }
    });
    for (int frames = 0; frames < 40;)
        if (NextFrameMessage() != 0) ++frames;
    Kalvex_Nuc(handle_);
    for (int frames = 0; frames < 10;)
        if (NextFrameMessage() != 0) ++frames;
    stop.store(true);
    for (auto &t : threads) t.join();
    EXPECT_EQ(Kalvex_Close(handle_), 1);
}

TEST_F(CaptureConcurrency, StartStopLoops) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
        if (i % 2 == 0) NextFrameMessage();
        ASSERT_EQ(Kalvex_Close(handle_), 1);
        EXPECT_NE(Kalvex_OneShot(handle_), 0);
    }
}

TEST_F(CaptureConcurrency, ReleaseRacesCallsWhileCapturing) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    NextFrameMessage();
    instance_.reset();
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 2; ++t) {
        callers.emplace_back([&] {
            std::vector<uint8_t> colour(640 * 480 * 3);
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 200; ++i) {
                const int id = Kalvex_GetNewID(handle_);
                Kalvex_GetColor(handle_, id, colour.data(), static_cast<int>(colour.size()));
                Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE);
            }
        });
    }
    go.store(true);
    EXPECT_EQ(Kalvex_Release(handle_), 1);
    for (auto &t : callers) t.join();
    EXPECT_EQ(Kalvex_Release(handle_), 0);
    handle_ = 0;
}

TEST_F(CaptureConcurrency, UnplugWhileCapturingEndsTheLoop) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    NextFrameMessage();
    KalvexSim_Unplug(0);
    ASSERT_TRUE(Eventually([&] { return Peer().CaptureThreadEnded(); }));
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 1);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
}

}  // namespace
}  // namespace kalvex::test
