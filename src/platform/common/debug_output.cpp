// Debug lines: the platform's channel, then the listener.
#include <mutex>

#include "base/log.h"
#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
// Recursive, so that a listener which itself logs does not deadlock.
std::recursive_mutex gListenerLock;
DebugListener gListener = nullptr;
void *gListenerContext = nullptr;

LogStamp LogNow() {
    LocalTime t = GetLocalTime();
    return LogStamp{t.hour, t.minute, t.second, t.millisecond};
}

// The log below this layer writes its lines here. This file is linked
// wherever debug lines can be listened to (the listener lives here), and in
// full into the shared library.
constexpr LogSink kLogSink{LogNow, DebugOutput};
[[maybe_unused]] const bool kLogSinkSet = (SetLogSink(&kLogSink), true);
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
