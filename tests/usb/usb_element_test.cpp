// kalvexsrc usb=VID:PID on the emulated bus: the element's frames come through
// the USB driver's URBs, and the driver's failures reach the bus as errors.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kalvex.h"
#include "kalvex_sim.h"
#include "kalvex_usb.h"
#include "usb/usb_emulator.h"

namespace kalvex::usbtest {
namespace {

constexpr int kW = 640, kH = 480;

EmulatedBus *gBus = nullptr;

// The bus exists before libusb starts; only this build's plugin is seen.
class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        gBus = new EmulatedBus;
        g_setenv("GST_PLUGIN_PATH", KALVEX_GST_PLUGIN_DIR, TRUE);
        g_setenv("GST_PLUGIN_SYSTEM_PATH_1_0", KALVEX_TEST_TMPDIR "/no-system-plugins", TRUE);
        g_setenv("GST_REGISTRY_1_0", KALVEX_TEST_TMPDIR "/registry-usb.bin", TRUE);
        g_setenv("GST_REGISTRY_FORK", "no", TRUE);
        gst_init(nullptr, nullptr);
    }
    void TearDown() override {
        gst_deinit();
        KalvexUsb_ClearDevices();
        delete gBus;
        gBus = nullptr;
    }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

class UsbElement : public ::testing::Test {
  protected:
    void SetUp() override { KalvexSim_Reset(); }
    void TearDown() override {
        if (h_ != nullptr) {
            gst_element_set_state(src_, GST_STATE_NULL);
            gst_object_unref(src_);
            gst_object_unref(bus_);
            gst_harness_teardown(h_);
        }
        KalvexUsb_ClearDevices();
        gBus->Clear();
        KalvexSim_Reset();
    }
    void Make(const std::string &props) {
        h_ = gst_harness_new_parse(("kalvexsrc " + props).c_str());
        ASSERT_NE(h_, nullptr);
        src_ = gst_harness_find_element(h_, "kalvexsrc");
        bus_ = gst_bus_new();
        gst_element_set_bus(src_, bus_);
    }
    std::string Error() {
        GstMessage *m = gst_bus_timed_pop_filtered(bus_, 20 * GST_SECOND, GST_MESSAGE_ERROR);
        if (m == nullptr) return "";
        GError *err = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(m, &err, &debug);
        std::string text = std::string(err->message) + " | " + (debug != nullptr ? debug : "");
        g_error_free(err);
        g_free(debug);
        gst_message_unref(m);
        return text;
    }
    GstHarness *h_ = nullptr;
    GstElement *src_ = nullptr;
    GstBus *bus_ = nullptr;
};

TEST_F(UsbElement, RawBuffersAreTheEmulatedCamerasFramesTopRowFirst) {
    // Two cameras on the bus; camera=1 is the second in bus order, simulated camera 1.
    ASSERT_GT(gBus->Plug(0, 0x1209, 0x6a0e), 0);
    const int device = gBus->Plug(1, 0x1209, 0x6a0e);
    ASSERT_GT(device, 0);
    KalvexSim_SetTestPattern(0, 0);
    KalvexSim_SetTestPattern(1, 1);
    Make("usb=1209:6a0e camera=1");
    gst_harness_play(h_);
    std::vector<uint16_t> got(kW * kH);
    for (int i = 0; i < 3; ++i) {
        GstBuffer *b = gst_harness_pull(h_);
        ASSERT_NE(b, nullptr) << Error();
        ASSERT_EQ(gst_buffer_get_size(b), got.size() * 2);
        gst_buffer_extract(b, 0, got.data(), got.size() * 2);
        gst_buffer_unref(b);
        for (int y = 0; y < kH; y += 37)
            for (int x = 0; x < kW; x += 41)
                ASSERT_EQ(got[y * kW + x], KALVEX_SIM_PATTERN(y, x)) << i << ": " << y << "," << x;
    }
    GstCaps *caps = gst_pad_get_current_caps(h_->sinkpad);
    ASSERT_NE(caps, nullptr);
    gchar *text = gst_caps_to_string(caps);
    EXPECT_NE(std::string(text).find("GRAY16_LE"), std::string::npos) << text;
    g_free(text);
    gst_caps_unref(caps);
    // The frames went through the device's frame endpoint, not a simulated path.
    EXPECT_GE(gBus->Submitted(device, 2), 3);

    // Unplugged mid-stream: an error on the bus that says so, and a clean stop.
    gBus->Unplug(device);
    const std::string e = Error();
    EXPECT_NE(e.find("The camera stopped sending frames"), std::string::npos) << e;
    EXPECT_NE(e.find("event 4"), std::string::npos) << e;
    EXPECT_EQ(gst_element_set_state(src_, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

TEST_F(UsbElement, SettingsThatCannotWorkAreErrorsThatSayWhy) {
    ASSERT_GT(gBus->Plug(0, 0x1209, 0x6a0e), 0);
    const struct {
        const char *props, *says;
    } cases[] = {
        {"usb=1209", "usb '1209' is not VID:PID in hexadecimal"},
        {"usb=1209:6a0e sim=true", "usb and sim exclude each other"},
        {"usb=1209:6a0f", "camera 0 does not answer on USB as 1209:6a0f"},
        {"usb=1209:6a0e camera=1", "camera 1 does not answer on USB as 1209:6a0e"},
    };
    for (const auto &c : cases) {
        Make(c.props);
        EXPECT_EQ(gst_element_set_state(src_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE)
            << c.props;
        const std::string e = Error();
        EXPECT_NE(e.find(c.says), std::string::npos) << c.props << ": " << e;
        gst_element_set_state(src_, GST_STATE_NULL);
        gst_object_unref(src_);
        gst_object_unref(bus_);
        gst_harness_teardown(h_);
        h_ = nullptr;
    }
}

}  // namespace
}  // namespace kalvex::usbtest
