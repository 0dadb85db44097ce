// Single frames and streaming against the simulated camera. Stalls and the
// camera's counters drive every step; nothing depends on timing.
#include <cstring>
#include <future>

#include "device/row_copy.h"
#include "device_fixture.h"

namespace kalvex::test {
namespace {

constexpr int kW = 640;
constexpr int kH = 480;

class FrameTransferTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        device_ = std::make_unique<CZorcamN7KTHERMOSdk>();
        device_->SetPixelDepth(1);
        device_->SetWaitLimitEnabled(0);
    }
    void TearDown() override {
        KalvexSim_ClearFaults(0);
        device_.reset();
        DeviceTest::TearDown();
    }
    // Lets exactly one stalled frame request through and waits for the next one
    // to stall (the stall fault stays armed).
    void ServeOneFrame() {
        const long served = Counters().framesServed;
        ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
        KalvexSim_ReleaseStalls(0);
        ASSERT_TRUE(WaitUntil([&] { return Counters().framesServed > served; }));
        ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
    }
    // The sensor line of each destination row (-1 for a row that is not one).
    std::vector<int> Lines(const std::vector<uint8_t> &frame) {
        std::vector<int> lines;
        for (int y = 0; y < kH; ++y) lines.push_back(PatternLine(&frame[y * kW * 2], 0, kW));
        return lines;
    }
    std::unique_ptr<CZorcamN7KTHERMOSdk> device_;
    std::vector<uint8_t> frame_ = std::vector<uint8_t>(kW * kH * 2);
};

std::vector<int> Reversed() {
    std::vector<int> lines;
    for (int y = kH - 1; y >= 0; --y) lines.push_back(y);
    return lines;
}

TEST(StreamSlots, IndexArithmetic) {
    EXPECT_EQ(StreamFramesAvailable(1, 3, 4), 2);
    EXPECT_EQ(StreamFramesAvailable(3, 1, 4), 2);
    EXPECT_EQ(StreamFramesAvailable(2, 2, 4), 0);
    EXPECT_EQ(StreamNewestSlot(1, 4), 0);
    EXPECT_EQ(StreamNewestSlot(0, 4), 3);
    EXPECT_EQ(StreamNextWriteIndex(1, 3, 4), 2);
    EXPECT_EQ(StreamNextWriteIndex(2, 3, 4), 0);  // passes over the read slot
    EXPECT_EQ(StreamNextWriteIndex(3, 0, 4), 1);  // wraps, then passes over it
    EXPECT_EQ(StreamNextWriteIndex(3, 2, 4), 0);
}

TEST(RowCopy, FastCopyMatchesTheLiteralOne) {
    for (const auto &[w, h] :
         {std::pair{640, 480}, std::pair{1, 1}, std::pair{3, 7}, std::pair{4, 3}}) {
        std::vector<uint8_t> src(static_cast<size_t>(w * h * 2));
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
        std::vector<uint8_t> fast(src.size() + 2, 0xCD), literal(src.size() + 2, 0xCD);
        CopyRowsReversed(fast.data(), src.data(), w, h);
        CopyRowsReversedLiteral(literal.data(), src.data(), w, h);
        EXPECT_EQ(fast, literal) << w << "x" << h;
        EXPECT_EQ(fast[src.size()], 0xCD);  // nothing past the frame
    }
    uint8_t one[2] = {1, 2};
    CopyRowsReversed(one, nullptr, 1, 1);
    CopyRowsReversed(one, one, 0, -1);
    EXPECT_EQ(one[1], 2);
}

TEST_F(FrameTransferTest, SingleFrameArrivesWithRowsReversed) {
    ASSERT_EQ(device_->CaptureSingleFrame(), 0);
    ASSERT_EQ(device_->ReadSingleFrame(frame_.data()), 0);
    EXPECT_EQ(Lines(frame_), Reversed());
    EXPECT_EQ(device_->ReadSingleFrame(nullptr), kDevNullBuffer);
    const std::vector<Block> log = CommandLog();
    EXPECT_EQ(log.back(), MakeBlock({0x02}));

    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 1);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevFrameFailed);  // no allowance here
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevFrameFailed);
    KalvexSim_Unplug(0);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevOpenFailed);
    KalvexSim_Plug(0);
    KalvexSim_SetTestPattern(0, 1);
    // A camera powers on without a window: it is programmed again.
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevFrameFailed);
    ASSERT_EQ(device_->SetWindow(0, 0, 640, 480, 0), 0);
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);
}

TEST_F(FrameTransferTest, SecondSingleRequestIsRefusedWhileOneRuns) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, 1);
    auto first = std::async(std::launch::async, [&] { return device_->CaptureSingleFrame(); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevBusy);
    EXPECT_EQ(device_->ReadSingleFrame(frame_.data()), kDevBusy);
    KalvexSim_ReleaseStalls(0);
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(device_->ReadSingleFrame(frame_.data()), 0);
    EXPECT_EQ(Lines(frame_), Reversed());
}

TEST_F(FrameTransferTest, WaitLimitEndsASingleWaitButNotTheJob) {
    device_->SetWaitLimitEnabled(1);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, 1);
    EXPECT_EQ(WithRunningClock([&] { return device_->CaptureSingleFrame(); }), kDevFrameFailed);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevBusy);  // its thread still runs
    KalvexSim_ReleaseStalls(0);
    ASSERT_TRUE(WaitUntil([&] { return device_->ReadSingleFrame(frame_.data()) == 0; }));
    EXPECT_EQ(Lines(frame_), Reversed());
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);
}

TEST_F(FrameTransferTest, StartTwiceThenStop) {
    EXPECT_EQ(device_->StopStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamIdle);
    EXPECT_EQ(device_->StartStreaming(), 0);
    EXPECT_EQ(device_->StartStreaming(), kDevBusy);
    EXPECT_EQ(device_->StopStreaming(), 0);
    EXPECT_EQ(device_->StopStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamIdle);
    EXPECT_EQ(device_->StartStreaming(), 0);  // restartable
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, NewestFrameComesFirstRowsReversed) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ServeOneFrame();
    EXPECT_EQ(device_->StreamWriteIndex(), 1);
    EXPECT_EQ(device_->GetStreamState(), kStreamFrameReady);
    EXPECT_EQ(device_->StreamReadIndex(), 0);
    ASSERT_EQ(device_->ReadStreamFrame(frame_.data()), 0);
    EXPECT_EQ(Lines(frame_), Reversed());
    EXPECT_EQ(device_->StreamReadIndex(), 1);
    EXPECT_EQ(device_->ReadStreamFrame(nullptr), kDevNullBuffer);
    // The frame's signal is still pending: the caller is told to poll again.
    EXPECT_EQ(device_->GetStreamState(), kStreamNoFrame);

    // The writer was already filling slot 1 (the reader's next): it goes on to 2, 3, 0.
    ServeOneFrame();
    ServeOneFrame();
    ServeOneFrame();
    EXPECT_EQ(device_->StreamWriteIndex(), 0);
    EXPECT_EQ(device_->StreamFramesTransferred(), 4);
    EXPECT_EQ(device_->GetStreamState(), kStreamFrameReady);
    EXPECT_EQ(device_->StreamReadIndex(), 3);
    KalvexSim_ClearFaults(0);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, WriterPassesOverTheReadSlotAndNewestStaysNewest) {
    KalvexSim_SetTestPattern(0, 0);  // scene frames, told apart from the pattern
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ServeOneFrame();  // slot 0
    ASSERT_EQ(device_->GetStreamState(), kStreamFrameReady);
    ASSERT_EQ(device_->StreamReadIndex(), 0);
    // Not read (a paused reader): slots 1, 2, 3; then slot 0 is passed over.
    ServeOneFrame();
    ServeOneFrame();
    KalvexSim_SetTestPattern(0, 1);
    ServeOneFrame();
    EXPECT_EQ(device_->StreamWriteIndex(), 1);
    // The newest frame is in slot 3, not in the passed-over slot 0.
    ASSERT_EQ(device_->GetStreamState(), kStreamFrameReady);
    EXPECT_EQ(device_->StreamReadIndex(), 3);
    ASSERT_EQ(device_->ReadStreamFrame(frame_.data()), 0);
    EXPECT_EQ(Lines(frame_), Reversed());
    KalvexSim_ClearFaults(0);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, OneShortTransferPerRunIsDropped) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 1);
    ASSERT_EQ(device_->StartStreaming(), 0);
    int state = 0;
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(state, kStreamFrameReady);
    EXPECT_EQ(device_->StopStreaming(), 0);

    // Each run has its own allowance.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 1);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(state, kStreamFrameReady);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, TwoShortTransfersFailTheRun) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 2);
    ASSERT_EQ(device_->StartStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamFailed);
    EXPECT_EQ(device_->GetStreamState(), kStreamFailed);  // until collected
    EXPECT_EQ(device_->StreamFramesTransferred(), 0);
    EXPECT_EQ(device_->StopStreaming(), kDevFrameFailed);
    EXPECT_EQ(device_->GetStreamState(), kStreamIdle);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, FailedTransferIsNotPublished) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1);
    ASSERT_EQ(device_->StartStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamFailed);
    EXPECT_EQ(device_->StreamWriteIndex(), 0);
    EXPECT_EQ(device_->StopStreaming(), kDevFrameFailed);
}

TEST_F(FrameTransferTest, UnreachableCameraShowsAsFailure) {
    KalvexSim_Unplug(0);
    ASSERT_EQ(device_->StartStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamFailed);
    EXPECT_EQ(device_->StopStreaming(), kDevOpenFailed);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, UnplugMidStreamEndsTheRun) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ServeOneFrame();
    ASSERT_EQ(device_->GetStreamState(), kStreamFrameReady);
    ASSERT_EQ(device_->ReadStreamFrame(frame_.data()), 0);
    KalvexSim_Unplug(0);  // fails the request waiting in the driver
    int state = 0;
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(state, kStreamFailed);
    EXPECT_EQ(device_->StopStreaming(), kDevFrameFailed);
}

TEST_F(FrameTransferTest, NoFrameForSixSecondsIsAFailureButTheRunGoesOn) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
    EXPECT_EQ(WithRunningClock([&] { return device_->GetStreamState(); }), kStreamFailed);
    KalvexSim_ClearFaults(0);
    int state = 0;
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(state, kStreamFrameReady);
    EXPECT_EQ(device_->StopStreaming(), 0);
}

// A driver that cannot cancel: the stop leaves the thread behind after a short wait.
TEST_F(FrameTransferTest, StopEndsAFrameRequestStuckInTheDriver) {
    KalvexSim_SetCancellable(0, 0);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(device_->StartStreaming(), 0);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
    // The bound of the stop's wait runs on the (moving) clock.
    EXPECT_EQ(WithRunningClock([&] { return device_->StopStreaming(); }), kDevFrameFailed);
    EXPECT_EQ(device_->GetStreamState(), kStreamIdle);

    // A new run works while the old thread is still in the driver.
    ASSERT_EQ(device_->StartStreaming(), 0);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 2, 10000), 1);
    KalvexSim_ClearFaults(0);  // both requests go on
    int state = 0;
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(state, kStreamFrameReady);
    ASSERT_EQ(device_->ReadStreamFrame(frame_.data()), 0);
    EXPECT_EQ(Lines(frame_), Reversed());
    EXPECT_EQ(device_->StopStreaming(), 0);
}

TEST_F(FrameTransferTest, GeometryChangeAfterStreamingKeepsReadsSafe) {
    ASSERT_EQ(device_->StartStreaming(), 0);
    int state = 0;
    ASSERT_TRUE(WaitUntil([&] { return (state = device_->GetStreamState()) != kStreamNoFrame; }));
    EXPECT_EQ(device_->StopStreaming(), 0);
    device_->FreeFrameBuffers();
    EXPECT_EQ(device_->ReadStreamFrame(frame_.data()), kDevNullBuffer);
    EXPECT_EQ(device_->ReadSingleFrame(frame_.data()), kDevNullBuffer);
    EXPECT_EQ(device_->CaptureSingleFrame(), kDevFrameFailed);
    EXPECT_EQ(device_->StartStreaming(), 0);
    EXPECT_EQ(device_->GetStreamState(), kStreamFailed);
    EXPECT_EQ(device_->StopStreaming(), kDevFrameFailed);
}

}  // namespace
}  // namespace kalvex::test
