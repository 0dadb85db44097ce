// The driver link, command blocks, registers, core values and camera selection.
#include <cstring>

#include "device/driver_link.h"
#include "device_fixture.h"

namespace kalvex::test {
namespace {

constexpr const char *kCamera0 = "\\\\.\\ZcamN7KTHM-0";

class DriverLinkTest : public DeviceTest {};

TEST_F(DriverLinkTest, RawRequestAndWrappersReportTheirResults) {
    uint8_t buffer[64] = {};
    uint32_t got = 99;
    EXPECT_EQ(RawDeviceRequest(nullptr, kIoctlInDirect, 0, buffer, 64, &got), -3);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(PipeTransferInDirect(nullptr, 0, 64, buffer), kTransferNoHandle);
    EXPECT_EQ(PipeTransferOutDirect(nullptr, 1, 64, buffer), kTransferNoHandle);

    DeviceHandle handle = OpenDeviceHandle(kCamera0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(RawDeviceRequest(handle, kIoctlInDirect, 0, nullptr, 64, &got), -2);
    // Nothing queued on the reply pipe: the driver fails the request.
    EXPECT_EQ(RawDeviceRequest(handle, kIoctlOutDirect, 1, buffer, 64, &got), -1);
    EXPECT_EQ(PipeTransferOutDirect(handle, 1, 64, buffer), kTransferFailed);

    // A reply that comes back short is a failure of the wrapper.
    CommandBlock read = MakeCommand(kOpReadRegister, {48});
    ASSERT_EQ(PipeTransferInDirect(handle, 0, 64, read.data()), kTransferOk);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_SHORT, 1);
    EXPECT_EQ(PipeTransferOutDirect(handle, 1, 64, buffer, &got), kTransferFailed);
    EXPECT_EQ(got, 32u);
    EXPECT_EQ(PipeTransferOutDirect(handle, 1, 64, buffer, &got), kTransferOk);
    EXPECT_EQ(got, 64u);

    CloseDeviceHandle(&handle);
    EXPECT_EQ(handle, nullptr);
    CloseDeviceHandle(&handle);  // a null handle is left alone
    CloseDeviceHandle(nullptr);
    EXPECT_EQ(Counters().openHandles, 0);
    EXPECT_EQ(OpenDeviceHandle("\\\\.\\ZcamN7KTHM-5"), nullptr);
    EXPECT_EQ(OpenDeviceHandle(nullptr), nullptr);
}

class RegisterTest : public DeviceTest {
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

TEST_F(RegisterTest, WritesSendExactBlocks) {
    EXPECT_EQ(device_->WriteCoreValue(6, 0x1234), 1);
    EXPECT_EQ(device_->WriteRegister(5, 300), 1);
    EXPECT_EQ(device_->WriteRegister(0x1FE, 0x1AB), 1);
    EXPECT_EQ(device_->PerformNuc(), 1);
    const auto log = CommandLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], MakeBlock({0x40, 0x65, 0x03, 0x06, 0x12, 0x34}));
    EXPECT_EQ(log[1], MakeBlock({0x25, 5, 44}));
    EXPECT_EQ(log[2], MakeBlock({0x25, 0xFE, 0xAB}));
    EXPECT_EQ(log[3], MakeBlock({0x40, 0x65, 0x03, 0x06, 0x00, 0x01}));
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 44);
    EXPECT_EQ(Counters().nucCommands, 2);
    EXPECT_EQ(Counters().openHandles, 0);  // every operation closes its handle
}

TEST_F(RegisterTest, ReadsTakeTheSecondReply) {
    KalvexSim_WriteRegister(0, 77, 0xAB);
    int value = -1;
    EXPECT_EQ(device_->ReadRegister(77, &value), 1);
    EXPECT_EQ(value, 0xAB);
    EXPECT_EQ(CommandLog().back(), MakeBlock({0x26, 77}));

    uint16_t raw = 0;
    EXPECT_EQ(device_->ReadInternalTemperatureRaw(&raw), 1);
    EXPECT_EQ(raw, KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);
    EXPECT_EQ(CommandLog().back(), MakeBlock({0x0C, 32}));
    KalvexSim_SetInternalTemperatureRaw(0, 0xFE01);
    EXPECT_EQ(device_->ReadCoreValue(32, &raw), 1);
    EXPECT_EQ(raw, 0xFE01);  // high byte unsigned
    EXPECT_EQ(device_->WriteCoreValue(9, 0x8001), 1);
    EXPECT_EQ(device_->ReadCoreValue(9, &raw), 1);
    EXPECT_EQ(raw, 0x8001);

    // The first reply's result does not matter; the second decides.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_FAIL, 1);
    EXPECT_EQ(device_->ReadRegister(77, &value), 1);
    EXPECT_EQ(value, 0xAB);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_SHORT, 2);
    value = -1;
    EXPECT_EQ(device_->ReadRegister(77, &value), 0);
    EXPECT_EQ(value, 0);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_FAIL, 1);
    raw = 5;
    EXPECT_EQ(device_->ReadCoreValue(32, &raw), 0);
    EXPECT_EQ(raw, 0);
    EXPECT_EQ(device_->ReadRegister(77, nullptr), 1);  // null value pointer tolerated
}

TEST_F(RegisterTest, EverythingFailsQuietlyWithoutACamera) {
    KalvexSim_Unplug(0);
    int value = 99;
    EXPECT_EQ(device_->ReadRegister(7, &value), 0);
    EXPECT_EQ(value, 0);
    uint16_t raw = 99;
    EXPECT_EQ(device_->ReadInternalTemperatureRaw(&raw), 0);
    EXPECT_EQ(raw, 0);
    EXPECT_EQ(device_->WriteRegister(5, 1), 0);
    EXPECT_EQ(device_->WriteCoreValue(6, 1), 0);
    EXPECT_EQ(device_->PerformNuc(), 0);
    EXPECT_EQ(device_->SetControlBit3(0), -1);
    EXPECT_EQ(device_->SetPixelDepth(1), 1);  // whatever the transfers gave
    EXPECT_EQ(device_->InitCamera(0), 0);
}

TEST_F(RegisterTest, ShortCommandCountsAsFailure) {
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_SHORT, 1);
    EXPECT_EQ(device_->WriteRegister(5, 1), 0);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 0);
}

TEST_F(RegisterTest, ControlBitsKeepTheOtherBits) {
    ASSERT_EQ(device_->ControlBit2State(), 1);
    ASSERT_EQ(device_->ControlBit3State(), 1);
    KalvexSim_WriteRegister(0, 48, 0xFF);
    EXPECT_EQ(device_->SetControlBit2(0), 0);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 48), 0xFB);
    EXPECT_EQ(device_->ControlBit2State(), 0);
    EXPECT_EQ(device_->SetControlBit3(0), 0);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 48), 0xF3);
    EXPECT_EQ(device_->SetControlBit3(1), 0);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 48), 0xFB);

    // A failed read leaves register and state alone.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_FAIL, KALVEX_SIM_UNTIL_CLEARED);
    KalvexSim_ClearCommandLog(0);
    EXPECT_EQ(device_->SetControlBit2(1), -1);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 48), 0xFB);
    EXPECT_EQ(device_->ControlBit2State(), 0);
    for (const Block &b : CommandLog()) EXPECT_NE(b[0], 0x25);
}

TEST_F(RegisterTest, CameraNumbersOutsideTheRangeAreRefused) {
    EXPECT_EQ(device_->GetCameraCount(), 8);
    EXPECT_EQ(device_->IsCameraPresent(8), 0);
    EXPECT_EQ(device_->IsCameraPresent(-1), 0);
    EXPECT_EQ(device_->IsCameraPresent(0), 1);
    EXPECT_EQ(device_->IsCameraPresent(1), 0);
    EXPECT_EQ(device_->SetCameraIndex(8), kDevBadCamera);
    EXPECT_EQ(device_->SetCameraIndex(-1), kDevBadCamera);
    EXPECT_EQ(device_->SelectCamera(8), kDevBadCamera);
    EXPECT_EQ(device_->InitCamera(-3), kDevBadCamera);
    EXPECT_EQ(device_->GetCameraIndex(), 0);
    EXPECT_EQ(device_->SetCameraIndex(7), 0);
    EXPECT_EQ(device_->GetCameraIndex(), 7);
    EXPECT_EQ(device_->DevicePath(), "\\\\.\\ZcamN7KTHM-7");
}

}  // namespace
}  // namespace kalvex::test
