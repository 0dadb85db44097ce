// kalvexsrc in process: through GstHarness for what the buffers hold, through
// small pipelines for what reaches the bus. The simulated camera is plugged by
// the tests (the element then leaves it plugged) so that they can step its
// frames: a stalled frame request holds the ring still until released.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kalvex.h"
#include "kalvex_frame.h"
#include "kalvex_measure.h"
#include "kalvex_sequence.h"
#include "kalvex_sim.h"

namespace {

constexpr int kW = 640, kH = 480;
constexpr int kStepMs = 10000;  // bound on one simulated frame: never hangs

class GstEnvironment : public ::testing::Environment {
  public:
    // Only this build's plugin, in a registry of the tests' own, scanned in
    // process: a sanitized plugin cannot be loaded by the system's scanner.
    void SetUp() override {
        g_setenv("GST_PLUGIN_PATH", KALVEX_GST_PLUGIN_DIR, TRUE);
        g_setenv("GST_PLUGIN_SYSTEM_PATH_1_0", KALVEX_TEST_TMPDIR "/no-system-plugins", TRUE);
        g_setenv("GST_REGISTRY_1_0", KALVEX_TEST_TMPDIR "/registry-element.bin", TRUE);
        g_setenv("GST_REGISTRY_FORK", "no", TRUE);
        gst_init(nullptr, nullptr);
    }
    void TearDown() override { gst_deinit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

class KalvexSrc : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
    }
    void TearDown() override {
        if (h_ != nullptr) gst_harness_teardown(h_);
        KalvexSim_Reset();
    }

    // The element on camera 0, frames held back by a stall that Step releases
    // one by one.
    void Start(const std::string &props, bool stepped = true) {
        if (stepped)
            KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
        h_ = gst_harness_new_parse(("kalvexsrc " + props).c_str());
        ASSERT_NE(h_, nullptr);
        src_ = gst_harness_find_element(h_, "kalvexsrc");
        gst_object_unref(src_);  // the harness holds it
        gst_harness_play(h_);
        g_object_get(src_, "handle", &handle_, nullptr);
        ASSERT_NE(handle_, 0);
        // No hold after the table's NUC: every stepped frame is published
        // (the hold is read at each frame, and none has been served yet).
        Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
    }
    static long Served() {
        KalvexSimCounters c{};
        KalvexSim_GetCounters(0, &c);
        return c.framesServed;
    }
    // Lets one frame through at a time, each served before the next is let go.
    void Step(int frames = 1) {
        for (int i = 0; i < frames; ++i) {
            ASSERT_EQ(KalvexSim_WaitStalled(0, 1, kStepMs), 1);
            const long served = Served();
            KalvexSim_ReleaseStalls(0);
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepMs);
            while (Served() == served) {
                ASSERT_LT(std::chrono::steady_clock::now(), end) << "frame " << i << " not served";
                std::this_thread::yield();
            }
        }
        ASSERT_EQ(KalvexSim_WaitStalled(0, 1, kStepMs), 1);
    }
    GstBuffer *Next() {
        Step();
        return gst_harness_pull(h_);
    }
    static GstStructure *Meta(GstBuffer *b) {
        GstCustomMeta *m = gst_buffer_get_custom_meta(b, "KalvexFrameMeta");
        return m != nullptr ? gst_custom_meta_get_structure(m) : nullptr;
    }
    static unsigned FrameId(GstBuffer *b) {
        unsigned id = 0;
        GstStructure *s = Meta(b);
        if (s != nullptr) gst_structure_get_uint(s, "frame-id", &id);
        return id;
    }
    std::string CapsString() {
        GstCaps *caps = gst_pad_get_current_caps(h_->sinkpad);
        if (caps == nullptr) return "";
        gchar *text = gst_caps_to_string(caps);
        std::string s = text;
        g_free(text);
        gst_caps_unref(caps);
        return s;
    }

    GstHarness *h_ = nullptr;
    GstElement *src_ = nullptr;
    int handle_ = 0;
};

TEST_F(KalvexSrc, RawBuffersAreTheLibrarysFramesTopRowFirst) {
    KalvexSim_SetTestPattern(0, 1);
    Start("sim=true sim-scene=\"--fps 15\"");
    GstBuffer *b = Next();
    EXPECT_NE(CapsString().find("format=(string)GRAY16_LE"), std::string::npos) << CapsString();
    EXPECT_NE(CapsString().find("width=(int)640, height=(int)480, framerate=(fraction)15/1"),
              std::string::npos)
        << CapsString();
    ASSERT_EQ(gst_buffer_get_size(b), static_cast<size_t>(kW * kH * 2));
    std::vector<uint16_t> got(kW * kH), lib(kW * kH);
    gst_buffer_extract(b, 0, got.data(), got.size() * 2);
    // Sensor line 0 (the top of the scene) first, every sample in place.
    for (int y = 0; y < kH; y += 53)
        for (int x = 0; x < kW; x += 71)
            ASSERT_EQ(got[y * kW + x], KALVEX_SIM_PATTERN(y, x)) << y << "," << x;
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(FrameId(b)), lib.data(), kW * kH * 2), 1)
        << FrameId(b) << " newest " << Kalvex_GetNewID(handle_) << " code "
        << Kalvex_GetLastError(handle_);
    EXPECT_EQ(got, lib);
    gst_buffer_unref(b);

    // Noisy frames differ from one another: each buffer is its own frame.
    KalvexSim_SetTestPattern(0, 0);
    KalvexSim_SetTemporalNoise(0, 40, 7);
    for (int i = 0; i < 2; ++i) {
        b = Next();
        gst_buffer_extract(b, 0, got.data(), got.size() * 2);
        ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(FrameId(b)), lib.data(), kW * kH * 2), 1);
        EXPECT_EQ(got, lib) << "buffer " << i;
        gst_buffer_unref(b);
    }
}

TEST_F(KalvexSrc, TemperatureBuffersAreCentiKelvin) {
    const std::string table = std::string(KALVEX_TEST_TMPDIR) + "/element-table.bin";
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 512, -20.0, 120.0), 1);
    // A hot disc beyond the table reads "no temperature".
    Start("output=temperature table=" + table +
          " sim=true sim-scene=\"--spot 320,240,40,37 --spot 40,40,10,300 --noise 10\"");
    GstBuffer *b = Next();
    ASSERT_EQ(gst_buffer_get_size(b), static_cast<size_t>(kW * kH * 2));
    std::vector<uint16_t> ck(kW * kH);
    std::vector<float> celsius(kW * kH);
    gst_buffer_extract(b, 0, ck.data(), ck.size() * 2);
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    ASSERT_EQ(
        Kalvex_GetTemperature(handle_, static_cast<int>(FrameId(b)), celsius.data(), kW * kH * 4),
        1);
    int none = 0;
    for (int i = 0; i < kW * kH; ++i) {
        if (celsius[i] == -999.0f) {
            ASSERT_EQ(ck[i], 0) << i;
            ++none;
            continue;
        }
        ASSERT_LE(std::fabs(ck[i] - (celsius[i] + 273.15) * 100.0), 0.5 + 1e-6) << i;
    }
    EXPECT_GT(none, 0);
    EXPECT_NEAR(ck[240 * kW + 320], 31015, 30);  // 37 degrees, noise aside
    gst_buffer_unref(b);
}

TEST_F(KalvexSrc, ColourIsTheLibrarysMapUprightAsRgb) {
    Start("output=color sim=true sim-scene=\"--spot 320,100,30,60\"");
    gst_buffer_unref(Next());  // the colour range follows the frame before
    GstBuffer *b = Next();
    EXPECT_NE(CapsString().find("format=(string)RGB"), std::string::npos) << CapsString();
    std::vector<uint8_t> rgb(kW * kH * 3), bgr(kW * kH * 3);
    gst_buffer_extract(b, 0, rgb.data(), rgb.size());
    ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(FrameId(b)), bgr.data(),
                              static_cast<int>(bgr.size())),
              1);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        ASSERT_EQ(rgb[i], bgr[i + 2]) << i;
        ASSERT_EQ(rgb[i + 1], bgr[i + 1]) << i;
        ASSERT_EQ(rgb[i + 2], bgr[i]) << i;
    }
    // The spot in the upper half of the scene is in the upper half of the buffer.
    EXPECT_NE(std::memcmp(&rgb[(100 * kW + 320) * 3], &rgb[(380 * kW + 320) * 3], 3), 0);
    gst_buffer_unref(b);
}

TEST_F(KalvexSrc, AnotherPaletteIsTheLibrarysColouringOfTheFrame) {
    Start("output=color palette=ironbow agc=plateau sim=true sim-scene=\"--spot 320,100,30,60\"");
    GstBuffer *b = Next();
    std::vector<uint8_t> got(kW * kH * 3), want(kW * kH * 3), hue(kW * kH * 3);
    gst_buffer_extract(b, 0, got.data(), got.size());
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    o.palette = KALVEX_PALETTE_IRONBOW;
    o.agc = KALVEX_AGC_PLATEAU;
    o.rgb = 1;
    ASSERT_EQ(KalvexMeasure_Colorize(handle_, FrameId(b), &o, want.data(),
                                     static_cast<int32_t>(want.size()), nullptr),
              1);
    EXPECT_EQ(got, want);
    o.palette = KALVEX_PALETTE_HUE;
    ASSERT_EQ(KalvexMeasure_Colorize(handle_, FrameId(b), &o, hue.data(),
                                     static_cast<int32_t>(hue.size()), nullptr),
              1);
    EXPECT_NE(got, hue);  // the palette was applied, not the default
    gst_buffer_unref(b);
}

TEST_F(KalvexSrc, OffsetsTimesAndDiscontinuities) {
    Start("sim=true");
    gst_harness_set_blocking_push_mode(h_);
    GstBuffer *prev = Next();
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(prev, GST_BUFFER_FLAG_DISCONT));  // the first
    ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(prev));
    EXPECT_EQ(GST_BUFFER_DURATION(prev), GST_SECOND / 30);
    for (int i = 0; i < 3; ++i) {
        GstBuffer *b = Next();
        EXPECT_EQ(GST_BUFFER_OFFSET(b), GST_BUFFER_OFFSET(prev) + 1);
        EXPECT_EQ(GST_BUFFER_OFFSET_END(b), GST_BUFFER_OFFSET(b) + 1);
        EXPECT_GT(GST_BUFFER_PTS(b), GST_BUFFER_PTS(prev));
        EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT));
        gst_buffer_unref(prev);
        prev = b;
    }
    // The element is held in its push while the ring goes round more than
    // once: the frames it missed are a gap that the next buffer marks.
    Step(45);
    bool gap = false;
    for (int i = 0; i < 2; ++i) {
        GstBuffer *b = gst_harness_pull(h_);
        ASSERT_NE(b, nullptr);
        const bool jumped = GST_BUFFER_OFFSET(b) != GST_BUFFER_OFFSET(prev) + 1;
        EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT), jumped) << i;
        EXPECT_GT(GST_BUFFER_PTS(b), GST_BUFFER_PTS(prev));
        gap = gap || jumped;
        gst_buffer_unref(prev);
        prev = b;
    }
    EXPECT_TRUE(gap);
    gst_buffer_unref(prev);
}

TEST_F(KalvexSrc, MetadataTravelsWithTheBuffer) {
    Start("sim=true");
    const int64_t before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    GstBuffer *b = Next();
    // Downstream copies keep it (metas without tags survive transforms).
    GstBuffer *copy = gst_buffer_copy(b);
    GstStructure *s = Meta(copy);
    ASSERT_NE(s, nullptr);
    unsigned id = 0, seq = 0;
    ASSERT_TRUE(gst_structure_get_uint(s, "frame-id", &id));
    ASSERT_TRUE(gst_structure_get_uint(s, "sequence", &seq));
    EXPECT_EQ(static_cast<int>(id), Kalvex_GetNewID(handle_));
    EXPECT_EQ(seq, GST_BUFFER_OFFSET(b));
    // The library's metadata of that frame, field for field.
    KalvexFrameInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(KalvexFrame_GetInfo(handle_, id, &info), 1);
    unsigned cameraFrame = 0, crc = 1;
    EXPECT_EQ(seq, info.sequence);
    EXPECT_TRUE(gst_structure_get_uint(s, "camera-frame", &cameraFrame));
    EXPECT_EQ(cameraFrame, info.cameraFrame);
    EXPECT_TRUE(gst_structure_get_uint(s, "table-crc", &crc));
    EXPECT_EQ(crc, info.tableCrc);
    GstCaps *unix = gst_caps_new_empty_simple("timestamp/x-unix");
    GstReferenceTimestampMeta *utc = gst_buffer_get_reference_timestamp_meta(copy, unix);
    gst_caps_unref(unix);
    ASSERT_NE(utc, nullptr);
    EXPECT_EQ(static_cast<int64_t>(utc->timestamp), info.utcNs);
    EXPECT_GE(static_cast<int64_t>(utc->timestamp), before - 1000000000LL);
    EXPECT_LE(static_cast<int64_t>(utc->timestamp), before + 60 * 1000000000LL);
    gst_buffer_unref(copy);
    gst_buffer_unref(b);
}

// What reaches the bus: the element in a harness, with a bus of its own.
class KalvexSrcBus : public ::testing::Test {
  protected:
    void SetUp() override { KalvexSim_Reset(); }
    void TearDown() override {
        Drop();
        KalvexSim_Reset();
    }
    void Make(const std::string &props) {
        Drop();
        h_ = gst_harness_new_parse(("kalvexsrc " + props).c_str());
        ASSERT_NE(h_, nullptr);
        src_ = gst_harness_find_element(h_, "kalvexsrc");
        bus_ = gst_bus_new();
        gst_element_set_bus(src_, bus_);
    }
    void Drop() {
        if (h_ == nullptr) return;
        gst_element_set_state(src_, GST_STATE_NULL);
        gst_object_unref(src_);
        gst_object_unref(bus_);
        gst_harness_teardown(h_);
        h_ = nullptr;
    }
    GstStateChangeReturn Set(GstState state) { return gst_element_set_state(src_, state); }
    // The error on the bus within the bound, as "message | debug".
    std::string Error(GstClockTime bound = 10 * GST_SECOND) {
        GstMessage *m = gst_bus_timed_pop_filtered(bus_, bound, GST_MESSAGE_ERROR);
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

TEST_F(KalvexSrcBus, FailuresToStartAreErrorsThatSayWhy) {
    Make("camera=3");
    EXPECT_EQ(Set(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(Error().find("camera 3 is not connected"), std::string::npos);

    Make("sim=true table=/nonexistent/table.bin");
    EXPECT_EQ(Set(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    std::string e = Error();
    EXPECT_NE(e.find("Bad calibration table"), std::string::npos) << e;
    EXPECT_NE(e.find("No such file"), std::string::npos) << e;

    Make("sim=true sim-scene=\"--spot 1,2\"");
    EXPECT_EQ(Set(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(Error().find("--spot needs 4 comma-separated numbers"), std::string::npos);

    Make("replay=/nonexistent/run.tiff");
    EXPECT_EQ(Set(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    e = Error();
    EXPECT_NE(e.find("Cannot replay the recording"), std::string::npos) << e;
    EXPECT_NE(e.find("the file cannot be read"), std::string::npos) << e;
    // The element plugged nothing that it did not unplug again.
    EXPECT_EQ(KalvexSim_IsPlugged(0), 0);
}

TEST_F(KalvexSrcBus, UnplugMidStreamIsAnErrorNotAHang) {
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
    Make("sim=true");
    ASSERT_NE(Set(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, kStepMs), 1);  // a frame transfer in flight
    const auto t0 = std::chrono::steady_clock::now();
    KalvexSim_Unplug(0);
    std::string e = Error();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(e.find("The camera stopped sending frames"), std::string::npos) << e;
    EXPECT_NE(e.find("event 4"), std::string::npos) << e;
    RecordProperty("seconds_to_error", std::to_string(s));
    // And the pipeline goes down cleanly after it.
    EXPECT_EQ(Set(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    KalvexSimCounters c{};
    KalvexSim_GetCounters(0, &c);
    EXPECT_EQ(c.openHandles, 0);
}

// A recording played back: every buffer is the recorded frame, in order, the
// recording's own table is in effect, and its end is the stream's end.
TEST_F(KalvexSrcBus, ReplayGivesTheRecordedFramesThenEndOfStream) {
    const std::string table = std::string(KALVEX_TEST_TMPDIR) + "/replay-table.bin";
    const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/replay.tiff";
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 150.0), 1);
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    KalvexSim_SetTemporalNoise(0, 40, 7);  // every recorded frame differs
    KalvexSim_AddSpot(0, 320, 100, 40, 60.0);
    KalvexHwnd w = KalvexPosix_CreateWindow();
    const int h = Kalvex_Initialize(w);
    ASSERT_EQ(Kalvex_SetTableA(h, table.c_str()), 1);
    Kalvex_SetParam(h, KALVEX_PARAM_NUC_HOLD, 0);
    Kalvex_SetParam(h, KALVEX_PARAM_ROW_ORDER, 1);
    ASSERT_EQ(Kalvex_Preview(h), 1);
    ASSERT_EQ(KalvexSeq_RecordA(h, path.c_str(), KALVEX_SEQ_DEFLATE), 1);
    auto frames = [&](int n) {
        for (KalvexMessage m; n > 0 && KalvexPosix_GetMessage(w, &m, kStepMs) == 1;)
            if (m.message == KALVEX_WM_FRAME) --n;
    };
    frames(8);
    ASSERT_EQ(Kalvex_RecW(h, nullptr, 0), 1);
    frames(2);  // the capture loop closes the file with a later frame
    Kalvex_Release(h);
    KalvexPosix_DestroyWindow(w);
    KalvexSim_Reset();

    const int seq = KalvexSeq_OpenA(path.c_str());
    ASSERT_GT(seq, 0);
    const int count = KalvexSeq_Count(seq);
    ASSERT_GE(count, 2);
    std::vector<std::vector<uint16_t>> recorded(count, std::vector<uint16_t>(kW * kH));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(KalvexSeq_ReadRaw(seq, i, recorded[i].data(), kW * kH * 2), 1);
    KalvexFrameInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(KalvexSeq_GetInfo(seq, 0, &info), 1);
    KalvexSeq_Close(seq);
    ASSERT_NE(recorded[0], recorded[1]);
    std::remove(table.c_str());  // the element brings the recording's own

    Make("replay=" + path + " replay-rate=60");
    gst_harness_play(h_);
    std::vector<uint16_t> got(kW * kH);
    for (int i = 0; i < count; ++i) {
        GstBuffer *b = gst_harness_pull(h_);
        ASSERT_NE(b, nullptr) << i << ": " << Error(0);
        gst_buffer_extract(b, 0, got.data(), got.size() * 2);
        EXPECT_EQ(got, recorded[i]) << "frame " << i;
        unsigned crc = 0;
        GstCustomMeta *m = gst_buffer_get_custom_meta(b, "KalvexFrameMeta");
        ASSERT_NE(m, nullptr);
        gst_structure_get_uint(gst_custom_meta_get_structure(m), "table-crc", &crc);
        EXPECT_EQ(crc, info.tableCrc) << i;
        gst_buffer_unref(b);
    }
    bool eos = false;
    for (GstEvent *e; !eos && (e = gst_harness_pull_event(h_)) != nullptr; gst_event_unref(e))
        eos = GST_EVENT_TYPE(e) == GST_EVENT_EOS;
    EXPECT_TRUE(eos);
    EXPECT_EQ(gst_harness_buffers_in_queue(h_), 0u);
    ASSERT_EQ(Set(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    KalvexSimReplayState replay{};
    KalvexSim_GetReplayState(0, &replay);
    EXPECT_EQ(replay.active, 0);  // the element's replay ended with it
    EXPECT_EQ(KalvexSim_IsPlugged(0), 0);
}

TEST_F(KalvexSrcBus, RepeatedStateChangesReleaseEverything) {
    Make("sim=true");
    for (int i = 0; i < 100; ++i) {
        gst_harness_play(h_);
        if (i % 4 == 0) {  // now and then after a frame has gone out
            GstBuffer *b = gst_harness_pull(h_);
            ASSERT_NE(b, nullptr) << i;
            gst_buffer_unref(b);
        }
        ASSERT_EQ(Set(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS) << i;
        ASSERT_EQ(KalvexSim_IsPlugged(0), 0) << i;
    }
    KalvexSimCounters c{};
    KalvexSim_GetCounters(0, &c);
    EXPECT_EQ(c.openHandles, 0);
    EXPECT_GE(c.opens, 100);
}

}  // namespace
