#include "gstkalvexsrc.h"

#include <gst/video/video.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>

#include "camera.h"
#include "kalvex_measure.h"

GST_DEBUG_CATEGORY_STATIC(kalvex_src_debug);
#define GST_CAT_DEFAULT kalvex_src_debug

namespace {

using kalvex_gst::Camera;
using kalvex_gst::CameraConfig;
using kalvex_gst::FrameRef;
using kalvex_gst::OpenError;
using kalvex_gst::Output;

enum {
    PROP_0,
    PROP_CAMERA,
    PROP_TABLE,
    PROP_SIM,
    PROP_SIM_SCENE,
    PROP_USB,
    PROP_REPLAY,
    PROP_REPLAY_RATE,
    PROP_REPLAY_LOOP,
    PROP_OUTPUT,
    PROP_EMISSIVITY,
    PROP_REFLECTED,
    PROP_TRANSMISSION,
    PROP_HANDLE,
    PROP_PALETTE,
    PROP_AGC,
};

enum { SIGNAL_NUC, SIGNAL_LAST };
guint signals[SIGNAL_LAST];

// What the element keeps beside its GObject: C++ members with constructors.
struct State {
    std::mutex lock;  // config, against property calls from any thread
    CameraConfig config;
    Camera camera;
    std::atomic<bool> cancel{false};
    int fpsN = 30, fpsD = 1;
    uint32_t lastSequence = 0;
    bool rebase = true;  // map the next frame's time onto the running time anew
    int64_t firstNs = 0;
    GstClockTime firstPts = 0;
    GstCaps *utcCaps = nullptr;
};

}  // namespace

struct _GstKalvexSrc {
    GstPushSrc parent;
    State *state;
};

G_DEFINE_TYPE(GstKalvexSrc, gst_kalvex_src, GST_TYPE_PUSH_SRC)

#define KALVEX_CAPS                                                               \
    "video/x-raw, format = (string) { GRAY16_LE, RGB, BGR }, width = (int) 640, " \
    "height = (int) 480, framerate = (fraction) [ 0/1, 1000/1 ], pixel-aspect-ratio = 1/1"

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(KALVEX_CAPS));

#define GST_TYPE_KALVEX_OUTPUT (kalvex_output_get_type())
static GType kalvex_output_get_type() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {static_cast<gint>(Output::Raw), "GRAY16_LE raw counts (14 bits)", "raw"},
        {static_cast<gint>(Output::Temperature), "GRAY16_LE centi-kelvin (0: no temperature)",
         "temperature"},
        {static_cast<gint>(Output::Color), "RGB colour map", "color"},
        {0, nullptr, nullptr}};
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstKalvexOutput", values));
    return type;
}

#define GST_TYPE_KALVEX_AGC (kalvex_agc_get_type())
static GType kalvex_agc_get_type() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {KALVEX_AGC_RANGE, "The library's colour range (parameters 12-14)", "range"},
        {KALVEX_AGC_LINEAR, "Linear between the 1 % tails of the histogram", "linear"},
        {KALVEX_AGC_PLATEAU, "Plateau histogram equalisation", "plateau"},
        {0, nullptr, nullptr}};
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstKalvexAgc", values));
    return type;
}

static GstCaps *OutputCaps(Output output, int num, int den) {
    GstCaps *caps =
        gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, kalvex_gst::kWidth, "height",
                            G_TYPE_INT, kalvex_gst::kHeight, "framerate", GST_TYPE_FRACTION, num,
                            den, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    if (output == Output::Color) {
        GValue list = G_VALUE_INIT, v = G_VALUE_INIT;
        gst_value_list_init(&list, 2);
        g_value_init(&v, G_TYPE_STRING);
        for (const char *f : {"RGB", "BGR"}) {
            g_value_set_string(&v, f);
            gst_value_list_append_value(&list, &v);
        }
        g_value_unset(&v);
        gst_caps_set_value(caps, "format", &list);
        g_value_unset(&list);
    } else {
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, "GRAY16_LE", nullptr);
    }
    return caps;
}

static GstClockTime FrameDuration(const State *s) {
    if (s->fpsN <= 0) return GST_CLOCK_TIME_NONE;
    return gst_util_uint64_scale_int(GST_SECOND, s->fpsD, s->fpsN);
}

static void gst_kalvex_src_set_property(GObject *object, guint id, const GValue *value,
                                        GParamSpec *pspec) {
    State *s = GST_KALVEX_SRC(object)->state;
    std::lock_guard guard(s->lock);
    CameraConfig &c = s->config;
    bool scene = false;
    switch (id) {
        case PROP_CAMERA:
            c.camera = g_value_get_int(value);
            break;
        case PROP_TABLE: {
            const char *t = g_value_get_string(value);
            c.table = t != nullptr ? t : "";
            break;
        }
        case PROP_SIM:
            c.sim = g_value_get_boolean(value) != FALSE;
            break;
        case PROP_SIM_SCENE: {
            const char *t = g_value_get_string(value);
            c.simScene = t != nullptr ? t : "";
            break;
        }
        case PROP_USB: {
            const char *t = g_value_get_string(value);
            c.usb = t != nullptr ? t : "";
            break;
        }
        case PROP_REPLAY: {
            const char *t = g_value_get_string(value);
            c.replay = t != nullptr ? t : "";
            break;
        }
        case PROP_REPLAY_RATE:
            c.replayRate = g_value_get_double(value);
            break;
        case PROP_REPLAY_LOOP:
            c.replayLoop = g_value_get_boolean(value) != FALSE;
            break;
        case PROP_OUTPUT:
            c.output = static_cast<Output>(g_value_get_enum(value));
            break;
        case PROP_PALETTE: {
            const char *t = g_value_get_string(value);
            c.palette = t != nullptr ? t : "hue";
            break;
        }
        case PROP_AGC:
            c.agc = g_value_get_enum(value);
            break;
        case PROP_EMISSIVITY:
            c.scene.emissivity = g_value_get_float(value);
            scene = true;
            c.sceneSet = true;
            break;
        case PROP_REFLECTED:
            c.scene.reflected = g_value_get_float(value);
            scene = true;
            c.sceneSet = true;
            break;
        case PROP_TRANSMISSION:
            c.scene.transmission = g_value_get_float(value);
            scene = true;
            c.sceneSet = true;
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            return;
    }
    // The scene applies at once to a running camera; the rest at the next start.
    if (scene && !s->camera.SetScene(c.scene))
        GST_WARNING_OBJECT(object, "the library refused the scene");
}

static void gst_kalvex_src_get_property(GObject *object, guint id, GValue *value,
                                        GParamSpec *pspec) {
    State *s = GST_KALVEX_SRC(object)->state;
    std::lock_guard guard(s->lock);
    const CameraConfig &c = s->config;
    switch (id) {
        case PROP_CAMERA:
            g_value_set_int(value, c.camera);
            break;
        case PROP_TABLE:
            g_value_set_string(value, c.table.c_str());
            break;
        case PROP_SIM:
            g_value_set_boolean(value, c.sim);
            break;
        case PROP_SIM_SCENE:
            g_value_set_string(value, c.simScene.c_str());
            break;
        case PROP_USB:
            g_value_set_string(value, c.usb.c_str());
            break;
        case PROP_REPLAY:
            g_value_set_string(value, c.replay.c_str());
            break;
        case PROP_REPLAY_RATE:
            g_value_set_double(value, c.replayRate);
            break;
        case PROP_REPLAY_LOOP:
            g_value_set_boolean(value, c.replayLoop);
            break;
        case PROP_OUTPUT:
            g_value_set_enum(value, static_cast<gint>(c.output));
            break;
        case PROP_PALETTE:
            g_value_set_string(value, c.palette.c_str());
            break;
        case PROP_AGC:
            g_value_set_enum(value, c.agc);
            break;
        case PROP_EMISSIVITY:
            g_value_set_float(value, c.scene.emissivity);
            break;
        case PROP_REFLECTED:
            g_value_set_float(value, c.scene.reflected);
            break;
        case PROP_TRANSMISSION:
            g_value_set_float(value, c.scene.transmission);
            break;
        case PROP_HANDLE:
            g_value_set_int(value, s->camera.handle());
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static gboolean gst_kalvex_src_start(GstBaseSrc *base) {
    State *s = GST_KALVEX_SRC(base)->state;
    CameraConfig config;
    {
        std::lock_guard guard(s->lock);
        config = s->config;
    }
    std::string why;
    const OpenError e = s->camera.Open(config, &why);
    switch (e) {
        case OpenError::None:
            break;
        case OpenError::NotFound:
            GST_ELEMENT_ERROR(base, RESOURCE, NOT_FOUND, ("No Kalvex camera"), ("%s", why.c_str()));
            return FALSE;
        case OpenError::Table:
            GST_ELEMENT_ERROR(base, RESOURCE, OPEN_READ, ("Bad calibration table"),
                              ("%s", why.c_str()));
            return FALSE;
        case OpenError::Settings:
            GST_ELEMENT_ERROR(base, RESOURCE, SETTINGS, ("Bad settings"), ("%s", why.c_str()));
            return FALSE;
        case OpenError::Replay:
            GST_ELEMENT_ERROR(base, RESOURCE, OPEN_READ, ("Cannot replay the recording"),
                              ("%s", why.c_str()));
            return FALSE;
        case OpenError::Resources:
            GST_ELEMENT_ERROR(base, RESOURCE, FAILED, ("Camera does not start"),
                              ("%s", why.c_str()));
            return FALSE;
    }
    s->camera.FrameRate(&s->fpsN, &s->fpsD);
    s->lastSequence = 0;
    s->rebase = true;
    return TRUE;
}

static gboolean gst_kalvex_src_stop(GstBaseSrc *base) {
    GST_KALVEX_SRC(base)->state->camera.Close();
    return TRUE;
}

static GstCaps *gst_kalvex_src_get_caps(GstBaseSrc *base, GstCaps *filter) {
    State *s = GST_KALVEX_SRC(base)->state;
    GstCaps *caps;
    if (s->camera.open()) {
        std::lock_guard guard(s->lock);
        caps = OutputCaps(s->config.output, s->fpsN, s->fpsD);
    } else {
        caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    }
    if (filter != nullptr) {
        GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

static gboolean gst_kalvex_src_set_caps(GstBaseSrc *base, GstCaps *caps) {
    State *s = GST_KALVEX_SRC(base)->state;
    const char *format = gst_structure_get_string(gst_caps_get_structure(caps, 0), "format");
    s->camera.SetColorRgb(format == nullptr || g_strcmp0(format, "BGR") != 0);
    return TRUE;
}

// Buffers come from a pool of whole frames, downstream's or our own.
static gboolean gst_kalvex_src_decide_allocation(GstBaseSrc *base, GstQuery *query) {
    State *s = GST_KALVEX_SRC(base)->state;
    GstCaps *caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstBufferPool *pool = nullptr;
    guint size = 0, min = 0, max = 0;
    const bool update = gst_query_get_n_allocation_pools(query) > 0;
    if (update) gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
    if (pool == nullptr) pool = gst_video_buffer_pool_new();
    size = MAX(size, static_cast<guint>(kalvex_gst::FrameBytes(s->config.output)));
    min = MAX(min, 2u);
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, min, max);
    if (!gst_buffer_pool_set_config(pool, config)) {
        config = gst_buffer_pool_get_config(pool);
        if (!gst_buffer_pool_config_validate_params(config, caps, size, min, max) ||
            !gst_buffer_pool_set_config(pool, config)) {
            gst_object_unref(pool);
            pool = gst_video_buffer_pool_new();
            config = gst_buffer_pool_get_config(pool);
            gst_buffer_pool_config_set_params(config, caps, size, min, 0);
            gst_buffer_pool_set_config(pool, config);
        }
    }
    if (update)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
    else
        gst_query_add_allocation_pool(query, pool, size, min, max);
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(gst_kalvex_src_parent_class)->decide_allocation(base, query);
}

static gboolean gst_kalvex_src_query(GstBaseSrc *base, GstQuery *query) {
    State *s = GST_KALVEX_SRC(base)->state;
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        if (!s->camera.open()) return FALSE;
        // One frame: the time from the end of the transfer to the buffer is
        // far below it; downstream may fall up to the ring behind.
        GstClockTime frame = FrameDuration(s);
        if (!GST_CLOCK_TIME_IS_VALID(frame)) frame = GST_SECOND / 30;
        gst_query_set_latency(query, TRUE, frame, frame * 30);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_kalvex_src_parent_class)->query(base, query);
}

static gboolean gst_kalvex_src_unlock(GstBaseSrc *base) {
    GST_KALVEX_SRC(base)->state->cancel.store(true, std::memory_order_release);
    return TRUE;
}

static gboolean gst_kalvex_src_unlock_stop(GstBaseSrc *base) {
    GST_KALVEX_SRC(base)->state->cancel.store(false, std::memory_order_release);
    return TRUE;
}

static void AddFrameMeta(State *s, GstBuffer *buf, const FrameRef &f) {
    if (f.utcNs > 0)
        gst_buffer_add_reference_timestamp_meta(buf, s->utcCaps, static_cast<GstClockTime>(f.utcNs),
                                                GST_CLOCK_TIME_NONE);
    GstCustomMeta *meta = gst_buffer_add_custom_meta(buf, GST_KALVEX_FRAME_META_NAME);
    if (meta == nullptr) return;
    GstStructure *st = gst_custom_meta_get_structure(meta);
    gst_structure_set(st, "frame-id", G_TYPE_UINT, f.id, "sequence", G_TYPE_UINT, f.sequence,
                      nullptr);
    if (f.hasInfo)
        gst_structure_set(st, "camera-frame", G_TYPE_UINT, f.cameraFrame, "internal-temperature",
                          G_TYPE_FLOAT, f.internalTemperature, "frames-since-nuc", G_TYPE_UINT,
                          f.framesSinceNuc, "ms-since-nuc", G_TYPE_UINT, f.msSinceNuc,
                          "first-after-nuc", G_TYPE_BOOLEAN, (f.flags & 1u) != 0, "raw-min",
                          G_TYPE_UINT, f.rawMin, "raw-max", G_TYPE_UINT, f.rawMax, "table-crc",
                          G_TYPE_UINT, f.tableCrc, "flags", G_TYPE_UINT, f.flags, nullptr);
}

// Buffer time from the frame's transfer time: the first frame is placed at
// the running time it reached us less its age, the rest follow its clock.
static void Stamp(GstKalvexSrc *src, GstBuffer *buf, const FrameRef &f) {
    State *s = src->state;
    GST_BUFFER_DURATION(buf) = FrameDuration(s);
    if (gst_base_src_get_do_timestamp(GST_BASE_SRC(src))) return;  // basesrc stamps it
    GstClock *clock = gst_element_get_clock(GST_ELEMENT(src));
    if (clock == nullptr) return;
    if (s->rebase) {
        const GstClockTime now = gst_clock_get_time(clock);
        const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(src));
        const int64_t age = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count() -
                            f.monotonicNs;
        GstClockTime running = now > base ? now - base : 0;
        s->firstPts = age > 0 && static_cast<GstClockTime>(age) < running
                          ? running - static_cast<GstClockTime>(age)
                          : running;
        s->firstNs = f.monotonicNs;
        s->rebase = false;
    }
    const int64_t since = f.monotonicNs - s->firstNs;
    GST_BUFFER_PTS(buf) = s->firstPts + static_cast<GstClockTime>(since > 0 ? since : 0);
    GST_BUFFER_DTS(buf) = GST_BUFFER_PTS(buf);
    gst_object_unref(clock);
}

static GstFlowReturn gst_kalvex_src_fill(GstPushSrc *push, GstBuffer *buf) {
    GstKalvexSrc *src = GST_KALVEX_SRC(push);
    State *s = src->state;
    for (;;) {
        FrameRef f;
        std::string why;
        switch (s->camera.Next(&f, s->cancel, &why)) {
            case Camera::Wait::Cancelled:
                return GST_FLOW_FLUSHING;
            case Camera::Wait::Finished:
                GST_DEBUG_OBJECT(src, "the recording has been played");
                return GST_FLOW_EOS;
            case Camera::Wait::Ended:
                GST_ELEMENT_ERROR(src, RESOURCE, READ, ("The camera stopped sending frames"),
                                  ("%s", why.c_str()));
                return GST_FLOW_ERROR;
            case Camera::Wait::Frame:
                break;
        }
        for (int code : s->camera.TakeWarnings())
            GST_ELEMENT_WARNING(src, RESOURCE, READ, (nullptr),
                                ("%s", kalvex_gst::EventText(code).c_str()));
        GstMapInfo map;
        if (!gst_buffer_map(buf, &map, GST_MAP_WRITE)) return GST_FLOW_ERROR;
        const bool copied =
            map.size >= kalvex_gst::FrameBytes(s->config.output) && s->camera.Copy(f, map.data);
        gst_buffer_unmap(buf, &map);
        if (!copied) {
            GST_DEBUG_OBJECT(src, "frame %u left the ring before it was copied", f.sequence);
            continue;  // the next frame follows with DISCONT
        }
        gst_buffer_set_size(buf, static_cast<gssize>(kalvex_gst::FrameBytes(s->config.output)));
        GST_BUFFER_OFFSET(buf) = f.sequence;
        GST_BUFFER_OFFSET_END(buf) = f.sequence + 1;
        if (s->lastSequence == 0 || f.sequence != s->lastSequence + 1)
            GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
        s->lastSequence = f.sequence;
        Stamp(src, buf, f);
        AddFrameMeta(s, buf, f);
        return GST_FLOW_OK;
    }
}

static GstStateChangeReturn gst_kalvex_src_change_state(GstElement *element,
                                                        GstStateChange transition) {
    if (transition == GST_STATE_CHANGE_PAUSED_TO_PLAYING)
        GST_KALVEX_SRC(element)->state->rebase = true;
    return GST_ELEMENT_CLASS(gst_kalvex_src_parent_class)->change_state(element, transition);
}

static void gst_kalvex_src_nuc(GstKalvexSrc *src) {
    src->state->camera.Nuc();
}

static void gst_kalvex_src_finalize(GObject *object) {
    GstKalvexSrc *src = GST_KALVEX_SRC(object);
    gst_caps_unref(src->state->utcCaps);
    delete src->state;
    G_OBJECT_CLASS(gst_kalvex_src_parent_class)->finalize(object);
}

static void gst_kalvex_src_init(GstKalvexSrc *src) {
    src->state = new State;
    KalvexScene_Default(&src->state->config.scene);
    src->state->utcCaps = gst_caps_new_empty_simple("timestamp/x-unix");
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}

static void gst_kalvex_src_class_init(GstKalvexSrcClass *klass) {
    GObjectClass *gobject = G_OBJECT_CLASS(klass);
    GstElementClass *element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass *push = GST_PUSH_SRC_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(kalvex_src_debug, "kalvexsrc", 0, "Kalvex thermal camera source");

    gobject->set_property = gst_kalvex_src_set_property;
    gobject->get_property = gst_kalvex_src_get_property;
    gobject->finalize = gst_kalvex_src_finalize;
    const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    const auto scene = static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        gobject, PROP_CAMERA, g_param_spec_int("camera", "Camera", "Camera number", 0, 7, 0, rw));
    g_object_class_install_property(
        gobject, PROP_TABLE,
        g_param_spec_string("table", "Table", "Calibration table file (needed for temperatures)",
                            nullptr, rw));
    g_object_class_install_property(
        gobject, PROP_SIM,
        g_param_spec_boolean("sim", "Simulated", "Use the simulated camera", FALSE, rw));
    g_object_class_install_property(gobject, PROP_SIM_SCENE,
                                    g_param_spec_string("sim-scene", "Simulated scene",
                                                        "The kalvex program's scene options, e.g. "
                                                        "\"--spot 320,240,60,37 --background 20\"",
                                                        nullptr, rw));
    g_object_class_install_property(
        gobject, PROP_USB,
        g_param_spec_string("usb", "USB ids",
                            "A camera on USB with these hexadecimal ids, \"VID:PID\" (such as "
                            "1209:6a0e; kalvex usb lists them); camera numbers its matching "
                            "devices in bus order",
                            nullptr, rw));
    g_object_class_install_property(
        gobject, PROP_REPLAY,
        g_param_spec_string("replay", "Replay",
                            "A radiometric sequence (.tiff) played through the simulated camera "
                            "(implies sim); its own table and scene unless table or the scene "
                            "properties are given; end of stream after its last frame",
                            nullptr, rw));
    g_object_class_install_property(
        gobject, PROP_REPLAY_RATE,
        g_param_spec_double("replay-rate", "Replay rate",
                            "Frames per second of the replay (0: the recorded pace)", 0.0, 1000.0,
                            0.0, rw));
    g_object_class_install_property(
        gobject, PROP_REPLAY_LOOP,
        g_param_spec_boolean("replay-loop", "Replay loop",
                             "Start the recording over after its last frame (no end of stream)",
                             FALSE, rw));
    g_object_class_install_property(
        gobject, PROP_OUTPUT,
        g_param_spec_enum("output", "Output", "What the buffers hold", GST_TYPE_KALVEX_OUTPUT,
                          static_cast<gint>(Output::Raw), rw));
    g_object_class_install_property(
        gobject, PROP_PALETTE,
        g_param_spec_string(
            "palette", "Palette",
            "Colour palette for output=color: hue (the library's own map), "
            "ironbow, rainbow, rainbow-hc, white-hot, black-hot, arctic, lava, grey",
            "hue", rw));
    g_object_class_install_property(gobject, PROP_AGC,
                                    g_param_spec_enum("agc", "Contrast", "Contrast of output=color",
                                                      GST_TYPE_KALVEX_AGC, KALVEX_AGC_RANGE, rw));
    g_object_class_install_property(
        gobject, PROP_EMISSIVITY,
        g_param_spec_float("emissivity", "Emissivity", "Object emissivity", 0.01f, 1.0f, 1.0f,
                           scene));
    g_object_class_install_property(
        gobject, PROP_REFLECTED,
        g_param_spec_float("reflected", "Reflected", "Reflected apparent temperature (deg C)",
                           -60.0f, 2100.0f, 22.0f, scene));
    g_object_class_install_property(
        gobject, PROP_TRANSMISSION,
        g_param_spec_float("transmission", "Transmission", "Path transmission", 0.01f, 1.0f, 1.0f,
                           scene));
    g_object_class_install_property(
        gobject, PROP_HANDLE,
        g_param_spec_int("handle", "Handle",
                         "The library instance while the element runs (0 otherwise), for "
                         "kalvex.h calls such as Kalvex_GetTemperature of a buffer's frame-id",
                         0, G_MAXINT, 0,
                         static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    signals[SIGNAL_NUC] = g_signal_new_class_handler(
        "nuc", G_TYPE_FROM_CLASS(klass),
        static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_kalvex_src_nuc), nullptr, nullptr, nullptr, G_TYPE_NONE, 0);

    gst_element_class_set_static_metadata(element, "Kalvex thermal camera source",
                                          "Source/Video/Sensor",
                                          "Frames of a Kalvex thermal camera: raw counts, "
                                          "temperatures in centi-kelvin or colour",
                                          "Kalvex SDK");
    gst_element_class_add_static_pad_template(element, &src_template);
    element->change_state = gst_kalvex_src_change_state;
    base->start = gst_kalvex_src_start;
    base->stop = gst_kalvex_src_stop;
    base->get_caps = gst_kalvex_src_get_caps;
    base->set_caps = gst_kalvex_src_set_caps;
    base->decide_allocation = gst_kalvex_src_decide_allocation;
    base->query = gst_kalvex_src_query;
    base->unlock = gst_kalvex_src_unlock;
    base->unlock_stop = gst_kalvex_src_unlock_stop;
    push->fill = gst_kalvex_src_fill;
    gst_type_mark_as_plugin_api(GST_TYPE_KALVEX_OUTPUT, static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(GST_TYPE_KALVEX_AGC, static_cast<GstPluginAPIFlags>(0));
}

gboolean gst_kalvex_plugin_init(GstPlugin *plugin) {
    static const gchar *tags[] = {nullptr};
    if (gst_meta_get_info(GST_KALVEX_FRAME_META_NAME) == nullptr)
        gst_meta_register_custom(GST_KALVEX_FRAME_META_NAME, tags, nullptr, nullptr, nullptr);
    return gst_element_register(plugin, "kalvexsrc", GST_RANK_NONE, GST_TYPE_KALVEX_SRC);
}

gboolean gst_kalvex_register_static() {
    return gst_plugin_register_static(
        GST_VERSION_MAJOR, GST_VERSION_MINOR, "kalvex", "Kalvex thermal camera elements",
        gst_kalvex_plugin_init, "1.0.0", "LGPL", "kalvex", "kalvex", "https://kalvex.invalid/");
}
