// kalvex stream: each camera over RTSP. One capture per camera (kalvexsrc,
// raw counts, into an appsink) feeds every client of both of its mounts:
//   /cameraN      H.264 of the colour-mapped frames, tuned for low latency
//   /cameraN/raw  the 14-bit counts, lossless (RTP payload for GStreamer clients)
// It binds 127.0.0.1 unless told otherwise; any other address needs the
// credentials it generates and prints.
#include <glib-unix.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gstkalvexsrc.h"
#include "kalvex.h"
#include "kalvex_measure.h"
#include "measure_options.h"
#include "sim_scene.h"

namespace kalvex_tool {
namespace {

constexpr int kFrameBytesRgb = 640 * 480 * 3;

// One camera's capture and the sources of the clients' media it feeds.
struct Feed {
    int camera = 0;
    GstElement *pipeline = nullptr;
    GstElement *src = nullptr;
    KalvexColorOptions colour{};
    std::mutex lock;
    std::vector<GstElement *> colourSinks, rawSinks;  // appsrcs of the media (refs held)
    std::string error;
};

bool IsLoopback(const std::string &address) {
    return address == "127.0.0.1" || address == "::1" || address == "localhost" ||
           address.rfind("127.", 0) == 0;
}

std::string NewPassword() {
    std::ifstream random("/dev/urandom", std::ios::binary);
    unsigned char bytes[12] = {};
    random.read(reinterpret_cast<char *>(bytes), sizeof bytes);
    if (!random) throw Failure("cannot read /dev/urandom for the credentials", 0);
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

// A sample of the capture: its raw counts and, coloured by the library, its
// colour frame go to every client source.
GstFlowReturn OnSample(GstAppSink *sink, gpointer data) {
    Feed *feed = static_cast<Feed *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_EOS;
    GstBuffer *raw = gst_sample_get_buffer(sample);
    std::vector<GstElement *> colour, rawSinks;
    {
        std::lock_guard guard(feed->lock);
        for (GstElement *e : feed->colourSinks) colour.push_back(GST_ELEMENT(gst_object_ref(e)));
        for (GstElement *e : feed->rawSinks) rawSinks.push_back(GST_ELEMENT(gst_object_ref(e)));
    }
    for (GstElement *e : rawSinks) {
        // The clients' pipelines stamp with their own clocks.
        GstBuffer *b = gst_buffer_copy(raw);
        GST_BUFFER_PTS(b) = GST_BUFFER_DTS(b) = GST_CLOCK_TIME_NONE;
        gst_app_src_push_buffer(GST_APP_SRC(e), b);
        gst_object_unref(e);
    }
    if (!colour.empty()) {
        unsigned id = 0;
        GstCustomMeta *meta = gst_buffer_get_custom_meta(raw, GST_KALVEX_FRAME_META_NAME);
        if (meta != nullptr)
            gst_structure_get_uint(gst_custom_meta_get_structure(meta), "frame-id", &id);
        int handle = 0;
        g_object_get(feed->src, "handle", &handle, nullptr);
        GstBuffer *rgb = gst_buffer_new_allocate(nullptr, kFrameBytesRgb, nullptr);
        GstMapInfo map;
        bool ok = false;
        if (gst_buffer_map(rgb, &map, GST_MAP_WRITE)) {
            ok = KalvexMeasure_Colorize(handle, id, &feed->colour, map.data, kFrameBytesRgb,
                                        nullptr) == 1;
            gst_buffer_unmap(rgb, &map);
        }
        for (GstElement *e : colour) {
            if (ok) gst_app_src_push_buffer(GST_APP_SRC(e), gst_buffer_ref(rgb));
            gst_object_unref(e);
        }
        gst_buffer_unref(rgb);
        if (!ok)
            while (Kalvex_GetLastError(handle) != 0) {
            }  // a frame that left the ring: the next one follows
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

struct MountData {
    Feed *feed;
    bool raw;
};

void OnUnprepared(GstRTSPMedia *, gpointer data) {
    auto *pair = static_cast<std::pair<MountData *, GstElement *> *>(data);
    Feed *feed = pair->first->feed;
    {
        std::lock_guard guard(feed->lock);
        auto &list = pair->first->raw ? feed->rawSinks : feed->colourSinks;
        list.erase(std::remove(list.begin(), list.end(), pair->second), list.end());
    }
    gst_object_unref(pair->second);
    delete pair;
}

void OnMediaConfigure(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer data) {
    auto *mount = static_cast<MountData *>(data);
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name(GST_BIN(bin), "feed");
    gst_object_unref(bin);
    if (appsrc == nullptr) return;
    {
        std::lock_guard guard(mount->feed->lock);
        (mount->raw ? mount->feed->rawSinks : mount->feed->colourSinks).push_back(appsrc);
    }
    auto *pair = new std::pair<MountData *, GstElement *>(mount, appsrc);
    g_signal_connect(media, "unprepared", G_CALLBACK(OnUnprepared), pair);
}

gboolean OnCaptureBus(GstBus *, GstMessage *message, gpointer data) {
    auto *loop = static_cast<GMainLoop *>(data);
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        // Only a replay without --loop ends: the server ends with it.
        std::fprintf(stderr, "kalvex stream: the recording has been played\n");
        g_main_loop_quit(loop);
        return TRUE;
    }
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return TRUE;
    GError *err = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(message, &err, &debug);
    std::fprintf(stderr, "kalvex stream: %s (%s)\n", err->message, debug != nullptr ? debug : "");
    g_error_free(err);
    g_free(debug);
    g_main_loop_quit(loop);
    return TRUE;
}

gboolean Quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int RunStream(const Args &args) {
    std::vector<int> cameras;
    bool sim = false;
    std::string usb;  // VID:PID, checked by the option
    std::string replay;
    double replayRate = 0;
    bool replayLoop = false;
    std::string table, listen = "127.0.0.1", paletteName = "hue";
    int port = 8554;
    double seconds = 0;
    std::optional<double> emissivity, reflected, transmission;
    SimScene scene;
    std::vector<Option> options = {
        {"--camera", "N", "serve camera N (repeatable; default 0)",
         [&](const std::string &v) { cameras.push_back(ParseInt(v, "--camera", 0, 7)); }},
        {"--sim", "", "use the simulated camera",
         [&](const std::string &) {
             if (!usb.empty()) throw UsageError("--sim and --usb exclude each other");
             sim = true;
         }},
        {"--usb", "VID:PID", "cameras on USB with these hexadecimal ids (kalvex usb lists them)",
         [&](const std::string &v) {
             if (sim || !replay.empty())
                 throw UsageError(std::string(sim ? "--sim" : "--replay") +
                                  " and --usb exclude each other");
             int vendor = 0, product = 0;
             if (!ParseUsbIdPair(v, &vendor, &product))
                 throw UsageError("--usb needs VID:PID in hexadecimal (such as 1209:6a0e), not '" +
                                  v + "'");
             usb = v;
         }},
        {"--replay", "FILE",
         "the simulated camera plays a recorded sequence (--record seq); without --table its "
         "own table is loaded",
         [&](const std::string &v) {
             if (v.empty()) throw UsageError("--replay needs a file name");
             if (!usb.empty()) throw UsageError("--replay and --usb exclude each other");
             replay = v;
         }},
        {"--replay-rate", "HZ", "replay at this frame rate (default 0: the recorded pace)",
         [&](const std::string &v) { replayRate = ParseDouble(v, "--replay-rate", 0, 1000); }},
        {"--loop", "", "replay the recording over and over (else the mounts end with it)",
         [&](const std::string &) { replayLoop = true; }},
        {"--table", "FILE", "load a temperature table", [&](const std::string &v) { table = v; }},
        {"--palette", "NAME", "colour palette of the H.264 mount (default hue)",
         [&](const std::string &v) {
             ParsePalette(v, "--palette");
             paletteName = v;
         }},
        {"--emissivity", "E", "object emissivity (default 1)",
         [&](const std::string &v) { emissivity = ParseDouble(v, "--emissivity", 0.01, 1); }},
        {"--reflected", "CELSIUS", "reflected apparent temperature (default 22)",
         [&](const std::string &v) { reflected = ParseDouble(v, "--reflected", -60, 2100); }},
        {"--transmission", "TAU", "transmission of the path (default 1)",
         [&](const std::string &v) { transmission = ParseDouble(v, "--transmission", 0.01, 1); }},
        {"--listen", "ADDRESS", "address to bind (default 127.0.0.1; others need credentials)",
         [&](const std::string &v) { listen = v; }},
        {"--port", "PORT", "RTSP port (default 8554; 0: any free one)",
         [&](const std::string &v) { port = ParseInt(v, "--port", 0, 65535); }},
        {"--seconds", "S", "stop after S seconds (default: at Ctrl-C)",
         [&](const std::string &v) { seconds = ParseDouble(v, "--seconds", 0, kMaxSeconds); }},
    };
    scene.AddTo(&options);
    std::vector<std::string> positional;
    if (!ParseOptions(args, options, &positional)) {
        PrintHelp({"kalvex stream [--camera N]... [--listen ADDRESS] [--port 8554] [options]",
                   "Serves each camera at rtsp://ADDRESS:PORT/cameraN (H.264, colour) and "
                   "rtsp://ADDRESS:PORT/cameraN/raw (raw counts, lossless, for GStreamer "
                   "clients). Clients of a camera share one capture.",
                   "Off loopback the server asks for the credentials it prints."},
                  options);
        return 0;
    }
    if (!positional.empty()) throw UsageError("unexpected argument '" + positional[0] + "'");
    if (cameras.empty()) cameras.push_back(0);
    std::sort(cameras.begin(), cameras.end());
    cameras.erase(std::unique(cameras.begin(), cameras.end()), cameras.end());

    gst_init(nullptr, nullptr);
    gst_kalvex_register_static();
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPServer *server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, listen.c_str());
    gst_rtsp_server_set_service(server, std::to_string(port).c_str());
    std::string user, password;
    if (!IsLoopback(listen)) {
        user = "kalvex";
        password = NewPassword();
        GstRTSPAuth *auth = gst_rtsp_auth_new();
        GstRTSPToken *token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
        gchar *basic = gst_rtsp_auth_make_basic(user.c_str(), password.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(server, auth);
        g_object_unref(auth);
    }

    // The captures first: a camera that cannot start is reported before serving.
    std::vector<std::unique_ptr<Feed>> feeds;
    std::vector<std::unique_ptr<MountData>> mounts;
    int status = 0;
    std::string sceneWords;
    {
        // Only the scene's own options go to the element's sim-scene.
        std::vector<Option> sceneOptions;
        SimScene probe;
        probe.AddTo(&sceneOptions);
        for (size_t i = 0; i < args.size(); ++i) {
            std::string name = args[i].substr(0, args[i].find('='));
            for (const Option &o : sceneOptions) {
                if (o.name != name) continue;
                sceneWords += args[i] + " ";
                if (args[i].find('=') == std::string::npos && i + 1 < args.size())
                    sceneWords += args[++i] + " ";
            }
        }
    }
    for (int cam : cameras) {
        auto feed = std::make_unique<Feed>();
        feed->camera = cam;
        KalvexMeasure_DefaultColorOptions(&feed->colour);
        feed->colour.palette = KalvexMeasure_PaletteId(paletteName.c_str());
        feed->colour.rgb = 1;
        feed->pipeline = gst_pipeline_new(nullptr);
        feed->src = gst_element_factory_make("kalvexsrc", nullptr);
        GstElement *sink = gst_element_factory_make("appsink", nullptr);
        g_object_set(feed->src, "camera", cam, "sim", sim ? TRUE : FALSE, "sim-scene",
                     sceneWords.c_str(), nullptr);
        if (!usb.empty()) g_object_set(feed->src, "usb", usb.c_str(), nullptr);
        if (!replay.empty())
            g_object_set(feed->src, "replay", replay.c_str(), "replay-rate", replayRate,
                         "replay-loop", replayLoop ? TRUE : FALSE, nullptr);
        if (!table.empty()) g_object_set(feed->src, "table", table.c_str(), nullptr);
        if (emissivity)
            g_object_set(feed->src, "emissivity", static_cast<float>(*emissivity), nullptr);
        if (reflected)
            g_object_set(feed->src, "reflected", static_cast<float>(*reflected), nullptr);
        if (transmission)
            g_object_set(feed->src, "transmission", static_cast<float>(*transmission), nullptr);
        // The capture never waits for a slow client: at most two frames queue.
        g_object_set(sink, "sync", FALSE, "max-buffers", 2, "drop", TRUE, nullptr);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = OnSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, feed.get(), nullptr);
        gst_bin_add_many(GST_BIN(feed->pipeline), feed->src, sink, nullptr);
        gst_element_link(feed->src, sink);
        GstBus *bus = gst_element_get_bus(feed->pipeline);
        gst_bus_add_watch(bus, OnCaptureBus, loop);
        gst_object_unref(bus);
        if (gst_element_set_state(feed->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            GstBus *b = gst_element_get_bus(feed->pipeline);
            GstMessage *m = gst_bus_pop_filtered(b, GST_MESSAGE_ERROR);
            std::string why = "camera " + std::to_string(cam) + " does not start";
            if (m != nullptr) {
                GError *err = nullptr;
                gchar *debug = nullptr;
                gst_message_parse_error(m, &err, &debug);
                why += ": " + std::string(err->message) + " (" + (debug ? debug : "") + ")";
                g_error_free(err);
                g_free(debug);
                gst_message_unref(m);
            }
            gst_object_unref(b);
            std::fprintf(stderr, "kalvex stream: %s\n", why.c_str());
            status = kExitFailure;
        }
        feeds.push_back(std::move(feed));
    }

    GstRTSPMountPoints *points = gst_rtsp_server_get_mount_points(server);
    for (auto &feed : feeds) {
        for (bool raw : {false, true}) {
            GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
            const char *caps =
                raw ? "video/x-raw,format=GRAY16_LE,width=640,height=480,framerate=0/1"
                    : "video/x-raw,format=RGB,width=640,height=480,framerate=0/1";
            std::string launch = std::string(
                                     "( appsrc name=feed is-live=true do-timestamp=true "
                                     "format=time max-buffers=2 leaky-type=downstream caps=") +
                                 caps +
                                 (raw ? " ! rtpgstpay name=pay0 pt=96 config-interval=1 )"
                                      // 4:2:0, which every player decodes; left open,
                                      // negotiation may pick 4:4:4, which the
                                      // baseline profile a client asks for refuses.
                                      : " ! videoconvert ! video/x-raw,format=I420 ! "
                                        "x264enc tune=zerolatency "
                                        "speed-preset=ultrafast key-int-max=30 ! "
                                        "rtph264pay name=pay0 pt=96 config-interval=1 )");
            gst_rtsp_media_factory_set_launch(factory, launch.c_str());
            gst_rtsp_media_factory_set_shared(factory, TRUE);
            if (!password.empty())
                gst_rtsp_media_factory_add_role(
                    factory, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                    GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
            mounts.push_back(std::make_unique<MountData>(MountData{feed.get(), raw}));
            g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure),
                             mounts.back().get());
            std::string path = "/camera" + std::to_string(feed->camera) + (raw ? "/raw" : "");
            gst_rtsp_mount_points_add_factory(points, path.c_str(), factory);
        }
    }
    g_object_unref(points);

    if (status == 0 && gst_rtsp_server_attach(server, nullptr) == 0) {
        std::fprintf(stderr, "kalvex stream: cannot listen on %s port %d\n", listen.c_str(), port);
        status = kExitFailure;
    }
    if (status == 0) {
        const int bound = gst_rtsp_server_get_bound_port(server);
        const std::string who = password.empty() ? "" : user + ":" + password + "@";
        const std::string host =
            listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
        for (auto &feed : feeds) {
            std::printf("rtsp://%s%s:%d/camera%d\n", who.c_str(), host.c_str(), bound,
                        feed->camera);
            std::printf("rtsp://%s%s:%d/camera%d/raw\n", who.c_str(), host.c_str(), bound,
                        feed->camera);
        }
        if (!password.empty())
            std::printf("user %s  password %s (clients off this machine need them)\n", user.c_str(),
                        password.c_str());
        std::fflush(stdout);
        g_unix_signal_add(SIGINT, Quit, loop);
        g_unix_signal_add(SIGTERM, Quit, loop);
        if (seconds > 0) g_timeout_add(static_cast<guint>(seconds * 1000), Quit, loop);
        g_main_loop_run(loop);
    }
    for (auto &feed : feeds) {
        gst_element_set_state(feed->pipeline, GST_STATE_NULL);
        gst_object_unref(feed->pipeline);
    }
    gst_object_unref(server);
    g_main_loop_unref(loop);
    return status;
}

}  // namespace kalvex_tool
