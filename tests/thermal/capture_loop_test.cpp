// The capture loop, driven one frame at a time through the simulated camera
// with the clocks frozen.
#include <cmath>
#include <string>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

class CaptureLoop : public InstanceTest {
  protected:
    void StartHeld() {
        HoldFrames();
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
    }
    // Lets one frame out and waits for its message.
    long PublishOne() {
        ReleaseOneFrame();
        return NextFrameMessage();
    }
};

TEST_F(CaptureLoop, FirstFrameGoesToSlotOneAndEachIdIsAccepted) {
    StartHeld();
    std::vector<uint8_t> colour(640 * 480 * 3);
    for (int i = 1; i <= 3; ++i) {
        long id = PublishOne();
        ASSERT_NE(id, 0);
        EXPECT_EQ(Peer().CurrentIndex(), i);
        EXPECT_EQ(static_cast<int32_t>(Peer().SlotId(static_cast<size_t>(i))), id);
        EXPECT_EQ(Kalvex_GetNewID(handle_), id);
        EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), colour.data(),
                                  static_cast<int>(colour.size())),
                  1);
    }
    EXPECT_EQ(Peer().SlotId(0), 0u);
}

TEST_F(CaptureLoop, FramesInTheNucHoldWindowAreDropped) {
    StartHeld();
    ASSERT_NE(PublishOne(), 0);
    window_.Drain();
    Kalvex_Nuc(handle_);
    const int index = Peer().CurrentIndex();
    FeedOneFrame();
    FeedOneFrame();
    EXPECT_EQ(Peer().CurrentIndex(), index);
    EXPECT_TRUE(window_.Drain(KALVEX_WM_FRAME).empty());
    platform::AdvanceClock(1199);
    FeedOneFrame();
    EXPECT_EQ(Peer().CurrentIndex(), index);
    platform::AdvanceClock(1);
    EXPECT_NE(PublishOne(), 0);
    EXPECT_EQ(Peer().CurrentIndex(), index + 1);
}

TEST_F(CaptureLoop, PauseStopsReadingAndKeepsTheFrameRate) {
    StartHeld();
    for (int i = 0; i < 3; ++i) ASSERT_NE(PublishOne(), 0);
    platform::AdvanceClock(2000);
    ASSERT_NE(PublishOne(), 0);
    const int rate = Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE);
    EXPECT_GT(rate, 0);
    Kalvex_Pause(handle_);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PAUSE), 1);
    const uint32_t taken = Peer().FramesTaken();
    ReleaseOneFrame();
    // The frame waits in the device while paused; nothing is read or posted.
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    EXPECT_EQ(Peer().FramesTaken(), taken);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE), rate);
    Kalvex_Start(handle_);
    EXPECT_NE(NextFrameMessage(), 0);
    EXPECT_EQ(Peer().FramesTaken(), taken + 1);
}

TEST_F(CaptureLoop, ThirtyFramesOverOneThousandAndOneMillisecondsGive2997) {
    // A fresh instance starts its frame-rate window at construction.
    Kalvex_Release(handle_);
    instance_.reset();
    handle_ = Kalvex_Initialize(window_.hwnd());
    instance_ = Registry().Acquire(handle_);
    StartHeld();
    for (int i = 0; i < 29; ++i) ASSERT_NE(PublishOne(), 0);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE), 0);
    platform::AdvanceClock(1001);
    ASSERT_NE(PublishOne(), 0);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_FRAME_RATE), 2997);
}

TEST_F(CaptureLoop, SetWindowHandleRedirectsTheNextFrameMessage) {
    StartHeld();
    ASSERT_NE(PublishOne(), 0);
    TestWindow other;
    Kalvex_SetWindowHandle(handle_, other.hwnd());
    ReleaseOneFrame();
    KalvexMessage m;
    ASSERT_EQ(KalvexPosix_GetMessage(other.hwnd(), &m, 20000), 1);
    EXPECT_EQ(m.message, static_cast<unsigned>(KALVEX_WM_FRAME));
}

TEST_F(CaptureLoop, NewestFrameHoldsTheCameraLinesReversed) {
    KalvexSim_SetTestPattern(0, 1);
    StartHeld();
    long id = PublishOne();
    ASSERT_NE(id, 0);
    std::vector<uint16_t> raw(640 * 480);
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(id), raw.data(), 640 * 480 * 2), 1);
    EXPECT_EQ(raw[0], KALVEX_SIM_PATTERN(479, 0));
    EXPECT_EQ(raw[639], KALVEX_SIM_PATTERN(479, 639));
    EXPECT_EQ(raw[479 * 640 + 5], KALVEX_SIM_PATTERN(0, 5));
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(id), raw.data(), 640 * 480 * 2), 1);
    EXPECT_EQ(raw[0], KALVEX_SIM_PATTERN(0, 0));
}

TEST_F(CaptureLoop, GetColorChecksItsArguments) {
    StartHeld();
    long id = PublishOne();
    ASSERT_NE(id, 0);
    Codes();
    std::vector<uint8_t> colour(640 * 480 * 3);
    const int size = static_cast<int>(colour.size());
    EXPECT_EQ(Kalvex_GetColor(handle_, 0, colour.data(), size), 0);
    EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id) + 1, colour.data(), size), 0);
    EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), nullptr, size), 0);
    EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), colour.data(), size - 1), 0);
    EXPECT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), colour.data(), -5), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{6, 6, 5, 5, 5}));
    // With the row-order flag the first row handed out is the last one stored.
    std::vector<uint8_t> flipped(colour.size());
    ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), colour.data(), size), 1);
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(id), flipped.data(), size), 1);
    EXPECT_TRUE(std::equal(flipped.begin(), flipped.begin() + 1920, colour.end() - 1920));
}

class DriftCheck : public CaptureLoop {
  protected:
    struct LogLines {
        std::mutex lock;
        std::vector<std::wstring> lines;
    };
    static void KALVEX_CALL Listen(const wchar_t *line, void *context) {
        auto *log = static_cast<LogLines *>(context);
        std::lock_guard guard(log->lock);
        log->lines.emplace_back(line + 13);  // without the time stamp
    }
    void SetUp() override {
        CaptureLoop::SetUp();
        KalvexPosix_SetDebugListener(&Listen, &log_);
    }
    void TearDown() override {
        Kalvex_Close(handle_);
        KalvexPosix_SetDebugListener(nullptr, nullptr);
        CaptureLoop::TearDown();
    }
    std::vector<std::wstring> Lines() {
        std::lock_guard guard(log_.lock);
        return log_.lines;
    }
    // Runs capture until the first drift check has logged its line.
    std::vector<std::wstring> FirstCheck() {
        StartHeld();
        EXPECT_TRUE(Eventually([&] {
            for (const auto &l : Lines())
                if (l.rfind(L"AutoNuc", 0) == 0) return true;
            return false;
        }));
        return Lines();
    }
    static float Temperature(int raw) {
        return static_cast<float>(raw * 3.0 / 32767.0 * (-207.9) + 478.17);
    }
    LogLines log_;
};

TEST_F(DriftCheck, ExactlyOneDegreeDoesNothing) {
    const float now = Temperature(KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);
    Peer().SetReferenceTemperature(now - 1.0f);
    ASSERT_EQ(std::fabs(now - Peer().ReferenceTemperature()), 1.0f);
    auto lines = FirstCheck();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"RecreateTable\r\n"), 0);
    EXPECT_EQ(Peer().ReferenceTemperature(), now - 1.0f);
}

TEST_F(DriftCheck, OnePointZeroOneDegreesTriggers) {
    const float now = Temperature(KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);
    Peer().SetReferenceTemperature(now - 1.01f);
    auto lines = FirstCheck();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"RecreateTable\r\n"), 1);
    EXPECT_EQ(Peer().ReferenceTemperature(), now);
}

TEST_F(DriftCheck, MoreThanOneDegreeSendsNucAndRebuilds) {
    KalvexSimCounters before{};
    KalvexSim_GetCounters(0, &before);
    KalvexSim_SetInternalTemperature(0, Temperature(KALVEX_SIM_DEFAULT_CORE_TEMPERATURE) + 1.01);
    auto lines = FirstCheck();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], L"Nuc\r\n");
    EXPECT_EQ(lines[lines.size() - 2], L"RecreateTable\r\n");
    EXPECT_EQ(lines.back().rfind(L"AutoNuc fTemp=", 0), 0u);
    KalvexSimCounters after{};
    KalvexSim_GetCounters(0, &after);
    EXPECT_EQ(after.nucCommands, before.nucCommands + 1);
    EXPECT_EQ(Peer().ReferenceTemperature(),
              static_cast<float>(KalvexSim_GetInternalTemperature(0)));
    EXPECT_NE(Peer().NucStartTime(), 0u);
}

TEST_F(DriftCheck, WithoutAutoNucADriftRebuildsWithoutTheCommand) {
    Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_NUC, 0);
    KalvexSimCounters before{};
    KalvexSim_GetCounters(0, &before);
    KalvexSim_SetInternalTemperature(0, 40.0);
    auto lines = FirstCheck();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Nuc\r\n"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"RecreateTable\r\n"), 1);
    KalvexSimCounters after{};
    KalvexSim_GetCounters(0, &after);
    EXPECT_EQ(after.nucCommands, before.nucCommands);
    EXPECT_NE(Peer().NucStartTime(), 0u);
}

TEST_F(DriftCheck, NextCheckComesThirtySecondsLater) {
    auto lines = FirstCheck();
    const auto checks = [&] {
        auto all = Lines();
        return std::count_if(all.begin(), all.end(),
                             [](const std::wstring &l) { return l.rfind(L"AutoNuc", 0) == 0; });
    };
    EXPECT_EQ(checks(), 1);
    AdvanceClockWhileCapturing(30000);
    ASSERT_NE(PublishOne(), 0);
    EXPECT_EQ(checks(), 1);
    // The check runs at the top of a pass: the loop may be waiting for a frame.
    AdvanceClockWhileCapturing(1);
    ASSERT_TRUE(Eventually([&] { return checks() == 2; }));
}

}  // namespace
}  // namespace kalvex::test
