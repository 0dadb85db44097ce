// Registration straight with the core's driver table: the static simulator
// on Windows, linked into the same program as kalvex_core, where the library
// exports no registration of its own (elsewhere kalvex.h's is used).
#include "platform/platform.h"
#include "sim_camera.h"

namespace kalvex::sim {

bool RegisterDriverPath(const char *path, const KalvexDriverOps *ops, void *context) {
    return platform::RegisterDriver(path, ops, context);
}

void UnregisterDriverPath(const char *path) {
    platform::UnregisterDriver(path);
}

}  // namespace kalvex::sim
