// kalvexsrc: a live source of the camera's frames (raw counts, centi-kelvin
// temperatures or colour), one copy from the library's ring per buffer.
#pragma once

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_KALVEX_SRC (gst_kalvex_src_get_type())
G_DECLARE_FINAL_TYPE(GstKalvexSrc, gst_kalvex_src, GST, KALVEX_SRC, GstPushSrc)

// The name of the custom meta each buffer carries (gst_buffer_get_custom_meta).
#define GST_KALVEX_FRAME_META_NAME "KalvexFrameMeta"

// The plugin's init, and the same for a program that links the element in.
gboolean gst_kalvex_plugin_init(GstPlugin *plugin);
gboolean gst_kalvex_register_static(void);

G_END_DECLS
