// POSIX-only pieces behind the platform extension of the public header.
#pragma once

#include "kalvex.h"

namespace kalvex::platform::posix {

KalvexHwnd CreateWindowQueue();
int GetWindowMessage(KalvexHwnd window, KalvexMessage *message, int timeoutMs);
bool DestroyWindowQueue(KalvexHwnd window);

}  // namespace kalvex::platform::posix
