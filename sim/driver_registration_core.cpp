// Registration straight with the core's driver table: the static simulator,
// linked into the same program as kalvex_core, on every platform.
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
