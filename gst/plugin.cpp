// libgstkalvex.so: the plugin around the element.
#include "gstkalvexsrc.h"

#define PACKAGE "kalvex"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kalvex, "Kalvex thermal camera elements",
                  gst_kalvex_plugin_init, "1.0.0", "LGPL", "kalvex", "https://kalvex.invalid/")
