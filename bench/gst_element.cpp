// What kalvexsrc costs beside the capture itself, at the camera's 30 frames per
// second: the library's capture loop with a host reading each frame message,
// against the same capture through the element into fakesink. The CPU time
// column gives the cost of one second of frames. Latency, median in
// microseconds from the end of the frame's transfer (its metadata's time):
// end_to_message_us to the frame message reaching the bare host,
// end_to_buffer_us to the buffer leaving the element; their difference is
// the element's share from the frame message on.
#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "gstkalvexsrc.h"
#include "kalvex.h"
#include "kalvex_frame.h"
#include "kalvex_sim.h"

namespace {

constexpr int kFrames = 30;

int64_t UtcNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Setup() {
    static bool done = false;
    if (done) return;
    gst_init(nullptr, nullptr);
    gst_kalvex_register_static();
    done = true;
}

// A host of the library alone: messages read, each raw frame copied out.
void BM_CaptureOnly(benchmark::State &state) {
    Setup();
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    std::vector<uint16_t> raw(640 * 480);
    std::vector<double> latencies;
    for (auto _ : state) {
        KalvexHwnd w = KalvexPosix_CreateWindow();
        int h = Kalvex_Initialize(w);
        Kalvex_SetParam(h, KALVEX_PARAM_ROW_ORDER, 1);
        Kalvex_Preview(h);
        for (int n = 0; n < kFrames;) {
            KalvexMessage m;
            if (KalvexPosix_GetMessage(w, &m, 1000) == 1 && m.message == KALVEX_WM_FRAME) {
                const int64_t now = UtcNs();
                KalvexFrameInfo info{};
                info.size = sizeof info;
                if (KalvexFrame_GetInfo(h, static_cast<uint32_t>(m.lParam), &info) == 1)
                    latencies.push_back(static_cast<double>(now - info.utcNs) / 1000.0);
                Kalvex_GetRaw(h, static_cast<int>(m.lParam), raw.data(), 640 * 480 * 2);
                ++n;
            }
        }
        Kalvex_Release(h);
        KalvexPosix_DestroyWindow(w);
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        state.counters["end_to_message_us_median"] = latencies[latencies.size() / 2];
    KalvexSim_Reset();
}
BENCHMARK(BM_CaptureOnly)->Iterations(3)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

GstPadProbeReturn Probe(GstPad *, GstPadProbeInfo *info, gpointer data) {
    auto *latencies = static_cast<std::vector<double> *>(data);
    GstBuffer *b = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCaps *unix = gst_caps_new_empty_simple("timestamp/x-unix");
    GstReferenceTimestampMeta *m = gst_buffer_get_reference_timestamp_meta(b, unix);
    gst_caps_unref(unix);
    if (m != nullptr)
        latencies->push_back(static_cast<double>(UtcNs() - static_cast<int64_t>(m->timestamp)) /
                             1000.0);
    return GST_PAD_PROBE_OK;
}

void BM_CaptureThroughElement(benchmark::State &state) {
    Setup();
    KalvexSim_Reset();
    std::vector<double> latencies;
    for (auto _ : state) {
        GstElement *pipe =
            gst_parse_launch("kalvexsrc name=src sim=true num-buffers=30 ! fakesink", nullptr);
        GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), "src");
        GstPad *pad = gst_element_get_static_pad(src, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, Probe, &latencies, nullptr);
        gst_object_unref(pad);
        gst_object_unref(src);
        gst_element_set_state(pipe, GST_STATE_PLAYING);
        GstBus *bus = gst_element_get_bus(pipe);
        GstMessage *msg = gst_bus_timed_pop_filtered(
            bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (msg != nullptr) gst_message_unref(msg);
        gst_object_unref(bus);
        gst_element_set_state(pipe, GST_STATE_NULL);
        gst_object_unref(pipe);
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        state.counters["end_to_buffer_us_median"] = latencies[latencies.size() / 2];
    KalvexSim_Reset();
}
BENCHMARK(BM_CaptureThroughElement)
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
