// The host side of glass-to-glass over RTSP on loopback: from the end of a
// frame's transfer (its metadata's UTC) to the client's decoded frame, for the
// two mounts of kalvex stream, built here as the program builds them (kalvexsrc
// into an appsink whose frames go to the clients' appsrcs, the same encoder
// and payloader settings) with the client in the same process: rtspsrc with
// latency=0, depayloader, decoder, appsink. The server writes a frame number
// into each frame it sends (the first pixel of the raw counts; 16 black or
// white blocks along the top of the colour frame, which H.264 keeps) so the
// client can look up the frame's time. Counters: median and 90th percentile
// in milliseconds. The CPU of the program itself with four clients is
// measured by bench/stream_cpu.sh.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gstkalvexsrc.h"
#include "kalvex.h"
#include "kalvex_measure.h"
#include "kalvex_sim.h"

namespace {

constexpr int kW = 640, kH = 480;
constexpr int kBits = 16, kBlock = 16;  // the colour frame's number: 16 blocks of 16 x 16
constexpr int kFrames = 90;             // received per measurement
constexpr int kSkip = 15;               // the first frames: connection and decoder start

int64_t UtcNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Server {
    bool raw = false;
    GstElement *src = nullptr;
    KalvexColorOptions colour{};
    std::mutex lock;
    GstElement *client = nullptr;      // the one media's appsrc
    std::map<unsigned, int64_t> sent;  // frame number -> transfer end (UTC)
    unsigned next = 1;
};

void MarkColour(uint8_t *rgb, unsigned number) {
    for (int bit = 0; bit < kBits; ++bit) {
        const uint8_t v = (number >> bit) & 1u ? 255 : 0;
        for (int y = 0; y < kBlock; ++y)
            std::memset(rgb + (y * kW + bit * kBlock) * 3, v, kBlock * 3);
    }
}

unsigned ReadColour(const uint8_t *i420) {  // the decoder's luma plane
    unsigned number = 0;
    for (int bit = 0; bit < kBits; ++bit)
        if (i420[(kBlock / 2) * kW + bit * kBlock + kBlock / 2] > 128) number |= 1u << bit;
    return number;
}

GstFlowReturn OnCapture(GstAppSink *sink, gpointer data) {
    auto *s = static_cast<Server *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_EOS;
    GstBuffer *raw = gst_sample_get_buffer(sample);
    GstCaps *unix = gst_caps_new_empty_simple("timestamp/x-unix");
    GstReferenceTimestampMeta *utc = gst_buffer_get_reference_timestamp_meta(raw, unix);
    gst_caps_unref(unix);
    std::lock_guard guard(s->lock);
    if (s->client != nullptr && utc != nullptr) {
        const unsigned number = s->next++ & 0xffffu;
        s->sent[number] = static_cast<int64_t>(utc->timestamp);
        GstBuffer *out = nullptr;
        if (s->raw) {
            out = gst_buffer_copy_deep(raw);
            const uint16_t first = static_cast<uint16_t>(number);
            gst_buffer_fill(out, 0, &first, sizeof first);
        } else {
            unsigned id = 0;
            GstCustomMeta *meta = gst_buffer_get_custom_meta(raw, GST_KALVEX_FRAME_META_NAME);
            if (meta != nullptr)
                gst_structure_get_uint(gst_custom_meta_get_structure(meta), "frame-id", &id);
            int handle = 0;
            g_object_get(s->src, "handle", &handle, nullptr);
            out = gst_buffer_new_allocate(nullptr, kW * kH * 3, nullptr);
            GstMapInfo map;
            gst_buffer_map(out, &map, GST_MAP_WRITE);
            KalvexMeasure_Colorize(handle, id, &s->colour, map.data, kW * kH * 3, nullptr);
            MarkColour(map.data, number);
            gst_buffer_unmap(out, &map);
        }
        GST_BUFFER_PTS(out) = GST_BUFFER_DTS(out) = GST_CLOCK_TIME_NONE;
        gst_app_src_push_buffer(GST_APP_SRC(s->client), out);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void OnMediaConfigure(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer data) {
    auto *s = static_cast<Server *>(data);
    GstElement *bin = gst_rtsp_media_get_element(media);
    std::lock_guard guard(s->lock);
    s->client = gst_bin_get_by_name(GST_BIN(bin), "feed");
    gst_object_unref(bin);
}

struct Client {
    Server *server;
    std::vector<double> ms;
    int seen = 0;
    GMainLoop *loop;
};

GstFlowReturn OnDecoded(GstAppSink *sink, gpointer data) {
    auto *c = static_cast<Client *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_EOS;
    const int64_t now = UtcNs();
    GstMapInfo map;
    GstBuffer *b = gst_sample_get_buffer(sample);
    if (gst_buffer_map(b, &map, GST_MAP_READ)) {
        unsigned number = 0;
        if (c->server->raw) {
            uint16_t first = 0;
            std::memcpy(&first, map.data, sizeof first);
            number = first;
        } else {
            number = ReadColour(map.data);
        }
        gst_buffer_unmap(b, &map);
        std::lock_guard guard(c->server->lock);
        auto it = c->server->sent.find(number);
        if (it != c->server->sent.end() && ++c->seen > kSkip)
            c->ms.push_back(static_cast<double>(now - it->second) / 1e6);
    }
    gst_sample_unref(sample);
    if (static_cast<int>(c->ms.size()) >= kFrames) g_main_loop_quit(c->loop);
    return GST_FLOW_OK;
}

gboolean GiveUp(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

void BM_FrameToClientDecoded(benchmark::State &state) {
    static bool ready = false;
    if (!ready) {
        gst_init(nullptr, nullptr);
        gst_kalvex_register_static();
        ready = true;
    }
    KalvexSim_Reset();
    Server server;
    server.raw = state.range(0) == 1;
    KalvexMeasure_DefaultColorOptions(&server.colour);
    server.colour.rgb = 1;
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);

    GstElement *capture = gst_parse_launch(
        "kalvexsrc name=src sim=true sim-scene=\"--spot 320,240,60,37 --noise 20\" ! "
        "appsink name=sink sync=false max-buffers=2 drop=true",
        nullptr);
    server.src = gst_bin_get_by_name(GST_BIN(capture), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(capture), "sink");
    GstAppSinkCallbacks cb{};
    cb.new_sample = OnCapture;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &cb, &server, nullptr);
    gst_object_unref(sink);
    gst_element_set_state(capture, GST_STATE_PLAYING);

    GstRTSPServer *rtsp = gst_rtsp_server_new();
    gst_rtsp_server_set_address(rtsp, "127.0.0.1");
    gst_rtsp_server_set_service(rtsp, "0");
    GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(
        factory,
        server.raw ? "( appsrc name=feed is-live=true do-timestamp=true format=time max-buffers=2 "
                     "leaky-type=downstream "
                     "caps=video/x-raw,format=GRAY16_LE,width=640,height=480,framerate=0/1 ! "
                     "rtpgstpay name=pay0 pt=96 config-interval=1 )"
                   : "( appsrc name=feed is-live=true do-timestamp=true format=time max-buffers=2 "
                     "leaky-type=downstream "
                     "caps=video/x-raw,format=RGB,width=640,height=480,framerate=0/1 ! "
                     "videoconvert ! video/x-raw,format=I420 ! x264enc tune=zerolatency "
                     "speed-preset=ultrafast key-int-max=30 ! rtph264pay name=pay0 pt=96 "
                     "config-interval=1 )");
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure), &server);
    GstRTSPMountPoints *points = gst_rtsp_server_get_mount_points(rtsp);
    gst_rtsp_mount_points_add_factory(points, "/camera0", factory);
    g_object_unref(points);
    const guint attached = gst_rtsp_server_attach(rtsp, nullptr);
    const std::string url =
        "rtsp://127.0.0.1:" + std::to_string(gst_rtsp_server_get_bound_port(rtsp)) + "/camera0";

    std::vector<double> all;
    for (auto _ : state) {
        Client client{&server, {}, 0, loop};
        const std::string launch =
            "rtspsrc location=" + url + " latency=0 protocols=tcp ! " +
            (server.raw ? "rtpgstdepay ! video/x-raw,format=GRAY16_LE,width=640,height=480"
                        : "rtph264depay ! avdec_h264 ! video/x-raw,format=I420") +
            " ! appsink name=out sync=false";
        GstElement *pipe = gst_parse_launch(launch.c_str(), nullptr);
        GstElement *out = gst_bin_get_by_name(GST_BIN(pipe), "out");
        GstAppSinkCallbacks ccb{};
        ccb.new_sample = OnDecoded;
        gst_app_sink_set_callbacks(GST_APP_SINK(out), &ccb, &client, nullptr);
        gst_object_unref(out);
        gst_element_set_state(pipe, GST_STATE_PLAYING);
        const guint timeout = g_timeout_add_seconds(60, GiveUp, loop);
        g_main_loop_run(loop);
        g_source_remove(timeout);
        gst_element_set_state(pipe, GST_STATE_NULL);
        gst_object_unref(pipe);
        if (client.ms.empty()) state.SkipWithError("the client decoded no marked frame");
        all.insert(all.end(), client.ms.begin(), client.ms.end());
        std::lock_guard guard(server.lock);
        if (server.client != nullptr) gst_object_unref(server.client);
        server.client = nullptr;
    }
    std::sort(all.begin(), all.end());
    if (!all.empty()) {
        state.counters["frame_to_decoded_ms_median"] = all[all.size() / 2];
        state.counters["frame_to_decoded_ms_p90"] = all[all.size() * 9 / 10];
    }
    g_source_remove(attached);
    gst_element_set_state(capture, GST_STATE_NULL);
    gst_object_unref(server.src);
    gst_object_unref(capture);
    gst_object_unref(rtsp);
    g_main_loop_unref(loop);
    KalvexSim_Reset();
}
// 0: the H.264 mount, 1: the raw mount.
BENCHMARK(BM_FrameToClientDecoded)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
