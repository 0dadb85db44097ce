// kalvex stream where the build had no GStreamer RTSP server (the Windows
// cross-build, say): the command exists and says why it cannot run.
#include <cstdio>

#include "cli.h"
#include "commands.h"

namespace kalvex_tool {

int RunStream(const Args &) {
    std::fprintf(stderr,
                 "kalvex stream: not part of this build (it was built without the GStreamer "
                 "RTSP server)\n");
    return kExitFailure;
}

}  // namespace kalvex_tool
