// Instance life: camera listing and selection, internal temperature,
// starting and stopping capture, and the state capture leaves behind.
#include <cmath>
#include <cstring>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

using Lifecycle = InstanceTest;

TEST_F(Lifecycle, CameraNamesAndTheirChecks) {
    Codes();
    wchar_t name[32];
    EXPECT_EQ(Kalvex_IsCameraEnableW(handle_, 0, name, 14), 0);
    EXPECT_EQ(Codes(), std::vector<int>{5});
    ASSERT_EQ(Kalvex_IsCameraEnableW(handle_, 0, name, 15), 1);
    EXPECT_STREQ(name, L"KalvexN7K_01");
    EXPECT_EQ(Kalvex_IsCameraEnableW(handle_, 8, name, 32), 0);
    EXPECT_EQ(Kalvex_IsCameraEnableW(handle_, -1, name, 32), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{5, 5}));
    EXPECT_EQ(Kalvex_IsCameraEnableW(handle_, 3, name, 32), 0);  // absent: no code
    EXPECT_TRUE(Codes().empty());
    char narrow[16];
    ASSERT_EQ(Kalvex_IsCameraEnableA(handle_, 0, narrow, 16), 1);
    EXPECT_STREQ(narrow, "KalvexN7K_01");
}

TEST_F(Lifecycle, CameraPluggedAfterTheProbeCannotBeSelected) {
    Codes();
    KalvexSim_Plug(2);
    EXPECT_EQ(Kalvex_SetCameraNumber(handle_, 2), 0);
    EXPECT_EQ(Codes(), std::vector<int>{2});
    EXPECT_EQ(Kalvex_SetCameraNumber(handle_, 0), 1);
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Lifecycle, InternalTemperatureFromTheCoreValue) {
    int ok = 0;
    KalvexSim_SetInternalTemperatureRaw(0, 23808);
    EXPECT_FLOAT_EQ(Kalvex_GetInternalTemperature(handle_, &ok), 24.99914f);
    EXPECT_EQ(ok, 1);
    KalvexSim_SetInternalTemperatureRaw(0, 0);
    EXPECT_FLOAT_EQ(Kalvex_GetInternalTemperature(handle_, nullptr), 478.17f);
    KalvexSim_Unplug(0);
    Codes();
    EXPECT_EQ(Kalvex_GetInternalTemperature(handle_, &ok), 0.0f);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(Codes(), std::vector<int>{8});
}

TEST_F(Lifecycle, PreviewTwiceStartsOneThreadAndRecordsOneCodeTen) {
    Codes();
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 1);
    EXPECT_EQ(Kalvex_Preview(handle_), 1);
    EXPECT_EQ(Codes(), std::vector<int>{10});
    EXPECT_EQ(window_.Drain(KALVEX_WM_EVENT), std::vector<long>{10});
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 0);
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Lifecycle, CloseWithoutCaptureRecordsNothing) {
    Codes();
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Lifecycle, ReleaseWhileCapturingStopsThreadAndStreaming) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_NE(NextFrameMessage(), 0);
    instance_.reset();
    EXPECT_EQ(Kalvex_Release(handle_), 1);
    KalvexSimCounters c{};
    KalvexSim_GetCounters(0, &c);
    EXPECT_EQ(c.openHandles, 0);  // the streaming thread let go of the camera
    handle_ = 0;
}

TEST_F(Lifecycle, CloseDoesNotWaitForASilentCameraOrAHugeInterval) {
    HoldFrames();
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_FRAME_INTERVAL, -1), 1);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_FRAME_INTERVAL, 0), 1);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 20000), 1);
    // The loop now waits on a camera that sends nothing.
    EXPECT_EQ(Kalvex_Close(handle_), 1);
}

TEST_F(Lifecycle, CaptureEndedByTheCameraHoldsUntilClose) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_TRUE(Eventually([&] { return Peer().CaptureThreadEnded(); }));
    std::vector<int> codes = Codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), 4);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 1);
    KalvexSim_ClearFaults(0);
    EXPECT_EQ(Kalvex_Preview(handle_), 1);  // starts nothing
    EXPECT_TRUE(Peer().CaptureThreadEnded());
    EXPECT_EQ(Kalvex_OneShot(handle_), 0);
    EXPECT_TRUE(Codes().empty());
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    Codes();
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    EXPECT_FALSE(Peer().CaptureThreadEnded());
    Kalvex_Close(handle_);
}

TEST_F(Lifecycle, SetCameraNumberWhileCapturingIsRefused) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    Codes();
    EXPECT_EQ(Kalvex_SetCameraNumber(handle_, 0), 0);
    EXPECT_EQ(Codes(), std::vector<int>{2});
    Kalvex_Close(handle_);
}

TEST_F(Lifecycle, SetTableChecksItsName) {
    Codes();
    const uint32_t nucBefore = Peer().NucStartTime();
    EXPECT_EQ(Kalvex_SetTableW(handle_, L""), 0);
    EXPECT_EQ(Kalvex_SetTableW(handle_, nullptr), 0);
    EXPECT_EQ(Kalvex_SetTableA(handle_, nullptr), 0);
    EXPECT_EQ(Kalvex_SetTableW(handle_, L"/nonexistent/table.bin"), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{9, 9, 9, 9}));
    EXPECT_EQ(Peer().NucStartTime(), nucBefore);
}

class NoCamera : public InstanceTest {
  protected:
    NoCamera() { plugCamera_ = false; }
};

TEST_F(NoCamera, InitializeGivesAHandleWithCodeEight) {
    EXPECT_EQ(Codes(), std::vector<int>{8});
    EXPECT_EQ(Peer().ReferenceTemperature(), 0.0f);
    EXPECT_EQ(Kalvex_Preview(handle_), 0);
    EXPECT_EQ(Codes(), std::vector<int>{2});
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 0);
}

TEST_F(NoCamera, TriggerFailsPreparationAfterCodeTen) {
    Codes();
    EXPECT_EQ(Kalvex_Trigger(handle_), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{2, 10}));
}

// ---- Events of failed and clean runs ------------------------------------------------------

// Every way the camera can end a run: the Close that collects it records code
// 8 once, after the capture thread's code 4; a clean run's Close records none.
enum class RunEnd { kUnplug, kFailedTransfer, kRepeatedShortTransfers };

class FailedRun : public InstanceTest, public ::testing::WithParamInterface<RunEnd> {};

TEST_P(FailedRun, CloseRecordsCommunicationFailureOnce) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_NE(NextFrameMessage(), 0);
    Codes();  // what the start records
    switch (GetParam()) {
        case RunEnd::kUnplug:
            KalvexSim_Unplug(0);
            break;
        case RunEnd::kFailedTransfer:
            KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1);
            break;
        case RunEnd::kRepeatedShortTransfers:
            KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, KALVEX_SIM_UNTIL_CLEARED);
            break;
    }
    ASSERT_TRUE(Eventually([&] { return Peer().CaptureThreadEnded(); }));
    EXPECT_EQ(Codes(), std::vector<int>{KALVEX_EV_CAPTURE_ENDED});
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(Codes(), std::vector<int>{KALVEX_EV_COMMUNICATION});
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_PREVIEWING), 0);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(Codes(), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(EveryKind, FailedRun,
                         ::testing::Values(RunEnd::kUnplug, RunEnd::kFailedTransfer,
                                           RunEnd::kRepeatedShortTransfers));

TEST_F(Lifecycle, CloseAfterACleanRunRecordsNothing) {
    ASSERT_EQ(Kalvex_Preview(handle_), 1);
    ASSERT_NE(NextFrameMessage(), 0);
    Codes();  // what the start records
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(Kalvex_Close(handle_), 1);
    EXPECT_EQ(Codes(), std::vector<int>{});
}

class OnlyCameraSeven : public InstanceTest {
  protected:
    OnlyCameraSeven() {
        plugCamera_ = false;
        otherCamera_ = 7;
    }
};

TEST_F(OnlyCameraSeven, InitializeRecordsNoFailureAndTheCameraWorks) {
    EXPECT_EQ(Codes(), std::vector<int>{});
    ASSERT_EQ(Kalvex_SetCameraNumber(handle_, 7), 1);
    EXPECT_NE(Kalvex_OneShot(handle_), 0);
    EXPECT_EQ(Codes(), std::vector<int>{});
}

}  // namespace
}  // namespace kalvex::test
