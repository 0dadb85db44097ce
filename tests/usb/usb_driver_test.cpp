// The USB driver against an emulated bus: from the exports down to the URBs,
// answered by the simulated camera's protocol engine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "kalvex.h"
#include "kalvex_sim.h"
#include "kalvex_usb.h"
#include "support/test_window.h"
#include "usb/usb_emulator.h"

namespace kalvex::usbtest {
namespace {

constexpr uint16_t kVendor = 0x1209;
constexpr uint16_t kProduct = 0x6a0e;
constexpr int kFrameBytes = 640 * 480 * 2;
// Generous bounds on waits for events that must come; never part of a result.
constexpr int kEventWaitMs = 20000;

EmulatedBus *gBus = nullptr;

// The bus exists before libusb starts (at the first KalvexUsb_ call).
class BusEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { gBus = new EmulatedBus; }
    void TearDown() override {
        KalvexUsb_ClearDevices();
        delete gBus;
        gBus = nullptr;
    }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

std::vector<std::vector<uint8_t>> CommandLog(int camera) {
    std::vector<uint8_t> blocks(KALVEX_SIM_LOG_BLOCKS * 64);
    int n = KalvexSim_GetCommandLog(camera, blocks.data(), KALVEX_SIM_LOG_BLOCKS);
    std::vector<std::vector<uint8_t>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(&blocks[i * 64], &blocks[(i + 1) * 64]);
    return out;
}

class UsbDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        KalvexUsb_ClearDevices();
        for (int n = 0; n < 2; ++n) KalvexSim_SetFrameRate(n, 0.0);
    }
    void TearDown() override {
        for (int h : handles_) Kalvex_Release(h);
        KalvexUsb_ClearDevices();
        gBus->Clear();
        KalvexSim_Reset();
    }
    // A camera on the bus served by simulated camera simCamera, and the model added.
    int PlugCamera(int simCamera, const Endpoints &listed = {}) {
        int id = gBus->Plug(simCamera, kVendor, kProduct, kDefaultEndpoints, listed);
        EXPECT_GT(id, 0);
        return id;
    }
    int Instance() {
        int h = Kalvex_Initialize(window_.hwnd());
        handles_.push_back(h);
        return h;
    }
    bool Present(int h, int number) {
        wchar_t name[32];
        return Kalvex_IsCameraEnableW(h, number, name, 32) == 1;
    }
    // The next message of this number (0 when none comes); for events, the
    // next with this code (Preview's own code 10 comes first every time).
    KalvexMessage Next(unsigned message, long code = -1) {
        KalvexMessage m{};
        while (KalvexPosix_GetMessage(window_.hwnd(), &m, kEventWaitMs) == 1)
            if (m.message == message && (code < 0 || m.lParam == code)) return m;
        return KalvexMessage{};
    }
    bool Ended() {
        return Next(KALVEX_WM_EVENT, KALVEX_EV_CAPTURE_ENDED).message == KALVEX_WM_EVENT;
    }
    // The codes on the stack, newest first (emptying it).
    std::vector<int> Codes(int h) {
        std::vector<int> codes;
        for (int c; (c = Kalvex_GetLastError(h)) != 0;) codes.push_back(c);
        return codes;
    }
    std::vector<uint8_t> Raw(int h, int frameId) {
        std::vector<uint8_t> raw(kFrameBytes);
        if (Kalvex_GetRaw(h, frameId, raw.data(), kFrameBytes) != 1) raw.clear();
        return raw;
    }
    // Skips the frames of the hold after the preview's NUC.
    void Quick(int h) {
        Kalvex_SetParam(h, KALVEX_PARAM_NUC_HOLD, 0);
        Kalvex_SetParam(h, KALVEX_PARAM_FRAME_INTERVAL, 0);
    }

    test::TestWindow window_;
    std::vector<int> handles_;
};

// ---- Enumeration, open, command and reply bytes ----------------------------------

TEST_F(UsbDriver, FindsTheCameraByIdAndSendsTheBytesTheSimulatedDriverGets) {
    // The reference: an instance on the simulated driver.
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    int reference = Instance();
    float expected = Kalvex_GetInternalTemperature(reference, nullptr);
    auto referenceLog = CommandLog(0);
    ASSERT_FALSE(referenceLog.empty());
    Kalvex_Release(reference);
    handles_.clear();
    KalvexSim_Unplug(0);

    // Another device on the bus is no camera: only the added ids count.
    gBus->Plug(2, 0x1209, 0x0001);
    PlugCamera(1);
    EXPECT_FALSE(Present(Instance(), 0));  // before the model is added, nothing is found
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    KalvexSim_ClearCommandLog(1);
    int h = Instance();
    EXPECT_TRUE(Present(h, 0));
    EXPECT_FALSE(Present(h, 1));
    int ok = 0;
    EXPECT_EQ(Kalvex_GetInternalTemperature(h, &ok), expected);
    EXPECT_EQ(ok, 1);
    // Initialisation and the temperature read: the same blocks, byte for byte.
    EXPECT_EQ(CommandLog(1), referenceLog);
    EXPECT_EQ(KalvexUsb_GetLastEvent(nullptr, 0), KALVEX_USB_OK);

    // Registers both ways through command and reply blocks.
    EXPECT_EQ(Kalvex_SetParam(h, 200, 0x5A), 1);
    EXPECT_EQ(KalvexSim_ReadRegister(1, 200), 0x5A);
    KalvexSim_WriteRegister(1, 201, 0xA5);
    EXPECT_EQ(Kalvex_GetParam(h, 201), 0xA5);
    EXPECT_EQ(Kalvex_GetLastError(h), 0);
}

TEST_F(UsbDriver, NumbersCamerasInBusOrderAndSeesALaterOneInTheNextInstance) {
    PlugCamera(0);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    int first = Instance();
    int second = PlugCamera(1);
    EXPECT_TRUE(Present(first, 0));
    EXPECT_FALSE(Present(first, 1));  // probed once, when created
    int next = Instance();
    EXPECT_TRUE(Present(next, 1));
    // Camera 1 of the instance is the later device: its engine answers.
    ASSERT_EQ(Kalvex_SetCameraNumber(next, 1), 1);
    KalvexSim_SetInternalTemperatureRaw(1, 20000);
    KalvexSim_SetInternalTemperatureRaw(0, 30000);
    EXPECT_FLOAT_EQ(Kalvex_GetInternalTemperature(next, nullptr),
                    static_cast<float>(20000 * 3.0 / 32767.0 * (-207.9) + 478.17));

    KalvexUsbCandidate found[4];
    ASSERT_EQ(KalvexUsb_ListCandidates(found, 4), 2);
    EXPECT_EQ(found[0].vendorId, kVendor);
    EXPECT_EQ(found[1].productId, kProduct);
    EXPECT_LT(found[0].deviceAddress, found[1].deviceAddress);
    EXPECT_EQ(found[1].deviceAddress, second);
    EXPECT_EQ(found[0].endpoints[0], 0x01);
    EXPECT_EQ(found[0].endpoints[2], 0x82);
    EXPECT_EQ(KalvexUsb_ListCandidates(nullptr, 0), 2);
}

// ---- Streaming and failing transfers -------------------------------------------------

TEST_F(UsbDriver, StreamsTheFramesTheSimulatedDriverStreams) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_SetTestPattern(0, 1);
    int reference = Instance();
    Quick(reference);
    ASSERT_EQ(Kalvex_Preview(reference), 1);
    KalvexMessage m = Next(KALVEX_WM_FRAME);
    ASSERT_EQ(m.message, KALVEX_WM_FRAME);
    std::vector<uint8_t> expected = Raw(reference, static_cast<int>(m.lParam));
    Kalvex_Close(reference);
    ASSERT_EQ(expected.size(), static_cast<size_t>(kFrameBytes));
    KalvexSim_Unplug(0);
    window_.Drain();  // the reference's messages

    int id = PlugCamera(1);
    KalvexSim_SetTestPattern(1, 1);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    int h = Instance();
    Quick(h);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    for (int frame = 0; frame < 3; ++frame) {
        m = Next(KALVEX_WM_FRAME);
        ASSERT_EQ(m.message, KALVEX_WM_FRAME) << frame;
        EXPECT_EQ(Raw(h, static_cast<int>(m.lParam)), expected) << frame;
    }
    EXPECT_EQ(Kalvex_Close(h), 1);
    EXPECT_EQ(Codes(h), std::vector<int>{KALVEX_EV_NOT_SUPPORTED});  // Preview's own
    KalvexSimCounters c{};
    KalvexSim_GetCounters(1, &c);
    EXPECT_GE(c.framesServed, 3);
    EXPECT_GE(gBus->Submitted(id, 2), 3);  // one bulk URB per frame
}

TEST_F(UsbDriver, OneShortFrameIsDroppedAndAFailedOneEndsCapture) {
    PlugCamera(0);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    int h = Instance();
    Quick(h);
    // A short frame is seen as short: the first of a run is dropped silently.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 1);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    ASSERT_EQ(Next(KALVEX_WM_FRAME).message, KALVEX_WM_FRAME);
    EXPECT_EQ(Codes(h), std::vector<int>{KALVEX_EV_NOT_SUPPORTED});  // Preview's own
    // A failed transfer ends capture with code 4.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1);
    EXPECT_TRUE(Ended());
    Kalvex_Close(h);

    // A second short frame in a run ends it too.
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 2);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    EXPECT_TRUE(Ended());
    Kalvex_Close(h);
}

TEST_F(UsbDriver, CloseCancelsAStalledFrameTransfer) {
    int id = PlugCamera(0);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    int h = Instance();
    Quick(h);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, kEventWaitMs), 1);
    // The stop discards the URB; the engine's request ends and nothing is left stalled.
    Kalvex_Close(h);
    EXPECT_EQ(KalvexSim_GetStalled(0), 0);
    EXPECT_GE(KalvexSim_GetCancels(0), 1);
    EXPECT_EQ(Kalvex_GetParam(h, KALVEX_PARAM_PREVIEWING), 0);
    // The camera still answers afterwards.
    KalvexSim_ClearFaults(0);
    int ok = 0;
    Kalvex_GetInternalTemperature(h, &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_GE(gBus->Submitted(id, 2), 1);
}

TEST_F(UsbDriver, UnplugDuringStreamingEndsCaptureAndFailsLaterRequests) {
    int id = PlugCamera(0);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    int h = Instance();
    Quick(h);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, kEventWaitMs), 1);
    gBus->Unplug(id);
    EXPECT_TRUE(Ended());
    Kalvex_Close(h);
    // Every later request fails, and a new instance finds no camera.
    int ok = 1;
    Kalvex_GetInternalTemperature(h, &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_FALSE(Present(Instance(), 0));
}

// ---- Access and layout ------------------------------------------------------------------

namespace {
std::vector<std::wstring> gDebugLines;
void KALVEX_CALL KeepLine(const wchar_t *line, void *) {
    gDebugLines.emplace_back(line);
}
std::string Narrow(const std::wstring &w) {
    return std::string(w.begin(), w.end());
}
}  // namespace

TEST_F(UsbDriver, PermissionDeniedNamesTheNodeAndTheRule) {
    int id = PlugCamera(0);
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    ASSERT_EQ(chmod(gBus->NodeFile(id).c_str(), 0), 0);
    gDebugLines.clear();
    KalvexPosix_SetDebugListener(KeepLine, nullptr);
    {
        WithoutPermissionOverride user;
        ASSERT_TRUE(user.ok());
        int h = Instance();
        EXPECT_FALSE(Present(h, 0));
    }
    KalvexPosix_SetDebugListener(nullptr, nullptr);
    char text[512];
    EXPECT_EQ(KalvexUsb_GetLastEvent(text, sizeof text), KALVEX_USB_ACCESS_DENIED);
    const std::string node = gBus->Node(id);
    EXPECT_NE(std::string(text).find(node), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("60-kalvex.rules"), std::string::npos) << text;
    bool logged = false;
    for (const auto &line : gDebugLines)
        logged |=
            Narrow(line).find(node + " cannot be opened: permission denied") != std::string::npos;
    EXPECT_TRUE(logged);
    // Cut to the caller's buffer, terminated.
    char small[8];
    KalvexUsb_GetLastEvent(small, sizeof small);
    EXPECT_EQ(std::strlen(small), 7u);

    chmod(gBus->NodeFile(id).c_str(), 0666);
    EXPECT_TRUE(Present(Instance(), 0));
}

TEST_F(UsbDriver, EndpointsInAnotherOrderNeedTheOverride) {
    // Frames first in the descriptor: pipe 0 would be an IN endpoint.
    PlugCamera(0, {0x82, 0x01, 0x81});
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, nullptr), 1);
    EXPECT_FALSE(Present(Instance(), 0));
    char text[512];
    EXPECT_EQ(KalvexUsb_GetLastEvent(text, sizeof text), KALVEX_USB_BAD_LAYOUT);

    KalvexUsbLayout layout = {0, 0, {0x01, 0x81, 0x82}};
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, &layout), 1);
    int h = Instance();
    ASSERT_TRUE(Present(h, 0));
    Quick(h);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    EXPECT_EQ(Next(KALVEX_WM_FRAME).message, KALVEX_WM_FRAME);
    Kalvex_Close(h);

    // Layouts that cannot be met or named are refused.
    KalvexUsbLayout wrong = {0, 0, {0x81, 0x01, 0x82}};  // pipe 0 must go out
    ASSERT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, &wrong), 1);
    EXPECT_FALSE(Present(Instance(), 0));
    KalvexUsbLayout bad = {0, 0, {0x100, 0, 0}};
    EXPECT_EQ(KalvexUsb_AddDevice(kVendor, kProduct, &bad), 0);
    EXPECT_EQ(KalvexUsb_AddDevice(-1, kProduct, nullptr), 0);
    EXPECT_EQ(KalvexUsb_AddDevice(kVendor, 0x10000, nullptr), 0);
}

}  // namespace
}  // namespace kalvex::usbtest
