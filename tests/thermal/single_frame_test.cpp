// Single frames on demand and on the trigger input.
#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

using SingleFrame = InstanceTest;

// Runs body while another thread keeps the frozen clock moving, so that the
// three-second trigger wait ends without three seconds of real time.
template <typename Body>
auto WithMovingClock(Body body) {
    std::atomic<bool> done{false};
    std::thread mover([&] {
        while (!done.load()) {
            platform::AdvanceClock(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto result = body();
    done.store(true);
    mover.join();
    return result;
}

TEST_F(SingleFrame, TwoShotsFillSlotsOneAndTwoAndTheFirstIdIsGone) {
    Codes();
    int first = Kalvex_OneShot(handle_);
    ASSERT_NE(first, 0);
    EXPECT_EQ(Peer().CurrentIndex(), 1);
    int second = Kalvex_OneShot(handle_);
    ASSERT_NE(second, 0);
    EXPECT_EQ(Peer().CurrentIndex(), 2);
    EXPECT_EQ(Kalvex_GetNewID(handle_), second);
    std::vector<uint16_t> raw(640 * 480);
    EXPECT_EQ(Kalvex_GetRaw(handle_, second, raw.data(), 640 * 480 * 2), 1);
    ASSERT_NE(first, second);
    EXPECT_EQ(Kalvex_GetRaw(handle_, first, raw.data(), 640 * 480 * 2), 0);
    EXPECT_EQ(Codes(), std::vector<int>{5});
    EXPECT_TRUE(window_.Drain(KALVEX_WM_FRAME).empty());  // no frame message
}

TEST_F(SingleFrame, ShotHoldsTheColourMappedFrame) {
    KalvexSim_SetTestPattern(0, 1);
    int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    std::vector<uint16_t> raw(640 * 480);
    ASSERT_EQ(Kalvex_GetRaw(handle_, id, raw.data(), 640 * 480 * 2), 1);
    EXPECT_EQ(raw[0], KALVEX_SIM_PATTERN(479, 0));
    std::vector<uint8_t> colour(640 * 480 * 3);
    ASSERT_EQ(Kalvex_GetColor(handle_, id, colour.data(), 640 * 480 * 3), 1);
    const uint32_t e = LiteralColour(Peer().Hue(), 1000, 3000, raw[0]);
    EXPECT_EQ(colour[0], (e >> 16) & 255);
    EXPECT_EQ(colour[2], e & 255);
}

TEST_F(SingleFrame, OneShotDuringPreviewIsRefusedSilently) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    Codes();
    EXPECT_EQ(Kalvex_OneShot(handle_), 0);
    EXPECT_EQ(Kalvex_Trigger(handle_), 0);
    EXPECT_TRUE(Codes().empty());
    Kalvex_Close(handle_);
}

TEST_F(SingleFrame, TriggerFiresOnAFallingEdge) {
    Codes();
    KalvexSim_ScheduleTriggerPulse(0, 5, 3);
    int id = Kalvex_Trigger(handle_);
    EXPECT_NE(id, 0);
    EXPECT_EQ(Codes(), std::vector<int>{10});
    std::vector<uint16_t> raw(640 * 480);
    EXPECT_EQ(Kalvex_GetRaw(handle_, id, raw.data(), 640 * 480 * 2), 1);
}

TEST_F(SingleFrame, TriggerTimesOutWithTheInputHeldClearOrSet) {
    for (int level : {0, 1}) {
        Codes();
        KalvexSim_SetTriggerLevel(0, level);
        EXPECT_EQ(WithMovingClock([&] { return Kalvex_Trigger(handle_); }), 0);
        EXPECT_EQ(Codes(), (std::vector<int>{3, 10})) << "level " << level;
    }
}

TEST_F(SingleFrame, FailedReadLeavesTheRingAdvanced) {
    Codes();
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1);
    EXPECT_EQ(Kalvex_OneShot(handle_), 0);
    EXPECT_TRUE(Codes().empty());
    EXPECT_EQ(Peer().CurrentIndex(), 0);  // the transfer failed before the ring moved
    EXPECT_NE(Kalvex_OneShot(handle_), 0);
    EXPECT_EQ(Peer().CurrentIndex(), 1);
}

}  // namespace
}  // namespace kalvex::test
