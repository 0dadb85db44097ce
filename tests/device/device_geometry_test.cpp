// Construction, windows, frame geometry and the family's conversion slots.
#include <cstring>

#include "device_fixture.h"

namespace kalvex::test {
namespace {

class GeometryTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        device_ = std::make_unique<CZorcamN7KTHERMOSdk>();
        KalvexSim_ClearCommandLog(0);
    }
    void TearDown() override {
        device_.reset();
        DeviceTest::TearDown();
    }
    std::unique_ptr<CZorcamN7KTHERMOSdk> device_;
};

TEST(DeviceConstruction, ConfiguresCameraZeroInOrder) {
    KalvexSim_Reset();
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_Plug(3);
    CZorcamN7KTHERMOSdk device;
    KalvexSim_Plug(5);  // attached later: not reported
    EXPECT_EQ(device.IsCameraPresent(0), 1);
    EXPECT_EQ(device.IsCameraPresent(3), 1);
    EXPECT_EQ(device.IsCameraPresent(5), 0);
    EXPECT_STREQ(device.DeviceBaseName(), "ZcamN7KTHM");
    EXPECT_EQ(device.DevicePath(), "\\\\.\\ZcamN7KTHM-0");
    EXPECT_EQ(device.Initialised(), 1);
    EXPECT_EQ(device.SixteenBit(), 0);
    EXPECT_EQ(device.WaitLimitMs(), 3000u);

    const std::vector<Block> expected = {
        MakeBlock({0x0A, 1}),        MakeBlock({0x25, 14, 8}),
        MakeBlock({0x06}),           MakeBlock({0x25, 84, 0}),
        MakeBlock({0x25, 80, 0}),    MakeBlock({0x25, 80, 16}),
        MakeBlock({0x25, 80, 0}),    MakeBlock({0x26, 48}),
        MakeBlock({0x25, 48, 0x04}), MakeBlock({0x26, 48}),
        MakeBlock({0x25, 48, 0x0C}), MakeBlock({0x09, 0x00, 0xB0, 0x04}),
        MakeBlock({0x25, 16, 0}),    MakeBlock({0x25, 17, 0}),
        MakeBlock({0x25, 18, 64}),   MakeBlock({0x25, 19, 239}),
        MakeBlock({0x25, 0, 0xFF}),  MakeBlock({0x25, 1, 0xB0}),
        MakeBlock({0x25, 2, 0x04}),  MakeBlock({0x25, 3, 0}),
        MakeBlock({0x25, 0, 0x00}),
    };
    EXPECT_EQ(CommandLog(), expected);
    EXPECT_EQ(CommandLog(3).size(), 0u);
    EXPECT_EQ(Counters().openHandles, 0);
    KalvexSim_Reset();
}

TEST(DeviceConstruction, SurvivesAbsentCameras) {
    KalvexSim_Reset();
    CZorcamN7KTHERMOSdk device;
    for (int n = 0; n < 8; ++n) EXPECT_EQ(device.IsCameraPresent(n), 0);
    EXPECT_EQ(device.TransferSamples(), 307200);  // the geometry is still set
    EXPECT_EQ(device.CaptureSingleFrame(), kDevOpenFailed);
    EXPECT_EQ(device.StartStreaming(), 0);
    EXPECT_EQ(device.StopStreaming(), kDevOpenFailed);
}

TEST_F(GeometryTest, FullWindowGivesTheStandardTransfer) {
    EXPECT_EQ(device_->SetWindow(0, 0, 640, 480, 0), 0);
    EXPECT_EQ(device_->TransferSamples(), 307200);
    EXPECT_EQ(device_->FrameSamples(), 307200);
    EXPECT_EQ(device_->SensorSamples(), 640 * 481);
    EXPECT_EQ(device_->LinePitch(), 640);
    EXPECT_EQ(device_->TotalLines(), 481);
    EXPECT_EQ(device_->FirstLine(), 0);
    EXPECT_EQ(device_->LineOffset(), 0);
    EXPECT_EQ(device_->SlotCount(), 4);
    EXPECT_EQ(device_->SlotBytes(), 614400);
    EXPECT_EQ(device_->LargeTransfer(), 0);
    EXPECT_EQ(device_->WindowTransferSamples(), 307200);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 18), 64);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 19), 239);

    // 614,400 bytes on the ordinary code: the camera fails any other code.
    device_->SetPixelDepth(1);
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);
    device_->SetPixelDepth(0);
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);  // 307,200 bytes of 8-bit samples
    EXPECT_EQ(Counters().framesServed, 2);
}

TEST_F(GeometryTest, SmallWindowsRoundUpAndProgramTheRegisters) {
    EXPECT_EQ(device_->SetWindow(10, 20, 100, 100, 17), 0);
    EXPECT_EQ(device_->TransferSamples(), 10240);
    EXPECT_EQ(device_->WindowTransferSamples(), 10240);
    EXPECT_EQ(device_->WindowMode(), 17);
    const int expected[][2] = {{16, 5},   {17, 10},  {18, 50}, {19, 49},
                               {0, 0x00}, {1, 0x28}, {2, 0},   {3, 0}};
    for (const auto &r : expected) EXPECT_EQ(KalvexSim_ReadRegister(0, r[0]), r[1]) << r[0];
    EXPECT_EQ(device_->SetWindow(0, 0, 640, 480, 18), 0);
    EXPECT_EQ(device_->SetWindow(636, 477, 4, 3, 3), 0);
    EXPECT_EQ(device_->TransferSamples(), 1024);
}

TEST_F(GeometryTest, RefusedWindowsChangeNothing) {
    ASSERT_EQ(device_->SetWindow(10, 20, 100, 100, 0), 0);
    KalvexSim_ClearCommandLog(0);
    const int refused[][5] = {
        {1, 0, 640, 480, 0},  {0, 1, 640, 480, 0},        {0, 0, 3, 10, 0},
        {0, 0, 10, 2, 0},     {-2, 0, 10, 10, 0},         {0, -2, 10, 10, 0},
        {0, 0, 640, 480, 4},  {0, 0, 640, 480, 16},       {0, 0, 640, 480, 19},
        {0, 0, 640, 480, -1}, {0x7FFFFFF0, 0, 100, 10, 0}};
    for (const auto &w : refused)
        EXPECT_EQ(device_->SetWindow(w[0], w[1], w[2], w[3], w[4]), kDevWindowRefused)
            << w[0] << " " << w[1] << " " << w[2] << " " << w[3] << " " << w[4];
    EXPECT_EQ(device_->TransferSamples(), 10240);
    EXPECT_EQ(device_->WindowX(), 10);
    EXPECT_TRUE(CommandLog().empty());
}

TEST_F(GeometryTest, FrameGeometryChecksItsArguments) {
    EXPECT_EQ(device_->SetFrameGeometry(0, 0, 1, 10, 0, 5, 4), kDevBadWidth);
    EXPECT_EQ(device_->SetFrameGeometry(10, 0, 11, 10, 0, 5, 4), kDevBadWidth);
    EXPECT_EQ(device_->SetFrameGeometry(10, 2, 9, 10, 0, 5, 4), kDevBadWidth);  // past the line
    EXPECT_EQ(device_->SetFrameGeometry(10, 0, 10, 10, 6, 5, 4), kDevBadHeight);
    EXPECT_EQ(device_->SetFrameGeometry(10, 0, 10, 0, 0, 0, 4), kDevBadHeight);
    EXPECT_EQ(device_->SetFrameGeometry(10, 0, 10, 10, -1, 5, 4), kDevBadHeight);
    EXPECT_EQ(device_->SetFrameGeometry(10, 0, 10, 10, 0, 5, 1), kDevWindowRefused);
    EXPECT_EQ(device_->TransferSamples(), 307200);  // refusals keep the buffers
    EXPECT_EQ(device_->SetFrameGeometry(100000, 0, 100000, 100000, 0, 100000, 4), kDevNoMemory);

    EXPECT_EQ(device_->SetFrameGeometry(1339, 50, 1280, 1040, 10, 1028, 2), 0);
    EXPECT_EQ(device_->SensorSamples(), 1339 * 1040);
    EXPECT_EQ(device_->FrameSamples(), 1339 * 1038);
    EXPECT_EQ(device_->TransferSamples(), 1390592);  // 1,389,882 rounded up to 1024s
    EXPECT_EQ(CommandLog().back(), MakeBlock({0x09, 0x00, 0x38, 0x15, 0x00}));
}

TEST_F(GeometryTest, LargeTransfersSwitchTheFrameCode) {
    device_->SetPixelDepth(1);
    ASSERT_EQ(device_->SetFrameGeometry(1024, 0, 1024, 2999, 0, 2999, 2), 0);
    EXPECT_EQ(device_->TransferSamples(), 3070976);
    EXPECT_EQ(device_->LargeTransfer(), 0);
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);
    ASSERT_EQ(device_->SetFrameGeometry(1024, 0, 1024, 3000, 0, 3000, 2), 0);
    EXPECT_EQ(device_->TransferSamples(), 3072000);
    EXPECT_EQ(device_->LargeTransfer(), 1);
    EXPECT_EQ(device_->CaptureSingleFrame(), 0);
    EXPECT_EQ(device_->StartStreaming(), 0);
    ASSERT_TRUE(WaitUntil([&] { return device_->StreamFramesTransferred() >= 1; }));
    EXPECT_EQ(device_->StopStreaming(), 0);
    EXPECT_EQ(Counters().framesServed, 2 + device_->StreamFramesTransferred());
}

TEST_F(GeometryTest, PixelDepthSendsModeAndSampleRegister) {
    EXPECT_EQ(device_->SetPixelDepth(1), 1);
    EXPECT_EQ(device_->SixteenBit(), 1);
    EXPECT_EQ(device_->SetPixelDepth(0), 1);
    EXPECT_EQ(device_->SixteenBit(), 0);
    const std::vector<Block> expected = {MakeBlock({0x0A, 1}), MakeBlock({0x25, 14, 9}),
                                         MakeBlock({0x0A, 1}), MakeBlock({0x25, 14, 8})};
    EXPECT_EQ(CommandLog(), expected);

    // The family's base class sends the depth itself in the mode byte.
    KalvexSim_ClearCommandLog(0);
    struct BaseDevice : CZCMSdkLib {
        BaseDevice() {
            SetDeviceBaseName("ZcamN7KTHM");
            SetCameraIndex(0);
        }
    } base;
    EXPECT_EQ(base.SetPixelDepth(0), 1);
    EXPECT_EQ(base.SetPixelDepth(5), 1);
    EXPECT_EQ(base.SixteenBit(), 1);
    EXPECT_EQ(CommandLog(), (std::vector<Block>{MakeBlock({0x0A, 0}), MakeBlock({0x0A, 1})}));
}

}  // namespace
}  // namespace kalvex::test
