// Registration through the POSIX extension of kalvex.h: the shared simulator
// reaches the shared library through its exports only.
#include "sim_camera.h"

namespace kalvex::sim {

bool RegisterDriverPath(const char *path, const KalvexDriverOps *ops, void *context) {
    return KalvexPosix_RegisterDriver(path, ops, context) != 0;
}

void UnregisterDriverPath(const char *path) {
    KalvexPosix_UnregisterDriver(path);
}

}  // namespace kalvex::sim
