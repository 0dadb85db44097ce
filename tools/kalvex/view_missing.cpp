// kalvex view where the build had no cpp-httplib for its target (the Windows
// cross-build, say): the command exists and says why it cannot run.
#include <cstdio>

#include "cli.h"
#include "commands.h"

namespace kalvex_tool {

int RunView(const Args &) {
    std::fprintf(stderr,
                 "kalvex view: not part of this build (it was built without cpp-httplib)\n");
    return kExitFailure;
}

}  // namespace kalvex_tool
