// Debug lines: the platform's channel, then the listener.
#include <mutex>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
// Recursive, so that a listener which itself logs does not deadlock.
std::recursive_mutex gListenerLock;
DebugListener gListener = nullptr;
void *gListenerContext = nullptr;
}  // namespace

void SetDebugListener(DebugListener listener, void *context) {
    std::lock_guard guard(gListenerLock);
    gListener = listener;
    gListenerContext = context;
}

void DebugOutput(const wchar_t *line) {
    if (line == nullptr) return;
    backend::NativeDebugOutput(line);
    std::lock_guard guard(gListenerLock);
    if (gListener != nullptr) gListener(line, gListenerContext);
}

}  // namespace kalvex::platform
